// End-to-end test of the DLL as an application uses it: loaded at run time,
// bound to a serial port the application opened, with a device on the far
// end of the line, and the file calls on a real drive.
//
// Usage: kavrol_wine_test [PORT [DIR]]   defaults \\.\COM1 and C:\kavrol
#include <windows.h>

#include <initializer_list>

#include "wine_check.h"
#include "wine_files.h"
#include "wine_library.h"
#include "wine_serial.h"
#include "wine_transactions.h"

int main(int argc, char** argv) {
    using namespace kavrol::wintest;
    const char* portName = argc > 1 ? argv[1] : "\\\\.\\COM1";
    const char* dir = argc > 2 ? argv[2] : "C:\\kavrol";
    Checks checks;
    Library lib;
    if (loadLibrary("Kavrol32.dll", lib, checks)) {
        testExportedSurface(lib, checks);
        // The same transactions on a port opened for plain and for
        // overlapped I/O; the peer plays its script once for each.
        for (const DWORD flags : {DWORD{0}, DWORD{FILE_FLAG_OVERLAPPED}}) {
            checks.step(flags == 0 ? "port opened without FILE_FLAG_OVERLAPPED"
                                   : "port opened with FILE_FLAG_OVERLAPPED");
            const HANDLE port = openPort(portName, flags, checks);
            if (port == INVALID_HANDLE_VALUE) break;
            testTransactions(lib, port, checks);
            ::CloseHandle(port);
        }
        testFileCalls(lib, dir, checks);
        ::FreeLibrary(lib.module);
    }
    return checks.finish();
}
