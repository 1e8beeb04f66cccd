// A pipe that wakes a thread's poll when it is to stop: once raised, its
// read end stays readable, so every later wait of that thread ends at once.
#pragma once

namespace kavrol::tools {

class StopPipe {
public:
    // Both ends non-blocking and close-on-exec; throws std::runtime_error.
    StopPipe();
    ~StopPipe();
    StopPipe(const StopPipe&) = delete;
    StopPipe& operator=(const StopPipe&) = delete;

    // Async-signal-safe.
    void raise() const;
    // The end to poll for POLLIN.
    int fd() const { return fds_[0]; }

private:
    int fds_[2] = {-1, -1};
};

}  // namespace kavrol::tools
