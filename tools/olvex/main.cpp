// olvex: list the attached keys, send them commands, replay scripts, measure.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "guard.h"
#include "olvexlib.hpp"
#include "text.h"
#include "trace.h"

using namespace olvextool;

namespace {

// Exit codes scripts rely on.
enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kNoKey = 3, kNoAnswer = 4, kInterrupted = 130 };

const char kMainUsage[] =
    "usage: olvex COMMAND [OPTIONS]\n"
    "       olvex --version\n"
    "\n"
    "  list    the attached keys, oldest first\n"
    "  send    send hex commands to a key\n"
    "  run     replay a script of commands, checking status words\n"
    "  bench   measure exchange rate and latency\n"
    "  watch   report keys as they are attached and removed\n"
    "  trace   show or check a trace the tracer wrote\n"
    "\n"
    "`olvex COMMAND --help` describes a command. The commands share their\n"
    "options: --key K (an index in the listing, or a device path), --timeout MS,\n"
    "--json (what they print, as JSON).\n"
    "\n"
    "Exit codes: 0 success; 1 an exchange failed, a status word did not match,\n"
    "or the keys could not be listed; 2 usage error (nothing was sent);\n"
    "3 no key at that index, path or serial (or two keys claim the serial), it\n"
    "cannot be opened, or it was removed;\n"
    "4 the key did not answer\n"
    "within --timeout, or its lock stayed held by another program that long;\n"
    "130 interrupted by Ctrl-C (the exchange is cancelled and the key's lock\n"
    "released first).\n";

const char kListUsage[] =
    "usage: olvex list [--json]\n"
    "\n"
    "One line per attached key: first the keys the library lists, oldest\n"
    "first, with the index --key takes, the device path and the local time it\n"
    "was attached; then every other attached key, with - for its index and why\n"
    "it cannot be opened (beyond the 10 keys the library lists, or the\n"
    "platform's cause). --json prints an array of objects with \"index\" (or\n"
    "null), \"path\", \"attached\" (ISO 8601 local time, or null),\n"
    "\"openable\", and for a key that is not, \"why\" and \"error\" (the Windows\n"
    "code, or null). Each key also shows what its path says it is: vendor id\n"
    "and product id (4 hex digits) and serial, left out where the path does not\n"
    "say; in --json \"vendor_id\" and \"product_id\" (numbers, or null) and\n"
    "\"serial\" (or null).\n";

const char kSendUsage[] =
    "usage: olvex send [--key K | --serial S] [--timeout MS] [--json] HEX...\n"
    "\n"
    "Sends each HEX argument (pairs of hex digits, blanks ignored) as one\n"
    "command to key K: an index in the listing (default 0) or a device path.\n"
    "Prints the body of each response as hex with printable ASCII beside it,\n"
    "then its status word; --json, one object per response with \"sent\",\n"
    "\"status\" and \"body\" (hex). Every argument is checked before the first\n"
    "is sent. --index N and --path PATH are the older spellings of --key.\n"
    "--serial S names the key whose serial is S (as olvex list shows it; case\n"
    "does not count; two keys with that serial are refused, naming both).\n"
    "\n"
    "--timeout MS gives each exchange MS milliseconds, the wait for the key's\n"
    "lock included; without it the tool waits as long as the key takes. A key\n"
    "that does not answer in time ends the command with exit code 4; its late\n"
    "answer is still read and dropped (up to 2 s) before olvex exits, so that\n"
    "no other program receives it. A key removed meanwhile ends it with exit\n"
    "code 3.\n";

const char kRunUsage[] =
    "usage: olvex run [--key K | --serial S] [--timeout MS] [--transaction] [--json] FILE\n"
    "\n"
    "Sends the commands of FILE (- for standard input) to key K (as for send),\n"
    "one per line:\n"
    "\n"
    "    # select, expecting 9000\n"
    "    00 a4 04 00 => 9000\n"
    "    80ca9f7f              # any status word\n"
    "\n"
    "'#' starts a comment; '=> SW' (four hex digits) is the status word the key\n"
    "must answer. Stops at the first failed exchange or mismatch, naming its\n"
    "line. The whole file is checked before anything is sent. --timeout MS\n"
    "limits each exchange as for send (exit code 4). --json prints one object\n"
    "per line of FILE, as send does, with its \"line\".\n"
    "\n"
    "--transaction sends the whole file as one transaction: the key's lock is\n"
    "taken once (within --timeout, else exit code 4, nothing sent) and kept\n"
    "until the last command, so that no other program's command comes between\n"
    "them. It is released as soon as the run ends, however it ends.\n";

const char kBenchUsage[] =
    "usage: olvex bench [--key K | --serial S] [--size S] [--count C] [--timeout MS] [--json]\n"
    "\n"
    "Exchanges C commands (default 1000) of S payload bytes (default 16) with\n"
    "key K (as for send) and prints exchanges per second and latency\n"
    "percentiles; --json, one object. While it runs, a progress line is\n"
    "written to standard error when that is a console. --timeout MS limits\n"
    "each exchange as for send (exit code 4).\n";

const char kWatchUsage[] =
    "usage: olvex watch [--interval MS] [--json]\n"
    "\n"
    "Prints the attached keys, then a line whenever a key is attached or\n"
    "removed, until Ctrl-C:\n"
    "\n"
    "    2024-05-01 13:04:05.123  attached  \\\\?\\usb#vid_1234&pid_5678#...  2024-05-01 13:04:05.101\n"
    "\n"
    "with the local time, what happened, the key's device path and, for an\n"
    "attached key, when it was attached. A key is reported once it can be\n"
    "opened; one unplugged and plugged back is reported removed, then\n"
    "attached. Changes come from the system's device notifications where it\n"
    "gives them, else from listing the keys every MS milliseconds (default\n"
    "250); the first line on standard error says which. Ctrl-C ends it (exit\n"
    "code 130). --json prints one object per line with \"time\", \"event\",\n"
    "\"path\" and \"attached\".\n";

int Usage(const char *text, bool asked) {
    fputs(text, asked ? stdout : stderr);
    return asked ? kOk : kUsage;
}

bool IsHelp(const std::string &a) { return a == "--help" || a == "-h"; }

// Options shared by the key commands; positional arguments are collected.
struct Options {
    int index = 0;  // --key as an index, or --index
    int size = 16;
    int count = 1000;
    int timeout = -1;  // none
    int interval = 250;
    std::string path;
    std::string serial;
    bool indexGiven = false;
    bool json = false;
    bool transaction = false;
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
        if (a == "--json" || a == "--transaction") {
            (a == "--json" ? o->json : o->transaction) = true;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                *why = a + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (a == "--path" || a == "--serial") {
            (a == "--path" ? o->path : o->serial) = value;
            continue;
        }
        // A device path starts with a backslash; anything else is an index.
        if (a == "--key" && !value.empty() && value[0] == '\\') {
            o->path = value;
            continue;
        }
        o->indexGiven |= a == "--index" || a == "--key";
        int *target = a == "--index" || a == "--key" ? &o->index
                      : a == "--size"    ? &o->size
                      : a == "--timeout" ? &o->timeout
                      : a == "--interval" ? &o->interval
                                          : &o->count;
        if (!ParseCount(value, target)) {
            *why = a == "--key" ? "--key takes an index or a device path (\\\\?\\...), not '" + value + "'"
                                : a + " takes a non-negative number, not '" + value + "'";
            return false;
        }
        if ((a == "--timeout" || a == "--interval") && *target < 1) {
            *why = a + " must be at least 1";
            return false;
        }
    }
    if (int(o->indexGiven) + int(!o->path.empty()) + int(!o->serial.empty()) > 1) {
        *why = "--index, --path and --serial each name the key: give one";
        return false;
    }
    return true;
}

int UsageError(const std::string &why, const char *usage) {
    fprintf(stderr, "olvex: %s\n\n", why.c_str());
    fputs(usage, stderr);
    return kUsage;
}

// What a cause means, in the library's words where it has its own, then its
// code: "the key has been removed (...) (error 1167)".
std::string Cause(const std::error_code &ec) {
    return olvex::error_message(ec.value()) + " (error " + std::to_string(ec.value()) + ")";
}

int ReportInterrupted() {
    fprintf(stderr, "olvex: interrupted\n");
    return kInterrupted;
}

// Local time, "2024-05-01 13:04:05.123" (separator ' ') or ISO 8601 ('T').
std::string FormatLocal(std::chrono::system_clock::time_point when, char separator) {
    const FILETIME time = olvex::detail::to_filetime(when);
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&time, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return "";
    char text[40];
    snprintf(text, sizeof text, "%04u-%02u-%02u%c%02u:%02u:%02u.%03u", local.wYear, local.wMonth, local.wDay,
             separator, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
    return text;
}

// Why a key the listing does not hold cannot be opened.
std::string WhyNot(const olvex::key_info &k) {
    switch (k.state) {
        case olvex::key_state::not_listed:
            return "beyond the 10 keys the library lists (the oldest ones)";
        case olvex::key_state::undated:
            return "the platform keeps no attach time for it, so the library does not list it";
        case olvex::key_state::open_failed:
            return "it does not open: " + Cause(k.open_error);
        case olvex::key_state::openable:
            break;
    }
    return "";
}

// "  vid 1234  pid 5678  serial SN0001", each part only where the path says it.
std::string IdentityText(const olvex::key_identity &id) {
    char ids[32] = "";
    if (id.vendor_id || id.product_id) snprintf(ids, sizeof ids, "  vid %04x  pid %04x", id.vendor_id, id.product_id);
    return ids + (id.serial.empty() ? std::string() : "  serial " + id.serial);
}

std::string IdentityJson(const olvex::key_identity &id) {
    const bool ids = id.vendor_id || id.product_id;
    return "\"vendor_id\": " + (ids ? std::to_string(id.vendor_id) : "null") +
           ", \"product_id\": " + (ids ? std::to_string(id.product_id) : "null") +
           ", \"serial\": " + (id.serial.empty() ? "null" : JsonString(id.serial));
}

int List(const std::vector<std::string> &args) {
    Options o;
    std::string why;
    if (!ParseOptions(args, "--json", &o, &why)) return UsageError(why, kListUsage);
    if (o.help) return Usage(kListUsage, true);
    if (!o.positional.empty()) return UsageError("unexpected argument " + o.positional[0], kListUsage);

    std::error_code ec;
    const std::vector<olvex::key_info> found = olvex::keys(ec);
    if (ec) {
        fprintf(stderr, "olvex: cannot list keys: %s\n", Cause(ec).c_str());
        return kFailed;
    }
    if (o.json) printf("[");
    for (size_t i = 0; i < found.size(); ++i) {
        const olvex::key_info &k = found[i];
        const bool dated = k.attached != std::chrono::system_clock::time_point();
        const std::string when = dated ? FormatLocal(k.attached, o.json ? 'T' : ' ') : "";
        const bool openable = k.state == olvex::key_state::openable;
        const olvex::key_identity id = olvex::identify(k.path);
        if (o.json) {
            printf("%s\n  {\"index\": %s, \"path\": %s, \"attached\": %s, \"openable\": %s", i ? "," : "",
                   openable ? std::to_string(k.index).c_str() : "null", JsonString(k.path).c_str(),
                   when.empty() ? "null" : JsonString(when).c_str(), openable ? "true" : "false");
            if (!openable)
                printf(", \"why\": %s, \"error\": %s", JsonString(WhyNot(k)).c_str(),
                       k.open_error ? std::to_string(k.open_error.value()).c_str() : "null");
            printf(", %s}", IdentityJson(id).c_str());
        } else if (openable) {
            printf("%d  %s  attached %s%s\n", k.index, k.path.c_str(), when.empty() ? "(unknown)" : when.c_str(),
                   IdentityText(id).c_str());
        } else {
            printf("-  %s  cannot be opened: %s\n", k.path.c_str(), WhyNot(k).c_str());
        }
    }
    if (o.json) printf(found.empty() ? "]\n" : "\n]\n");
    if (!o.json && found.empty()) fprintf(stderr, "olvex: no keys attached\n");
    return kOk;
}

// Enumerates and opens key `index`, explaining any failure on stderr.
int Open(int index, olvex::connection *key) {
    std::error_code ec;
    const int count = olvex::key_count(ec);
    if (ec) {
        fprintf(stderr, "olvex: connect failed: cannot list keys: %s\n", Cause(ec).c_str());
        return kNoKey;
    }
    if (index >= count) {
        fprintf(stderr, "olvex: connect failed: no key at index %d (%d attached)\n", index, count);
        return kNoKey;
    }
    *key = olvex::connection(index, ec);
    if (ec) {
        fprintf(stderr, "olvex: cannot open key %d: %s\n", index, Cause(ec).c_str());
        return kNoKey;
    }
    return kOk;
}

int OpenPath(const std::string &path, olvex::connection *key) {
    std::error_code ec;
    *key = olvex::connection(path, ec);
    if (ec.value() == ERROR_DEVICE_NOT_CONNECTED) {
        fprintf(stderr, "olvex: connect failed: no attached key has the path %s\n", path.c_str());
        return kNoKey;
    }
    if (ec) {
        fprintf(stderr, "olvex: cannot open key %s: %s\n", path.c_str(), Cause(ec).c_str());
        return kNoKey;
    }
    return kOk;
}

int OpenSerial(const std::string &serial, olvex::connection *key) {
    std::error_code ec;
    std::vector<std::string> claimants;
    *key = olvex::connection::open_serial(serial, ec, &claimants);
    if (ec.value() == ERROR_DEVICE_NOT_CONNECTED) {
        fprintf(stderr, "olvex: connect failed: no attached key has the serial %s\n", serial.c_str());
    } else if (ec.value() == ERROR_AMBIGUOUS_SYSTEM_DEVICE) {
        std::string paths;
        for (size_t i = 0; i < claimants.size(); ++i)
            paths += (i == 0 ? "" : i + 1 < claimants.size() ? ", " : " and ") + claimants[i];
        fprintf(stderr, "olvex: connect failed: %zu keys have the serial %s: %s\n", claimants.size(), serial.c_str(),
                paths.c_str());
    } else if (ec) {
        fprintf(stderr, "olvex: cannot open the key with serial %s: %s\n", serial.c_str(), Cause(ec).c_str());
    }
    return ec ? kNoKey : kOk;
}

// One exchange as every key command does it: the outcome on stderr, after
// `what` (which command, which script line); kOk with the response, or the
// exit code. `name` says which key: "key 0", or its path.
int Exchange(const olvex::exchanger &key, const std::string &name, int timeout, const std::vector<uint8_t> &payload,
             const std::string &what, olvex::response *response) {
    Exchanged x = olvextool::Exchange(key, payload, timeout);
    switch (x.outcome) {
        case Outcome::Answered:
            *response = std::move(x.response);
            return kOk;
        case Outcome::Interrupted:
            return ReportInterrupted();
        case Outcome::NoAnswer:
            fprintf(stderr, "olvex: %s%s did not answer within %d ms\n", what.c_str(), name.c_str(), timeout);
            return kNoAnswer;
        case Outcome::LockHeld:
            fprintf(stderr,
                    "olvex: %s%s did not answer within %d ms: still waiting for the key's lock, "
                    "which another program holds; nothing was sent\n",
                    what.c_str(), name.c_str(), timeout);
            return kNoAnswer;
        case Outcome::Removed:
            fprintf(stderr, "olvex: %s%s: key removed\n", what.c_str(), name.c_str());
            return kNoKey;
        case Outcome::Failed:
            break;
    }
    fprintf(stderr, "olvex: %sexchange with %s failed: %s\n", what.c_str(), name.c_str(), Cause(x.error).c_str());
    return kFailed;
}

// The key a command names, open for exchanges. Closing it, however the
// command ends, gives an answer the key still owes its grace to come.
struct Session {
    OpenKey open;
    olvex::connection key;
    std::string name;

    int Start(const Options &o) {
        if (!o.serial.empty()) {
            name = "key " + o.serial;
            return OpenSerial(o.serial, &key);
        }
        name = o.path.empty() ? "key " + std::to_string(o.index) : "key " + o.path;
        return o.path.empty() ? Open(o.index, &key) : OpenPath(o.path, &key);
    }
};

// `line`: the script's line, or 0.
void PrintResponse(size_t sent, const olvex::response &r, bool json, int line = 0) {
    if (json) {
        static const char digits[] = "0123456789abcdef";
        std::string body;
        for (uint8_t b : r.body) {
            body += digits[b >> 4];
            body += digits[b & 15];
        }
        if (line) printf("{\"line\": %d, ", line);
        else printf("{");
        printf("\"sent\": %zu, \"status\": \"%04x\", \"body\": \"%s\"}\n", sent, unsigned(r.status), body.c_str());
        return;
    }
    if (line) printf("line %d: ", line);
    printf("sent %zu bytes; status %04x; body %zu bytes\n", sent, unsigned(r.status), r.body.size());
    fputs(HexDump(r.body.data(), r.body.size()).c_str(), stdout);
}

int Send(const std::vector<std::string> &args) {
    Options o;
    std::string why;
    if (!ParseOptions(args, "--key --index --path --serial --timeout --json", &o, &why)) return UsageError(why, kSendUsage);
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
    Session s;
    if (int rc = s.Start(o)) return rc;
    for (size_t i = 0; i < payloads.size(); ++i) {
        olvex::response r;
        const std::string what = "command " + std::to_string(i + 1) + " (" + std::to_string(payloads[i].size()) +
                                 " bytes): ";
        if (int rc = Exchange(s.key, s.name, o.timeout, payloads[i], what, &r)) return rc;
        PrintResponse(payloads[i].size(), r, o.json);
    }
    return kOk;
}

bool ReadAll(const std::string &file, std::string *text, std::error_code *ec) {
    const bool console = file == "-";
    HANDLE h = console ? GetStdHandle(STD_INPUT_HANDLE)
                       : CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *ec = std::error_code(int(GetLastError()), std::system_category());
        return false;
    }
    char chunk[4096];
    DWORD n;
    bool ok = true;
    while (true) {
        if (!ReadFile(h, chunk, sizeof chunk, &n, nullptr)) {
            // A pipe whose writer has finished ends the input.
            ok = GetLastError() == ERROR_BROKEN_PIPE;
            if (!ok) *ec = std::error_code(int(GetLastError()), std::system_category());
            break;
        }
        if (n == 0) break;
        text->append(chunk, n);
    }
    if (!console) CloseHandle(h);
    return ok;
}

int Run(const std::vector<std::string> &args) {
    Options o;
    std::string why;
    if (!ParseOptions(args, "--key --index --path --serial --timeout --transaction --json", &o, &why))
        return UsageError(why, kRunUsage);
    if (o.help) return Usage(kRunUsage, true);
    if (o.positional.size() != 1) return UsageError("run takes one FILE", kRunUsage);
    const std::string &file = o.positional[0];
    std::string text;
    std::error_code ec;
    if (!ReadAll(file, &text, &ec)) {
        fprintf(stderr, "olvex: cannot read %s: %s\n", file.c_str(), Cause(ec).c_str());
        return kUsage;
    }
    std::vector<ScriptStep> steps;
    int bad = 0;
    if (!ParseScript(text, &steps, &bad, &why)) {
        fprintf(stderr, "olvex: %s:%d: %s; nothing sent\n", file.c_str(), bad, why.c_str());
        return kUsage;
    }
    Session s;
    if (int rc = s.Start(o)) return rc;
    olvex::transaction tx;
    if (o.transaction) {
        const std::error_code begun = olvextool::Begin(s.key, o.timeout, &tx);
        if (Interrupted()) return ReportInterrupted();
        if (begun.value() == WAIT_TIMEOUT) {
            fprintf(stderr,
                    "olvex: %s: the key's lock was not had within %d ms: another program holds it; nothing was sent\n",
                    s.name.c_str(), o.timeout);
            return kNoAnswer;
        }
        if (begun) {
            fprintf(stderr, "olvex: cannot begin a transaction with %s: %s\n", s.name.c_str(), Cause(begun).c_str());
            return begun.value() == ERROR_DEVICE_NOT_CONNECTED ? kNoKey : kFailed;
        }
    }
    const olvex::exchanger &via = o.transaction ? static_cast<const olvex::exchanger &>(tx) : s.key;
    for (const ScriptStep &step : steps) {
        olvex::response r;
        const std::string where = file + ":" + std::to_string(step.line) + ": ";
        if (int rc = Exchange(via, s.name, o.timeout, step.payload, where, &r)) return rc;
        PrintResponse(step.payload.size(), r, o.json, step.line);
        if (step.expectStatus && r.status != step.status) {
            fprintf(stderr, "olvex: %s:%d: expected status %04x, got %04x; stopped\n", file.c_str(), step.line,
                    step.status, unsigned(r.status));
            return kFailed;
        }
    }
    if (!o.json) printf("%zu commands, all as expected%s\n", steps.size(), o.transaction ? ", in one transaction" : "");
    return kOk;
}

bool IsConsole(DWORD which) {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

int Bench(const std::vector<std::string> &args) {
    Options o;
    std::string why;
    if (!ParseOptions(args, "--key --index --path --serial --size --count --timeout --json", &o, &why))
        return UsageError(why, kBenchUsage);
    if (o.help) return Usage(kBenchUsage, true);
    if (!o.positional.empty()) return UsageError("unexpected argument " + o.positional[0], kBenchUsage);
    if (o.size > OLVEX_MAX_COMMAND) return UsageError("--size is at most 65532", kBenchUsage);
    if (o.count < 1) return UsageError("--count must be at least 1", kBenchUsage);

    Session s;
    if (int rc = s.Start(o)) return rc;
    std::vector<uint8_t> payload(size_t(o.size));
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7 + 1);

    // Rewriting a line in place only makes sense on a console.
    const bool progress = IsConsole(STD_ERROR_HANDLE);
    LARGE_INTEGER frequency, begin, before, after, lastShown;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> ms;
    ms.reserve(size_t(o.count));
    QueryPerformanceCounter(&begin);
    lastShown = begin;
    for (int i = 0; i < o.count; ++i) {
        olvex::response r;
        const std::string what = "exchange " + std::to_string(i + 1) + " of " + std::to_string(o.count) + ": ";
        QueryPerformanceCounter(&before);
        const int rc = Exchange(s.key, s.name, o.timeout, payload, what, &r);
        QueryPerformanceCounter(&after);
        if (rc) return rc;
        ms.push_back(double(after.QuadPart - before.QuadPart) * 1000.0 / double(frequency.QuadPart));
        // About four times a second, rewritten in place.
        if (progress && ((after.QuadPart - lastShown.QuadPart) * 4 >= frequency.QuadPart || i + 1 == o.count)) {
            fprintf(stderr, "\r%d/%d exchanges", i + 1, o.count);
            lastShown = after;
        }
    }
    if (progress) fprintf(stderr, "\n");

    const double seconds = double(after.QuadPart - begin.QuadPart) / double(frequency.QuadPart);
    std::sort(ms.begin(), ms.end());
    if (o.json) {
        printf("{\"key\": %s, \"count\": %d, \"size\": %d, \"seconds\": %.3f, \"rate\": %.1f, \"p50_ms\": %.3f, "
               "\"p99_ms\": %.3f, \"max_ms\": %.3f}\n",
               JsonString(s.key.path()).c_str(), o.count, o.size, seconds, seconds > 0 ? o.count / seconds : 0.0,
               Percentile(ms, 50), Percentile(ms, 99), ms.back());
        return kOk;
    }
    printf("%s: %d exchanges of %d bytes in %.3f s\n", s.name.c_str(), o.count, o.size, seconds);
    printf("rate     %.1f exchanges/s\n", seconds > 0 ? o.count / seconds : 0.0);
    printf("latency  p50 %.3f ms  p99 %.3f ms  max %.3f ms\n", Percentile(ms, 50), Percentile(ms, 99), ms.back());
    return kOk;
}

std::string Now() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond, t.wMilliseconds);
    return text;
}

int Watch(const std::vector<std::string> &args) {
    Options o;
    std::string why;
    if (!ParseOptions(args, "--interval --json", &o, &why)) return UsageError(why, kWatchUsage);
    if (o.help) return Usage(kWatchUsage, true);
    if (!o.positional.empty()) return UsageError("unexpected argument " + o.positional[0], kWatchUsage);

    std::error_code ec;
    // The keys present come first, as attached; then each change.
    olvex::key_watcher watcher(
        [json = o.json](const olvex::key_event &e) {
            const bool attached = e.what == olvex::key_event::attached;
            if (json) {
                printf("{\"time\": %s, \"event\": \"%s\", \"path\": %s, \"attached\": %s}\n", JsonString(Now()).c_str(),
                       attached ? "attached" : "removed", JsonString(e.key.path).c_str(),
                       attached ? JsonString(FormatLocal(e.key.attached, 'T')).c_str() : "null");
                return;
            }
            printf("%s  %s  %s%s%s\n", Now().c_str(), attached ? "attached" : "removed ", e.key.path.c_str(),
                   attached ? "  " : "", attached ? FormatLocal(e.key.attached, ' ').c_str() : "");
        },
        ec, std::chrono::milliseconds(o.interval));
    if (ec) {
        fprintf(stderr, "olvex: cannot watch for keys: %s\n", Cause(ec).c_str());
        return kFailed;
    }
    if (watcher.notified())
        fprintf(stderr, "olvex: watching, notified by the system; Ctrl-C stops\n");
    else
        fprintf(stderr, "olvex: watching, listing the keys every %d ms; Ctrl-C stops\n", o.interval);
    while (!SleepUnlessInterrupted(INFINITE)) {
    }
    watcher.stop();
    return kInterrupted;
}

// The tool's version and the library's, as loaded.
int Version() {
    printf("olvex %s (olvexlib.hpp %s", OLVEXLIB_HPP_VERSION, OLVEXLIB_HPP_VERSION);
    char path[MAX_PATH];
    DWORD ignored = 0;
    const HMODULE library = GetModuleHandleA("Olvexlib.dll");
    const DWORD n = library ? GetModuleFileNameA(library, path, sizeof path) : 0;
    const DWORD size = n && n < sizeof path ? GetFileVersionInfoSizeA(path, &ignored) : 0;
    std::vector<char> info(size);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (size && GetFileVersionInfoA(path, 0, size, info.data()) &&
        VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length) && fixed)
        printf(", Olvexlib.dll %u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
               HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    printf(")\n");
    return kOk;
}

}  // namespace

int main(int argc, char **argv) {
    // Unbuffered so that results and error lines keep their order.
    setvbuf(stdout, nullptr, _IONBF, 0);
    CatchInterrupts();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage(kMainUsage, false);
    const std::string command = args[0];
    args.erase(args.begin());
    int rc;
    if (IsHelp(command) || command == "help") rc = Usage(kMainUsage, true);
    else if (command == "--version") rc = Version();
    else if (command == "list") rc = List(args);
    else if (command == "send") rc = Send(args);
    else if (command == "run") rc = Run(args);
    else if (command == "bench") rc = Bench(args);
    else if (command == "watch") rc = Watch(args);
    else if (command == "trace") rc = Trace(args);
    else {
        fprintf(stderr, "olvex: unknown command '%s'\n\n", command.c_str());
        rc = Usage(kMainUsage, false);
    }
    return rc;
}
