// Starting olvex.exe from the tests and collecting what it wrote.
#include "olvex_process.h"

#include <gtest/gtest.h>

#include "keysim.h"

namespace olvextest {

std::string SelfDirectory() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

HANDLE TempFile(std::string *nameOut) {
    char dir[MAX_PATH], name[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "olx", 0, name);
    if (nameOut) *nameOut = name;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &sa, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

std::string Slurp(HANDLE file) {
    std::string text;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char chunk[4096];
    DWORD n;
    while (ReadFile(file, chunk, sizeof chunk, &n, nullptr) && n) text.append(chunk, n);
    CloseHandle(file);
    return text;
}

// What a running olvex has written so far, through a handle of our own: the
// child's shares its file position with the one we gave it.
std::string Peek(const std::string &name) {
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "";
    return Slurp(h);
}


// Starts olvex.exe with `args`; with a console of its own when Ctrl-C is to
// be sent to it.
Running Start(const std::string &args, bool console) {
    Running r;
    r.out = TempFile(&r.outName);
    r.err = TempFile(&r.errName);
    std::string command = "\"" + SelfDirectory() + "olvex.exe\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = r.out;
    si.hStdError = r.err;
    if (!keysim::StartProcess(command, true, console ? CREATE_NEW_CONSOLE : 0, &si, &r.pi)) {
        ADD_FAILURE() << "cannot start olvex: " << GetLastError();
    }
    return r;
}

// Waits for it to end (killing it after timeoutMs: code -1) and collects
// everything it wrote.
Result Finish(Running &r, DWORD timeoutMs) {
    Result result;
    if (r.pi.hProcess) {
        DWORD code = DWORD(-1);
        if (WaitForSingleObject(r.pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
            GetExitCodeProcess(r.pi.hProcess, &code);
        } else {
            // A hung olvex.exe must not outlive its test.
            TerminateProcess(r.pi.hProcess, DWORD(-1));
            WaitForSingleObject(r.pi.hProcess, 5000);
        }
        result.code = int(code);
        CloseHandle(r.pi.hThread);
        CloseHandle(r.pi.hProcess);
    }
    result.out = Slurp(r.out);
    result.err = Slurp(r.err);
    return result;
}

// Runs olvex.exe with `args` and collects everything it wrote.
Result Olvex(const std::string &args) {
    Running r = Start(args);
    return Finish(r);
}

namespace {
BOOL WINAPI Swallow(DWORD) { return TRUE; }
}  // namespace

// Ctrl-C as a console delivers it, to every process attached to olvex's
// console. This one swallows it for good, as a late delivery must not end it;
// with a handler, not by ignoring Ctrl-C, which later children would inherit.
bool CtrlC(const Running &r) {
    static const BOOL swallowing = SetConsoleCtrlHandler(Swallow, TRUE);
    FreeConsole();
    const bool sent = swallowing && AttachConsole(r.pi.dwProcessId) && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
    return sent;
}

}  // namespace olvextest
