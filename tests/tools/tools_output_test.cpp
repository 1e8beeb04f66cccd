// Output that cannot be written (a full disk, here /dev/full) ends the run
// with a message naming the file and the system's reason, exit status 1;
// files that cannot be opened are named with their reason, exit status 2.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/process.h"

namespace kavrol::tools::test {
namespace {

constexpr const char* kFull = "No space left on device";

std::string shellQuote(const std::string& s) { return "'" + s + "'"; }

// A shell command whose write fails: it must end with exit 1 and one line
// on standard error naming what it could not write.
struct FailingWrite {
    std::string script;
    std::string names;
};

RunResult expectEndsNaming(const FailingWrite& c) {
    RunResult r = run({"/bin/sh", "-c", c.script}, 60000);
    EXPECT_EQ(r.exitCode, 1) << c.script << "\n" << r.err;
    EXPECT_NE(r.err.find(c.names + kFull), std::string::npos) << c.script << "\n" << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    return r;
}

TEST(ToolsOutput, QueryEndsWhenItsLogOrItsOutputCannotBeWritten) {
    Devsim sim({"--quiet"});
    const std::string cli = KAVROL_CLI_PATH;
    const std::string poll = cli + " query --port " + shellQuote(sim.path()) +
                             " --model 2 --command 1 --repeat 50 --interval 0 --timeout 1000";
    const FailingWrite cases[] = {
        {poll + " --log /dev/full", "kavrol query: --log: cannot write /dev/full: "},
        {poll + " --json --log /dev/full", "kavrol query: --log: cannot write /dev/full: "},
        {poll + " >/dev/full", "kavrol query: cannot write standard output: "},
    };
    for (const FailingWrite& c : cases) {
        const RunResult r = expectEndsNaming(c);
        // The run stopped at the first failed line instead of polling on.
        EXPECT_LE(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    }
}

TEST(ToolsOutput, DecodeEndsWhenItsOutputCannotBeWritten) {
    const std::string cli = KAVROL_CLI_PATH;
    const FailingWrite cases[] = {
        {cli + " decode 05 01 00 05 3D >/dev/full", "kavrol decode: cannot write standard output: "},
        {cli + " decode --json 05 01 00 05 3D >/dev/full", "kavrol decode: cannot write standard output: "},
        // An endless input into a full disk ends too.
        {"yes '05 01 00 05 3D' | " + cli + " decode >/dev/full", "kavrol decode: cannot write standard output: "},
        {cli + " decode --pcap /dev/full 05 01 00 05 3D >/dev/null", "kavrol decode: --pcap: cannot write /dev/full: "},
    };
    for (const FailingWrite& c : cases) expectEndsNaming(c);
}

TEST(ToolsOutput, FilesThatCannotBeOpenedAreNamedWithTheirReason) {
    const std::string cli = KAVROL_CLI_PATH;
    struct Case {
        std::vector<std::string> argv;
        std::string message;
    };
    const Case cases[] = {
        {{cli, "decode", "--file", "/"}, "kavrol decode: --file: cannot read /: Is a directory\n"},
        {{cli, "decode", "--file", "/nonexistent/x.hex"},
         "kavrol decode: --file: cannot read /nonexistent/x.hex: No such file or directory\n"},
        {{cli, "decode", "--pcap", "/nonexistent/x.pcap", "05 01 00 05 3D"},
         "kavrol decode: --pcap: cannot create /nonexistent/x.pcap: No such file or directory\n"},
        {{cli, "query", "--port", "/dev/null", "--model", "2", "--command", "1", "--log", "/nonexistent/x.log"},
         "kavrol query: --log: cannot write /nonexistent/x.log: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = run(c.argv, 10000);
        EXPECT_EQ(r.exitCode, 2) << c.argv.back() << "\n" << r.err;
        EXPECT_EQ(r.err, c.message);
    }
}

}  // namespace
}  // namespace kavrol::tools::test
