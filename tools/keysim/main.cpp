// keysim: plugs virtual keys that every process of the Wine prefix sees.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "keysim.h"
#include "peer.h"

namespace {

const char kUsage[] =
    "usage: keysim COMMAND [OPTIONS]\n"
    "\n"
    "Virtual keys, to try Olvexlib with none at hand (registry entries under\n"
    "HKLM: run as an administrator, or in a Wine prefix):\n"
    "  keysim plug --serial demo                 an echo key, listed on return\n"
    "  keysim plug --serial slow --latency 300   one that answers after 300 ms\n"
    "  keysim list                               the present keys and counters\n"
    "  keysim unplug --serial demo               gone on return\n"
    "\n"
    "  plug KEY...          plug a key served by a background keysim process;\n"
    "                       returns once the key is listed and prints its path,\n"
    "                       or within seconds with the reason it was not\n"
    "  serve KEY...         the same in the foreground, until `keysim unplug`\n"
    "  run FILE             serve every key of FILE (one line of KEY options\n"
    "                       each, # starts a comment) until all are unplugged\n"
    "  unplug --serial S [--vid V --pid P]\n"
    "                       unplug a served key; returns once it is gone\n"
    "  list                 list the present keys, with counters of served ones\n"
    "  stats --serial S [--vid V --pid P]\n"
    "                       print a served key's counters, on one line\n"
    "  log --serial S [--vid V --pid P]\n"
    "                       print a served key's latest 256 requests, oldest\n"
    "                       first, a line each: request N connection C process P\n"
    "  clear                unplug every present key: served ones through their\n"
    "                       server (ending it if it does not let go), and the\n"
    "                       registry entries dead servers left; prints each\n"
    "\n"
    "Playing another program that uses a key (plugged or not; --vid and --pid\n"
    "as for KEY). The key's lock is the named mutex whose name is the key's\n"
    "device path backwards, each \\ turned into a:\n"
    "  hold --serial S (--ms N | --die-after N)\n"
    "                       a background keysim owns the lock for N ms, then\n"
    "                       lets go (--die-after: ends its own process, so the\n"
    "                       lock is left abandoned with nothing owed); returns\n"
    "                       once it owns it (0, printing the lock's name), or\n"
    "                       with the reason it does not (1)\n"
    "  exchange --serial S HEX [--timeout MS] [--die-after MS]\n"
    "                       one exchange as a well-behaved peer: the lock (up\n"
    "                       to MS, default 10000), the frame A5 lenLE HEX, the\n"
    "                       answer (up to MS more), the lock released; prints\n"
    "                       STATUS BODY in hex. Exit 0: the body starts with\n"
    "                       HEX's first byte (its own answer, from an echo or\n"
    "                       length key); 1: another answer; 2: it failed;\n"
    "                       3: the lock was not had in time. --die-after: a\n"
    "                       peer killed mid-exchange instead: once the frame\n"
    "                       is sent, it ends its own process MS ms later\n"
    "                       without reading, so the lock is left abandoned\n"
    "                       and the answer owed (exit 4)\n"
    "  check --serial S --requests N [--settle MS]\n"
    "                       once the key is idle (up to MS, default 3000):\n"
    "                       exit 0 when it had N requests, none interleaved and\n"
    "                       none misdelivered (drained ones are fine);\n"
    "                       otherwise 1, printing the counters, what differs\n"
    "                       and the latest requests as log does\n"
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
    "                       silent: reads requests, never answers any\n"
    "                       close: closes the pipe of the handle that asked\n"
    "                       refuse: listed, but opening it fails\n"
    "                       no-control: echo, without the Control key\n"
    "  --status HEX         status word, default 9000\n"
    "  --length L           data length (body + status word), 2..65535\n"
    "  --latency MS         delay before each answer, from its request or from\n"
    "                       the end of the answer before it, whichever is later\n"
    "  --script HEX[/HEX]   response bytes; each / starts another write\n"
    "\n"
    "A key is one request/response channel shared by every handle to it: it\n"
    "answers in arrival order, on the handle whose request arrived last (the\n"
    "one that reads next). A client that asks while another's answer is owed\n"
    "gets that answer, or its unread rest, before its own. An answer whose\n"
    "handle closed goes to whichever handle reads next, even one that asked\n"
    "nothing; failing that, to the next request's handle.\n"
    "\n"
    "Counters: requests, malformed requests, interleaved requests (arriving on\n"
    "any handle while an earlier exchange with the key was unfinished),\n"
    "misdelivered answers (delivered, or their rest, on a handle other than the\n"
    "one that asked, to a client that had asked too), drained answers (of a\n"
    "closed handle, read by a client that asked nothing), open handles, last\n"
    "request. Connections are the client handles, numbered from 1 in the\n"
    "order the key saw them open; process is the client's id (0: unknown).\n";

bool ParseHex(const std::string &s, unsigned long max, unsigned long *out) { return peer::Number(s, 16, max, out); }
bool ParseDec(const std::string &s, unsigned long max, unsigned long *out) { return peer::Number(s, 10, max, out); }

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

// What a background server tells the `keysim plug` that started it when it
// cannot plug its key. Named after the plug's ready event; no handle is
// inherited, so the server holds nothing of the plug's.
struct Reason {
    char text[1024];
};

std::string ReasonName(const std::string &ready) { return ready + "-reason"; }

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
        // The events exist before the key is listed: whoever sees the key can
        // unplug it at once.
        Served s = {nullptr, CreateEventW(nullptr, FALSE, FALSE, ObjectName("stop", o).c_str()),
                    CreateEventW(nullptr, TRUE, FALSE, ObjectName("gone", o).c_str())};
        std::string why = "cannot create its events";
        if (s.stop && s.gone) s.key = keysim::Plug(o, &why);
        if (!s.key) {
            char text[sizeof(Reason::text)];
            snprintf(text, sizeof text, "keysim: cannot plug %s: %s", o.serial.c_str(), why.c_str());
            fprintf(stderr, "%s\n", text);
            if (!ready.empty()) SetReason(ready, text);
            if (s.stop) CloseHandle(s.stop);
            if (s.gone) CloseHandle(s.gone);
            ok = false;
            break;
        }
        served.push_back(s);
        printf("%s\n", keysim::DevicePath(s.key).c_str());
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

// How long a background server may take to plug its key. Wine starts a
// process in well under a second; this covers a machine under heavy load.
// KEYSIM_PLUG_TIMEOUT_MS and KEYSIM_SERVE_DELAY_MS (a server's wait before it
// plugs) let the tests play a server that comes up too late.
DWORD EnvMs(const char *name, DWORD otherwise) {
    const char *v = getenv(name);
    return v && *v ? DWORD(strtoul(v, nullptr, 10)) : otherwise;
}

// What a background keysim is for, in the words its starter fails with.
struct Background {
    const char *command;  // what it runs: "serve" or "hold"
    const char *failure;  // "the key could not be plugged"
    const char *late;     // "its server did not come up"
};

// Starts `keysim COMMAND --ready EVENT ARGS` detached and waits until it says
// it is ready. One that fails leaves the reason behind for this to print; one
// that is not ready in time is ended, so a failure leaves nothing running.
bool StartInBackground(const Background &what, const std::vector<std::string> &args) {
    char ready[64];
    snprintf(ready, sizeof ready, "Local\\keysim-ready-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ready);
    HANDLE reasonMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Reason),
                                              ReasonName(ready).c_str());
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = std::string("\"") + self + "\" " + what.command + " --ready " + ready;
    for (const std::string &a : args) command += " \"" + a + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const bool started = event && reasonMapping && keysim::StartProcess(command, false, DETACHED_PROCESS, &si, &pi);
    const DWORD error = started ? ERROR_SUCCESS : GetLastError();
    if (!started) {
        fprintf(stderr, "keysim: cannot start the background process `%s` (error %lu%s)\n", command.c_str(), error,
                error == ERROR_INTERNAL_ERROR ? ": it ended before it started, five times" : "");
        if (reasonMapping) CloseHandle(reasonMapping);
        if (event) CloseHandle(event);
        return false;
    }
    HANDLE waits[2] = {event, pi.hProcess};
    const DWORD timeoutMs = EnvMs("KEYSIM_PLUG_TIMEOUT_MS", 15000);
    DWORD r = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (r == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
        fprintf(stderr, "keysim: %s: %s within %lu ms and was ended\n", what.failure, what.late, timeoutMs);
    } else if (r != WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        const auto *reason = static_cast<const Reason *>(MapViewOfFile(reasonMapping, FILE_MAP_READ, 0, 0, 0));
        if (reason && reason->text[0])
            fprintf(stderr, "%.*s\n", int(sizeof reason->text), reason->text);
        else
            fprintf(stderr, "keysim: %s: its process exited with code %lu\n", what.failure, code);
        if (reason) UnmapViewOfFile(reason);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(reasonMapping);
    CloseHandle(event);
    return r == WAIT_OBJECT_0;
}

// Starts `keysim serve` detached and waits until its key is listed.
int PlugInBackground(const std::vector<std::string> &args) {
    if (!StartInBackground({"serve", "the key could not be plugged", "its server did not come up"}, args)) return 1;
    keysim::KeyOptions o;
    std::string ignored;
    ParseKey(args, &o, &ignored);
    printf("%s\n", keysim::MakeDevicePath(o.serial, o.vid, o.pid).c_str());
    return 0;
}

int UnplugServed(const keysim::KeyOptions &o) {
    HANDLE gone = OpenEventW(SYNCHRONIZE, FALSE, ObjectName("gone", o).c_str());
    HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, ObjectName("stop", o).c_str());
    bool served = gone && stop;
    bool ok = served && SetEvent(stop) && WaitForSingleObject(gone, 10000) == WAIT_OBJECT_0;
    if (gone) CloseHandle(gone);
    if (stop) CloseHandle(stop);
    if (!served)
        fprintf(stderr, "keysim: no keysim process serves %s\n", o.serial.c_str());
    else if (!ok)
        fprintf(stderr, "keysim: %s was asked to go but its server did not let go within 10 s\n", o.serial.c_str());
    return ok ? 0 : 1;
}

// The id of the process serving a key, or 0 when none does.
DWORD ServerOf(const std::string &serial, uint16_t vid, uint16_t pid) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE,
                                      keysim::detail::SharedName(keysim::KeyId(serial, vid, pid)).c_str());
    if (!mapping) return 0;
    const auto *block = static_cast<const keysim::detail::SharedBlock *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    DWORD id = block ? block->pid : 0;
    if (block) UnmapViewOfFile(block);
    CloseHandle(mapping);
    return id;
}

// Every interface of the class the registry lists, served or not.
struct Present {
    std::wstring interfaceKey, instanceId;
    std::string path;
    keysim::KeyOptions key;  // serial, vid and pid; no serial when the path is not a keysim one
};

std::vector<Present> PresentInterfaces() {
    std::vector<Present> present;
    HKEY classes;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
                      L"{925fad44-e331-4116-b409-78fc2b51ea21}", 0, KEY_READ, &classes) != ERROR_SUCCESS)
        return present;
    wchar_t name[512];
    for (DWORD i = 0;; ++i) {
        DWORD n = sizeof name / sizeof name[0];
        if (RegEnumKeyExW(classes, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        char path[4096] = "";
        wchar_t instance[512] = L"";
        DWORD size = sizeof path - 1;
        RegGetValueA(classes, std::string(name, name + n).append("\\#").c_str(), "SymbolicLink", RRF_RT_REG_SZ,
                     nullptr, path, &size);
        size = sizeof instance - sizeof instance[0];
        RegGetValueW(classes, name, L"DeviceInstance", RRF_RT_REG_SZ, nullptr, instance, &size);
        Present p{std::wstring(name, n), instance, path, {}};
        // \\?\usb#vid_XXXX&pid_XXXX#serial#{guid}
        unsigned vid = 0, pid = 0;
        const size_t serialEnd = p.path.rfind('#');
        if (sscanf(p.path.c_str(), "\\\\?\\usb#vid_%4x&pid_%4x#", &vid, &pid) == 2 &&
            serialEnd != std::string::npos && serialEnd > 26) {
            p.key.serial = p.path.substr(26, serialEnd - 26);
            p.key.vid = static_cast<uint16_t>(vid);
            p.key.pid = static_cast<uint16_t>(pid);
        }
        present.push_back(std::move(p));
    }
    RegCloseKey(classes);
    return present;
}

// What a test run uses between entries, so that no entry's keys outlive it.
int Clear() {
    const std::vector<Present> present = PresentInterfaces();
    int failures = 0;
    for (const Present &p : present) {
        const keysim::KeyOptions &o = p.key;
        DWORD server = o.serial.empty() ? 0 : ServerOf(o.serial, o.vid, o.pid);
        HANDLE stop = server ? OpenEventW(EVENT_MODIFY_STATE, FALSE, ObjectName("stop", o).c_str()) : nullptr;
        HANDLE gone = server ? OpenEventW(SYNCHRONIZE, FALSE, ObjectName("gone", o).c_str()) : nullptr;
        if (stop && gone && SetEvent(stop) && WaitForSingleObject(gone, 5000) == WAIT_OBJECT_0) {
            printf("unplugged %s, served by process %lu\n", p.path.c_str(), server);
        } else if (server) {
            // A test program, or a server that does not let go: it goes with its key.
            HANDLE process = server != GetCurrentProcessId() ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, server)
                                                             : nullptr;
            bool ended = process && TerminateProcess(process, 1) && WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
            if (process) CloseHandle(process);
            printf("%s process %lu, which served %s\n", ended ? "ended" : "could not end", server, p.path.c_str());
            failures += !ended;
        } else {
            printf("removed %s, left by a server that is gone\n", p.path.c_str());
        }
        if (stop) CloseHandle(stop);
        if (gone) CloseHandle(gone);
        keysim::detail::RemoveRegistry({p.interfaceKey, p.instanceId});
    }
    return failures ? 1 : 0;
}

void PrintStats(const keysim::Stats &s) {
    printf("%s last=", peer::Counters(s).c_str());
    for (uint8_t b : s.lastRequest) printf("%02x", b);
    printf("\n");
}

int List() {
    for (const Present &p : PresentInterfaces()) {
        printf("%s", p.path.c_str());
        keysim::Stats s;
        if (!p.key.serial.empty() && keysim::ReadStats(p.key.serial, &s, p.key.vid, p.key.pid)) {
            printf("  ");
            PrintStats(s);
        } else {
            printf("\n");
        }
    }
    return 0;
}

}  // namespace

void SetReason(const std::string &ready, const char *text) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, ReasonName(ready).c_str());
    if (!mapping) return;
    if (auto *r = static_cast<Reason *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(Reason)))) {
        snprintf(r->text, sizeof r->text, "%s", text);
        UnmapViewOfFile(r);
    }
    CloseHandle(mapping);
}


int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string command = args.empty() ? "" : args[0];
    if (!args.empty()) args.erase(args.begin());
    if (command.empty() || command == "--help" || command == "-h" || command == "help") {
        fputs(kUsage, command.empty() ? stderr : stdout);
        return command.empty() ? 2 : 0;
    }
    if (command == "list") return List();
    if (command == "clear") return Clear();
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
    if ((command == "serve" || command == "hold") && args.size() >= 2 && args[0] == "--ready") {
        ready = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (command == "hold" || command == "exchange" || command == "check") {
        peer::Options p;
        std::string error;
        if (!peer::Parse(command, args, &p, &error)) {
            fprintf(stderr, "keysim: %s\n", error.c_str());
            return 2;
        }
        if (command == "exchange") return peer::Exchange(p);
        if (command == "check") return peer::Check(p);
        if (!ready.empty()) return peer::Hold(p, ready);
        if (!StartInBackground({"hold", "the key's lock could not be held", "its holder did not have it"}, args))
            return 1;
        printf("%s\n", peer::LockName(keysim::MakeDevicePath(p.serial, p.vid, p.pid)).c_str());
        return 0;
    }
    keysim::KeyOptions o;
    std::string error;
    if (!ParseKey(args, &o, &error)) {
        fprintf(stderr, "keysim: %s\n", error.c_str());
        return 2;
    }
    if (command == "plug") return PlugInBackground(args);
    if (command == "serve") {
        if (!ready.empty()) Sleep(EnvMs("KEYSIM_SERVE_DELAY_MS", 0));
        return Serve({o}, ready);
    }
    if (command == "unplug") return UnplugServed(o);
    if (command == "stats" || command == "log") {
        keysim::Stats s;
        if (!keysim::ReadStats(o.serial, &s, o.vid, o.pid)) {
            fprintf(stderr, "keysim: no keysim process serves %s\n", o.serial.c_str());
            return 1;
        }
        if (command == "log") fputs(peer::RequestLog(s).c_str(), stdout);
        else PrintStats(s);
        return 0;
    }
    fprintf(stderr, "keysim: unknown command %s\n", command.c_str());
    return 2;
}
