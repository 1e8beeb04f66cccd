#include "link/result_name.h"

namespace kavrol::link {

namespace {
// Device error codes 247..255 arrive as results -12..-4.
constexpr std::int32_t kFirstDeviceErrorResult = -12;
constexpr std::int32_t kLastDeviceErrorResult = -4;
}  // namespace

const char* ResultName(std::int32_t result) {
    switch (result) {
        case 1: return "ok";
        case -1: return "rejected";
        case -2: return "timeout";
        case -3: return "frame-error";
        default: break;
    }
    if (result >= kFirstDeviceErrorResult && result <= kLastDeviceErrorResult) return "device-error";
    return "unknown";
}

}  // namespace kavrol::link
