// The wall-clock time as the tools print it: a strftime format to the
// second, then the milliseconds.
#pragma once

#include <string>

namespace kavrol::tools {

// "<format>.mmm" for now, in UTC or local time.
std::string clockText(const char* secondsFormat, bool utc);

}  // namespace kavrol::tools
