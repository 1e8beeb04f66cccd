// A command that arrives on .../<line>/<device>/cmd: JSON with "command",
// "sub", "words" or "raw", "model", "timeout_ms" and an "id" that comes back
// in the reply. Checked in full before anything goes to the line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/transaction.h"
#include "gateway/config.h"

namespace kavrol::gateway {

struct ParsedCommand {
    tools::HostCommand request;
    std::optional<std::uint32_t> timeoutMs;  // the line's own when absent
    nlohmann::json id;                       // null when absent
    std::string error;                       // why it cannot be sent; empty when it can
};

// The request for the device (its route and, unless the command names
// another, its model), or an error naming the key that is wrong.
ParsedCommand parseCommand(const std::string& payload, const DeviceConfig& device);

}  // namespace kavrol::gateway
