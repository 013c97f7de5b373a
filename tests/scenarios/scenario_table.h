// The timed-exchange scenarios (timed-exchange.txt) and the transaction ones
// (transactions.txt) for the drivers written in C++: the tables, the keysim
// commands a row uses, and a row's run against a layer (olvexlib.hpp, the
// olvex tool). The .NET and Node.js drivers read the
// same table in their own language.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include "keysim.h"

#include <chrono>
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
    enum Kind { Same, Second, With, Process, Close, Exit, Replug, Other, Runtime, Wait, CloseAll, Fresh, Scribble } kind = Same;
    int timeoutMs = 0;  // 0: no limit
    DWORD code = 0;     // 0: the exchange's own answer
    Window within;      // Close
    std::string how;    // Exit: return, exit or closing
};

struct Row {
    std::string name, key;
    enum Peer { Nobody, Holds, Killed, Died } peer = Nobody;
    int peerMs = 0;
    int timeoutMs = 0;  // 0: no limit
    int calls = 1, cancelMs = 0;
    bool pending = false;
    DWORD expect = 0;  // 0: answered
    Window within;
    std::vector<Step> then;
    unsigned requests = 0;

    bool Has(Step::Kind kind) const {
        for (const Step &s : then)
            if (s.kind == kind) return true;
        return false;
    }
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

// A time limit: "none" (0), or a positive number of ms.
inline bool ParseLimit(const std::string &s, int *ms) {
    if (s == "none") return (*ms = 0, true);
    *ms = atoi(s.c_str());
    return *ms > 0;
}

inline bool ParseStep(const std::string &s, Step *step) {
    std::vector<std::string> f = Split(s, ':');
    const std::string &kind = f[0];
    if (kind == "close") {
        step->kind = Step::Close;
        return f.size() == 2 && ParseWindow(f[1], &step->within);
    }
    if (kind == "exit") {
        step->kind = Step::Exit;
        step->how = f.size() == 2 ? f[1] : "";
        return step->how == "return" || step->how == "exit" || step->how == "closing";
    }
    if (kind == "process" || kind == "replug" || kind == "runtime" || kind == "closeall" || kind == "scribble") {
        step->kind = kind == "process"    ? Step::Process
                     : kind == "replug"   ? Step::Replug
                     : kind == "runtime"  ? Step::Runtime
                     : kind == "closeall" ? Step::CloseAll
                                          : Step::Scribble;
        return f.size() == 1;
    }
    if (kind == "wait") {
        step->kind = Step::Wait;
        return f.size() == 2 && ParseLimit(f[1], &step->timeoutMs) && step->timeoutMs > 0;
    }
    if (kind == "other" || kind == "fresh") {
        step->kind = kind == "other" ? Step::Other : Step::Fresh;
        return f.size() == 2 && ParseLimit(f[1], &step->timeoutMs) && step->timeoutMs > 0;
    }
    if (kind == "same") step->kind = Step::Same;
    else if (kind == "second") step->kind = Step::Second;
    else if (kind == "with") step->kind = Step::With;
    else return false;
    if (f.size() > 1 && !ParseLimit(f[1], &step->timeoutMs)) return false;
    if (f.size() > 2) step->code = DWORD(strtoul(f[2].c_str(), nullptr, 10));
    return f.size() <= 3;
}

inline bool ParsePeer(const std::string &s, Row *r) {
    if (s == "0") return true;
    const std::vector<std::string> f = Split(s, ':');
    if (f.size() != 2 || (f[0] != "hold" && f[0] != "killed" && f[0] != "died")) return false;
    r->peer = f[0] == "hold" ? Row::Holds : f[0] == "killed" ? Row::Killed : Row::Died;
    r->peerMs = atoi(f[1].c_str());
    return r->peerMs > 0;
}

// Every table file is read the same way: one row per line that is neither
// blank nor a comment, its cells split at '|'. `parse` makes a row of the
// cells, false when they are not one. An empty list, with `why`, when the
// file cannot be read, a line is not a row, or there is none.
template <class R, class Parse>
std::vector<R> ReadTable(const std::string &file, size_t columns, Parse parse, std::string *why) {
    std::vector<R> rows;
    std::string text;
    if (!Slurp(file, &text, why)) return rows;
    int line = 0;
    for (const std::string &raw : Split(text, '\n')) {
        ++line;
        if (raw.empty() || raw[0] == '#') continue;
        const std::vector<std::string> c = Split(raw, '|');
        R r;
        if (c.size() != columns || !parse(c, &r)) {
            *why = file + ":" + std::to_string(line) + ": not a row: " + raw;
            return {};
        }
        rows.push_back(r);
    }
    if (rows.empty()) *why = file + " has no rows";
    return rows;
}

inline bool ParseRow(const std::vector<std::string> &c, Row *row) {
    Row &r = *row;
    r.name = c[0];
    r.key = c[1];
    bool ok = ParsePeer(c[2], &r) && ParseLimit(c[3], &r.timeoutMs);
    r.calls = atoi(c[4].c_str());
    r.cancelMs = atoi(c[5].c_str());
    r.pending = c[6] == "pending";
    r.expect = c[6] == "ok" || r.pending ? 0 : DWORD(strtoul(c[6].c_str(), nullptr, 10));
    ok = ok && r.calls > 0 && (r.pending ? c[7] == "-" : ParseWindow(c[7], &r.within));
    if (c[8] != "none")
        for (const std::string &s : Split(c[8], ',')) {
            Step step;
            ok = ok && ParseStep(s, &step);
            // A child program makes the calls: nothing can come before.
            ok = ok && (step.kind != Step::Exit || r.then.empty());
            r.then.push_back(step);
        }
    r.requests = unsigned(atoi(c[9].c_str()));
    return ok;
}

// The rows of timed-exchange.txt.
inline std::vector<Row> Load(const std::string &file, std::string *why) {
    return ReadTable<Row>(file, 10, ParseRow, why);
}

// The directory of this program, where keysim.exe and olvex.exe sit.
inline std::string SelfDirectory() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

// Runs a program of this folder with `args` to its end; its exit code, or -1.
// `shareOutput`: it writes to this program's output (never for a command
// that leaves a server running, which would hold that output open).
inline int RunHere(const std::string &program, const std::string &args, bool shareOutput = false) {
    std::string command = "\"" + SelfDirectory() + program + "\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (shareOutput) {
        fflush(stdout);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION pi = {};
    if (!keysim::StartProcess(command, shareOutput, 0, &si, &pi))
        return -1;
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    else TerminateProcess(pi.hProcess, DWORD(-1));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return int(code);
}

// Runs `keysim ARGS` to its end; its exit code, or -1.
inline int Keysim(const std::string &args, bool shareOutput = false) {
    return RunHere("keysim.exe", args, shareOutput);
}

// What a row came to once the key is checked (nothing interleaved or
// misdelivered, `requests` requests) and unplugged: `why`, or the first fault.
inline std::string CheckAndUnplug(const std::string &key, unsigned requests, std::string why) {
    if (why.empty()) {
        const int checked = Keysim("check " + key + " --requests " + std::to_string(requests), true);
        if (checked != 0)
            why = "keysim check exited " + std::to_string(checked) +
                  ": interleaved, misdelivered or request count (see its output)";
    }
    if (Keysim("unplug " + key) != 0 && why.empty()) why = "keysim unplug failed";
    return why;
}

// A started call whose completion never came.
constexpr DWORD kNoReport = 0xFFFFFFFF;

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
    // Whether the layer can make the row's calls at all.
    virtual bool Runs(const Row &) const { return true; }
    virtual std::string Open(const std::string &path) = 0;
    // Starts the row's calls of 01 and its `with` calls of 0b together, and
    // the cancel of the first call after row.cancelMs (0: none).
    virtual void Begin(const Row &row) = 0;
    // Waits for the calls begun to settle and for the cancel to have fired:
    // their outcomes, the row's calls first, each timed from Begin.
    virtual std::vector<Outcome> Settle() = 0;
    // How many of the calls begun have settled so far.
    virtual int Settled() = 0;
    // 0b on the same connection or a second one; `timeoutMs` 0: no limit.
    virtual Outcome Again(bool second, int timeoutMs) = 0;
    // 0b with limit `timeoutMs` on a connection to the key at `path`.
    virtual Outcome Other(const std::string &path, int timeoutMs) = 0;
    // Whether the runtime's own asynchronous work settles within `ms`.
    virtual bool RuntimeGoesOn(int ms) = 0;
    // Closes the first connection; the ms it took.
    virtual double Close() = 0;
    // Ends every connection of this program as its end does (close_all).
    virtual void EndAll() {}
    // 0b started (a call whose completion reports it) with limit `timeoutMs`
    // on a connection opened now to the key at `path`; code kNoReport when
    // its completion did not come.
    virtual Outcome Fresh(const std::string &, int) { return Outcome(); }
    // Empty when every call had reported by the time the last Close()
    // returned and nothing of theirs was written after; else what went wrong.
    virtual std::string Scribbled() { return ""; }
    // Closes whatever is left open.
    virtual void Finish() = 0;
    // The row's calls made by a child program that ends `how` right after
    // they settle, leaving its connection open; empty with `why` set when the
    // child could not tell.
    virtual std::vector<Outcome> InChild(const Row &row, const std::string &path, const std::string &how,
                                         std::string *why) = 0;
};

inline std::string Describe(const Outcome &o) {
    return (o.code ? "error " + std::to_string(o.code) : std::string(o.own ? "its own answer" : "another answer")) +
           " after " + std::to_string(int(o.ms)) + " ms";
}

inline bool Inside(double ms, const Window &w) { return ms >= w.min && ms <= w.max; }

// Empty when the calls met the row, else what went wrong. `slackMs` widens
// the upper bounds of times.
inline std::string Judge(const Row &row, const std::vector<Outcome> &got, double slackMs) {
    const Window within = {row.within.min, row.within.max + slackMs};
    size_t next = 0;
    for (; next < got.size() && int(next) < row.calls; ++next) {
        const Outcome &o = got[next];
        const DWORD expect = row.pending ? ERROR_OPERATION_ABORTED : row.expect;
        if (o.code != expect || (expect == 0 && !o.own) || (!row.pending && !Inside(o.ms, within)))
            return "call " + std::to_string(next + 1) + ": " + Describe(o);
    }
    if (int(next) < row.calls) return "only " + std::to_string(next) + " calls settled";
    for (const Step &step : row.then) {
        if (step.kind != Step::With) continue;
        if (next >= got.size()) return "a with call did not settle";
        const Outcome &o = got[next++];
        if (o.code != step.code || (step.code == 0 && !o.own)) return "with: " + Describe(o);
    }
    return "";
}

// Runs `row` through `layer` on a key plugged as `serial`; empty when it
// passed, else what went wrong. `slackMs` widens the upper bounds of times
// (a layer that starts a process per exchange).
inline std::string RunRow(const Row &row, Layer &layer, const std::string &serial, const std::string &path,
                          double slackMs = 0) {
    const std::string key = "--serial " + serial;
    const std::string other = "--serial " + serial + "o";
    bool otherPlugged = false;
    if (Keysim("plug " + key + " " + row.key) != 0) return "keysim plug " + row.key + " failed";
    const bool child = !row.then.empty() && row.then[0].kind == Step::Exit;
    std::string why = child ? "" : layer.Open(path);
    if (why.empty() && row.peer == Row::Holds && Keysim("hold " + key + " --ms " + std::to_string(row.peerMs)) != 0)
        why = "keysim hold failed";
    // It dies holding the lock: its exit code is its killer's.
    if (why.empty() && row.peer == Row::Killed &&
        Keysim("exchange " + key + " 0a --die-after " + std::to_string(row.peerMs)) == 0)
        why = "keysim exchange --die-after lived on";
    if (why.empty() && row.peer == Row::Died &&
        Keysim("hold " + key + " --die-after " + std::to_string(row.peerMs)) != 0)
        why = "keysim hold --die-after failed";
    bool begun = false, closed = false;
    if (why.empty() && child) {
        const std::vector<Outcome> got = layer.InChild(row, path, row.then[0].how, &why);
        if (why.empty()) why = Judge(row, got, slackMs);
    } else if (why.empty()) {
        layer.Begin(row);
        begun = true;
        if (!row.pending) why = Judge(row, layer.Settle(), slackMs);
    }
    for (const Step &step : row.then) {
        if (!why.empty()) break;
        if (row.pending && begun && !closed && step.kind != Step::Close && layer.Settled() != 0) {
            why = "a call settled before the close";
            break;
        }
        switch (step.kind) {
            case Step::Close:
                closed = true;
                if (layer.InProcess()) {
                    const double ms = layer.Close();
                    if (!Inside(ms, step.within)) why = "close took " + std::to_string(int(ms)) + " ms";
                    if (why.empty() && row.pending) why = Judge(row, layer.Settle(), slackMs);
                }
                break;
            case Step::Process:
                if (Keysim("exchange " + key + " 0b") != 0) why = "another program did not get its own answer";
                break;
            case Step::Replug:
                if (Keysim("unplug " + key) != 0 || Keysim("plug " + key + " " + row.key) != 0)
                    why = "keysim could not plug the key back";
                break;
            case Step::Other: {
                if (!otherPlugged && Keysim("plug " + other) != 0) {
                    why = "keysim could not plug another key";
                    break;
                }
                otherPlugged = true;
                const Outcome o = layer.Other(keysim::MakeDevicePath(serial + "o"), step.timeoutMs);
                if (o.code != 0 || !o.own || o.ms > step.timeoutMs + slackMs) why = "other: " + Describe(o);
                break;
            }
            case Step::Wait:
                Sleep(DWORD(step.timeoutMs));
                break;
            case Step::CloseAll:
                layer.EndAll();
                break;
            case Step::Fresh: {
                const Outcome o = layer.Fresh(path, step.timeoutMs);
                if (o.code != 0 || !o.own || o.ms > step.timeoutMs + slackMs)
                    why = o.code == kNoReport ? "fresh: the call never reported" : "fresh: " + Describe(o);
                break;
            }
            case Step::Scribble:
                why = layer.Scribbled();
                break;
            case Step::Runtime:
                if (!layer.RuntimeGoesOn(500)) why = "the runtime's own work did not settle within 500 ms";
                break;
            case Step::Same:
            case Step::Second:
                // A refused answer is the key's doing: any program gets it, so
                // it holds for a layer with a program per exchange too.
                if (step.code == 0 || step.code == ERROR_INVALID_DATA || layer.InProcess()) {
                    const Outcome o = layer.Again(step.kind == Step::Second, step.timeoutMs);
                    if (o.code != step.code || (step.code == 0 && !o.own))
                        why = std::string(step.kind == Step::Second ? "second" : "same") + ": " + Describe(o);
                }
                break;
            case Step::With:
            case Step::Exit:
                break;
        }
    }
    layer.Finish();
    why = CheckAndUnplug(key, row.requests, why);
    if (otherPlugged) Keysim("unplug " + other);
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
    return ReadTable<EventRow>(
        file, 3,
        [](const std::vector<std::string> &c, EventRow *r) {
            r->name = c[0];
            r->actions = Split(c[1], ',');
            if (c[2] != "none") r->events = Split(c[2], ',');
            return true;
        },
        why);
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
    std::vector<Row> rows = Load(file, &why);
    const std::string p = prefix;
    // A row this layer cannot make at all is named, not run: it is no test of it.
    for (size_t i = rows.size(); i-- > 0;) {
        if (LayerType().Runs(rows[i])) continue;
        printf("not for this layer: %s\n", rows[i].name.c_str());
        rows.erase(rows.begin() + long(i));
    }
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

namespace scenarios {

// A row of transactions.txt.
struct TxStep {
    std::string verb;
    int timeoutMs = 0;  // begin and in: 0 no limit; wait, owner: ms; hammer, othertx, together: a count
    DWORD code = 0;
    bool exits = false;  // owner: the child ends itself rather than being killed
};

struct TxRow {
    std::string name, key;
    std::vector<TxStep> steps;
    unsigned requests = 0;
};

inline bool ParseTxStep(const std::string &s, TxStep *step) {
    const std::vector<std::string> f = Split(s, ':');
    step->verb = f[0];
    const std::string &v = step->verb;
    if (v == "end" || v == "close" || v == "bystander" || v == "join" || v == "process") return f.size() == 1;
    if (v == "begin" || v == "in") {
        if (f.size() < 2 || f.size() > 3 || !ParseLimit(f[1], &step->timeoutMs)) return false;
        if (f.size() == 3) step->code = DWORD(strtoul(f[2].c_str(), nullptr, 10));
        return true;
    }
    if (v == "owner" && f.size() == 3 && f[2] == "exit") {
        step->exits = true;
        return (step->timeoutMs = atoi(f[1].c_str())) > 0;
    }
    if (v == "wait" || v == "hammer" || v == "othertx" || v == "owner" || v == "together")
        return f.size() == 2 && (step->timeoutMs = atoi(f[1].c_str())) > 0;
    return false;
}

inline std::vector<TxRow> LoadTx(const std::string &file, std::string *why) {
    return ReadTable<TxRow>(
        file, 4,
        [](const std::vector<std::string> &c, TxRow *r) {
            r->name = c[0];
            r->key = c[1];
            bool ok = true;
            for (const std::string &s : Split(c[2], ',')) {
                TxStep step;
                ok = ok && ParseTxStep(s, &step);
                r->steps.push_back(step);
            }
            r->requests = unsigned(atoi(c[3].c_str()));
            return ok;
        },
        why);
}

// One layer's connection and transaction, as a transaction row drives them.
class TxLayer {
public:
    virtual ~TxLayer() = default;
    virtual std::string Open(const std::string &path) = 0;
    // 0 once begun, else why not; `timeoutMs` 0: no limit.
    virtual DWORD Begin(int timeoutMs) = 0;
    // 01 inside the transaction.
    virtual Outcome Inside(int timeoutMs) = 0;
    virtual void End() = 0;
    virtual void Close() = 0;
    // A child program that opens `path`, begins a transaction, makes one
    // exchange inside, sets the named event `ready`, then sends another
    // inside and waits for it; or, `exits`, gives that one 100 ms and ends
    // the program (exit 0) with the transaction and connection left open.
    // Its process handle, or null.
    virtual HANDLE StartOwner(const std::string &path, const std::string &ready, bool exits) = 0;
    virtual void Finish() = 0;
};

// Starts a program of this folder in the background; its process, or null.
inline HANDLE StartHere(const std::string &program, const std::string &args, DWORD *pid = nullptr) {
    std::string command = "\"" + SelfDirectory() + program + "\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!keysim::StartProcess(command, false, 0, &si, &pi)) return nullptr;
    CloseHandle(pi.hThread);
    if (pid) *pid = pi.dwProcessId;
    return pi.hProcess;
}

inline uint64_t RequestsSeen(const std::string &serial) {
    keysim::Stats s;
    return keysim::ReadStats(serial, &s) ? s.requests : 0;
}

// Waits until the key has seen more than `seen` requests, up to 20 s.
inline bool SeesMore(const std::string &serial, uint64_t seen) {
    for (int i = 0; i < 1000; ++i, Sleep(20))
        if (RequestsSeen(serial) > seen) return true;
    return false;
}

// Empty when the requests not made by `hammer` are `n` in a row, with the
// hammer's before and after them.
inline std::string Together(const std::string &serial, DWORD hammer, int n) {
    keysim::Stats s;
    if (!keysim::ReadStats(serial, &s)) return "no log of the key";
    std::vector<size_t> at;
    for (size_t i = 0; i < s.log.size(); ++i)
        if (s.log[i].process != hammer) at.push_back(i);
    std::string order;
    for (const keysim::Request &r : s.log) order += r.process == hammer ? 'h' : 'T';
    if (int(at.size()) != n) return std::to_string(at.size()) + " requests besides the hammer's: " + order;
    if (at.back() - at.front() + 1 != at.size()) return "another program's request came between: " + order;
    if (at.front() == 0 || at.back() + 1 == s.log.size()) return "the hammer did not run around them: " + order;
    return "";
}

// Runs `row` through `layer` on a key plugged as `serial`; empty when it
// passed, else what went wrong.
inline std::string RunTxRow(const TxRow &row, TxLayer &layer, const std::string &serial, const std::string &path) {
    const std::string key = "--serial " + serial;
    if (Keysim("plug " + key + " " + row.key) != 0) return "keysim plug " + row.key + " failed";
    std::string why = layer.Open(path);
    const std::string quoted = "\"" + path + "\"";
    std::vector<HANDLE> others;
    DWORD hammer = 0;
    std::string script;
    const auto join = [&] {
        std::string failed;
        for (HANDLE h : others) {
            DWORD code = DWORD(-1);
            if (WaitForSingleObject(h, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(h, &code);
            else TerminateProcess(h, code);
            if (code != 0 && failed.empty()) failed = "another program exited " + std::to_string(long(code));
            CloseHandle(h);
        }
        others.clear();
        return failed;
    };
    const auto start = [&](const std::string &program, const std::string &args, DWORD *pid = nullptr) {
        HANDLE h = StartHere(program, args, pid);
        if (h) others.push_back(h);
        return h != nullptr;
    };
    for (const TxStep &step : row.steps) {
        if (!why.empty()) break;
        const std::string &v = step.verb;
        if (v == "begin") {
            const auto t0 = std::chrono::steady_clock::now();
            const DWORD code = layer.Begin(step.timeoutMs);
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            if (code != step.code) why = "begin: error " + std::to_string(code);
            else if (code && step.timeoutMs && (ms < step.timeoutMs - 20 || ms > step.timeoutMs + 500))
                why = "begin failed after " + std::to_string(int(ms)) + " ms";
        } else if (v == "in") {
            const Outcome o = layer.Inside(step.timeoutMs);
            if (o.code != step.code || (step.code == 0 && !o.own)) why = "in: " + Describe(o);
        } else if (v == "end") {
            layer.End();
        } else if (v == "close") {
            layer.Close();
        } else if (v == "wait") {
            Sleep(DWORD(step.timeoutMs));
        } else if (v == "hammer" || v == "othertx") {
            const uint64_t seen = RequestsSeen(serial);
            bool started;
            if (v == "hammer") {
                started = start("olvex.exe", "bench --key " + quoted + " --size 1 --count " +
                                                 std::to_string(step.timeoutMs), &hammer);
            } else {
                char folder[MAX_PATH], file[MAX_PATH];
                GetTempPathA(MAX_PATH, folder);
                GetTempFileNameA(folder, "otx", 0, file);
                script = file;
                FILE *f = fopen(file, "w");
                for (int i = 0; f && i < step.timeoutMs; ++i) fprintf(f, "0c%02x => 9000\n", i);
                if (f) fclose(f);
                started = f && start("olvex.exe", "run --transaction --key " + quoted + " \"" + script + "\"");
            }
            if (!started) why = v + ": cannot start olvex";
            else if (!SeesMore(serial, seen)) why = v + ": the key saw no request of it";
        } else if (v == "bystander") {
            if (!start("olvex.exe", "send --key " + quoted + " 0b")) why = "cannot start a bystander";
        } else if (v == "owner") {
            const std::string ready = "olvex-tx-owner-" + std::to_string(GetCurrentProcessId()) + "-" + serial;
            HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
            const uint64_t seen = RequestsSeen(serial);
            HANDLE owner = layer.StartOwner(path, ready, step.exits);
            const HANDLE waits[2] = {event, owner};
            if (!owner) why = "owner: cannot start the child";
            else if (WaitForMultipleObjects(2, waits, FALSE, 30000) != WAIT_OBJECT_0)
                why = "owner: the child did not get inside its transaction";
            else if (!SeesMore(serial, seen + 1))
                why = "owner: the key never saw the child's second command";
            else if (!start("olvex.exe", "send --key " + quoted + " 0b"))
                why = "cannot start a bystander";
            if (why.empty()) Sleep(DWORD(step.timeoutMs));
            DWORD code = 0;
            if (owner && step.exits && WaitForSingleObject(owner, 20000) == WAIT_OBJECT_0 &&
                GetExitCodeProcess(owner, &code) && code != 0 && why.empty())
                why = "owner: the child exited " + std::to_string(code);
            if (owner) {
                TerminateProcess(owner, 9);
                WaitForSingleObject(owner, 10000);
                CloseHandle(owner);
            }
            CloseHandle(event);
        } else if (v == "join") {
            why = join();
        } else if (v == "together") {
            why = Together(serial, hammer, step.timeoutMs);
        } else if (v == "process") {
            if (Keysim("exchange " + key + " 0b") != 0) why = "another program did not get its own answer";
        }
    }
    layer.Finish();
    const std::string left = join();
    if (why.empty()) why = left;
    if (!script.empty()) DeleteFileA(script.c_str());
    why = CheckAndUnplug(key, row.requests, why);
    return why;
}

// Registers a test per row of the transaction table `file`, each running its
// row through a fresh LayerType on a key plugged as `prefix` + row number.
template <class LayerType>
bool RegisterTransactions(const char *file, const char *prefix) {
    struct RowTest : testing::Test {
        TxRow row;
        std::string serial;
        void TestBody() override {
            LayerType layer;
            EXPECT_EQ(RunTxRow(row, layer, serial, keysim::MakeDevicePath(serial)), "");
        }
    };
    std::string why;
    const std::vector<TxRow> rows = LoadTx(file, &why);
    const std::string p = prefix;
    return RegisterRows("Transaction", rows, why, [p](const TxRow &row, int number) {
        auto *t = new RowTest;
        t->row = row;
        t->serial = p + std::to_string(number);
        return t;
    });
}

}  // namespace scenarios
