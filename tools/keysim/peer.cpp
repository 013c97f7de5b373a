#include "peer.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace peer {

bool Number(const std::string &s, int base, unsigned long max, unsigned long *out) {
    char *end = nullptr;
    unsigned long v = strtoul(s.c_str(), &end, base);
    if (s.empty() || *end || v > max) return false;
    *out = v;
    return true;
}

namespace {

bool Bytes(const std::string &s, std::vector<uint8_t> *out) {
    std::string digits;
    for (char c : s)
        if (c != ' ') digits += c;
    if (digits.empty() || digits.size() % 2 || digits.size() / 2 > 0xFFFF) return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        unsigned long v;
        if (!Number(digits.substr(i, 2), 16, 0xFF, &v)) return false;
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// Opens the lock, or creates it as the library does: with a null DACL, so
// that every account can open it.
HANDLE OpenLock(const std::string &name) {
    HANDLE lock = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    if (lock || GetLastError() != ERROR_FILE_NOT_FOUND) return lock;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
        return nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    return CreateMutexA(&attributes, FALSE, name.c_str());
}

std::string Path(const Options &o) { return keysim::MakeDevicePath(o.serial, o.vid, o.pid); }

std::string Hex(const uint8_t *bytes, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof two, "%02x", bytes[i]);
        s += two;
    }
    return s;
}

// Ends the calling thread's blocked pipe reads once `ms` have passed, until
// told to stop: a cancel that lands before a read starts is lost, so it
// repeats.
class Watchdog {
public:
    explicit Watchdog(DWORD ms) : ms_(ms) {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &target_, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = target_ && stop_ ? CreateThread(nullptr, 0, Run, this, 0, nullptr) : nullptr;
    }
    ~Watchdog() {
        if (stop_) SetEvent(stop_);
        if (thread_) {
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
        }
        if (stop_) CloseHandle(stop_);
        if (target_) CloseHandle(target_);
    }

private:
    static DWORD WINAPI Run(void *arg) {
        Watchdog *w = static_cast<Watchdog *>(arg);
        if (WaitForSingleObject(w->stop_, w->ms_) != WAIT_TIMEOUT) return 0;
        do CancelSynchronousIo(w->target_);
        while (WaitForSingleObject(w->stop_, 10) == WAIT_TIMEOUT);
        return 0;
    }
    DWORD ms_;
    HANDLE target_ = nullptr, stop_ = nullptr, thread_ = nullptr;
};

bool Send(HANDLE key, const std::vector<uint8_t> &payload, std::string *why) {
    std::vector<uint8_t> request = {0xA5, static_cast<uint8_t>(payload.size()),
                                    static_cast<uint8_t>(payload.size() >> 8)};
    request.insert(request.end(), payload.begin(), payload.end());
    DWORD n = 0;
    if (WriteFile(key, request.data(), DWORD(request.size()), &n, nullptr) && n == request.size()) return true;
    *why = "cannot write the command (error " + std::to_string(GetLastError()) + ")";
    return false;
}

// One exchange on an open key, as a client of the key must read it: 256
// bytes first, then exactly the rest of a long frame. False with `why` set
// when it went wrong.
bool Ask(HANDLE key, const std::vector<uint8_t> &payload, DWORD timeoutMs, std::vector<uint8_t> *frame,
         std::string *why) {
    if (!Send(key, payload, why)) return false;
    DWORD n = 0;
    Watchdog watchdog(timeoutMs);
    frame->assign(256, 0);
    if (!ReadFile(key, frame->data(), 256, &n, nullptr) && GetLastError() != ERROR_MORE_DATA) {
        *why = GetLastError() == ERROR_OPERATION_ABORTED
                   ? "no answer within " + std::to_string(timeoutMs) + " ms"
                   : "cannot read the answer (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (n < 3) {
        *why = "an answer of " + std::to_string(n) + " bytes";
        return false;
    }
    const size_t length = (*frame)[1] | (*frame)[2] << 8;
    if (length < 254) {
        frame->resize(n);
        return true;
    }
    const DWORD rest = DWORD(3 + length - 256), first = n;
    frame->resize(256 + rest);
    if (first != 256 || !ReadFile(key, frame->data() + 256, rest, &n, nullptr) || n != rest) {
        *why = first != 256 ? "a long answer whose first read brought " + std::to_string(first) + " bytes"
                            : "the rest of a long answer did not come whole (error " +
                                  std::to_string(GetLastError()) + ")";
        return false;
    }
    return true;
}

}  // namespace

bool Parse(const std::string &command, const std::vector<std::string> &args, Options *o, std::string *error) {
    bool haveMs = false, haveRequests = false, havePayload = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a.compare(0, 2, "--") != 0) {
            if (command != "exchange" || havePayload || !Bytes(a, &o->payload)) {
                *error = command == "exchange" ? "bad or second command bytes: " + a : "unexpected argument: " + a;
                return false;
            }
            havePayload = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            *error = "missing value for " + a;
            return false;
        }
        const std::string &v = args[++i];
        unsigned long n = 0;
        bool ok = true;
        if (a == "--serial") {
            o->serial = v;
        } else if (a == "--vid" || a == "--pid") {
            ok = Number(v, 16, 0xFFFF, &n);
            (a == "--vid" ? o->vid : o->pid) = static_cast<uint16_t>(n);
        } else if (a == "--ms" && command == "hold") {
            ok = haveMs = Number(v, 10, 3600000, &o->ms);
        } else if (a == "--timeout" && command == "exchange") {
            ok = Number(v, 10, 3600000, &o->timeoutMs);
        } else if (a == "--die-after" && (command == "exchange" || command == "hold")) {
            ok = Number(v, 10, 3600000, &n);
            o->dieAfterMs = long(n);
        } else if (a == "--requests" && command == "check") {
            ok = haveRequests = Number(v, 10, 0xFFFFFFFFul, &o->requests);
        } else if (a == "--settle" && command == "check") {
            ok = Number(v, 10, 3600000, &o->settleMs);
        } else {
            *error = "unknown option for " + command + ": " + a;
            return false;
        }
        if (!ok) {
            *error = "bad value for " + a + ": " + v;
            return false;
        }
    }
    if (o->serial.empty()) *error = "--serial is required";
    else if (command == "hold" && haveMs == (o->dieAfterMs >= 0)) *error = "one of --ms and --die-after is required";
    else if (command == "check" && !haveRequests) *error = "--requests is required";
    else if (command == "exchange" && !havePayload) *error = "the command bytes (HEX) are required";
    return error->empty();
}

std::string Counters(const keysim::Stats &s) {
    char text[200];
    snprintf(text, sizeof text, "requests=%llu malformed=%llu interleaved=%llu misdelivered=%llu drained=%llu open=%u",
             static_cast<unsigned long long>(s.requests), static_cast<unsigned long long>(s.malformed),
             static_cast<unsigned long long>(s.interleaved), static_cast<unsigned long long>(s.misdelivered),
             static_cast<unsigned long long>(s.drained), s.openHandles);
    return text;
}

std::string RequestLog(const keysim::Stats &s) {
    std::string lines;
    char line[96];
    for (const keysim::Request &r : s.log) {
        snprintf(line, sizeof line, "request %llu connection %u process %u\n",
                 static_cast<unsigned long long>(r.number), r.connection, r.process);
        lines += line;
    }
    return lines;
}

std::string LockName(const std::string &devicePath) {
    std::string name(devicePath.rbegin(), devicePath.rend());
    for (char &c : name)
        if (c == '\\') c = 'a';
    return name;
}

int Hold(const Options &o, const std::string &ready) {
    const std::string name = LockName(Path(o));
    char text[512];
    HANDLE lock = OpenLock(name);
    DWORD r = lock ? WaitForSingleObject(lock, INFINITE) : WAIT_FAILED;
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) {
        snprintf(text, sizeof text, "keysim: cannot hold the lock of %s (error %lu)", o.serial.c_str(),
                 GetLastError());
        SetReason(ready, text);
        return 1;
    }
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready.c_str());
    if (event) {
        SetEvent(event);
        CloseHandle(event);
    }
    if (o.dieAfterMs >= 0) {
        Sleep(DWORD(o.dieAfterMs));
        // As a program killed between exchanges: the lock is left abandoned
        // with nothing owed.
        TerminateProcess(GetCurrentProcess(), kDied);
    }
    Sleep(o.ms);
    ReleaseMutex(lock);
    CloseHandle(lock);
    return 0;
}

int Exchange(const Options &o) {
    const std::string path = Path(o);
    HANDLE lock = OpenLock(LockName(path));
    if (!lock) {
        fprintf(stderr, "keysim: cannot open or create the lock of %s (error %lu)\n", o.serial.c_str(),
                GetLastError());
        return 2;
    }
    const DWORD waited = WaitForSingleObject(lock, o.timeoutMs);
    if (waited == WAIT_TIMEOUT) {
        fprintf(stderr, "keysim: the lock of %s was not free within %lu ms\n", o.serial.c_str(), o.timeoutMs);
        CloseHandle(lock);
        return 3;
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        fprintf(stderr, "keysim: cannot wait for the lock of %s (error %lu)\n", o.serial.c_str(), GetLastError());
        CloseHandle(lock);
        return 2;
    }
    std::string why;
    std::vector<uint8_t> frame;
    HANDLE key = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    bool answered = false;
    if (key == INVALID_HANDLE_VALUE) {
        why = "cannot open the key (error " + std::to_string(GetLastError()) + ")";
    } else if (o.dieAfterMs >= 0) {
        if (Send(key, o.payload, &why)) {
            Sleep(DWORD(o.dieAfterMs));
            // As a program killed mid-exchange: this thread still owns the
            // lock, and the answer is never read.
            TerminateProcess(GetCurrentProcess(), kDied);
        }
        CloseHandle(key);
    } else {
        answered = Ask(key, o.payload, o.timeoutMs, &frame, &why);
        CloseHandle(key);
    }
    ReleaseMutex(lock);
    CloseHandle(lock);
    if (answered && (frame.size() < 5 || frame[0] != 0x5A)) {
        why = "not an answer: " + Hex(frame.data(), frame.size());
        answered = false;
    }
    if (!answered) {
        fprintf(stderr, "keysim: exchange with %s: %s\n", o.serial.c_str(), why.c_str());
        return 2;
    }
    const size_t bodyLength = frame.size() - 5;
    printf("%s %s\n", Hex(frame.data() + frame.size() - 2, 2).c_str(), Hex(frame.data() + 3, bodyLength).c_str());
    return bodyLength && frame[3] == o.payload[0] ? 0 : 1;
}

int Check(const Options &o) {
    keysim::Stats s;
    if (!keysim::ReadStats(o.serial, &s, o.vid, o.pid)) {
        fprintf(stderr, "keysim: no keysim process serves %s\n", o.serial.c_str());
        return 1;
    }
    // An answer still to be written may yet go astray.
    const ULONGLONG deadline = GetTickCount64() + o.settleMs;
    while (s.processing && GetTickCount64() < deadline) {
        Sleep(10);
        if (!keysim::ReadStats(o.serial, &s, o.vid, o.pid)) {
            fprintf(stderr, "keysim: %s was unplugged while settling\n", o.serial.c_str());
            return 1;
        }
    }
    std::vector<std::string> differs;
    char line[160];
    if (s.processing) {
        snprintf(line, sizeof line, "still processing %u answer(s) after %lu ms", s.processing, o.settleMs);
        differs.push_back(line);
    }
    if (s.requests != o.requests) {
        snprintf(line, sizeof line, "requests=%llu, expected %lu", static_cast<unsigned long long>(s.requests),
                 o.requests);
        differs.push_back(line);
    }
    if (s.interleaved) {
        snprintf(line, sizeof line, "interleaved=%llu, expected 0", static_cast<unsigned long long>(s.interleaved));
        differs.push_back(line);
    }
    if (s.misdelivered) {
        snprintf(line, sizeof line, "misdelivered=%llu, expected 0",
                 static_cast<unsigned long long>(s.misdelivered));
        differs.push_back(line);
    }
    if (differs.empty()) return 0;
    printf("%s\n", Counters(s).c_str());
    for (const std::string &d : differs) printf("differs: %s\n", d.c_str());
    fputs(RequestLog(s).c_str(), stdout);
    return 1;
}

}  // namespace peer
