// A pseudo-terminal pair in raw mode, for tests, benchmarks and the device
// simulator. `port` is the end a serial client uses (the terminal, also
// reachable by portPath()); `device` is the end that plays the device.
// Both descriptors are close-on-exec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kavrol::pty {

// Blocking whole transfers on either end, retrying after a signal: false
// when the descriptor fails or (reading) the other end is gone first.
bool writeWhole(int fd, const std::uint8_t* bytes, std::size_t n);
bool readWhole(int fd, std::uint8_t* dest, std::size_t n);

class PtyPair {
public:
    // Throws std::runtime_error naming the failing call; whatever was opened
    // is closed again first.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int port() const { return port_; }
    int device() const { return device_; }
    const std::string& portPath() const { return path_; }

    // Closes the device end early: the port end sees a hang-up.
    void closeDevice();

private:
    int port_ = -1;
    int device_ = -1;
    std::string path_;
};

}  // namespace kavrol::pty
