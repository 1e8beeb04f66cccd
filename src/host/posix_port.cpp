#include "host/posix_port.h"
#include "host/posix_wait_policy.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kavrol::host::posix {

namespace {

// The adaptive spin length of a loop's first wait, one per wait kind and
// descriptor slot, so that lines with different peers steer each other
// little. It only steers how long to look; 0 is the starting value.
constexpr int kSpinSlots = 16;
std::atomic<std::int32_t> g_spinNs[2][kSpinSlots];

Nanos now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

Nanos budgetNanos(std::uint32_t budgetMs) {
    return budgetMs == kNoDeadline ? kLongestBlock : static_cast<Nanos>(budgetMs) * kNanosPerMs;
}

bool isLostError(int error) {
    return error == EIO || error == ENXIO || error == EBADF || error == ENODEV || error == EPIPE;
}

// Blocks up to ns until fd shows one of events; `ready` tells whether it
// did. Lost when it shows a hang-up, an error or an invalid descriptor, even
// together with POLLIN (a hung-up tty reports itself readable for ever). The
// callers only block when the bytes they need are not there, so no needed
// byte is given up. A descriptor of -1 is not watched: the call only sleeps.
PortOutcome block(int fd, short events, Nanos ns, bool& ready) {
    if (ns < 0) ns = 0;
    pollfd p{fd, events, 0};
    const timespec limit{static_cast<time_t>(ns / kNanosPerSecond), static_cast<long>(ns % kNanosPerSecond)};
    const int n = ::ppoll(&p, fd < 0 ? 0 : 1, &limit, nullptr);
    ready = n > 0 && (p.revents & events) != 0;
    if (n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return PortOutcome::Lost;
    return PortOutcome::Done;
}

PortOutcome block(int fd, short events, Nanos ns) {
    bool ready = false;
    return block(fd, events, ns, ready);
}

// Sets O_NONBLOCK on the descriptor for the guard's lifetime and puts the
// application's file status flags back afterwards.
class NonBlocking {
public:
    explicit NonBlocking(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {
        if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
    }
    ~NonBlocking() {
        if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) ::fcntl(fd_, F_SETFL, flags_);
    }
    NonBlocking(const NonBlocking&) = delete;
    NonBlocking& operator=(const NonBlocking&) = delete;
    bool valid() const { return flags_ >= 0; }

private:
    int fd_;
    int flags_;
};

// Moves count bytes with `step` (a non-blocking read or write), blocking
// for `events` between steps until the budget runs out.
template <typename Step>
PortOutcome transfer(int fd, std::uint32_t count, std::uint32_t budgetMs, short events, PortOutcome shortResult,
                     Step step) {
    if (fd < 0) return PortOutcome::Failed;
    const NonBlocking guard(fd);
    if (!guard.valid()) return errno == EBADF ? PortOutcome::Lost : PortOutcome::Failed;
    const bool endless = budgetMs == kNoDeadline;
    const Nanos deadline = now() + budgetNanos(budgetMs);
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t n = step(done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n == 0) return PortOutcome::Lost;  // end of file: the other side is gone
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return isLostError(errno) ? PortOutcome::Lost : PortOutcome::Failed;
        const Nanos left = endless ? kLongestBlock : deadline - now();
        if (left <= 0) return shortResult;
        if (block(fd, events, left) == PortOutcome::Lost) return PortOutcome::Lost;
    }
    return PortOutcome::Done;
}

// The speeds a termios speed code stands for; each row is built from the
// code's own name, so a code and its number cannot disagree.
#define KAVROL_SPEED(n) {B##n, n}
std::uint32_t baudOf(speed_t speed) {
    struct Pair {
        speed_t code;
        std::uint32_t baud;
    };
    static constexpr Pair kSpeeds[] = {
        KAVROL_SPEED(50),     KAVROL_SPEED(75),     KAVROL_SPEED(110),    KAVROL_SPEED(134),
        KAVROL_SPEED(150),    KAVROL_SPEED(200),    KAVROL_SPEED(300),    KAVROL_SPEED(600),
        KAVROL_SPEED(1200),   KAVROL_SPEED(1800),   KAVROL_SPEED(2400),   KAVROL_SPEED(4800),
        KAVROL_SPEED(9600),   KAVROL_SPEED(19200),  KAVROL_SPEED(38400),  KAVROL_SPEED(57600),
        KAVROL_SPEED(115200), KAVROL_SPEED(230400), KAVROL_SPEED(460800), KAVROL_SPEED(921600),
    };
    for (const Pair& p : kSpeeds) {
        if (p.code == speed) return p.baud;
    }
    return 0;
}
#undef KAVROL_SPEED

// The port's configured speed and framing; 9600 8N1 when it has none.
LineSpeed lineOf(int fd) {
    LineSpeed line;
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) return line;
    const std::uint32_t baud = baudOf(::cfgetispeed(&t));
    if (baud != 0) line.baud = baud;
    std::uint32_t data = 8;
    switch (t.c_cflag & CSIZE) {
        case CS5: data = 5; break;
        case CS6: data = 6; break;
        case CS7: data = 7; break;
        default: break;
    }
    line.bitsPerChar = 1 + data + ((t.c_cflag & PARENB) != 0 ? 1 : 0) + ((t.c_cflag & CSTOPB) != 0 ? 2 : 1);
    return line;
}

bool satisfied(int fd, const PortWait& wait) {
    std::uint32_t n = 0;
    if (!queryQueue(fd, wait.kind, n)) return false;
    return wait.kind == PortWait::Kind::Input ? n > 0 && n >= wait.wanted : n == 0;
}

// The adaptive spin length of one wait kind on one descriptor.
class Spin {
public:
    Spin(int fd, PortWait::Kind kind)
        : slot_(g_spinNs[kind == PortWait::Kind::Input ? 0 : 1][static_cast<unsigned>(fd) % kSpinSlots]) {}

    Nanos length() const {
        const std::int32_t ns = slot_.load(std::memory_order_relaxed);
        return ns == 0 ? kSpinLongest / 2 : ns;
    }
    void answeredAfter(Nanos took) { store(spinAfterAnswer(length(), took)); }
    void notAnswered() { store(spinAfterSilence(length())); }

private:
    void store(Nanos ns) { slot_.store(static_cast<std::int32_t>(ns), std::memory_order_relaxed); }
    std::atomic<std::int32_t>& slot_;
};

// Keeps looking until the wait is satisfied or `until` has passed.
bool spinUntilSatisfied(int fd, const PortWait& wait, Nanos until) {
    do {
        if (satisfied(fd, wait)) return true;
    } while (now() < until);
    return false;
}

}  // namespace

bool queryQueue(int fd, PortWait::Kind kind, std::uint32_t& count) {
    if (fd < 0) return false;
    int n = 0;
    if (::ioctl(fd, kind == PortWait::Kind::Input ? FIONREAD : TIOCOUTQ, &n) != 0) return false;
    count = n > 0 ? static_cast<std::uint32_t>(n) : 0U;
    return true;
}

int descriptorOf(PortHandle port) {
    const auto value = reinterpret_cast<std::uintptr_t>(port);
    return value <= static_cast<std::uintptr_t>(INT_MAX) ? static_cast<int>(value) : -1;
}

PortOutcome writeBounded(int fd, const std::uint8_t* bytes, std::uint32_t count, std::uint32_t budgetMs) {
    return transfer(fd, count, budgetMs, POLLOUT, PortOutcome::TimedOut,
                    [&](std::uint32_t done) { return ::write(fd, bytes + done, count - done); });
}

PortOutcome readBounded(int fd, std::uint8_t* dest, std::uint32_t count, std::uint32_t budgetMs) {
    return transfer(fd, count, budgetMs, POLLIN, PortOutcome::Failed,
                    [&](std::uint32_t done) { return ::read(fd, dest + done, count - done); });
}

// The first wait of a loop spins briefly. Then: no input yet, block until
// some arrives; part of it, sleep about the line time of the rest (input
// that is already there keeps POLLIN raised), longer while no byte comes;
// output still queued, sleep about the time it needs to go out. A hang-up
// ends every sleep.
PortOutcome waitPort(int fd, const PortWait& wait, std::uint32_t budgetMs) {
    const Nanos start = now();
    const Nanos budget = blockLimit(budgetMs, start % kNanosPerMs);
    const bool awaitsFirstByte = wait.kind == PortWait::Kind::Input && wait.queued == 0;
    const auto sleepAStep = [&] { return block(fd, 0, std::min(stepSleep(lineOf(fd), wait), budget)); };
    if (fd < 0 || wait.pass != 0) return awaitsFirstByte ? block(fd, POLLIN, budget) : sleepAStep();
    Spin spin(fd, wait.kind);
    if (spinUntilSatisfied(fd, wait, start + std::min(budget, spin.length()))) {
        spin.answeredAfter(now() - start);
        return PortOutcome::Done;
    }
    if (!awaitsFirstByte) {
        spin.notAnswered();
        return sleepAStep();
    }
    bool ready = false;
    const PortOutcome outcome = block(fd, POLLIN, budget, ready);
    if (ready) {
        spin.answeredAfter(now() - start);
    } else {
        spin.notAnswered();
    }
    return outcome;
}

}  // namespace kavrol::host::posix
