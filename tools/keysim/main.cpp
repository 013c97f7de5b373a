// keysim: plugs virtual keys that every process of the Wine prefix sees.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keysim.h"

namespace {

const char kUsage[] =
    "usage: keysim COMMAND [OPTIONS]\n"
    "\n"
    "  plug KEY...          plug a key served by a background keysim process;\n"
    "                       returns once the key is listed and prints its path\n"
    "  serve KEY...         the same in the foreground, until `keysim unplug`\n"
    "  run FILE             serve every key of FILE (one line of KEY options\n"
    "                       each, # starts a comment) until all are unplugged\n"
    "  unplug --serial S [--vid V --pid P]\n"
    "                       unplug a served key; returns once it is gone\n"
    "  list                 list the present keys, with counters of served ones\n"
    "  stats --serial S [--vid V --pid P]\n"
    "                       print a served key's counters\n"
    "\n"
    "KEY options:\n"
    "  --serial S           required; printable, no \\ / or #\n"
    "  --vid HEX --pid HEX  default 1234 and 5678\n"
    "  --behaviour B        echo (default): body = payload\n"
    "                       length: body of --length minus 2 pattern bytes\n"
    "                       script: writes --script bytes whatever the request\n"
    "                       wrong-lead: echo, but the frame starts with 5B\n"
    "                       short-first: answers 5A 02 00 90 only\n"
    "                       short-second: length, second part cut in half\n"
    "                       silent: never answers\n"
    "                       close: closes the handle's pipe on a command\n"
    "                       refuse: listed, but opening it fails\n"
    "                       no-control: echo, without the Control key\n"
    "  --status HEX         status word, default 9000\n"
    "  --length L           data length (body + status word), 2..65535\n"
    "  --latency MS         delay before each response\n"
    "  --script HEX[/HEX]   response bytes; each / starts another write\n"
    "\n"
    "Counters: requests, malformed requests, interleaved requests (arriving on\n"
    "any handle while an earlier exchange with the key was unfinished), open\n"
    "handles, last request.\n";

bool ParseHex(const std::string &s, unsigned long max, unsigned long *out) {
    char *end = nullptr;
    unsigned long v = strtoul(s.c_str(), &end, 16);
    if (s.empty() || *end || v > max) return false;
    *out = v;
    return true;
}

bool ParseDec(const std::string &s, unsigned long max, unsigned long *out) {
    char *end = nullptr;
    unsigned long v = strtoul(s.c_str(), &end, 10);
    if (s.empty() || *end || v > max) return false;
    *out = v;
    return true;
}

bool ParseScript(const std::string &s, std::vector<std::vector<uint8_t>> *parts) {
    parts->assign(1, {});
    std::string digits;
    for (char c : s + "/") {
        if (c == '/') {
            if (digits.size() % 2 || (digits.empty() && parts->back().empty())) return false;
            for (size_t i = 0; i < digits.size(); i += 2) {
                unsigned long v;
                if (!ParseHex(digits.substr(i, 2), 0xFF, &v)) return false;
                parts->back().push_back(static_cast<uint8_t>(v));
            }
            digits.clear();
            parts->push_back({});
        } else if (c != ' ') {
            digits += c;
        }
    }
    parts->pop_back();
    return true;
}

// Parses KEY options (and nothing else) into `o`.
bool ParseKey(const std::vector<std::string> &args, keysim::KeyOptions *o, std::string *error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (i + 1 >= args.size()) {
            *error = "missing value or unknown option: " + a;
            return false;
        }
        const std::string &v = args[++i];
        unsigned long n = 0;
        bool ok = true;
        if (a == "--serial") {
            o->serial = v;
        } else if (a == "--vid") {
            ok = ParseHex(v, 0xFFFF, &n);
            o->vid = static_cast<uint16_t>(n);
        } else if (a == "--pid") {
            ok = ParseHex(v, 0xFFFF, &n);
            o->pid = static_cast<uint16_t>(n);
        } else if (a == "--status") {
            ok = ParseHex(v, 0xFFFF, &n);
            o->behaviour.status = static_cast<uint16_t>(n);
        } else if (a == "--length") {
            ok = ParseDec(v, 0xFFFF, &n) && n >= 2;
            o->behaviour.dataLength = static_cast<uint32_t>(n);
        } else if (a == "--latency") {
            ok = ParseDec(v, 600000, &n);
            o->behaviour.latencyMs = static_cast<unsigned>(n);
        } else if (a == "--script") {
            ok = ParseScript(v, &o->behaviour.script);
        } else if (a == "--behaviour" || a == "--behavior") {
            using keysim::Mode;
            static const struct {
                const char *name;
                Mode mode;
            } modes[] = {{"echo", Mode::Echo},        {"status", Mode::Echo},          {"length", Mode::Length},
                         {"script", Mode::Script},    {"wrong-lead", Mode::WrongLead}, {"short-first", Mode::ShortFirst},
                         {"short-second", Mode::ShortSecond}, {"silent", Mode::Silent}, {"close", Mode::CloseOnCommand},
                         {"refuse", Mode::Echo},      {"no-control", Mode::Echo}};
            ok = false;
            for (const auto &m : modes)
                if (v == m.name) {
                    o->behaviour.mode = m.mode;
                    ok = true;
                }
            o->refuseOpen = v == "refuse";
            o->omitControlKey = v == "no-control";
        } else {
            *error = "unknown option: " + a;
            return false;
        }
        if (!ok) {
            *error = "bad value for " + a + ": " + v;
            return false;
        }
    }
    if (o->serial.empty()) {
        *error = "--serial is required";
        return false;
    }
    return true;
}

std::wstring ObjectName(const char *kind, const keysim::KeyOptions &o) {
    std::string name = std::string("Local\\keysim-") + kind + "-" + keysim::KeyId(o.serial, o.vid, o.pid);
    return std::wstring(name.begin(), name.end());
}

HANDLE g_interrupt = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
    SetEvent(g_interrupt);
    return TRUE;
}

// Serves `keys` until each is unplugged (or the console is interrupted),
// signalling `ready` once all are plugged.
int Serve(const std::vector<keysim::KeyOptions> &keys, const std::string &ready) {
    if (keys.empty() || keys.size() > MAXIMUM_WAIT_OBJECTS - 1) {
        fprintf(stderr, "keysim: serves 1 to %d keys\n", MAXIMUM_WAIT_OBJECTS - 1);
        return 2;
    }
    g_interrupt = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    struct Served {
        keysim::Key *key;
        HANDLE stop, gone;
    };
    std::vector<Served> served;
    bool ok = true;
    for (const keysim::KeyOptions &o : keys) {
        keysim::Key *key = keysim::Plug(o);
        if (!key) {
            fprintf(stderr, "keysim: cannot plug %s (already plugged?)\n", o.serial.c_str());
            ok = false;
            break;
        }
        served.push_back({key, CreateEventW(nullptr, FALSE, FALSE, ObjectName("stop", o).c_str()),
                          CreateEventW(nullptr, TRUE, FALSE, ObjectName("gone", o).c_str())});
        printf("%s\n", keysim::DevicePath(key).c_str());
    }
    fflush(stdout);
    if (ok && !ready.empty()) {
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready.c_str());
        if (event) {
            SetEvent(event);
            CloseHandle(event);
        }
    }
    while (ok) {
        std::vector<HANDLE> waits = {g_interrupt};
        for (const Served &s : served)
            if (s.key) waits.push_back(s.stop);
        if (waits.size() == 1) break;
        DWORD r = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, INFINITE);
        if (r == WAIT_OBJECT_0) break;
        for (Served &s : served)
            if (s.key && s.stop == waits[r - WAIT_OBJECT_0]) {
                keysim::Unplug(s.key);
                s.key = nullptr;
                SetEvent(s.gone);
            }
    }
    for (Served &s : served) {
        keysim::Unplug(s.key);
        SetEvent(s.gone);
        CloseHandle(s.stop);
        CloseHandle(s.gone);
    }
    return ok ? 0 : 1;
}

// Starts `keysim serve` detached and waits until its key is listed.
int PlugInBackground(const std::vector<std::string> &args) {
    char ready[64];
    snprintf(ready, sizeof ready, "Local\\keysim-ready-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ready);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = std::string("\"") + self + "\" serve --ready " + ready;
    for (const std::string &a : args) command += " \"" + a + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!event || !CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                                  &si, &pi)) {
        fprintf(stderr, "keysim: cannot start the server process\n");
        return 1;
    }
    HANDLE waits[2] = {event, pi.hProcess};
    DWORD r = WaitForMultipleObjects(2, waits, FALSE, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(event);
    if (r != WAIT_OBJECT_0) {
        fprintf(stderr, "keysim: the key could not be plugged\n");
        return 1;
    }
    keysim::KeyOptions o;
    std::string error;
    ParseKey(args, &o, &error);
    printf("%s\n", keysim::MakeDevicePath(o.serial, o.vid, o.pid).c_str());
    return 0;
}

int UnplugServed(const keysim::KeyOptions &o) {
    HANDLE gone = OpenEventW(SYNCHRONIZE, FALSE, ObjectName("gone", o).c_str());
    HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, ObjectName("stop", o).c_str());
    bool ok = gone && stop && SetEvent(stop) && WaitForSingleObject(gone, 10000) == WAIT_OBJECT_0;
    if (gone) CloseHandle(gone);
    if (stop) CloseHandle(stop);
    if (!ok) fprintf(stderr, "keysim: no keysim process serves %s\n", o.serial.c_str());
    return ok ? 0 : 1;
}

void PrintStats(const keysim::Stats &s) {
    printf("requests=%llu malformed=%llu interleaved=%llu open=%u last=", static_cast<unsigned long long>(s.requests),
           static_cast<unsigned long long>(s.malformed), static_cast<unsigned long long>(s.interleaved),
           s.openHandles);
    for (uint8_t b : s.lastRequest) printf("%02x", b);
    printf("\n");
}

int List() {
    HKEY classes;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                      "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{925fad44-e331-4116-b409-78fc2b51ea21}",
                      0, KEY_READ, &classes) != ERROR_SUCCESS)
        return 0;
    wchar_t name[512];
    for (DWORD i = 0;; ++i) {
        DWORD n = sizeof name / sizeof name[0];
        if (RegEnumKeyExW(classes, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        char path[4096] = "";
        DWORD size = sizeof path - 1;
        RegGetValueA(classes, std::string(name, name + n).append("\\#").c_str(), "SymbolicLink", RRF_RT_REG_SZ,
                     nullptr, path, &size);
        printf("%s", path);
        // \\?\usb#vid_XXXX&pid_XXXX#serial#{guid}
        unsigned vid = 0, pid = 0;
        std::string p = path;
        size_t serialEnd = p.rfind('#');
        keysim::Stats s;
        if (sscanf(path, "\\\\?\\usb#vid_%4x&pid_%4x#", &vid, &pid) == 2 && serialEnd != std::string::npos &&
            serialEnd > 26 &&
            keysim::ReadStats(p.substr(26, serialEnd - 26), &s, static_cast<uint16_t>(vid),
                              static_cast<uint16_t>(pid))) {
            printf("  ");
            PrintStats(s);
        } else {
            printf("\n");
        }
    }
    RegCloseKey(classes);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string command = args.empty() ? "" : args[0];
    if (!args.empty()) args.erase(args.begin());
    if (command.empty() || command == "--help" || command == "-h" || command == "help") {
        fputs(kUsage, command.empty() ? stderr : stdout);
        return command.empty() ? 2 : 0;
    }
    if (command == "list") return List();
    if (command == "run") {
        if (args.size() != 1) {
            fputs(kUsage, stderr);
            return 2;
        }
        FILE *f = fopen(args[0].c_str(), "r");
        if (!f) {
            fprintf(stderr, "keysim: cannot read %s\n", args[0].c_str());
            return 2;
        }
        std::vector<keysim::KeyOptions> keys;
        char line[8192];
        for (int number = 1; fgets(line, sizeof line, f); ++number) {
            if (char *hash = strchr(line, '#')) *hash = 0;
            std::vector<std::string> words;
            for (char *w = strtok(line, " \t\r\n"); w; w = strtok(nullptr, " \t\r\n")) words.push_back(w);
            if (words.empty()) continue;
            keysim::KeyOptions o;
            std::string error;
            if (!ParseKey(words, &o, &error)) {
                fprintf(stderr, "keysim: %s:%d: %s\n", args[0].c_str(), number, error.c_str());
                fclose(f);
                return 2;
            }
            keys.push_back(o);
        }
        fclose(f);
        return Serve(keys, "");
    }

    std::string ready;
    if (command == "serve" && args.size() >= 2 && args[0] == "--ready") {
        ready = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    keysim::KeyOptions o;
    std::string error;
    if (!ParseKey(args, &o, &error)) {
        fprintf(stderr, "keysim: %s\n", error.c_str());
        return 2;
    }
    if (command == "plug") return PlugInBackground(args);
    if (command == "serve") return Serve({o}, ready);
    if (command == "unplug") return UnplugServed(o);
    if (command == "stats") {
        keysim::Stats s;
        if (!keysim::ReadStats(o.serial, &s, o.vid, o.pid)) {
            fprintf(stderr, "keysim: no keysim process serves %s\n", o.serial.c_str());
            return 1;
        }
        PrintStats(s);
        return 0;
    }
    fprintf(stderr, "keysim: unknown command %s\n", command.c_str());
    return 2;
}
