#include "attach_time.h"

#include "discovery/control_key.h"

namespace olvextool {

bool ReadAttachTime(const std::string &path, FILETIME *time) {
    char interfaceName[olvex::INTERFACE_NAME_SIZE];
    char key[olvex::CONTROL_KEY_PATH_SIZE];
    olvex::BuildControlKeyPath(path.c_str(), interfaceName, key);
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    const bool ok = RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, time) == ERROR_SUCCESS;
    RegCloseKey(h);
    return ok;
}

}  // namespace olvextool
