// The timed-exchange scenario table, run against the library itself as a C
// program calls it: the rows whose calls have no time limit, cancel or
// completion, which is all a C caller has.
#include <gtest/gtest.h>

#include <chrono>

#include "dll_calls.h"
#include "keysim.h"
#include "scenario_table.h"

namespace {

using Clock = std::chrono::steady_clock;

scenarios::Outcome Exchange(OLVEX_HANDLE key, unsigned char command) {
    const Clock::time_point start = Clock::now();
    scenarios::Outcome o;
    int own = 0;
    o.code = CExchange(key, command, &own);
    o.own = own != 0;
    o.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return o;
}

class CLayer : public scenarios::Layer {
public:
    ~CLayer() override { Finish(); }
    bool InProcess() const override { return true; }
    bool Runs(const scenarios::Row &row) const override {
        if (row.timeoutMs != 0 || row.calls != 1 || row.cancelMs != 0 || row.pending) return false;
        for (const scenarios::Step &s : row.then) {
            if (s.kind == scenarios::Step::Process || s.kind == scenarios::Step::Wait) continue;
            // The library tells no removal apart: only answers and refusals.
            const bool untimed = (s.kind == scenarios::Step::Same || s.kind == scenarios::Step::Second) &&
                                 s.timeoutMs == 0 && (s.code == 0 || s.code == ERROR_INVALID_DATA);
            if (!untimed) return false;
        }
        return true;
    }
    // Both connections are open before any peer: they keep the key's lock
    // alive when a peer dies holding it.
    std::string Open(const std::string &path) override {
        first_ = CConnect(path.c_str());
        second_ = first_ ? CConnect(path.c_str()) : nullptr;
        return second_ ? "" : "cannot connect to " + path;
    }
    void Begin(const scenarios::Row &) override { outcome_ = Exchange(first_, 0x01); }
    std::vector<scenarios::Outcome> Settle() override { return {outcome_}; }
    int Settled() override { return 1; }
    scenarios::Outcome Again(bool second, int) override { return Exchange(second ? second_ : first_, 0x0b); }
    scenarios::Outcome Other(const std::string &, int) override { return {}; }
    bool RuntimeGoesOn(int) override { return true; }
    double Close() override { return 0; }
    void Finish() override {
        OLVEX_Disconnect(first_);
        OLVEX_Disconnect(second_);
        first_ = second_ = nullptr;
    }
    std::vector<scenarios::Outcome> InChild(const scenarios::Row &, const std::string &, const std::string &,
                                            std::string *why) override {
        *why = "no child programs here";
        return {};
    }

private:
    OLVEX_HANDLE first_ = nullptr, second_ = nullptr;
    scenarios::Outcome outcome_;
};

}  // namespace

const bool registered = scenarios::RegisterTimedExchanges<CLayer>(OLVEX_SCENARIO_TABLE, "c-");
