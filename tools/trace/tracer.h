// Shared by the tracer DLL's two modes: forwarding to the real library
// (tracer.cpp) and replaying a trace in its place (replay.cpp).
#pragma once
#include <windows.h>

#include <cstdint>

#include "olvexlib.h"

namespace olvextracer {

// One line through OutputDebugString, prefixed "olvex trace: ".
void Say(const char *text);
// An environment variable into `out`; false when unset or too long.
bool Variable(const wchar_t *name, wchar_t *out, DWORD size);
// Whether an environment variable is "1".
bool Enabled(const wchar_t *name);

// When a call began: wall clock for the record, a counter for its duration.
struct Timing {
    uint64_t startUs;  // since 1970, UTC
    LARGE_INTEGER counter;
};
Timing Begin();
uint32_t ElapsedUs(const Timing &t);

// Replay: false (having said why) when the trace cannot be read at all; the
// four calls then fail with *error.
bool StartReplay(const wchar_t *file, DWORD *error);
int ReplayEnumDev(int *count);
int ReplayConnect(OLVEX_HANDLE *connection, char *pathOut, int index);
int ReplayDoCommand(OLVEX_HANDLE connection, const unsigned char *command, int commandLength,
                    unsigned char *response, int *responseLength);
int ReplayDisconnect(OLVEX_HANDLE connection);

}  // namespace olvextracer
