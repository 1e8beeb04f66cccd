/* The public headers compile as C11 and the library links from C. */
#include <kavrol32/kavrol32.h>
#include <kavrol32/link.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    ReplyRecord record;
    (void)record;
    if (Get_Version() != 20) {
        printf("Get_Version returned %d\n", (int)Get_Version());
        return 1;
    }
    KavrolLink link;
    KavrolCommand command = {0};
    command.command = 5;
    if (kavrol_link_init(&link, NULL, 0) != 1 || kavrol_link_send(&link, &command) != KAVROL_E_TIMEOUT ||
        strcmp(kavrol_result_name(KAVROL_E_TIMEOUT), "timeout") != 0) {
        printf("link API from C failed\n");
        return 1;
    }
    return ShiftMask(0x5678, 0xF0, 0x0F, 8, 0) == 0x56 ? 0 : 1;
}
