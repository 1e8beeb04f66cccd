// Command-line options the tools share: line settings, and checks that
// give the same messages in both tools.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "common/serial_port.h"

namespace kavrol::tools {

// --baud, --data, --parity, --stop; `when` ends each description (" with --tty").
void addLineOptions(CLI::App& app, LineSettings& line, const std::string& when = "");

// A port path: not empty.
CLI::Validator portPath();

}  // namespace kavrol::tools
