#include "common/pty_device.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace kavrol::tools {

namespace {
void makeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) throw std::runtime_error(std::string("tcgetattr: ") + std::strerror(errno));
    ::cfmakeraw(&t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) throw std::runtime_error(std::string("tcsetattr: ") + std::strerror(errno));
}
}  // namespace

PtyDevice::PtyDevice() {
    char name[256] = {};
    if (::openpty(&master_, &client_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    }
    path_ = name;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(client_, F_SETFD, FD_CLOEXEC);
    try {
        makeRaw(master_);
        makeRaw(client_);
    } catch (...) {
        ::close(master_);
        ::close(client_);
        throw;
    }
}

PtyDevice::~PtyDevice() {
    ::close(master_);
    ::close(client_);
}

}  // namespace kavrol::tools
