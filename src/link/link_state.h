// The library's one process-wide state.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace kavrol::link {

struct LinkState {
    host::PortHandle portHandle = nullptr;  // null: unbound, no port call is made
    std::uint32_t timeoutMs = 0;
    // The one zeroed OVERLAPPED record handed to every port read and write.
    alignas(8) unsigned char portOverlapped[host::kOverlappedSize] = {};
    // The one open file; kFileError when none is open.
    host::FileHandle fileHandle = host::kFileError;
    // Set when the last port operation found the port hung up or gone.
    bool portLost = false;
};

LinkState& linkState();

}  // namespace kavrol::link
