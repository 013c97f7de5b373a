#include "trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "format.h"
#include "text.h"

namespace olvextool {

namespace {

using olvextrace::Call;
using olvextrace::Record;

const char kTraceUsage[] =
    "usage: olvex trace show FILE [--json]\n"
    "       olvex trace check FILE\n"
    "\n"
    "FILE is a trace the tracer (bin/trace/Olvexlib.dll) wrote with OLVEX_TRACE.\n"
    "\n"
    "show prints one line per call: its time (UTC), process:thread, the call,\n"
    "count= or index=, key=PATH, status=SW for an answered command or result=R,\n"
    "error=E (the last error the call left), its duration, and for commands\n"
    "cmd=FRAME rsp=FRAME in hex, as sent and as read (a frame the trace keeps\n"
    "only in part ends ...(N bytes)). --json prints one object per line.\n"
    "\n"
    "check reads the whole trace and prints how many records it holds.\n"
    "\n"
    "Exit codes: 0 success; 1 the file cannot be read, or a record is cut\n"
    "short or malformed (named by its number, as Wireshark counts); 2 usage.\n";

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int *y, unsigned *m, unsigned *d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = int(yoe + era * 400 + (*m <= 2));
}

// A frame the record keeps only part of says how long it was, unless `bare`.
std::string Frame(const uint8_t *bytes, uint32_t kept, uint32_t length, bool bare) {
    std::string out = ToHex(bytes, kept);
    if (kept < length && !bare) out += "...(" + std::to_string(length) + " bytes)";
    return out;
}

const char *CallName(Call call) {
    switch (call) {
        case Call::EnumDev: return "EnumDEV";
        case Call::Connect: return "Connect";
        case Call::DoCommand: return "DoCommand";
        case Call::Disconnect: return "Disconnect";
    }
    return "?";
}

bool Slurp(const std::string &name, std::vector<uint8_t> *bytes) {
    FILE *f = fopen(name.c_str(), "rb");
    if (!f) return false;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
    const bool ok = !ferror(f);
    fclose(f);
    return ok;
}

}  // namespace

std::string Describe(const Record &r, int number, bool json) {
    int year;
    unsigned month, day;
    const uint64_t seconds = r.timeUs / 1000000;
    CivilFromDays(int64_t(seconds / 86400), &year, &month, &day);
    char time[48];
    snprintf(time, sizeof time, "%04d-%02u-%02uT%02u:%02u:%02u.%06uZ", year, month, day, unsigned(seconds / 3600 % 24),
             unsigned(seconds / 60 % 60), unsigned(seconds % 60), unsigned(r.timeUs % 1000000));
    const bool command = r.call == Call::DoCommand;
    const bool hasStatus = command && r.result >= 0;
    char status[8];
    snprintf(status, sizeof status, "%04x", unsigned(r.result) & 0xFFFF);
    const std::string path(r.path ? r.path : "", r.pathLength);
    const std::string cmd = Frame(r.command, r.commandKept, r.commandLength, json);
    const std::string rsp = Frame(r.response, r.responseKept, r.responseLength, json);
    const char *argumentName = r.call == Call::EnumDev ? "count" : r.call == Call::Connect ? "index" : nullptr;
    char numbers[96];
    std::string out;
    if (json) {
        snprintf(numbers, sizeof numbers, "{\"record\": %d, \"time\": \"%s\", \"pid\": %u, \"tid\": %u, ", number, time,
                 r.processId, r.threadId);
        out = numbers;
        out += std::string("\"call\": \"") + CallName(r.call) + "\", ";
        if (argumentName) out += std::string("\"") + argumentName + "\": " + std::to_string(r.argument) + ", ";
        out += "\"key\": " + JsonString(path) + ", \"result\": " + std::to_string(r.result);
        if (hasStatus) out += std::string(", \"status\": \"") + status + "\"";
        snprintf(numbers, sizeof numbers, ", \"error\": %u, \"duration_us\": %u", r.error, r.durationUs);
        out += numbers;
        if (command) {
            out += ", \"command\": \"" + cmd + "\", \"command_length\": " + std::to_string(r.commandLength);
            out += ", \"response\": \"" + rsp + "\", \"response_length\": " + std::to_string(r.responseLength);
        }
        out += std::string(", \"redacted\": ") + (r.flags & olvextrace::kRedacted ? "true" : "false") + "}";
        return out;
    }
    snprintf(numbers, sizeof numbers, "%s %u:%u %s", time, r.processId, r.threadId, CallName(r.call));
    out = numbers;
    if (argumentName) out += std::string(" ") + argumentName + "=" + std::to_string(r.argument);
    if (!path.empty()) out += " key=" + path;
    out += hasStatus ? std::string(" status=") + status : " result=" + std::to_string(r.result);
    snprintf(numbers, sizeof numbers, " error=%u %u.%03ums", r.error, r.durationUs / 1000, r.durationUs % 1000);
    out += numbers;
    if (command) out += " cmd=" + cmd + " rsp=" + rsp;
    if (r.flags & olvextrace::kRedacted) out += " redacted";
    return out;
}

int Trace(const std::vector<std::string> &args) {
    std::vector<std::string> rest;
    bool json = false, help = false;
    for (const std::string &a : args) {
        if (a == "--json") json = true;
        else if (a == "--help" || a == "-h") help = true;
        else rest.push_back(a);
    }
    if (help) {
        fputs(kTraceUsage, stdout);
        return 0;
    }
    const bool show = !rest.empty() && rest[0] == "show";
    if (rest.size() != 2 || (!show && rest[0] != "check") || (json && !show)) {
        fputs(kTraceUsage, stderr);
        return 2;
    }
    const std::string &file = rest[1];
    std::vector<uint8_t> bytes;
    if (!Slurp(file, &bytes)) {
        fprintf(stderr, "olvex: cannot read %s: %s\n", file.c_str(), strerror(errno));
        return 1;
    }
    int bad;
    std::string why;
    const int records = olvextrace::ForEachRecord(
        bytes.data(), bytes.size(),
        [&](const Record &r, int number) {
            if (show) printf("%s\n", Describe(r, number, json).c_str());
            return true;
        },
        &bad, &why);
    if (bad == 0) {
        fprintf(stderr, "olvex: %s is not a trace: %s\n", file.c_str(), why.c_str());
        return 1;
    }
    if (bad > 0) {
        fprintf(stderr, "olvex: %s: record %d: %s (%d whole records before it)\n", file.c_str(), bad, why.c_str(),
                records);
        return 1;
    }
    if (!show) printf("%s: %d records, all whole\n", file.c_str(), records);
    return 0;
}

}  // namespace olvextool
