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

// What a port wait is waiting for, with the counts of the last look.
struct PortWait {
    enum class Kind : std::uint8_t { Input, OutputEmpty };
    Kind kind = Kind::Input;
    std::uint32_t queued = 0;  // Input: bytes queued; OutputEmpty: bytes still to send
    std::uint32_t wanted = 0;  // Input: bytes the read needs
    std::uint32_t pass = 0;    // waits already made by this loop (0: the first)
    std::uint32_t stalls = 0;  // looks in a row, before this one, that found the same count
};

// How a wait or a bounded transfer ended.
enum class PortOutcome : std::uint8_t {
    Done,      // transfer complete, or the wait is over: look at the queues again
    Failed,    // the call failed (a read failure)
    TimedOut,  // the time budget ran out before the transfer was complete
    Lost,      // the port hung up or vanished: no later call can succeed
    Unserved,  // the host cannot make this call on this port: the caller does without it
};

// Millisecond budget that never runs out.
inline constexpr std::uint32_t kNoDeadline = 0xFFFFFFFFU;

class Host {
public:
    virtual ~Host() = default;

    // Serial port. The handle is never null here (except for waitPort): the
    // link layer keeps every call away from an unbound port. budgetMs is the
    // time left until the current wait's deadline (kNoDeadline: none); no
    // call blocks much past it.
    virtual void purge(PortHandle port, std::uint32_t flags) = 0;
    // Hands the block to the driver. Done once every byte went out; TimedOut
    // when the line took no more within the budget (the rest stays unsent).
    // overlapped is the link's one zeroed record (null for the acknowledge).
    virtual PortOutcome write(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* overlapped,
                              std::uint32_t budgetMs) = 0;
    // False when the query failed; counts are then meaningless.
    virtual bool queryQueues(PortHandle port, QueueCounts& counts) = 0;
    // The one count a wait looks at (Input: bytes queued; OutputEmpty:
    // bytes still to send); false when the query failed. By default taken
    // from queryQueues; a host that needs a system call per count overrides
    // it to make only the one.
    virtual bool queryQueue(PortHandle port, PortWait::Kind kind, std::uint32_t& count);
    // Reads exactly count bytes that the queue count says have arrived.
    // Bytes missing after all (another reader took them) are waited for
    // until the budget runs out; then Failed.
    virtual PortOutcome read(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                             std::uint32_t budgetMs) = 0;
    // Reads count bytes as they arrive, the driver waiting for them for at
    // most budgetMs (kNoDeadline: no limit): Done with all of them, TimedOut
    // with fewer, Failed or Lost. `got` receives the bytes read in every
    // case (a time-out consumes what did arrive). Unserved (the default)
    // when the host cannot bound such a read on this port: the caller then
    // waits on the queue counts and reads with read().
    virtual PortOutcome receive(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                                std::uint32_t budgetMs, std::uint32_t& got);
    // Blocks until the queue counts may have moved towards what `wait` asks
    // for, the port hung up (Lost), or about budgetMs have passed (0: the
    // last millisecond, a short sleep); Done otherwise. It may return early;
    // the caller looks at the queues again.
    // A null port has nothing to watch: the call only sleeps.
    virtual PortOutcome waitPort(PortHandle port, const PortWait& wait, std::uint32_t budgetMs) = 0;
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
