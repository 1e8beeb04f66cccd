// A raw-mode pty pair: the library binds to `port` (the application's side),
// the test plays the device on `peer`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavrol::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int port() const { return port_; }
    int peer() const { return peer_; }
    void* portHandle() const;

    // Writes bytes on the device side.
    void peerWrite(const std::vector<std::uint8_t>& bytes) const;
    // Reads exactly n bytes on the device side, waiting up to timeoutMs.
    std::vector<std::uint8_t> peerRead(std::size_t n, int timeoutMs = 5000) const;
    // Reads whatever arrives on the device side within quietMs.
    std::vector<std::uint8_t> peerDrain(int quietMs = 100) const;
    // Closes the device side: the port hangs up.
    void closePeer();
    // Waits until the port side has n bytes queued for reading.
    bool waitPortInput(std::size_t n, int timeoutMs = 5000) const;

private:
    int port_ = -1;
    int peer_ = -1;
};

}  // namespace kavrol::test
