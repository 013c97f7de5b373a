// When a key was attached. The library does not say, so this is the one place
// where the tool derives it the library's own way.
#pragma once
#include <windows.h>

#include <string>

namespace olvextool {

// The last write of the key's interface Control key; false when unreadable.
bool ReadAttachTime(const std::string &path, FILETIME *time);

}  // namespace olvextool
