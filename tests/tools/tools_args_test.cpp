// Bad arguments: a one-line message, exit status 2, and not a byte on the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <poll.h>
#include <unistd.h>

#include "common/hex.h"
#include "kavrol_version.h"
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
        for (const std::string& a : args)
            shown += a.size() > 20 ? " <" + std::to_string(a.size()) + " chars>" : " " + a;
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

TEST(ToolsArgs, EveryToolPrintsItsVersion) {
    const std::string version = util::kVersionText;
    const std::pair<std::string, std::string> tools[] = {
        {KAVROL_CLI_PATH, "kavrol"},
        {KAVROL_DEVSIM_PATH, "kavrol-devsim"},
        {KAVROL_LAYOUT_TABLE_PATH, "layout-table"},
    };
    for (const auto& [path, name] : tools) {
        for (const char* flag : {"--version", "-V"}) {
            const RunResult r = run({path, flag}, 10000);
            EXPECT_EQ(r.exitCode, 0) << name << " " << flag << "\n" << r.err;
            EXPECT_EQ(r.out, name + " " + version + "\n") << flag;
            EXPECT_TRUE(r.err.empty()) << r.err;
        }
    }
}

TEST(ToolsArgs, LayoutTableTakesNoOptionForAFileName) {
    // Run in a directory of its own: whatever it writes by mistake shows.
    const std::filesystem::path dir = tempPath("layout-table-dir");
    std::filesystem::create_directories(dir);
    const std::string script = "cd '" + dir.string() + "' && exec " + KAVROL_LAYOUT_TABLE_PATH + " ";
    struct Case {
        const char* args;
        int exitCode;
        const char* out;  // start of standard output
        const char* err;
    };
    const Case cases[] = {
        {"--help", 0, "usage: layout-table ", ""},
        {"-h", 0, "usage: layout-table ", ""},
        {"--bogus", 2, "", "layout-table: unknown option --bogus (see layout-table --help)\n"},
        {"--protocol-json --help", 2, "", "layout-table: unknown option --help (see layout-table --help)\n"},
        {"a.md b.md", 2, "", "layout-table: one file at most, got b.md too (see layout-table --help)\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = run({"/bin/sh", "-c", script + c.args}, 10000);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args << "\n" << r.err;
        EXPECT_EQ(r.out.substr(0, std::string(c.out).size()), c.out) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_TRUE(std::filesystem::is_empty(dir)) << c.args << " wrote a file";
    }
    std::filesystem::remove_all(dir);
}

TEST(ToolsArgs, MessagesNameTheSubcommandTheUnknownOptionAndItsHelp) {
    const std::string cli = KAVROL_CLI_PATH;
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        // An unknown option is named even when a required one is missing too.
        {{"query", "--bogus"}, "kavrol query: unknown option --bogus (see kavrol query --help)\n"},
        {{"query", "--port", "/dev/null", "--bogus", "--model", "2", "--command", "1"},
         "kavrol query: unknown option --bogus (see kavrol query --help)\n"},
        {{"decode", "--bogus", "05"}, "kavrol decode: unknown option --bogus (see kavrol decode --help)\n"},
        {{"monitor", "--bogus"}, "kavrol monitor: unknown option --bogus (see kavrol monitor --help)\n"},
        {{"query", "--model", "2", "--command", "1"}, "kavrol query: --port is required (see kavrol query --help)\n"},
        // --model is 0..24 in every subcommand.
        {{"query", "--port", "/dev/null", "--model", "25", "--command", "1"},
         "kavrol query: --model: '25' is too large (at most 24) (see kavrol query --help)\n"},
        {{"decode", "--model", "30", "05"},
         "kavrol decode: --model: '30' is too large (at most 24) (see kavrol decode --help)\n"},
        {{"monitor", "--device", "/dev/null", "--pty", "--model", "99"},
         "kavrol monitor: --model: '99' is too large (at most 24) (see kavrol monitor --help)\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{cli};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const RunResult r = run(argv, 10000);
        EXPECT_EQ(r.exitCode, 2) << c.args[0] << " " << c.args[1] << "\n" << r.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    // The highest model code is one.
    const RunResult top = run({cli, "decode", "--model", "24", "3E 06 01 00 06 3F 00"}, 10000);
    EXPECT_EQ(top.exitCode, 0) << top.err;
}

TEST(ToolsArgs, SmallWordingsReadRight) {
    const RunResult one = run({KAVROL_CLI_PATH, "decode", "3E 06 01 00 06 3F 00"}, 10000);
    EXPECT_NE(one.out.find(", 1 payload byte: 00"), std::string::npos) << one.out;
    const RunResult help = run({KAVROL_DEVSIM_PATH, "--help"}, 10000);
    EXPECT_NE(help.out.find("--frame-gap UINT:1..60000=100"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("[1 - 60000]"), std::string::npos) << help.out;
    const RunResult list = run({KAVROL_DEVSIM_PATH, "--list-scenarios"}, 10000);
    EXPECT_EQ(list.out.find("reply codes none"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("{1, 19} (no layouts: replies are not normalized)"), std::string::npos) << list.out;
}

}  // namespace
}  // namespace kavrol::tools::test
