#include "cli/line_tap.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kavrol::cli {

namespace {

constexpr int kIdlePollMs = 50;         // how often the application's settings are looked at
constexpr int kWriteStallMs = 1000;     // a port that takes no byte for this long has failed
constexpr int kNoClientPauseMs = 20;    // back-off while nobody holds the pty
constexpr tcflag_t kLineFlags = CSIZE | PARENB | PARODD | CSTOPB;

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, kWriteStallMs) <= 0) return false;
    }
    return true;
}

std::string lineText(const termios& t) {
    const tcflag_t size = t.c_cflag & CSIZE;
    const char bits = size == CS5 ? '5' : size == CS6 ? '6' : size == CS7 ? '7' : '8';
    const char parity = (t.c_cflag & PARENB) == 0 ? 'N' : (t.c_cflag & PARODD) != 0 ? 'O' : 'E';
    return std::string{bits, parity, (t.c_cflag & CSTOPB) != 0 ? '2' : '1'};
}

}  // namespace

std::int64_t wallClockUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

LineTap::LineTap(int appFd, int devFd, bool followAppLine) : appFd_(appFd), devFd_(devFd), follow_(followAppLine) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    if (follow_) {
        termios t{};
        if (::tcgetattr(appFd_, &t) == 0) {
            lastAppFlags_ = static_cast<unsigned>(t.c_cflag & kLineFlags);
            lastAppSpeed_ = static_cast<unsigned>(::cfgetospeed(&t));
        }
    }
    thread_ = std::thread([this] { run(); });
}

LineTap::~LineTap() {
    stop();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void LineTap::stop() {
    stopping_.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
    if (thread_.joinable()) thread_.join();
}

std::vector<TapChunk> LineTap::take(int timeoutMs) {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !chunks_.empty() || failed_.load(); });
    std::vector<TapChunk> out(std::make_move_iterator(chunks_.begin()), std::make_move_iterator(chunks_.end()));
    chunks_.clear();
    return out;
}

void LineTap::note(std::string text) {
    {
        std::lock_guard lock(mutex_);
        chunks_.push_back({tools::LineDirection::Unknown, {}, wallClockUs(), std::move(text)});
    }
    ready_.notify_one();
}

bool LineTap::forward(int from, int to, tools::LineDirection d) {
    std::uint8_t buf[4096];
    const ssize_t n = ::read(from, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        // A pty whose application end is closed reads EIO (or 0) until
        // someone opens it again.
        if (from == appFd_ && follow_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kNoClientPauseMs));
            return true;
        }
        note(std::string("reading the ") + (d == tools::LineDirection::Host ? "application" : "device") +
             " side failed: " + (n < 0 ? std::strerror(errno) : "end of file"));
        return false;
    }
    const std::int64_t at = wallClockUs();
    // Forward first: the copy for the decoder never holds the line up.
    if (!writeAll(to, buf, static_cast<std::size_t>(n))) {
        note(std::string("writing to the ") + (d == tools::LineDirection::Host ? "device" : "application") +
             " side failed: " + std::strerror(errno));
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        chunks_.push_back({d, tools::Bytes(buf, buf + n), at, {}});
    }
    ready_.notify_one();
    return true;
}

void LineTap::followLine() {
    termios app{};
    if (!follow_ || ::tcgetattr(appFd_, &app) != 0) return;
    const auto flags = static_cast<unsigned>(app.c_cflag & kLineFlags);
    const auto speed = static_cast<unsigned>(::cfgetospeed(&app));
    if (lastAppFlags_ == flags && lastAppSpeed_ == speed) return;
    lastAppFlags_ = flags;
    lastAppSpeed_ = speed;
    termios dev{};
    if (::tcgetattr(devFd_, &dev) != 0) return;
    dev.c_cflag = (dev.c_cflag & ~kLineFlags) | (app.c_cflag & kLineFlags);
    const bool speedOk = ::cfsetospeed(&dev, ::cfgetospeed(&app)) == 0 && ::cfsetispeed(&dev, ::cfgetospeed(&app)) == 0;
    if (speedOk && ::tcsetattr(devFd_, TCSANOW, &dev) == 0) {
        note("the application set its line to " + lineText(app) + "; the device side follows");
    } else {
        note("the application set its line to " + lineText(app) + "; the device side cannot follow: " +
             std::strerror(errno));
    }
}

void LineTap::run() {
    while (!stopping_.load()) {
        pollfd p[3] = {{appFd_, POLLIN, 0}, {devFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int n = ::poll(p, 3, kIdlePollMs);
        if (n < 0 && errno != EINTR) break;
        followLine();
        if (n <= 0 || stopping_.load()) continue;
        bool ok = true;
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ok = forward(appFd_, devFd_, tools::LineDirection::Host);
        if (ok && (p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ok = forward(devFd_, appFd_, tools::LineDirection::Device);
        if (!ok) {
            failed_.store(true);
            ready_.notify_one();
            return;
        }
    }
}

}  // namespace kavrol::cli
