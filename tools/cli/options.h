// Command-line helpers shared by the client's subcommands.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/exit_codes.h"
#include "common/number_option.h"
#include "common/version_flag.h"

namespace kavrol::cli {

using tools::kExitFailed;
using tools::kExitOk;
using tools::kExitPort;
using tools::kExitUsage;

using tools::addVersionFlag;
using tools::answerHelpOrVersion;
using tools::numberUpTo;

// The model codes of the device family: 0..24.
inline constexpr std::uint32_t kMaxModelCode = 24;

// --model as every subcommand takes it: a model code 0..24.
inline CLI::Option* addModelOption(CLI::App& app, std::uint32_t& model, const std::string& what) {
    return app.add_option("--model", model, "model code 0.." + std::to_string(kMaxModelCode) + what)
        ->transform(numberUpTo(kMaxModelCode));
}
inline CLI::Option* addModelOption(CLI::App& app, std::optional<std::uint32_t>& model, const std::string& what) {
    return app.add_option("--model", model, "model code 0.." + std::to_string(kMaxModelCode) + what)
        ->transform(numberUpTo(kMaxModelCode));
}

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
