#include "pty/pty_pair.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace kavrol::pty {

namespace {

[[noreturn]] void fail(const char* call) { throw std::runtime_error(std::string(call) + ": " + std::strerror(errno)); }

void makeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) fail("tcgetattr");
    ::cfmakeraw(&t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) fail("tcsetattr");
}

void closeOnExec(int fd) {
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) fail("fcntl");
}

}  // namespace

PtyPair::PtyPair() {
    char name[256] = {};
    if (::openpty(&device_, &port_, name, nullptr, nullptr) != 0) fail("openpty");
    try {
        path_ = name;
        closeOnExec(device_);
        closeOnExec(port_);
        makeRaw(port_);
        makeRaw(device_);
    } catch (...) {
        ::close(port_);
        ::close(device_);
        throw;
    }
}

PtyPair::~PtyPair() {
    ::close(port_);
    if (device_ >= 0) ::close(device_);
}

void PtyPair::closeDevice() {
    if (device_ >= 0) ::close(device_);
    device_ = -1;
}

}  // namespace kavrol::pty
