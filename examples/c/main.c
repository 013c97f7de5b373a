/* Lists the attached keys, then sends one command to each and prints the
 * answer. Build against an installed Olvexlib with CMake (see CMakeLists.txt). */
#include <stdio.h>

#include "olvexlib.h"

/* Room for the longest body any command can bring back. */
static unsigned char body[OLVEX_MAX_RESPONSE_BODY];

int main(void) {
    int count = 0;
    if (OLVEX_EnumDEV(&count) != OLVEX_OK) {
        fprintf(stderr, "cannot list keys\n");
        return 1;
    }
    printf("%d key(s) attached\n", count);

    for (int i = 0; i < count; ++i) {
        OLVEX_HANDLE key = NULL;
        char path[OLVEX_PATH_SIZE] = {0}; /* zero-filled: the path is copied without terminator */
        int rc = OLVEX_Connect(&key, path, i);
        if (rc == OLVEX_ERR_OPEN) {
            fprintf(stderr, "key %d: cannot be opened (unplugged?)\n", i);
            continue;
        }
        if (rc != OLVEX_OK) {
            fprintf(stderr, "key %d: cannot connect\n", i);
            continue;
        }
        printf("key %d: %s\n", i, path);

        const unsigned char command[] = {0x80, 0xCA, 0x9F, 0x7F, 0x00};
        int length = 0;
        int status = OLVEX_DoCommand(key, command, (int)sizeof command, body, &length);
        if (status == OLVEX_FAIL) {
            fprintf(stderr, "key %d: exchange failed\n", i);
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
