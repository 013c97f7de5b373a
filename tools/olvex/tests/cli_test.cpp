// olvex.exe as scripts see it: its output and exit codes against virtual
// keys plugged by this test process, and what the keys received.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "argument_table.h"
#include "keysim.h"
#include "olvex/errors.hpp"
#include "olvex_process.h"

namespace {

using namespace olvextest;

struct Unplugger {
    void operator()(keysim::Key *key) const { keysim::Unplug(key); }
};
using KeyPtr = std::unique_ptr<keysim::Key, Unplugger>;

KeyPtr Plug(const std::string &serial, keysim::Mode mode = keysim::Mode::Echo, uint16_t status = 0x9000) {
    keysim::KeyOptions o;
    o.serial = serial;
    o.behaviour.mode = mode;
    o.behaviour.status = status;
    KeyPtr key(keysim::Plug(o));
    EXPECT_NE(key, nullptr) << serial;
    return key;
}

uint64_t Requests(const KeyPtr &key) { return keysim::GetStats(key.get()).requests; }

template <class Condition>
bool Within(DWORD ms, Condition done) {
    for (DWORD waited = 0; !done(); waited += 20) {
        if (waited >= ms) return false;
        Sleep(20);
    }
    return true;
}

// A cause as olvex words it: the library's words for the code, then the code.
std::string Cause(DWORD code) {
    return olvex::error_message(int(code)) + " (error " + std::to_string(code) + ")";
}

// A key's lock as another program holds it. Held from the start, or only
// kept open so that the state olvex leaves it in can be seen afterwards.
struct PeerLock {
    HANDLE h;
    PeerLock(const KeyPtr &key, bool own) {
        std::string name = keysim::DevicePath(key.get());
        std::reverse(name.begin(), name.end());
        for (char &c : name)
            if (c == '\\') c = 'a';
        h = CreateMutexA(nullptr, own, name.c_str());
    }
    ~PeerLock() { CloseHandle(h); }
    // Released properly (not abandoned by a process that died holding it).
    bool Released() const {
        const DWORD wait = WaitForSingleObject(h, 0);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(h);
        return wait == WAIT_OBJECT_0;
    }
};

std::string WriteScript(const std::string &text) {
    char dir[MAX_PATH], name[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "scr", 0, name);
    FILE *f = fopen(name, "wb");
    fputs(text.c_str(), f);
    fclose(f);
    return name;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(List, NoKeysPrintsNoLinesAndAnEmptyJsonArray) {
    Result text = Olvex("list");
    EXPECT_EQ(text.code, 0);
    EXPECT_EQ(text.out, "");
    EXPECT_TRUE(Contains(text.err, "no keys"));
    Result json = Olvex("list --json");
    EXPECT_EQ(json.code, 0);
    EXPECT_EQ(Lines(json.out), std::vector<std::string>{"[]"});
}

TEST(List, KeysComeInAttachOrderWithPathAndLocalTime) {
    // Registry order is by name, the opposite of attach order here.
    KeyPtr first = Plug("zz-first");
    Sleep(50);
    KeyPtr second = Plug("aa-second");
    const std::string firstPath = keysim::DevicePath(first.get()), secondPath = keysim::DevicePath(second.get());

    Result r = Olvex("list");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].rfind("0  " + firstPath + "  attached ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("1  " + secondPath + "  attached ", 0), 0u) << lines[1];
    int y, mo, d, h, mi, s, ms;
    // The time, then what the path says the key is.
    const std::string time0 = lines[0].substr(lines[0].rfind("attached ") + 9, 23);
    const std::string time1 = lines[1].substr(lines[1].rfind("attached ") + 9, 23);
    EXPECT_EQ(lines[0].substr(lines[0].rfind("attached ") + 9 + 23), "  vid 1234  pid 5678  serial zz-first");
    ASSERT_EQ(sscanf(time0.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d", &y, &mo, &d, &h, &mi, &s, &ms), 7) << time0;
    EXPECT_EQ(time0.size(), 23u);
    EXPECT_LE(time0, time1);

    Result json = Olvex("list --json");
    ASSERT_EQ(json.code, 0);
    const size_t a = json.out.find("\"index\": 0"), b = json.out.find("\"index\": 1");
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    EXPECT_LT(a, b);
    std::string escaped = firstPath;
    for (size_t i = 0; (i = escaped.find('\\', i)) != std::string::npos; i += 2) escaped.insert(i, "\\");
    EXPECT_TRUE(Contains(json.out.substr(a, b - a), "\"path\": \"" + escaped + "\"")) << json.out;
    EXPECT_TRUE(Contains(json.out, "\"attached\": \"" + time0.substr(0, 10) + "T")) << json.out;
}

// Keys the library cannot open are still shown, each with why.
TEST(List, EveryAttachedKeyIsShownAndThoseThatCannotBeOpenedSayWhy) {
    std::vector<KeyPtr> listed;
    for (int i = 0; i < 11; ++i) {
        listed.push_back(Plug("eleven-" + std::to_string(i)));
        Sleep(40);
    }
    keysim::KeyOptions refused;
    refused.serial = "refuses-open";
    refused.refuseOpen = true;
    KeyPtr closed(keysim::Plug(refused));
    keysim::KeyOptions undated;
    undated.serial = "no-attach-time";
    undated.omitControlKey = true;
    KeyPtr unknown(keysim::Plug(undated));
    ASSERT_TRUE(closed && unknown);

    Result r = Olvex("list");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 13u) << r.out;
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(lines[size_t(i)].rfind(std::to_string(i) + "  " + keysim::DevicePath(listed[size_t(i)].get()), 0), 0u)
            << lines[size_t(i)];
    const auto shown = [&](const KeyPtr &key) {
        for (const std::string &line : lines)
            if (line.rfind("-  " + keysim::DevicePath(key.get()) + "  cannot be opened: ", 0) == 0) return line;
        return std::string();
    };
    EXPECT_TRUE(Contains(shown(listed[10]), "beyond the 10 keys the library lists")) << r.out;
    EXPECT_TRUE(Contains(shown(closed), "it does not open: ")) << r.out;
    EXPECT_TRUE(Contains(shown(closed), "(error ")) << r.out;
    EXPECT_TRUE(Contains(shown(unknown), "no attach time")) << r.out;

    Result json = Olvex("list --json");
    ASSERT_EQ(json.code, 0);
    size_t unopenable = 0;
    for (size_t at = 0; (at = json.out.find("\"openable\": false, \"why\": ", at)) != std::string::npos; ++at) ++unopenable;
    EXPECT_EQ(unopenable, 3u) << json.out;
    EXPECT_TRUE(Contains(json.out, "\"index\": 9,")) << json.out;
    EXPECT_TRUE(Contains(json.out, "\"index\": null,")) << json.out;
}

TEST(Send, EchoedBodyPrintsAsHexWithAsciiAndTheStatusWord) {
    KeyPtr key = Plug("send-echo", keysim::Mode::Echo, 0x6A82);
    Result r = Olvex("send 48656c6c6f \"00 ff\"");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                                "sent 5 bytes; status 6a82; body 5 bytes",
                                "  0000  48 65 6c 6c 6f                                    Hello",
                                "sent 2 bytes; status 6a82; body 2 bytes",
                                "  0000  00 ff                                             ..",
                            }));
    EXPECT_EQ(Requests(key), 2u) << "each argument is one command";
}

TEST(Send, StatusWordFFFFIsAnAnswerNotAFailure) {
    KeyPtr key = Plug("send-ffff", keysim::Mode::Echo, 0xFFFF);
    Result r = Olvex("send \"\"");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Lines(r.out), std::vector<std::string>{"sent 0 bytes; status ffff; body 0 bytes"});
}

TEST(Send, BadHexExitsTwoBeforeAnythingIsSent) {
    KeyPtr key = Plug("send-badhex");
    for (const char *args : {"send 00a4 0g", "send abc", "send 00 --index 0 1"}) {
        Result r = Olvex(args);
        EXPECT_EQ(r.code, 2) << args;
        EXPECT_TRUE(Contains(r.err, "nothing sent")) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(Requests(key), 0u);
}

TEST(Send, IndexChoosesTheKeyInAttachOrder) {
    KeyPtr first = Plug("idx-b");
    Sleep(50);
    KeyPtr second = Plug("idx-a");
    Result r = Olvex("send --index 1 01 02");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Requests(first), 0u);
    EXPECT_EQ(Requests(second), 2u);
}

TEST(Send, MissingKeyIsAConnectFailureWithItsOwnExitCode) {
    Result none = Olvex("send 00");
    EXPECT_EQ(none.code, 3);
    EXPECT_EQ(Lines(none.err), std::vector<std::string>{"olvex: connect failed: no key at index 0 (0 attached)"});
    KeyPtr key = Plug("only-one");
    Result beyond = Olvex("send --index 1 00");
    EXPECT_EQ(beyond.code, 3);
    EXPECT_TRUE(Contains(beyond.err, "connect failed: no key at index 1 (1 attached)")) << beyond.err;
    EXPECT_EQ(Requests(key), 0u);
}

TEST(Send, InvalidResponseIsAnExchangeFailureAndStopsTheRest) {
    KeyPtr key = Plug("wrong-lead", keysim::Mode::WrongLead);
    Result r = Olvex("send 01 02");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(Lines(r.err), std::vector<std::string>{"olvex: command 1 (1 bytes): exchange with key 0 failed: " +
                                                     Cause(ERROR_INVALID_DATA)});
    EXPECT_EQ(Requests(key), 1u);
}

TEST(Run, StopsAtTheFirstMismatchAndNamesItsLine) {
    KeyPtr key = Plug("run-mismatch");
    const std::string script = WriteScript(
        "# the key answers 9000 to everything\n"
        "01 02 => 9000\n"
        "\n"
        "03 => 6a82   # this one cannot match\n"
        "04 => 9000\n");
    Result r = Olvex("run \"" + script + "\"");
    DeleteFileA(script.c_str());
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, script + ":4: expected status 6a82, got 9000")) << r.err;
    EXPECT_EQ(Requests(key), 2u) << "line 5 is never sent";
    EXPECT_TRUE(Contains(r.out, "line 2: sent 2 bytes; status 9000")) << r.out;
}

TEST(Run, WholeScriptMatchingSucceeds) {
    KeyPtr key = Plug("run-match", keysim::Mode::Echo, 0x6A82);
    const std::string script = WriteScript("01 => 6A82\n02\r\n=> 6a82\n");
    Result r = Olvex("run --index 0 \"" + script + "\"");
    DeleteFileA(script.c_str());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Requests(key), 3u);
    EXPECT_TRUE(Contains(r.out, "3 commands, all as expected"));
}

TEST(Run, SyntaxErrorOrMissingFileIsRefusedBeforeSending) {
    KeyPtr key = Plug("run-syntax");
    const std::string script = WriteScript("01 => 9000\n02 => 90\n");
    Result r = Olvex("run \"" + script + "\"");
    DeleteFileA(script.c_str());
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.err, script + ":2:")) << r.err;
    const Result missing = Olvex("run C:\\no\\such\\script.txt");
    EXPECT_EQ(missing.code, 2);
    EXPECT_TRUE(Contains(missing.err, "cannot read C:\\no\\such\\script.txt: " + Cause(ERROR_PATH_NOT_FOUND)))
        << missing.err;
    EXPECT_EQ(Requests(key), 0u);
}

TEST(Bench, ReportsRateAndLatencyPercentilesAndNoProgressIntoAFile) {
    KeyPtr key = Plug("bench");
    Result r = Olvex("bench --size 8 --count 20");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "20 exchanges of 8 bytes")) << r.out;
    EXPECT_TRUE(Contains(r.out, "exchanges/s"));
    EXPECT_TRUE(Contains(r.out, "p50 ") && Contains(r.out, "p99 ") && Contains(r.out, "max ")) << r.out;
    EXPECT_EQ(r.err, "") << "the progress line is for consoles";
    EXPECT_EQ(Requests(key), 20u);
    EXPECT_EQ(keysim::GetStats(key.get()).lastRequest.size(), 3u + 8u);
}

TEST(Usage, EveryCommandHasHelpAndMistakesExitTwo) {
    for (const char *command : {"list", "send", "run", "bench", "watch", "trace"}) {
        Result r = Olvex(std::string(command) + " --help");
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: olvex ") + command, 0), 0u) << r.out;
    }
    EXPECT_EQ(Olvex("--help").code, 0);
    EXPECT_EQ(Olvex("").code, 2);
    EXPECT_EQ(Olvex("frobnicate").code, 2);
    EXPECT_EQ(Olvex("list --verbose").code, 2);
    EXPECT_EQ(Olvex("send --index x 00").code, 2);
    EXPECT_EQ(Olvex("send").code, 2);
    EXPECT_EQ(Olvex("bench --size 65533").code, 2);
    EXPECT_EQ(Olvex("send --timeout 0 00").code, 2);
    EXPECT_EQ(Olvex("watch --interval x").code, 2);
    EXPECT_EQ(Olvex("list --timeout 5").code, 2);
    EXPECT_TRUE(Contains(Olvex("--help").out, "4 the key did not answer"));
    Result badKey = Olvex("send --key k0 00");
    EXPECT_EQ(badKey.code, 2);
    EXPECT_TRUE(Contains(badKey.err, "--key takes an index or a device path")) << badKey.err;
    EXPECT_EQ(Olvex("watch --timeout 5").code, 2);
    Result version = Olvex("--version");
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(Lines(version.out), std::vector<std::string>{"olvex 1.0.4 (olvexlib.hpp 1.0.4, Olvexlib.dll 1.0.4.0)"});
}

// --key, --timeout and --json mean the same in every command that takes them.
TEST(Usage, KeyByIndexOrPathAndJsonAreTheSameInEveryKeyCommand) {
    KeyPtr first = Plug("options-first");
    Sleep(40);
    KeyPtr second = Plug("options-second");
    const std::string path = keysim::DevicePath(second.get());
    Result send = Olvex("send --key 1 --json 0b0c");
    ASSERT_EQ(send.code, 0) << send.err;
    EXPECT_EQ(Lines(send.out), std::vector<std::string>{"{\"sent\": 2, \"status\": \"9000\", \"body\": \"0b0c\"}"});
    const std::string script = WriteScript("0d => 9000\n");
    Result run = Olvex("run --key " + path + " --timeout 2000 --json \"" + script + "\"");
    DeleteFileA(script.c_str());
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Lines(run.out), std::vector<std::string>{"{\"line\": 1, \"sent\": 1, \"status\": \"9000\", \"body\": \"0d\"}"});
    Result bench = Olvex("bench --key=" + path + " --count 2 --size 1 --json");
    ASSERT_EQ(bench.code, 0) << bench.err;
    EXPECT_EQ(bench.out.rfind("{\"key\": \"", 0), 0u) << bench.out;
    EXPECT_TRUE(Contains(bench.out, "\"count\": 2, \"size\": 1,")) << bench.out;
    EXPECT_EQ(Requests(first), 0u);
    EXPECT_EQ(Requests(second), 4u);
    Result none = Olvex("send --key 2 0b");
    EXPECT_EQ(none.code, 3);
    EXPECT_TRUE(Contains(none.err, "no key at index 2")) << none.err;
}

TEST(Timeout, SilentKeyEndsSendRunAndBenchWithExitFour) {
    KeyPtr key = Plug("timeout-silent", keysim::Mode::Silent);
    PeerLock lock(key, false);
    Result send = Olvex("send --timeout 300 01 02");
    EXPECT_EQ(send.code, 4);
    EXPECT_EQ(Lines(send.err), std::vector<std::string>{"olvex: command 1 (1 bytes): key 0 did not answer within 300 ms"});
    EXPECT_TRUE(lock.Released()) << "the lock is given back, not abandoned";

    const std::string script = WriteScript("01 => 9000\n02\n");
    Result run = Olvex("run --timeout 300 \"" + script + "\"");
    DeleteFileA(script.c_str());
    EXPECT_EQ(run.code, 4);
    EXPECT_TRUE(Contains(run.err, script + ":1: key 0 did not answer within 300 ms")) << run.err;

    Result bench = Olvex("bench --count 3 --timeout=300");
    EXPECT_EQ(bench.code, 4);
    EXPECT_TRUE(Contains(bench.err, "exchange 1 of 3: key 0 did not answer within 300 ms")) << bench.err;
    EXPECT_EQ(Requests(key), 3u) << "each stopped at its first command";
}

TEST(Timeout, LockHeldByAnotherProgramEndsWithExitFourAndNothingSent) {
    KeyPtr key = Plug("timeout-held");
    PeerLock lock(key, true);
    Result r = Olvex("send --timeout 300 01");
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(Lines(r.err), std::vector<std::string>{
                                "olvex: command 1 (1 bytes): key 0 did not answer within 300 ms: still waiting for "
                                "the key's lock, which another program holds; nothing was sent"});
    EXPECT_EQ(Requests(key), 0u);
    ReleaseMutex(lock.h);
    EXPECT_EQ(Olvex("send --timeout 5000 01").code, 0) << "the same, once the lock is free";
}

TEST(Causes, KeyWhoseLockCannotBeOpenedNamesThePlatformCause) {
    KeyPtr key = Plug("cause-lock");
    std::string name = keysim::DevicePath(key.get());
    std::reverse(name.begin(), name.end());
    for (char &c : name)
        if (c == '\\') c = 'a';
    // Another kind of object under the lock's name.
    HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(squatter, nullptr);
    ASSERT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
    const DWORD why = GetLastError();
    Result r = Olvex("send 01");
    CloseHandle(squatter);
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(Lines(r.err), std::vector<std::string>{"olvex: cannot open key 0: " + Cause(why)});
    EXPECT_EQ(Requests(key), 0u);
}

TEST(Watch, ListsThePresentKeysThenEachAttachAndRemoveUntilCtrlC) {
    KeyPtr present = Plug("watched-before");
    Running w = Start("watch --interval 100", true);
    ASSERT_TRUE(Within(20000, [&] { return Contains(Peek(w.errName), "listing the keys every 100 ms"); }))
        << Peek(w.errName);
    KeyPtr key = Plug("watched");
    const std::string path = keysim::DevicePath(key.get());
    EXPECT_TRUE(Within(10000, [&] { return Contains(Peek(w.outName), "  attached  " + path + "  "); }));
    key.reset();
    EXPECT_TRUE(Within(10000, [&] { return Contains(Peek(w.outName), "  removed   " + path); }));
    EXPECT_TRUE(CtrlC(w));
    Result r = Finish(w, 10000);
    EXPECT_EQ(r.code, 130);
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_NE(lines[0].find("  attached  " + keysim::DevicePath(present.get()) + "  "), std::string::npos);
    int y, mo, d, h, mi, s, ms;
    EXPECT_EQ(sscanf(lines[1].c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d", &y, &mo, &d, &h, &mi, &s, &ms), 7) << lines[1];
    EXPECT_EQ(lines[1].find("  attached  "), 23u) << lines[1];
}

TEST(Send, PathReachesThatKeyWhateverItsIndexAndARemovedKeyExitsThree) {
    KeyPtr first = Plug("by-path-first");
    KeyPtr second = Plug("by-path-second");
    const std::string path = keysim::DevicePath(second.get());
    first.reset();  // the second key is index 0 now
    Result r = Olvex("send --path " + path + " 0b");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Requests(second), 1u);
    Result gone = Olvex("send --path " + keysim::MakeDevicePath("by-path-first") + " 0b");
    EXPECT_EQ(gone.code, 3);
    EXPECT_TRUE(Contains(gone.err, "no attached key has the path")) << gone.err;

    keysim::Behaviour slow;
    slow.latencyMs = 3000;
    keysim::SetBehaviour(second.get(), slow);
    Running during = Start("send --path " + path + " 01");
    ASSERT_TRUE(Within(20000, [&] { return Requests(second) == 2; }));
    second.reset();
    Result removed = Finish(during, 20000);
    EXPECT_EQ(removed.code, 3);
    EXPECT_EQ(Lines(removed.err), std::vector<std::string>{"olvex: command 1 (1 bytes): key " + path +
                                                            ": key removed"});
}

TEST(Interrupt, CtrlCCancelsAnUnansweredExchangeAndReleasesTheLock) {
    KeyPtr key = Plug("ctrlc-silent", keysim::Mode::Silent);
    PeerLock lock(key, false);
    Running r = Start("send 01", true);
    ASSERT_TRUE(Within(20000, [&] { return Requests(key) == 1; }));
    Sleep(100);
    EXPECT_TRUE(CtrlC(r));
    Result res = Finish(r, 10000);
    EXPECT_EQ(res.code, 130);
    EXPECT_EQ(Lines(res.err), std::vector<std::string>{"olvex: interrupted"});
    EXPECT_TRUE(lock.Released());
}

TEST(Interrupt, SecondCtrlCEndsTheToolWhileClosingStillWaitsForTheAnswer) {
    KeyPtr key = Plug("ctrlc-twice", keysim::Mode::Silent);
    Running r = Start("send 01", true);
    ASSERT_TRUE(Within(20000, [&] { return Requests(key) == 1; }));
    Sleep(100);
    EXPECT_TRUE(CtrlC(r));
    // The first ends the exchange; closing the key then gives the owed
    // answer its grace of 2 s, which the second cuts short.
    Sleep(300);
    const ULONGLONG second = GetTickCount64();
    EXPECT_TRUE(CtrlC(r));
    Result res = Finish(r, 10000);
    EXPECT_LT(GetTickCount64() - second, 1500u);
    EXPECT_EQ(res.code, 130);
}

TEST(Interrupt, CtrlCWhileAnotherProgramHoldsTheLockSendsNothing) {
    KeyPtr key = Plug("ctrlc-held");
    PeerLock lock(key, true);
    Running r = Start("send 01", true);
    // Connected; the lock wait follows at once.
    ASSERT_TRUE(Within(20000, [&] { return keysim::GetStats(key.get()).openHandles == 1; }));
    Sleep(300);
    EXPECT_TRUE(CtrlC(r));
    Result res = Finish(r, 10000);
    EXPECT_EQ(res.code, 130);
    EXPECT_EQ(Lines(res.err), std::vector<std::string>{"olvex: interrupted"});
    ReleaseMutex(lock.h);
    EXPECT_EQ(Requests(key), 0u);
}

TEST(Interrupt, CtrlCOutsideAnExchangeEndsAtOnce) {
    // A script that never comes: olvex blocks reading it, holding no lock.
    char name[64];
    snprintf(name, sizeof name, "\\\\.\\pipe\\olvex-script-%lu", GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    Running r = Start(std::string("run ") + name, true);
    // Opening the script comes after the Ctrl-C handler is in place.
    const BOOL connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
    EXPECT_TRUE(connected);
    EXPECT_TRUE(CtrlC(r));
    Result res = Finish(r, 10000);
    CloseHandle(pipe);
    EXPECT_EQ(res.code, 130);
    EXPECT_EQ(Lines(res.err), std::vector<std::string>{"olvex: interrupted"});
}

namespace {

// One bad-argument row through olvex: the same mistake, its exit code.
void RunArgumentRow(const scenarios::ArgumentRow &row) {
    KeyPtr key = Plug("arg-" + row.name);
    std::string script;
    Result r;
    switch (row.call) {
        case scenarios::ArgumentRow::OpenIndex:
            // The row's key is the only one attached: the count is 1.
            r = Olvex("send --key " + std::to_string(row.count ? 1 : row.value) + " 00");
            break;
        case scenarios::ArgumentRow::OpenPath:
            r = Olvex("send --key " + row.path + " 00");
            break;
        case scenarios::ArgumentRow::ExchangeBytes:
            // Too long for a command line: a script's line.
            script = WriteScript(std::string(size_t(row.value) * 2, 'a') + "\n");
            r = Olvex("run \"" + script + "\"");
            DeleteFileA(script.c_str());
            break;
        case scenarios::ArgumentRow::ExchangeTimeout:
            r = Olvex("send --timeout " + std::to_string(row.value) + " 00");
            break;
        case scenarios::ArgumentRow::ExchangeClosed:
            break;
    }
    EXPECT_EQ(r.code, row.olvexExit) << r.err;
    EXPECT_TRUE(Contains(r.err, row.olvexSays)) << r.err;
    EXPECT_EQ(Requests(key), 0u) << "nothing reaches the key";
}

// The rows whose mistake this layer can make.
const bool argumentsRegistered = scenarios::RegisterArgumentRows(
    OLVEX_ARGUMENT_TABLE, "olvex-", [](const scenarios::ArgumentRow &row) { return row.olvexExit >= 0; },
    RunArgumentRow);

}  // namespace

// --serial in every key command, as scripts use it: the key whose serial it
// is, none, or two claiming it; and list showing what the paths say.
TEST(Serial, OpensByTheKeysSerialAndRefusesNoneOrTwoNamingBoth) {
    keysim::KeyOptions twin;
    twin.serial = "sn-twin";
    twin.pid = 0x9999;
    KeyPtr mine = Plug("sn-mine"), one = Plug("sn-twin"), other(keysim::Plug(twin));
    ASSERT_TRUE(other);
    const std::string onePath = keysim::DevicePath(one.get()), otherPath = keysim::DevicePath(other.get());
    const std::string script = WriteScript("02 => 9000\n");
    const struct {
        std::string args;
        int code;
        std::string err;
    } rows[] = {
        {"send --serial SN-MINE 01", 0, ""},
        {"run --serial sn-mine " + script, 0, ""},
        {"bench --serial sn-mine --count 2", 0, ""},
        {"send --serial sn-none 01", 3, "olvex: connect failed: no attached key has the serial sn-none"},
        {"send --serial sn-twin 01", 3,
         "olvex: connect failed: 2 keys have the serial sn-twin: " + onePath + " and " + otherPath},
        {"send --serial sn-mine --index 0 01", 2, ""},
    };
    for (const auto &row : rows) {
        Result r = Olvex(row.args);
        EXPECT_EQ(r.code, row.code) << row.args << ": " << r.err;
        if (!row.err.empty()) {
            EXPECT_EQ(Lines(r.err), std::vector<std::string>{row.err}) << row.args;
        }
    }
    DeleteFileA(script.c_str());
    EXPECT_EQ(Requests(mine), 4u);
    EXPECT_EQ(Requests(one) + Requests(other), 0u);

    const std::vector<std::string> list = Lines(Olvex("list").out);
    ASSERT_EQ(list.size(), 3u);
    const std::string ends[] = {"  vid 1234  pid 5678  serial sn-mine", "  vid 1234  pid 5678  serial sn-twin",
                                "  vid 1234  pid 9999  serial sn-twin"};
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(list[i].substr(list[i].size() - ends[i].size()), ends[i]) << list[i];
    Result json = Olvex("list --json");
    EXPECT_TRUE(Contains(json.out, "\"vendor_id\": 4660, \"product_id\": 22136, \"serial\": \"sn-mine\"}")) << json.out;
}

// The whole file as one transaction: the lock taken once within --timeout,
// and given back properly however the run ends.
TEST(Run, TransactionTakesTheLockOnceAndGivesItBack) {
    KeyPtr key = Plug("run-tx");
    const std::string script = WriteScript("01 => 9000\n02\n03 => 9000\n");
    {
        PeerLock lock(key, true);
        Result held = Olvex("run --transaction --timeout 300 \"" + script + "\"");
        EXPECT_EQ(held.code, 4);
        EXPECT_TRUE(Contains(held.err, "the key's lock was not had within 300 ms")) << held.err;
        EXPECT_EQ(Requests(key), 0u) << "nothing sent without the lock";
        ReleaseMutex(lock.h);
    }
    PeerLock lock(key, false);
    Result r = Olvex("run --transaction \"" + script + "\"");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "3 commands, all as expected, in one transaction")) << r.out;
    EXPECT_EQ(Requests(key), 3u);
    EXPECT_TRUE(lock.Released()) << "the lock is given back, not abandoned";

    const std::string bad = WriteScript("01 => 6a82\n02\n");
    Result mismatch = Olvex("run --transaction \"" + bad + "\"");
    EXPECT_EQ(mismatch.code, 1);
    EXPECT_TRUE(lock.Released()) << "a run that stops inside gives the lock back too";
    EXPECT_TRUE(Contains(Olvex("run --help").out, "--transaction"));
    DeleteFileA(script.c_str());
    DeleteFileA(bad.c_str());
}
