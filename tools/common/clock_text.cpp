#include "common/clock_text.h"

#include <cstdio>
#include <ctime>

namespace kavrol::tools {

std::string clockText(const char* secondsFormat, bool utc) {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    if (utc) {
        ::gmtime_r(&ts.tv_sec, &parts);
    } else {
        ::localtime_r(&ts.tv_sec, &parts);
    }
    char seconds[64];
    std::strftime(seconds, sizeof seconds, secondsFormat, &parts);
    char text[80];
    std::snprintf(text, sizeof text, "%s.%03ld", seconds, ts.tv_nsec / 1000000);
    return text;
}

}  // namespace kavrol::tools
