// kavrol decode as a separate process: the frames of the demo, as the
// simulator logged them, and damaged input.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "support/json_lines.h"
#include "support/process.h"

namespace kavrol::tools::test {
namespace {

using nlohmann::json;

struct LoggedFrame {
    std::string line;  // "<time> <hex>" as the decoder reads it
    bool command = false;
    std::string name;  // the simulator's description
};

// The "<-" (command received) and "->" (reply sent) lines of the
// simulator's frame log: "12:34:56.789 <- 09 03 ...  #1 direct command 3, ...".
std::vector<LoggedFrame> framesOfSimulatorLog(const std::string& log) {
    static const std::regex line(R"((\d\d:\d\d:\d\d\.\d{3}) (<-|->) ([0-9A-F ]+?)  (#\d+ )?(.*))");
    std::vector<LoggedFrame> frames;
    std::istringstream in(log);
    std::string text;
    while (std::getline(in, text)) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) continue;
        const bool command = m[2] == "<-";
        const std::string name = command ? m[5].str() : m[5].str().substr(0, m[5].str().find(" ("));
        frames.push_back({m[1].str() + " " + m[3].str(), command, name});
    }
    return frames;
}

std::string writeTemp(const std::string& stem, const std::string& text) {
    const std::string path = tempPath(stem);
    std::ofstream(path) << text;
    return path;
}

RunResult decode(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KAVROL_CLI_PATH, "decode"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

TEST(ToolsDecode, NamesEveryFrameOfTheDemoAsTheSimulatorDid) {
    const RunResult demo = run({KAVROL_CLI_PATH, "demo", "--show-simulator"}, 60000);
    ASSERT_EQ(demo.exitCode, 0) << demo.err;
    const std::vector<LoggedFrame> logged = framesOfSimulatorLog(demo.err);
    ASSERT_GE(logged.size(), 10U) << demo.err;

    // Once with the direction guessed from the bytes, once as the monitor
    // writes it (a direction word after the time).
    for (const bool withDirection : {false, true}) {
        std::string text;
        for (const LoggedFrame& f : logged) {
            std::string line = f.line;
            if (withDirection) line.insert(line.find(' ') + 1, f.command ? "host " : "device ");
            text += line + "\n";
        }
        const std::string path = writeTemp("demo.hex", text);
        const RunResult r = decode({"--json", "--file", path});
        std::remove(path.c_str());
        const std::vector<json> frames = jsonLines(r.out);
        ASSERT_EQ(frames.size(), logged.size()) << r.out << r.err;
        for (std::size_t i = 0; i < logged.size(); ++i) {
            const json& j = frames[i];
            EXPECT_EQ(j["kind"], logged[i].command ? "command" : "reply") << logged[i].line;
            const std::string description = j.value("description", "");
            EXPECT_EQ(description.substr(0, logged[i].name.size()), logged[i].name) << logged[i].line;
            EXPECT_EQ(j["time"], logged[i].line.substr(0, 12));
        }
    }
}

TEST(ToolsDecode, DamagedInputIsReportedAndTheRestDecodes) {
    // A good command; a reply on a line that also holds an odd nibble and a
    // non-hex token; noise; a reply cut short by the next one; a reply with
    // a bad checksum.
    const std::string text =
        "05 01 00 05 3D\n"
        "0x3E 09 01 00 07 31 06 07 0 08 09 ZZ\n"
        "AA\n"
        "3E 09 01 00\n"
        "3E 09 01 00 07 31 06 07 08 09\n"
        "3E 09 01 00 07 31 06 07 08 0A\n";
    const std::string path = writeTemp("damaged.hex", text);
    const RunResult r = decode({"--json", "--file", path});
    std::remove(path.c_str());
    EXPECT_EQ(r.exitCode, 1) << "damage is not success";
    std::vector<std::string> seen;
    for (const json& j : jsonLines(r.out)) {
        seen.push_back(j.contains("message") ? "message: " + j["message"].get<std::string>()
                                             : j["kind"].get<std::string>() + " " + j["bytes"].get<std::string>());
    }
    const std::vector<std::string> expected = {
        "command 05 01 00 05 3D",
        "message: line 2: '0' has an odd number of hex digits, skipped",
        "message: line 2: 'ZZ' is not hex, skipped",
        "reply 3E 09 01 00 07 31 06 07 08 09",
        "noise AA",
        "cut frame 3E 09 01 00",
        "reply 3E 09 01 00 07 31 06 07 08 09",
        "reply 3E 09 01 00 07 31 06 07 08 0A",
    };
    EXPECT_EQ(seen, expected) << r.out;
    const std::vector<json> lines = jsonLines(r.out);
    const json& bad = lines.back();
    EXPECT_EQ(bad["checksum"]["ok"], false);
    EXPECT_EQ(bad["checksum"]["received"], "07 31");
    EXPECT_EQ(bad["checksum"]["computed"], "04 31");
    EXPECT_EQ(bad["status"], -3);
}

TEST(ToolsDecode, ShowsTheModelViewAndDeviceErrors) {
    // Reply code 1 with payload 06 07 08 09 0A 0B read as model 2, then
    // device error 249; bytes given on the command line.
    const RunResult r = decode({"--model", "2", "--json", "3E 0B 01 00 0E 3B 06 07 08 09 0A 0B", "3E 05 F9 00 05 C7"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::vector<json> lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 2U) << r.out;
    EXPECT_EQ(lines[0]["status"], 1);
    EXPECT_EQ(lines[0]["buffer"], json::parse(R"([{"at": 0, "bytes": [6, 0, 7, 0, 8, 9, 10, 11]}])"));
    EXPECT_EQ(lines[0]["record"]["code1Word2"], 0x0908);
    EXPECT_EQ(lines[1]["device_error_code"], 249);
    EXPECT_EQ(lines[1]["status"], -10);
    EXPECT_EQ(lines[1]["status_name"], "device-error");
    EXPECT_FALSE(lines[1].contains("record"));

    const RunResult text = decode({"--model", "2", "3E 05 F9 00 05 C7"});
    EXPECT_NE(text.out.find("device error code 249: the library returns -10 (device-error)"), std::string::npos)
        << text.out;
}

TEST(ToolsDecode, ALineLongerThanItsReadPieceLosesNoByte) {
    // Pieces of 4,096 characters: frames, bytes and a time stamp cross their
    // ends; the line's time and direction stay with all of it.
    std::string line = "12:00:00.000 device";
    const std::string reply = " 3E 06 01 00 06 3F 00";
    for (int run : {1365, 1, 2000, 7}) {
        for (int i = 0; i < run; ++i) line += " FF";
        line += reply;
    }
    const std::string path = writeTemp("long.hex", line + "\n09 03 00 1B 5D 34 12 56 00\n");
    const RunResult r = decode({"--json", "--file", path});
    std::remove(path.c_str());
    std::size_t replies = 0;
    std::size_t bytes = 0;
    for (const json& j : jsonLines(r.out)) {
        if (j.contains("bytes")) bytes += (j["bytes"].get<std::string>().size() + 1) / 3;
        if (j.value("kind", "") == "reply") {
            ++replies;
            EXPECT_EQ(j["direction"], "device");
            EXPECT_EQ(j["time"], "12:00:00.000");
        }
        EXPECT_FALSE(j.contains("message")) << j.dump();
    }
    EXPECT_EQ(replies, 4U) << r.out;
    EXPECT_EQ(bytes, 1365U + 1 + 2000 + 7 + 4 * 7 + 9) << r.out;
}

// A command and its reply as the two ends of a real socat -x session: the
// "host" end writes the command and reads until the line closes, the
// "device" end reads the command and answers it.
constexpr const char* kSocatHost = "printf '\\005\\001\\000\\005\\075'; cat >/dev/null\n";
constexpr const char* kSocatDevice =
    "head -c 5 >/dev/null\n"
    "printf '\\076\\027\\001\\000\\020\\071\\006\\007\\010\\011\\012\\013\\014\\015\\016\\017"
    "\\020\\021\\022\\023\\024\\025\\026\\027'\n";

bool haveSocat() { return run({"/bin/sh", "-c", "command -v socat"}).exitCode == 0; }

TEST(ToolsDecode, ReadsARealSocatHexDump) {
    if (!haveSocat()) GTEST_SKIP() << "socat is not installed (scripts/install-deps base installs it)";
    const std::string host = writeTemp("socat-host.sh", kSocatHost);
    const std::string device = writeTemp("socat-device.sh", kSocatDevice);
    const RunResult session =
        run({"/usr/bin/env", "socat", "-x", "EXEC:/bin/sh " + host, "EXEC:/bin/sh " + device}, 60000);
    std::remove(host.c_str());
    std::remove(device.c_str());
    ASSERT_EQ(session.exitCode, 0) << session.err;
    // "> 2026/12/10 15:23:46.000831241  length=5 from=0 to=4" then the bytes.
    static const std::regex header(R"(([<>]) \d{4}/\d\d/\d\d (\d\d:\d\d:\d\d\.\d{3})\d*  length=(\d+) .*)");
    std::vector<std::string> times;
    std::istringstream lines(session.err);
    for (std::string text; std::getline(lines, text);) {
        std::smatch m;
        if (std::regex_match(text, m, header)) times.push_back(m[2].str());
    }
    ASSERT_EQ(times.size(), 2U) << session.err;

    const std::string log = writeTemp("socat.log", session.err);
    const RunResult r = decode({"--json", "--file", log});
    std::remove(log.c_str());
    EXPECT_EQ(r.exitCode, 0) << r.out << session.err;
    const std::vector<json> frames = jsonLines(r.out);
    ASSERT_EQ(frames.size(), 2U) << r.out << session.err;
    EXPECT_EQ(frames[0]["kind"], "command");
    EXPECT_EQ(frames[0]["bytes"], "05 01 00 05 3D");
    EXPECT_EQ(frames[0]["time"], times[0]);
    EXPECT_EQ(frames[1]["kind"], "reply");
    EXPECT_EQ(frames[1]["bytes"], "3E 17 01 00 10 39 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17");
    EXPECT_EQ(frames[1]["time"], times[1]);
}

TEST(ToolsDecode, ReadsTheLogFormsOfOtherTools) {
    // interceptty is not packaged for Debian: these lines follow its output
    // form, one byte per line with its side and its printable form.
    std::string interceptty;
    for (const char* b : {"0x05\t(^E)", "0x01\t(^A)", "0x00\t(^@)", "0x05\t(^E)", "0x3d\t(=)"}) {
        interceptty += std::string(">\t") + b + "\n";
    }
    for (const char* b : {"0x3e\t(>)", "0x05\t(^E)", "0x01\t(^A)", "0x00\t(^@)", "0x05\t(^E)", "0x3f\t(?)"}) {
        interceptty += std::string("<\t") + b + "\n";
    }
    struct Case {
        const char* name;
        std::string text;
        const char* time;  // of the first frame, "" for none
    };
    const Case cases[] = {
        {"minutes", "15:23 05 01 00 05 3D\n15:23 3E 05 01 00 05 3F\n", "15:23:00.000"},
        {"dated", "2026-12-10 15:23:46.000 host 05 01 00 05 3D\n2026-12-10 15:23:46.004 device 3E 05 01 00 05 3F\n",
         "15:23:46.000"},
        {"interceptty", interceptty, ""},
    };
    for (const Case& c : cases) {
        const std::string path = writeTemp("forms.hex", c.text);
        const RunResult r = decode({"--json", "--file", path});
        std::remove(path.c_str());
        EXPECT_EQ(r.exitCode, 0) << c.name << "\n" << r.out;
        const std::vector<json> frames = jsonLines(r.out);
        ASSERT_EQ(frames.size(), 2U) << c.name << "\n" << r.out;
        EXPECT_EQ(frames[0]["kind"], "command") << c.name;
        EXPECT_EQ(frames[0]["bytes"], "05 01 00 05 3D") << c.name;
        EXPECT_EQ(frames[1]["kind"], "reply") << c.name;
        EXPECT_EQ(frames[1]["bytes"], "3E 05 01 00 05 3F") << c.name;
        EXPECT_EQ(frames[0].value("time", ""), c.time) << c.name;
    }
}

TEST(ToolsDecode, RefusesATimeOutOfRangeNamingItsLine) {
    const std::string path = writeTemp("range.hex", "05 01 00 05 3D\n25:61:99.1 05 01 00 05 3D\n");
    const RunResult bad = decode({"--file", path});
    std::remove(path.c_str());
    EXPECT_EQ(bad.exitCode, 1) << bad.out;
    EXPECT_NE(bad.out.find("!! line 2: time '25:61:99.1' is out of range (hours are 0..23), skipped"),
              std::string::npos)
        << bad.out;
    // The time was not taken: no frame carries a made-up one.
    EXPECT_EQ(bad.out.find("02:02:39"), std::string::npos) << bad.out;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(ToolsDecode, StreamsItsInputInBoundedMemory) {
    // The sanitizers reserve more address space than the limit allows.
    if (kSanitized) GTEST_SKIP() << "an address-space limit cannot hold a sanitizer runtime";
    // 6 MB of input in 2,000,000 lines under a 150 MB address-space limit:
    // held whole, its lines alone took 240 MB. The frames of its end still
    // come out.
    const std::string script = std::string("ulimit -v 150000; yes 'FF 00 01' | head -n 2000000 | ") + KAVROL_CLI_PATH +
                               " decode --json; echo 3E 06 01 00 07 38 00 | " + KAVROL_CLI_PATH + " decode --json";
    const RunResult r = run({"/bin/sh", "-c", script}, 110000);
    const std::vector<json> frames = jsonLines(r.out);
    ASSERT_GE(frames.size(), 2U) << r.err;
    // The noise comes out in bounded runs, every byte once.
    std::size_t bytes = 0;
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        ASSERT_EQ(frames[i]["kind"], "noise") << frames[i].dump();
        bytes += (frames[i]["bytes"].get<std::string>().size() + 1) / 3;
    }
    EXPECT_EQ(bytes, 6'000'000U) << r.err;
    EXPECT_EQ(frames.back()["kind"], "reply") << r.err;
}

TEST(ToolsDecode, WorkIsLinearOnALongLineOfNoFrames) {
    // 32,000 bytes on one line that form no frame, in patterns that make
    // every position look like the start of one kind of frame or another.
    // Quadratic work took 143 s for this; linear work takes milliseconds,
    // so a bound of 30 s holds on any machine.
    std::vector<std::vector<std::string>> patterns = {{"FF"}, {"3E"}, {"24"}, {"05"}, {"3E", "05"}, {"24", "09"}};
    std::vector<std::string> scattered;
    std::uint32_t x = 12345;
    for (int i = 0; i < 997; ++i) {
        x = x * 1103515245U + 12345U;
        scattered.push_back(hexByte(static_cast<std::uint8_t>(x >> 24)));
    }
    patterns.push_back(scattered);
    for (const auto& pattern : patterns) {
        std::string line;
        for (std::size_t i = 0; i < 32000; ++i) line += pattern[i % pattern.size()] + " ";
        const std::string path = writeTemp("flat.hex", line + "\n");
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = decode({"--json", "--file", path});
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::remove(path.c_str());
        ASSERT_NE(r.exitCode, -1) << pattern[0] << ": killed";
        EXPECT_LT(seconds, 30.0) << pattern[0];
        std::size_t bytes = 0;
        for (const json& j : jsonLines(r.out)) {
            if (j.contains("bytes")) bytes += (j["bytes"].get<std::string>().size() + 1) / 3;
        }
        EXPECT_EQ(bytes, 32000U) << pattern[0];
    }
}

TEST(ToolsDecode, DecodesAnEndlessInputAsItArrives) {
    // Frames come out while the input goes on; once three are read the
    // reader stops and the decoder ends with the pipe. A decoder that reads
    // everything first never prints and is stopped by timeout(1).
    const std::string script =
        std::string("yes '3E 06 01 00 06 3F 00' | timeout 60 ") + KAVROL_CLI_PATH + " decode --json | head -n 3";
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = run({"/bin/sh", "-c", script}, 90000);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::vector<json> frames = jsonLines(r.out);
    ASSERT_EQ(frames.size(), 3U) << r.out << r.err;
    for (const json& j : frames) EXPECT_EQ(j["kind"], "reply");
    EXPECT_LT(seconds, 55.0);
}

}  // namespace
}  // namespace kavrol::tools::test
