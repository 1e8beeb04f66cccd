#include "gateway/log.h"

#include <cstdio>
#include <mutex>

#include "common/clock_text.h"

namespace kavrol::gateway {

std::string utcTimestamp() { return tools::clockText("%Y-%m-%dT%H:%M:%S", true) + "Z"; }

void logEvent(const std::string& what) {
    static std::mutex mutex;
    const std::string line = utcTimestamp() + " kavrol-gateway: " + what + "\n";
    const std::lock_guard<std::mutex> lock(mutex);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace kavrol::gateway
