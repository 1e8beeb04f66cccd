// Names of the results of the protocol operations, for logs, reports and
// machine-readable output.
#pragma once

#include <cstdint>

namespace kavrol::protocol {

// "ok" 1, "rejected" -1, "timeout" -2, "frame-error" -3, "device-error"
// -12..-4, "unknown" for anything else. Static strings.
const char* resultName(std::int32_t result);

}  // namespace kavrol::protocol
