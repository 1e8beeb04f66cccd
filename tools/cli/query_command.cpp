#include "cli/query_command.h"

#include <csignal>
#include <iostream>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/options.h"
#include "cli/poll_output.h"
#include "cli/query_line.h"
#include "common/line_options.h"
#include "common/number_list.h"

namespace kavrol::cli {

namespace {

extern "C" void onQueryStopSignal(int) { interruptQuery(); }

std::vector<std::uint32_t> numbers(const std::string& text, std::uint32_t max, const char* option) {
    std::string error;
    auto values = tools::parseNumberList(text, max, &error);
    if (!values) throw UsageError(std::string(option) + ": " + error);
    return *values;
}

// "10s", "500ms", "2m", "1h" or plain seconds, rewritten as milliseconds.
CLI::Validator durationText() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            static constexpr std::pair<const char*, std::uint64_t> kUnits[] = {
                {"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", 3600000}, {"", 1000}};
            constexpr std::uint64_t kMaxMs = 366ULL * 24 * 3600000;
            for (const auto& [unit, factor] : kUnits) {
                const std::string_view u = unit;
                if (text.size() <= u.size() || text.compare(text.size() - u.size(), u.size(), u) != 0) continue;
                const std::string digits = text.substr(0, text.size() - u.size());
                std::string error;
                const auto value = tools::parseNumber(digits, kMaxMs / factor, &error);
                if (!value || digits.find_first_not_of("0123456789") != std::string::npos) break;
                if (*value == 0) return "a duration of 0 polls nothing";
                text = std::to_string(*value * factor);
                return {};
            }
            return "'" + text + "' is not a duration such as 10s, 500ms, 2m or 1h (at most 366 days)";
        },
        "DURATION");
}

void printSummary(PollOutput& out, const QueryOptions& o, const std::vector<LineRun>& runs) {
    PollStats all;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        all.merge(runs[i].stats);
        if (o.json) {
            nlohmann::json s = runs[i].stats.json();
            s["port"] = o.ports[i];
            out.write(nlohmann::json{{"summary", s}}.dump() + "\n");
        } else {
            out.write("summary  " + o.ports[i] + "  " + runs[i].stats.text() + "\n");
        }
    }
    if (runs.size() < 2) return;
    if (o.json) {
        nlohmann::json s = all.json();
        s["port"] = "all";
        out.write(nlohmann::json{{"summary", s}}.dump() + "\n");
    } else {
        out.write("summary  all ports  " + all.text() + "\n");
    }
}

}  // namespace

void addQueryOptions(CLI::App& q, QueryOptions& o) {
    q.add_option("--port", o.ports,
                 "serial port, e.g. /dev/ttyUSB0 or the path kavrol-devsim prints; more than once: the ports run "
                 "in parallel, one thread each")
        ->required()
        ->check(tools::portPath());
    tools::addLineOptions(q, o.line);
    addModelOption(q, o.model, " of the device (1 and 19: no normalization)")->required();
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
    q.add_option("--duration", o.durationMs,
                 "poll for this long, e.g. 10s, 500ms, 2m, 1h (with --repeat: whichever ends first)")
        ->transform(durationText());
    q.add_option("--interval", o.intervalMs, "pause in ms between repeated commands")
        ->transform(numberUpTo(3600000))
        ->capture_default_str();
    q.add_flag("--shared", o.shared, "do not lock the port for exclusive use");
    q.add_flag("--reopen", o.reopen, "when the port is lost, reopen it as soon as it is back and go on");
    q.add_option("--log", o.logPath, "append every output line to this file as well");
}

void completeQueryOptions(const CLI::App& q, QueryOptions& o) {
    if (o.durationMs != 0 && q.count("--repeat") == 0) o.repeat = 0;
}

HostCommand buildRequest(const QueryOptions& o) {
    HostCommand r;
    r.model = o.model;
    r.command = static_cast<std::uint8_t>(o.command);
    r.subCommand = static_cast<std::uint8_t>(o.subCommand);
    std::vector<std::uint16_t> words;
    for (std::uint32_t w : numbers(o.words, 0xFFFF, "--words")) words.push_back(static_cast<std::uint16_t>(w));
    std::string error;
    const auto raw = tools::parseHex(o.raw, &error);
    if (!raw) throw UsageError("--raw: " + error);
    Bytes route;
    for (std::uint32_t b : numbers(o.route, 255, "--route")) route.push_back(static_cast<std::uint8_t>(b));
    r.muxMode = o.mux || !route.empty() ? 1 : 0;
    // The route is judged before the payload.
    std::string why = r.setRoute(route);
    if (why.empty()) why = r.setPayload(words, *raw);
    if (why.empty()) why = checkCommand(r);
    if (!why.empty()) throw UsageError(why);
    for (std::size_t i = 0; i < o.ports.size(); ++i) {
        for (std::size_t k = 0; k < i; ++k) {
            if (o.ports[k] == o.ports[i]) throw UsageError("--port " + o.ports[i] + " is given twice");
        }
    }
    return r;
}

int runQuery(const QueryOptions& o, const HostCommand& r) {
    std::unique_ptr<PollOutput> out;
    try {
        out = std::make_unique<PollOutput>(o.logPath);
    } catch (const std::runtime_error& e) {
        std::cerr << "kavrol query: " << e.what() << "\n";
        return kExitUsage;
    }
    std::signal(SIGINT, onQueryStopSignal);
    std::signal(SIGTERM, onQueryStopSignal);

    std::vector<LineRun> runs(o.ports.size());
    if (o.ports.size() == 1) {
        runs[0] = runLine(o.ports[0], o, r, *out);
    } else {
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < o.ports.size(); ++i) {
            threads.emplace_back([&, i] { runs[i] = runLine(o.ports[i], o, r, *out); });
        }
        for (std::thread& t : threads) t.join();
    }
    if (isPolling(o)) printSummary(*out, o, runs);
    if (out->failed()) {
        std::cerr << "kavrol query: " << out->failure() << "\n";
        return kExitFailed;
    }

    bool allOk = true;
    for (const LineRun& run : runs) {
        if (run.portFailed) return kExitPort;
        allOk = allOk && run.stats.allOk();
    }
    return allOk ? kExitOk : kExitFailed;
}

}  // namespace kavrol::cli
