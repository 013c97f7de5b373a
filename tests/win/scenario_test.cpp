// The timed-exchange and transaction scenario tables, run through
// olvexlib.hpp: one test per row. The same program, started with --child, is the child program of the
// exit rows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "keysim.h"
#include "olvexlib.hpp"
#include "scenario_table.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

scenarios::Outcome Judged(const olvex::response &r, const std::error_code &ec, uint8_t command, double ms) {
    scenarios::Outcome o;
    o.ms = ms;
    o.code = ec ? DWORD(ec.value()) : 0;
    o.own = !ec && r.status == 0x9000 && !r.body.empty() && r.body[0] == command;
    return o;
}

scenarios::Outcome Exchange(const olvex::connection &c, uint8_t command, int timeoutMs) {
    std::error_code ec;
    const Clock::time_point start = Clock::now();
    const std::vector<uint8_t> payload{command};
    const olvex::response r = timeoutMs > 0 ? c.exchange(payload, std::chrono::milliseconds(timeoutMs), ec)
                                            : c.exchange(payload, ec);
    return Judged(r, ec, command, MsSince(start));
}

// A row's calls on one connection: the plain exchange when it is one call
// that nothing cancels, else calls started with start() and cancelled by id.
class Calls {
public:
    explicit Calls(const olvex::connection &c) : c_(c) {}
    ~Calls() {
        if (timer_) {
            WaitForThreadpoolTimerCallbacks(timer_, TRUE);
            CloseThreadpoolTimer(timer_);
        }
        if (fired_) CloseHandle(fired_);
        // Calls never settled (a failed row) must not report into freed memory.
        c_.cancel();
        for (auto &call : calls_) WaitForSingleObject(call->done, 5000);
    }

    void Begin(const scenarios::Row &row) {
        start_ = Clock::now();
        slow_ = row.Has(scenarios::Step::Scribble);
        if (row.calls == 1 && row.cancelMs == 0 && !row.pending && !row.Has(scenarios::Step::With)) {
            plain_ = Exchange(c_, 0x01, row.timeoutMs);
            plainDone_ = true;
            return;
        }
        for (int i = 0; i < row.calls; ++i) Add(0x01, row.timeoutMs);
        for (const scenarios::Step &s : row.then)
            if (s.kind == scenarios::Step::With) Add(0x0b, s.timeoutMs);
        if (row.cancelMs > 0) {
            fired_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            timer_ = CreateThreadpoolTimer(&Calls::CancelFirst, this, nullptr);
            const LONGLONG ticks = -LONGLONG(row.cancelMs) * 10000;
            FILETIME due;
            due.dwLowDateTime = DWORD(ticks);
            due.dwHighDateTime = DWORD(ticks >> 32);
            SetThreadpoolTimer(timer_, &due, 0, 0);
        }
    }

    std::vector<scenarios::Outcome> Settle() {
        if (plainDone_) return {plain_};
        std::vector<scenarios::Outcome> got;
        for (auto &call : calls_) {
            WaitForSingleObject(call->done, 60000);
            got.push_back(call->outcome);
        }
        // The cancel fires even after the calls ended; the steps come after it.
        if (fired_) WaitForSingleObject(fired_, 60000);
        return got;
    }

    int Settled() const {
        int n = plainDone_ ? 1 : 0;
        for (auto &call : calls_) n += WaitForSingleObject(call->done, 0) == WAIT_OBJECT_0;
        return n;
    }

    // Marks every call's body and outcome as a program that freed them would
    // reuse them, waits past any completion that might still come, and
    // tells whether one wrote there.
    std::string Scribble() {
        const scenarios::Outcome mark{0xDEAD, false, -1};
        for (auto &call : calls_) {
            call->outcome = mark;
            memset(call->body, 0xEE, sizeof call->body);
        }
        Sleep(800);
        for (size_t i = 0; i < calls_.size(); ++i) {
            const Call &call = *calls_[i];
            const bool body = call.body[0] == 0xEE && call.body[sizeof call.body - 1] == 0xEE;
            if (call.outcome.code != mark.code || call.outcome.ms != mark.ms || !body)
                return "call " + std::to_string(i + 1) + " was written after close returned";
        }
        return "";
    }

    int Count() const { return int(calls_.size()); }

private:
    struct Call {
        Calls *owner = nullptr;
        uint8_t command = 0;
        olvex::call_id id = 0;
        HANDLE done = nullptr;
        unsigned char body[olvex::max_response_body];
        scenarios::Outcome outcome;
        ~Call() {
            if (done) CloseHandle(done);
        }
    };

    void Add(uint8_t command, int timeoutMs) {
        auto call = std::make_unique<Call>();
        call->owner = this;
        call->command = command;
        call->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::error_code ec;
        call->id = c_.start(&call->command, 1, timeoutMs > 0 ? std::chrono::milliseconds(timeoutMs) : olvex::no_timeout,
                            call->body, &Calls::Done, call.get(), ec);
        if (ec) {
            call->outcome.code = DWORD(ec.value());
            SetEvent(call->done);
        }
        calls_.push_back(std::move(call));
    }

    static void WINAPI Done(void *context, olvex::call_id, DWORD error, int status, int length) {
        Call *call = static_cast<Call *>(context);
        // A completion that takes its time: a close must wait for it.
        if (call->owner->slow_) Sleep(300);
        call->outcome.ms = MsSince(call->owner->start_);
        call->outcome.code = error;
        call->outcome.own = error == 0 && status == 0x9000 && length > 0 && call->body[0] == call->command;
        SetEvent(call->done);
    }

    static void CALLBACK CancelFirst(PTP_CALLBACK_INSTANCE, void *self, PTP_TIMER) {
        Calls *calls = static_cast<Calls *>(self);
        calls->c_.cancel(calls->calls_.front()->id);
        SetEvent(calls->fired_);
    }

    const olvex::connection &c_;
    Clock::time_point start_;
    std::vector<std::unique_ptr<Call>> calls_;
    PTP_TIMER timer_ = nullptr;
    HANDLE fired_ = nullptr;
    scenarios::Outcome plain_;
    bool plainDone_ = false;
    bool slow_ = false;
};

// 0b started on a connection opened to `path` now; kNoReport when its
// completion did not come within the limit and a few seconds.
scenarios::Outcome StartedOnNew(const std::string &path, int timeoutMs) {
    struct Report {
        HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD error = 0;
        int status = 0, length = 0;
        unsigned char body[olvex::max_response_body];
        ~Report() { CloseHandle(done); }
        static void WINAPI Done(void *self, olvex::call_id, DWORD error, int status, int length) {
            Report *r = static_cast<Report *>(self);
            r->error = error;
            r->status = status;
            r->length = length;
            SetEvent(r->done);
        }
    };
    scenarios::Outcome o;
    std::error_code ec;
    olvex::connection c(path, ec);
    if (ec) {
        o.code = DWORD(ec.value());
        return o;
    }
    auto report = std::make_unique<Report>();
    const unsigned char command = 0x0b;
    const Clock::time_point start = Clock::now();
    c.start(&command, 1, std::chrono::milliseconds(timeoutMs), report->body, &Report::Done, report.get(), ec);
    if (ec) {
        o.code = DWORD(ec.value());
        return o;
    }
    if (WaitForSingleObject(report->done, DWORD(timeoutMs) + 3000) != WAIT_OBJECT_0) {
        o.code = scenarios::kNoReport;
        // The completion may still come: its record outlives the test.
        report.release();
        return o;
    }
    o.ms = MsSince(start);
    o.code = report->error;
    o.own = report->error == 0 && report->status == 0x9000 && report->length > 0 && report->body[0] == command;
    return o;
}

class CppLayer : public scenarios::Layer {
public:
    bool InProcess() const override { return true; }

    std::string Open(const std::string &path) override {
        std::error_code ec;
        const std::vector<std::string> paths = olvex::key_paths(ec);
        if (ec || paths.size() != 1 || paths[0] != path) return "the key is not the one listed";
        first_ = olvex::connection(path, ec);
        if (!ec) second_ = olvex::connection(path, ec);
        return ec ? "cannot open: " + ec.message() : "";
    }

    void Begin(const scenarios::Row &row) override {
        calls_ = std::make_unique<Calls>(first_);
        calls_->Begin(row);
    }
    std::vector<scenarios::Outcome> Settle() override { return calls_->Settle(); }
    int Settled() override { return calls_->Settled(); }

    scenarios::Outcome Again(bool second, int timeoutMs) override {
        return Exchange(second ? second_ : first_, 0x0b, timeoutMs);
    }

    scenarios::Outcome Other(const std::string &path, int timeoutMs) override {
        std::error_code ec;
        olvex::connection other(path, ec);
        if (ec) {
            scenarios::Outcome o;
            o.code = DWORD(ec.value());
            return o;
        }
        return Exchange(other, 0x0b, timeoutMs);
    }

    // No runtime of its own to hold up.
    bool RuntimeGoesOn(int) override { return true; }

    double Close() override {
        const Clock::time_point start = Clock::now();
        first_ = olvex::connection();
        const double ms = MsSince(start);
        reportedAtClose_ = calls_ ? calls_->Settled() : 0;
        return ms;
    }

    void EndAll() override { olvex::close_all(); }

    scenarios::Outcome Fresh(const std::string &path, int timeoutMs) override { return StartedOnNew(path, timeoutMs); }

    std::string Scribbled() override {
        if (!calls_) return "no calls to scribble over";
        if (reportedAtClose_ != calls_->Count())
            return std::to_string(calls_->Count() - reportedAtClose_) + " calls had not reported when close returned";
        return calls_->Scribble();
    }

    void Finish() override {
        calls_.reset();
        first_ = olvex::connection();
        second_ = olvex::connection();
    }

    std::vector<scenarios::Outcome> InChild(const scenarios::Row &row, const std::string &path,
                                            const std::string &how, std::string *why) override {
        char file[MAX_PATH], folder[MAX_PATH];
        GetTempPathA(MAX_PATH, folder);
        GetTempFileNameA(folder, "osc", 0, file);
        const std::string args = "--child " + row.name + " \"" + path + "\" " + how + " \"" + file + "\"";
        const int code = scenarios::RunHere("scenario_tests.exe", args);
        std::string text;
        scenarios::Slurp(file, &text, why);
        DeleteFileA(file);
        std::vector<scenarios::Outcome> got;
        for (const std::string &line : scenarios::Split(text, '\n')) {
            scenarios::Outcome o;
            int own = 0;
            if (sscanf(line.c_str(), "%lu %d %lf", &o.code, &own, &o.ms) != 3) continue;
            o.own = own != 0;
            got.push_back(o);
        }
        if (code != 0) *why = "the child program exited " + std::to_string(code);
        else if (got.empty()) *why = "the child program told nothing";
        return got;
    }

private:
    olvex::connection first_, second_;
    std::unique_ptr<Calls> calls_;
    int reportedAtClose_ = 0;
};

DWORD WINAPI CloseOnItsOwnThread(void *key) {
    delete static_cast<olvex::connection *>(key);
    return 0;
}

// The child of an exit row: makes the row's calls on a connection it never
// closes, writes their outcomes to `file`, and ends as `how` says.
int Child(const std::string &name, const std::string &path, const std::string &how, const std::string &file) {
    std::string why;
    const std::vector<scenarios::Row> rows = scenarios::Load(OLVEX_SCENARIO_TABLE, &why);
    const scenarios::Row *row = nullptr;
    for (const scenarios::Row &r : rows)
        if (r.name == name) row = &r;
    std::error_code ec;
    // Left open on purpose: the program's end must give its owed answer the grace.
    auto *key = new olvex::connection(path, ec);
    if (!row || ec) return 3;
    Calls calls(*key);
    calls.Begin(*row);
    FILE *out = fopen(file.c_str(), "w");
    if (!out) return 4;
    for (const scenarios::Outcome &o : calls.Settle()) fprintf(out, "%lu %d %.1f\n", o.code, o.own ? 1 : 0, o.ms);
    fclose(out);
    if (how == "closing") {
        // The program ends while another of its threads is closing.
        CloseHandle(CreateThread(nullptr, 0, &CloseOnItsOwnThread, key, 0, nullptr));
        Sleep(100);
        std::exit(0);
    }
    if (how == "exit") std::exit(0);
    return 0;
}

class CppTxLayer : public scenarios::TxLayer {
public:
    std::string Open(const std::string &path) override {
        std::error_code ec;
        c_ = olvex::connection(path, ec);
        return ec ? "cannot open: " + ec.message() : "";
    }
    DWORD Begin(int timeoutMs) override {
        std::error_code ec;
        olvex::transaction tx = c_.begin(timeoutMs > 0 ? std::chrono::milliseconds(timeoutMs) : olvex::no_timeout, ec);
        if (!ec) tx_ = std::move(tx);
        return DWORD(ec.value());
    }
    scenarios::Outcome Inside(int timeoutMs) override {
        std::error_code ec;
        const Clock::time_point start = Clock::now();
        const std::vector<uint8_t> payload{0x01};
        const olvex::response r = timeoutMs > 0 ? tx_.exchange(payload, std::chrono::milliseconds(timeoutMs), ec)
                                                : tx_.exchange(payload, ec);
        return Judged(r, ec, 0x01, MsSince(start));
    }
    void End() override { tx_.end(); }
    void Close() override { c_ = olvex::connection(); }
    HANDLE StartOwner(const std::string &path, const std::string &ready) override {
        return scenarios::StartHere("scenario_tests.exe", "--tx-owner \"" + path + "\" " + ready);
    }
    void Finish() override {
        tx_.end();
        c_ = olvex::connection();
    }

private:
    olvex::connection c_;
    olvex::transaction tx_;
};

// The child of an owner step: inside its transaction, one exchange answered
// and one still owed when it is killed.
int TxOwner(const std::string &path, const std::string &ready) {
    std::error_code ec;
    olvex::connection c(path, ec);
    if (ec) return 3;
    olvex::transaction tx = c.begin(ec);
    if (ec) return 4;
    const std::vector<uint8_t> payload{0x01};
    tx.exchange(payload, ec);
    if (ec) return 5;
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready.c_str());
    if (!event) return 6;
    SetEvent(event);
    tx.exchange(payload, ec);
    Sleep(INFINITE);
    return 0;
}

}  // namespace

// One test per row, registered before main runs the tests.
const bool registered = scenarios::RegisterTimedExchanges<CppLayer>(OLVEX_SCENARIO_TABLE, "cpp-");
const bool registeredTx = scenarios::RegisterTransactions<CppTxLayer>(OLVEX_TX_TABLE, "cpptx-");

int main(int argc, char **argv) {
    if (argc == 6 && std::string(argv[1]) == "--child") return Child(argv[2], argv[3], argv[4], argv[5]);
    if (argc == 4 && std::string(argv[1]) == "--tx-owner") return TxOwner(argv[2], argv[3]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
