#include "support/pty_peer.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kavrol::pty {

void* portHandle(const PtyPair& pair) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(pair.port())); }

bool holdPortOutput(const PtyPair& pair) {
    termios t{};
    if (::tcgetattr(pair.port(), &t) != 0) return false;
    t.c_iflag |= IXON;
    if (::tcsetattr(pair.port(), TCSANOW, &t) != 0) return false;
    peerWrite(pair, {0x13});
    ::usleep(20000);  // let the line discipline see the XOFF
    return true;
}

void peerWrite(const PtyPair& pair, const std::vector<std::uint8_t>& bytes) {
    if (!writeWhole(pair.device(), bytes.data(), bytes.size())) throw std::runtime_error("peer write");
}

std::vector<std::uint8_t> peerRead(const PtyPair& pair, std::size_t n, int timeoutMs) {
    std::vector<std::uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{pair.device(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        std::uint8_t buf[512];
        const ssize_t got = ::read(pair.device(), buf, std::min(sizeof buf, n - out.size()));
        if (got > 0) out.insert(out.end(), buf, buf + got);
    }
    return out;
}

std::vector<std::uint8_t> peerDrain(const PtyPair& pair, int quietMs) {
    std::vector<std::uint8_t> out;
    for (;;) {
        pollfd p{pair.device(), POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0) break;
        std::uint8_t buf[512];
        const ssize_t got = ::read(pair.device(), buf, sizeof buf);
        if (got <= 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

bool waitPortInput(const PtyPair& pair, std::size_t n, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int queued = 0;
        if (::ioctl(pair.port(), FIONREAD, &queued) == 0 && static_cast<std::size_t>(queued) >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace kavrol::pty
