// Where a query's lines go: standard output and, with --log, a file too.
// Every line is written whole and flushed at once, so that files and pipes
// see each poll as it happens; lines from several threads never mix. The
// first write that fails (a full disk) is kept, and nothing more is
// written: the run ends and says why.
#pragma once

#include <atomic>
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

    // True once a write failed; failure() names the file and the reason.
    bool failed() const { return failed_.load(); }
    std::string failure() const;

    // "2026-12-09 16:55:01.123", local time.
    static std::string timestamp();

private:
    void fail(std::string why);

    mutable std::mutex mutex_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> log_;
    std::string logPath_;
    std::atomic<bool> failed_{false};
    std::string failure_;
};

}  // namespace kavrol::cli
