// kavrol ports: the serial ports of the system.
#pragma once

namespace kavrol::cli {

int runPorts(bool json);

}  // namespace kavrol::cli
