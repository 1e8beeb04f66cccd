// Win32 host: the serial and 16-bit-compatible file calls of the system.
#include "host/host.h"
#include "host/win32_port.h"

#include <bit>

#include <windows.h>

namespace kavrol::host {

namespace {

static_assert(sizeof(OVERLAPPED) <= kOverlappedSize, "link state holds an OVERLAPPED");

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

bool isLostError(DWORD error) {
    return error == ERROR_INVALID_HANDLE || error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_ACCESS_DENIED || error == ERROR_FILE_NOT_FOUND || error == ERROR_GEN_FAILURE;
}

win32::Transfer failure(DWORD error, DWORD done) {
    win32::Transfer t;
    t.status = isLostError(error) ? win32::Transfer::Status::Lost : win32::Transfer::Status::Failed;
    t.done = done;
    return t;
}

// Runs one ReadFile or WriteFile (`call`) with the link's OVERLAPPED record.
// On a handle opened for overlapped I/O the call may stay pending: with
// `complete` it is waited for on an event of its own until the driver ends
// it (by the time-outs the caller set), and the record is zeroed again;
// without, it is left running, as is the record. A handle opened without
// FILE_FLAG_OVERLAPPED completes the call before it returns.
template <typename Call>
win32::Transfer transfer(HANDLE port, void* record, bool complete, Call call) {
    auto* overlapped = static_cast<OVERLAPPED*>(record);
    // A call that comes without a record (the acknowledge) gets one of its
    // own when it is waited for here: a handle opened for overlapped I/O
    // needs one.
    OVERLAPPED local{};
    if (overlapped == nullptr && complete) overlapped = &local;
    HANDLE event = nullptr;
    if (complete && overlapped != nullptr) {
        event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        overlapped->hEvent = event;  // null if that failed: the port handle is signalled instead
    }
    DWORD done = 0;
    BOOL ok = call(overlapped, &done);
    DWORD error = ok == 0 ? ::GetLastError() : 0;
    win32::Transfer t;
    if (ok == 0 && error == ERROR_IO_PENDING) {
        if (!complete) {
            t.status = win32::Transfer::Status::Pending;
            return t;
        }
        ok = ::GetOverlappedResult(port, overlapped, &done, TRUE);
        error = ok == 0 ? ::GetLastError() : 0;
    }
    if (overlapped != nullptr && complete) *overlapped = OVERLAPPED{};
    if (event != nullptr) ::CloseHandle(event);
    // A transfer the port's time-outs ended is a short one, not a failure,
    // whichever way the system reports the time-out.
    const bool timedOut = error == ERROR_TIMEOUT || error == WAIT_TIMEOUT || error == ERROR_SEM_TIMEOUT;
    if (ok == 0 && !timedOut) return failure(error, done);
    t.done = done;
    return t;
}

// The system's serial, tick and sleep calls for win32::PortHost.
struct SystemCalls {
    void purge(PortHandle port, std::uint32_t flags) { ::PurgeComm(port, flags); }

    bool clearError(PortHandle port, QueueCounts& counts, bool& lost) {
        DWORD errors = 0;
        COMSTAT status{};
        if (::ClearCommError(port, &errors, &status) == 0) {
            lost = isLostError(::GetLastError());
            return false;
        }
        counts.inQueue = status.cbInQue;
        counts.outQueue = status.cbOutQue;
        return true;
    }

    bool getTimeouts(PortHandle port, win32::CommTimeouts& t) {
        COMMTIMEOUTS c{};
        if (::GetCommTimeouts(port, &c) == 0) return false;
        t.readInterval = c.ReadIntervalTimeout;
        t.readMultiplier = c.ReadTotalTimeoutMultiplier;
        t.readConstant = c.ReadTotalTimeoutConstant;
        t.writeMultiplier = c.WriteTotalTimeoutMultiplier;
        t.writeConstant = c.WriteTotalTimeoutConstant;
        return true;
    }

    bool setTimeouts(PortHandle port, const win32::CommTimeouts& t) {
        COMMTIMEOUTS c{};
        c.ReadIntervalTimeout = t.readInterval;
        c.ReadTotalTimeoutMultiplier = t.readMultiplier;
        c.ReadTotalTimeoutConstant = t.readConstant;
        c.WriteTotalTimeoutMultiplier = t.writeMultiplier;
        c.WriteTotalTimeoutConstant = t.writeConstant;
        return ::SetCommTimeouts(port, &c) != 0;
    }

    bool lineFormat(PortHandle port, win32::LineFormat& line) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (::GetCommState(port, &dcb) == 0 || dcb.BaudRate == 0) return false;
        line.baud = dcb.BaudRate;
        line.bitsPerChar = win32::bitsPerChar(dcb.ByteSize, dcb.Parity, dcb.StopBits);
        return true;
    }

    win32::Transfer readFile(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                             bool complete) {
        return transfer(port, overlapped, complete,
                        [&](OVERLAPPED* o, DWORD* done) { return ::ReadFile(port, dest, count, done, o); });
    }

    win32::Transfer writeFile(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* overlapped,
                              bool complete) {
        return transfer(port, overlapped, complete,
                        [&](OVERLAPPED* o, DWORD* done) { return ::WriteFile(port, bytes, count, done, o); });
    }

    std::uint32_t tickMs() { return ::GetTickCount(); }
    void yield() { ::SwitchToThread(); }
    void sleepMs(std::uint32_t ms) { ::Sleep(ms); }

    // A high-resolution waitable timer of its own for this one sleep. The
    // creation call is looked up at run time, so that the DLL still loads
    // on systems without it; systems that know the call but not the
    // high-resolution flag refuse the creation. Either way: false.
    bool sleepPreciseUs(std::uint32_t us) {
        using CreateTimer = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD);
        const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        const FARPROC found = kernel != nullptr ? ::GetProcAddress(kernel, "CreateWaitableTimerExW") : nullptr;
        if (found == nullptr) return false;
        const auto create = std::bit_cast<CreateTimer>(found);
        const HANDLE timer = create(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (timer == nullptr) return false;
        LARGE_INTEGER due{};
        due.QuadPart = -static_cast<LONGLONG>(us) * 10;  // relative, 100 ns units
        const bool slept = ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != 0 &&
                           ::WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
        ::CloseHandle(timer);
        return slept;
    }
};

class Win32Host final : public win32::PortHost<SystemCalls> {
public:
    FileHandle fileCreate(const char* path, std::int32_t attribute) override {
        return static_cast<FileHandle>(::_lcreat(path, attribute));
    }

    FileHandle fileOpenRead(const char* path) override { return static_cast<FileHandle>(::_lopen(path, OF_READ)); }

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
