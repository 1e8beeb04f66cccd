#include "pty_link.h"

#include <chrono>

#include <cerrno>
#include <utility>

#include <sys/ioctl.h>
#include <unistd.h>

namespace kavrol::bench {

bool readExactly(int fd, std::uint8_t* dest, std::size_t n) {
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

bool spinUntilQueued(int fd, std::size_t n) {
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, FIONREAD, &queued) != 0) return false;
        if (queued >= 0 && static_cast<std::size_t>(queued) >= n) return true;
    }
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t n) {
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

EchoPeer::EchoPeer(const PtyPair& link, std::size_t requestBytes, std::vector<std::uint8_t> reply,
                   PeerBehaviour behaviour)
    : link_(link), requestBytes_(requestBytes), reply_(std::move(reply)), behaviour_(behaviour), thread_([this] {
          run();
      }) {}

void EchoPeer::run() {
    std::vector<std::uint8_t> request(requestBytes_);
    while (readExactly(link_.device(), request.data(), request.size())) {
        if (stop_.load()) return;
        if (behaviour_.silent) continue;
        if (behaviour_.delayUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(behaviour_.delayUs));
        if (behaviour_.byteGapUs == 0) {
            if (!writeAll(link_.device(), reply_.data(), reply_.size())) return;
            continue;
        }
        for (std::size_t i = 0; i < reply_.size(); ++i) {
            if (i != 0) std::this_thread::sleep_for(std::chrono::microseconds(behaviour_.byteGapUs));
            if (!writeAll(link_.device(), &reply_[i], 1)) return;
        }
    }
}

EchoPeer::~EchoPeer() {
    stop_ = true;
    const std::vector<std::uint8_t> wake(requestBytes_, 0);
    writeAll(link_.port(), wake.data(), wake.size());
    thread_.join();
}

}  // namespace kavrol::bench
