// Command-line helpers shared by the client's subcommands.
#pragma once

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

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

// "cannot read PATH: No such file or directory": a file problem named by
// its path and the system's reason (error is an errno value; 0 when the
// system gave none).
inline std::string fileProblem(const char* verb, const std::string& path, int error) {
    return std::string("cannot ") + verb + " " + path + ": " + (error != 0 ? std::strerror(error) : "write failed");
}

}  // namespace kavrol::cli
