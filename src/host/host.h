// The host layer: the only code that touches the operating system.
//
// The link layer (port) and the file block I/O reach the system only through
// the Host interface below. The platform host (Win32 or POSIX) is installed by
// default; tests install a scripted fake for the length of a test.
#pragma once

#include <cstdint>

namespace kavrol::host {

using PortHandle = void*;
using FileHandle = std::int32_t;

// Value of a failed create/open, and the "no file" handle.
inline constexpr FileHandle kFileError = -1;

// Purge flags, as the Windows serial driver defines them.
inline constexpr std::uint32_t kPurgeTxAbort = 0x0001;
inline constexpr std::uint32_t kPurgeRxAbort = 0x0002;
inline constexpr std::uint32_t kPurgeTxClear = 0x0004;
inline constexpr std::uint32_t kPurgeRxClear = 0x0008;
inline constexpr std::uint32_t kPurgeReceive = kPurgeRxAbort | kPurgeRxClear;   // 10
inline constexpr std::uint32_t kPurgeTransmit = kPurgeTxAbort | kPurgeTxClear;  // 5

// Attribute of _lcreat: bit 0 asks for a read-only file.
inline constexpr std::int32_t kAttributeReadOnly = 1;

// Room for the system's OVERLAPPED record; kept zeroed in the link state.
inline constexpr unsigned kOverlappedSize = 32;

struct QueueCounts {
    std::uint32_t inQueue = 0;   // bytes received and waiting to be read
    std::uint32_t outQueue = 0;  // bytes waiting to be sent
};

class Host {
public:
    virtual ~Host() = default;

    // Serial port. The handle is never null here: the link layer keeps
    // every call away from an unbound port.
    virtual void purge(PortHandle port, std::uint32_t flags) = 0;
    // Hands the whole block to the driver; the result is not examined.
    // overlapped is the link's one zeroed record (null for the acknowledge).
    virtual void write(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* overlapped) = 0;
    // False when the query failed; counts are then meaningless.
    virtual bool queryQueues(PortHandle port, QueueCounts& counts) = 0;
    // Reads exactly count bytes that have already arrived; false on failure.
    virtual bool read(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped) = 0;
    // Clears the port's error state after a failed read.
    virtual void clearError(PortHandle port) = 0;
    // Millisecond tick, unsigned 32-bit, wrapping.
    virtual std::uint32_t tickMs() = 0;

    // Files, with the semantics of the 16-bit-compatible Windows calls.
    // Create or truncate, open for reading and writing; kFileError on failure.
    virtual FileHandle fileCreate(const char* path, std::int32_t attribute) = 0;
    // Open an existing file read-only; kFileError on failure.
    virtual FileHandle fileOpenRead(const char* path) = 0;
    // Bytes moved at the current position, or -1 on failure.
    virtual std::int32_t fileWrite(FileHandle file, const std::uint8_t* data, std::uint32_t count) = 0;
    virtual std::int32_t fileRead(FileHandle file, std::uint8_t* data, std::uint32_t count) = 0;
    virtual void fileClose(FileHandle file) = 0;
};

// The host every call goes through.
Host& current();

// The platform's own host (Win32 or POSIX).
Host& platform();

// Installs a host (nullptr restores the platform host).
void install(Host* host);

// Installs a host for the lifetime of the guard.
class ScopedHost {
public:
    explicit ScopedHost(Host& host) : previous_(&current()) { install(&host); }
    ~ScopedHost() { install(previous_); }
    ScopedHost(const ScopedHost&) = delete;
    ScopedHost& operator=(const ScopedHost&) = delete;

private:
    Host* previous_;
};

}  // namespace kavrol::host
