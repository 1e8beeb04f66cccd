#include "cli/demo_tour.h"

#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/options.h"
#include "cli/report.h"
#include "cli/transaction.h"
#include "common/serial_port.h"
#include "protocol/frame.h"
#include "pty/pty_pair.h"
#include "simulator/builtin_scenarios.h"
#include "simulator/simulator.h"

namespace kavrol::cli {

namespace {

struct FieldExpectation {
    const char* name;
    std::vector<std::uint32_t> values;
};

struct BufferExpectation {
    std::size_t at;
    Bytes bytes;
};

struct Step {
    const char* title;
    const char* explanation;
    HostCommand request;
    std::uint32_t timeoutMs;
    std::int32_t status;
    int replyCode;  // -1: no valid reply expected
    std::vector<FieldExpectation> fields;
    std::vector<BufferExpectation> buffer;
    bool nothingWritten;
};

HostCommand direct(std::uint32_t model, std::uint8_t command) {
    HostCommand r;
    r.model = model;
    r.command = command;
    return r;
}

HostCommand viaMultiplexer(std::uint32_t model, std::uint8_t command) {
    HostCommand r = direct(model, command);
    r.muxMode = 1;
    r.setRoute(Bytes{1, 5});
    return r;
}

constexpr std::uint32_t kReplyTimeoutMs = 2000;
constexpr std::uint32_t kSilenceTimeoutMs = 300;

// The values are worked out by hand from the payloads of the "demo"
// scenario and the layout tables of each model.
std::vector<Step> tourSteps() {
    return {
        {"Four measurements from a model 2 device, direct frame",
         "A direct frame goes to the device on the line. It is sent without its start byte '<' (3C),\n"
         "but its two checksum bytes count it. The reply (reply code 1) carries 2A 07 E8 03 10 27:\n"
         "model 2 widens the first two bytes to 16 bits and keeps the next two pairs, low byte first.",
         direct(2, 1),
         kReplyTimeoutMs,
         1,
         1,
         {{"code1Word0", {42}},
          {"code1Word1", {7}},
          {"code1Word2", {1000}},
          {"code1Word3", {10000}},
          {"code1Word4", {0}}},
         {{0, {0x2A, 0x00, 0x07, 0x00, 0xE8, 0x03, 0x10, 0x27}}},
         false},
        {"Eight input bits from the same device",
         "Reply code 2 carries the byte A5 and a flag byte 01. The layout spreads the eight bits of A5\n"
         "over eight 16-bit values and turns the flag into 0 or 1.",
         direct(2, 2),
         kReplyTimeoutMs,
         1,
         2,
         {{"code2Word0", {1}}, {"code2Bits", {1, 0, 1, 0, 0, 1, 0, 1}}},
         {},
         false},
        {"Fifteen settings from a model 23 device behind the multiplexer",
         "A multiplexed frame wraps the command in an envelope ('$' = 24) with a one-byte checksum and\n"
         "the route 1,5 that the multiplexer follows. Reply code 6: the last value arrives high byte\n"
         "first (12 34), so the layout swaps it into 0x1234.",
         viaMultiplexer(23, 6),
         kReplyTimeoutMs,
         1,
         6,
         {{"code6Word0", {1}},
          {"code6Word1", {2}},
          {"code6Pair0", {13, 29}},
          {"code6Pair1", {14, 30}},
          {"code6Pair2", {10000, 20000}},
          {"code6Pair3", {12, 28}},
          {"code6Pair4", {11, 27}},
          {"code6Pair5", {10, 26}},
          {"code6Word2", {0x1234}}},
         {},
         false},
        {"A status block from a model 4 device behind the multiplexer",
         "Reply code 3 of model 4 copies status bytes and sets bit 1 wherever bit 0 is set in the\n"
         "first nine (01 becomes 03, 81 becomes 83), and packs four bits of two bytes into one.",
         viaMultiplexer(4, 3),
         kReplyTimeoutMs,
         1,
         3,
         {{"code3Bytes", {3, 2, 131, 0, 7, 6, 7, 8, 11, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 15, 66, 0, 0, 0}},
          {"code3QuadA", {0, 0, 0, 0}}},
         {{64, {0x03, 0x02, 0x83, 0x00, 0x07, 0x06, 0x07, 0x08, 0x0B}}},
         false},
        {"The same measurements read as model 19",
         "Models 1 and 19 have no normalization: the library leaves the caller's buffer alone, and\n"
         "the record takes whatever the buffer held before (zeros here), not the reply's 42.",
         direct(19, 1),
         kReplyTimeoutMs,
         1,
         1,
         {{"code1Word0", {0}}, {"code1Word2", {0}}},
         {},
         true},
        {"Free text from a model 0 device",
         "Reply code 9 hands the whole payload over as it came, followed by one zero byte.",
         direct(0, 9),
         kReplyTimeoutMs,
         1,
         9,
         {},
         {{0, {'H', 'e', 'l', 'l', 'o', 0}}},
         false},
        {"A reply code that no model has a layout for",
         "Reply code 4 is valid (status 1), but nothing is normalized or recorded.",
         direct(2, 4),
         kReplyTimeoutMs,
         1,
         4,
         {},
         {},
         true},
        {"The device answers with an error code",
         "Reply codes 247 to 255 are device errors; the library reports code c as c - 259.",
         direct(2, 20),
         kReplyTimeoutMs,
         protocol::deviceErrorResult(250),
         -1,
         {},
         {},
         true},
        {"A reply damaged on the line",
         "The simulator breaks the checksum of this reply. The library rejects the frame: -3.",
         direct(2, 21),
         kReplyTimeoutMs,
         protocol::kFrameError,
         -1,
         {},
         {},
         true},
        {"The device stays silent",
         "No reply comes: after its time-out (300 ms here) the library gives up with -2.",
         direct(2, 22),
         kSilenceTimeoutMs,
         protocol::kTimeout,
         -1,
         {},
         {},
         true},
    };
}

std::string valuesText(const std::vector<std::uint32_t>& v) {
    std::ostringstream s;
    for (std::size_t i = 0; i < v.size(); ++i) s << (i == 0 ? "" : ", ") << v[i];
    return v.size() == 1 ? s.str() : "[" + s.str() + "]";
}

// Every difference between what the step expects and what came back.
std::vector<std::string> differences(const Step& step, const Outcome& o) {
    std::vector<std::string> out;
    if (o.status != step.status) {
        out.push_back("status " + std::to_string(o.status) + ", expected " + std::to_string(step.status));
        return out;
    }
    if (replyCodeOf(o) != step.replyCode) {
        out.push_back("reply code " + std::to_string(replyCodeOf(o)) + ", expected " + std::to_string(step.replyCode));
    }
    const std::vector<FieldValue> fields = recordFields(o);
    for (const FieldExpectation& e : step.fields) {
        const FieldValue* got = nullptr;
        for (const FieldValue& f : fields) got = f.name == e.name ? &f : got;
        if (got == nullptr) {
            out.push_back(std::string(e.name) + " not filled");
        } else if (got->values != e.values) {
            out.push_back(std::string(e.name) + " = " + valuesText(got->values) + ", expected " + valuesText(e.values));
        }
    }
    for (const BufferExpectation& e : step.buffer) {
        for (std::size_t i = 0; i < e.bytes.size(); ++i) {
            const std::size_t k = e.at + i;
            if (!o.written[k] || o.buffer[k] != e.bytes[i]) {
                out.push_back("buffer position " + std::to_string(k) + " should hold " + tools::hexByte(e.bytes[i]));
            }
        }
    }
    if (step.nothingWritten && o.writtenCount() != 0) out.push_back("the buffer should not have been written");
    if (step.status != 1) {
        const ReplyRecord zero{};
        if (std::memcmp(&zero, &o.record, sizeof zero) != 0) out.push_back("the record should not have been written");
    }
    return out;
}

}  // namespace

int runDemo(const DemoOptions& options) {
    pty::PtyPair pty;
    tools::SimulatorConfig config;
    config.scenario = *tools::builtinScenario(tools::kDemoScenario);
    config.log = options.showSimulator ? stderr : nullptr;
    tools::Simulator simulator(std::move(config));
    std::thread device([&] { simulator.serve(pty.device()); });
    struct StopOnExit {
        tools::Simulator& s;
        std::thread& t;
        ~StopOnExit() {
            s.stop();
            t.join();
        }
    } stopOnExit{simulator, device};

    std::unique_ptr<tools::SerialPort> port;
    try {
        port = tools::SerialPort::open(pty.portPath(), tools::LineSettings{});
    } catch (const tools::PortError& e) {
        std::cerr << "kavrol demo: " << e.what() << "\n";
        return kExitPort;
    }

    std::cout << "Kavrol32 demonstration: a tour of transactions with simulated field devices.\n"
                 "The simulator plays the devices on the pseudo-terminal "
              << pty.portPath()
              << ";\n"
                 "this program talks to them through the library's interface, as an application would:\n"
                 "MuxSendComm sends a command frame, MuxReceiveComm reads the reply, checks it, and re-lays\n"
                 "its payload for the device's model into a 317-byte buffer and a fixed record.\n"
                 "Status 1 means success; negative values are failures.\n";

    const std::vector<Step> steps = tourSteps();
    unsigned passed = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        std::cout << "\n[" << i + 1 << "/" << steps.size() << "] " << step.title << "\n";
        std::istringstream lines(step.explanation);
        for (std::string line; std::getline(lines, line);) std::cout << "      " << line << "\n";
        const Outcome out = Line(port->fd(), step.timeoutMs).transact(step.request);
        printOutcome(std::cout, step.request, out, "      ");
        const std::vector<std::string> diff = differences(step, out);
        if (diff.empty()) {
            ++passed;
            std::cout << "      result    as expected\n";
        } else {
            for (const std::string& d : diff) std::cout << "      result    NOT AS EXPECTED: " << d << "\n";
        }
    }
    std::cout << "\n" << passed << " of " << steps.size() << " steps gave the expected result.\n";
    return passed == steps.size() ? kExitOk : kExitFailed;
}

}  // namespace kavrol::cli
