// kavrol monitor in front of kavrol-devsim, with kavrol query talking
// through the monitor's pseudo-terminal; the raw log read back by kavrol
// decode; the capture opened with the Lua dissector when tshark is there.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "common/serial_port.h"
#include "pty/pty_pair.h"
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
    struct Io {
        // The largest file the monitor may write (RLIMIT_FSIZE), as a file
        // system that fills up mid-run would cut its logs.
        rlim_t fileSizeLimit = RLIM_INFINITY;
        // Standard output into a pipe the test reads (outPipe()) instead of a file.
        bool outToPipe = false;
    };
    explicit Monitor(const std::vector<std::string>& args) : Monitor(args, Io{}) {}
    Monitor(const std::vector<std::string>& args, Io io)
        : out_(tempPath("monitor.out")), err_(tempPath("monitor.err")) {
        const rlim_t fileSizeLimit = io.fileSizeLimit;
        std::vector<std::string> argv{KAVROL_CLI_PATH, "monitor"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> a;
        for (std::string& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        // Opened before the limit is set, so that the monitor's own output is never cut.
        int pipeEnds[2] = {-1, -1};
        if (io.outToPipe && ::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        const int out =
            io.outToPipe ? pipeEnds[1] : ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        outPipe_ = pipeEnds[0];
        const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            if (fileSizeLimit != RLIM_INFINITY) {
                std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
                const rlimit limit{fileSizeLimit, fileSizeLimit};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            ::execv(a[0], a.data());
            ::_exit(127);
        }
        ::close(out);
        ::close(err);
    }
    ~Monitor() {
        stop(SIGTERM, 10000);
        if (outPipe_ >= 0) ::close(outPipe_);
        std::remove(out_.c_str());
        std::remove(err_.c_str());
    }
    // Sends the signal and waits up to boundMs for the monitor to end; kills
    // it after that. Its exit status, -1 when it had to be killed.
    int stop(int signal = SIGTERM, int boundMs = 30000) {
        if (pid_ <= 0) return exit_;
        ::kill(pid_, signal);
        return wait(boundMs);
    }
    // Waits up to boundMs for the monitor to end by itself (killed after that).
    int wait(int boundMs) {
        if (pid_ <= 0) return exit_;
        const auto start = std::chrono::steady_clock::now();
        int status = 0;
        pid_t done = 0;
        while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() - start < std::chrono::milliseconds(boundMs)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        elapsedMs_ = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        const bool ended = done == pid_;
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        exit_ = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return exit_;
    }
    // The read end of standard output with Io::outToPipe.
    int outPipe() const { return outPipe_; }
    // How long the last stop or wait took.
    double elapsedMs() const { return elapsedMs_; }
    std::string out() const { return readFile(out_); }
    std::string err() const { return readFile(err_); }

private:
    pid_t pid_ = -1;
    int exit_ = -1;
    int outPipe_ = -1;
    double elapsedMs_ = 0;
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

// The monitor's frames and messages: without its notes about line
// settings, which it prints once when the application first configures the
// pty, the path it prints first and the summary it prints last.
std::vector<json> withoutLineNotes(const std::vector<json>& all, int& notes) {
    std::vector<json> lines;
    notes = 0;
    for (const json& j : all) {
        if (j.contains("application_side") || j.contains("summary")) continue;
        if (j.contains("message") && j["message"].get<std::string>().find("set its line to") != std::string::npos) {
            EXPECT_EQ(j["message"],
                      "the application set its line to 9600 baud, 1 stop bit (a pseudo-terminal shows no parity or "
                      "data bits); the device side follows: 9600 8N1");
            ++notes;
        } else {
            lines.push_back(j);
        }
    }
    return lines;
}

// Frames only.
std::vector<json> framesOf(const std::vector<json>& all) {
    std::vector<json> frames;
    for (const json& j : all) {
        if (j.contains("kind")) frames.push_back(j);
    }
    return frames;
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
    const std::vector<json> live = framesOf(jsonLines(monitor_->out()));
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
    for (const char* expected : {"Kavrol32 serial line", "Direction: host to device (1)", "Form: direct", "Command: 1",
                                 "Sub-command: 0", "Reply: code 1", "Reply code: 1", "Checksum status: Good (1)",
                                 "Route count: 0", "Form: multiplexed", "Envelope checksum status: Good (1)"}) {
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
        if (n > 0)
            got.insert(got.end(), buf, buf + n);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return got;
}

TEST(ToolsMonitorBetween, ForwardsBetweenTwoPorts) {
    Devsim sim({"--scenario", "all-models"});
    const json direct = queryJson(sim.path(), {"--model", "2", "--command", "1"});
    const Bytes expected = *parseHex(direct["received"].get<std::string>());
    // The test plays the application on the device end of a pty pair.
    pty::PtyPair app;
    ::fcntl(app.device(), F_SETFL, O_NONBLOCK);
    Monitor monitor({"--between", app.portPath(), sim.path(), "--json"});
    ASSERT_TRUE(waitForText(monitor, "kavrol monitor: application side")) << monitor.err();
    const Bytes command = *parseHex(direct["sent"].get<std::string>());
    ASSERT_EQ(::write(app.device(), command.data(), command.size()), static_cast<ssize_t>(command.size()));
    EXPECT_EQ(toHex(readSome(app.device(), expected.size())), toHex(expected));
    EXPECT_EQ(monitor.stop(), 0) << monitor.err();
    const std::vector<json> lines = framesOf(jsonLines(monitor.out()));
    ASSERT_EQ(lines.size(), 2U) << monitor.out();
    EXPECT_EQ(lines[0]["bytes"], direct["sent"]);
    EXPECT_EQ(lines[1]["bytes"], direct["received"]);
    EXPECT_EQ(lines[1]["reply_code"], 1);
}

TEST_F(ToolsMonitor, PrintsTheApplicationsPathFirstAndASummaryLast) {
    const std::vector<json> lines = jsonLines(monitor_->out());
    ASSERT_GE(lines.size(), 2U) << monitor_->out();
    EXPECT_EQ(lines.front()["application_side"], link_) << lines.front();
    EXPECT_EQ(lines.front()["pty"].get<std::string>().rfind("/dev/pts/", 0), 0U) << lines.front();
    const json expected = json::parse(R"({"summary": {
        "host": {"frames": 2, "commands": 2, "replies": 0, "cut": 0, "bad": 0, "noise_bytes": 0},
        "device": {"frames": 1, "commands": 0, "replies": 1, "cut": 0, "bad": 0, "noise_bytes": 0},
        "replies_missing": 1, "checksum_errors": 0, "undecoded_bytes": 0}})");
    EXPECT_EQ(lines.back(), expected);
}

TEST_F(ToolsMonitor, TheMissingReplyIsInTheRawLogAndTheCapture) {
    const std::string raw = readFile(raw_);
    const std::size_t at = raw.find(" reply missing: nothing came back within 1000 ms");
    ASSERT_NE(at, std::string::npos) << raw;
    EXPECT_EQ(raw.rfind("\n# ", at) + 1, raw.rfind('\n', at) + 1) << "not a comment line:\n" << raw;
    if (!haveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    const RunResult r = dissect(pcap_);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.find("Lua Error"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("not dissected"), std::string::npos) << r.out;
    // The annotation packet: kind 6, shown as the monitor's note.
    EXPECT_NE(r.out.find("Found as: note (6)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Note: reply missing: nothing came back within 1000 ms"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Bytes that form no complete frame"), std::string::npos) << r.out;
}

// Writes what the descriptor takes within `seconds` (it is non-blocking), up
// to `total` bytes; how much that was.
std::size_t flood(int fd, std::size_t total, int seconds) {
    const std::vector<std::uint8_t> chunk(4096, 0x55);
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (done < total && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = ::write(fd, chunk.data(), std::min(chunk.size(), total - done));
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done;
}

// Reads until nothing has come for quietMs.
void drain(int fd, int quietMs) {
    auto quietSince = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(quietMs)) {
        std::uint8_t buf[4096];
        if (::read(fd, buf, sizeof buf) > 0)
            quietSince = std::chrono::steady_clock::now();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool waitForOut(const Monitor& m, const std::string& text) {
    return eventually([&] { return m.out().find(text) != std::string::npos; }, 15000);
}

// The test plays the application and the device, each on the device end of
// a pty pair of its own, with the monitor between the two client ends.
class ToolsMonitorLine : public ::testing::Test {
protected:
    void SetUp() override {
        for (int fd : {app_.device(), dev_.device()}) ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    std::vector<std::string> between(std::vector<std::string> extra) const {
        std::vector<std::string> args{"--between", app_.portPath(), dev_.portPath()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    int app() const { return app_.device(); }
    const std::string& devPath() const { return dev_.portPath(); }
    int dev() const { return dev_.device(); }

private:
    pty::PtyPair app_;
    pty::PtyPair dev_;
};

TEST_F(ToolsMonitorLine, ASideThatReadsNothingHoldsUpNeitherDirectionNorTheStop) {
    Monitor monitor(between({"--timeout", "60000"}));
    ASSERT_TRUE(waitForText(monitor, "kavrol monitor: application side")) << monitor.err();
    const Bytes command = *parseHex("05 01 00 05 3D");
    const Bytes reply = *parseHex("3E 05 01 00 05 C7");

    // The device floods the application, which reads nothing: the flood
    // still goes out, and a command still reaches the device.
    constexpr std::size_t kFlood = 256 * 1024;
    EXPECT_EQ(flood(dev(), kFlood, 20), kFlood) << monitor.out() << monitor.err();
    ASSERT_EQ(::write(app(), command.data(), command.size()), static_cast<ssize_t>(command.size()));
    EXPECT_EQ(toHex(readSome(dev(), command.size())), toHex(command)) << monitor.out() << monitor.err();
    EXPECT_TRUE(waitForOut(monitor, "the application side took nothing for 1000 ms")) << monitor.out();

    // Once the application reads again, what comes for it gets there.
    drain(app(), 300);
    EXPECT_TRUE(waitForOut(monitor, "the application side reads again")) << monitor.out();
    // The other way round: the device reads nothing from now on.
    EXPECT_EQ(flood(app(), kFlood, 20), kFlood) << monitor.out() << monitor.err();
    ASSERT_EQ(::write(dev(), reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    EXPECT_EQ(toHex(readSome(app(), reply.size())), toHex(reply)) << monitor.out() << monitor.err();
    EXPECT_TRUE(waitForOut(monitor, "the device side took nothing for 1000 ms")) << monitor.out();

    // SIGINT ends it while the device side still takes nothing.
    EXPECT_EQ(monitor.stop(SIGINT, 5000), 0) << "still running 5 s after SIGINT\n" << monitor.err();
    EXPECT_LT(monitor.elapsedMs(), 2000.0);
    std::cout << "monitor ended " << monitor.elapsedMs() << " ms after SIGINT\n";
}

TEST_F(ToolsMonitorLine, ABurstJustBeforeTheStopIsNotDecodedForLong) {
    const std::string raw = tempPath("burst.raw");
    // Standard output that takes about 300 KB/s (a terminal, a slow pipe):
    // the decoder falls far behind the line.
    Monitor monitor(between({"--raw", raw, "--model", "2"}), {.outToPipe = true});
    std::atomic<bool> reading{true};
    std::thread slowReader([&] {
        char buf[16384];
        while (reading.load() && ::read(monitor.outPipe(), buf, sizeof buf) > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    ASSERT_TRUE(waitForText(monitor, "kavrol monitor: application side")) << monitor.err();
    // 300 KB of valid replies, read by the application as they come.
    const Bytes reply = *parseHex("3E 17 01 00 10 39 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17");
    constexpr std::size_t kBurst = 300 * 1024;
    Bytes burst;
    while (burst.size() < kBurst) burst.insert(burst.end(), reply.begin(), reply.end());
    burst.resize(kBurst);
    std::thread appReader([&] { drain(app(), 2000); });
    std::size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (sent < kBurst && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = ::write(dev(), burst.data() + sent, std::min<std::size_t>(4096, kBurst - sent));
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    appReader.join();
    ASSERT_EQ(sent, kBurst);
    const int rc = monitor.stop(SIGINT, 60000);
    reading.store(false);
    slowReader.join();
    EXPECT_EQ(rc, 0) << monitor.err();
    EXPECT_LT(monitor.elapsedMs(), 10000.0) << "decoding held the stop up";
    std::cout << "monitor ended " << monitor.elapsedMs() << " ms after SIGINT\n";
    // Every byte is in the raw log, decoded or not.
    std::size_t logged = 0;
    std::istringstream lines(readFile(raw));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        logged += static_cast<std::size_t>(std::count(line.begin(), line.end(), ' ') - 1);
    }
    EXPECT_EQ(logged, kBurst);
    std::remove(raw.c_str());
}

TEST_F(ToolsMonitorLine, AnUnwritableLogEndsTheMonitorNamingTheFile) {
    const std::string file = tempPath("log");
    struct Case {
        const char* what;
        std::vector<std::string> args;
        rlim_t sizeLimit;
        std::string path;
        std::string reason;
    };
    // /dev/full: every write fails; the size limit cuts the file mid-run,
    // as a file system that fills up does.
    const Case cases[] = {
        {"--raw on a full device", {"--raw", "/dev/full"}, RLIM_INFINITY, "/dev/full", "No space left on device"},
        {"--pcap on a full device", {"--pcap", "/dev/full"}, RLIM_INFINITY, "/dev/full", "No space left on device"},
        {"--raw cut mid-run", {"--raw", file}, 4000, file, "File too large"},
        {"--pcap cut mid-run", {"--pcap", file}, 4000, file, "File too large"},
    };
    // Ten commands a write, so that each chunk fills a long line of the log.
    const Bytes command = *parseHex("05 01 00 05 3D");
    Bytes commands;
    for (int i = 0; i < 10; ++i) commands.insert(commands.end(), command.begin(), command.end());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Monitor monitor(between(c.args), {.fileSizeLimit = c.sizeLimit});
        // Commands until the log is full; the monitor must then end by itself.
        for (int i = 0; i < 40; ++i) {
            [[maybe_unused]] const ssize_t n = ::write(app(), commands.data(), commands.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            drain(dev(), 0);
        }
        const int rc = monitor.wait(10000);
        EXPECT_EQ(rc, 1) << "the monitor went on (or was killed) with its log failing\n" << monitor.err();
        EXPECT_NE(monitor.err().find("kavrol monitor: cannot write " + c.path + ": " + c.reason), std::string::npos)
            << monitor.err();
        std::remove(file.c_str());
    }
}

TEST_F(ToolsMonitorLine, TheApplicationsSpeedAndStopBitsAreFollowedAndLogged) {
    const std::string link = tempPath("tap.link");
    Monitor monitor({"--device", devPath(), "--pty", "--link", link, "--json"});
    ASSERT_TRUE(waitForPath(link)) << monitor.err();
    // Nobody answers: only the settings matter here.
    query(link,
          {"--baud", "19200", "--parity", "E", "--stop", "2", "--model", "2", "--command", "1", "--timeout", "100"});
    const std::string expected =
        "the application set its line to 19200 baud, 2 stop bits (a pseudo-terminal shows no parity or data bits); "
        "the device side follows: 19200 8N2";
    EXPECT_TRUE(waitForOut(monitor, expected)) << monitor.out();
    const auto line = ttyLine(dev());
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(describeLine(*line), "19200 8N2");
    EXPECT_EQ(monitor.stop(SIGINT, 5000), 0) << monitor.err();
}

TEST_F(ToolsMonitorLine, SharedTapsADeviceAnotherProgramHolds) {
    const auto held = SerialPort::open(devPath(), LineSettings{});
    Monitor busy(between({}));
    EXPECT_EQ(busy.wait(10000), 3);
    EXPECT_NE(busy.err().find("port busy: " + devPath()), std::string::npos) << busy.err();
    Monitor shared(between({"--shared"}));
    EXPECT_TRUE(waitForText(shared, "kavrol monitor: application side")) << shared.err();
    EXPECT_EQ(shared.stop(SIGINT, 5000), 0) << shared.err();
}

TEST(ToolsMonitorReopen, ALostDeviceSideIsWaitedForUnderReopen) {
    const std::string devLink = tempPath("device.link");
    const std::string appLink = tempPath("app.link");
    const std::vector<std::string> answered{"--model", "2", "--command", "1"};
    auto sim = std::make_unique<Devsim>(std::vector<std::string>{"--link", devLink});
    Monitor monitor({"--device", devLink, "--pty", "--link", appLink, "--reopen", "--json"});
    ASSERT_TRUE(waitForPath(appLink)) << monitor.err();
    EXPECT_EQ(queryJson(appLink, answered)["status"], 1);
    EXPECT_EQ(sim->stop(), 0);
    sim.reset();
    ASSERT_TRUE(waitForOut(monitor, "device side lost: waiting for " + devLink + " to come back")) << monitor.out();
    sim = std::make_unique<Devsim>(std::vector<std::string>{"--link", devLink});
    ASSERT_TRUE(waitForOut(monitor, "device side reopened: " + devLink)) << monitor.out() << monitor.err();
    EXPECT_EQ(queryJson(appLink, answered)["status"], 1) << monitor.out();
    EXPECT_EQ(monitor.stop(SIGINT, 5000), 0) << monitor.err();
    const std::vector<json> lines = jsonLines(monitor.out());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["summary"]["device"]["replies"], 2) << monitor.out();
}

TEST(ToolsMonitorReopen, WithoutReopenALostDeviceSideEndsTheMonitor) {
    auto sim = std::make_unique<Devsim>(std::vector<std::string>{});
    Monitor monitor({"--device", sim->path(), "--pty"});
    ASSERT_TRUE(waitForText(monitor, "kavrol monitor: application side")) << monitor.err();
    sim.reset();
    EXPECT_EQ(monitor.wait(10000), 3) << monitor.err();
    EXPECT_NE(monitor.out().find("reading the device side failed"), std::string::npos) << monitor.out();
}

TEST(ToolsMonitorLink, ARegularFileAtTheLinkPathIsRefusedAndKept) {
    Devsim sim({});
    const std::string file = tempPath("precious");
    std::ofstream(file) << "keep me";
    const RunResult r = run({KAVROL_CLI_PATH, "monitor", "--device", sim.path(), "--pty", "--link", file}, 10000);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("--link " + file + ": exists and is not a symbolic link"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(file), "keep me");
    std::remove(file.c_str());
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
                                 "Route byte: 0x05", "Envelope checksum status: Bad (0) (received 2E, computed 2F)"}) {
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    }
}

}  // namespace
}  // namespace kavrol::tools::test
