#include "cli/ports_command.h"

#include <iostream>

#include <nlohmann/json.hpp>

#include "cli/options.h"
#include "common/serial_port.h"

namespace kavrol::cli {

int runPorts(bool json) {
    std::vector<tools::PortInfo> ports;
    try {
        ports = tools::listPorts();
    } catch (const tools::PortError& e) {
        std::cerr << "kavrol ports: " << e.what() << "\n";
        return kExitPort;
    }
    if (json) {
        nlohmann::json a = nlohmann::json::array();
        for (const auto& p : ports) {
            a.push_back({{"name", p.name}, {"description", p.description}, {"transport", p.transport}, {"usb", p.usb}});
        }
        std::cout << a.dump() << std::endl;
        return kExitOk;
    }
    if (ports.empty()) std::cout << "no serial ports found (kavrol-devsim makes a simulated one)\n";
    for (const auto& p : ports) {
        std::cout << p.name << "  " << p.description << "  [" << p.transport << (p.usb.empty() ? "" : " " + p.usb)
                  << "]\n";
    }
    return kExitOk;
}

}  // namespace kavrol::cli
