// kavrol: the command-line client of the Kavrol32 library.
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/decode_command.h"
#include "cli/demo_tour.h"
#include "cli/monitor_command.h"
#include "cli/options.h"
#include "cli/ports_command.h"
#include "cli/query_command.h"

int main(int argc, char** argv) {
    using namespace kavrol::cli;
    CLI::App app{"kavrol: talks to field devices through the Kavrol32 library"};
    app.require_subcommand(1);
    addVersionFlag(app, "kavrol");

    bool portsJson = false;
    CLI::App* ports = app.add_subcommand("ports", "list the serial ports of this system");
    ports->add_flag("--json", portsJson, "print a JSON array");

    QueryOptions query;
    CLI::App* q = app.add_subcommand("query", "send one command and show its reply");
    addQueryOptions(*q, query);

    DemoOptions demo;
    CLI::App* d = app.add_subcommand("demo", "a tour of transactions against the built-in device simulator");
    d->add_flag("--show-simulator", demo.showSimulator, "show the simulator's frame log on standard error");

    DecodeOptions decode;
    CLI::App* dec = app.add_subcommand("decode", "decode frames from hex bytes captured on a line");
    addDecodeOptions(*dec, decode);

    MonitorOptions monitor;
    CLI::App* mon = app.add_subcommand("monitor", "tap a live line: forward both ways and decode every frame");
    addMonitorOptions(*mon, monitor);

    // Messages start with "kavrol SUBCOMMAND:" once the subcommand is known,
    // and point to that subcommand's help.
    const auto who = [&]() -> std::string {
        for (const CLI::App* sub : app.get_subcommands({})) {
            if (sub->parsed()) return "kavrol " + sub->get_name();
        }
        return "kavrol";
    };
    const auto usage = [&](const std::string& what) {
        std::cerr << who() << ": " << what << " (see " << who() << " --help)\n";
        return kExitUsage;
    };

    HostCommand request;
    try {
        // CLI11 would take an unknown word as an extra argument; name it instead.
        const std::string first = argc > 1 ? argv[1] : "";
        bool known = false;
        for (const CLI::App* sub : app.get_subcommands({})) known = known || first == sub->get_name();
        if (!first.empty() && first[0] != '-' && !known) {
            std::cerr << "kavrol: unknown subcommand '" << first
                      << "' (ports, query, demo, decode or monitor; see kavrol --help)\n";
            return kExitUsage;
        }
        app.parse(argc, argv);
        if (q->parsed()) {
            completeQueryOptions(*q, query);
            request = buildRequest(query);
        }
        if (mon->parsed()) checkMonitorOptions(monitor);
    } catch (const CLI::Success& e) {
        return answerHelpOrVersion(app, e);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        // A missing option is checked before unknown ones are: name the
        // unknown one, the likelier mistake.
        for (const CLI::App* sub : app.get_subcommands({})) {
            if (!sub->parsed()) continue;
            for (const std::string& extra : sub->remaining()) {
                if (extra.rfind("-", 0) == 0) return usage("unknown option " + extra);
            }
        }
        return usage(e.what());
    } catch (const UsageError& e) {
        std::cerr << who() << ": " << e.what() << "\n";
        return kExitUsage;
    }

    try {
        if (ports->parsed()) return runPorts(portsJson);
        if (q->parsed()) return runQuery(query, request);
        if (dec->parsed()) return runDecode(decode);
        if (mon->parsed()) return runMonitor(monitor);
        return runDemo(demo);
    } catch (const std::exception& e) {
        std::cerr << who() << ": " << e.what() << "\n";
        return kExitFailed;
    }
}
