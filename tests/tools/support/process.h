// Running the tools as separate processes in tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace kavrol::tools::test {

struct RunResult {
    int exitCode = -1;  // -1: killed or did not exit normally
    std::string out;
    std::string err;
};

// Runs the program with the arguments and collects its output; kills it
// after timeoutMs.
RunResult run(const std::vector<std::string>& argv, int timeoutMs = 30000);

// A program running in the background; its output is collected when it ends.
class Spawned {
public:
    explicit Spawned(const std::vector<std::string>& argv);
    ~Spawned();
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    // Waits for the program to end (killing it after timeoutMs).
    RunResult wait(int timeoutMs = 30000);
    // Sends the signal, then waits.
    RunResult stop(int signal, int timeoutMs = 30000);

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

// kavrol query --json ... with the port filled in.
RunResult query(const std::string& port, const std::vector<std::string>& args);

// kavrol-devsim in the background, serving a fresh pseudo-terminal. It
// ends with the test even when the test dies without stopping it.
class Devsim {
public:
    explicit Devsim(const std::vector<std::string>& args);
    // The simulator at the given path; throws when it does not start.
    Devsim(const std::string& executable, const std::vector<std::string>& args);
    ~Devsim();
    Devsim(const Devsim&) = delete;
    Devsim& operator=(const Devsim&) = delete;

    // The path a client opens.
    const std::string& path() const { return path_; }
    // What the simulator logged on standard error so far.
    std::string log() const;
    // Ends the simulator with SIGTERM; its exit status (0 after a clean
    // stop), 137 when it had to be killed after 10 s.
    int stop();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string path_;
    std::string logFile_;
};

// True once condition() holds, checked every 20 ms for up to timeoutMs.
bool eventually(const std::function<bool()>& condition, int timeoutMs = 10000);

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

// A fresh file name in the test's temporary directory.
std::string tempPath(const std::string& stem);

}  // namespace kavrol::tools::test
