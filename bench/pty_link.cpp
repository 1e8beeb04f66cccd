#include "pty_link.h"

#include <cerrno>
#include <utility>

#include <sys/ioctl.h>
#include <unistd.h>

namespace kavrol::bench {

bool ReadExactly(int fd, std::uint8_t* dest, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::read(fd, dest + done, n - done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool SpinUntilQueued(int fd, std::size_t n) {
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, FIONREAD, &queued) != 0) return false;
        if (queued >= 0 && static_cast<std::size_t>(queued) >= n) return true;
    }
}

bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t put = ::write(fd, bytes + done, n - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

EchoPeer::EchoPeer(const PtyLink& link, std::size_t requestBytes, std::vector<std::uint8_t> reply)
    : link_(link), requestBytes_(requestBytes), reply_(std::move(reply)), thread_([this] { Run(); }) {}

void EchoPeer::Run() {
    std::vector<std::uint8_t> request(requestBytes_);
    while (ReadExactly(link_.device(), request.data(), request.size())) {
        if (stop_.load()) return;
        if (!WriteAll(link_.device(), reply_.data(), reply_.size())) return;
    }
}

EchoPeer::~EchoPeer() {
    stop_ = true;
    const std::vector<std::uint8_t> wake(requestBytes_, 0);
    WriteAll(link_.port(), wake.data(), wake.size());
    thread_.join();
}

}  // namespace kavrol::bench
