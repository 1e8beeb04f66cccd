// How long the POSIX host looks, sleeps and blocks between two looks at a
// port's queues. Pure arithmetic on the line's speed, the wait's counts and
// the time left, so that every number can be held against its reason.
#pragma once

#include <algorithm>
#include <cstdint>

#include "host/host.h"

namespace kavrol::host::posix {

using Nanos = std::int64_t;

inline constexpr Nanos kNanosPerSecond = 1000000000;
inline constexpr Nanos kNanosPerMs = 1000000;
// Longest single block when there is no deadline; the caller looks again.
inline constexpr Nanos kLongestBlock = 1000 * kNanosPerMs;
// Shortest and longest sleep while bytes trickle in or drain. The cap keeps
// a slow configured line speed (or a peer faster than it) from sleeping
// through bytes that have long arrived.
inline constexpr Nanos kShortestSleep = 100000;
inline constexpr Nanos kLongestSleep = 2 * kNanosPerMs;
// Sleeps while bytes trickle in double with each look that found no new
// byte, up to this many times.
inline constexpr std::uint32_t kLongestBackoffShift = 3;
// Bounds of the adaptive spin of a loop's first wait.
inline constexpr Nanos kSpinShortest = 4000;
inline constexpr Nanos kSpinLongest = 80000;

// The port's framing: line speed and bit times of one character.
struct LineSpeed {
    std::uint32_t baud = 9600;
    std::uint32_t bitsPerChar = 10;
};

// Time the line needs for `chars` characters, never below kShortestSleep.
constexpr Nanos lineTime(const LineSpeed& line, std::uint32_t chars) {
    const Nanos ns = static_cast<Nanos>(chars) * line.bitsPerChar * kNanosPerSecond / line.baud;
    return std::max(ns, kShortestSleep);
}

// Sleep of a wait that found part of its input, or output still queued:
// about the line time of what is missing (at least one character), longer
// while looks find no change, never above kLongestSleep.
constexpr Nanos stepSleep(const LineSpeed& line, const PortWait& wait) {
    if (wait.kind == PortWait::Kind::OutputEmpty) {
        return std::min(lineTime(line, std::max(wait.queued, 1U)), kLongestSleep);
    }
    const std::uint32_t missing = wait.wanted > wait.queued ? wait.wanted - wait.queued : 1U;
    return std::min(lineTime(line, missing) << std::min(wait.stalls, kLongestBackoffShift), kLongestSleep);
}

// How long a wait may block when the caller's last possible look is
// budgetMs ticks away and the clock is `intoMs` into its current
// millisecond. The tick is the clock's whole milliseconds, so a block of
// budgetMs from the middle of a tick would wake late in the last tick, and
// any wake-up latency would carry the next look past the deadline. The
// block therefore ends at the start of the tick before the last one,
// leaving two milliseconds of looks in short steps.
constexpr Nanos blockLimit(std::uint32_t budgetMs, Nanos intoMs) {
    if (budgetMs == kNoDeadline) return kLongestBlock;
    if (budgetMs < 2) return kShortestSleep;
    return std::max(static_cast<Nanos>(budgetMs - 1) * kNanosPerMs - intoMs, kShortestSleep);
}

// The spin length after a first wait that was over `took` after it began:
// long enough to cover that answer time when the longest spin can, else
// halved (the peer answers later than spinning pays for).
constexpr Nanos spinAfterAnswer(Nanos spin, Nanos took) {
    const Nanos covering = std::max(spin, took + took / 2);
    return std::clamp(covering <= kSpinLongest ? covering : spin / 2, kSpinShortest, kSpinLongest);
}

// The spin length after a first wait that ended without its answer.
constexpr Nanos spinAfterSilence(Nanos spin) { return std::max(spin / 2, kSpinShortest); }

}  // namespace kavrol::host::posix
