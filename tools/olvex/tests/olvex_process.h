// olvex.exe as the tests start it: its output in temporary files, an exit
// code, and Ctrl-C as a console delivers it.
#pragma once
#include <windows.h>

#include <string>

namespace olvextest {

struct Result {
    int code = -1;
    std::string out, err;
};

struct Running {
    PROCESS_INFORMATION pi = {};
    HANDLE out = nullptr, err = nullptr;
    std::string outName, errName;
};

// The folder of this program, where olvex.exe and keysim.exe sit.
std::string SelfDirectory();
// A temporary file, deleted when its last handle closes; inheritable.
HANDLE TempFile(std::string *nameOut = nullptr);
// All of `file` from its start; closes it.
std::string Slurp(HANDLE file);
// What a running olvex has written so far to the file `name`.
std::string Peek(const std::string &name);
// Starts olvex.exe with `args`; with a console of its own when Ctrl-C is to
// be sent to it.
Running Start(const std::string &args, bool console = false);
// Waits for it to end (killing it after timeoutMs: code -1) and collects
// everything it wrote.
Result Finish(Running &r, DWORD timeoutMs = 60000);
// Runs olvex.exe with `args` and collects everything it wrote.
Result Olvex(const std::string &args);
// Ctrl-C to every process attached to olvex's console.
bool CtrlC(const Running &r);

}  // namespace olvextest
