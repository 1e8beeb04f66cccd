// kavrol monitor in front of kavrol-devsim, with kavrol query talking
// through the monitor's pseudo-terminal; the raw log read back by kavrol
// decode; the capture opened with the Lua dissector when tshark is there.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/hex.h"
#include "common/pty_device.h"
#include "support/json_lines.h"
#include "support/process.h"

namespace kavrol::tools::test {
namespace {

using nlohmann::json;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// kavrol monitor in the background, standard output and error to files.
class Monitor {
public:
    explicit Monitor(const std::vector<std::string>& args) : out_(tempPath("monitor.out")), err_(tempPath("monitor.err")) {
        std::vector<std::string> argv{KAVROL_CLI_PATH, "monitor"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> a;
        for (std::string& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
            ::dup2(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
            ::execv(a[0], a.data());
            ::_exit(127);
        }
    }
    ~Monitor() {
        stop();
        std::remove(out_.c_str());
        std::remove(err_.c_str());
    }
    int stop() {
        if (pid_ <= 0) return exit_;
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return exit_;
    }
    std::string out() const { return readFile(out_); }
    std::string err() const { return readFile(err_); }

private:
    pid_t pid_ = -1;
    int exit_ = -1;
    std::string out_;
    std::string err_;
};

bool waitForPath(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    struct stat st {};
    while (::stat(path.c_str(), &st) != 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

json queryJson(const std::string& port, const std::vector<std::string>& args) {
    const RunResult r = query(port, args);
    try {
        json j = json::parse(r.out);
        j.erase("port");
        return j;
    } catch (const json::exception&) {
        ADD_FAILURE() << "no JSON: " << r.out << r.err;
        return json::object();
    }
}

std::string kindsOf(const std::vector<json>& lines) {
    std::string s;
    for (const json& j : lines) {
        s += (s.empty() ? "" : ", ") + (j.contains("message") ? std::string("message") : j["kind"].get<std::string>());
    }
    return s;
}

class ToolsMonitor : public ::testing::Test {
protected:
    // One monitored session for the whole suite: a query answered through
    // the monitor, then one the simulator does not answer.
    static void SetUpTestSuite() {
        sim_ = new Devsim({"--scenario", "all-models"});
        const std::vector<std::string> answered{"--model", "2", "--command", "1"};
        direct_ = new json(queryJson(sim_->path(), answered));
        link_ = tempPath("monitor.link");
        raw_ = tempPath("monitor.raw");
        pcap_ = tempPath("monitor.pcap");
        monitor_ = new Monitor({"--device", sim_->path(), "--pty", "--link", link_, "--raw", raw_, "--pcap", pcap_,
                                "--json", "--timeout", "1000"});
        if (!waitForPath(link_)) return;
        monitored_ = new json(queryJson(link_, answered));
        // The simulator serves route 1,5 only: this envelope gets no reply.
        unanswered_ = new json(queryJson(link_, {"--model", "5", "--command", "3", "--mux", "--timeout", "2500"}));
        monitor_->stop();
    }
    static void TearDownTestSuite() {
        delete monitor_;
        delete sim_;
        delete direct_;
        delete monitored_;
        delete unanswered_;
        std::remove(raw_.c_str());
        std::remove(pcap_.c_str());
    }
    void SetUp() override { ASSERT_NE(monitored_, nullptr) << "the monitor made no link: " << monitor_->err(); }

    static Devsim* sim_;
    static Monitor* monitor_;
    static json* direct_;
    static json* monitored_;
    static json* unanswered_;
    static std::string link_, raw_, pcap_;
};
Devsim* ToolsMonitor::sim_ = nullptr;
Monitor* ToolsMonitor::monitor_ = nullptr;
json* ToolsMonitor::direct_ = nullptr;
json* ToolsMonitor::monitored_ = nullptr;
json* ToolsMonitor::unanswered_ = nullptr;
std::string ToolsMonitor::link_, ToolsMonitor::raw_, ToolsMonitor::pcap_;

TEST_F(ToolsMonitor, QueryThroughTheMonitorGivesTheSameResult) {
    EXPECT_EQ((*direct_)["status"], 1);
    // The round trip is the one field the tap may change.
    json monitored = *monitored_;
    json direct = *direct_;
    monitored.erase("rtt_ms");
    direct.erase("rtt_ms");
    EXPECT_EQ(monitored, direct);
    EXPECT_EQ((*unanswered_)["status"], -2);
}

// The monitor's output without its notes about line settings, which it
// prints once when the application first configures the pty.
std::vector<json> withoutLineNotes(const std::vector<json>& all, int& notes) {
    std::vector<json> lines;
    notes = 0;
    for (const json& j : all) {
        if (j.contains("message") && j["message"].get<std::string>().find("set its line to") != std::string::npos) {
            EXPECT_EQ(j["message"], "the application set its line to 8N1; the device side follows");
            ++notes;
        } else {
            lines.push_back(j);
        }
    }
    return lines;
}

TEST_F(ToolsMonitor, PrintsBothFramesDecodedAndTheMissingReply) {
    int notes = 0;
    const std::vector<json> lines = withoutLineNotes(jsonLines(monitor_->out()), notes);
    EXPECT_EQ(notes, 1);
    ASSERT_EQ(kindsOf(lines), "command, reply, command, message") << monitor_->out() << monitor_->err();
    EXPECT_EQ(lines[0]["direction"], "host");
    EXPECT_EQ(lines[0]["bytes"], (*direct_)["sent"]);
    EXPECT_EQ(lines[0]["description"], "direct command 1, sub-command 0, no payload");
    EXPECT_EQ(lines[0]["checksum"]["ok"], true);
    EXPECT_EQ(lines[1]["direction"], "device");
    EXPECT_EQ(lines[1]["bytes"], (*direct_)["received"]);
    EXPECT_EQ(lines[1]["reply_code"], 1);
    EXPECT_EQ(lines[1]["checksum"]["ok"], true);
    EXPECT_GE(lines[1]["gap_ms"].get<double>(), 0.0);
    EXPECT_EQ(lines[0]["time"].get<std::string>().size(), 12U);  // HH:MM:SS.mmm
    EXPECT_EQ(lines[2]["multiplexed"], true);
    EXPECT_NE(lines[3]["message"].get<std::string>().find("reply missing"), std::string::npos) << lines[3];
}

TEST_F(ToolsMonitor, RawLogDecodesToTheSameFrames) {
    const RunResult r = run({KAVROL_CLI_PATH, "decode", "--json", "--file", raw_});
    const std::vector<json> decoded = jsonLines(r.out);
    std::vector<json> live;
    for (const json& j : jsonLines(monitor_->out())) {
        if (!j.contains("message")) live.push_back(j);
    }
    ASSERT_EQ(decoded.size(), live.size()) << r.out;
    for (std::size_t i = 0; i < live.size(); ++i) {
        EXPECT_EQ(decoded[i]["bytes"], live[i]["bytes"]);
        EXPECT_EQ(decoded[i]["direction"], live[i]["direction"]);
        EXPECT_EQ(decoded[i]["time"], live[i]["time"]);
    }
}

RunResult dissect(const std::string& pcap) {
    return run({"/usr/bin/tshark", "-X", std::string("lua_script:") + KAVROL_LUA_DISSECTOR, "-r", pcap, "-V"});
}

bool haveTshark() { return ::access("/usr/bin/tshark", X_OK) == 0; }

TEST_F(ToolsMonitor, DissectorShowsCommandReplyAndChecksumVerdict) {
    if (!haveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    const RunResult r = dissect(pcap_);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* expected : {"Kavrol32 serial line", "Direction: host to device (1)", "Form: direct",
                                 "Command: 1", "Sub-command: 0", "Reply: code 1", "Reply code: 1",
                                 "Checksum status: Good (1)", "Route count: 0", "Form: multiplexed",
                                 "Envelope checksum status: Good (1)"}) {
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    }
    EXPECT_EQ(r.out.find("Bad ("), std::string::npos) << r.out;
}

bool waitForText(const Monitor& m, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m.err().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Reads until `count` bytes came or 5 s passed.
Bytes readSome(int fd, std::size_t count) {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::uint8_t buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.insert(got.end(), buf, buf + n);
        else std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return got;
}

TEST(ToolsMonitorBetween, ForwardsBetweenTwoPorts) {
    Devsim sim({"--scenario", "all-models"});
    const json direct = queryJson(sim.path(), {"--model", "2", "--command", "1"});
    const Bytes expected = *parseHex(direct["received"].get<std::string>());
    // The test plays the application on the device end of a pty pair.
    PtyDevice app;
    ::fcntl(app.deviceFd(), F_SETFL, O_NONBLOCK);
    Monitor monitor({"--between", app.clientPath(), sim.path(), "--json"});
    ASSERT_TRUE(waitForText(monitor, "kavrol monitor: application side")) << monitor.err();
    const Bytes command = *parseHex(direct["sent"].get<std::string>());
    ASSERT_EQ(::write(app.deviceFd(), command.data(), command.size()), static_cast<ssize_t>(command.size()));
    EXPECT_EQ(toHex(readSome(app.deviceFd(), expected.size())), toHex(expected));
    EXPECT_EQ(monitor.stop(), 0) << monitor.err();
    const std::vector<json> lines = jsonLines(monitor.out());
    ASSERT_EQ(lines.size(), 2U) << monitor.out();
    EXPECT_EQ(lines[0]["bytes"], direct["sent"]);
    EXPECT_EQ(lines[1]["bytes"], direct["received"]);
    EXPECT_EQ(lines[1]["reply_code"], 1);
}

TEST(ToolsDissector, FlagsBadChecksumsAndNamesDeviceErrors) {
    if (!haveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    const std::string pcap = tempPath("damaged.pcap");
    // A reply with a bad checksum, a device error 249, a multiplexed command
    // whose envelope checksum is wrong.
    const RunResult d = run({KAVROL_CLI_PATH, "decode", "--pcap", pcap, "3E 09 01 00 07 31 06 07 08 0A",
                             "3E 05 F9 00 05 C7", "24 0D 2E 02 01 05 3C 07 03 00 06 3D 02 01"});
    ASSERT_EQ(d.exitCode, 1) << d.out << d.err;
    const RunResult r = dissect(pcap);
    std::remove(pcap.c_str());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* expected : {"Checksum status: Bad (0) (received 07 31, computed 04 31)",
                                 "Expert Info (Error/Checksum): Checksum mismatch: received 07 31, computed 04 31",
                                 "Device error: device error 249 (library result -10, device-error) (249)",
                                 "Route byte: 0x05",
                                 "Envelope checksum status: Bad (0) (received 2E, computed 2F)"}) {
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    }
}

}  // namespace
}  // namespace kavrol::tools::test
