#include "common/wire.h"

#include <algorithm>
#include <stdexcept>

namespace kavrol::tools {

namespace {

// The covered positions 0..f[1], never past the end of the span.
std::size_t coveredLength(std::span<const std::uint8_t> frame) {
    if (frame.size() < 2) return frame.size();
    return std::min<std::size_t>(frame.size(), static_cast<std::size_t>(frame[1]) + 1);
}

void fillTwoByteChecksum(std::span<std::uint8_t> frame) {
    frame[4] = 0;
    frame[5] = 0;
    const TwoByteChecksum sum = twoByteChecksum(frame);
    frame[4] = sum.odd;
    frame[5] = sum.even;
}

// The built direct-style frame: start byte, last index, command,
// sub-command, checksum, payload.
Bytes headedFrame(std::uint8_t start, std::uint8_t code, std::uint8_t second, std::span<const std::uint8_t> payload) {
    Bytes f(6 + payload.size(), 0);
    f[0] = start;
    f[1] = static_cast<std::uint8_t>(5 + payload.size());
    f[2] = code;
    f[3] = second;
    std::copy(payload.begin(), payload.end(), f.begin() + 6);
    fillTwoByteChecksum(f);
    return f;
}

Bytes innerFrame(const Command& c) { return headedFrame(kDirectStart, c.command, c.subCommand, c.payload); }

}  // namespace

TwoByteChecksum twoByteChecksum(std::span<const std::uint8_t> frame) {
    TwoByteChecksum sum;
    const std::size_t n = coveredLength(frame);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = (i == 4 || i == 5) ? 0 : frame[i];
        (i % 2 == 0 ? sum.even : sum.odd) ^= b;
    }
    return sum;
}

std::uint8_t oneByteChecksum(std::span<const std::uint8_t> frame) {
    std::uint8_t x = 0;
    const std::size_t n = coveredLength(frame);
    for (std::size_t i = 0; i < n; ++i) x ^= (i == 2) ? 0 : frame[i];
    return x;
}

bool twoByteChecksumMatches(std::span<const std::uint8_t> frame) {
    if (frame.size() < 6) return false;
    const TwoByteChecksum sum = twoByteChecksum(frame);
    return frame[4] == sum.odd && frame[5] == sum.even;
}

Bytes encodeCommand(const Command& c) {
    const Bytes inner = innerFrame(c);
    if (!c.multiplexed) return Bytes(inner.begin() + 1, inner.end());
    Bytes f(4 + c.route.size() + inner.size(), 0);
    f[0] = kEnvelopeStart;
    f[3] = static_cast<std::uint8_t>(c.route.size());
    std::copy(c.route.begin(), c.route.end(), f.begin() + 4);
    std::copy(inner.begin(), inner.end(), f.begin() + 4 + static_cast<std::ptrdiff_t>(c.route.size()));
    f[1] = static_cast<std::uint8_t>(f.size() - 1);
    f[2] = oneByteChecksum(f);
    return f;
}

std::string describeCommand(const Command& c) {
    std::string s = c.multiplexed ? "multiplexed (route " + (c.route.empty() ? std::string("empty") : toHex(c.route, ',')) + ") "
                                  : std::string("direct ");
    s += "command " + std::to_string(c.command) + ", sub-command " + std::to_string(c.subCommand);
    s += c.payload.empty() ? ", no payload" : ", payload " + toHex(c.payload);
    return s;
}

Bytes replyFrame(std::uint8_t replyCode, std::uint8_t header3, std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxReplyPayload) throw std::invalid_argument("reply payload above 245 bytes");
    return headedFrame(kReplyStart, replyCode, header3, payload);
}

ReplyVerdict judgeReply(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2) {
        return {-2, bytes.empty() ? "no reply arrived" : "only 1 byte arrived, the header needs 2"};
    }
    const unsigned last = bytes[1];
    if (last > kMaxReplyIndex) return {-3, "length byte L = " + std::to_string(last) + " is above 250"};
    if (last < kMinFrameIndex) {
        return {-3, "length byte L = " + std::to_string(last) + " is below 5, too short to hold a checksum"};
    }
    if (bytes.size() < last + 1U) {
        return {-2, "the header announced " + std::to_string(last + 1) + " bytes, only " +
                        std::to_string(bytes.size()) + " arrived"};
    }
    const auto frame = bytes.first(last + 1U);
    if (!twoByteChecksumMatches(frame)) {
        const TwoByteChecksum sum = twoByteChecksum(frame);
        return {-3, "checksum mismatch: received " + hexByte(frame[4]) + " " + hexByte(frame[5]) + ", computed " +
                        hexByte(sum.odd) + " " + hexByte(sum.even)};
    }
    const std::uint8_t code = frame[2];
    if (code >= kFirstDeviceError) {
        return {static_cast<std::int32_t>(code) - 259, "device error code " + std::to_string(code)};
    }
    return {1, "valid reply frame, reply code " + std::to_string(code)};
}

}  // namespace kavrol::tools
