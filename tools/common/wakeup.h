// An eventfd that wakes a thread's poll: the gateway's MQTT thread when a
// line queued a message, a command was answered or a signal came; the line
// tap's and the simulator's threads when they are to stop (never drained,
// it stays readable, so every later wait ends at once).
#pragma once

namespace kavrol::tools {

class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    // Async-signal-safe.
    void notify() const;
    // Takes the pending wake-ups.
    void drain() const;
    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace kavrol::tools
