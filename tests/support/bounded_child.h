// Runs a piece of a test in a child process with a time limit, so that a
// call that blocks for ever fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kavrol::test {

inline long msSince(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

// The child's exit status, or nothing when it was still running after
// limitMs (it is then killed) or did not exit normally.
inline std::optional<int> exitStatusWithin(const std::function<int()>& body, long limitMs) {
    const pid_t pid = ::fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) ::_exit(body());
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (msSince(start) > limitMs) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return std::nullopt;
        }
        ::usleep(2000);
    }
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

}  // namespace kavrol::test
