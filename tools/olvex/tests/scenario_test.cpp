// The timed-exchange scenario table, run through olvex: each exchange is an
// `olvex send` of its own, so a row's later exchanges come from other
// processes, and its connection closes when olvex exits.
#include <gtest/gtest.h>

#include <chrono>

#include "keysim.h"
#include "olvex_process.h"
#include "scenario_table.h"

namespace {

using namespace olvextest;
using Clock = std::chrono::steady_clock;

// How long olvex may take beyond a row's times: its start, and the grace its
// exit gives an answer the key still owes.
const double kSlackMs = 5000;

class OlvexLayer : public scenarios::Layer {
public:
    bool InProcess() const override { return false; }
    // One call per program: nothing to start beside it or leave pending. And
    // olvex opens the key only after a killed peer has gone: no program held
    // the key's lock then, so the lock went with the peer, abandonment and all
    // (a peer that died holding it, too).
    bool Runs(const scenarios::Row &row) const override {
        return row.calls == 1 && !row.pending && !row.Has(scenarios::Step::With) &&
               row.peer != scenarios::Row::Killed && row.peer != scenarios::Row::Died &&
               !row.Has(scenarios::Step::CloseAll) && !row.Has(scenarios::Step::Fresh) &&
               !row.Has(scenarios::Step::Scribble) && !(row.Has(scenarios::Step::Exit) && row.then[0].how == "closing");
    }

    std::string Open(const std::string &path) override {
        serial_ = SerialOf(path);
        return "";
    }

    void Begin(const scenarios::Row &row) override { outcome_ = Send(0x01, row.timeoutMs, row.cancelMs, ""); }
    std::vector<scenarios::Outcome> Settle() override { return {outcome_}; }
    int Settled() override { return 1; }

    scenarios::Outcome Again(bool, int timeoutMs) override { return Send(0x0b, timeoutMs, 0, ""); }
    scenarios::Outcome Other(const std::string &path, int timeoutMs) override {
        return Send(0x0b, timeoutMs, 0, path);
    }
    bool RuntimeGoesOn(int) override { return true; }

    double Close() override { return 0; }
    void Finish() override {}

    // Every olvex is a program that ends right after its calls.
    std::vector<scenarios::Outcome> InChild(const scenarios::Row &row, const std::string &path, const std::string &,
                                            std::string *) override {
        serial_ = SerialOf(path);
        Begin(row);
        return Settle();
    }

private:
    static std::string SerialOf(const std::string &path) {
        std::string serial = path.substr(path.find("#", path.find("#") + 1) + 1);
        return serial.substr(0, serial.find('#'));
    }

    unsigned OpenHandles() const {
        keysim::Stats s;
        return keysim::ReadStats(serial_, &s) ? s.openHandles : 0;
    }

    scenarios::Outcome Send(uint8_t command, int timeoutMs, int cancelMs, const std::string &path) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", command);
        std::string args = "send ";
        if (timeoutMs > 0) args += "--timeout " + std::to_string(timeoutMs) + " ";
        if (!path.empty()) args += "--path " + path + " ";
        const Clock::time_point start = Clock::now();
        Running r = Start(args + hex, cancelMs > 0);
        if (cancelMs > 0) {
            // Counted from when olvex has the key open: its start is slow.
            for (int i = 0; i < 1000 && OpenHandles() == 0; ++i) Sleep(10);
            Sleep(DWORD(cancelMs));
            CtrlC(r);
        }
        const Result res = olvextest::Finish(r);
        scenarios::Outcome o;
        o.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        unsigned long cause = 0;
        const size_t at = res.err.rfind("(error ");
        if (at != std::string::npos) cause = strtoul(res.err.c_str() + at + 7, nullptr, 10);
        switch (res.code) {
            case 0:
                o.own = res.out.find("status 9000") != std::string::npos &&
                        res.out.find(std::string("  0000  ") + hex + " ") != std::string::npos;
                break;
            case 1:
                o.code = cause ? DWORD(cause) : 100001;
                break;
            case 3:
                o.code = res.err.find("key removed") != std::string::npos ? ERROR_DEVICE_NOT_CONNECTED : 100003;
                break;
            case 4:
                o.code = res.err.find("still waiting for the key's lock") != std::string::npos ? WAIT_TIMEOUT
                                                                                                : ERROR_TIMEOUT;
                break;
            case 130:
                o.code = ERROR_OPERATION_ABORTED;
                break;
            default:
                o.code = 100000 + DWORD(res.code);
        }
        return o;
    }

    std::string serial_;
    scenarios::Outcome outcome_;
};

// One test per row, registered before main runs the tests.
const bool registered =
    scenarios::RegisterTimedExchanges<OlvexLayer>(OLVEX_SCENARIO_TABLE, "olvex-", kSlackMs);

}  // namespace
