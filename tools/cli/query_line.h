// One serial line of kavrol query: opens the port, runs the transactions,
// reports each one, follows a lost port with --reopen.
#pragma once

#include <string>

#include "cli/poll_output.h"
#include "cli/poll_stats.h"
#include "cli/query_command.h"

namespace kavrol::cli {

struct LineRun {
    PollStats stats;
    bool portFailed = false;  // could not be opened, or was lost and not reopened
};

// Runs the query on one port until its repeat count is done or the run is
// interrupted.
LineRun runLine(const std::string& port, const QueryOptions& o, const HostCommand& r, PollOutput& out);

// Set from SIGINT and SIGTERM: every line ends after its current transaction.
void interruptQuery();
bool queryInterrupted();

}  // namespace kavrol::cli
