#include "discovery/control_key.h"

#include <cstring>

namespace olvex {

namespace {
constexpr char kClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{925fad44-e331-4116-b409-78fc2b51ea21}\\";
constexpr char kControl[] = "\\Control";
static_assert(sizeof kClassKey - 1 + DEVICE_PATH_SIZE - 1 + sizeof kControl <= CONTROL_KEY_PATH_SIZE,
              "a path that fits the table must fit the key path");
}  // namespace

void BuildControlKeyPath(const char *path, char (&interfaceName)[INTERFACE_NAME_SIZE],
                         char (&keyPath)[CONTROL_KEY_PATH_SIZE]) {
    std::memset(interfaceName, 0, sizeof interfaceName);
    std::memset(keyPath, 0, sizeof keyPath);
    const size_t length = strnlen(path, DEVICE_PATH_SIZE - 1);
    std::memcpy(interfaceName, path, length);
    // "\\?\" becomes "##?#"; the '?' at position 2 stays.
    static const size_t kMarked[] = {0, 1, 3};
    for (size_t i : kMarked) {
        if (i < length) interfaceName[i] = '#';
    }
    char *out = keyPath;
    std::memcpy(out, kClassKey, sizeof kClassKey - 1);
    out += sizeof kClassKey - 1;
    std::memcpy(out, interfaceName, length);
    out += length;
    std::memcpy(out, kControl, sizeof kControl - 1);
}

}  // namespace olvex
