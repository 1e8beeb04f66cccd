// kavrol query: one command and its reply, or a polling run of them, on
// one port or on several in parallel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/transaction.h"
#include "common/serial_port.h"

namespace kavrol::cli {

struct QueryOptions {
    std::vector<std::string> ports;
    tools::LineSettings line;
    std::uint32_t model = 0;
    unsigned command = 0;
    unsigned subCommand = 0;
    std::string words;
    std::string raw;
    std::string route;
    bool mux = false;
    std::uint32_t timeoutMs = 1000;
    bool json = false;
    unsigned repeat = 1;           // 0: until interrupted
    std::uint64_t durationMs = 0;  // --duration: poll for this long (0: no limit)
    unsigned intervalMs = 500;
    bool shared = false;  // open the ports without locking them
    bool reopen = false;  // follow a lost port
    std::string logPath;  // --log: the same lines to a file
};

void addQueryOptions(CLI::App& query, QueryOptions& o);

// After parsing: --duration without --repeat polls for the whole time.
void completeQueryOptions(const CLI::App& query, QueryOptions& o);

// A polling run: one line per transaction and a summary.
inline bool isPolling(const QueryOptions& o) { return o.repeat != 1 || o.durationMs != 0; }

// The request the options describe. Throws UsageError.
HostCommand buildRequest(const QueryOptions& o);

// Runs the query; the exit status of the client.
int runQuery(const QueryOptions& o, const HostCommand& r);

}  // namespace kavrol::cli
