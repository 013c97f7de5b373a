// The timed-exchange scenarios (timed-exchange.txt) for the drivers written in
// C++: the table, the keysim commands a row uses, and a row's run against a
// layer (olvexlib.hpp, the olvex tool). The .NET and Node.js drivers read the
// same table in their own language.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include "keysim.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace scenarios {

struct Window {
    double min = 0, max = 0;
};

struct Step {
    enum Kind { Same, Second, Process, Close } kind = Same;
    int timeoutMs = 0;      // 0: no limit
    DWORD code = 0;         // 0: the exchange's own answer
    Window within;          // Close
};

struct Row {
    std::string name, key;
    int holdMs = 0, timeoutMs = 0, cancelMs = 0;
    DWORD expect = 0;  // 0: answered
    Window within;
    std::vector<Step> then;
    unsigned requests = 0;
};

inline std::string Trim(const std::string &s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

inline std::vector<std::string> Split(const std::string &s, char by) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, by)) parts.push_back(Trim(part));
    return parts;
}

inline bool Slurp(const std::string &file, std::string *text, std::string *why) {
    FILE *f = fopen(file.c_str(), "rb");
    if (!f) {
        *why = "cannot open " + file;
        return false;
    }
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) text->append(chunk, n);
    fclose(f);
    return true;
}

inline bool ParseWindow(const std::string &s, Window *w) {
    return sscanf(s.c_str(), "%lf-%lf", &w->min, &w->max) == 2;
}

inline bool ParseStep(const std::string &s, Step *step) {
    std::vector<std::string> f = Split(s, ':');
    if (f[0] == "close") {
        step->kind = Step::Close;
        return f.size() == 2 && ParseWindow(f[1], &step->within);
    }
    if (f[0] == "process") step->kind = Step::Process;
    else if (f[0] == "same") step->kind = Step::Same;
    else if (f[0] == "second") step->kind = Step::Second;
    else return false;
    if (f.size() > 1) step->timeoutMs = atoi(f[1].c_str());
    if (f.size() > 2) step->code = DWORD(strtoul(f[2].c_str(), nullptr, 10));
    return f.size() <= 3;
}

// The rows of `file`; an empty list, with `why`, when it cannot be read.
inline std::vector<Row> Load(const std::string &file, std::string *why) {
    std::vector<Row> rows;
    std::string text;
    if (!Slurp(file, &text, why)) return rows;
    int line = 0;
    for (const std::string &raw : Split(text, '\n')) {
        ++line;
        if (raw.empty() || raw[0] == '#') continue;
        std::vector<std::string> c = Split(raw, '|');
        Row r;
        bool ok = c.size() == 9;
        if (ok) {
            r.name = c[0];
            r.key = c[1];
            r.holdMs = atoi(c[2].c_str());
            r.timeoutMs = atoi(c[3].c_str());
            r.cancelMs = atoi(c[4].c_str());
            r.expect = c[5] == "ok" ? 0 : DWORD(strtoul(c[5].c_str(), nullptr, 10));
            ok = ParseWindow(c[6], &r.within);
            if (c[7] != "none")
                for (const std::string &s : Split(c[7], ',')) {
                    Step step;
                    ok = ok && ParseStep(s, &step);
                    r.then.push_back(step);
                }
            r.requests = unsigned(atoi(c[8].c_str()));
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

// The directory of this program, where keysim.exe and olvex.exe sit.
inline std::string SelfDirectory() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

// Runs `keysim ARGS` to its end; its exit code, or -1.
inline int Keysim(const std::string &args) {
    std::string command = "\"" + SelfDirectory() + "keysim.exe\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    else TerminateProcess(pi.hProcess, DWORD(-1));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return int(code);
}

// What one exchange came to: `code` 0 when answered, `own` when the answer
// was the command's own (its body starts with the command's first byte).
struct Outcome {
    DWORD code = 0;
    bool own = false;
    double ms = 0;
};

// One layer's way of doing what a row asks. Its connection is to the only
// key plugged.
class Layer {
public:
    virtual ~Layer() = default;
    // Whether steps that expect a code other than an answer, and close times,
    // apply: a layer that makes one process per exchange has no connection
    // that outlives its call.
    virtual bool InProcess() const = 0;
    virtual std::string Open(const std::string &path) = 0;
    // 01 with limit `timeoutMs`, cancelled from outside after `cancelMs` (0: not).
    virtual Outcome Call(int timeoutMs, int cancelMs) = 0;
    // 0b on the same connection or a second one; `timeoutMs` 0: no limit.
    virtual Outcome Again(bool second, int timeoutMs) = 0;
    // Closes the first connection; the ms it took.
    virtual double Close() = 0;
    // Closes whatever is left open.
    virtual void Finish() = 0;
};

inline std::string Describe(const Outcome &o) {
    return (o.code ? "error " + std::to_string(o.code) : std::string(o.own ? "its own answer" : "another answer")) +
           " after " + std::to_string(int(o.ms)) + " ms";
}

inline bool Inside(double ms, const Window &w) { return ms >= w.min && ms <= w.max; }

// Runs `row` through `layer` on a key plugged as `serial`; empty when it
// passed, else what went wrong. `slackMs` widens the upper bounds of times
// (a layer that starts a process per exchange).
inline std::string RunRow(const Row &row, Layer &layer, const std::string &serial, const std::string &path,
                          double slackMs = 0) {
    const std::string key = "--serial " + serial;
    if (Keysim("plug " + key + " " + row.key) != 0) return "keysim plug " + row.key + " failed";
    std::string why = layer.Open(path);
    if (why.empty() && row.holdMs > 0 && Keysim("hold " + key + " --ms " + std::to_string(row.holdMs)) != 0)
        why = "keysim hold failed";
    if (why.empty()) {
        const Outcome o = layer.Call(row.timeoutMs, row.cancelMs);
        const Window within = {row.within.min, row.within.max + slackMs};
        if (o.code != row.expect || (row.expect == 0 && !o.own) || !Inside(o.ms, within))
            why = "the call: " + Describe(o);
    }
    for (const Step &step : row.then) {
        if (!why.empty()) break;
        if (step.kind == Step::Close) {
            if (!layer.InProcess()) continue;
            const double ms = layer.Close();
            if (!Inside(ms, step.within)) why = "close took " + std::to_string(int(ms)) + " ms";
        } else if (step.kind == Step::Process) {
            if (Keysim("exchange " + key + " 0b") != 0) why = "another program did not get its own answer";
        } else if (step.code == 0 || layer.InProcess()) {
            const Outcome o = layer.Again(step.kind == Step::Second, step.timeoutMs);
            if (o.code != step.code || (step.code == 0 && !o.own))
                why = std::string(step.kind == Step::Second ? "second" : "same") + ": " + Describe(o);
        }
    }
    layer.Finish();
    if (why.empty()) {
        const int checked = Keysim("check " + key + " --requests " + std::to_string(row.requests));
        if (checked != 0)
            why = "keysim check exited " + std::to_string(checked) +
                  ": interleaved, misdelivered or request count (see its output)";
    }
    if (Keysim("unplug " + key) != 0 && why.empty()) why = "keysim unplug failed";
    return why;
}

}  // namespace scenarios

namespace scenarios {

// A row of key-events.txt.
struct EventRow {
    std::string name;
    std::vector<std::string> actions;
    std::vector<std::string> events;  // "attached A", ...; empty for none
};

inline std::vector<EventRow> LoadEvents(const std::string &file, std::string *why) {
    std::vector<EventRow> rows;
    std::string text;
    if (!Slurp(file, &text, why)) return rows;
    for (const std::string &raw : Split(text, '\n')) {
        if (raw.empty() || raw[0] == '#') continue;
        std::vector<std::string> c = Split(raw, '|');
        if (c.size() != 3) {
            *why = file + ": not a row: " + raw;
            return {};
        }
        EventRow r;
        r.name = c[0];
        r.actions = Split(c[1], ',');
        if (c[2] != "none") r.events = Split(c[2], ',');
        rows.push_back(r);
    }
    if (rows.empty()) *why = file + " has no rows";
    return rows;
}

// The words of an action: "plug A --behaviour refuse" -> {plug, A, --behaviour refuse}.
struct Action {
    std::string verb, key, rest;
};

inline Action ParseAction(const std::string &a) {
    Action out;
    std::istringstream in(a);
    in >> out.verb >> out.key;
    std::getline(in, out.rest);
    out.rest = Trim(out.rest);
    return out;
}

}  // namespace scenarios

namespace scenarios {

// One GoogleTest test per row, named after it, made by `make(row, number)`;
// a table that cannot be read is one failing test.
template <class Rows, class Make>
bool RegisterRows(const char *suite, const Rows &rows, const std::string &why, Make make) {
    struct Unreadable : testing::Test {
        std::string why;
        void TestBody() override { FAIL() << why; }
    };
    if (rows.empty()) {
        testing::RegisterTest(suite, "TableLoads", nullptr, nullptr, __FILE__, __LINE__, [why] {
            auto *t = new Unreadable;
            t->why = why;
            return static_cast<testing::Test *>(t);
        });
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto row = rows[i];
        const int number = int(i);
        testing::RegisterTest(suite, row.name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                              [row, number, make] { return static_cast<testing::Test *>(make(row, number)); });
    }
    return true;
}

}  // namespace scenarios

namespace scenarios {

// Registers a test per row of the timed-exchange table `file`, each running
// its row through a fresh Layer on a key plugged as `prefix` + row number.
template <class LayerType>
bool RegisterTimedExchanges(const char *file, const char *prefix, double slackMs = 0) {
    struct RowTest : testing::Test {
        Row row;
        int number = 0;
        std::string prefix;
        double slackMs = 0;
        void TestBody() override {
            const std::string serial = prefix + std::to_string(number);
            LayerType layer;
            EXPECT_EQ(RunRow(row, layer, serial, keysim::MakeDevicePath(serial), slackMs), "");
        }
    };
    std::string why;
    const std::vector<Row> rows = Load(file, &why);
    const std::string p = prefix;
    return RegisterRows("TimedExchange", rows, why, [p, slackMs](const Row &row, int number) {
        auto *t = new RowTest;
        t->row = row;
        t->number = number;
        t->prefix = p;
        t->slackMs = slackMs;
        return t;
    });
}

}  // namespace scenarios
