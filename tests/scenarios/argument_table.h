// The bad-argument scenarios (bad-arguments.txt) for the drivers written in
// C++ (olvexlib.hpp, the olvex tool); the .NET and Node.js drivers read the
// same table in their own language.
#pragma once
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "scenario_table.h"

namespace scenarios {

struct ArgumentRow {
    std::string name;
    enum Call { OpenIndex, OpenPath, ExchangeBytes, ExchangeTimeout, ExchangeClosed } call = OpenIndex;
    long long value = 0;  // the index, byte count or time limit
    bool count = false;   // OpenIndex: the listing's count
    std::string path;     // OpenPath
    unsigned long code = 0;  // 0: the C++ layer cannot make this mistake
    std::string says;
    int olvexExit = -1;  // -1: the tool cannot make this mistake
    std::string olvexSays;
};

// False for a call no C++ layer can make (null, text): the row is the bindings'.
inline bool ParseCall(const std::string &s, ArgumentRow *r) {
    const std::vector<std::string> f = Split(s, ' ');
    if (f.size() == 2 && f[0] == "exchange" && f[1] == "closed") return (r->call = ArgumentRow::ExchangeClosed, true);
    if (f.size() != 3 || f[2] == "null" || f[2] == "text") return false;
    r->value = atoll(f[2].c_str());
    r->count = f[2] == "count";
    if (f[0] == "open" && f[1] == "index") r->call = ArgumentRow::OpenIndex;
    else if (f[0] == "open" && f[1] == "path") r->call = ArgumentRow::OpenPath, r->path = f[2];
    else if (f[0] == "exchange" && f[1] == "bytes") r->call = ArgumentRow::ExchangeBytes;
    else if (f[0] == "exchange" && f[1] == "timeout") r->call = ArgumentRow::ExchangeTimeout;
    else return false;
    return true;
}

inline std::vector<ArgumentRow> LoadArguments(const std::string &file, std::string *why) {
    return ReadTable<ArgumentRow>(
        file, 8,
        [](const std::vector<std::string> &c, ArgumentRow *r) {
            r->name = c[0];
            const bool cpp = c[2] != "-", tool = c[4] != "-";
            if (!cpp && !tool) return true;
            if (!ParseCall(c[1], r)) return false;
            r->code = cpp ? strtoul(c[2].c_str(), nullptr, 10) : 0;
            r->says = c[3];
            r->olvexExit = tool ? atoi(c[4].c_str()) : -1;
            r->olvexSays = c[5];
            return (!cpp || (r->code != 0 && !r->says.empty())) && (!tool || !r->olvexSays.empty());
        },
        why);
}

// One test per row of the table `file` that `applies` to this layer, named
// BadArguments.`prefix` + the row's name, running `run(row)`.
template <class Runner>
bool RegisterArgumentRows(const std::string &file, const std::string &prefix, bool (*applies)(const ArgumentRow &),
                          Runner run) {
    std::string why;
    std::vector<ArgumentRow> rows;
    for (ArgumentRow row : LoadArguments(file, &why)) {
        if (!applies(row)) continue;
        row.name = prefix + row.name;
        rows.push_back(row);
    }
    if (rows.empty() && why.empty()) why = file + ": no row for this layer";
    struct RowTest : testing::Test {
        ArgumentRow row;
        Runner runner;
        RowTest(ArgumentRow r, Runner f) : row(std::move(r)), runner(f) {}
        void TestBody() override { runner(row); }
    };
    return RegisterRows("BadArguments", rows, why,
                        [run](const ArgumentRow &row, int) { return new RowTest(row, run); });
}

}  // namespace scenarios
