// The forwarding half of `kavrol monitor`: copies every byte between the
// application's end and the device's end as soon as it arrives, on a thread
// of its own, and hands a copy of each chunk (with the time it was read) to
// whoever decodes them. Forwarding never waits for the decoder.
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

namespace kavrol::cli {

struct TapChunk {
    tools::LineDirection direction = tools::LineDirection::Unknown;  // Host: from the application
    tools::Bytes bytes;
    std::int64_t timeUs = 0;  // wall clock, microseconds since the epoch
    std::string note;         // instead of bytes: a line about the tap itself
};

// Microseconds since the epoch.
std::int64_t wallClockUs();

class LineTap {
public:
    // appFd: the application's end (a pty master or a port); devFd: the
    // device's port. With followAppLine the application's termios settings
    // on appFd (a pty) are copied to devFd whenever they change.
    LineTap(int appFd, int devFd, bool followAppLine);
    ~LineTap();
    LineTap(const LineTap&) = delete;
    LineTap& operator=(const LineTap&) = delete;

    // Waits up to timeoutMs for chunks; returns those that came (maybe
    // none), in order, with the notes about the tap (settings followed, a
    // port that failed) among them.
    std::vector<TapChunk> take(int timeoutMs);
    // Ends forwarding; the thread is joined.
    void stop();
    bool failed() const { return failed_.load(); }

private:
    void run();
    bool forward(int from, int to, tools::LineDirection d);
    void followLine();
    void note(std::string text);

    int appFd_;
    int devFd_;
    bool follow_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<TapChunk> chunks_;
    std::optional<unsigned> lastAppFlags_;
    std::optional<unsigned> lastAppSpeed_;
    std::thread thread_;
};

}  // namespace kavrol::cli
