#include "cli/poll_output.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace kavrol::cli {

PollOutput::PollOutput(const std::string& logPath) : log_(nullptr, &std::fclose) {
    if (logPath.empty()) return;
    log_.reset(std::fopen(logPath.c_str(), "a"));
    if (!log_) throw std::runtime_error("--log: cannot write " + logPath + ": " + std::strerror(errno));
}

void PollOutput::write(const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    if (log_) {
        std::fputs(text.c_str(), log_.get());
        std::fflush(log_.get());
    }
}

std::string PollOutput::timestamp() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03ld", date, ts.tv_nsec / 1000000);
    return text;
}

}  // namespace kavrol::cli
