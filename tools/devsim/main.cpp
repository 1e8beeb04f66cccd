// kavrol-devsim: a field-device simulator on a pseudo-terminal or a tty.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "common/exit_codes.h"
#include "common/line_options.h"
#include "common/number_list.h"
#include "common/number_option.h"
#include "common/serial_port.h"
#include "common/version_flag.h"
#include "link-file/link_file.h"
#include "pty/pty_pair.h"
#include "simulator/builtin_scenarios.h"
#include "simulator/simulator.h"

namespace {

using namespace kavrol::tools;

struct DevsimOptions {
    std::string tty;
    LineSettings line;
    bool shared = false;
    std::string linkPath;
    std::string scenarioName{kDefaultScenario};
    std::vector<std::string> routes;
    std::vector<std::string> faultTexts;
    std::uint64_t seed = 1;
    unsigned frameGapMs = 100;
    std::uint32_t clientTimeoutMs = 1000;
    std::string faultLogPath;
    bool lineTime = false;
    bool quiet = false;
    bool list = false;
    std::string dump;
};

void addOptions(CLI::App& app, DevsimOptions& o) {
    app.add_option("--tty", o.tty, "serve this existing serial device instead of a new pseudo-terminal")
        ->check(portPath());
    addLineOptions(app, o.line, " with --tty");
    app.add_flag("--shared", o.shared, "with --tty: do not lock the device for exclusive use");
    app.add_option("--link", o.linkPath,
                   "make this path a symbolic link to the pseudo-terminal (a restarted simulator keeps the path)");
    app.add_option("--scenario", o.scenarioName, "built-in scenario name (see --list-scenarios) or a JSON file")
        ->capture_default_str();
    app.add_option("--route", o.routes,
                   "serve this multiplexer route, e.g. 1,5 (repeatable; replaces the scenario's routes)");
    app.add_option("--fault", o.faultTexts,
                   "inject a fault into every reply: KIND[:PROBABILITY[:VALUE]], KIND one of delay, no-reply, "
                   "truncate, bad-checksum, device-error, noise, oversize (repeatable)");
    app.add_option("--seed", o.seed, "seed of the fault decisions")
        ->transform(numberUpTo(std::numeric_limits<std::uint64_t>::max()))
        ->capture_default_str();
    app.add_option("--fault-log", o.faultLogPath,
                   "write one JSON line per command (faults applied, bytes sent, the status a client must see) "
                   "and per dropped run of bytes");
    app.add_option("--client-timeout", o.clientTimeoutMs,
                   "the client's time-out in ms: the fault log expects a time-out for a reply delayed this long")
        ->transform(numberUpTo(3600000))
        ->capture_default_str();
    app.add_option("--frame-gap", o.frameGapMs, "ms of silence after which a partial frame is dropped")
        ->transform(numberIn(1, 60000))
        ->capture_default_str();
    app.add_flag("--line-time", o.lineTime,
                 "send each reply byte when it would have crossed a real line at --baud (with --data, --parity, "
                 "--stop): a 24-byte reply takes 25 ms at 9600 8N1");
    app.add_flag("--quiet", o.quiet, "no frame log on standard error");
    app.add_flag("--list-scenarios", o.list, "list the built-in scenarios and exit");
    app.add_option("--dump-scenario", o.dump, "print a scenario as JSON (a template for files) and exit");
}

Scenario loadScenario(const std::string& nameOrPath) {
    if (auto builtin = builtinScenario(nameOrPath)) return *builtin;
    std::error_code ec;
    if (!std::filesystem::exists(nameOrPath, ec)) {
        throw ScenarioError("unknown scenario '" + nameOrPath + "' (see --list-scenarios), and no such file");
    }
    return scenarioFromFile(nameOrPath);
}

Bytes routeOption(const std::string& text) {
    std::string error;
    const auto route = parseRoute(text, &error);
    if (!route) throw CLI::ValidationError("--route", error);
    return *route;
}

// The scenario with the command line's routes and faults. Throws
// ScenarioError and CLI::ValidationError.
Scenario scenarioOf(const DevsimOptions& o) {
    Scenario s = loadScenario(o.scenarioName);
    if (!o.routes.empty()) {
        s.routes.clear();
        for (const std::string& r : o.routes) s.routes.push_back(routeOption(r));
    }
    for (const std::string& f : o.faultTexts) s.faults.push_back(parseFaultText(f));
    return s;
}

// Standard output that could not take everything (a full disk, /dev/full)
// is a failure, not a short listing.
int flushedStdout() {
    std::cout.flush();
    if (std::cout) return kExitOk;
    std::cerr << "kavrol-devsim: cannot write standard output: " << std::strerror(errno) << "\n";
    return kExitFailed;
}

int listScenarios() {
    for (const BuiltinInfo& b : builtinScenarios()) std::cout << b.name << "\n    " << b.description << "\n";
    return flushedStdout();
}

int usageError(const std::string& why) {
    std::cerr << "kavrol-devsim: " << why << "\n";
    return kExitUsage;
}

Simulator* g_simulator = nullptr;

extern "C" void onSignal(int) {
    if (g_simulator != nullptr) g_simulator->stop();
}

// Opens the line, prints the path a client opens, serves until a signal.
int serve(const DevsimOptions& o, SimulatorConfig config) {
    std::unique_ptr<kavrol::pty::PtyPair> pty;
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<LinkFile> link;
    try {
        if (o.tty.empty()) {
            pty = std::make_unique<kavrol::pty::PtyPair>();
        } else {
            port = SerialPort::open(o.tty, o.line, !o.shared);
        }
    } catch (const std::exception& e) {
        std::cerr << "kavrol-devsim: " << e.what() << "\n";
        return kExitPort;
    }
    try {
        if (pty && !o.linkPath.empty()) link = std::make_unique<LinkFile>(o.linkPath, pty->portPath());
    } catch (const std::exception& e) {
        return usageError(e.what());
    }
    Simulator simulator(std::move(config));
    g_simulator = &simulator;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    // The one line a client (or a test) waits for.
    if (pty) std::cout << (link ? o.linkPath : pty->portPath()) << std::endl;
    if (!o.quiet) {
        std::cerr << "kavrol-devsim: scenario " << o.scenarioName << ", serving "
                  << (pty ? pty->portPath() + " (pseudo-terminal" + (link ? ", linked from " + o.linkPath : "") + ")"
                          : o.tty + " (" + describeLine(o.line) + ")")
                  << "\n";
    }
    const int rc = simulator.serve(pty ? pty->device() : port->fd());
    g_simulator = nullptr;
    if (rc != 0) std::cerr << "kavrol-devsim: " << simulator.failure() << "\n";
    return rc == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "kavrol-devsim: simulates field devices on a serial line. By default it creates a pseudo-terminal, "
        "prints the path a client opens as one line on standard output, and serves it until interrupted."};
    DevsimOptions o;
    addOptions(app, o);
    addVersionFlag(app, "kavrol-devsim");

    SimulatorConfig config;
    try {
        app.parse(argc, argv);
        if (o.list) return listScenarios();
        if (!o.dump.empty()) {
            std::cout << scenarioToJson(loadScenario(o.dump)).dump(2) << "\n";
            return flushedStdout();
        }
        config.scenario = scenarioOf(o);
    } catch (const CLI::Success& e) {
        return answerHelpOrVersion(app, e);
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    } catch (const ScenarioError& e) {
        return usageError(e.what());
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> faultLog(nullptr, &std::fclose);
    if (!o.faultLogPath.empty()) {
        faultLog.reset(std::fopen(o.faultLogPath.c_str(), "w"));
        if (!faultLog) {
            std::cerr << "kavrol-devsim: cannot write " << o.faultLogPath << ": " << std::strerror(errno) << "\n";
            return kExitFailed;
        }
    }
    config.seed = o.seed;
    config.frameGapMs = o.frameGapMs;
    config.clientTimeoutMs = o.clientTimeoutMs;
    config.log = o.quiet ? nullptr : stderr;
    config.faultLog = faultLog.get();
    config.faultLogName = o.faultLogPath.c_str();
    if (o.lineTime) config.byteTimeUs = characterTimeUs(o.line.baud, o.line.dataBits, o.line.parity, o.line.stopBits);
    try {
        return serve(o, std::move(config));
    } catch (const std::exception& e) {
        std::cerr << "kavrol-devsim: " << e.what() << "\n";
        return kExitFailed;
    }
}
