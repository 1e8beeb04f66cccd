// The JSON the gateway publishes: a reply (of a poll or a command), a
// line's state, a command that could not be sent.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/transaction.h"

namespace kavrol::gateway {

// time (UTC, ms), status and its name, round trip, and for a valid reply
// its code and the record fields by name, as kavrol query --json gives
// them; the normalized buffer as hex with includeBuffer.
nlohmann::json replyJson(const cli::Outcome& o, bool includeBuffer);

struct LineCounts {
    std::uint64_t transactions = 0;
    std::uint64_t lost = 0;
    std::uint64_t reopened = 0;
    std::uint64_t dropped = 0;
    std::uint64_t queued = 0;
};

// {"state": "open" | "lost" | "reopened", "time", and the counts}
std::string stateJson(const std::string& state, const LineCounts& counts);

// A command answered without reaching the line.
std::string commandErrorJson(const std::string& error, const nlohmann::json& id);

}  // namespace kavrol::gateway
