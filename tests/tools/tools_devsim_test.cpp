// The simulator as a process under conditions a client or a test may
// create: a client that reads nothing, a client killed while it holds the
// port, logs that cannot be written, scenario paths that are not files,
// and the line time of a real line.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/serial_port.h"
#include "protocol/command_encoding.h"
#include "simulator/simulator.h"
#include "support/process.h"

namespace kavrol::tools::test {
namespace {

using Clock = std::chrono::steady_clock;

// Command 1, sub-command 0, no payload: all-models answers it with a reply
// of 24 bytes.
Bytes commandOne() {
    std::array<std::uint8_t, protocol::kCommandAreaSize> area{};
    protocol::CommandFrameFields fields;
    fields.command = 1;
    const std::int32_t n = protocol::encodeCommandFrame(fields, area);
    return Bytes(area.begin(), area.begin() + n);
}

bool writeWhole(int fd, const Bytes& bytes) {
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

TEST(DevsimClient, SigtermEndsTheSimulatorWhileItsClientReadsNothing) {
    Devsim sim({"--quiet", "--scenario", "all-models"});
    const auto port = SerialPort::open(sim.path(), LineSettings{});
    const int fd = port->fd();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const Bytes command = commandOne();
    // Commands until the line backs up both ways: the replies are never read.
    int sent = 0;
    int refused = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (sent < 3000 && refused < 40 && Clock::now() < deadline) {
        if (writeWhole(fd, command)) {
            ++sent;
            refused = 0;
        } else {
            ++refused;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ASSERT_GT(sent, 500) << "the simulator read too few commands";
    const auto stopAt = Clock::now();
    EXPECT_EQ(sim.stop(), 0) << "no clean end on SIGTERM";
    EXPECT_LT(Clock::now() - stopAt, std::chrono::seconds(5));
}

TEST(DevsimClient, AClientKilledWhileHoldingThePortLocksNoLaterOneOut) {
    Devsim sim({"--quiet"});
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            const auto held = SerialPort::open(sim.path(), LineSettings{});
            [[maybe_unused]] const ssize_t n = ::write(ready[1], "1", 1);
            ::pause();
        } catch (...) {
        }
        ::_exit(1);
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    char c = 0;
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    // While it holds the port, a second exclusive open is refused.
    EXPECT_THROW(SerialPort::open(sim.path(), LineSettings{}), PortBusy);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);

    const int fd = ::open(sim.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int exclusive = -1;
    ASSERT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the pseudo-terminal is still marked exclusive (a non-root open gets EBUSY)";
    ::close(fd);
    EXPECT_NO_THROW(SerialPort::open(sim.path(), LineSettings{}));
}

TEST(DevsimFiles, AFaultLogThatCannotBeWrittenEndsTheSimulator) {
    const std::string link = tempPath("devsim-full");
    Spawned sim({KAVROL_DEVSIM_PATH, "--quiet", "--link", link, "--fault-log", "/dev/full"});
    ASSERT_TRUE(eventually([&] { return ::access(link.c_str(), F_OK) == 0; }));
    const auto port = SerialPort::open(link, LineSettings{});
    ASSERT_TRUE(writeWhole(port->fd(), commandOne()));
    const RunResult r = sim.wait(10000);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("cannot write /dev/full: No space left on device"), std::string::npos) << r.err;
    std::remove(link.c_str());
}

TEST(DevsimFiles, OutputThatCannotBeWrittenIsAFailure) {
    for (const char* what : {"--dump-scenario all-models", "--list-scenarios"}) {
        SCOPED_TRACE(what);
        const RunResult r =
            run({"/bin/sh", "-c", std::string("exec ") + KAVROL_DEVSIM_PATH + " " + what + " >/dev/full"}, 10000);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("cannot write standard output: No space left on device"), std::string::npos) << r.err;
    }
}

TEST(DevsimFiles, ScenarioPathsThatAreNoRegularFileAreRefusedUnread) {
    const std::string fifo = tempPath("scenario.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = tempPath("big.json");
    {
        std::ofstream out(big);
        out << std::string(kMaxScenarioFileBytes + 1, ' ');
    }
    struct Case {
        std::string path;
        const char* message;
    };
    for (const Case& c : {Case{fifo, "is not a regular file"}, Case{"/dev/zero", "is not a regular file"},
                          Case{big, "too large for a scenario"}}) {
        SCOPED_TRACE(c.path);
        for (const char* option : {"--scenario", "--dump-scenario"}) {
            const RunResult r = run({KAVROL_DEVSIM_PATH, option, c.path}, 10000);
            EXPECT_EQ(r.exitCode, 2) << option << ": " << r.err;
            EXPECT_NE(r.err.find(c.path), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        }
    }
    std::remove(fifo.c_str());
    std::remove(big.c_str());
}

TEST(DevsimLineTime, CharacterTimeCountsEveryBitOfTheFrame) {
    struct Case {
        unsigned baud, data;
        char parity;
        unsigned stop;
        std::uint32_t us;
    };
    for (const Case& c : {Case{9600, 8, 'N', 1, 1042}, Case{9600, 7, 'E', 2, 1146}, Case{115200, 8, 'N', 1, 87},
                          Case{300, 5, 'O', 1, 26667}}) {
        EXPECT_EQ(characterTimeUs(c.baud, c.data, c.parity, c.stop), c.us)
            << c.baud << " " << c.data << c.parity << c.stop;
    }
}

// The reply's bytes spread over its line time; only the lower bound is
// checked, which a loaded machine can only lengthen.
TEST(DevsimLineTime, AReplyTakesItsLineTime) {
    Devsim sim({"--quiet", "--line-time", "--baud", "9600"});
    const auto port = SerialPort::open(sim.path(), LineSettings{});
    const int fd = port->fd();
    ASSERT_TRUE(writeWhole(fd, commandOne()));
    Bytes reply;
    Clock::time_point first;
    Clock::time_point last;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (reply.size() < 24 && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1) continue;
        std::uint8_t buf[64];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) continue;
        if (reply.empty()) first = Clock::now();
        last = Clock::now();
        reply.insert(reply.end(), buf, buf + n);
    }
    ASSERT_EQ(reply.size(), 24U);
    // 23 character times of 1042 us pass between the first byte and the last.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(last - first).count(), 23 * 1042 * 9 / 10);
}

}  // namespace
}  // namespace kavrol::tools::test
