#include "cli/poll_output.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/clock_text.h"

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

std::string PollOutput::timestamp() { return tools::clockText("%Y-%m-%d %H:%M:%S", false); }

}  // namespace kavrol::cli
