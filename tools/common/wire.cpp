#include "common/wire.h"

#include <stdexcept>

#include "protocol/command_encoding.h"
#include "protocol/reply_frame.h"

namespace kavrol::tools {

protocol::CommandFrameFields commandFieldsOf(std::span<const std::uint8_t> bytes, protocol::CommandForm form) {
    const protocol::CommandDecoding d = protocol::decodeCommandFrame(bytes, form);
    const bool filled = d.fault == protocol::CommandFault::None || protocol::isChecksumFault(d.fault);
    return filled ? d.fields : protocol::CommandFrameFields{};
}

std::string commandFaultText(const protocol::CommandDecoding& d, std::span<const std::uint8_t> bytes) {
    using protocol::CommandFault;
    const bool direct = d.form == protocol::CommandForm::Direct;
    const std::string what = direct ? "direct frame" : "multiplexed frame";
    const auto sums = [](const TwoByteChecksum& s) { return hexByte(s.odd) + " " + hexByte(s.even); };
    switch (d.fault) {
        case CommandFault::None: return {};
        case CommandFault::NotThisForm: return "no envelope start byte 24";
        case CommandFault::LengthOutOfRange:
            if (direct) return "byte " + hexByte(static_cast<std::uint8_t>(d.last)) + " begins no frame";
            return what + " with last index " + std::to_string(d.last) + " outside " +
                   std::to_string(kMinEnvelopeIndex) + ".." + std::to_string(kMaxCommandIndex);
        case CommandFault::Cut:
            if (d.length == 0) return what + " broke off after its start byte";
            return what + " of " + std::to_string(d.length) + " bytes broke off after " + std::to_string(d.arrived);
        case CommandFault::RouteOutOfRange:
            return "route count " + std::to_string(bytes[kRouteCountAt]) + " does not fit the envelope";
        case CommandFault::InnerStartWrong:
            return "inner frame starts with " + hexByte(bytes[protocol::kEnvelopeHeaderSize + bytes[kRouteCountAt]]) +
                   ", not " + hexByte(kDirectStart);
        case CommandFault::InnerLengthWrong:
            return "inner length " + std::to_string(bytes[protocol::kEnvelopeHeaderSize + bytes[kRouteCountAt] + 1]) +
                   " does not match the envelope";
        case CommandFault::EnvelopeChecksumMismatch:
            return "envelope checksum mismatch: received " + hexByte(d.envelopeReceived) + ", computed " +
                   hexByte(d.envelopeComputed);
        case CommandFault::ChecksumMismatch:
            return std::string(direct ? "direct" : "inner") + " frame checksum mismatch: received " + sums(d.received) +
                   ", computed " + sums(d.computed);
    }
    return {};
}

std::string describeCommand(const protocol::CommandFrameFields& c) {
    std::string s = c.multiplexed
                        ? "multiplexed (route " + (c.route.empty() ? std::string("empty") : toHex(c.route, ',')) + ") "
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
            return {j.status, "checksum mismatch: received " + hexByte(bytes[kTwoByteOddAt]) + " " +
                                  hexByte(bytes[kTwoByteEvenAt]) + ", computed " + hexByte(j.computed.odd) + " " +
                                  hexByte(j.computed.even)};
        case ReplyFault::DeviceError: return {j.status, "device error code " + std::to_string(j.replyCode)};
        case ReplyFault::None: break;
    }
    return {j.status, "valid reply frame, reply code " + std::to_string(j.replyCode)};
}

std::string startByteNote(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes[0] == kReplyStart) return {};
    std::string note = "; " + hexByte(bytes[0]) + " is not the start byte " + hexByte(kReplyStart);
    for (std::size_t at = 1; at < bytes.size(); ++at) {
        if (bytes[at] != kReplyStart) continue;
        const protocol::ReplyFault f = protocol::judgeReply(bytes.subspan(at)).fault;
        if (f == protocol::ReplyFault::None || f == protocol::ReplyFault::DeviceError) {
            return note + ", a valid reply follows at offset " + std::to_string(at);
        }
    }
    return note;
}

}  // namespace kavrol::tools
