// Win32 host: the serial and 16-bit-compatible file calls of the system.
#include "host/host.h"

#include <windows.h>

namespace kavrol::host {

namespace {

static_assert(sizeof(OVERLAPPED) <= kOverlappedSize, "link state holds an OVERLAPPED");

// Waits of a loop that only yield before the loop starts to sleep: a few
// character times at usual line speeds, enough for an instantly answering
// peer. Later waits sleep 1 ms steps (the system's timer resolution is left
// as it is, so a step may last up to one scheduler tick).
constexpr std::uint32_t kYieldingWaits = 64;

bool isLostError(DWORD error) {
    return error == ERROR_INVALID_HANDLE || error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_ACCESS_DENIED || error == ERROR_FILE_NOT_FOUND || error == ERROR_GEN_FAILURE;
}

// Bounds a ReadFile or WriteFile by the budget through the port's
// time-outs; restoreTimeouts puts the application's back afterwards. A
// handle that has no comm time-outs is left alone. (Plain calls, no RAII
// guard: a destructor on this path would pull the C++ runtime's unwinding
// support into the DLL.)
struct SavedTimeouts {
    COMMTIMEOUTS previous{};
    bool saved = false;
};

SavedTimeouts boundTimeouts(HANDLE port, bool forRead, std::uint32_t budgetMs) {
    SavedTimeouts s;
    s.saved = ::GetCommTimeouts(port, &s.previous) != 0;
    if (!s.saved) return s;
    COMMTIMEOUTS bounded = s.previous;
    const DWORD total = budgetMs == kNoDeadline ? 0 : budgetMs;
    if (forRead) {
        bounded.ReadIntervalTimeout = 0;
        bounded.ReadTotalTimeoutMultiplier = 0;
        bounded.ReadTotalTimeoutConstant = total;
    } else {
        bounded.WriteTotalTimeoutMultiplier = 0;
        bounded.WriteTotalTimeoutConstant = total;
    }
    ::SetCommTimeouts(port, &bounded);
    return s;
}

void restoreTimeouts(HANDLE port, SavedTimeouts& s) {
    if (s.saved) ::SetCommTimeouts(port, &s.previous);
}

class Win32Host final : public Host {
public:
    void purge(PortHandle port, std::uint32_t flags) override { ::PurgeComm(port, flags); }

    PortOutcome write(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* overlapped,
                      std::uint32_t budgetMs) override {
        DWORD written = 0;
        SavedTimeouts saved = boundTimeouts(port, false, budgetMs);
        const BOOL ok = ::WriteFile(port, bytes, count, &written, static_cast<OVERLAPPED*>(overlapped));
        const DWORD error = ok == 0 ? ::GetLastError() : 0;
        restoreTimeouts(port, saved);
        if (ok == 0) {
            // A port opened for overlapped I/O goes on in the background;
            // the output-empty wait judges it.
            if (error == ERROR_IO_PENDING) return PortOutcome::Done;
            return isLostError(error) ? PortOutcome::Lost : PortOutcome::Failed;
        }
        return written == count ? PortOutcome::Done : PortOutcome::TimedOut;
    }

    bool queryQueues(PortHandle port, QueueCounts& counts) override {
        DWORD errors = 0;
        COMSTAT status{};
        if (::ClearCommError(port, &errors, &status) == 0) return false;
        counts.inQueue = status.cbInQue;
        counts.outQueue = status.cbOutQue;
        return true;
    }

    PortOutcome read(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                     std::uint32_t budgetMs) override {
        DWORD got = 0;
        SavedTimeouts saved = boundTimeouts(port, true, budgetMs);
        const BOOL ok = ::ReadFile(port, dest, count, &got, static_cast<OVERLAPPED*>(overlapped));
        const DWORD error = ok == 0 ? ::GetLastError() : 0;
        restoreTimeouts(port, saved);
        if (ok == 0) return isLostError(error) ? PortOutcome::Lost : PortOutcome::Failed;
        // Fewer bytes by the deadline: another reader took the rest.
        return got == count ? PortOutcome::Done : PortOutcome::Failed;
    }

    PortOutcome waitPort(PortHandle port, const PortWait& wait, std::uint32_t budgetMs) override {
        if (wait.pass < kYieldingWaits) {
            ::SwitchToThread();
            return PortOutcome::Done;
        }
        if (port != nullptr) {
            DWORD errors = 0;
            COMSTAT status{};
            if (::ClearCommError(port, &errors, &status) == 0 && isLostError(::GetLastError())) {
                return PortOutcome::Lost;
            }
        }
        ::Sleep(budgetMs < 1 ? 0 : 1);
        return PortOutcome::Done;
    }

    void clearError(PortHandle port) override {
        DWORD errors = 0;
        COMSTAT status{};
        ::ClearCommError(port, &errors, &status);
    }

    std::uint32_t tickMs() override { return ::GetTickCount(); }

    FileHandle fileCreate(const char* path, std::int32_t attribute) override {
        return static_cast<FileHandle>(::_lcreat(path, attribute));
    }

    FileHandle fileOpenRead(const char* path) override {
        return static_cast<FileHandle>(::_lopen(path, OF_READ));
    }

    std::int32_t fileWrite(FileHandle file, const std::uint8_t* data, std::uint32_t count) override {
        const UINT n = ::_lwrite(file, reinterpret_cast<LPCCH>(data), count);
        return n == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<std::int32_t>(n);
    }

    std::int32_t fileRead(FileHandle file, std::uint8_t* data, std::uint32_t count) override {
        const UINT n = ::_lread(file, data, count);
        return n == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<std::int32_t>(n);
    }

    void fileClose(FileHandle file) override { ::_lclose(file); }
};

// Constant-initialized at load: no first-use guard, which would pull the
// C++ runtime's locking and exception machinery into the DLL.
constinit Win32Host g_platformHost;

}  // namespace

Host& platform() { return g_platformHost; }

}  // namespace kavrol::host
