// Opening, configuring and listing serial ports for the tools. Real ports go
// through libserialport; a pseudo-terminal, which libserialport cannot look
// up, is configured with termios directly.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kavrol::tools {

struct LineSettings {
    unsigned baud = 9600;
    unsigned dataBits = 8;   // 5..8
    char parity = 'N';       // N, E, O
    unsigned stopBits = 1;   // 1 or 2
};

// "9600 8N1"
std::string describeLine(const LineSettings& s);

class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SerialPort {
public:
    // Opens the port for reading and writing in raw mode. Throws PortError.
    static std::unique_ptr<SerialPort> open(const std::string& path, const LineSettings& settings);
    virtual ~SerialPort() = default;

    // The open descriptor, never 0, 1 or 2.
    virtual int fd() const = 0;
    // "libserialport" or "termios".
    virtual const char* via() const = 0;
};

struct PortInfo {
    std::string name;
    std::string description;
    std::string transport;  // "native", "USB", "Bluetooth"
    std::string usb;        // "vid:pid manufacturer product serial" for USB ports
};

// The serial ports of the system. Throws PortError.
std::vector<PortInfo> listPorts();

}  // namespace kavrol::tools
