// olvex: list the attached keys, send them commands, replay scripts, measure.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/control_key.h"
#include "olvexlib.h"
#include "text.h"

using namespace olvextool;

namespace {

// Exit codes scripts rely on.
enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kNoKey = 3 };

const char kMainUsage[] =
    "usage: olvex COMMAND [OPTIONS]\n"
    "\n"
    "  list    the attached keys, oldest first\n"
    "  send    send hex commands to a key\n"
    "  run     replay a script of commands, checking status words\n"
    "  bench   measure exchange rate and latency\n"
    "\n"
    "`olvex COMMAND --help` describes a command.\n"
    "\n"
    "Exit codes: 0 success; 1 an exchange failed, a status word did not match,\n"
    "or the keys could not be listed; 2 usage error (nothing was sent);\n"
    "3 no key at that index, or it cannot be opened.\n";

const char kListUsage[] =
    "usage: olvex list [--json]\n"
    "\n"
    "One line per attached key, oldest first: index, device path, and the\n"
    "local time it was attached. --json prints an array of objects with\n"
    "\"index\", \"path\" and \"attached\" (ISO 8601 local time, or null).\n";

const char kSendUsage[] =
    "usage: olvex send [--index N] HEX...\n"
    "\n"
    "Sends each HEX argument (pairs of hex digits, blanks ignored) to key N\n"
    "(default 0) as one command, and prints the body of each response as hex\n"
    "with printable ASCII beside it, then its status word. Every argument is\n"
    "checked before the first is sent.\n";

const char kRunUsage[] =
    "usage: olvex run [--index N] FILE\n"
    "\n"
    "Sends the commands of FILE (- for standard input) to key N, one per line:\n"
    "\n"
    "    # select, expecting 9000\n"
    "    00 a4 04 00 => 9000\n"
    "    80ca9f7f              # any status word\n"
    "\n"
    "'#' starts a comment; '=> SW' (four hex digits) is the status word the key\n"
    "must answer. Stops at the first failed exchange or mismatch, naming its\n"
    "line. The whole file is checked before anything is sent.\n";

const char kBenchUsage[] =
    "usage: olvex bench [--index N] [--size S] [--count C]\n"
    "\n"
    "Exchanges C commands (default 1000) of S payload bytes (default 16) with\n"
    "key N and prints exchanges per second and latency percentiles. A progress\n"
    "line is written to standard error while it runs.\n";

int Usage(const char *text, bool asked) {
    fputs(text, asked ? stdout : stderr);
    return asked ? kOk : kUsage;
}

bool IsHelp(const std::string &a) { return a == "--help" || a == "-h"; }

// Options shared by the key commands; positional arguments are collected.
struct Options {
    int index = 0;
    int size = 16;
    int count = 1000;
    bool json = false;
    bool help = false;
    std::vector<std::string> positional;
};

// Accepts exactly the flags in `allowed` (a space-separated list).
bool ParseOptions(const std::vector<std::string> &args, const char *allowed, Options *o, std::string *why) {
    const std::string permitted = std::string(" ") + allowed + " ";
    bool literal = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        if (literal || a.size() < 2 || a[0] != '-' || a[1] != '-') {
            o->positional.push_back(a);
            continue;
        }
        if (a == "--") {
            literal = true;
            continue;
        }
        if (IsHelp(a)) {
            o->help = true;
            continue;
        }
        std::string value;
        bool hasValue = false;
        const size_t eq = a.find('=');
        if (eq != std::string::npos) {
            value = a.substr(eq + 1);
            a.resize(eq);
            hasValue = true;
        }
        if (permitted.find(" " + a + " ") == std::string::npos) {
            *why = "unknown option " + a;
            return false;
        }
        if (a == "--json") {
            o->json = true;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                *why = a + " needs a value";
                return false;
            }
            value = args[++i];
        }
        int *target = a == "--index" ? &o->index : a == "--size" ? &o->size : &o->count;
        if (!ParseCount(value, target)) {
            *why = a + " takes a non-negative number, not '" + value + "'";
            return false;
        }
    }
    return true;
}

int UsageError(const std::string &why, const char *usage) {
    fprintf(stderr, "olvex: %s\n\n", why.c_str());
    fputs(usage, stderr);
    return kUsage;
}

// The attach time as the platform records it: the last write of the key's
// interface Control key, at the path the library itself derives.
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

// Local time, "2024-05-01 13:04:05.123" (separator ' ') or ISO 8601 ('T').
std::string FormatLocal(const FILETIME &time, char separator) {
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&time, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return "";
    char text[40];
    snprintf(text, sizeof text, "%04u-%02u-%02u%c%02u:%02u:%02u.%03u", local.wYear, local.wMonth, local.wDay,
             separator, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
    return text;
}

int List(const std::vector<std::string> &args) {
    Options o;
    std::string why;
    if (!ParseOptions(args, "--json", &o, &why)) return UsageError(why, kListUsage);
    if (o.help) return Usage(kListUsage, true);
    if (!o.positional.empty()) return UsageError("unexpected argument " + o.positional[0], kListUsage);

    int count = 0;
    if (OLVEX_EnumDEV(&count) != OLVEX_OK) {
        fprintf(stderr, "olvex: cannot list keys: the platform gives no device list\n");
        return kFailed;
    }
    if (o.json) printf("[");
    for (int i = 0; i < count; ++i) {
        // The API hands out a key's path only on connecting to it.
        char path[OLVEX_PATH_SIZE] = {};
        OLVEX_HANDLE h = nullptr;
        const int rc = OLVEX_Connect(&h, path, i);
        if (rc == OLVEX_OK) OLVEX_Disconnect(h);
        FILETIME attached;
        const bool dated = rc == OLVEX_OK && ReadAttachTime(path, &attached);
        if (o.json) {
            printf("%s\n  {\"index\": %d, \"path\": %s, \"attached\": %s}", i ? "," : "", i,
                   rc == OLVEX_OK ? JsonString(path).c_str() : "null",
                   dated ? JsonString(FormatLocal(attached, 'T')).c_str() : "null");
        } else if (rc != OLVEX_OK) {
            printf("%d  (unplugged since listing)\n", i);
        } else {
            printf("%d  %s  attached %s\n", i, path, dated ? FormatLocal(attached, ' ').c_str() : "(unknown)");
        }
    }
    if (o.json) printf(count ? "\n]\n" : "]\n");
    if (!o.json && count == 0) fprintf(stderr, "olvex: no keys attached\n");
    return kOk;
}

// Enumerates and opens key `index`, explaining any failure on stderr.
int Open(int index, OLVEX_HANDLE *h, std::string *path) {
    int count = 0;
    if (OLVEX_EnumDEV(&count) != OLVEX_OK) {
        fprintf(stderr, "olvex: connect failed: cannot list keys\n");
        return kNoKey;
    }
    if (index >= count) {
        fprintf(stderr, "olvex: connect failed: no key at index %d (%d attached)\n", index, count);
        return kNoKey;
    }
    char buffer[OLVEX_PATH_SIZE] = {};
    const int rc = OLVEX_Connect(h, buffer, index);
    if (rc == OLVEX_ERR_OPEN) {
        fprintf(stderr, "olvex: connect failed: key %d cannot be opened (unplugged or in exclusive use)\n", index);
        return kNoKey;
    }
    if (rc != OLVEX_OK) {
        fprintf(stderr, "olvex: connect failed: key %d has no usable lock or memory ran out\n", index);
        return kNoKey;
    }
    *path = buffer;
    return kOk;
}

// The largest body any command can bring back.
std::vector<unsigned char> &ResponseBuffer() {
    static std::vector<unsigned char> buffer(OLVEX_MAX_RESPONSE_BODY);
    return buffer;
}

void PrintResponse(size_t sent, int status, const unsigned char *body, int length) {
    printf("sent %zu bytes; status %04x; body %d bytes\n", sent, unsigned(status), length);
    fputs(HexDump(body, size_t(length)).c_str(), stdout);
}

int Send(const std::vector<std::string> &args) {
    Options o;
    std::string why;
    if (!ParseOptions(args, "--index", &o, &why)) return UsageError(why, kSendUsage);
    if (o.help) return Usage(kSendUsage, true);
    if (o.positional.empty()) return UsageError("nothing to send", kSendUsage);
    std::vector<std::vector<uint8_t>> payloads(o.positional.size());
    for (size_t i = 0; i < o.positional.size(); ++i) {
        if (!ParseHex(o.positional[i], OLVEX_MAX_COMMAND, &payloads[i], &why)) {
            fprintf(stderr, "olvex: command %zu ('%s'): %s; nothing sent\n", i + 1, o.positional[i].c_str(),
                    why.c_str());
            return kUsage;
        }
    }
    OLVEX_HANDLE h = nullptr;
    std::string path;
    if (int rc = Open(o.index, &h, &path)) return rc;
    int result = kOk;
    for (size_t i = 0; i < payloads.size(); ++i) {
        int length = 0;
        const int status = OLVEX_DoCommand(h, payloads[i].data(), int(payloads[i].size()), ResponseBuffer().data(),
                                           &length);
        if (status == OLVEX_FAIL) {
            fprintf(stderr, "olvex: exchange failed: command %zu (%zu bytes) to key %d got no valid response\n",
                    i + 1, payloads[i].size(), o.index);
            result = kFailed;
            break;
        }
        PrintResponse(payloads[i].size(), status, ResponseBuffer().data(), length);
    }
    OLVEX_Disconnect(h);
    return result;
}

bool ReadAll(const std::string &file, std::string *text) {
    FILE *f = file == "-" ? stdin : fopen(file.c_str(), "rb");
    if (!f) return false;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, n);
    const bool ok = !ferror(f);
    if (f != stdin) fclose(f);
    return ok;
}

int Run(const std::vector<std::string> &args) {
    Options o;
    std::string why;
    if (!ParseOptions(args, "--index", &o, &why)) return UsageError(why, kRunUsage);
    if (o.help) return Usage(kRunUsage, true);
    if (o.positional.size() != 1) return UsageError("run takes one FILE", kRunUsage);
    const std::string &file = o.positional[0];
    std::string text;
    if (!ReadAll(file, &text)) {
        fprintf(stderr, "olvex: cannot read %s\n", file.c_str());
        return kUsage;
    }
    std::vector<ScriptStep> steps;
    int bad = 0;
    if (!ParseScript(text, &steps, &bad, &why)) {
        fprintf(stderr, "olvex: %s:%d: %s; nothing sent\n", file.c_str(), bad, why.c_str());
        return kUsage;
    }
    OLVEX_HANDLE h = nullptr;
    std::string path;
    if (int rc = Open(o.index, &h, &path)) return rc;
    int result = kOk;
    for (const ScriptStep &step : steps) {
        int length = 0;
        const int status = OLVEX_DoCommand(h, step.payload.data(), int(step.payload.size()),
                                           ResponseBuffer().data(), &length);
        if (status == OLVEX_FAIL) {
            fprintf(stderr, "olvex: %s:%d: exchange failed\n", file.c_str(), step.line);
            result = kFailed;
            break;
        }
        printf("line %d: ", step.line);
        PrintResponse(step.payload.size(), status, ResponseBuffer().data(), length);
        if (step.expectStatus && status != step.status) {
            fprintf(stderr, "olvex: %s:%d: expected status %04x, got %04x; stopped\n", file.c_str(), step.line,
                    step.status, unsigned(status));
            result = kFailed;
            break;
        }
    }
    if (result == kOk) printf("%zu commands, all as expected\n", steps.size());
    OLVEX_Disconnect(h);
    return result;
}

int Bench(const std::vector<std::string> &args) {
    Options o;
    std::string why;
    if (!ParseOptions(args, "--index --size --count", &o, &why)) return UsageError(why, kBenchUsage);
    if (o.help) return Usage(kBenchUsage, true);
    if (!o.positional.empty()) return UsageError("unexpected argument " + o.positional[0], kBenchUsage);
    if (o.size > OLVEX_MAX_COMMAND) return UsageError("--size is at most 65532", kBenchUsage);
    if (o.count < 1) return UsageError("--count must be at least 1", kBenchUsage);

    OLVEX_HANDLE h = nullptr;
    std::string path;
    if (int rc = Open(o.index, &h, &path)) return rc;
    std::vector<uint8_t> payload(size_t(o.size));
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7 + 1);

    LARGE_INTEGER frequency, begin, before, after, lastShown;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> ms;
    ms.reserve(size_t(o.count));
    QueryPerformanceCounter(&begin);
    lastShown = begin;
    int result = kOk;
    for (int i = 0; i < o.count; ++i) {
        int length = 0;
        QueryPerformanceCounter(&before);
        const int status = OLVEX_DoCommand(h, payload.data(), o.size, ResponseBuffer().data(), &length);
        QueryPerformanceCounter(&after);
        if (status == OLVEX_FAIL) {
            fprintf(stderr, "\nolvex: exchange failed at exchange %d of %d\n", i + 1, o.count);
            result = kFailed;
            break;
        }
        ms.push_back(double(after.QuadPart - before.QuadPart) * 1000.0 / double(frequency.QuadPart));
        // A progress line about four times a second, rewritten in place.
        if ((after.QuadPart - lastShown.QuadPart) * 4 >= frequency.QuadPart || i + 1 == o.count) {
            fprintf(stderr, "\r%d/%d exchanges", i + 1, o.count);
            lastShown = after;
        }
    }
    fprintf(stderr, "\n");
    OLVEX_Disconnect(h);
    if (result != kOk) return result;

    const double seconds = double(after.QuadPart - begin.QuadPart) / double(frequency.QuadPart);
    std::sort(ms.begin(), ms.end());
    printf("key %d: %d exchanges of %d bytes in %.3f s\n", o.index, o.count, o.size, seconds);
    printf("rate     %.1f exchanges/s\n", seconds > 0 ? o.count / seconds : 0.0);
    printf("latency  p50 %.3f ms  p99 %.3f ms  max %.3f ms\n", Percentile(ms, 50), Percentile(ms, 99), ms.back());
    return kOk;
}

}  // namespace

int main(int argc, char **argv) {
    // Unbuffered so that results and error lines keep their order.
    setvbuf(stdout, nullptr, _IONBF, 0);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage(kMainUsage, false);
    const std::string command = args[0];
    args.erase(args.begin());
    int rc;
    if (IsHelp(command) || command == "help") rc = Usage(kMainUsage, true);
    else if (command == "list") rc = List(args);
    else if (command == "send") rc = Send(args);
    else if (command == "run") rc = Run(args);
    else if (command == "bench") rc = Bench(args);
    else {
        fprintf(stderr, "olvex: unknown command '%s'\n\n", command.c_str());
        rc = Usage(kMainUsage, false);
    }
    return rc;
}
