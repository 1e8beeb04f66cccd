// kavrol: the command-line client of the Kavrol32 library.
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/demo_tour.h"
#include "cli/options.h"
#include "cli/ports_command.h"
#include "cli/query_command.h"

int main(int argc, char** argv) {
    using namespace kavrol::cli;
    CLI::App app{"kavrol: talks to field devices through the Kavrol32 library"};
    app.require_subcommand(1);

    bool portsJson = false;
    CLI::App* ports = app.add_subcommand("ports", "list the serial ports of this system");
    ports->add_flag("--json", portsJson, "print a JSON array");

    QueryOptions query;
    CLI::App* q = app.add_subcommand("query", "send one command and show its reply");
    addQueryOptions(*q, query);

    DemoOptions demo;
    CLI::App* d = app.add_subcommand("demo", "a tour of transactions against the built-in device simulator");
    d->add_flag("--show-simulator", demo.showSimulator, "show the simulator's frame log on standard error");

    Request request;
    try {
        const std::string first = argc > 1 ? argv[1] : "";
        if (!first.empty() && first[0] != '-' && first != ports->get_name() && first != q->get_name() &&
            first != d->get_name()) {
            std::cerr << "kavrol: unknown subcommand '" << argv[1] << "' (ports, query or demo; see kavrol --help)\n";
            return kExitUsage;
        }
        app.parse(argc, argv);
        if (q->parsed()) request = buildRequest(query);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::cerr << "kavrol: " << e.what() << " (see kavrol --help)\n";
        return kExitUsage;
    } catch (const UsageError& e) {
        std::cerr << "kavrol query: " << e.what() << "\n";
        return kExitUsage;
    }

    try {
        if (ports->parsed()) return runPorts(portsJson);
        if (q->parsed()) return runQuery(query, request);
        return runDemo(demo);
    } catch (const std::exception& e) {
        std::cerr << "kavrol: " << e.what() << "\n";
        return kExitFailed;
    }
}
