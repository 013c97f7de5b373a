/* Lists the attached keys, then sends one command to each and prints the
 * answer. Build against an installed Olvexlib with CMake (see CMakeLists.txt). */
#include <windows.h>

#include <stdio.h>

#include "olvexlib.h"

/* Room for the longest body any command can bring back. */
static unsigned char body[OLVEX_MAX_RESPONSE_BODY];

/* Why the last call failed: the platform's text and the code, e.g.
 * "Access is denied. (error 5)". Call it straight after the failing call,
 * before anything else can change the thread's last error. */
static const char *cause(void) {
    static char text[512];
    const DWORD code = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text,
                             sizeof text - 32, NULL);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
    snprintf(text + n, sizeof text - n, "%s(error %lu)", n ? " " : "", (unsigned long)code);
    return text;
}

int main(void) {
    int count = 0;
    if (OLVEX_EnumDEV(&count) != OLVEX_OK) {
        fprintf(stderr, "cannot list keys: %s\n", cause());
        return 1;
    }
    printf("%d key(s) attached\n", count);

    for (int i = 0; i < count; ++i) {
        OLVEX_HANDLE key = NULL;
        char path[OLVEX_PATH_SIZE] = {0}; /* zero-filled: the path is copied without terminator */
        int rc = OLVEX_Connect(&key, path, i);
        if (rc != OLVEX_OK) {
            /* OLVEX_ERR_OPEN: the key itself could not be opened (unplugged, say);
             * OLVEX_FAIL: anything else. Either way the last error says why. */
            fprintf(stderr, "key %d: cannot open: %s\n", i, cause());
            continue;
        }
        printf("key %d: %s\n", i, path);

        const unsigned char command[] = {0x80, 0xCA, 0x9F, 0x7F, 0x00};
        int length = 0;
        int status = OLVEX_DoCommand(key, command, (int)sizeof command, body, &length);
        if (status == OLVEX_FAIL) {
            fprintf(stderr, "key %d: exchange failed: %s\n", i, cause());
        } else {
            /* The status word is the key's; the library gives it no meaning. */
            printf("key %d: status %04X, %d byte(s):", i, (unsigned)status, length);
            for (int k = 0; k < length; ++k) printf(" %02X", body[k]);
            printf("\n");
        }
        OLVEX_Disconnect(key);
    }
    return 0;
}
