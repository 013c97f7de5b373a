#pragma once
#include "discovery/device_table.h"

namespace olvex {

// The name of a key's lock: the device path reversed, each backslash turned
// into 'a', in a zero-filled buffer of DEVICE_PATH_SIZE bytes. Other programs
// derive the same name to share the lock, so the rule never changes.
void BuildLockName(const char *path, char (&name)[DEVICE_PATH_SIZE]);

}  // namespace olvex
