// Ports as a user meets them: held by another client, lost and back again,
// polled until a signal.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include "common/serial_port.h"
#include "support/process.h"

namespace kavrol::tools::test {
namespace {

std::vector<std::string> pollArgs(const std::string& port, std::vector<std::string> extra) {
    std::vector<std::string> argv{KAVROL_CLI_PATH, "query", "--port", port, "--model", "2", "--command", "1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The devsim log line of its command number n: the client's n-th poll arrived.
bool commandArrived(const Devsim& sim, int n) {
    return sim.log().find(" #" + std::to_string(n) + " ") != std::string::npos;
}

TEST(ToolsPort, ASecondClientFindsThePortBusy) {
    Devsim sim({});
    Spawned first(pollArgs(sim.path(), {"--repeat", "0", "--interval", "20"}));
    ASSERT_TRUE(eventually([&] { return commandArrived(sim, 1); })) << sim.log();

    const RunResult second = run(pollArgs(sim.path(), {}));
    EXPECT_EQ(second.exitCode, 3) << second.err;
    EXPECT_NE(second.err.find("port busy: " + sim.path()), std::string::npos) << second.err;
    EXPECT_TRUE(second.out.empty());

    const RunResult firstDone = first.stop(SIGTERM);
    EXPECT_EQ(firstDone.exitCode, 0) << firstDone.err;
    EXPECT_EQ(occurrences(firstDone.out, "status 1 ok"), occurrences(firstDone.out, "  #"));
}

TEST(ToolsPort, SharedOpensAPortThatIsHeld) {
    Devsim sim({});
    const auto held = SerialPort::open(sim.path(), LineSettings{});
    EXPECT_EQ(run(pollArgs(sim.path(), {})).exitCode, 3);
    const RunResult shared = run(pollArgs(sim.path(), {"--shared"}));
    EXPECT_EQ(shared.exitCode, 0) << shared.err << shared.out;
    EXPECT_THROW(SerialPort::open(sim.path(), LineSettings{}), PortBusy);
}

TEST(ToolsPort, PollLinesAreFlushedAsTheyHappenAndSigtermPrintsTheSummary) {
    Devsim sim({});
    const std::string log = tempPath("poll.log");
    Spawned client(pollArgs(sim.path(), {"--repeat", "0", "--interval", "10", "--log", log}));
    // Three lines in the file while the client still runs: nothing waits for the exit.
    ASSERT_TRUE(eventually([&] { return occurrences(readFile(log), "\n") >= 3; })) << readFile(log);
    const RunResult r = client.stop(SIGTERM);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(log), r.out);

    std::istringstream lines(r.out);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_GE(all.size(), 4U);
    for (std::size_t i = 0; i + 1 < all.size(); ++i) {
        EXPECT_NE(all[i].find("  " + sim.path() + "  #" + std::to_string(i + 1) + "  status 1 ok  rtt "),
                  std::string::npos)
            << all[i];
    }
    const std::string& summary = all.back();
    EXPECT_NE(summary.find(std::to_string(all.size() - 1) + " sent: ok " + std::to_string(all.size() - 1)),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("round trip min "), std::string::npos) << summary;
    std::remove(log.c_str());
}

TEST(ToolsPort, ARestartedSimulatorIsFollowedUnderReopen) {
    const std::string link = tempPath("line");
    const std::string log = tempPath("reopen.log");
    auto sim = std::make_unique<Devsim>(std::vector<std::string>{"--link", link});
    EXPECT_EQ(sim->path(), link);
    Spawned client(pollArgs(link, {"--repeat", "0", "--interval", "20", "--timeout", "300", "--reopen", "--log", log}));
    ASSERT_TRUE(eventually([&] { return commandArrived(*sim, 2); })) << sim->log();
    EXPECT_EQ(sim->stop(), 0);
    ASSERT_TRUE(eventually([&] { return readFile(log).find("port lost") != std::string::npos; })) << readFile(log);

    sim = std::make_unique<Devsim>(std::vector<std::string>{"--link", link});
    ASSERT_TRUE(eventually([&] { return commandArrived(*sim, 3); })) << sim->log() << readFile(log);
    const RunResult r = client.stop(SIGTERM);
    EXPECT_EQ(occurrences(r.out, "port lost"), 1U) << r.out;
    const std::size_t reopened = r.out.find("port reopened");
    ASSERT_NE(reopened, std::string::npos) << r.out;
    EXPECT_GE(occurrences(r.out.substr(reopened), "status 1 ok"), 3U) << r.out;
    std::remove(log.c_str());
}

TEST(ToolsPort, TheSimulatorTakesOverAStaleLinkAndRemovesItsOwn) {
    const std::string link = tempPath("stale");
    ASSERT_EQ(::symlink("/dev/pts/no-such-pty", link.c_str()), 0);
    {
        Devsim sim({"--link", link});
        EXPECT_EQ(run(pollArgs(link, {})).exitCode, 0);
    }
    EXPECT_NE(::access(link.c_str(), F_OK), 0);
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "the link outlived its simulator";
}

TEST(ToolsPort, ALineSettingAPseudoTerminalCannotTakeIsNamed) {
    Devsim sim({});
    const std::pair<std::vector<std::string>, std::string> cases[] = {{{"--parity", "E"}, "9600 8E1"},
                                                                      {{"--data", "7"}, "9600 7N1"}};
    for (const auto& [args, line] : cases) {
        // Now the pty runs at 9600 8N1, and the kernel refuses a change that
        // asks for nothing else than what a pty cannot hold.
        ASSERT_EQ(run(pollArgs(sim.path(), {})).exitCode, 0);
        const RunResult r = run(pollArgs(sim.path(), args));
        EXPECT_EQ(r.exitCode, 3) << r.err;
        EXPECT_NE(r.err.find("cannot set " + sim.path() + " to " + line +
                             " (tcsetattr: Invalid argument): a Linux "
                             "pseudo-terminal cannot take parity or fewer than 8 data bits"),
                  std::string::npos)
            << r.err;
    }
}

TEST(ToolsPort, ALostPortEndsARunWithoutReopen) {
    auto sim = std::make_unique<Devsim>(std::vector<std::string>{});
    Spawned client(pollArgs(sim->path(), {"--repeat", "0", "--interval", "20", "--timeout", "300"}));
    ASSERT_TRUE(eventually([&] { return commandArrived(*sim, 2); })) << sim->log();
    sim.reset();
    const RunResult r = client.wait(10000);
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_EQ(occurrences(r.out, "port lost"), 1U) << r.out;
    EXPECT_NE(r.out.find("summary  "), std::string::npos) << r.out;
}

TEST(ToolsPort, SeveralPortsRunInParallelEachLineNamingItsPort) {
    // The silent line comes first; its time-outs must not hold up the other.
    Devsim silent({"--quiet", "--fault", "no-reply"});
    Devsim answering({"--quiet"});
    const RunResult r =
        run({KAVROL_CLI_PATH, "query", "--json", "--port", silent.path(), "--port", answering.path(), "--model", "2",
             "--command", "1", "--repeat", "3", "--interval", "0", "--timeout", "1000"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    std::vector<nlohmann::json> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 3U + 3U + 3U) << r.out;  // transactions, one summary per port and one for all
    std::map<std::string, std::vector<int>> statuses;
    for (std::size_t i = 0; i < 6; ++i) statuses[lines[i]["port"].get<std::string>()].push_back(lines[i]["status"]);
    EXPECT_EQ(statuses[answering.path()], (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(statuses[silent.path()], (std::vector<int>{-2, -2, -2}));
    // All three answers came while the silent line still waited for its first.
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(lines[i]["port"], answering.path()) << r.out;
    EXPECT_EQ(lines[8]["summary"]["port"], "all");
    EXPECT_EQ(lines[8]["summary"]["sent"], 6);
    EXPECT_EQ(lines[8]["summary"]["by_status"]["-2"], 3);
}

}  // namespace
}  // namespace kavrol::tools::test
