#include "pty_link.h"

#include <chrono>

#include <cerrno>
#include <utility>

#include <sys/ioctl.h>
#include <unistd.h>

namespace kavrol::bench {

bool spinUntilQueued(int fd, std::size_t n) {
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, FIONREAD, &queued) != 0) return false;
        if (queued >= 0 && static_cast<std::size_t>(queued) >= n) return true;
    }
}

EchoPeer::EchoPeer(const PtyPair& link, std::size_t requestBytes, std::vector<std::uint8_t> reply,
                   PeerBehaviour behaviour)
    : link_(link), requestBytes_(requestBytes), reply_(std::move(reply)), behaviour_(behaviour), thread_([this] {
          run();
      }) {}

void EchoPeer::run() {
    std::vector<std::uint8_t> request(requestBytes_);
    while (readWhole(link_.device(), request.data(), request.size())) {
        if (stop_.load()) return;
        if (behaviour_.silent) continue;
        if (behaviour_.delayUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(behaviour_.delayUs));
        if (behaviour_.byteGapUs == 0) {
            if (!writeWhole(link_.device(), reply_.data(), reply_.size())) return;
            continue;
        }
        for (std::size_t i = 0; i < reply_.size(); ++i) {
            if (i != 0) std::this_thread::sleep_for(std::chrono::microseconds(behaviour_.byteGapUs));
            if (!writeWhole(link_.device(), &reply_[i], 1)) return;
        }
    }
}

EchoPeer::~EchoPeer() {
    stop_ = true;
    const std::vector<std::uint8_t> wake(requestBytes_, 0);
    writeWhole(link_.port(), wake.data(), wake.size());
    thread_.join();
}

}  // namespace kavrol::bench
