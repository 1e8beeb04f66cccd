// Over real descriptors on the POSIX host: an unbound link touches no
// descriptor, a port that shows itself readable with nothing queued does
// not make the wait spin, two callers on one descriptor each end by their
// own deadline, and a write to a pipe without a reader does not kill the
// application. Each case runs in a child process killed after a bound.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "host/host.h"
#include "host/posix_port.h"
#include "kavrol32/kavrol32.h"
#include "kavrol32/link.h"
#include "link/link_state.h"
#include "support/bounded_child.h"
#include "support/pty_peer.h"
#include "support/temp_dir.h"

namespace {

using kavrol::pty::PtyPair;
using kavrol::test::exitStatusWithin;
using kavrol::test::msSince;
using Clock = std::chrono::steady_clock;

// A case of a parameterized test below: what it runs, and its name.
template <typename Kind>
struct NamedCase {
    const char* name;
    Kind kind;
};
constexpr auto kCaseName = [](const auto& paramInfo) { return std::string(paramInfo.param.name); };

double threadCpuMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void resetLibrary() {
    kavrol::host::install(nullptr);
    kavrol::link::libraryState() = kavrol::link::LibraryState{};
}

// One receive on the default link: its result, wall time and CPU time.
struct Receive {
    std::int32_t result = 0;
    long wallMs = 0;
    double cpuMs = 0;
};

Receive receiveOnce() {
    std::uint8_t buffer[KAVROL_REPLY_BUFFER_SIZE] = {};
    ReplyRecord record{};
    Receive r;
    const double cpu = threadCpuMs();
    const auto start = Clock::now();
    r.result = MuxReceiveComm(0, buffer, &record);
    r.wallMs = msSince(start);
    r.cpuMs = threadCpuMs() - cpu;
    return r;
}

// ---- An unbound link and standard input ------------------------------------

constexpr std::uint32_t kUnboundTimeoutMs = 300;

enum class Stdin : std::uint8_t { DevNull, RegularFile, PtyWithInput, Closed };

const NamedCase<Stdin> kStdinCases[] = {
    {"DevNull", Stdin::DevNull},
    {"RegularFile", Stdin::RegularFile},
    {"PtyWithInput", Stdin::PtyWithInput},
    {"Closed", Stdin::Closed},
};

class UnboundStdinTest : public ::testing::TestWithParam<NamedCase<Stdin>> {};

// In the child: standard input is the case's kind; an unbound receive must
// sleep to its deadline and leave standard input as it was. Exit codes:
// 1 result, 2 returned before the deadline, 3 CPU, 4 port reported lost,
// 5 the pty's input was touched, 1x setup.
int unboundReceiveWith(Stdin kind, int ptyPort, const std::string& file) {
    int fd = -1;
    switch (kind) {
        case Stdin::DevNull: fd = ::open("/dev/null", O_RDWR); break;
        case Stdin::RegularFile: fd = ::open(file.c_str(), O_RDWR); break;
        case Stdin::PtyWithInput: fd = ptyPort; break;
        case Stdin::Closed: break;
    }
    if (kind == Stdin::Closed) {
        ::close(0);
    } else if (fd < 0 || ::dup2(fd, 0) != 0) {
        return 10;
    }
    termios before{};
    const bool tty = kind == Stdin::PtyWithInput && ::tcgetattr(0, &before) == 0;
    resetLibrary();
    Init_Msg_Bin(0, nullptr, kUnboundTimeoutMs);
    const Receive r = receiveOnce();
    if (r.result != -2) return 1;
    if (r.wallMs < static_cast<long>(kUnboundTimeoutMs)) return 2;
    if (r.cpuMs >= 20.0) return 3;
    if (kavrol::link::libraryState().defaultLink.portLost) return 4;
    if (kind == Stdin::PtyWithInput) {
        int queued = 0;
        termios after{};
        if (!tty || ::ioctl(0, FIONREAD, &queued) != 0 || queued != 3 || ::tcgetattr(0, &after) != 0 ||
            (::fcntl(0, F_GETFL) & O_NONBLOCK) != 0) {
            return 5;
        }
    }
    return 0;
}

TEST_P(UnboundStdinTest, ReceiveSleepsToItsDeadlineAndLeavesStandardInputAlone) {
    PtyPair pty;
    peerWrite(pty, {'a', 'b', 'c'});
    ASSERT_TRUE(waitPortInput(pty, 3));
    kavrol::test::TempDir dir;
    const std::string file = dir.file("stdin.bin");
    {
        FILE* f = std::fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("some bytes", f);
        std::fclose(f);
    }
    const Stdin kind = GetParam().kind;
    const auto status = exitStatusWithin([&] { return unboundReceiveWith(kind, pty.port(), file); }, 10000);
    ASSERT_TRUE(status.has_value()) << "the receive did not end";
    EXPECT_EQ(*status, 0) << "1 result, 2 early, 3 CPU, 4 lost, 5 stdin touched, 1x setup";
}

INSTANTIATE_TEST_SUITE_P(Posix, UnboundStdinTest, ::testing::ValuesIn(kStdinCases), kCaseName);

// ---- Readable with nothing queued --------------------------------------------

constexpr std::uint32_t kIdleTimeoutMs = 400;

// In a child: binds the default link to the port `bind` gives (or -1 on a
// setup failure), runs `during` beside one receive, and exits 0 when the
// receive ended with -2 at its deadline, sleeping most of it; else 1
// result, 2 early, 3 CPU, 10 setup.
void expectIdleReceive(
    const std::function<int()>& bind, const std::function<void()>& during = [] {}) {
    const auto status = exitStatusWithin(
        [&] {
            const int fd = bind();
            if (fd < 0) return 10;
            resetLibrary();
            Init_Msg_Bin(0, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)), kIdleTimeoutMs);
            std::thread beside(during);
            const Receive r = receiveOnce();
            beside.join();
            if (r.result != -2) return 1;
            if (r.wallMs < static_cast<long>(kIdleTimeoutMs)) return 2;
            return r.cpuMs < 0.25 * static_cast<double>(r.wallMs) ? 0 : 3;
        },
        10000);
    ASSERT_TRUE(status.has_value()) << "the receive did not end";
    EXPECT_EQ(*status, 0) << "1 result, 2 early, 3 CPU, 10 setup";
}

TEST(ReadableButEmpty, DevNullPortSleepsToTheDeadline) {
    expectIdleReceive([] { return ::open("/dev/null", O_RDWR); });
}

// A pty left in canonical mode after the device sent the end-of-file
// character: the port polls readable, FIONREAD shows nothing.
TEST(ReadableButEmpty, CanonicalPtyAfterEndOfFileSleepsToTheDeadline) {
    PtyPair pty;
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.port(), &t), 0);
    t.c_lflag |= ICANON;
    t.c_cc[VEOF] = 0x04;
    ASSERT_EQ(::tcsetattr(pty.port(), TCSANOW, &t), 0);
    peerWrite(pty, {0x04});
    ::usleep(20000);
    expectIdleReceive([&] { return pty.port(); });
}

// A partial reply (the header and one byte of the rest), then the
// descriptor number is taken over by /dev/null.
TEST(ReadableButEmpty, PartialReplyThenDescriptorReusedSleepsToTheDeadline) {
    PtyPair pty;
    peerWrite(pty, {0x02, 0x30, 0x01});
    expectIdleReceive([&] { return pty.port(); },
                      [&] {
                          ::usleep(100000);
                          ::dup2(::open("/dev/null", O_RDWR), pty.port());
                      });
}

// ---- Two callers on one descriptor -----------------------------------------

constexpr std::uint32_t kSharedTimeoutMs = 400;
constexpr long kSecondStartsMs = 200;

enum class Sharing : std::uint8_t { TwoLinks, OneLink, Exports };

const NamedCase<Sharing> kSharingCases[] = {
    {"TwoLinksOnOneDescriptor", Sharing::TwoLinks},
    {"OneLinkOnTwoThreads", Sharing::OneLink},
    {"ExportsOnTwoThreads", Sharing::Exports},
};

class SharedPortTest : public ::testing::TestWithParam<NamedCase<Sharing>> {};

std::int32_t sendOn(KavrolLink* link) {
    KavrolCommand command{};
    command.command = 5;
    command.itemCount = 7;
    if (link == nullptr) return MuxSendComm(0, 5, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    return kavrol_link_send(link, &command);
}

// The device has sent XOFF on a blocking descriptor; A sends at 0 ms, B at
// 200 ms, both with a 400 ms time-out. Each gives -2 by its own deadline.
// Exit codes: 1 A's result, 2 B's result, 3 A late, 4 B late, 5 flags not
// restored.
int twoSendersAfterXoff(Sharing sharing, int port, void* handle) {
    resetLibrary();
    KavrolLink first{};
    KavrolLink second{};
    kavrol_link_init(&first, handle, kSharedTimeoutMs);
    kavrol_link_init(&second, handle, kSharedTimeoutMs);
    Init_Msg_Bin(0, handle, kSharedTimeoutMs);
    KavrolLink* a = sharing == Sharing::Exports ? nullptr : &first;
    KavrolLink* b = sharing == Sharing::TwoLinks ? &second : a;
    const auto start = Clock::now();
    std::atomic<long> bEnd{0};
    std::atomic<std::int32_t> bResult{0};
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSecondStartsMs));
        bResult = sendOn(b);
        bEnd = msSince(start);
    });
    const std::int32_t aResult = sendOn(a);
    const long aEnd = msSince(start);
    later.join();
    if (aResult != -2) return 1;
    if (bResult != -2) return 2;
    if (aEnd > static_cast<long>(kSharedTimeoutMs) + 1000) return 3;
    if (bEnd > kSecondStartsMs + static_cast<long>(kSharedTimeoutMs) + 1000) return 4;
    return (::fcntl(port, F_GETFL) & O_NONBLOCK) == 0 ? 0 : 5;
}

TEST_P(SharedPortTest, EachSenderEndsByItsOwnDeadline) {
    PtyPair pty;
    ASSERT_TRUE(holdPortOutput(pty));
    const Sharing sharing = GetParam().kind;
    const auto status =
        exitStatusWithin([&] { return twoSendersAfterXoff(sharing, pty.port(), portHandle(pty)); }, 5000);
    ASSERT_TRUE(status.has_value()) << "a sender blocked past its time-out";
    EXPECT_EQ(*status, 0) << "1/2 A's/B's result, 3/4 A/B late, 5 flags";
}

INSTANTIATE_TEST_SUITE_P(Posix, SharedPortTest, ::testing::ValuesIn(kSharingCases), kCaseName);

// ---- A pipe without a reader -------------------------------------------------

// In a child: the write end of a pipe whose read end is closed, with SIGPIPE
// at its default action (terminate); -1 when the pipe cannot be made.
int writeEndWithoutReader() {
    ::signal(SIGPIPE, SIG_DFL);
    int fds[2] = {-1, -1};
    if (::pipe(fds) != 0) return -1;
    ::close(fds[0]);
    return fds[1];
}

// SIGPIPE keeps its default action (terminate): the write must fail, the
// process live on, no SIGPIPE stay pending and the thread's mask be as
// before. Exit codes: 1 not lost, 2 SIGPIPE pending, 3 mask changed.
TEST(PipeWithoutReader, WriteEndsLostAndTheProcessLives) {
    const auto status = exitStatusWithin(
        [] {
            const int writeEnd = writeEndWithoutReader();
            if (writeEnd < 0) return 10;
            sigset_t before;
            ::pthread_sigmask(SIG_SETMASK, nullptr, &before);
            const std::uint8_t bytes[4] = {1, 2, 3, 4};
            if (kavrol::host::posix::writeBounded(writeEnd, bytes, 4, 1000) != kavrol::host::PortOutcome::Lost)
                return 1;
            sigset_t pending;
            ::sigpending(&pending);
            if (sigismember(&pending, SIGPIPE)) return 2;
            sigset_t after;
            ::pthread_sigmask(SIG_SETMASK, nullptr, &after);
            return sigismember(&after, SIGPIPE) == sigismember(&before, SIGPIPE) ? 0 : 3;
        },
        10000);
    ASSERT_TRUE(status.has_value()) << "the write killed the process or did not end";
    EXPECT_EQ(*status, 0) << "1 not lost, 2 SIGPIPE pending, 3 mask changed";
}

// Through the exports: a link bound to the pipe sends -2 and reports the
// port lost instead of killing its host.
TEST(PipeWithoutReader, SendReportsTheLoss) {
    const auto status = exitStatusWithin(
        [] {
            const int writeEnd = writeEndWithoutReader();
            if (writeEnd < 0) return 10;
            resetLibrary();
            Init_Msg_Bin(0, reinterpret_cast<void*>(static_cast<std::intptr_t>(writeEnd)), 500);
            if (sendOn(nullptr) != -2) return 1;
            return kavrol::link::libraryState().defaultLink.portLost ? 0 : 2;
        },
        10000);
    ASSERT_TRUE(status.has_value()) << "the send killed the process or did not end";
    EXPECT_EQ(*status, 0) << "1 result, 2 not lost";
}

}  // namespace
