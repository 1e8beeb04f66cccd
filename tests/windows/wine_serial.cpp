#include "wine_serial.h"

namespace kavrol::wintest {

HANDLE openPort(const char* name, DWORD flags, Checks& checks) {
    checks.step("open and configure the port");
    HANDLE port = INVALID_HANDLE_VALUE;
    const DWORD start = ::GetTickCount();
    while (port == INVALID_HANDLE_VALUE && ::GetTickCount() - start < 10000) {
        port = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (port == INVALID_HANDLE_VALUE) ::Sleep(100);
    }
    if (!checks.check(port != INVALID_HANDLE_VALUE, "CreateFile(%s) failed, error %lu", name, ::GetLastError())) {
        return port;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    checks.check(::GetCommState(port, &dcb) != 0, "GetCommState failed");
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    // No flow control of any kind: every byte value is data.
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    checks.check(::SetCommState(port, &dcb) != 0, "SetCommState failed, error %lu", ::GetLastError());
    // The library reads only bytes that have already arrived; reads return
    // at once with what is there.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    checks.check(::SetCommTimeouts(port, &timeouts) != 0, "SetCommTimeouts failed, error %lu", ::GetLastError());
    return port;
}

long queuedInput(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status{};
    if (::ClearCommError(port, &errors, &status) == 0) return -1;
    return static_cast<long>(status.cbInQue);
}

long waitQueuedInput(HANDLE port, long count, DWORD limitMs) {
    const DWORD start = ::GetTickCount();
    long seen = queuedInput(port);
    while (seen < count && ::GetTickCount() - start < limitMs) {
        ::Sleep(10);
        seen = queuedInput(port);
    }
    return seen;
}

}  // namespace kavrol::wintest
