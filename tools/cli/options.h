// Command-line helpers shared by the client's subcommands.
#pragma once

#include <cstdint>
#include <string>

#include <CLI/CLI.hpp>

namespace kavrol::cli {

// Exit statuses of the client.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a transaction, or a demo step, did not give what it should
inline constexpr int kExitUsage = 2;   // bad arguments; nothing was sent
inline constexpr int kExitPort = 3;    // the port could not be opened or configured

// Numbers written in decimal or as 0x hex, up to max (a leading zero is
// not octal). Rewrites the text as decimal for CLI11's conversion.
CLI::Validator numberUpTo(std::uint64_t max);

// Thrown after parsing for arguments that do not go together.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace kavrol::cli
