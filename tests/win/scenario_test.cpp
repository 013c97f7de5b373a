// The timed-exchange scenario table, run through olvexlib.hpp: one test per
// row.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "keysim.h"
#include "olvexlib.hpp"
#include "scenario_table.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void CALLBACK CancelNow(PTP_CALLBACK_INSTANCE, void *connection, PTP_TIMER) {
    static_cast<olvex::connection *>(connection)->cancel();
}

class CppLayer : public scenarios::Layer {
public:
    bool InProcess() const override { return true; }

    std::string Open(const std::string &path) override {
        std::error_code ec;
        const std::vector<std::string> paths = olvex::key_paths(ec);
        if (ec || paths.size() != 1 || paths[0] != path) return "the key is not the one listed";
        first_ = olvex::connection(0, ec);
        if (!ec) second_ = olvex::connection(0, ec);
        return ec ? "cannot open: " + ec.message() : "";
    }

    scenarios::Outcome Call(int timeoutMs, int cancelMs) override {
        PTP_TIMER timer = nullptr;
        if (cancelMs > 0) {
            timer = CreateThreadpoolTimer(CancelNow, &first_, nullptr);
            FILETIME due;
            const LONGLONG ticks = -LONGLONG(cancelMs) * 10000;
            due.dwLowDateTime = DWORD(ticks);
            due.dwHighDateTime = DWORD(ticks >> 32);
            SetThreadpoolTimer(timer, &due, 0, 0);
        }
        const scenarios::Outcome o = Exchange(first_, 0x01, timeoutMs);
        if (timer) {
            WaitForThreadpoolTimerCallbacks(timer, TRUE);
            CloseThreadpoolTimer(timer);
        }
        return o;
    }

    scenarios::Outcome Again(bool second, int timeoutMs) override {
        return Exchange(second ? second_ : first_, 0x0b, timeoutMs);
    }

    double Close() override {
        const Clock::time_point start = Clock::now();
        first_ = olvex::connection();
        return MsSince(start);
    }

    void Finish() override {
        first_ = olvex::connection();
        second_ = olvex::connection();
    }

private:
    static scenarios::Outcome Exchange(const olvex::connection &c, uint8_t command, int timeoutMs) {
        scenarios::Outcome o;
        std::error_code ec;
        const Clock::time_point start = Clock::now();
        const std::vector<uint8_t> payload{command};
        const olvex::response r = timeoutMs > 0 ? c.exchange(payload, std::chrono::milliseconds(timeoutMs), ec)
                                                : c.exchange(payload, ec);
        o.ms = MsSince(start);
        o.code = ec ? DWORD(ec.value()) : 0;
        o.own = !ec && r.status == 0x9000 && !r.body.empty() && r.body[0] == command;
        return o;
    }

    olvex::connection first_, second_;
};

// One test per row, registered before main runs the tests.
const bool registered =
    scenarios::RegisterTimedExchanges<CppLayer>(OLVEX_SCENARIO_TABLE, "cpp-");

}  // namespace
