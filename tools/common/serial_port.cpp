#include "common/serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <libserialport.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "host/posix_speeds.h"

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

[[noreturn]] void throwBusy(const std::string& path) {
    throw PortBusy("port busy: " + path + " is in use by another program (--shared opens it anyway)");
}

// The terminal end of a Unix 98 pseudo-terminal (majors 136..143).
bool isPseudoTerminal(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

// Takes the port for this program alone; true when the tty was marked
// TIOCEXCL and must be released before the descriptor is closed. The flock
// is the lock that counts: the kernel drops it with the process. TIOCEXCL
// lasts until the tty's last close, which for a pseudo-terminal whose other
// side (a simulator, a tap) keeps it open is never, so that a killed client
// would lock every later one out: a pseudo-terminal is not marked.
bool claimExclusive(int fd, const std::string& path) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) throwBusy(path);
    return ::isatty(fd) == 1 && !isPseudoTerminal(fd) && ::ioctl(fd, TIOCEXCL) == 0;
}

// A tty keeps TIOCEXCL until its last close; a pseudo-terminal whose other
// end stays open would refuse every later client without this.
void releaseExclusive(int fd, bool marked) {
    if (marked) ::ioctl(fd, TIOCNXCL);
}

class LibSerialPort final : public SerialPort {
public:
    LibSerialPort(sp_port* port, int fd, bool owned, bool marked)
        : port_(port), fd_(fd), owned_(owned), marked_(marked) {}
    ~LibSerialPort() override {
        releaseExclusive(fd_, marked_);
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
    bool marked_;
};

class TermiosPort final : public SerialPort {
public:
    TermiosPort(int fd, bool marked) : fd_(fd), marked_(marked) {}
    ~TermiosPort() override {
        releaseExclusive(fd_, marked_);
        ::close(fd_);
    }
    int fd() const override { return fd_; }
    const char* via() const override { return "termios"; }

private:
    int fd_;
    bool marked_;
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
std::unique_ptr<SerialPort> openWithLibSerialPort(const std::string& path, const LineSettings& s, bool exclusive) {
    sp_port* port = nullptr;
    if (sp_get_port_by_name(path.c_str(), &port) != SP_OK) return nullptr;
    auto giveUp = [&](const std::string& what) -> std::unique_ptr<SerialPort> {
        sp_close(port);
        sp_free_port(port);
        throw PortError(spError(what));
    };
    if (sp_open(port, SP_MODE_READ_WRITE) != SP_OK) {
        const bool busy = sp_last_error_code() == EBUSY;
        sp_free_port(port);
        if (busy) throwBusy(path);
        throw PortError(spError("cannot open " + path));
    }
    if (sp_set_baudrate(port, static_cast<int>(s.baud)) != SP_OK) return giveUp("cannot set the baud rate");
    if (sp_set_bits(port, static_cast<int>(s.dataBits)) != SP_OK) return giveUp("cannot set the data bits");
    if (sp_set_parity(port, spParity(s.parity)) != SP_OK) return giveUp("cannot set the parity");
    if (sp_set_stopbits(port, static_cast<int>(s.stopBits)) != SP_OK) return giveUp("cannot set the stop bits");
    if (sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE) != SP_OK) return giveUp("cannot switch flow control off");
    int fd = -1;
    if (sp_get_port_handle(port, &fd) != SP_OK) return giveUp("no descriptor for " + path);
    bool marked = false;
    try {
        if (exclusive) marked = claimExclusive(fd, path);
    } catch (const PortBusy&) {
        sp_close(port);
        sp_free_port(port);
        throw;
    }
    // The library may mark the tty exclusive on its own; shared means shared.
    if (!exclusive && ::isatty(fd) == 1) ::ioctl(fd, TIOCNXCL);
    bool owned = false;
    const int usable = aboveStandard(fd, owned);
    return std::make_unique<LibSerialPort>(port, usable, owned, marked);
}

speed_t termiosSpeed(unsigned baud) {
    if (const auto code = host::posix::speedCodeOf(baud)) return *code;
    throw PortError("baud rate " + std::to_string(baud) + " is not one of the standard rates");
}

// The termios flags of a line: CSIZE, PARENB, PARODD, CSTOPB.
tcflag_t lineFlags(const LineSettings& s) {
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tcflag_t f = kSizes[s.dataBits - 5];
    if (s.parity == 'E') f |= PARENB;
    if (s.parity == 'O') f |= PARENB | PARODD;
    if (s.stopBits == 2) f |= CSTOPB;
    return f;
}

constexpr tcflag_t kLineMask = CSIZE | PARENB | PARODD | CSTOPB;

std::unique_ptr<SerialPort> openWithTermios(const std::string& path, const LineSettings& s, bool exclusive) {
    const speed_t speed = termiosSpeed(s.baud);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == EBUSY) throwBusy(path);
    if (fd < 0) throw PortError("cannot open " + path + ": " + std::strerror(errno));
    bool marked = false;
    auto fail = [&](const std::string& why) -> std::unique_ptr<SerialPort> {
        releaseExclusive(fd, marked);
        ::close(fd);
        throw PortError(why);
    };
    if (::isatty(fd) == 0) return fail(path + " is not a serial port or terminal");
    try {
        if (exclusive) marked = claimExclusive(fd, path);
    } catch (const PortBusy&) {
        ::close(fd);
        throw;
    }
    bool owned = false;
    const int usable = aboveStandard(fd, owned);
    if (owned) ::close(fd);
    fd = usable;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return fail(std::string("tcgetattr: ") + std::strerror(errno));
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(kLineMask | CRTSCTS);
    t.c_cflag |= lineFlags(s);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        const int error = errno;
        std::string why =
            "cannot set " + path + " to " + describeLine(s) + " (tcsetattr: " + std::strerror(error) + ")";
        // The kernel refuses a change that asks for nothing a pty can hold.
        if (error == EINVAL && isPseudoTerminal(fd) && (s.parity != 'N' || s.dataBits != 8)) {
            why += ": a Linux pseudo-terminal cannot take parity or fewer than 8 data bits (use --data 8 --parity N)";
        }
        return fail(why);
    }
    return std::make_unique<TermiosPort>(fd, marked);
}

}  // namespace

std::string describeLine(const LineSettings& s) {
    return std::to_string(s.baud) + " " + std::to_string(s.dataBits) + s.parity + std::to_string(s.stopBits);
}

std::optional<LineSettings> ttyLine(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return std::nullopt;
    LineSettings s;
    s.baud = host::posix::baudOfSpeedCode(::cfgetospeed(&t));
    const tcflag_t size = t.c_cflag & CSIZE;
    s.dataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    s.parity = (t.c_cflag & PARENB) == 0 ? 'N' : (t.c_cflag & PARODD) != 0 ? 'O' : 'E';
    s.stopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 1;
    return s;
}

bool setTtyLine(int fd, const LineSettings& s) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    if (s.dataBits < 5 || s.dataBits > 8 || s.stopBits < 1 || s.stopBits > 2) {
        errno = EINVAL;
        return false;
    }
    speed_t speed = 0;
    try {
        speed = termiosSpeed(s.baud);
    } catch (const PortError&) {
        errno = EINVAL;
        return false;
    }
    t.c_cflag = (t.c_cflag & ~kLineMask) | lineFlags(s);
    if (::cfsetospeed(&t, speed) != 0 || ::cfsetispeed(&t, speed) != 0) return false;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

bool isStandardBaud(unsigned baud) { return host::posix::speedCodeOf(baud).has_value(); }

std::unique_ptr<SerialPort> SerialPort::open(const std::string& path, const LineSettings& settings, bool exclusive) {
    if (settings.dataBits < 5 || settings.dataBits > 8) throw PortError("data bits must be 5..8");
    if (settings.stopBits != 1 && settings.stopBits != 2) throw PortError("stop bits must be 1 or 2");
    std::unique_ptr<SerialPort> port = openWithLibSerialPort(path, settings, exclusive);
    if (!port) port = openWithTermios(path, settings, exclusive);
    port->path_ = path;
    return port;
}

bool SerialPort::lost() const {
    pollfd p{fd(), 0, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
    struct stat open {};
    struct stat named {};
    if (::fstat(fd(), &open) != 0) return true;
    return (::stat(path_.c_str(), &named) != 0 || named.st_rdev != open.st_rdev || named.st_ino != open.st_ino);
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
                for (const char* part :
                     {sp_get_port_usb_manufacturer(*p), sp_get_port_usb_product(*p), sp_get_port_usb_serial(*p)}) {
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
