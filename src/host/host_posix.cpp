// POSIX host: the port is a tty file descriptor carried in the handle value.
#include "host/host.h"
#include "host/posix_port.h"

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

// Waits until fd is ready for the given events; false on error.
bool waitReady(int fd, short events) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, -1);
        if (n > 0) return (p.revents & (POLLERR | POLLNVAL)) == 0;
        if (n < 0 && errno != EINTR) return false;
    }
}

// Writes the whole block to a file. Returns the count written before a
// failure.
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

// Only regular files are files here, as on Windows: a FIFO, a device or a
// directory is refused before it is opened (opening a FIFO would block), and
// again after, in case the path changed in between. The descriptor is
// opened non-blocking and without becoming a controlling terminal; the
// flag is cleared once it is known to be a regular file.
FileHandle openRegular(const char* path, int flags, mode_t mode) {
    struct stat st {};
    if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) return kFileError;
    const int fd = ::open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) return kFileError;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return kFileError;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

class PosixHost final : public Host {
public:
    void purge(PortHandle port, std::uint32_t flags) override {
        const int fd = posix::descriptorOf(port);
        if (fd < 0) return;
        if ((flags & kPurgeReceive) != 0) ::tcflush(fd, TCIFLUSH);
        if ((flags & kPurgeTransmit) != 0) ::tcflush(fd, TCOFLUSH);
    }

    PortOutcome write(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* /*overlapped*/,
                      std::uint32_t budgetMs) override {
        return posix::writeBounded(posix::descriptorOf(port), bytes, count, budgetMs);
    }

    bool queryQueues(PortHandle port, QueueCounts& counts) override {
        const int fd = posix::descriptorOf(port);
        if (fd < 0) return false;
        int out = 0;
        int in = 0;
        if (::ioctl(fd, TIOCOUTQ, &out) != 0 || ::ioctl(fd, FIONREAD, &in) != 0) return false;
        counts.outQueue = out > 0 ? static_cast<std::uint32_t>(out) : 0U;
        counts.inQueue = in > 0 ? static_cast<std::uint32_t>(in) : 0U;
        return true;
    }

    bool queryQueue(PortHandle port, PortWait::Kind kind, std::uint32_t& count) override {
        return posix::queryQueue(posix::descriptorOf(port), kind, count);
    }

    PortOutcome read(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* /*overlapped*/,
                     std::uint32_t budgetMs) override {
        return posix::readBounded(posix::descriptorOf(port), dest, count, budgetMs);
    }

    PortOutcome waitPort(PortHandle port, const PortWait& wait, std::uint32_t budgetMs) override {
        return posix::waitPort(posix::descriptorOf(port), wait, budgetMs);
    }

    void clearError(PortHandle /*port*/) override {
        // A tty keeps no sticky error state that a later read must clear.
    }

    std::uint32_t tickMs() override {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        const auto ms =
            static_cast<std::uint64_t>(ts.tv_sec) * 1000U + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000U;
        return static_cast<std::uint32_t>(ms);
    }

    FileHandle fileCreate(const char* path, std::int32_t attribute) override {
        const mode_t mode = (attribute & kAttributeReadOnly) != 0 ? 0444 : 0666;
        // Truncated only once it is known to be a regular file.
        const FileHandle fd = openRegular(path, O_RDWR | O_CREAT, mode);
        if (fd != kFileError && ::ftruncate(fd, 0) != 0) {
            ::close(fd);
            return kFileError;
        }
        return fd;
    }

    FileHandle fileOpenRead(const char* path) override { return openRegular(path, O_RDONLY, 0); }

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
