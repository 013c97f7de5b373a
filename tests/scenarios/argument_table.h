// The bad-argument scenarios (bad-arguments.txt) for the drivers written in
// C++ (olvexlib.hpp, the olvex tool).
#pragma once
#include <cstdlib>
#include <string>
#include <vector>

#include "scenario_table.h"

namespace scenarios {

struct ArgumentRow {
    std::string name;
    enum Call { OpenIndex, OpenPath, ExchangeBytes, ExchangeTimeout, ExchangeClosed } call = OpenIndex;
    long long value = 0;  // the index, byte count or time limit
    std::string path;     // OpenPath
    unsigned long code = 0;
    std::string says;
    int olvexExit = -1;  // -1: the tool cannot make this mistake
    std::string olvexSays;
};

inline bool ParseCall(const std::string &s, ArgumentRow *r) {
    const std::vector<std::string> f = Split(s, ' ');
    if (f.size() == 2 && f[0] == "exchange" && f[1] == "closed") return (r->call = ArgumentRow::ExchangeClosed, true);
    if (f.size() != 3) return false;
    r->value = atoll(f[2].c_str());
    if (f[0] == "open" && f[1] == "index") r->call = ArgumentRow::OpenIndex;
    else if (f[0] == "open" && f[1] == "path") r->call = ArgumentRow::OpenPath, r->path = f[2];
    else if (f[0] == "exchange" && f[1] == "bytes") r->call = ArgumentRow::ExchangeBytes;
    else if (f[0] == "exchange" && f[1] == "timeout") r->call = ArgumentRow::ExchangeTimeout;
    else return false;
    return true;
}

inline std::vector<ArgumentRow> LoadArguments(const std::string &file, std::string *why) {
    std::vector<ArgumentRow> rows;
    std::string text;
    if (!Slurp(file, &text, why)) return rows;
    int line = 0;
    for (const std::string &raw : Split(text, '\n')) {
        ++line;
        if (raw.empty() || raw[0] == '#') continue;
        const std::vector<std::string> c = Split(raw, '|');
        ArgumentRow r;
        bool ok = c.size() == 6 && ParseCall(c[1], &r);
        if (ok) {
            r.name = c[0];
            r.code = strtoul(c[2].c_str(), nullptr, 10);
            r.says = c[3];
            r.olvexExit = c[4] == "-" ? -1 : atoi(c[4].c_str());
            r.olvexSays = c[5];
            ok = r.code != 0 && !r.says.empty();
        }
        if (!ok) {
            *why = file + ":" + std::to_string(line) + ": not a row";
            return {};
        }
        rows.push_back(r);
    }
    if (rows.empty()) *why = file + " has no rows";
    return rows;
}

}  // namespace scenarios
