// Command-line helpers shared by the client's subcommands.
#pragma once

#include <stdexcept>

#include "common/exit_codes.h"
#include "common/number_option.h"

namespace kavrol::cli {

using tools::kExitFailed;
using tools::kExitOk;
using tools::kExitPort;
using tools::kExitUsage;

using tools::numberUpTo;

// Thrown after parsing for arguments that do not go together.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace kavrol::cli
