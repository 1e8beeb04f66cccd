// The gateway's log: one line per event on standard error, with the UTC time.
#pragma once

#include <string>

namespace kavrol::gateway {

void logEvent(const std::string& what);

// "2026-12-09T12:31:46.441Z"
std::string utcTimestamp();

}  // namespace kavrol::gateway
