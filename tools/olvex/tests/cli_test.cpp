// olvex.exe as scripts see it: its output and exit codes against virtual
// keys plugged by this test process, and what the keys received.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "keysim.h"

namespace {

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

std::string SelfDirectory() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

HANDLE TempFile() {
    char dir[MAX_PATH], name[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "olx", 0, name);
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &sa, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

std::string Slurp(HANDLE file) {
    std::string text;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char chunk[4096];
    DWORD n;
    while (ReadFile(file, chunk, sizeof chunk, &n, nullptr) && n) text.append(chunk, n);
    CloseHandle(file);
    return text;
}

struct Result {
    int code = -1;
    std::string out, err;
};

// Runs olvex.exe with `args` and collects everything it wrote.
Result Olvex(const std::string &args) {
    Result r;
    HANDLE out = TempFile(), err = TempFile();
    std::string command = "\"" + SelfDirectory() + "olvex.exe\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        DWORD code = DWORD(-1);
        if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(pi.hProcess, &code);
        } else {
            // A hung olvex.exe must not outlive its test.
            TerminateProcess(pi.hProcess, 1);
            WaitForSingleObject(pi.hProcess, 5000);
        }
        r.code = int(code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
}

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
    const std::string time0 = lines[0].substr(lines[0].rfind("attached ") + 9);
    const std::string time1 = lines[1].substr(lines[1].rfind("attached ") + 9);
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
    EXPECT_EQ(Lines(r.err), std::vector<std::string>{
                                "olvex: exchange failed: command 1 (1 bytes) to key 0 got no valid response"});
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
    EXPECT_EQ(Olvex("run C:\\no\\such\\script.txt").code, 2);
    EXPECT_EQ(Requests(key), 0u);
}

TEST(Bench, ReportsRateAndLatencyPercentilesWithProgress) {
    KeyPtr key = Plug("bench");
    Result r = Olvex("bench --size 8 --count 20");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "20 exchanges of 8 bytes")) << r.out;
    EXPECT_TRUE(Contains(r.out, "exchanges/s"));
    EXPECT_TRUE(Contains(r.out, "p50 ") && Contains(r.out, "p99 ") && Contains(r.out, "max ")) << r.out;
    EXPECT_TRUE(Contains(r.err, "20/20 exchanges")) << r.err;
    EXPECT_EQ(Requests(key), 20u);
    EXPECT_EQ(keysim::GetStats(key.get()).lastRequest.size(), 3u + 8u);
}

TEST(Usage, EveryCommandHasHelpAndMistakesExitTwo) {
    for (const char *command : {"list", "send", "run", "bench"}) {
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
}
