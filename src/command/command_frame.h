// Command frames: direct (sent without its start byte) and multiplexed.
#pragma once

#include <cstdint>

#include "kavrol32/link.h"
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

// The library's one command type is the link API's: the exports fill one
// from their arguments, the link API takes the caller's.
using Command = KavrolCommand;

// The number of bytes a frame reads from rawData: itemCount for commands 8
// and 11, none for the others.
constexpr unsigned rawBytesRead(const Command& args) { return takesRawPayload(args.command) ? args.itemCount : 0U; }

// Builds the frame as it is sent into the work area and returns the number of
// bytes to send, or kRejected (nothing built) when the frame would not fit.
std::int32_t buildCommandFrame(const Command& args, std::uint8_t (&work)[kWorkAreaSize]);

// Builds the frame and sends it on the link with timedWrite: 1, -2 on
// time-out, or kRejected before anything reaches the port.
std::int32_t sendCommand(link::LinkState& link, const Command& args);

}  // namespace kavrol::command
