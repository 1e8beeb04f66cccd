// The device end of a pseudo-terminal pair, raw mode: the simulator serves
// it, a client opens clientPath() like any serial port.
#pragma once

#include <string>

#include "pty/pty_pair.h"

namespace kavrol::tools {

class PtyDevice {
public:
    PtyDevice() = default;  // throws std::runtime_error

    int deviceFd() const { return pair_.device(); }
    const std::string& clientPath() const { return pair_.portPath(); }

private:
    // The client end stays open too, so that the device end sees no hang-up
    // between clients.
    pty::PtyPair pair_;
};

}  // namespace kavrol::tools
