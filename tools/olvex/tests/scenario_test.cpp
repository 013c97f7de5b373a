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

    std::string Open(const std::string &path) override {
        serial_ = path.substr(path.find("#", path.find("#") + 1) + 1);
        serial_ = serial_.substr(0, serial_.find('#'));
        return "";
    }

    scenarios::Outcome Call(int timeoutMs, int cancelMs) override {
        return Send(0x01, timeoutMs, cancelMs);
    }

    scenarios::Outcome Again(bool, int timeoutMs) override { return Send(0x0b, timeoutMs, 0); }

    double Close() override { return 0; }
    void Finish() override {}

private:
    unsigned OpenHandles() const {
        keysim::Stats s;
        return keysim::ReadStats(serial_, &s) ? s.openHandles : 0;
    }

    scenarios::Outcome Send(uint8_t command, int timeoutMs, int cancelMs) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", command);
        std::string args = "send ";
        if (timeoutMs > 0) args += "--timeout " + std::to_string(timeoutMs) + " ";
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
        switch (res.code) {
            case 0:
                o.own = res.out.find("status 9000") != std::string::npos &&
                        res.out.find(std::string("  0000  ") + hex + " ") != std::string::npos;
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
};

// One test per row, registered before main runs the tests.
const bool registered =
    scenarios::RegisterTimedExchanges<OlvexLayer>(OLVEX_SCENARIO_TABLE, "olvex-", kSlackMs);

}  // namespace
