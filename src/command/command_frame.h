// Command frames: direct (sent without its start byte) and multiplexed.
#pragma once

#include <cstdint>

#include "protocol/frame.h"

namespace kavrol::link {
struct LinkState;
}

namespace kavrol::command {

inline constexpr unsigned kWorkAreaSize = protocol::kCommandAreaSize;
using protocol::kDirectStart;
using protocol::kEnvelopeStart;
using protocol::kMaxRoute;
using protocol::kRejected;
using protocol::takesRawPayload;

struct CommandArgs {
    std::uint8_t routeCount = 0;
    std::uint8_t command = 0;
    std::uint8_t subCommand = 0;
    std::uint8_t route[kMaxRoute] = {};
    std::uint8_t itemCount = 0;
    std::uint16_t words[protocol::kMaxWordItems] = {};
    std::uint8_t muxMode = 0;
    const std::uint8_t* rawData = nullptr;
};

// The number of bytes a frame reads from rawData: itemCount for commands 8
// and 11, none for the others.
constexpr unsigned rawBytesRead(const CommandArgs& args) {
    return takesRawPayload(args.command) ? args.itemCount : 0U;
}

// Builds the frame as it is sent into the work area and returns the number of
// bytes to send, or kRejected (nothing built) when the frame would not fit.
std::int32_t buildCommandFrame(const CommandArgs& args, std::uint8_t (&work)[kWorkAreaSize]);

// Builds the frame and sends it on the link with timedWrite: 1, -2 on
// time-out, or kRejected before anything reaches the port.
std::int32_t sendCommand(link::LinkState& link, const CommandArgs& args);

}  // namespace kavrol::command
