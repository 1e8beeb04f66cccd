// The device end of a pseudo-terminal pair, raw mode: the simulator serves
// it, a client opens clientPath() like any serial port.
#pragma once

#include <string>

namespace kavrol::tools {

class PtyDevice {
public:
    PtyDevice();  // throws std::runtime_error
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    int deviceFd() const { return master_; }
    const std::string& clientPath() const { return path_; }

private:
    int master_ = -1;
    // Kept open so that the device end sees no hang-up between clients.
    int client_ = -1;
    std::string path_;
};

}  // namespace kavrol::tools
