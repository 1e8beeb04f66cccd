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

constexpr int kIdlePollMs = 50;       // how often the application's settings are looked at
constexpr int kNoClientPauseMs = 20;  // back-off while nobody holds the pty
constexpr std::size_t kReadSize = 4096;
// Read from a side no further while this much waits for the other: the
// sender is held up as a real port's output queue would hold it.
constexpr std::size_t kMaxPending = 64 * 1024;
constexpr tcflag_t kLineFlags = CSIZE | PARENB | PARODD | CSTOPB;

std::int64_t monotonicUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

const char* sideName(tools::LineDirection to) { return to == tools::LineDirection::Host ? "application" : "device"; }

// "19200 baud, 2 stop bits": what a pseudo-terminal shows of a line.
std::string ptyLineText(const tools::LineSettings& s) {
    return (s.baud != 0 ? std::to_string(s.baud) + " baud" : std::string("a speed that is no standard rate")) + ", " +
           std::to_string(s.stopBits) + (s.stopBits == 1 ? " stop bit" : " stop bits");
}

int makeNonBlocking(int fd) {
    if (fd < 0) return -1;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return flags;
}

void restoreFlags(int fd, int flags) {
    if (fd >= 0 && flags >= 0) ::fcntl(fd, F_SETFL, flags);
}

}  // namespace

std::int64_t wallClockUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

tools::LineSettings followedLine(const tools::LineSettings& asked, const tools::LineSettings& device, bool fromPty) {
    tools::LineSettings s = device;
    if (asked.baud != 0) s.baud = asked.baud;
    s.stopBits = asked.stopBits;
    const bool shows8N = asked.dataBits == 8 && asked.parity == 'N';
    if (!fromPty || !shows8N) {
        s.dataBits = asked.dataBits;
        s.parity = asked.parity;
    }
    return s;
}

LineTap::LineTap(int appFd, int devFd, bool followAppLine, const tools::LineSettings& device)
    : appFd_(appFd), devFd_(devFd), follow_(followAppLine), device_(device) {
    appFlags_ = makeNonBlocking(appFd_);
    devFlags_ = makeNonBlocking(devFd_);
    flows_[0].from = appFd_;
    flows_[0].to = devFd_;
    flows_[0].direction = tools::LineDirection::Host;
    flows_[1].from = devFd_;
    flows_[1].to = appFd_;
    flows_[1].direction = tools::LineDirection::Device;
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
    restoreFlags(appFd_, appFlags_);
    restoreFlags(devFd_, devFlags_);
}

void LineTap::stop() {
    stopping_.store(true);
    wake_.notify();
    if (thread_.joinable()) thread_.join();
}

std::vector<TapChunk> LineTap::take(int timeoutMs) {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !chunks_.empty() || failed_.load(); });
    std::vector<TapChunk> out(std::make_move_iterator(chunks_.begin()), std::make_move_iterator(chunks_.end()));
    chunks_.clear();
    return out;
}

tools::LineSettings LineTap::deviceLine() const {
    std::lock_guard lock(mutex_);
    return device_;
}

void LineTap::note(std::string text) {
    {
        std::lock_guard lock(mutex_);
        chunks_.push_back({tools::LineDirection::Unknown, {}, wallClockUs(), std::move(text)});
    }
    ready_.notify_one();
}

void LineTap::fail(bool deviceSide) {
    deviceFailed_.store(deviceSide);
    failed_.store(true);
    ready_.notify_one();
}

bool LineTap::readFrom(Flow& f) {
    std::uint8_t buf[kReadSize];
    const bool dropping = f.stalled || f.to < 0;
    const std::size_t room = dropping ? sizeof buf : std::min(sizeof buf, kMaxPending - (f.pending.size() - f.sent));
    if (room == 0) return true;
    const ssize_t n = ::read(f.from, buf, room);
    if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        // A pty whose application end is closed reads EIO (or 0) until
        // someone opens it again.
        if (f.from == appFd_ && follow_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kNoClientPauseMs));
            return true;
        }
        note(std::string("reading the ") + (f.from == appFd_ ? "application" : "device") +
             " side failed: " + (n < 0 ? std::strerror(errno) : "end of file"));
        fail(f.from == devFd_);
        return false;
    }
    const auto count = static_cast<std::size_t>(n);
    if (dropping) {
        f.dropped += count;
    } else {
        if (f.sent == f.pending.size()) {
            f.pending.clear();
            f.sent = 0;
            f.waitingSinceUs = monotonicUs();
        }
        f.pending.insert(f.pending.end(), buf, buf + count);
    }
    // The decoder sees every byte that was on the line, also those the
    // other side did not take.
    {
        std::lock_guard lock(mutex_);
        chunks_.push_back({f.direction, tools::Bytes(buf, buf + count), wallClockUs(), {}});
    }
    ready_.notify_one();
    return true;
}

bool LineTap::writeTo(Flow& f) {
    if (f.stalled) {
        // The side takes bytes again: forward what comes from now on.
        f.stalled = false;
        note(std::string("the ") +
             sideName(f.direction == tools::LineDirection::Host ? tools::LineDirection::Device
                                                                : tools::LineDirection::Host) +
             " side reads again; " + std::to_string(f.dropped) + " bytes for it were dropped");
        f.dropped = 0;
        return true;
    }
    const ssize_t n = ::write(f.to, f.pending.data() + f.sent, f.pending.size() - f.sent);
    if (n > 0) {
        f.sent += static_cast<std::size_t>(n);
        f.waitingSinceUs = monotonicUs();
        if (f.sent == f.pending.size()) {
            f.pending.clear();
            f.sent = 0;
        } else if (f.sent >= kMaxPending) {
            f.pending.erase(f.pending.begin(), f.pending.begin() + static_cast<std::ptrdiff_t>(f.sent));
            f.sent = 0;
        }
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    note(std::string("writing to the ") + (f.to == devFd_ ? "device" : "application") +
         " side failed: " + (n < 0 ? std::strerror(errno) : "nothing written"));
    fail(f.to == devFd_);
    return false;
}

void LineTap::checkStall(Flow& f, std::int64_t nowUs) {
    if (f.stalled || f.sent == f.pending.size() || nowUs - f.waitingSinceUs < kTapStallMs * 1000LL) return;
    const std::size_t waiting = f.pending.size() - f.sent;
    f.pending.clear();
    f.sent = 0;
    f.stalled = true;
    f.dropped = waiting;
    const char* side = f.to == devFd_ ? "device" : "application";
    note(std::string("the ") + side + " side took nothing for " + std::to_string(kTapStallMs) + " ms: " +
         std::to_string(waiting) + " bytes for it dropped, and what comes for it is dropped until it reads again");
}

void LineTap::followLine() {
    termios app{};
    if (!follow_ || ::tcgetattr(appFd_, &app) != 0) return;
    const auto flags = static_cast<unsigned>(app.c_cflag & kLineFlags);
    const auto speed = static_cast<unsigned>(::cfgetospeed(&app));
    if (lastAppFlags_ == flags && lastAppSpeed_ == speed) return;
    lastAppFlags_ = flags;
    lastAppSpeed_ = speed;
    const std::optional<tools::LineSettings> asked = tools::ttyLine(appFd_);
    if (!asked) return;
    const tools::LineSettings before = deviceLine();
    const tools::LineSettings want = followedLine(*asked, before, true);
    const bool shows8N = asked->dataBits == 8 && asked->parity == 'N';
    const std::string what = "the application set its line to " +
                             (shows8N ? ptyLineText(*asked) + " (a pseudo-terminal shows no parity or data bits)"
                                      : tools::describeLine(*asked));
    if (devFd_ < 0) {
        std::lock_guard lock(mutex_);
        device_ = want;
    } else if (!tools::setTtyLine(devFd_, want)) {
        note(what + "; the device side cannot follow (" + tools::describeLine(want) + ": " + std::strerror(errno) +
             ") and stays at " + tools::describeLine(before));
        return;
    } else {
        std::lock_guard lock(mutex_);
        device_ = want;
    }
    note(what + "; the device side " + (devFd_ < 0 ? "is set to " : "follows: ") + tools::describeLine(want) +
         (devFd_ < 0 ? " when it is back" : ""));
}

void LineTap::run() {
    Flow& up = flows_[0];    // application -> device
    Flow& down = flows_[1];  // device -> application
    auto wantsRead = [](const Flow& f) { return f.stalled || f.to < 0 || f.pending.size() - f.sent < kMaxPending; };
    auto wantsWrite = [](const Flow& f) { return f.to >= 0 && (f.stalled || f.sent < f.pending.size()); };
    while (!stopping_.load()) {
        const auto events = [](bool read, bool write) {
            return static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0));
        };
        pollfd p[3] = {{appFd_, events(wantsRead(up), wantsWrite(down)), 0},
                       {devFd_, events(wantsRead(down), wantsWrite(up)), 0},
                       {wake_.fd(), POLLIN, 0}};
        const int n = ::poll(p, 3, kIdlePollMs);
        if (n < 0 && errno != EINTR) {
            note(std::string("poll failed: ") + std::strerror(errno));
            fail(false);
            return;
        }
        followLine();
        if (stopping_.load()) break;
        if (n > 0) {
            constexpr short kWritable = POLLOUT | POLLERR | POLLHUP;
            constexpr short kReadable = POLLIN | POLLERR | POLLHUP;
            // Writes first: the room they make is used by this round's reads.
            // Each end is looked at on its own, so one side that takes
            // nothing never holds up the other direction.
            bool ok = true;
            if (ok && wantsWrite(up) && (p[1].revents & kWritable) != 0) ok = writeTo(up);
            if (ok && wantsWrite(down) && (p[0].revents & kWritable) != 0) ok = writeTo(down);
            // A hang-up is read (and so reported) even when the flow is full.
            if (ok && (p[0].revents & kReadable) != 0 && (wantsRead(up) || (p[0].revents & POLLIN) == 0))
                ok = readFrom(up);
            if (ok && (p[1].revents & kReadable) != 0 && (wantsRead(down) || (p[1].revents & POLLIN) == 0))
                ok = readFrom(down);
            if ((p[0].revents | p[1].revents) & POLLNVAL) {
                note("a port of the tap was closed under it");
                fail(false);
                ok = false;
            }
            if (!ok) return;
        }
        const std::int64_t now = monotonicUs();
        checkStall(up, now);
        checkStall(down, now);
    }
}

}  // namespace kavrol::cli
