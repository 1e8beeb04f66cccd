// A minimal check harness for the Windows test program: named steps, checks
// that count and report, and the closing tally.
#pragma once

#include <cstdio>

namespace kavrol::wintest {

class Checks {
public:
    void step(const char* name) {
        step_ = name;
        std::printf("step: %s\n", name);
        std::fflush(stdout);
    }

    // Records one check; prints what failed, in which step.
    template <typename... Args>
    bool check(bool ok, const char* format, Args... args) {
        if (ok) {
            ++passed_;
            return true;
        }
        ++failed_;
        std::printf("  FAIL [%s] ", step_);
        if constexpr (sizeof...(Args) == 0) {
            std::fputs(format, stdout);
        } else {
            std::printf(format, args...);
        }
        std::putchar('\n');
        std::fflush(stdout);
        return false;
    }

    template <typename T, typename U>
    bool equal(T got, U want, const char* what) {
        return check(static_cast<long long>(got) == static_cast<long long>(want), "%s: got %lld, want %lld", what,
                     static_cast<long long>(got), static_cast<long long>(want));
    }

    int finish() const {
        std::printf("wine-test: %d passed, %d failed\n", passed_, failed_);
        return failed_ == 0 ? 0 : 1;
    }

private:
    const char* step_ = "start";
    int passed_ = 0;
    int failed_ = 0;
};

}  // namespace kavrol::wintest
