// POSIX host: the port is a tty file descriptor carried in the handle value.
#include "host/host.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kavrol::host {

namespace {

int descriptorOf(PortHandle port) { return static_cast<int>(reinterpret_cast<std::intptr_t>(port)); }

// Waits until fd is ready for the given events; false on error.
bool waitReady(int fd, short events) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, -1);
        if (n > 0) return (p.revents & (POLLERR | POLLNVAL)) == 0;
        if (n < 0 && errno != EINTR) return false;
    }
}

// Writes the whole block, also on a non-blocking descriptor. Returns the
// count written before a failure.
std::uint32_t writeAll(int fd, const std::uint8_t* bytes, std::uint32_t count) {
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitReady(fd, POLLOUT)) break;
        } else {
            break;
        }
    }
    return done;
}

// Reads up to count bytes, stopping early only at end of file or on failure.
// Returns the count read, or -1 if nothing could be read because of an error.
std::int32_t readUpTo(int fd, std::uint8_t* dest, std::uint32_t count) {
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, dest + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitReady(fd, POLLIN)) return done > 0 ? static_cast<std::int32_t>(done) : -1;
        } else {
            return done > 0 ? static_cast<std::int32_t>(done) : -1;
        }
    }
    return static_cast<std::int32_t>(done);
}

class PosixHost final : public Host {
public:
    void purge(PortHandle port, std::uint32_t flags) override {
        const int fd = descriptorOf(port);
        if ((flags & kPurgeReceive) != 0) ::tcflush(fd, TCIFLUSH);
        if ((flags & kPurgeTransmit) != 0) ::tcflush(fd, TCOFLUSH);
    }

    void write(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* /*overlapped*/) override {
        writeAll(descriptorOf(port), bytes, count);
    }

    bool queryQueues(PortHandle port, QueueCounts& counts) override {
        const int fd = descriptorOf(port);
        int out = 0;
        int in = 0;
        if (::ioctl(fd, TIOCOUTQ, &out) != 0 || ::ioctl(fd, FIONREAD, &in) != 0) return false;
        counts.outQueue = out > 0 ? static_cast<std::uint32_t>(out) : 0U;
        counts.inQueue = in > 0 ? static_cast<std::uint32_t>(in) : 0U;
        return true;
    }

    bool read(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* /*overlapped*/) override {
        return readUpTo(descriptorOf(port), dest, count) == static_cast<std::int32_t>(count);
    }

    void clearError(PortHandle /*port*/) override {
        // A tty keeps no sticky error state that a later read must clear.
    }

    std::uint32_t tickMs() override {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000U + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000U;
        return static_cast<std::uint32_t>(ms);
    }

    FileHandle fileCreate(const char* path, std::int32_t attribute) override {
        const mode_t mode = (attribute & kAttributeReadOnly) != 0 ? 0444 : 0666;
        const int fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        return fd < 0 ? kFileError : fd;
    }

    FileHandle fileOpenRead(const char* path) override {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return kFileError;
        // Only regular files are files here, as on Windows.
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return kFileError;
        }
        return fd;
    }

    std::int32_t fileWrite(FileHandle file, const std::uint8_t* data, std::uint32_t count) override {
        if (file < 0) return -1;
        const std::uint32_t done = writeAll(file, data, count);
        return done == 0 && count != 0 ? -1 : static_cast<std::int32_t>(done);
    }

    std::int32_t fileRead(FileHandle file, std::uint8_t* data, std::uint32_t count) override {
        if (file < 0) return -1;
        return readUpTo(file, data, count);
    }

    void fileClose(FileHandle file) override {
        if (file >= 0) ::close(file);
    }
};

}  // namespace

Host& platform() {
    static PosixHost host;
    return host;
}

}  // namespace kavrol::host
