// Fault injection with outcomes that a client can reproduce.
//
// Every decision is a pure function of (seed, sequence number of the
// command, index of the fault in its list): no hidden generator state, so a
// test that knows the seed and the fault list computes the same schedule
// with planReply(), whatever happened to earlier commands.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "simulator/scenario.h"

namespace kavrol::tools {

struct AppliedFault {
    FaultKind kind = FaultKind::NoReply;
    std::uint32_t value = 0;  // ms, bytes kept, code, noise count or L; 0 if none
};

struct ReplyPlan {
    Bytes bytes;                // what goes on the line (empty: nothing)
    std::uint32_t delayMs = 0;  // wait before sending
    std::vector<AppliedFault> applied;
    ReplyVerdict expected;  // what a protocol-following host reads from bytes
};

// A uniform draw in [0, 1) and a raw 64-bit value for one (seed, seq, slot).
double faultDraw(std::uint64_t seed, std::uint64_t seq, std::uint64_t slot);
std::uint64_t faultBits(std::uint64_t seed, std::uint64_t seq, std::uint64_t slot);

// Decides which faults fire for command number seq and applies them to the
// reply frame. Fault i fires when faultDraw(seed, seq, 3i) < its probability.
// Effects are applied in a fixed order whatever the list order: device
// error (code replaced, checksum refilled), bad checksum, oversize L,
// truncation (1 .. size - 1 bytes kept), noise before the frame, no reply,
// delay. Values a fault does not fix are drawn from slot 3i + 1, noise
// bytes from slot 3i + 2.
ReplyPlan planReply(const Bytes& frame, std::span<const FaultSpec> faults, std::uint64_t seed, std::uint64_t seq);

// What the client reads of a planned reply. A reply abandoned during its
// delay, or held back for at least the client's time-out, is a time-out
// whatever its bytes: the client has stopped waiting before it comes.
ReplyVerdict clientVerdict(const ReplyPlan& plan, bool abandoned, std::uint32_t clientTimeoutMs);

}  // namespace kavrol::tools
