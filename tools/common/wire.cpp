#include "common/wire.h"

#include <stdexcept>

#include "protocol/command_encoding.h"
#include "protocol/reply_frame.h"

namespace kavrol::tools {

Bytes encodeCommand(const Command& c) {
    std::uint8_t area[protocol::kCommandAreaSize];
    const std::int32_t n = protocol::encodeCommandFrame({c.multiplexed, c.route, c.command, c.subCommand, c.payload}, area);
    if (n < 0) throw std::invalid_argument("the command does not fit a frame");
    return Bytes(area, area + n);
}

std::string describeCommand(const Command& c) {
    std::string s = c.multiplexed ? "multiplexed (route " + (c.route.empty() ? std::string("empty") : toHex(c.route, ',')) + ") "
                                  : std::string("direct ");
    s += "command " + std::to_string(c.command) + ", sub-command " + std::to_string(c.subCommand);
    s += c.payload.empty() ? ", no payload" : ", payload " + toHex(c.payload);
    return s;
}

Bytes replyFrame(std::uint8_t replyCode, std::uint8_t header3, std::span<const std::uint8_t> payload) {
    Bytes f(protocol::kReplyPayloadStart + payload.size());
    if (protocol::writeReplyFrame(replyCode, header3, payload, f) == 0) {
        throw std::invalid_argument("reply payload above 245 bytes");
    }
    return f;
}

ReplyVerdict judgeReply(std::span<const std::uint8_t> bytes) {
    using protocol::ReplyFault;
    const protocol::ReplyJudgement j = protocol::judgeReply(bytes);
    const std::string length = "length byte L = " + std::to_string(j.last);
    switch (j.fault) {
        case ReplyFault::NoReply: return {j.status, "no reply arrived"};
        case ReplyFault::HeaderCut: return {j.status, "only 1 byte arrived, the header needs 2"};
        case ReplyFault::LengthAboveRange: return {j.status, length + " is above 250"};
        case ReplyFault::LengthBelowRange: return {j.status, length + " is below 5, too short to hold a checksum"};
        case ReplyFault::RestCut:
            return {j.status, "the header announced " + std::to_string(j.last + 1) + " bytes, only " +
                                  std::to_string(j.arrived) + " arrived"};
        case ReplyFault::ChecksumMismatch:
            return {j.status, "checksum mismatch: received " + hexByte(bytes[4]) + " " + hexByte(bytes[5]) +
                                  ", computed " + hexByte(j.computed.odd) + " " + hexByte(j.computed.even)};
        case ReplyFault::DeviceError: return {j.status, "device error code " + std::to_string(j.replyCode)};
        case ReplyFault::None: break;
    }
    return {j.status, "valid reply frame, reply code " + std::to_string(j.replyCode)};
}

}  // namespace kavrol::tools
