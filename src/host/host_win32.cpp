// Win32 host: the serial and 16-bit-compatible file calls of the system.
#include "host/host.h"

#include <windows.h>

namespace kavrol::host {

namespace {

static_assert(sizeof(OVERLAPPED) <= kOverlappedSize, "link state holds an OVERLAPPED");

class Win32Host final : public Host {
public:
    void purge(PortHandle port, std::uint32_t flags) override { ::PurgeComm(port, flags); }

    void write(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* overlapped) override {
        DWORD written = 0;
        ::WriteFile(port, bytes, count, &written, static_cast<OVERLAPPED*>(overlapped));
    }

    bool queryQueues(PortHandle port, QueueCounts& counts) override {
        DWORD errors = 0;
        COMSTAT status{};
        if (::ClearCommError(port, &errors, &status) == 0) return false;
        counts.inQueue = status.cbInQue;
        counts.outQueue = status.cbOutQue;
        return true;
    }

    bool read(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped) override {
        DWORD got = 0;
        return ::ReadFile(port, dest, count, &got, static_cast<OVERLAPPED*>(overlapped)) != 0;
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
