#include "support.h"

#include <setupapi.h>

#include <algorithm>

namespace test {
namespace {
const GUID kGuid = {0x925FAD44, 0xE331, 0x4116, {0xB4, 0x09, 0x78, 0xFC, 0x2B, 0x51, 0xEA, 0x21}};
}

KeyPtr PlugKey(const keysim::KeyOptions &options) { return KeyPtr(keysim::Plug(options)); }

KeyPtr PlugKey(const std::string &serial, const keysim::Behaviour &behaviour) {
    keysim::KeyOptions o;
    o.serial = serial;
    o.behaviour = behaviour;
    return PlugKey(o);
}

keysim::Behaviour Length(uint32_t dataLength) {
    keysim::Behaviour b;
    b.mode = keysim::Mode::Length;
    b.dataLength = dataLength;
    return b;
}

std::vector<std::string> ListPresent() {
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&kGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kGuid, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        std::vector<char> buffer(size + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
            paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

bool IsListed(const std::string &path) {
    for (const std::string &p : ListPresent())
        if (p == path) return true;
    return false;
}

HANDLE Open(const std::string &path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

bool AttachTime(const std::string &path, ULONGLONG *time) {
    std::string name = path;
    name[0] = name[1] = name[3] = '#';
    std::string key = "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + std::string(keysim::kInterfaceGuid) +
                      "\\" + name + "\\Control";
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    FILETIME ft = {};
    LONG r = RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, &ft);
    RegCloseKey(h);
    *time = (ULONGLONG)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
    return r == ERROR_SUCCESS;
}

bool RegistryKeyExists(const std::string &subkey) {
    std::wstring w(subkey.begin(), subkey.end());
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, w.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

std::vector<uint8_t> Command(const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> frame(3 + payload.size());
    frame[0] = 0xA5;
    frame[1] = uint8_t(payload.size());
    frame[2] = uint8_t(payload.size() >> 8);
    std::copy(payload.begin(), payload.end(), frame.begin() + 3);
    return frame;
}

bool Send(HANDLE h, const std::vector<uint8_t> &bytes) {
    DWORD n = 0;
    return WriteFile(h, bytes.data(), DWORD(bytes.size()), &n, nullptr) && n == bytes.size();
}

bool Receive(HANDLE h, std::vector<uint8_t> *frame) {
    frame->assign(256, 0);
    DWORD n = 0;
    if (!ReadFile(h, frame->data(), 256, &n, nullptr) || n < 3) return false;
    size_t length = (*frame)[1] | (*frame)[2] << 8;
    if (length + 3 <= 256) {
        frame->resize(n);
        return n == length + 3;
    }
    if (n != 256) return false;
    DWORD rest = DWORD(length - 253);
    frame->resize(256 + rest);
    if (!ReadFile(h, frame->data() + 256, rest, &n, nullptr)) return false;
    frame->resize(256 + n);
    return n == rest;
}

bool Exchange(HANDLE h, const std::vector<uint8_t> &payload, std::vector<uint8_t> *frame) {
    return Send(h, Command(payload)) && Receive(h, frame);
}

DWORD Pending(HANDLE h) {
    DWORD available = 0;
    PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr);
    return available;
}

bool WaitPending(HANDLE h, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!Pending(h)) {
        if (GetTickCount64() > deadline) return false;
        Sleep(1);
    }
    return true;
}

namespace {
// One message from an overlapped handle, or none within timeoutMs.
bool ReadWithin(HANDLE h, HANDLE event, DWORD timeoutMs) {
    static std::vector<uint8_t> buffer(65536);
    OVERLAPPED ov = {};
    ov.hEvent = event;
    DWORD n = 0;
    if (!ReadFile(h, buffer.data(), DWORD(buffer.size()), nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return false;
    if (WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) CancelIoEx(h, &ov);
    return GetOverlappedResult(h, &ov, &n, TRUE) != FALSE;
}
}  // namespace

bool Exchanges(const std::string &path, int iterations, HANDLE lock) {
    std::vector<uint8_t> frame;
    if (lock) {
        HANDLE h = Open(path);
        bool ok = h != INVALID_HANDLE_VALUE;
        for (int i = 0; ok && i < iterations; ++i) {
            WaitForSingleObject(lock, INFINITE);
            ok = Exchange(h, {uint8_t(i)}, &frame) && frame[3] == uint8_t(i);
            ReleaseMutex(lock);
        }
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return ok;
    }
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok = h != INVALID_HANDLE_VALUE && event;
    for (int i = 0; ok && i < iterations; ++i) {
        const std::vector<uint8_t> request = Command({uint8_t(i)});
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD n = 0;
        ok = (WriteFile(h, request.data(), DWORD(request.size()), nullptr, &ov) || GetLastError() == ERROR_IO_PENDING) &&
             GetOverlappedResult(h, &ov, &n, TRUE);
        // Whatever comes, until the key falls quiet; a cancelled read is not a break.
        while (ok && ReadWithin(h, event, 30)) {
        }
        ok = ok && (GetLastError() == ERROR_OPERATION_ABORTED || GetLastError() == ERROR_MORE_DATA);
    }
    if (event) CloseHandle(event);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return ok;
}

std::string SelfDirectory() {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

int RunHere(const std::string &program, const std::string &args, DWORD timeoutMs, std::string *output) {
    std::string command = "\"" + SelfDirectory() + program + "\" " + args;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (output) {
        if (!CreatePipe(&read, &write, &inherit, 0)) return -1;
        SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = si.hStdError = write;
    }
    PROCESS_INFORMATION pi = {};
    const bool started = keysim::StartProcess(command, output != nullptr, 0, &si, &pi);
    if (write) CloseHandle(write);
    if (!started) {
        if (read) CloseHandle(read);
        return -1;
    }
    // Until the program ends, not until the pipe closes: a server it started
    // may hold the pipe for good.
    DWORD waited = WAIT_TIMEOUT;
    if (output) {
        output->clear();
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        for (bool last = false; !last;) {
            last = (waited = WaitForSingleObject(pi.hProcess, 10)) == WAIT_OBJECT_0 || GetTickCount64() > deadline;
            DWORD available = 0, n = 0;
            while (PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr) && available) {
                char chunk[1024];
                if (!ReadFile(read, chunk, available < sizeof chunk ? available : sizeof chunk, &n, nullptr)) break;
                output->append(chunk, n);
            }
        }
        CloseHandle(read);
    } else {
        waited = WaitForSingleObject(pi.hProcess, timeoutMs);
    }
    DWORD code = DWORD(-1);
    if (waited == WAIT_OBJECT_0) {
        GetExitCodeProcess(pi.hProcess, &code);
    } else {
        // A hung program must not outlive the test that started it.
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return int(code);
}

Process::Process(const std::string &program, const std::string &args) {
    std::string command = "\"" + SelfDirectory() + program + "\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (keysim::StartProcess(command, false, 0, &si, &pi)) {
        CloseHandle(pi.hThread);
        handle_ = pi.hProcess;
    }
}

Process::~Process() {
    if (!handle_) return;
    if (WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(handle_, 1);
        WaitForSingleObject(handle_, 5000);
    }
    CloseHandle(handle_);
}

bool Process::Wait(DWORD timeoutMs, DWORD *code) {
    if (!handle_ || WaitForSingleObject(handle_, timeoutMs) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(handle_, code) != 0;
}

}  // namespace test
