#include "protocol/command_encoding.h"

#include <algorithm>

#include "protocol/checksum.h"

namespace kavrol::protocol {

namespace {

// A direct-style frame (start byte, last index, command, sub-command,
// checksum, payload) at f, checksum filled; returns its length.
unsigned writeInnerFrame(const CommandFrameFields& c, std::span<std::uint8_t> f) {
    const auto length = static_cast<unsigned>(kInnerHeaderSize + c.payload.size());
    f[0] = kDirectStart;
    f[1] = static_cast<std::uint8_t>(length - 1);
    f[2] = c.command;
    f[3] = c.subCommand;
    std::copy(c.payload.begin(), c.payload.end(), f.begin() + kInnerHeaderSize);
    fillTwoByteChecksum(f.first(length));
    return length;
}

}  // namespace

unsigned writeWordPayload(const std::uint16_t (&words)[kMaxWordItems], std::uint8_t itemCount,
                          std::span<std::uint8_t, 2 * kMaxWordItems> dest) {
    if (itemCount > kMaxWordItems) return 0;
    for (unsigned i = 0; i < itemCount; ++i) {
        dest[2 * i] = static_cast<std::uint8_t>(words[i] & 0xFFU);
        dest[2 * i + 1] = static_cast<std::uint8_t>(words[i] >> 8);
    }
    return 2U * itemCount;
}

std::int32_t encodeCommandFrame(const CommandFrameFields& c, std::span<std::uint8_t, kCommandAreaSize> area) {
    const std::size_t payload = c.payload.size();
    if (!c.multiplexed) {
        if (payload > kMaxDirectRaw) return kRejected;
        const unsigned length = writeInnerFrame(c, area);
        // The direct frame goes out without its start byte: the whole area
        // moves down by one.
        std::copy(area.begin() + 1, area.end(), area.begin());
        return static_cast<std::int32_t>(length - 1);
    }
    const std::size_t n = c.route.size();
    if (n > kMaxRoute || payload + n > kMaxEnvelopeRaw) return kRejected;
    area[0] = kEnvelopeStart;
    area[2] = 0;
    area[3] = static_cast<std::uint8_t>(n);
    std::copy(c.route.begin(), c.route.end(), area.begin() + kEnvelopeHeaderSize);
    const auto inner = static_cast<unsigned>(kEnvelopeHeaderSize + n);
    const unsigned length = inner + writeInnerFrame(c, area.subspan(inner));
    area[1] = static_cast<std::uint8_t>(length - 1);
    // The outer checksum covers the finished inner one.
    fillOneByteChecksum(area.first(length));
    return static_cast<std::int32_t>(length);
}

}  // namespace kavrol::protocol
