// Over a real pty on the POSIX host: every port call ends by its time-out,
// whatever the line does (flow control, a peer that stops reading, another
// reader, a hang-up), and a silent device costs little CPU.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "host/host.h"
#include "host/host_forwarding.h"
#include "host/posix_port.h"
#include "kavrol32/kavrol32.h"
#include "link/link_state.h"
#include "link/timed_io.h"
#include "support/bounded_child.h"
#include "support/frames.h"
#include "support/pty_peer.h"

namespace {

using kavrol::pty::PtyPair;
using kavrol::test::exitStatusWithin;
using kavrol::test::msSince;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr int kSendWords = 7;

std::int32_t sendCommand() {
    return MuxSendComm(0, 5, kSendWords, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
}

class PortBoundsPty : public ::testing::Test {
protected:
    PortBoundsPty() { reset(); }
    ~PortBoundsPty() override { reset(); }
    static void reset() {
        kavrol::host::install(nullptr);
        kavrol::link::libraryState() = kavrol::link::LibraryState{};
    }
    void bind(std::uint32_t timeoutMs) { Init_Msg_Bin(0, portHandle(pty_), timeoutMs); }
    PtyPair pty_;
};

// The port side obeys XON/XOFF and the device has sent XOFF: nothing can
// go out. Today's result for a send that never leaves is -2 at the deadline.
TEST_F(PortBoundsPty, SendAfterXoffEndsByTheTimeout) {
    ASSERT_TRUE(holdPortOutput(pty_));
    bind(200);
    const auto status = exitStatusWithin(
        [] {
            const auto start = Clock::now();
            const std::int32_t sent = sendCommand();
            const long ms = msSince(start);
            Invia_Ack(0x06);
            // Held back by flow control, not lost: the send runs to its deadline.
            if (kavrol::link::libraryState().defaultLink.portLost) return 2;
            return sent == -2 && ms >= 150 && ms < 2000 ? 0 : 1;
        },
        5000);
    ASSERT_TRUE(status.has_value()) << "the send blocked past its time-out";
    EXPECT_EQ(*status, 0);
}

// A peer that stopped reading: the port's output buffer is full, so the
// acknowledge (which purges nothing) cannot go out.
TEST_F(PortBoundsPty, PeerThatStopsReadingCannotHangTheAcknowledge) {
    const int flags = ::fcntl(pty_.port(), F_GETFL);
    ASSERT_EQ(::fcntl(pty_.port(), F_SETFL, flags | O_NONBLOCK), 0);
    // The kernel moves bytes on towards the peer in the background: fill
    // until a whole round after a pause takes nothing more.
    const std::vector<std::uint8_t> filler(4096, 0x55);
    for (bool tookSome = true; tookSome;) {
        tookSome = false;
        while (::write(pty_.port(), filler.data(), filler.size()) > 0) tookSome = true;
        while (::write(pty_.port(), filler.data(), 1) > 0) tookSome = true;
        ::usleep(20000);
    }
    ASSERT_EQ(::fcntl(pty_.port(), F_SETFL, flags), 0);
    constexpr long kTimeoutMs = 20;
    constexpr int kAcks = 10;
    bind(kTimeoutMs);
    const auto status = exitStatusWithin(
        [this] {
            const auto start = Clock::now();
            for (int i = 0; i < kAcks; ++i) {
                if (Invia_Ack(0x06) != 1) return 1;
            }
            if (msSince(start) > 2 * kAcks * kTimeoutMs + 1000) return 2;
            // The application's file status flags are as it left them.
            return (::fcntl(pty_.port(), F_GETFL) & O_NONBLOCK) == 0 ? 0 : 3;
        },
        5000);
    ASSERT_TRUE(status.has_value()) << "a write blocked past its time-out";
    EXPECT_EQ(*status, 0);
}

// Just before a read, another reader on the same pty takes the queued bytes.
class StealingHost final : public kavrol::host::ForwardingHost {
public:
    explicit StealingHost(int thief) : ForwardingHost(kavrol::host::platform()), thief_(thief) {}
    kavrol::host::PortOutcome read(kavrol::host::PortHandle p, std::uint8_t* d, std::uint32_t n, void* o,
                                   std::uint32_t ms) override {
        std::uint8_t stolen[512];
        stolenCount += static_cast<int>(::read(thief_, stolen, sizeof stolen));
        return ForwardingHost::read(p, d, n, o, ms);
    }
    int stolenCount = 0;

private:
    int thief_;
};

TEST_F(PortBoundsPty, BytesTakenByASecondReaderFailTheReadByTheTimeout) {
    const int thief = ::open(::ttyname(pty_.port()), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(thief, 0);
    constexpr std::uint32_t kTimeoutMs = 300;
    bind(kTimeoutMs);
    peerWrite(pty_, {0x3E, 0x17});
    ASSERT_TRUE(waitPortInput(pty_, 2));
    const auto status = exitStatusWithin(
        [thief] {
            StealingHost host(thief);
            kavrol::host::ScopedHost scoped(host);
            std::uint8_t dest[2] = {};
            const auto start = Clock::now();
            const std::int32_t got = kavrol::link::timedRead(kavrol::link::defaultLink(), dest, 2);
            const long ms = msSince(start);
            if (host.stolenCount != 2) return 1;
            if (got != -3) return 2;
            if (kavrol::link::libraryState().defaultLink.portLost) return 4;
            return ms >= static_cast<long>(kTimeoutMs) / 2 && ms < 2 * static_cast<long>(kTimeoutMs) ? 0 : 3;
        },
        5000);
    ::close(thief);
    ASSERT_TRUE(status.has_value()) << "the read blocked after its bytes were taken";
    EXPECT_EQ(*status, 0);
}

// The device hangs up in the middle of a reply: the receive ends at once
// with its time-out result and names the port lost.
// A receive on a port that is gone gives -2 well before its time-out and
// marks the port lost.
void expectReceiveEndsLostAtOnce(std::uint32_t timeoutMs) {
    std::uint8_t buffer[KAVROL_REPLY_BUFFER_SIZE] = {};
    ReplyRecord record{};
    const auto start = Clock::now();
    EXPECT_EQ(MuxReceiveComm(0, buffer, &record), -2);
    EXPECT_LT(msSince(start), static_cast<long>(timeoutMs) / 2);
    EXPECT_TRUE(kavrol::link::libraryState().defaultLink.portLost);
    const auto again = Clock::now();
    EXPECT_EQ(sendCommand(), -2);
    EXPECT_LT(msSince(again), static_cast<long>(timeoutMs) / 2);
    EXPECT_TRUE(kavrol::link::libraryState().defaultLink.portLost);
}

TEST_F(PortBoundsPty, MasterClosedMidReplyEndsTheReceiveAtOnce) {
    constexpr std::uint32_t kTimeoutMs = 3000;
    bind(kTimeoutMs);
    const Bytes reply = kavrol::test::replyFrame(1, 0, Bytes(20, 0x11));
    peerWrite(pty_, Bytes(reply.begin(), reply.begin() + 6));
    ASSERT_TRUE(waitPortInput(pty_, 6));
    pty_.closeDevice();
    expectReceiveEndsLostAtOnce(kTimeoutMs);
    // Later calls on the hung-up port end at once as well.
    const auto again = Clock::now();
    EXPECT_EQ(sendCommand(), -2);
    EXPECT_EQ(Invia_Ack(0x06), 1);
    EXPECT_LT(msSince(again), static_cast<long>(kTimeoutMs) / 2);
}

// Both queue counts of a port in one call: what the peer sent, and no
// output waiting (a pty passes output on at once).
TEST_F(PortBoundsPty, BothQueueCountsOfAPort) {
    kavrol::host::QueueCounts counts{99, 99};
    ASSERT_TRUE(kavrol::host::platform().queryQueues(portHandle(pty_), counts));
    EXPECT_EQ(counts.inQueue, 0U);
    EXPECT_EQ(counts.outQueue, 0U);
    peerWrite(pty_, {1});
    ASSERT_TRUE(waitPortInput(pty_, 1));
    ASSERT_TRUE(kavrol::host::platform().queryQueues(portHandle(pty_), counts));
    EXPECT_EQ(counts.inQueue, 1U);
    peerWrite(pty_, {2, 3});
    ASSERT_TRUE(waitPortInput(pty_, 3));
    ASSERT_TRUE(kavrol::host::platform().queryQueues(portHandle(pty_), counts));
    EXPECT_EQ(counts.inQueue, 3U);
    EXPECT_EQ(counts.outQueue, 0U);
    EXPECT_FALSE(kavrol::host::platform().queryQueues(reinterpret_cast<void*>(static_cast<std::intptr_t>(-5)), counts));
}

// A port whose descriptor was closed behind the library's back (the
// application closed it) is lost: the receive ends at once.
TEST_F(PortBoundsPty, ClosedDescriptorEndsTheReceiveAtOnce) {
    constexpr std::uint32_t kTimeoutMs = 3000;
    int fds[2] = {-1, -1};
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[1]);
    Init_Msg_Bin(0, reinterpret_cast<void*>(static_cast<std::intptr_t>(fds[0])), kTimeoutMs);
    ::close(fds[0]);
    expectReceiveEndsLostAtOnce(kTimeoutMs);
}

// A port at end of file (a pipe whose writer is gone) gives what it held
// and is lost; the read never takes an empty read for progress.
TEST(PortEndOfFile, ReadTakesWhatIsThereAndEndsLost) {
    const auto status = exitStatusWithin(
        [] {
            int fds[2] = {-1, -1};
            if (::pipe(fds) != 0) return 10;
            const std::uint8_t two[2] = {0x3E, 0x0B};
            if (::write(fds[1], two, 2) != 2) return 11;
            ::close(fds[1]);
            std::uint8_t dest[4] = {};
            const auto got = kavrol::host::posix::readBounded(fds[0], dest, 4, 2000);
            if (got != kavrol::host::PortOutcome::Lost) return 1;
            return dest[0] == 0x3E && dest[1] == 0x0B ? 0 : 2;
        },
        10000);
    ASSERT_TRUE(status.has_value()) << "the read did not end";
    EXPECT_EQ(*status, 0);
}

// A read or write that fails because the other end is gone (a hung-up
// tty gives EIO, a pipe without reader EPIPE) reports the port lost.
TEST(PortGone, FailedTransfersReportTheLoss) {
    const auto status = exitStatusWithin(
        [] {
            ::signal(SIGPIPE, SIG_IGN);
            std::uint8_t bytes[4] = {1, 2, 3, 4};
            int code = 0;
            {
                PtyPair hungUp;
                hungUp.closeDevice();
                if (kavrol::host::posix::readBounded(hungUp.port(), bytes, 4, 2000) != kavrol::host::PortOutcome::Lost)
                    code |= 1;
                if (kavrol::host::posix::writeBounded(hungUp.port(), bytes, 4, 2000) != kavrol::host::PortOutcome::Lost)
                    code |= 2;
            }
            int fds[2] = {-1, -1};
            if (::pipe(fds) != 0) return 64;
            ::close(fds[0]);
            if (kavrol::host::posix::writeBounded(fds[1], bytes, 4, 2000) != kavrol::host::PortOutcome::Lost) code |= 4;
            return code;
        },
        10000);
    ASSERT_TRUE(status.has_value()) << "a transfer did not end";
    EXPECT_EQ(*status, 0) << "1: hung-up read, 2: hung-up write, 4: write without reader";
}

// A read-only port with nothing to read (a pipe whose writer stays) ends
// by its budget: the read never blocks.
TEST(PortEndOfFile, EmptyReadOnlyPortEndsByItsBudget) {
    const auto status = exitStatusWithin(
        [] {
            int fds[2] = {-1, -1};
            if (::pipe(fds) != 0) return 10;
            std::uint8_t dest[4] = {};
            const auto start = Clock::now();
            const auto got = kavrol::host::posix::readBounded(fds[0], dest, 4, 100);
            if (got != kavrol::host::PortOutcome::Failed) return 1;
            if (msSince(start) >= 2000) return 2;
            // The application's file status flags are as it left them.
            return (::fcntl(fds[0], F_GETFL) & O_NONBLOCK) == 0 ? 0 : 3;
        },
        10000);
    ASSERT_TRUE(status.has_value()) << "the read blocked";
    EXPECT_EQ(*status, 0);
}

double threadCpuMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// A silent device: the wait ends with -2 at its deadline and sleeps.
TEST_F(PortBoundsPty, SilentDeviceTimesOutAtTheDeadlineWithoutBurningTheCpu) {
    constexpr std::uint32_t kTimeoutMs = 400;
    bind(kTimeoutMs);
    std::uint8_t buffer[KAVROL_REPLY_BUFFER_SIZE] = {};
    ReplyRecord record{};
    const double cpuBefore = threadCpuMs();
    const auto start = Clock::now();
    EXPECT_EQ(MuxReceiveComm(0, buffer, &record), -2);
    const long wall = msSince(start);
    const double cpu = threadCpuMs() - cpuBefore;
    EXPECT_GE(wall, static_cast<long>(kTimeoutMs));
    EXPECT_LT(wall, 2 * static_cast<long>(kTimeoutMs) + 1000);
    EXPECT_LT(cpu, 0.25 * static_cast<double>(wall)) << "cpu " << cpu << " ms of " << wall << " ms";
    EXPECT_FALSE(kavrol::link::libraryState().defaultLink.portLost);
}

// Handle values that do not fit a descriptor are an unbound port, not the
// descriptor their low 32 bits name.
TEST_F(PortBoundsPty, HandleBeyondTheDescriptorRangeIsUnbound) {
    if (sizeof(void*) < 8) GTEST_SKIP() << "handles are 32-bit here";
    const auto port = static_cast<std::uint64_t>(pty_.port());
    const std::uint64_t values[] = {
        (std::uint64_t{1} << 32) + port,   // low half is the pty
        0xFFFFFFFF00000000ULL + port,      // negative, low half is the pty
        std::uint64_t{0x80000000} + port,  // above INT_MAX
    };
    for (const std::uint64_t value : values) {
        Init_Msg_Bin(0, reinterpret_cast<void*>(static_cast<std::uintptr_t>(value)), 30);
        EXPECT_EQ(sendCommand(), -2) << std::hex << value;
        EXPECT_EQ(Invia_Ack(0x06), 1);
    }
    EXPECT_TRUE(peerDrain(pty_, 100).empty());
}

// Nor do they fall back to descriptor 0: with the pty as descriptor 0, a
// send through such a handle puts nothing on it.
TEST_F(PortBoundsPty, HandleBeyondTheDescriptorRangeIsNotDescriptorZero) {
    if (sizeof(void*) < 8) GTEST_SKIP() << "handles are 32-bit here";
    const int port = pty_.port();
    const auto status = exitStatusWithin(
        [port] {
            if (::dup2(port, 0) != 0) return 10;
            Init_Msg_Bin(0, reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x80000000ULL)), 30);
            return sendCommand() == -2 ? 0 : 1;
        },
        5000);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(peerDrain(pty_, 100).empty());
}

// The tick is the monotonic clock in whole milliseconds: every reading lies
// between two readings of that clock taken around it.
TEST(PosixTick, IsTheMonotonicClockInWholeMilliseconds) {
    const auto clockMs = [] {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000 +
                                          static_cast<std::uint64_t>(ts.tv_nsec) / 1000000);
    };
    kavrol::host::Host& host = kavrol::host::platform();
    int outside = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::uint32_t before = clockMs();
        const std::uint32_t tick = host.tickMs();
        const std::uint32_t after = clockMs();
        if (tick - before > after - before) ++outside;
    }
    EXPECT_EQ(outside, 0);
}

}  // namespace
