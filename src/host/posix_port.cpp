#include "host/posix_port.h"
#include "host/posix_speeds.h"
#include "host/posix_wait_policy.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kavrol::host::posix {

namespace {

// The adaptive spin length of a loop's first wait, one per wait kind and
// descriptor slot, so that lines with different peers steer each other
// little. It only steers how long to look; 0 is the starting value. The
// length (low 32 bits) and the probe count (high) are one word, so a
// reading never mixes two states; bits 31 and 30 of the length word are
// the missed-probe and missed-last marks.
constexpr int kSpinSlots = 16;
std::atomic<std::uint64_t> g_spin[2][kSpinSlots];

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

// Descriptors this process has made non-blocking for its transfers, with
// how many transfers use each and the flags to put back. Two threads (or two
// links) on one descriptor share the entry, so the first to finish cannot
// clear O_NONBLOCK under the other: only the last one restores the flags.
class NonBlockingUsers {
public:
    // How one user holds the descriptor.
    enum class Hold : std::uint8_t { Failed, Shared, Alone };

    // Makes fd non-blocking for one more user. Failed when its flags cannot
    // be read (errno tells why). Alone when every entry is taken: the caller
    // then puts back `flags` itself, as a lone user would.
    Hold acquire(int fd, int& flags) {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (Entry& e : entries_) {
            if (e.users != 0 && e.fd == fd) {
                ++e.users;
                return Hold::Shared;
            }
        }
        flags = ::fcntl(fd, F_GETFL);
        if (flags < 0) return Hold::Failed;
        const bool set = (flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
        for (Entry& e : entries_) {
            if (e.users == 0) {
                e = Entry{fd, 1, flags, set};
                return Hold::Shared;
            }
        }
        if (!set) flags = -1;
        return Hold::Alone;
    }
    void release(int fd) {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (Entry& e : entries_) {
            if (e.users != 0 && e.fd == fd) {
                if (--e.users == 0 && e.restore) ::fcntl(fd, F_SETFL, e.flags);
                return;
            }
        }
    }

private:
    struct Entry {
        int fd = -1;
        int users = 0;
        int flags = 0;
        bool restore = false;
    };
    std::mutex mutex_;
    Entry entries_[64];
};

NonBlockingUsers& nonBlockingUsers() {
    static NonBlockingUsers users;
    return users;
}

// Keeps the descriptor non-blocking for the guard's lifetime; the
// application's file status flags come back when the last transfer on it
// ends.
class NonBlocking {
public:
    explicit NonBlocking(int fd) : fd_(fd), hold_(nonBlockingUsers().acquire(fd, flags_)) {}
    ~NonBlocking() {
        if (hold_ == NonBlockingUsers::Hold::Shared) nonBlockingUsers().release(fd_);
        if (hold_ == NonBlockingUsers::Hold::Alone && flags_ >= 0) ::fcntl(fd_, F_SETFL, flags_);
    }
    NonBlocking(const NonBlocking&) = delete;
    NonBlocking& operator=(const NonBlocking&) = delete;
    bool valid() const { return hold_ != NonBlockingUsers::Hold::Failed; }

private:
    int fd_;
    int flags_ = -1;
    NonBlockingUsers::Hold hold_;
};

// Holds SIGPIPE back from the calling thread while a write runs: a write
// to a pipe or socket without a reader must fail with EPIPE, not kill the
// application. A SIGPIPE the write raised is taken off the thread before
// the application's mask comes back. When the application blocks SIGPIPE
// itself, it is left to it.
class SigpipeHeld {
public:
    SigpipeHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        held_ = ::pthread_sigmask(SIG_BLOCK, &pipe_, &previous_) == 0 && sigismember(&previous_, SIGPIPE) == 0;
    }
    ~SigpipeHeld() {
        if (!held_) return;
        if (raised_) {
            const timespec none{0, 0};
            while (::sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;
    void raised() { raised_ = true; }

private:
    sigset_t pipe_{};
    sigset_t previous_{};
    bool held_ = false;
    bool raised_ = false;
};

// Moves count bytes with `step` (a non-blocking read or write), blocking
// for `events` between steps until the budget runs out. The deadline is
// checked before every step, and a step follows a short one only once the
// descriptor shows itself ready: should the descriptor be blocking after
// all (another program sharing it cleared the flag), a step then waits for
// the line only as long as the kernel's readiness allows.
template <typename Step>
PortOutcome transfer(int fd, std::uint32_t count, std::uint32_t budgetMs, short events, PortOutcome shortResult,
                     Step step) {
    if (fd < 0) return PortOutcome::Failed;
    const NonBlocking guard(fd);
    if (!guard.valid()) return errno == EBADF ? PortOutcome::Lost : PortOutcome::Failed;
    const bool endless = budgetMs == kNoDeadline;
    const Nanos deadline = now() + budgetNanos(budgetMs);
    std::uint32_t done = 0;
    bool ready = true;
    bool afterBlock = false;
    // Steps in a row that moved nothing although the descriptor had just
    // shown itself ready (a tty held by flow control can report room it does
    // not take): each wake-up after such a one also sleeps a growing back-off.
    std::uint32_t idle = 0;
    while (done < count) {
        const Nanos left = endless ? kLongestBlock : deadline - now();
        if (left <= 0) return shortResult;
        if (!ready) {
            if (block(fd, events, left, ready) == PortOutcome::Lost) return PortOutcome::Lost;
            if (ready && idle != 0 && block(fd, 0, std::min(idleSleep(idle - 1), left)) == PortOutcome::Lost) {
                return PortOutcome::Lost;
            }
            afterBlock = true;
            continue;
        }
        const ssize_t n = step(done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            ready = done == count;
            idle = 0;
            continue;
        }
        if (n == 0) return PortOutcome::Lost;  // end of file: the other side is gone
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return isLostError(errno) ? PortOutcome::Lost : PortOutcome::Failed;
        if (afterBlock) ++idle;
        ready = false;
    }
    return PortOutcome::Done;
}

// The port's configured speed and framing; 9600 8N1 when it has none.
LineSpeed lineOf(int fd) {
    LineSpeed line;
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) return line;
    const std::uint32_t baud = baudOfSpeedCode(::cfgetispeed(&t));
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

// The adaptive spin of one wait kind on one descriptor.
class Spin {
public:
    Spin(int fd, PortWait::Kind kind)
        : slot_(g_spin[kind == PortWait::Kind::Input ? 0 : 1][static_cast<unsigned>(fd) % kSpinSlots]),
          state_(load()) {}

    Nanos length() const { return spinLength(state_); }
    void ended(FirstWait end, Nanos took) {
        const SpinState next = spinAfter(state_, end, took);
        const std::uint32_t low = static_cast<std::uint32_t>(next.length) | (next.probeMissed ? kProbeMissedBit : 0U) |
                                  (next.missedLast ? kMissedLastBit : 0U);
        slot_.store(static_cast<std::uint64_t>(next.sinceProbe) << 32 | low, std::memory_order_relaxed);
    }

private:
    SpinState load() const {
        const std::uint64_t word = slot_.load(std::memory_order_relaxed);
        if (word == 0) return SpinState{};
        const auto low = static_cast<std::uint32_t>(word);
        return SpinState{static_cast<Nanos>(low & ~(kProbeMissedBit | kMissedLastBit)),
                         static_cast<std::uint32_t>(word >> 32), (low & kProbeMissedBit) != 0,
                         (low & kMissedLastBit) != 0};
    }
    static constexpr std::uint32_t kProbeMissedBit = 0x80000000U;
    static constexpr std::uint32_t kMissedLastBit = 0x40000000U;
    std::atomic<std::uint64_t>& slot_;
    SpinState state_;
};

// Keeps looking until the wait is satisfied or `until` has passed. Each
// look that finds nothing yields the processor: a peer (or the kernel
// worker that moves a pseudo-terminal's bytes) placed on this processor
// can then answer during the spin instead of after it.
bool spinUntilSatisfied(int fd, const PortWait& wait, Nanos until) {
    do {
        if (satisfied(fd, wait)) return true;
        ::sched_yield();
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
    if (value == 0) return -1;  // the null handle: unbound, never standard input
    return value <= static_cast<std::uintptr_t>(INT_MAX) ? static_cast<int>(value) : -1;
}

PortOutcome writeBounded(int fd, const std::uint8_t* bytes, std::uint32_t count, std::uint32_t budgetMs) {
    SigpipeHeld sigpipe;
    return transfer(fd, count, budgetMs, POLLOUT, PortOutcome::TimedOut, [&](std::uint32_t done) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n < 0 && errno == EPIPE) sigpipe.raised();
        return n;
    });
}

PortOutcome readBounded(int fd, std::uint8_t* dest, std::uint32_t count, std::uint32_t budgetMs) {
    return transfer(fd, count, budgetMs, POLLIN, PortOutcome::Failed,
                    [&](std::uint32_t done) { return ::read(fd, dest + done, count - done); });
}

// The first wait of a loop spins briefly. Then: no input yet, block until
// some arrives; part of it, sleep about the line time of the rest (input
// that is already there keeps POLLIN raised), longer while no byte comes;
// output still queued, sleep about the time it needs to go out. A hang-up
// ends every sleep. A port that shows itself readable with nothing queued
// (end of file, a line held in canonical mode, a descriptor that is no tty)
// would wake the block at once for ever: such a wake-up sleeps a back-off
// step that grows while it lasts.
PortOutcome waitPort(int fd, const PortWait& wait, std::uint32_t budgetMs) {
    const Nanos start = now();
    const Nanos budget = blockLimit(budgetMs, start % kNanosPerMs);
    const bool awaitsFirstByte = wait.kind == PortWait::Kind::Input && wait.queued == 0;
    const auto sleepAStep = [&] { return block(fd, 0, std::min(stepSleep(lineOf(fd), wait), budget)); };
    if (fd < 0) return block(-1, 0, budget);
    // A wake-up is checked only once the look after an earlier one found
    // nothing (stalls > 0): an answer that woke the block costs no query.
    const auto blockForInput = [&](bool& ready) {
        const PortOutcome outcome = block(fd, POLLIN, budget, ready);
        std::uint32_t queued = 0;
        if (outcome != PortOutcome::Done || !ready || wait.stalls == 0 ||
            (queryQueue(fd, PortWait::Kind::Input, queued) && queued > 0)) {
            return outcome;
        }
        ready = false;
        return block(fd, 0, std::min(idleSleep(wait.stalls), std::max(budget - (now() - start), Nanos{0})));
    };
    bool ready = false;
    if (wait.pass != 0) return awaitsFirstByte ? blockForInput(ready) : sleepAStep();
    Spin spin(fd, wait.kind);
    if (spinUntilSatisfied(fd, wait, start + std::min(budget, spin.length()))) {
        spin.ended(FirstWait::CaughtSpinning, now() - start);
        return PortOutcome::Done;
    }
    if (!awaitsFirstByte) {
        spin.ended(FirstWait::Unanswered, 0);
        return sleepAStep();
    }
    const PortOutcome outcome = blockForInput(ready);
    spin.ended(ready ? FirstWait::CaughtBlocked : FirstWait::Unanswered, now() - start);
    return outcome;
}

}  // namespace kavrol::host::posix
