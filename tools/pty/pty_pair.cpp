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

// One loop for both directions: transfer(fd, at, left) moves what it can.
template <typename Byte, typename Transfer>
bool whole(int fd, Byte* at, std::size_t n, Transfer transfer) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t moved = transfer(fd, at + done, n - done);
        if (moved > 0) {
            done += static_cast<std::size_t>(moved);
        } else if (moved < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool writeWhole(int fd, const std::uint8_t* bytes, std::size_t n) { return whole(fd, bytes, n, ::write); }
bool readWhole(int fd, std::uint8_t* dest, std::size_t n) { return whole(fd, dest, n, ::read); }

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
