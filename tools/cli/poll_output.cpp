#include "cli/poll_output.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "cli/options.h"
#include "common/clock_text.h"

namespace kavrol::cli {

PollOutput::PollOutput(const std::string& logPath) : log_(nullptr, &std::fclose), logPath_(logPath) {
    if (logPath.empty()) return;
    log_.reset(std::fopen(logPath.c_str(), "a"));
    if (!log_) throw std::runtime_error("--log: " + fileProblem("write", logPath, errno));
}

void PollOutput::fail(std::string why) {
    failure_ = std::move(why);
    failed_.store(true);
}

void PollOutput::write(const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (failed_.load()) return;
    errno = 0;
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        fail(fileProblem("write", "standard output", errno));
        return;
    }
    if (log_) {
        errno = 0;
        if (std::fputs(text.c_str(), log_.get()) < 0 || std::fflush(log_.get()) != 0) {
            fail("--log: " + fileProblem("write", logPath_, errno));
        }
    }
}

std::string PollOutput::failure() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

std::string PollOutput::timestamp() { return tools::clockText("%Y-%m-%d %H:%M:%S", false); }

}  // namespace kavrol::cli
