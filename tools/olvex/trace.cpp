#include "trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "format.h"

namespace olvextool {

namespace {

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
        [&](const olvextrace::Record &r, int number) {
            if (show) printf("%s\n", olvextrace::Describe(r, number, json).c_str());
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
