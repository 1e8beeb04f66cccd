// CLI11 check for numbers written in decimal or as 0x hex (a leading zero
// does not mean octal). Rewrites the text as decimal for CLI11's conversion.
#pragma once

#include <cstdint>

#include <CLI/CLI.hpp>

namespace kavrol::tools {

CLI::Validator numberUpTo(std::uint64_t max);
// The same for min..max; the help shows "min..max".
CLI::Validator numberIn(std::uint64_t min, std::uint64_t max);

}  // namespace kavrol::tools
