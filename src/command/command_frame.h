// Command frames: direct (sent without its start byte) and multiplexed.
#pragma once

#include <cstdint>

namespace kavrol::link {
struct LinkState;
}

namespace kavrol::command {

inline constexpr unsigned kWorkAreaSize = 50;
inline constexpr unsigned kMaxRoute = 9;
inline constexpr std::uint8_t kDirectStart = 0x3C;    // '<'
inline constexpr std::uint8_t kEnvelopeStart = 0x24;  // '$'
inline constexpr std::int32_t kRejected = -1;

struct CommandArgs {
    std::uint8_t routeCount = 0;
    std::uint8_t command = 0;
    std::uint8_t subCommand = 0;
    std::uint8_t route[kMaxRoute] = {};
    std::uint8_t itemCount = 0;
    std::uint16_t words[4] = {};
    std::uint8_t muxMode = 0;
    const std::uint8_t* rawData = nullptr;
};

// True for the commands that carry itemCount raw bytes instead of words.
constexpr bool takesRawPayload(std::uint8_t command) { return command == 8 || command == 11; }

// The number of bytes a frame reads from rawData: itemCount for commands 8
// and 11, none for the others.
constexpr unsigned RawBytesRead(const CommandArgs& args) {
    return takesRawPayload(args.command) ? args.itemCount : 0U;
}

// Builds the frame as it is sent into the work area and returns the number of
// bytes to send, or kRejected (nothing built) when the frame would not fit.
std::int32_t BuildCommandFrame(const CommandArgs& args, std::uint8_t (&work)[kWorkAreaSize]);

// Builds the frame and sends it on the link with TimedWrite: 1, -2 on
// time-out, or kRejected before anything reaches the port.
std::int32_t SendCommand(link::LinkState& link, const CommandArgs& args);

}  // namespace kavrol::command
