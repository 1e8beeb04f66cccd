// The library entry routine the Windows loader calls at load and unload. The
// library needs no set-up and no clean-up: its state starts constant.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/) { return TRUE; }
