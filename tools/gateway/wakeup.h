// An eventfd that wakes the MQTT thread's poll: a line queued a message, a
// command was answered, a signal came.
#pragma once

namespace kavrol::gateway {

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

}  // namespace kavrol::gateway
