#include "wine_library.h"

#include <cstdint>
#include <initializer_list>

namespace kavrol::wintest {

namespace {

struct ExportName {
    const char* name;
    WORD ordinal;
};

constexpr ExportName kExports[] = {
    {"Init_Msg_Bin", 1}, {"Get_Version", 2}, {"MuxSendComm", 3},   {"MuxReceiveComm", 4},
    {"SaveBuffer", 5},   {"LoadBuffer", 6},  {"ChiudiFile", 7},    {"ApriFile", 8},
    {"CreaFile", 9},     {"ShiftMask", 10},  {"_Invia_Ack@4", 11},
};

FARPROC byOrdinal(HMODULE module, WORD ordinal) {
    return ::GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal)));
}

// Function pointers pass through the one generic function type that the
// compiler accepts as compatible with every other.
template <typename Fn>
void assign(Fn& target, FARPROC proc) {
    target = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

bool loadLibrary(const char* dllName, Library& lib, Checks& checks) {
    checks.step("load the library and resolve every export by name and by ordinal");
    lib.module = ::LoadLibraryA(dllName);
    if (!checks.check(lib.module != nullptr, "LoadLibrary(%s) failed, error %lu", dllName, ::GetLastError())) {
        return false;
    }
    FARPROC procs[11] = {};
    bool complete = true;
    for (unsigned i = 0; i < 11; ++i) {
        const ExportName& e = kExports[i];
        procs[i] = ::GetProcAddress(lib.module, e.name);
        const FARPROC viaOrdinal = byOrdinal(lib.module, e.ordinal);
        complete &= checks.check(procs[i] != nullptr, "%s is not exported by name", e.name);
        checks.check(viaOrdinal == procs[i], "ordinal %u does not resolve to %s", e.ordinal, e.name);
    }
    if (!complete) return false;
    assign(lib.initMsgBin, procs[0]);
    assign(lib.getVersion, procs[1]);
    assign(lib.muxSendComm, procs[2]);
    assign(lib.muxReceiveComm, procs[3]);
    assign(lib.saveBuffer, procs[4]);
    assign(lib.loadBuffer, procs[5]);
    assign(lib.chiudiFile, procs[6]);
    assign(lib.apriFile, procs[7]);
    assign(lib.creaFile, procs[8]);
    assign(lib.shiftMask, procs[9]);
    assign(lib.inviaAck, procs[10]);
    return true;
}

void testExportedSurface(const Library& lib, Checks& checks) {
    checks.step("exported surface");
    // The acknowledge exists only under its decorated name; ordinals stop at 11.
    for (const char* absent : {"Invia_Ack", "Invia_Ack@4", "_Init_Msg_Bin@12", "DllMain"}) {
        checks.check(::GetProcAddress(lib.module, absent) == nullptr, "%s must not be exported", absent);
    }
    checks.check(byOrdinal(lib.module, 12) == nullptr, "ordinal 12 must not exist");
    checks.equal(lib.getVersion(), 20, "Get_Version");

    checks.step("ShiftMask through the DLL");
    struct Case {
        std::int32_t value;
        std::uint32_t maskA, maskB, count, direction;
        std::int32_t want;
    };
    const Case cases[] = {
        {0x5678, 0xF0, 0x0F, 8, 0, 0x56}, {-256, 0xFFFFFFFFU, 0, 4, 0, -16}, {1, 0, 0xFFFFFFFFU, 31, 1, INT32_MIN},
        {1, 0, 0xFFFFFFFFU, 33, 1, 2},    {0x5678, 0x0F, 0xF0, 4, 2, 0x78},  {0x7FFFFFFF, 0, 0, 3, 1, 0},
    };
    for (const Case& c : cases) {
        checks.equal(lib.shiftMask(c.value, c.maskA, c.maskB, c.count, c.direction), c.want, "ShiftMask");
    }
}

}  // namespace kavrol::wintest
