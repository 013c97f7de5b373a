#include "connection/lock_name.h"

#include <cstring>

namespace olvex {

void BuildLockName(const char *path, char (&name)[DEVICE_PATH_SIZE]) {
    std::memset(name, 0, sizeof name);
    const size_t length = strnlen(path, DEVICE_PATH_SIZE - 1);
    for (size_t i = 0; i < length; ++i) {
        const char c = path[length - 1 - i];
        name[i] = c == '\\' ? 'a' : c;
    }
}

}  // namespace olvex
