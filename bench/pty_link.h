// A raw-mode pty pair and an echo-style peer for the round-trip benchmarks.
// The client side (`port`) is what a library binds to; the peer thread
// serves the other end (`device`): it reads one request of a fixed byte
// count and answers with fixed reply bytes, for as long as it runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "pty/pty_pair.h"

namespace kavrol::bench {

// The raw-mode pair: port() for the library, device() for the peer.
using PtyLink = pty::PtyPair;

// Reads exactly n bytes from a blocking descriptor; false on end or error.
bool ReadExactly(int fd, std::uint8_t* dest, std::size_t n);
// Busy-waits until at least n bytes are queued for reading; false on error.
bool SpinUntilQueued(int fd, std::size_t n);
// Writes all n bytes; false on error.
bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t n);

class EchoPeer {
public:
    EchoPeer(const PtyLink& link, std::size_t requestBytes, std::vector<std::uint8_t> reply);
    // Stops the thread: wakes it with one more request from the port side,
    // which it does not answer.
    ~EchoPeer();
    EchoPeer(const EchoPeer&) = delete;
    EchoPeer& operator=(const EchoPeer&) = delete;

private:
    void Run();

    const PtyLink& link_;
    std::size_t requestBytes_;
    std::vector<std::uint8_t> reply_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kavrol::bench
