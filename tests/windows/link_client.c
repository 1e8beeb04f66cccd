/*
 * An application in C that links Kavrol32 at build time through the import
 * library and the public header: the loader's bindings must be the DLL's own
 * exports, and calls through them must work.
 */
#include <stdio.h>
#include <windows.h>

#include "kavrol32/kavrol32.h"

typedef void (*AnyFunction)(void);

int main(void) {
    const HMODULE dll = GetModuleHandleA("Kavrol32.dll");
    const struct {
        const char* name;
        AnyFunction bound;
    } entries[] = {
        {"Init_Msg_Bin", (AnyFunction)Init_Msg_Bin}, {"Get_Version", (AnyFunction)Get_Version},
        {"MuxSendComm", (AnyFunction)MuxSendComm},   {"MuxReceiveComm", (AnyFunction)MuxReceiveComm},
        {"SaveBuffer", (AnyFunction)SaveBuffer},     {"LoadBuffer", (AnyFunction)LoadBuffer},
        {"ChiudiFile", (AnyFunction)ChiudiFile},     {"ApriFile", (AnyFunction)ApriFile},
        {"CreaFile", (AnyFunction)CreaFile},         {"ShiftMask", (AnyFunction)ShiftMask},
        {"_Invia_Ack@4", (AnyFunction)Invia_Ack},
    };
    int passed = 0, failed = 0;
    for (size_t i = 0; i < sizeof entries / sizeof entries[0]; ++i) {
        const AnyFunction exported = (AnyFunction)GetProcAddress(dll, entries[i].name);
        if (dll != NULL && exported == entries[i].bound) {
            ++passed;
        } else {
            ++failed;
            printf("  FAIL %s is not bound to the DLL's export\n", entries[i].name);
        }
    }
    if (Get_Version() == 20 && ShiftMask(0x5678, 0xF0, 0x0F, 8, 0) == 0x56) {
        ++passed;
    } else {
        ++failed;
        printf("  FAIL calls through the import library give wrong results\n");
    }
    printf("link-client: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
