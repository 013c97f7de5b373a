#include <windows.h>

#include "keysim.h"

namespace keysim {

bool StartProcess(std::string command, bool inheritHandles, unsigned long flags, void *startupInfo,
                  void *processInformation) {
    for (int attempt = 0;; ++attempt) {
        if (attempt) Sleep(DWORD(100 * attempt));
        // CreateProcessA may write into the command line: a fresh copy each time.
        std::string line = command;
        if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, inheritHandles ? TRUE : FALSE, flags, nullptr, nullptr,
                           static_cast<STARTUPINFOA *>(startupInfo),
                           static_cast<PROCESS_INFORMATION *>(processInformation)))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 4) return false;
    }
}

}  // namespace keysim
