// kavrol-devsim as a child process on a pseudo-terminal of its own: started
// with the given arguments, it prints the path a client opens; stop() ends it
// with SIGTERM and collects its exit status.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace kavrol::soak {

class DevsimProcess {
public:
    // Throws std::runtime_error when the simulator does not start or print
    // its path within a few seconds.
    DevsimProcess(const std::string& executable, const std::vector<std::string>& args);
    ~DevsimProcess();
    DevsimProcess(const DevsimProcess&) = delete;
    DevsimProcess& operator=(const DevsimProcess&) = delete;

    const std::string& ptyPath() const { return path_; }
    // Ends the simulator; its exit status (0 after a clean stop).
    int stop();

private:
    pid_t pid_ = -1;
    std::string path_;
};

// Opens a pty path as a serial port in raw mode; throws on failure.
int OpenRawPort(const std::string& path);

}  // namespace kavrol::soak
