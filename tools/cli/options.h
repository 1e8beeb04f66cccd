// Command-line helpers shared by the client's subcommands.
#pragma once

#include <stdexcept>

#include "common/number_option.h"

namespace kavrol::cli {

// Exit statuses of the client.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a transaction, or a demo step, did not give what it should
inline constexpr int kExitUsage = 2;   // bad arguments; nothing was sent
inline constexpr int kExitPort = 3;    // the port could not be opened or configured

using tools::numberUpTo;

// Thrown after parsing for arguments that do not go together.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace kavrol::cli
