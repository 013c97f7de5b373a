#pragma once
#include "discovery/device_table.h"

namespace olvex {

constexpr int INTERFACE_NAME_SIZE = 520;
constexpr int CONTROL_KEY_PATH_SIZE = 1041;

// Registry path (under HKLM) of the Control key whose last-write time dates
// the key's attachment, and the interface name it contains: the device path
// with characters 0, 1 and 3 turned into '#' ("\\?\" becomes "##?#").
void BuildControlKeyPath(const char *path, char (&interfaceName)[INTERFACE_NAME_SIZE],
                         char (&keyPath)[CONTROL_KEY_PATH_SIZE]);

}  // namespace olvex
