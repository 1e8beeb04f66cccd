#include "pty_link.h"

#include <chrono>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kavrol::bench {

namespace {
void MakeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) throw std::runtime_error("tcgetattr");
    ::cfmakeraw(&t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr");
}
}  // namespace

PtyLink::PtyLink() {
    if (::openpty(&device_, &port_, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    MakeRaw(port_);
    MakeRaw(device_);
}

PtyLink::~PtyLink() {
    ::close(port_);
    ::close(device_);
}

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

EchoPeer::EchoPeer(const PtyLink& link, std::size_t requestBytes, std::vector<std::uint8_t> reply,
                   PeerBehaviour behaviour)
    : link_(link), requestBytes_(requestBytes), reply_(std::move(reply)), behaviour_(behaviour),
      thread_([this] { Run(); }) {}

void EchoPeer::Run() {
    std::vector<std::uint8_t> request(requestBytes_);
    while (ReadExactly(link_.device(), request.data(), request.size())) {
        if (stop_.load()) return;
        if (behaviour_.silent) continue;
        if (behaviour_.delayUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(behaviour_.delayUs));
        if (behaviour_.byteGapUs == 0) {
            if (!WriteAll(link_.device(), reply_.data(), reply_.size())) return;
            continue;
        }
        for (std::size_t i = 0; i < reply_.size(); ++i) {
            if (i != 0) std::this_thread::sleep_for(std::chrono::microseconds(behaviour_.byteGapUs));
            if (!WriteAll(link_.device(), &reply_[i], 1)) return;
        }
    }
}

EchoPeer::~EchoPeer() {
    stop_ = true;
    const std::vector<std::uint8_t> wake(requestBytes_, 0);
    WriteAll(link_.port(), wake.data(), wake.size());
    thread_.join();
}

}  // namespace kavrol::bench
