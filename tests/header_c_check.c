/* The public header compiles as C11 and the library links from C. */
#include <kavrol32/kavrol32.h>

#include <stdio.h>

int main(void) {
    ReplyRecord record;
    (void)record;
    if (Get_Version() != 20) {
        printf("Get_Version returned %d\n", (int)Get_Version());
        return 1;
    }
    return ShiftMask(0x5678, 0xF0, 0x0F, 8, 0) == 0x56 ? 0 : 1;
}
