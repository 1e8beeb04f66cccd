#include "cli/query_command.h"

#include <chrono>
#include <csignal>
#include <iostream>
#include <thread>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include "cli/options.h"
#include "cli/report.h"
#include "common/number_list.h"
#include "common/wire.h"

namespace kavrol::cli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void onInterrupt(int) { g_interrupted = 1; }

struct Counts {
    unsigned total = 0;
    unsigned ok = 0;
    unsigned timeout = 0;
    unsigned frame = 0;
    unsigned device = 0;

    void add(std::int32_t status) {
        ++total;
        const std::string name = statusName(status);
        if (name == "ok") ++ok;
        else if (name == "timeout") ++timeout;
        else if (name == "device-error") ++device;
        else ++frame;
    }
    std::string text() const {
        return std::to_string(total) + " sent: ok " + std::to_string(ok) + ", time-out " + std::to_string(timeout) +
               ", frame error " + std::to_string(frame) + ", device error " + std::to_string(device);
    }
};

std::vector<std::uint32_t> numbers(const std::string& text, std::uint32_t max, const char* option) {
    std::string error;
    auto values = tools::parseNumberList(text, max, &error);
    if (!values) throw UsageError(std::string(option) + ": " + error);
    return *values;
}

}  // namespace

void addQueryOptions(CLI::App& q, QueryOptions& o) {
    q.add_option("--port", o.port, "serial port, e.g. /dev/ttyUSB0 or the path kavrol-devsim prints")->required();
    q.add_option("--baud", o.line.baud, "baud rate")->transform(numberUpTo(4000000))->capture_default_str();
    q.add_option("--data", o.line.dataBits, "data bits")->check(CLI::Range(5U, 8U))->capture_default_str();
    q.add_option("--parity", o.line.parity, "parity: N, E or O")->check(CLI::IsMember({'N', 'E', 'O'}))->capture_default_str();
    q.add_option("--stop", o.line.stopBits, "stop bits")->check(CLI::IsMember({1U, 2U}))->capture_default_str();
    q.add_option("--model", o.model, "model code 0..24 of the device (1 and 19: no normalization)")
        ->required()
        ->transform(numberUpTo(24));
    q.add_option("--command", o.command, "command byte")->required()->transform(numberUpTo(255));
    q.add_option("--sub", o.subCommand, "sub-command byte")->transform(numberUpTo(255))->capture_default_str();
    auto* words = q.add_option("--words", o.words, "up to four 16-bit words, comma separated: w0,w1,...");
    auto* raw = q.add_option("--raw", o.raw, "raw payload bytes in hex, for commands 8 and 11");
    words->excludes(raw);
    q.add_option("--route", o.route, "multiplexer route r0,r1,... (at most 9 bytes): sends a multiplexed frame");
    q.add_flag("--mux", o.mux, "send a multiplexed frame even with an empty route");
    q.add_option("--timeout", o.timeoutMs, "time-out in ms for each wait of the library")
        ->transform(numberUpTo(3600000))
        ->capture_default_str();
    q.add_flag("--json", o.json, "print one JSON object per transaction");
    q.add_option("--repeat", o.repeat, "send the command N times (0: until interrupted)")
        ->transform(numberUpTo(100000000))
        ->capture_default_str();
    q.add_option("--interval", o.intervalMs, "pause in ms between repeated commands")
        ->transform(numberUpTo(3600000))
        ->capture_default_str();
}

Request buildRequest(const QueryOptions& o) {
    Request r;
    r.model = o.model;
    r.command = static_cast<std::uint8_t>(o.command);
    r.subCommand = static_cast<std::uint8_t>(o.subCommand);
    for (std::uint32_t w : numbers(o.words, 0xFFFF, "--words")) r.words.push_back(static_cast<std::uint16_t>(w));
    std::string error;
    const auto raw = tools::parseHex(o.raw, &error);
    if (!raw) throw UsageError("--raw: " + error);
    r.raw = *raw;
    for (std::uint32_t b : numbers(o.route, 255, "--route")) r.route.push_back(static_cast<std::uint8_t>(b));
    r.multiplexed = o.mux || !o.route.empty();
    if (const std::string why = checkRequest(r); !why.empty()) throw UsageError(why);
    return r;
}

int runQuery(const QueryOptions& o, const Request& r) {
    std::unique_ptr<tools::SerialPort> port;
    try {
        port = tools::SerialPort::open(o.port, o.line);
    } catch (const tools::PortError& e) {
        std::cerr << "kavrol query: " << e.what() << "\n";
        return kExitPort;
    }
    bindPort(port->fd(), o.timeoutMs);

    const bool single = o.repeat == 1;
    const bool live = !single && !o.json && ::isatty(STDOUT_FILENO) == 1;
    std::signal(SIGINT, onInterrupt);
    Counts counts;
    for (unsigned i = 0; (o.repeat == 0 || i < o.repeat) && g_interrupted == 0; ++i) {
        if (i != 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.intervalMs));
        const Outcome out = runTransaction(r);
        counts.add(out.status);
        if (o.json) {
            std::cout << outcomeJson(o.port, r, out).dump() << std::endl;
        } else if (single) {
            std::cout << "port      " << o.port << " (" << tools::describeLine(o.line) << ", time-out " << o.timeoutMs
                      << " ms, opened with " << port->via() << ")\n";
            printOutcome(std::cout, r, out);
        } else if (live) {
            std::cout << "\r\033[K" << counts.text() << std::flush;
        } else {
            const int code = replyCodeOf(out);
            std::cout << "#" << counts.total << "  status " << out.status << " " << statusName(out.status)
                      << (code >= 0 ? "  reply code " + std::to_string(code) : std::string()) << "\n";
        }
    }
    if (live) {
        std::cout << "\n";  // the live line stays as the summary
    } else if (!single) {
        if (o.json) {
            std::cout << nlohmann::json{{"summary", {{"sent", counts.total}, {"ok", counts.ok}, {"timeout", counts.timeout},
                                                     {"frame_error", counts.frame}, {"device_error", counts.device}}}}
                             .dump()
                      << std::endl;
        } else {
            std::cout << counts.text() << "\n";
        }
    }
    return counts.ok == counts.total ? kExitOk : kExitFailed;
}

}  // namespace kavrol::cli
