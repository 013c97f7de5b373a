/* What a program written in C does with the library alone: no layer above it. */
#ifndef DLL_CALLS_H
#define DLL_CALLS_H

#include "olvexlib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A connection to the listed key with this device path; NULL if none. */
OLVEX_HANDLE CConnect(const char *path);

/* One exchange of the one-byte `command`: 0, with *own telling whether the
 * answer was its own (status 9000, body starting with the command), or the
 * error code the library gave. */
unsigned long CExchange(OLVEX_HANDLE key, unsigned char command, int *own);

#ifdef __cplusplus
}
#endif

#endif
