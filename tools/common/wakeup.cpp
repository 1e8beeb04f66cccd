#include "common/wakeup.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/eventfd.h>
#include <unistd.h>

namespace kavrol::tools {

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

Wakeup::~Wakeup() { ::close(fd_); }

void Wakeup::notify() const {
    const std::uint64_t one = 1;
    // A full counter already wakes the reader.
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void Wakeup::drain() const {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
}

}  // namespace kavrol::tools
