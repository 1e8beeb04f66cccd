#pragma once

#include <cstdint>

#include "kavrol_version.h"

namespace kavrol::util {

// Shifts value (direction 0: arithmetic right, 1: left, otherwise none) by
// the count modulo 32 and masks it with maskA | maskB.
std::int32_t shiftMask(std::int32_t value, std::uint32_t maskA, std::uint32_t maskB, std::uint32_t shiftCount,
                       std::uint32_t direction);

}  // namespace kavrol::util
