// Names of the results of the protocol calls.
#pragma once

#include <cstdint>

namespace kavrol::link {

// "ok", "rejected", "timeout", "frame-error", "device-error" (-4..-12), or
// "unknown" for any other value.
const char* ResultName(std::int32_t result);

}  // namespace kavrol::link
