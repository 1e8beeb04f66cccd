// kavrol monitor: a live tap on a line. Either a pseudo-terminal for the
// application in front of a real port (--device PATH --pty), or two real
// ports (--between A B). Every byte is forwarded unchanged; each frame is
// printed decoded with its time and the gap since the previous frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/serial_port.h"

namespace kavrol::cli {

struct MonitorOptions {
    std::string device;
    bool pty = false;
    std::vector<std::string> between;  // two ports
    std::string link;                  // symlink to the pty for the application
    tools::LineSettings line;
    std::uint32_t timeoutMs = 1000;  // a reply later than this is reported missing
    std::uint32_t gapMs = 20;        // a quiet line ends a frame that waits
    std::optional<std::uint32_t> model;
    bool json = false;
    std::string raw;
    std::string pcap;
    bool shared = false;  // open the ports without locking them
    bool reopen = false;  // wait for a lost device side to come back
};

void addMonitorOptions(CLI::App& monitor, MonitorOptions& o);

// Throws UsageError for options that do not go together.
void checkMonitorOptions(const MonitorOptions& o);

// Runs until SIGINT or SIGTERM, until a port fails (exit 3; with --reopen a
// lost device side is waited for instead) or a log cannot be written (exit 1).
int runMonitor(const MonitorOptions& o);

}  // namespace kavrol::cli
