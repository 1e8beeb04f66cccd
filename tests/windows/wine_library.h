// The library as an application sees it: loaded with LoadLibrary, each entry
// point resolved by name and by ordinal.
#pragma once

#include <windows.h>

#include "kavrol32/kavrol32.h"
#include "wine_check.h"

namespace kavrol::wintest {

struct Library {
    HMODULE module = nullptr;
    decltype(&Init_Msg_Bin) initMsgBin = nullptr;
    decltype(&Get_Version) getVersion = nullptr;
    decltype(&MuxSendComm) muxSendComm = nullptr;
    decltype(&MuxReceiveComm) muxReceiveComm = nullptr;
    decltype(&SaveBuffer) saveBuffer = nullptr;
    decltype(&LoadBuffer) loadBuffer = nullptr;
    decltype(&ChiudiFile) chiudiFile = nullptr;
    decltype(&ApriFile) apriFile = nullptr;
    decltype(&CreaFile) creaFile = nullptr;
    decltype(&ShiftMask) shiftMask = nullptr;
    decltype(&Invia_Ack) inviaAck = nullptr;
};

// Loads the DLL by name and resolves every export; false when the library or
// any entry point is missing (the failures are recorded in `checks`).
bool loadLibrary(const char* dllName, Library& lib, Checks& checks);

// Checks the exported surface: names and ordinals give the same addresses,
// nothing is exported under names or ordinals outside the interface, and the
// small services answer as documented.
void testExportedSurface(const Library& lib, Checks& checks);

}  // namespace kavrol::wintest
