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
// Past that, a wait whose count still does not move (a peer that stopped
// mid-reply, output held by flow control) lets its cap grow by doubling up
// to this: the wait then wakes a few dozen times a second, not 500 times.
inline constexpr Nanos kLongestStallSleep = 16 * kNanosPerMs;
// First step of the back-off after a wake-up that brought no byte (a port
// that reports itself readable with nothing queued); it doubles with each
// further such look, up to kLongestStallSleep.
inline constexpr Nanos kFirstIdleSleep = kShortestSleep;
// Bounds of the adaptive spin of a loop's first wait.
inline constexpr Nanos kSpinShortest = 4000;
inline constexpr Nanos kSpinLongest = 80000;
// An answer caught while blocked within this time of the wait's start may
// have come just after the spin: the wake-up latency hides when. Such an
// answer asks for a probe, not for a shorter spin.
inline constexpr Nanos kNearAnswer = 4 * kSpinLongest;
// Every this many first waits, one spins the longest spin whatever the
// last answers said, so that a spin that shrank recovers even when
// wake-ups are slower than kNearAnswer.
inline constexpr std::uint32_t kProbeEvery = 32;

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

// The cap of a step-sleep after `stalls` looks in a row found no change:
// kLongestSleep, doubling with each stall past kLongestBackoffShift, up to
// kLongestStallSleep.
constexpr Nanos stallCap(std::uint32_t stalls) {
    const std::uint32_t beyond = stalls > kLongestBackoffShift ? stalls - kLongestBackoffShift : 0U;
    return std::min(kLongestSleep << std::min(beyond, 3U), kLongestStallSleep);
}

// Sleep of a wait that found part of its input, or output still queued:
// about the line time of what is missing (at least one character), longer
// while looks find no change, never above stallCap.
constexpr Nanos stepSleep(const LineSpeed& line, const PortWait& wait) {
    if (wait.kind == PortWait::Kind::OutputEmpty) {
        return std::min(lineTime(line, std::max(wait.queued, 1U)), stallCap(wait.stalls));
    }
    const std::uint32_t missing = wait.wanted > wait.queued ? wait.wanted - wait.queued : 1U;
    return std::min(lineTime(line, missing) << std::min(wait.stalls, kLongestBackoffShift), stallCap(wait.stalls));
}

// Sleep after a wake-up for the first byte that found none queued: short
// at first, doubling with each look in a row that found nothing.
constexpr Nanos idleSleep(std::uint32_t stalls) {
    return std::min(kFirstIdleSleep << std::min(stalls, 8U), kLongestStallSleep);
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

// The adaptive spin of one wait kind on one descriptor: its length, and
// the first waits since the last probe, and whether a probe that a near
// answer asked for missed since then (the peer is then slower than the
// longest spin: near answers ask for no more probes until the regular one),
// and whether the last first wait missed its answer.
struct SpinState {
    Nanos length = kSpinLongest / 2;
    std::uint32_t sinceProbe = 0;
    bool probeMissed = false;
    bool missedLast = false;
};

// How a loop's first wait ended.
enum class FirstWait : std::uint8_t {
    CaughtSpinning,  // the answer was seen while spinning
    CaughtBlocked,   // the answer woke the block that followed the spin
    Unanswered,      // no answer: the wait slept its budget, or the wait is no first-byte wait
};

// A probe spins the longest spin.
constexpr bool isProbe(const SpinState& s) { return s.sinceProbe >= kProbeEvery; }
constexpr Nanos spinLength(const SpinState& s) { return isProbe(s) ? kSpinLongest : s.length; }

// The spin after a first wait that ended `took` after it began.
// - Seen while spinning: the spin grows to cover that answer time by half
//   again, up to the longest; it never shrinks for an answer it caught.
// - Caught while blocked soon after the spin (within kNearAnswer): the
//   answer may have come just after the spin, and the wake-up latency
//   hides by how much, so it is no evidence of a slow peer: the next first
//   wait probes. A probe that still missed it (or a later answer) shows a
//   peer slower than spinning pays for, and near answers ask for no probe
//   until the regular one.
// - A slower answer, or none: the spin halves when the wait before missed
//   too (or this was a probe), so that one slow answer among quick ones
//   does not shorten the spin that catches the quick ones.
constexpr SpinState spinAfter(const SpinState& s, FirstWait end, Nanos took) {
    const bool probed = isProbe(s);
    SpinState next{s.length, probed ? 0U : s.sinceProbe + 1U, s.probeMissed, true};
    if (end == FirstWait::CaughtSpinning) {
        next.length = std::clamp(std::max(s.length, took + took / 2), kSpinShortest, kSpinLongest);
        next.probeMissed = false;
        next.missedLast = false;
        return next;
    }
    if (end == FirstWait::CaughtBlocked && !probed && !s.probeMissed && took <= kNearAnswer) {
        next.sinceProbe = kProbeEvery;
        return next;
    }
    if (probed || s.missedLast) next.length = std::max(s.length / 2, kSpinShortest);
    next.probeMissed = s.probeMissed || (probed && end == FirstWait::CaughtBlocked);
    return next;
}

}  // namespace kavrol::host::posix
