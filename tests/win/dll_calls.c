#include <windows.h>

#include "dll_calls.h"

OLVEX_HANDLE CConnect(const char *path) {
    int count = 0, i;
    if (OLVEX_EnumDEV(&count) != OLVEX_OK) return NULL;
    for (i = 0; i < count; ++i) {
        char found[OLVEX_PATH_SIZE + 1] = {0};
        OLVEX_HANDLE key = NULL;
        if (OLVEX_Connect(&key, found, i) != OLVEX_OK) continue;
        if (lstrcmpiA(found, path) == 0) return key;
        OLVEX_Disconnect(key);
    }
    return NULL;
}

unsigned long CExchange(OLVEX_HANDLE key, unsigned char command, int *own) {
    unsigned char body[OLVEX_MAX_RESPONSE_BODY];
    int length = 0;
    const int status = OLVEX_DoCommand(key, &command, 1, body, &length);
    *own = 0;
    if (status == OLVEX_FAIL) return GetLastError();
    *own = status == 0x9000 && length > 0 && body[0] == command;
    return 0;
}
