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

using pty::PtyPair;
using pty::readWhole;
using pty::writeWhole;

// Busy-waits until at least n bytes are queued for reading; false on error.
bool spinUntilQueued(int fd, std::size_t n);

// How the peer answers: at once (the default), after a delay, one byte at
// a time with a gap between bytes, or not at all.
struct PeerBehaviour {
    int delayUs = 0;
    int byteGapUs = 0;
    bool silent = false;
};

class EchoPeer {
public:
    EchoPeer(const PtyPair& link, std::size_t requestBytes, std::vector<std::uint8_t> reply,
             PeerBehaviour behaviour = {});
    // Stops the thread: wakes it with one more request from the port side,
    // which it does not answer.
    ~EchoPeer();
    EchoPeer(const EchoPeer&) = delete;
    EchoPeer& operator=(const EchoPeer&) = delete;

private:
    void run();

    const PtyPair& link_;
    std::size_t requestBytes_;
    std::vector<std::uint8_t> reply_;
    PeerBehaviour behaviour_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kavrol::bench
