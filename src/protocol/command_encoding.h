// Command frames as a host sends them: direct (without its start byte) or
// wrapped in a multiplexer envelope, built in a fixed area.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/frame.h"

namespace kavrol::protocol {

struct CommandFrameFields {
    bool multiplexed = false;
    std::span<const std::uint8_t> route;  // multiplexed frames only
    std::uint8_t command = 0;
    std::uint8_t subCommand = 0;
    std::span<const std::uint8_t> payload;
};

// The word payload, low byte first; returns its length (0 above four items).
unsigned writeWordPayload(const std::uint16_t (&words)[kMaxWordItems], std::uint8_t itemCount,
                          std::span<std::uint8_t, 2 * kMaxWordItems> dest);

// Writes the bytes to send into `area` and returns how many there are, or
// kRejected (area untouched) when the frame would not fit the 50-byte area
// or the route is longer than 9. The direct frame is built with its start
// byte, then the whole area moves down by one byte.
std::int32_t encodeCommandFrame(const CommandFrameFields& fields, std::span<std::uint8_t, kCommandAreaSize> area);

}  // namespace kavrol::protocol
