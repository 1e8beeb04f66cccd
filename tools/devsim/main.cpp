// kavrol-devsim: a field-device simulator on a pseudo-terminal or a tty.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "common/builtin_scenarios.h"
#include "common/number_list.h"
#include "common/number_option.h"
#include "common/pty_device.h"
#include "common/serial_port.h"
#include "common/simulator.h"

namespace {

using namespace kavrol::tools;

Simulator* g_simulator = nullptr;

extern "C" void onSignal(int) {
    if (g_simulator != nullptr) g_simulator->stop();
}

Scenario loadScenario(const std::string& nameOrPath) {
    if (auto builtin = builtinScenario(nameOrPath)) return *builtin;
    return scenarioFromFile(nameOrPath);
}

Bytes parseRoute(const std::string& text) {
    std::string error;
    const auto values = parseNumberList(text, 255, &error);
    if (!values) throw CLI::ValidationError("--route", error);
    if (values->size() > kMaxRoute) throw CLI::ValidationError("--route", "a route has at most 9 bytes");
    return Bytes(values->begin(), values->end());
}

int listScenarios() {
    for (const BuiltinInfo& b : builtinScenarios()) std::cout << b.name << "\n    " << b.description << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kavrol-devsim: simulates field devices on a serial line. By default it creates a pseudo-terminal, "
                 "prints the path a client opens as one line on standard output, and serves it until interrupted."};
    std::string tty;
    LineSettings line;
    std::string scenarioName(kDefaultScenario);
    std::vector<std::string> routes;
    std::vector<std::string> faultTexts;
    std::uint64_t seed = 1;
    unsigned frameGap = 100;
    std::string faultLogPath;
    bool quiet = false;
    bool list = false;
    std::string dump;

    app.add_option("--tty", tty, "serve this existing serial device instead of a new pseudo-terminal");
    app.add_option("--baud", line.baud, "baud rate with --tty")->transform(numberUpTo(4000000))->capture_default_str();
    app.add_option("--data", line.dataBits, "data bits with --tty")->check(CLI::Range(5, 8))->capture_default_str();
    app.add_option("--parity", line.parity, "parity with --tty: N, E or O")->check(CLI::IsMember({'N', 'E', 'O'}))->capture_default_str();
    app.add_option("--stop", line.stopBits, "stop bits with --tty")->check(CLI::IsMember({1U, 2U}))->capture_default_str();
    app.add_option("--scenario", scenarioName, "built-in scenario name (see --list-scenarios) or a JSON file")
        ->capture_default_str();
    app.add_option("--route", routes, "serve this multiplexer route, e.g. 1,5 (repeatable; replaces the scenario's routes)");
    app.add_option("--fault", faultTexts,
                   "inject a fault into every reply: KIND[:PROBABILITY[:VALUE]], KIND one of delay, no-reply, "
                   "truncate, bad-checksum, device-error, noise, oversize (repeatable)");
    app.add_option("--seed", seed, "seed of the fault decisions")->transform(numberUpTo(std::numeric_limits<std::uint64_t>::max()))->capture_default_str();
    app.add_option("--fault-log", faultLogPath,
                   "write one JSON line per command (faults applied, bytes sent, the status a client must see) "
                   "and per dropped run of bytes");
    app.add_option("--frame-gap", frameGap, "ms of silence after which a partial frame is dropped")
        ->transform(numberUpTo(60000))
        ->check(CLI::Range(1U, 60000U))
        ->capture_default_str();
    app.add_flag("--quiet", quiet, "no frame log on standard error");
    app.add_flag("--list-scenarios", list, "list the built-in scenarios and exit");
    app.add_option("--dump-scenario", dump, "print a scenario as JSON (a template for files) and exit");

    SimulatorConfig config;
    try {
        app.parse(argc, argv);
        if (list) return listScenarios();
        config.scenario = loadScenario(dump.empty() ? scenarioName : dump);
        if (!dump.empty()) {
            std::cout << scenarioToJson(config.scenario).dump(2) << "\n";
            return 0;
        }
        if (!routes.empty()) {
            config.scenario.routes.clear();
            for (const std::string& r : routes) config.scenario.routes.push_back(parseRoute(r));
        }
        for (const std::string& f : faultTexts) config.scenario.faults.push_back(parseFaultText(f));
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << "kavrol-devsim: " << e.what() << "\n";
        return 2;
    } catch (const ScenarioError& e) {
        std::cerr << "kavrol-devsim: " << e.what() << "\n";
        return 2;
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> faultLog(nullptr, &std::fclose);
    if (!faultLogPath.empty()) {
        faultLog.reset(std::fopen(faultLogPath.c_str(), "w"));
        if (!faultLog) {
            std::cerr << "kavrol-devsim: cannot write " << faultLogPath << "\n";
            return 1;
        }
    }
    config.seed = seed;
    config.frameGapMs = frameGap;
    config.log = quiet ? nullptr : stderr;
    config.faultLog = faultLog.get();

    try {
        std::unique_ptr<PtyDevice> pty;
        std::unique_ptr<SerialPort> port;
        int fd = -1;
        if (tty.empty()) {
            pty = std::make_unique<PtyDevice>();
            fd = pty->deviceFd();
        } else {
            port = SerialPort::open(tty, line);
            fd = port->fd();
        }
        Simulator simulator(std::move(config));
        g_simulator = &simulator;
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        // The one line a client (or a test) waits for.
        if (pty) std::cout << pty->clientPath() << std::endl;
        if (!quiet) {
            std::cerr << "kavrol-devsim: scenario " << scenarioName << ", serving "
                      << (pty ? pty->clientPath() + " (pseudo-terminal)" : tty + " (" + describeLine(line) + ")")
                      << "\n";
        }
        const int rc = simulator.serve(fd);
        g_simulator = nullptr;
        return rc;
    } catch (const std::exception& e) {
        std::cerr << "kavrol-devsim: " << e.what() << "\n";
        return 1;
    }
}
