// A raw-mode pty pair: the library binds to `port` (the application's side),
// the test plays the device on `peer`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pty/pty_pair.h"

namespace kavrol::test {

class PtyPair {
public:
    int port() const { return pair_.port(); }
    int peer() const { return pair_.device(); }
    void* portHandle() const;

    // Writes bytes on the device side.
    void peerWrite(const std::vector<std::uint8_t>& bytes) const;
    // Reads exactly n bytes on the device side, waiting up to timeoutMs.
    std::vector<std::uint8_t> peerRead(std::size_t n, int timeoutMs = 5000) const;
    // Reads whatever arrives on the device side within quietMs.
    std::vector<std::uint8_t> peerDrain(int quietMs = 100) const;
    // Closes the device side: the port hangs up.
    void closePeer();
    // Makes the port side obey XON/XOFF and sends XOFF from the device:
    // nothing the port writes can go out. False when the setting failed.
    bool holdPortOutput() const;
    // Waits until the port side has n bytes queued for reading.
    bool waitPortInput(std::size_t n, int timeoutMs = 5000) const;

private:
    pty::PtyPair pair_;
};

}  // namespace kavrol::test
