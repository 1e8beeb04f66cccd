#include "protocol/result_names.h"

#include "protocol/frame.h"

namespace kavrol::protocol {

const char* resultName(std::int32_t result) {
    switch (result) {
        case kOk: return "ok";
        case kRejected: return "rejected";
        case kTimeout: return "timeout";
        case kFrameError: return "frame-error";
        default: return isDeviceErrorResult(result) ? "device-error" : "unknown";
    }
}

}  // namespace kavrol::protocol
