// The application's side of the serial port: it opens and configures the
// port itself and hands the handle to the library.
#pragma once

#include <windows.h>

#include <cstdint>

#include "wine_check.h"

namespace kavrol::wintest {

// Opens the port (retrying for a while: the system may still be creating
// its device link) and sets 9600 8N1 without flow control, reads that
// return at once. `flags` go to CreateFile (FILE_FLAG_OVERLAPPED or 0).
// INVALID_HANDLE_VALUE on failure.
HANDLE openPort(const char* name, DWORD flags, Checks& checks);

// Bytes received and waiting to be read, as ClearCommError reports them;
// -1 when the query fails.
long queuedInput(HANDLE port);

// Waits until at least `count` bytes are queued for reading, for at most
// `limitMs`; returns the last count seen.
long waitQueuedInput(HANDLE port, long count, DWORD limitMs);

}  // namespace kavrol::wintest
