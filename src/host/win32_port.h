// The Win32 host's port calls, written against the few serial calls of the
// system they make (the Api below) rather than against <windows.h>, so that
// the same logic runs against a simulated driver and clock in the tests.
//
// Waits are driven by the driver: a read waits in ReadFile, bounded by the
// port's time-outs, and completes as soon as its bytes are there; an
// output-empty wait sleeps about the line time of what is still queued, on
// a high-resolution waitable timer where the system has one. Only where
// neither applies does a wait fall back to yielding and then sleeping in
// 1 ms steps. The system-wide timer resolution is never changed, and every
// comm setting changed for a call is put back before the call returns.
#pragma once

#include <algorithm>
#include <cstdint>

#include "host/host.h"

namespace kavrol::host::win32 {

// A port's comm time-outs, field for field as the driver keeps them.
struct CommTimeouts {
    std::uint32_t readInterval = 0;
    std::uint32_t readMultiplier = 0;
    std::uint32_t readConstant = 0;
    std::uint32_t writeMultiplier = 0;
    std::uint32_t writeConstant = 0;

    friend bool operator==(const CommTimeouts&, const CommTimeouts&) = default;
};

// The framing of the line: speed and bits of one character (start, data,
// parity, stop bits).
struct LineFormat {
    std::uint32_t baud = 0;
    std::uint32_t bitsPerChar = 10;
};

// Bits of one character for the DCB's ByteSize, Parity and StopBits codes
// (StopBits 0: one, 1: one and a half, counted as one, 2: two).
constexpr std::uint32_t bitsPerChar(std::uint32_t byteSize, std::uint32_t parity, std::uint32_t stopBits) {
    const std::uint32_t data = byteSize >= 5 && byteSize <= 8 ? byteSize : 8U;
    return 1U + data + (parity != 0 ? 1U : 0U) + (stopBits == 2 ? 2U : 1U);
}

// How a ReadFile or WriteFile ended. Pending: an overlapped transfer left
// running because its time-outs could not be bounded.
struct Transfer {
    enum class Status : std::uint8_t { Ok, Failed, Lost, Pending };
    Status status = Status::Ok;
    std::uint32_t done = 0;  // bytes moved
};

// Waits of a fallback loop that only yield before it sleeps: a few
// character times at usual line speeds.
inline constexpr std::uint32_t kYieldingWaits = 64;
// Shortest timer sleep, and the longest one when there is no deadline (the
// caller looks again after it).
inline constexpr std::uint32_t kShortestSleepUs = 100;
inline constexpr std::uint32_t kLongestSleepUs = 1000000;

// Microseconds the line needs for `chars` characters (saturating).
constexpr std::uint64_t lineTimeUs(const LineFormat& line, std::uint32_t chars) {
    if (line.baud == 0) return kLongestSleepUs;
    return static_cast<std::uint64_t>(chars) * line.bitsPerChar * 1000000U / line.baud;
}

// The timer sleep of an output-empty wait with `queued` bytes still to
// send: about their line time, never past the wait's last look (budgetMs;
// 0: a short sleep), never below kShortestSleepUs.
constexpr std::uint32_t drainSleepUs(const LineFormat& line, std::uint32_t queued, std::uint32_t budgetMs) {
    const std::uint64_t cap =
        budgetMs == kNoDeadline ? kLongestSleepUs : std::min<std::uint64_t>(budgetMs * 1000ULL, kLongestSleepUs);
    const std::uint64_t us = std::min(lineTimeUs(line, queued), cap);
    return static_cast<std::uint32_t>(std::max<std::uint64_t>(us, kShortestSleepUs));
}

// A comm time-out total for a budget: 0 asks the driver for no limit.
constexpr std::uint32_t timeoutTotal(std::uint32_t budgetMs) { return budgetMs == kNoDeadline ? 0U : budgetMs; }

// The port half of the Host interface over Api, which provides:
//   void purge(PortHandle, std::uint32_t flags)                        PurgeComm
//   bool clearError(PortHandle, QueueCounts&, bool& lost)              ClearCommError; lost: the
//                                                                      failure says the port is gone
//   bool getTimeouts(PortHandle, CommTimeouts&)                        GetCommTimeouts
//   bool setTimeouts(PortHandle, const CommTimeouts&)                  SetCommTimeouts
//   bool lineFormat(PortHandle, LineFormat&)                           GetCommState
//   Transfer readFile(PortHandle, std::uint8_t*, std::uint32_t, void* overlapped, bool complete)
//   Transfer writeFile(PortHandle, const std::uint8_t*, std::uint32_t, void* overlapped, bool complete)
//                                                                      ReadFile / WriteFile; complete: a
//                                                                      pending overlapped transfer is
//                                                                      waited for until the driver ends it
//   std::uint32_t tickMs()                                             GetTickCount
//   void yield()                                                       SwitchToThread
//   void sleepMs(std::uint32_t)                                        Sleep
//   bool sleepPreciseUs(std::uint32_t)                                 a high-resolution waitable timer;
//                                                                      false when the system has none
// The file calls stay for the derived class.
template <typename Api>
class PortHost : public Host {
public:
    constexpr PortHost() = default;
    explicit constexpr PortHost(const Api& api) : api_(api) {}

    void purge(PortHandle port, std::uint32_t flags) override { api_.purge(port, flags); }

    // The write is bounded through the port's write time-outs; a pending
    // overlapped write is waited for while they hold, so that the link's
    // record is free again when the call returns. A handle without comm
    // time-outs is left alone and its pending write left running.
    PortOutcome write(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* overlapped,
                      std::uint32_t budgetMs) override {
        CommTimeouts previous{};
        const bool bounded = boundTimeouts(port, previous, [budgetMs](CommTimeouts& t) {
            t.writeMultiplier = 0;
            t.writeConstant = timeoutTotal(budgetMs);
        });
        const Transfer sent = api_.writeFile(port, bytes, count, overlapped, bounded);
        if (bounded) api_.setTimeouts(port, previous);
        // A pending write goes on in the background: the output-empty wait judges it.
        return outcomeOf(sent, count, PortOutcome::Done, PortOutcome::TimedOut);
    }

    bool queryQueues(PortHandle port, QueueCounts& counts) override {
        bool lost = false;
        return api_.clearError(port, counts, lost);
    }

    // Bytes the queue count promised: fewer by the deadline means another
    // reader took them. A port whose time-outs cannot be set is read as
    // it is configured.
    PortOutcome read(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                     std::uint32_t budgetMs) override {
        std::uint32_t got = 0;
        const PortOutcome r = receive(port, dest, count, overlapped, budgetMs, got);
        if (r == PortOutcome::Unserved) {
            return outcomeOf(api_.readFile(port, dest, count, overlapped, false), count, PortOutcome::Failed,
                             PortOutcome::Failed);
        }
        return r == PortOutcome::TimedOut ? PortOutcome::Failed : r;
    }

    // One ReadFile with a total time-out of the budget and no interval
    // limit: the driver completes it when the count is there or the time
    // is up. Unserved when the port's time-outs cannot be set.
    PortOutcome receive(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                        std::uint32_t budgetMs, std::uint32_t& got) override {
        got = 0;
        CommTimeouts previous{};
        if (!boundTimeouts(port, previous, [budgetMs](CommTimeouts& t) {
                t.readInterval = 0;
                t.readMultiplier = 0;
                t.readConstant = timeoutTotal(budgetMs);
            })) {
            return PortOutcome::Unserved;
        }
        const Transfer r = api_.readFile(port, dest, count, overlapped, true);
        api_.setTimeouts(port, previous);
        got = std::min(r.done, count);
        return outcomeOf(r, count, PortOutcome::Failed, PortOutcome::TimedOut);
    }

    // Output still queued: a timer sleep of about its line time. Otherwise
    // (no timer, no line format, input waits that reads do not serve): a
    // few yields, then 1 ms sleeps, which may last a scheduler tick.
    PortOutcome waitPort(PortHandle port, const PortWait& wait, std::uint32_t budgetMs) override {
        if (port != nullptr && wait.kind == PortWait::Kind::OutputEmpty && wait.queued != 0) {
            LineFormat line;
            if (api_.lineFormat(port, line) && api_.sleepPreciseUs(drainSleepUs(line, wait.queued, budgetMs))) {
                return PortOutcome::Done;
            }
        }
        if (wait.pass < kYieldingWaits) {
            api_.yield();
            return PortOutcome::Done;
        }
        if (port != nullptr) {
            QueueCounts counts{};
            bool lost = false;
            if (!api_.clearError(port, counts, lost) && lost) return PortOutcome::Lost;
        }
        api_.sleepMs(budgetMs < 1 ? 0 : 1);
        return PortOutcome::Done;
    }

    void clearError(PortHandle port) override {
        QueueCounts counts{};
        bool lost = false;
        static_cast<void>(api_.clearError(port, counts, lost));
    }

    std::uint32_t tickMs() override { return api_.tickMs(); }

protected:
    Api& api() { return api_; }

private:
    // The outcome of a transfer of `count` bytes; `pending` for one left
    // running, `shortOf` for one that moved fewer bytes.
    static PortOutcome outcomeOf(const Transfer& t, std::uint32_t count, PortOutcome pending, PortOutcome shortOf) {
        switch (t.status) {
            case Transfer::Status::Pending: return pending;
            case Transfer::Status::Lost: return PortOutcome::Lost;
            case Transfer::Status::Failed: return PortOutcome::Failed;
            case Transfer::Status::Ok: break;
        }
        return t.done >= count ? PortOutcome::Done : shortOf;
    }

    // Saves the port's time-outs into `previous` and sets them as `change`
    // makes them; false (nothing changed) when either call fails.
    template <typename Change>
    bool boundTimeouts(PortHandle port, CommTimeouts& previous, Change change) {
        if (!api_.getTimeouts(port, previous)) return false;
        CommTimeouts bounded = previous;
        change(bounded);
        return api_.setTimeouts(port, bounded);
    }

    Api api_{};
};

}  // namespace kavrol::host::win32
