#include "common/serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <libserialport.h>
#include <termios.h>
#include <unistd.h>

namespace kavrol::tools {

namespace {

std::string spError(const std::string& what) {
    char* msg = sp_last_error_message();
    std::string s = what + ": " + (msg != nullptr ? msg : "unknown error");
    sp_free_error_message(msg);
    return s;
}

// The library cannot bind descriptor 0 (it means "unbound"), and the
// standard descriptors belong to the terminal: move the port above them.
int aboveStandard(int fd, bool& owned) {
    owned = false;
    if (fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) throw PortError(std::string("cannot move the port descriptor: ") + std::strerror(errno));
    owned = true;
    return moved;
}

class LibSerialPort final : public SerialPort {
public:
    LibSerialPort(sp_port* port, int fd, bool owned) : port_(port), fd_(fd), owned_(owned) {}
    ~LibSerialPort() override {
        if (owned_) ::close(fd_);
        sp_close(port_);
        sp_free_port(port_);
    }
    int fd() const override { return fd_; }
    const char* via() const override { return "libserialport"; }

private:
    sp_port* port_;
    int fd_;
    bool owned_;
};

class TermiosPort final : public SerialPort {
public:
    explicit TermiosPort(int fd) : fd_(fd) {}
    ~TermiosPort() override { ::close(fd_); }
    int fd() const override { return fd_; }
    const char* via() const override { return "termios"; }

private:
    int fd_;
};

sp_parity spParity(char p) {
    switch (p) {
        case 'E': return SP_PARITY_EVEN;
        case 'O': return SP_PARITY_ODD;
        default: return SP_PARITY_NONE;
    }
}

// Null when libserialport does not know the device (it looks ports up in
// the system's device tables, where pseudo-terminals are missing).
std::unique_ptr<SerialPort> openWithLibSerialPort(const std::string& path, const LineSettings& s) {
    sp_port* port = nullptr;
    if (sp_get_port_by_name(path.c_str(), &port) != SP_OK) return nullptr;
    auto giveUp = [&](const std::string& what) -> std::unique_ptr<SerialPort> {
        sp_close(port);
        sp_free_port(port);
        throw PortError(spError(what));
    };
    if (sp_open(port, SP_MODE_READ_WRITE) != SP_OK) {
        sp_free_port(port);
        throw PortError(spError("cannot open " + path));
    }
    if (sp_set_baudrate(port, static_cast<int>(s.baud)) != SP_OK) return giveUp("cannot set the baud rate");
    if (sp_set_bits(port, static_cast<int>(s.dataBits)) != SP_OK) return giveUp("cannot set the data bits");
    if (sp_set_parity(port, spParity(s.parity)) != SP_OK) return giveUp("cannot set the parity");
    if (sp_set_stopbits(port, static_cast<int>(s.stopBits)) != SP_OK) return giveUp("cannot set the stop bits");
    if (sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE) != SP_OK) return giveUp("cannot switch flow control off");
    int fd = -1;
    if (sp_get_port_handle(port, &fd) != SP_OK) return giveUp("no descriptor for " + path);
    bool owned = false;
    const int usable = aboveStandard(fd, owned);
    return std::make_unique<LibSerialPort>(port, usable, owned);
}

speed_t termiosSpeed(unsigned baud) {
    struct Speed {
        unsigned baud;
        speed_t code;
    };
    static constexpr Speed kSpeeds[] = {
        {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},     {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const Speed& sp : kSpeeds) {
        if (sp.baud == baud) return sp.code;
    }
    throw PortError("baud rate " + std::to_string(baud) + " is not one of the standard rates");
}

std::unique_ptr<SerialPort> openWithTermios(const std::string& path, const LineSettings& s) {
    const speed_t speed = termiosSpeed(s.baud);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw PortError("cannot open " + path + ": " + std::strerror(errno));
    auto fail = [&](const std::string& why) -> std::unique_ptr<SerialPort> {
        ::close(fd);
        throw PortError(why);
    };
    if (::isatty(fd) == 0) return fail(path + " is not a serial port or terminal");
    bool owned = false;
    const int usable = aboveStandard(fd, owned);
    if (owned) ::close(fd);
    fd = usable;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return fail(std::string("tcgetattr: ") + std::strerror(errno));
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[s.dataBits - 5];
    if (s.parity == 'E') t.c_cflag |= PARENB;
    if (s.parity == 'O') t.c_cflag |= PARENB | PARODD;
    if (s.stopBits == 2) t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail(std::string("tcsetattr: ") + std::strerror(errno));
    return std::make_unique<TermiosPort>(fd);
}

}  // namespace

std::string describeLine(const LineSettings& s) {
    return std::to_string(s.baud) + " " + std::to_string(s.dataBits) + s.parity + std::to_string(s.stopBits);
}

std::unique_ptr<SerialPort> SerialPort::open(const std::string& path, const LineSettings& settings) {
    if (settings.dataBits < 5 || settings.dataBits > 8) throw PortError("data bits must be 5..8");
    if (settings.stopBits != 1 && settings.stopBits != 2) throw PortError("stop bits must be 1 or 2");
    if (auto port = openWithLibSerialPort(path, settings)) return port;
    return openWithTermios(path, settings);
}

std::vector<PortInfo> listPorts() {
    sp_port** list = nullptr;
    if (sp_list_ports(&list) != SP_OK) throw PortError(spError("cannot list serial ports"));
    std::vector<PortInfo> out;
    for (sp_port** p = list; *p != nullptr; ++p) {
        PortInfo info;
        const char* name = sp_get_port_name(*p);
        const char* description = sp_get_port_description(*p);
        info.name = name != nullptr ? name : "";
        info.description = description != nullptr ? description : "";
        switch (sp_get_port_transport(*p)) {
            case SP_TRANSPORT_USB: {
                info.transport = "USB";
                int vid = 0;
                int pid = 0;
                char ids[16];
                if (sp_get_port_usb_vid_pid(*p, &vid, &pid) == SP_OK) {
                    std::snprintf(ids, sizeof ids, "%04x:%04x", static_cast<unsigned>(vid), static_cast<unsigned>(pid));
                    info.usb = ids;
                }
                for (const char* part : {sp_get_port_usb_manufacturer(*p), sp_get_port_usb_product(*p),
                                         sp_get_port_usb_serial(*p)}) {
                    if (part != nullptr && *part != '\0') info.usb += (info.usb.empty() ? "" : " ") + std::string(part);
                }
                break;
            }
            case SP_TRANSPORT_BLUETOOTH: info.transport = "Bluetooth"; break;
            default: info.transport = "native"; break;
        }
        out.push_back(std::move(info));
    }
    sp_free_port_list(list);
    return out;
}

}  // namespace kavrol::tools
