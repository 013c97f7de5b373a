// What tracing costs an exchange, and how fast a replay answers. One process,
// one virtual key served by threads of it, three DLLs loaded side by side:
//   the library        a copy of bin/Olvexlib.dll in a folder of its own
//   the tracer         bin/trace/Olvexlib.dll, tracing (it loads bin/Olvexlib.dll)
//   replay             a copy of the tracer, replaying the tracer's trace
// Rounds alternate library and tracer (ABAB...) and medians of the paired
// ratios are reported: Wine pipe exchanges vary from run to run.
//   WINEPREFIX=... cmake/wine-run build/win64/bin/trace_bench.exe [rounds]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "keysim.h"
#include "olvexlib.h"

namespace {

struct Library {
    int(OLVEX_API *enumDev)(int *);
    int(OLVEX_API *connect)(OLVEX_HANDLE *, char *, int);
    int(OLVEX_API *doCommand)(OLVEX_HANDLE, const unsigned char *, int, unsigned char *, int *);
    OLVEX_HANDLE key = nullptr;

    // Loads `dll` and opens the key at `path`; false when either fails.
    bool Open(const std::wstring &dll, const std::string &path) {
        HMODULE m = LoadLibraryW(dll.c_str());
        if (!m) return false;
        enumDev = reinterpret_cast<decltype(enumDev)>(reinterpret_cast<void *>(GetProcAddress(m, "OLVEX_EnumDEV")));
        connect = reinterpret_cast<decltype(connect)>(reinterpret_cast<void *>(GetProcAddress(m, "OLVEX_Connect")));
        doCommand =
            reinterpret_cast<decltype(doCommand)>(reinterpret_cast<void *>(GetProcAddress(m, "OLVEX_DoCommand")));
        int count = 0;
        if (!enumDev || !connect || !doCommand || enumDev(&count) != OLVEX_OK) return false;
        for (int i = 0; i < count; ++i) {
            char found[OLVEX_PATH_SIZE + 1] = {};
            if (connect(&key, found, i) == OLVEX_OK && path == found) return true;
        }
        return false;
    }

    // Seconds per exchange over n exchanges; negative on a failure.
    double Time(int n) {
        static const unsigned char payload[] = {0x80, 0x01, 0x02, 0x03};
        static std::vector<unsigned char> body(OLVEX_MAX_RESPONSE_BODY);
        LARGE_INTEGER f, a, b;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&a);
        for (int i = 0; i < n; ++i) {
            int length = 0;
            if (doCommand(key, payload, sizeof payload, body.data(), &length) != 0x9000) return -1;
        }
        QueryPerformanceCounter(&b);
        return double(b.QuadPart - a.QuadPart) / double(f.QuadPart) / n;
    }
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Paired rounds of `a` then `b` (round 0 warms up); medians of each and of b/a.
bool Compare(Library &a, Library &b, int perRound, int rounds, double *ta, double *tb, double *ratio) {
    std::vector<double> as, bs, ratios;
    for (int r = 0; r <= rounds; ++r) {
        const double x = a.Time(perRound), y = b.Time(perRound);
        if (x < 0 || y < 0) return false;
        if (r == 0) continue;
        as.push_back(x);
        bs.push_back(y);
        ratios.push_back(y / x);
    }
    *ta = Median(as), *tb = Median(bs), *ratio = Median(ratios);
    return true;
}

std::wstring Folder(const std::wstring &path) { return path.substr(0, path.find_last_of(L'\\')); }

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const int rounds = argc > 1 ? atoi(argv[1]) : 15;
    wchar_t self[MAX_PATH], temp[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    GetTempPathW(MAX_PATH, temp);
    const std::wstring bin = Folder(self);
    const std::wstring work = std::wstring(temp) + L"olvex-trace-bench-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring trace = work + L"\\bench.pcap";
    CreateDirectoryW(work.c_str(), nullptr);
    CreateDirectoryW((work + L"\\library").c_str(), nullptr);
    CreateDirectoryW((work + L"\\replay").c_str(), nullptr);
    CopyFileW((bin + L"\\Olvexlib.dll").c_str(), (work + L"\\library\\Olvexlib.dll").c_str(), FALSE);
    CopyFileW((bin + L"\\trace\\Olvexlib.dll").c_str(), (work + L"\\replay\\Olvexlib.dll").c_str(), FALSE);

    keysim::KeyOptions options;
    options.serial = "trace-bench" + std::to_string(GetCurrentProcessId());
    keysim::Key *key = keysim::Plug(options);
    const std::string path = key ? keysim::DevicePath(key) : "";
    Library library, tracer, replay;
    SetEnvironmentVariableW(L"OLVEX_TRACE", trace.c_str());
    if (!key || !library.Open(work + L"\\library\\Olvexlib.dll", path) ||
        !tracer.Open(bin + L"\\trace\\Olvexlib.dll", path)) {
        fprintf(stderr, "cannot plug a virtual key and open it through the library and the tracer\n");
        return 1;
    }
    printf("tracing on, against the library (medians of %d paired rounds):\n", rounds);
    for (const uint32_t length : {2u, 51197u}) {
        keysim::Behaviour b;
        b.mode = keysim::Mode::Length;
        b.dataLength = length;
        keysim::SetBehaviour(key, b);
        double ta, tb, ratio;
        if (!Compare(library, tracer, length > 2 ? 20 : 100, rounds, &ta, &tb, &ratio)) return 1;
        printf("  bodies of %5u bytes: library %.3f ms, tracer %.3f ms: %.3fx (at most 1.10: %s)\n", length - 2,
               ta * 1e3, tb * 1e3, ratio, ratio <= 1.10 ? "met" : "NOT MET");
    }

    // Replay answers the short exchanges the tracer recorded first.
    keysim::Behaviour b;
    b.mode = keysim::Mode::Length;
    keysim::SetBehaviour(key, b);
    SetEnvironmentVariableW(L"OLVEX_TRACE", nullptr);
    SetEnvironmentVariableW(L"OLVEX_REPLAY", trace.c_str());
    double ta, tb, ratio;
    if (!replay.Open(work + L"\\replay\\Olvexlib.dll", path) ||
        !Compare(library, replay, 100, rounds < 10 ? rounds : 10, &ta, &tb, &ratio)) {
        fprintf(stderr, "replay failed\n");
        return 1;
    }
    printf("replay against keysim: keysim %.3f ms, replay %.4f ms: %.0fx as fast (at least 10: %s)\n", ta * 1e3,
           tb * 1e3, 1 / ratio, 1 / ratio >= 10 ? "met" : "NOT MET");
    keysim::Unplug(key);
    return 0;
}
