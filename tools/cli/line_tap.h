// The forwarding half of `kavrol monitor`: copies every byte between the
// application's end and the device's end as soon as it arrives, on a thread
// of its own, and hands a copy of each chunk (with the time it was read) to
// whoever decodes them. Forwarding never waits for the decoder, and the two
// directions never wait for each other: both ends are non-blocking, and a
// side that takes nothing for a second has the bytes for it dropped (as a
// real line drops what nobody reads) until it reads again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/capture/hex_log.h"
#include "common/hex.h"
#include "common/serial_port.h"
#include "common/wakeup.h"

namespace kavrol::cli {

struct TapChunk {
    tools::LineDirection direction = tools::LineDirection::Unknown;  // Host: from the application
    tools::Bytes bytes;
    std::int64_t timeUs = 0;  // wall clock, microseconds since the epoch
    std::string note;         // instead of bytes: a line about the tap itself
};

// Microseconds since the epoch.
std::int64_t wallClockUs();

// How long a side may take nothing before the bytes waiting for it are dropped.
inline constexpr int kTapStallMs = 1000;

// What the device side is set to when the application's end asks for
// `asked` (as its termios shows it) and the device side is at `device` now.
// A Linux pseudo-terminal always shows 8 data bits and no parity whatever
// the application set, so 8N from a pty leaves the device side's data bits
// and parity as they are; the speed and the stop bits are followed.
tools::LineSettings followedLine(const tools::LineSettings& asked, const tools::LineSettings& device, bool fromPty);

class LineTap {
public:
    // appFd: the application's end (a pty master or a port); devFd: the
    // device's port, or -1 while there is none (what the application sends
    // is then dropped). With followAppLine the application's termios
    // settings on appFd (a pty) are applied to devFd whenever they change;
    // device: what the device side is set to now. Both descriptors are made
    // non-blocking for the tap's lifetime.
    LineTap(int appFd, int devFd, bool followAppLine, const tools::LineSettings& device);
    ~LineTap();
    LineTap(const LineTap&) = delete;
    LineTap& operator=(const LineTap&) = delete;

    // Waits up to timeoutMs for chunks; returns those that came (maybe
    // none), in order, with the notes about the tap (settings followed, a
    // port that failed) among them.
    std::vector<TapChunk> take(int timeoutMs);
    // Ends forwarding; the thread is joined. Returns within a poll period
    // (50 ms) whatever the line does.
    void stop();
    bool failed() const { return failed_.load(); }
    // The failure was on the device side (its port hung up or vanished).
    bool deviceFailed() const { return deviceFailed_.load(); }
    // What the device side is set to, after the settings followed so far.
    tools::LineSettings deviceLine() const;

private:
    struct Flow {
        int from = -1;
        int to = -1;
        tools::LineDirection direction = tools::LineDirection::Unknown;
        tools::Bytes pending;             // read, not yet taken by `to`
        std::size_t sent = 0;             // of pending
        std::int64_t waitingSinceUs = 0;  // last progress while something is pending
        bool stalled = false;             // `to` took nothing for kTapStallMs: drop until it reads
        std::uint64_t dropped = 0;        // since the stall began
    };

    void run();
    bool readFrom(Flow& f);
    bool writeTo(Flow& f);
    void checkStall(Flow& f, std::int64_t nowUs);
    void followLine();
    void note(std::string text);
    void fail(bool deviceSide);

    int appFd_;
    int devFd_;
    bool follow_;
    int appFlags_ = -1;
    int devFlags_ = -1;
    tools::Wakeup wake_;
    Flow flows_[2];
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> deviceFailed_{false};
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<TapChunk> chunks_;
    tools::LineSettings device_;
    std::optional<unsigned> lastAppFlags_;
    std::optional<unsigned> lastAppSpeed_;
    std::thread thread_;
};

}  // namespace kavrol::cli
