#include "gateway/log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace kavrol::gateway {

std::string utcTimestamp() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    ::gmtime_r(&ts.tv_sec, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03ldZ", date, ts.tv_nsec / 1000000);
    return text;
}

void logEvent(const std::string& what) {
    static std::mutex mutex;
    const std::string line = utcTimestamp() + " kavrol-gateway: " + what + "\n";
    const std::lock_guard<std::mutex> lock(mutex);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace kavrol::gateway
