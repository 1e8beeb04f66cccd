#include "common/stop_pipe.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace kavrol::tools {

StopPipe::StopPipe() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

StopPipe::~StopPipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void StopPipe::raise() const {
    const char byte = 1;
    // A full pipe is readable already.
    [[maybe_unused]] const ssize_t n = ::write(fds_[1], &byte, 1);
}

}  // namespace kavrol::tools
