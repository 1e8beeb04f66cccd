// Bad arguments: a one-line message, exit status 2, and not a byte on the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include <poll.h>
#include <unistd.h>

#include "common/hex.h"
#include "pty/pty_pair.h"
#include "support/process.h"

namespace kavrol::tools::test {
namespace {

// What arrives on the device end within quietMs.
Bytes drain(int fd, int quietMs) {
    Bytes out;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0) return out;
        std::uint8_t buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return out;
        out.insert(out.end(), buf, buf + n);
    }
}

RunResult kavrol(const pty::PtyPair& line, std::vector<std::string> args) {
    for (std::string& a : args) {
        if (a == "PORT") a = line.portPath();
    }
    args.insert(args.begin(), KAVROL_CLI_PATH);
    return run(args);
}

TEST(ToolsArgs, BadQueriesExitWith2AndSendNothing) {
    const std::string raw45(90, 'A');
    const std::string raw39(78, 'A');
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"fly"},
        {"query", "--port", "PORT", "--model", "2", "--command", "1", "--colour"},
        {"query", "--port", "PORT", "--model", "25", "--command", "1"},
        {"query", "--port", "PORT", "--model", "two", "--command", "1"},
        {"query", "--port", "PORT", "--model", "2"},
        {"query", "--model", "2", "--command", "1"},
        {"query", "--port", "PORT", "--model", "2", "--command", "256"},
        {"query", "--port", "PORT", "--model", "2", "--command", "8", "--raw", "4G"},
        {"query", "--port", "PORT", "--model", "2", "--command", "8", "--raw", "414"},
        {"query", "--port", "PORT", "--model", "2", "--command", "8", "--raw", raw45},
        {"query", "--port", "PORT", "--model", "2", "--command", "8", "--raw", raw39, "--route", "1,5"},
        {"query", "--port", "PORT", "--model", "2", "--command", "3", "--raw", "41"},
        {"query", "--port", "PORT", "--model", "2", "--command", "8", "--words", "1"},
        {"query", "--port", "PORT", "--model", "2", "--command", "3", "--words", "1,2,3,4,5"},
        {"query", "--port", "PORT", "--model", "2", "--command", "3", "--words", "65536"},
        {"query", "--port", "PORT", "--model", "2", "--command", "1", "--route", "1,2,3,4,5,6,7,8,9,10"},
        {"query", "--port", "PORT", "--model", "2", "--command", "1", "--route", "1,,5"},
        {"query", "--port", "PORT", "--model", "2", "--command", "1", "--route", "256"},
        {"query", "--port", "PORT", "--model", "2", "--command", "1", "--parity", "X"},
        {"query", "--port", "PORT", "--model", "2", "--command", "1", "--stop", "3"},
    };
    pty::PtyPair line;
    for (const auto& args : cases) {
        std::string shown;
        for (const std::string& a : args) shown += a.size() > 20 ? " <" + std::to_string(a.size()) + " chars>" : " " + a;
        const RunResult r = kavrol(line, args);
        EXPECT_EQ(r.exitCode, 2) << shown << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << shown << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << shown;
        EXPECT_TRUE(drain(line.device(), 50).empty()) << shown;
    }
}

TEST(ToolsArgs, RawPayloadsAtTheLimitDoGoOut) {
    // 44 raw bytes fill a direct frame (49 bytes sent); 38 with a route of
    // two fill an envelope (50 bytes).
    struct Case {
        std::vector<std::string> extra;
        std::size_t sent;
    };
    const Case cases[] = {
        {{"--raw", std::string(88, 'A')}, 49},
        {{"--raw", std::string(76, 'A'), "--route", "1,5"}, 50},
    };
    pty::PtyPair line;
    for (const Case& c : cases) {
        std::vector<std::string> args{"query", "--port", "PORT", "--model", "2", "--command", "8", "--timeout", "50"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const RunResult r = kavrol(line, args);
        EXPECT_EQ(r.exitCode, 1) << r.err;  // nobody answers
        EXPECT_EQ(drain(line.device(), 200).size(), c.sent);
    }
}

TEST(ToolsArgs, SimulatorRejectsBadArgumentsWith2) {
    const std::vector<std::vector<std::string>> cases = {
        {"--fault", "fire"},
        {"--fault", "delay:2"},
        {"--scenario", "/nonexistent/scenario.json"},
        {"--route", "1,2,3,4,5,6,7,8,9,10"},
        {"--route", ""},
        {"--route", " "},
        {"--frame-gap", "0"},
        {"--bogus"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv{KAVROL_DEVSIM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        const RunResult r = run(argv, 5000);
        EXPECT_EQ(r.exitCode, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "") << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

TEST(ToolsArgs, BothToolsNameTheProblemTheSameWay) {
    const std::string nulFile = tempPath("nul.json");
    {
        std::ofstream out(nulFile, std::ios::binary);
        out << R"({"rules": []})" << '\0' << "garbage";
    }
    const std::string cli = KAVROL_CLI_PATH;
    const std::string sim = KAVROL_DEVSIM_PATH;
    const std::vector<std::string> query{cli, "query", "--port", "/dev/null", "--model", "2", "--command", "1"};
    auto withQuery = [&](std::vector<std::string> extra) {
        std::vector<std::string> argv = query;
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    };
    struct Case {
        std::vector<std::string> argv;
        std::string mentions;
    };
    const Case cases[] = {
        {{cli, "fly"}, "unknown subcommand 'fly'"},
        {{cli, "query", "--port", "", "--model", "2", "--command", "1"}, "port path is empty"},
        {withQuery({"--baud", "12345"}), "not a standard rate"},
        {withQuery({"--baud", "0"}), "not a standard rate"},
        {withQuery({"--command", "300"}), "too large"},
        {withQuery({"--timeout", "99999999999999999999999"}), "too large"},
        {withQuery({"--words", "70000"}), "too large"},
        {withQuery({"--port", "/dev/null"}), "given twice"},
        {{sim, "--scenario", "no-such-scenario"}, "unknown scenario 'no-such-scenario' (see --list-scenarios)"},
        {{sim, "--scenario", "/"}, "is a directory"},
        {{sim, "--scenario", nulFile}, "NUL byte"},
        {{sim, "--baud", "12345"}, "not a standard rate"},
        {{sim, "--seed", "99999999999999999999999"}, "too large"},
        {{sim, "--tty", ""}, "port path is empty"},
        {{sim, "--route", ""}, "at least one byte"},
        {{sim, "--link", nulFile}, "not a symbolic link"},
    };
    for (const Case& c : cases) {
        const RunResult r = run(c.argv, 5000);
        EXPECT_EQ(r.exitCode, 2) << c.argv[1] << " " << c.argv.back() << "\n" << r.err;
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << c.argv.back() << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    std::remove(nulFile.c_str());
}

TEST(ToolsArgs, LowerCaseParityAndSpacedRoutesAreAccepted) {
    Devsim sim({"--quiet", "--route", "1, 5"});
    const RunResult r = query(sim.path(), {"--model", "23", "--command", "1", "--parity", "n", "--route", "1, 5"});
    EXPECT_EQ(r.exitCode, 0) << r.err << sim.log();
    EXPECT_NE(r.out.find("\"status\":1"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace kavrol::tools::test
