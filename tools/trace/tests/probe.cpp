// An application of the library, unchanged between runs beside the library,
// beside the tracer and in replay: `trace_probe rows TABLE` runs the
// transparency table, `trace_probe session` olvexlib.hpp on plugged keys.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "keysim.h"
#include "olvexlib.h"
#include "olvexlib.hpp"

namespace {

// Set before every call: an error left as the caller had it shows as this.
constexpr DWORD kCallerError = 0xE0E0;

// What a call gave: "sw 9000 err E body N#HASH" or "rc R err E".
std::string Outcome(int result, DWORD error, bool exchange, const uint8_t *body = nullptr, int length = 0) {
    unsigned hash = 2166136261u;
    for (int i = 0; i < length; ++i) hash = (hash ^ body[i]) * 16777619u;
    char text[96];
    if (!exchange || result < 0) snprintf(text, sizeof text, "rc %d err %lu", result, error);
    else snprintf(text, sizeof text, "sw %04x err %lu body %d#%08x", unsigned(result), error, length, hash);
    return text;
}

keysim::Behaviour Behaviour(std::istringstream &words) {
    std::string mode;
    unsigned long n = 0;
    words >> mode >> std::hex >> n;
    keysim::Behaviour b;
    const std::pair<const char *, keysim::Mode> modes[] = {
        {"length", keysim::Mode::Length},           {"wrong-lead", keysim::Mode::WrongLead},
        {"short-first", keysim::Mode::ShortFirst}, {"short-second", keysim::Mode::ShortSecond},
        {"close", keysim::Mode::CloseOnCommand},   {"silent", keysim::Mode::Silent}};
    for (const auto &m : modes)
        if (mode == m.first) b.mode = m.second;
    if (mode == "status") b.status = uint16_t(n);
    if (n) b.dataLength = uint32_t(n);
    return b;
}

// One row: its key plugged (unless replaying), the call, and what it gave.
std::string Row(const std::string &name, const std::string &key, const std::string &call, bool replaying) {
    keysim::Key *plugged = nullptr;
    std::istringstream kw(key), cw(call);
    std::string verb, arg, extra;
    cw >> verb >> arg >> extra;
    if (key != "none" && !replaying) {
        keysim::KeyOptions o;
        o.serial = "tr-" + name;
        o.behaviour = Behaviour(kw);
        if (!(plugged = keysim::Plug(o))) return "cannot plug " + key;
    }
    std::string out;
    int count = -1;
    OLVEX_HANDLE h = nullptr;
    char path[OLVEX_PATH_SIZE + 1] = {};
    SetLastError(kCallerError);
    int rc = OLVEX_EnumDEV(arg == "null" && verb == "list" ? nullptr : &count);
    out = Outcome(rc, GetLastError(), false);
    if (verb == "list") {
        out += " count " + std::to_string(count);
    } else if (verb == "open" || verb == "command") {
        const int index = verb == "open" && arg != "null" ? std::stoi(arg) : 0;
        if (key == "unplugged") keysim::Unplug(std::exchange(plugged, nullptr));  // since the listing
        SetLastError(kCallerError);
        rc = OLVEX_Connect(arg == "null" ? nullptr : &h, path, index);
        out = Outcome(rc, GetLastError(), false) + (rc == OLVEX_OK ? std::string(" ") + path : "");
    }
    if (verb == "command" && rc == OLVEX_OK) {
        std::vector<uint8_t> command(arg == "size" ? 65533 : arg.size() / 2);
        for (size_t i = 0; arg != "size" && i < command.size(); ++i)
            command[i] = uint8_t(std::stoul(arg.substr(2 * i, 2), nullptr, 16));
        std::vector<uint8_t> body(OLVEX_MAX_RESPONSE_BODY);
        uint8_t zeroed[64] = {};
        int length = -7;
        const DWORD self = GetCurrentThreadId();
        volatile bool done = false;
        // A cancel that comes before the read starts is lost: repeated until the call returns.
        std::thread canceller([&] {
            if (extra != "cancel") return;
            HANDLE t = OpenThread(THREAD_TERMINATE, FALSE, self);
            for (Sleep(200); !done; Sleep(20)) CancelSynchronousIo(t);
            CloseHandle(t);
        });
        SetLastError(kCallerError);
        const OLVEX_HANDLE target = extra == "zeroed" ? reinterpret_cast<OLVEX_HANDLE>(zeroed) : h;
        rc = OLVEX_DoCommand(target, command.data(), int(command.size()), extra == "null" ? nullptr : body.data(),
                             &length);
        out = Outcome(rc, GetLastError(), true, body.data(), length);
        done = true;
        canceller.join();
    }
    if (h) OLVEX_Disconnect(h);
    if (verb == "close") {
        uint8_t zeroed[64] = {};
        SetLastError(kCallerError);
        rc = OLVEX_Disconnect(arg == "null" ? nullptr : reinterpret_cast<OLVEX_HANDLE>(zeroed));
        out = Outcome(rc, GetLastError(), false);
    }
    keysim::Unplug(plugged);
    return out;
}

int Rows(const char *table, bool replaying) {
    std::ifstream in(table);
    std::string line;
    int failed = 0, rows = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> cells;
        std::istringstream cellStream(line);
        for (std::string cell; std::getline(cellStream, cell, '|');) {
            const size_t b = cell.find_first_not_of(' ');
            cells.push_back(cell.substr(b, cell.find_last_not_of(' ') + 1 - b));
        }
        const std::string got = Row(cells[0], cells[1], cells[2], replaying);
        const bool ok = got.compare(0, cells[3].size(), cells[3]) == 0;
        printf("%s: %s%s\n", cells[0].c_str(), got.c_str(), ok ? "" : ("  EXPECTED " + cells[3]).c_str());
        failed += !ok;
        ++rows;
    }
    printf("%d rows, %d as expected\n", rows, rows - failed);
    return failed || !rows;
}

// olvexlib.hpp as applications use it, on the first three keys: echo, long
// answers, and one that answers after 300 ms.
int Session() {
    std::error_code ec;
    const std::vector<std::string> paths = olvex::key_paths(ec);
    for (const std::string &p : paths) printf("key %s\n", p.c_str());
    if (paths.size() < 3) return 1;
    // `n` commands from `first` on, through a connection of their own.
    auto exchanges = [&](const std::string &path, uint8_t first, int n, std::chrono::milliseconds limit) {
        std::error_code e;
        olvex::connection key(path, e);
        std::string out;
        for (uint8_t c = first; c < first + n; ++c) {
            const olvex::response r = key.exchange(std::vector<uint8_t>{c, 0xEE}, limit, e);
            out += e ? "error " + std::to_string(e.value()) + "\n"
                     : Outcome(r.status, 0, true, r.body.data(), int(r.body.size())) + "\n";
        }
        return out;
    };
    std::string longer;
    std::thread other([&] { longer = exchanges(paths[1], 0x20, 3, olvex::no_timeout); });
    const std::string echo = exchanges(paths[0], 0x10, 5, olvex::no_timeout);
    other.join();
    // Given up after 100 ms; closing reads the late answer, so the next gets its own.
    const std::string late = exchanges(paths[2], 0x01, 1, std::chrono::milliseconds(100));
    printf("%s%s%s%s", echo.c_str(), longer.c_str(), late.c_str(),
           exchanges(paths[2], 0x0b, 1, std::chrono::milliseconds(2000)).c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "rows" && argc == 3) return Rows(argv[2], getenv("OLVEX_REPLAY") != nullptr);
    if (mode == "session") return Session();
    fprintf(stderr, "usage: trace_probe rows TABLE | session\n");
    return 2;
}
