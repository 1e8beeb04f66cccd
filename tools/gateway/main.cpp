// kavrol-gateway: publishes every line's devices to an MQTT broker and takes
// commands back. kavrol-gateway --config FILE runs it; --check-config FILE
// checks the file and prints what it would do.
#include <atomic>
#include <csignal>
#include <iostream>
#include <thread>

#include <mosquitto.h>
#include <CLI/CLI.hpp>

#include "common/exit_codes.h"
#include "gateway/config.h"
#include "gateway/gateway.h"
#include "gateway/log.h"
#include "gateway/plan.h"

namespace {

using namespace kavrol::gateway;

// The stop budget from the signal to the exit.
constexpr long long kStopBudgetMs = 1900;

std::atomic<bool> g_stop{false};
std::atomic<long long> g_stopDeadlineMs{0};
const Wakeup* g_wakeup = nullptr;

extern "C" void onStopSignal(int) {
    if (!g_stop.exchange(true)) g_stopDeadlineMs = monotonicMs() + kStopBudgetMs;
    if (g_wakeup != nullptr) g_wakeup->notify();
}

// Ends the process at the deadline should the shutdown hang (a broker host
// that swallows the connect, say).
void startWatchdog() {
    std::thread([] {
        while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        while (monotonicMs() < g_stopDeadlineMs + 50) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        logEvent("shutdown did not finish by its deadline; exiting");
        std::_Exit(0);
    }).detach();
}

int runGateway(const GatewayConfig& config) {
    mosquitto_lib_init();
    int status = kavrol::tools::kExitFailed;
    try {
        Gateway gateway(config);
        g_wakeup = &gateway.wakeup();
        std::signal(SIGINT, onStopSignal);
        std::signal(SIGTERM, onStopSignal);
        startWatchdog();
        logEvent("gateway " + config.id + " starting, " + std::to_string(config.lines.size()) + " lines, broker " +
                 config.broker.host + ":" + std::to_string(config.broker.port));
        status = gateway.run(g_stop, g_stopDeadlineMs);
        g_wakeup = nullptr;
    } catch (const std::exception& e) {
        logEvent(std::string("fatal: ") + e.what());
    }
    mosquitto_lib_cleanup();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kavrol-gateway: publishes the devices of serial lines to an MQTT broker and takes commands back"};
    std::string configPath;
    std::string checkPath;
    auto* run = app.add_option("--config", configPath, "run with this TOML configuration");
    auto* check = app.add_option("--check-config", checkPath, "check this configuration, print the plan and exit");
    run->excludes(check);
    app.require_option(1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return e.get_exit_code() == 0 ? app.exit(e) : (app.exit(e), kavrol::tools::kExitUsage);
    }
    const std::string& path = checkPath.empty() ? configPath : checkPath;
    GatewayConfig config;
    try {
        config = loadConfig(path);
    } catch (const ConfigError& e) {
        std::cerr << e.what() << "\n";
        return kavrol::tools::kExitUsage;
    }
    if (!checkPath.empty()) {
        printPlan(std::cout, config);
        return kavrol::tools::kExitOk;
    }
    return runGateway(config);
}
