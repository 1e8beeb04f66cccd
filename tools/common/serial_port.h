// Opening, configuring and listing serial ports for the tools. Real ports go
// through libserialport; a pseudo-terminal, which libserialport cannot look
// up, is configured with termios directly.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kavrol::tools {

struct LineSettings {
    unsigned baud = 9600;
    unsigned dataBits = 8;  // 5..8
    char parity = 'N';      // N, E, O
    unsigned stopBits = 1;  // 1 or 2
};

// "9600 8N1"
std::string describeLine(const LineSettings& s);

class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The port is held for exclusive use by another program.
class PortBusy : public PortError {
public:
    using PortError::PortError;
};

// The standard rates a port can be set to, 50 .. 4000000.
bool isStandardBaud(unsigned baud);

// The line settings a tty's termios shows now; nullopt when fd is no tty.
// baud is 0 for a speed that is not one of the standard rates.
std::optional<LineSettings> ttyLine(int fd);

// Sets a tty's speed, data bits, parity and stop bits, leaving the rest of
// its termios alone. False (errno set) when the tty refuses them.
bool setTtyLine(int fd, const LineSettings& s);

class SerialPort {
public:
    // Opens the port for reading and writing in raw mode. Exclusive: the
    // port is locked with flock(LOCK_EX | LOCK_NB), and a tty other than a
    // pseudo-terminal also marked TIOCEXCL, so that a second program opening
    // it is refused; PortBusy when another program holds it. Throws PortError.
    static std::unique_ptr<SerialPort> open(const std::string& path, const LineSettings& settings,
                                            bool exclusive = true);
    virtual ~SerialPort() = default;

    // The path it was opened by.
    const std::string& path() const { return path_; }
    // True when the line has hung up or the device is gone: the descriptor
    // reports a hang-up or an error, or the path no longer leads to it.
    bool lost() const;

    // The open descriptor, never 0, 1 or 2.
    virtual int fd() const = 0;
    // "libserialport" or "termios".
    virtual const char* via() const = 0;

private:
    std::string path_;
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
