// Where a query's lines go: standard output and, with --log, a file too.
// Every line is written whole and flushed at once, so that files and pipes
// see each poll as it happens; lines from several threads never mix.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace kavrol::cli {

class PollOutput {
public:
    // Throws std::runtime_error when the log file cannot be written.
    explicit PollOutput(const std::string& logPath = "");

    // Writes text (one or more whole lines) to both.
    void write(const std::string& text);

    // "2026-12-09 16:55:01.123", local time.
    static std::string timestamp();

private:
    std::mutex mutex_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> log_;
};

}  // namespace kavrol::cli
