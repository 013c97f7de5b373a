// Enumeration against virtual keys: which keys are listed, in what order, and
// that every path through it gives back what it took.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "keysim.h"
#include "olvexlib.h"
#include "support/dll_platform.h"
#include "support/iat_hook.h"

using testsupport::Api;
using testsupport::ImportHook;
using testsupport::PlatformShim;

namespace {

HMODULE Library() { return GetModuleHandleA("Olvexlib.dll"); }

// Keys plugged by one test, unplugged when it ends.
class Keys {
public:
    ~Keys() {
        for (keysim::Key *k : keys_) keysim::Unplug(k);
    }
    // Registry times have microsecond resolution, but keep attach times well apart.
    keysim::Key *Plug(const std::string &serial, bool refuseOpen = false, bool omitControlKey = false) {
        Sleep(20);
        keysim::KeyOptions o;
        o.serial = serial;
        o.refuseOpen = refuseOpen;
        o.omitControlKey = omitControlKey;
        keysim::Key *k = keysim::Plug(o);
        EXPECT_NE(k, nullptr) << serial;
        if (k) keys_.push_back(k);
        return k;
    }
    void Unplug(keysim::Key *key) {
        keysim::Unplug(key);
        for (auto &k : keys_)
            if (k == key) k = nullptr;
    }

private:
    std::vector<keysim::Key *> keys_;
};

// The serials of the table's first `count` keys, in index order, as Connect
// reports their paths.
std::vector<std::string> TableSerials(int count) {
    std::vector<std::string> serials;
    for (int i = 0; i < count; ++i) {
        char path[300] = {};
        OLVEX_HANDLE c = nullptr;
        EXPECT_EQ(OLVEX_Connect(&c, path, i), OLVEX_OK) << i;
        OLVEX_Disconnect(c);
        std::string p(path);
        const size_t start = p.find('#', p.find('#') + 1) + 1;
        serials.push_back(p.substr(start, p.rfind('#') - start));
    }
    return serials;
}

std::vector<std::string> Listed() {
    int count = -1;
    EXPECT_EQ(OLVEX_EnumDEV(&count), OLVEX_OK);
    return TableSerials(count);
}

using Serials = std::vector<std::string>;

// Counts the device info sets and registry keys enumeration takes and gives
// back, and makes SetupAPI and the registry fail or misreport; handles and
// allocations are the platform shim's to count.
struct Ledger {
    std::multiset<HKEY> keys;
    std::multiset<HDEVINFO> sets;
    int detailCalls = 0;       // calls with a buffer
    int failDetailCall = -1;   // fail the detail call with this ordinal
    bool failSizeQuery = false;
    int failTimeQuery = -1;    // fail RegQueryInfoKeyA with this ordinal
    int timeQueries = 0;
    // The platform reports this path for the interface with this ordinal
    // (Wine cannot list a path longer than a table slot holds).
    int replacePathOf = -1;
    std::string replacementPath;
    int sizeQueries = 0;
};
Ledger *g_ledger;

#define ORIGINAL(hook, type) (hook)->original<type>()
ImportHook *g_regOpen, *g_regClose, *g_regQuery, *g_getSet, *g_destroySet, *g_detail;

LSTATUS WINAPI HookRegOpenKeyExA(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY out) {
    EXPECT_EQ(access, REGSAM(KEY_READ));
    LSTATUS s = ORIGINAL(g_regOpen, decltype(&RegOpenKeyExA))(root, path, options, access, out);
    if (s == ERROR_SUCCESS) g_ledger->keys.insert(*out);
    return s;
}
LSTATUS WINAPI HookRegCloseKey(HKEY key) {
    auto it = g_ledger->keys.find(key);
    EXPECT_NE(it, g_ledger->keys.end());
    if (it != g_ledger->keys.end()) g_ledger->keys.erase(it);
    return ORIGINAL(g_regClose, decltype(&RegCloseKey))(key);
}
LSTATUS WINAPI HookRegQueryInfoKeyA(HKEY a, LPSTR b, LPDWORD c, LPDWORD d, LPDWORD e, LPDWORD f, LPDWORD g, LPDWORD h,
                                    LPDWORD i, LPDWORD j, LPDWORD k, PFILETIME written) {
    if (g_ledger->timeQueries++ == g_ledger->failTimeQuery) return ERROR_ACCESS_DENIED;
    return ORIGINAL(g_regQuery, decltype(&RegQueryInfoKeyA))(a, b, c, d, e, f, g, h, i, j, k, written);
}
HDEVINFO WINAPI HookGetClassDevsA(const GUID *g, PCSTR e, HWND w, DWORD flags) {
    EXPECT_EQ(flags, DWORD(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    HDEVINFO s = ORIGINAL(g_getSet, decltype(&SetupDiGetClassDevsA))(g, e, w, flags);
    if (s != INVALID_HANDLE_VALUE) g_ledger->sets.insert(s);
    return s;
}
BOOL WINAPI HookDestroyDeviceInfoList(HDEVINFO s) {
    auto it = g_ledger->sets.find(s);
    EXPECT_NE(it, g_ledger->sets.end());
    if (it != g_ledger->sets.end()) g_ledger->sets.erase(it);
    return ORIGINAL(g_destroySet, decltype(&SetupDiDestroyDeviceInfoList))(s);
}
BOOL WINAPI HookDetailA(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA d, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                        PDWORD required, PSP_DEVINFO_DATA info) {
    if (!detail && g_ledger->failSizeQuery) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const bool replace = (detail ? g_ledger->detailCalls : g_ledger->sizeQueries) == g_ledger->replacePathOf;
    if (detail && g_ledger->detailCalls++ == g_ledger->failDetailCall) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!detail) ++g_ledger->sizeQueries;
    const BOOL ok = ORIGINAL(g_detail, decltype(&SetupDiGetDeviceInterfaceDetailA))(s, d, detail, size, required, info);
    if (replace && !detail && required) {
        *required = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + g_ledger->replacementPath.size() + 1);
    } else if (replace && ok) {
        EXPECT_GT(size, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + g_ledger->replacementPath.size());
        std::strcpy(detail->DevicePath, g_ledger->replacementPath.c_str());
    }
    return ok;
}

// Every hook installed for one enumeration; on destruction it checks that
// everything taken was given back.
class Accounted {
public:
    Accounted()
        : regOpen_(Library(), "ADVAPI32.dll", "RegOpenKeyExA", reinterpret_cast<void *>(&HookRegOpenKeyExA)),
          regClose_(Library(), "ADVAPI32.dll", "RegCloseKey", reinterpret_cast<void *>(&HookRegCloseKey)),
          regQuery_(Library(), "ADVAPI32.dll", "RegQueryInfoKeyA", reinterpret_cast<void *>(&HookRegQueryInfoKeyA)),
          getSet_(Library(), "SETUPAPI.dll", "SetupDiGetClassDevsA", reinterpret_cast<void *>(&HookGetClassDevsA)),
          destroySet_(Library(), "SETUPAPI.dll", "SetupDiDestroyDeviceInfoList",
                      reinterpret_cast<void *>(&HookDestroyDeviceInfoList)),
          detail_(Library(), "SETUPAPI.dll", "SetupDiGetDeviceInterfaceDetailA", reinterpret_cast<void *>(&HookDetailA)) {
        g_ledger = &ledger;
        g_regOpen = &regOpen_;
        g_regClose = &regClose_;
        g_regQuery = &regQuery_;
        g_getSet = &getSet_;
        g_destroySet = &destroySet_;
        g_detail = &detail_;
        EXPECT_TRUE(shim_.installed());
        for (const ImportHook *h : {&regOpen_, &regClose_, &regQuery_, &getSet_, &destroySet_, &detail_})
            EXPECT_TRUE(h->installed());
    }
    ~Accounted() {
        const testsupport::CallLog log = PlatformShim::Log();
        EXPECT_EQ(log.HandlesOutstanding(), 0) << "test-open handles left open";
        EXPECT_EQ(log.HeapOutstanding(), 0) << "allocations left";
        EXPECT_TRUE(ledger.keys.empty()) << ledger.keys.size() << " registry keys left open";
        EXPECT_TRUE(ledger.sets.empty()) << ledger.sets.size() << " device info sets left";
    }
    // The nth allocation from now on fails (1 = the next).
    void FailAllocation(int nth) { PlatformShim::Fail(Api::HeapAlloc, nth); }
    // Enumerates under the hooks; the serials listed, in index order. Listing
    // connects and disconnects, which balance on their own.
    Serials Enumerate() {
        int count = -1;
        EXPECT_EQ(OLVEX_EnumDEV(&count), OLVEX_OK);
        return TableSerials(count);
    }
    size_t LongestPathOpened() const {
        size_t longest = 0;
        for (const std::string &p : PlatformShim::Log().createFilePaths) longest = std::max(longest, p.size());
        return longest;
    }
    Ledger ledger;

private:
    PlatformShim shim_;
    ImportHook regOpen_, regClose_, regQuery_, getSet_, destroySet_, detail_;
};

}  // namespace

TEST(Enumeration, KeysAreListedOldestFirstWhateverTheirEnumerationOrder) {
    Keys keys;
    keys.Plug("c");
    keys.Plug("a");
    keys.Plug("b");
    Accounted a;
    EXPECT_EQ(a.Enumerate(), (Serials{"c", "a", "b"}));
}

TEST(Enumeration, KeysThatCannotBeOpenedOrDatedAreSkipped) {
    Keys keys;
    keys.Plug("k3");
    keys.Plug("k2", /*refuseOpen=*/true);
    keys.Plug("k1");
    keys.Plug("k0", false, /*omitControlKey=*/true);
    Accounted a;
    EXPECT_EQ(a.Enumerate(), (Serials{"k3", "k1"}));
}

TEST(Enumeration, UnpluggedKeyDisappearsAndLaterIndicesMoveDown) {
    Keys keys;
    keys.Plug("u1");
    keysim::Key *middle = keys.Plug("u2");
    keys.Plug("u3");
    EXPECT_EQ(Listed(), (Serials{"u1", "u2", "u3"}));
    EXPECT_EQ(Listed(), (Serials{"u1", "u2", "u3"}));
    keys.Unplug(middle);
    EXPECT_EQ(Listed(), (Serials{"u1", "u3"}));
}

TEST(Enumeration, TwelveKeysListTheTenEarliestAttached) {
    Keys keys;
    // Attached in reverse of their enumeration order, so the two latest come first in the set.
    for (int i = 11; i >= 0; --i) keys.Plug("t" + std::string(i < 10 ? "0" : "") + std::to_string(i));
    Accounted a;
    Serials expected;
    for (int i = 11; i >= 2; --i) expected.push_back("t" + std::string(i < 10 ? "0" : "") + std::to_string(i));
    EXPECT_EQ(a.Enumerate(), expected);
}

TEST(Enumeration, PathTooLongForTheTableIsSkippedUnopened) {
    Keys keys;
    keys.Plug("p1");
    keys.Plug("p2");
    keys.Plug("p3");
    Accounted a;
    a.ledger.replacePathOf = 1;
    a.ledger.replacementPath = keysim::MakeDevicePath(std::string(200, 'l'));  // 265 characters
    EXPECT_EQ(a.Enumerate(), (Serials{"p1", "p3"}));
    EXPECT_LT(a.LongestPathOpened(), size_t(260));
}

// Wine's RegOpenKeyExA refuses key paths past about 260 characters (234,
// ERROR_MORE_DATA), so this is about the longest device path it can date.
TEST(Enumeration, LongPathIsListedWhole) {
    Keys keys;
    const std::string serial(100, 'w');
    ASSERT_EQ(keysim::MakeDevicePath(serial).size(), 165u);
    keys.Plug(serial);
    Accounted a;
    EXPECT_EQ(a.Enumerate(), Serials{serial});
}

TEST(PlatformFaults, SizeQueryFailingOtherwiseEndsEnumeration) {
    Keys keys;
    keys.Plug("s1");
    keys.Plug("s2");
    Accounted a;
    a.ledger.failSizeQuery = true;
    EXPECT_EQ(a.Enumerate(), Serials{});
}

TEST(PlatformFaults, DetailFailureForOneInterfaceEndsEnumerationThere) {
    Keys keys;
    keys.Plug("d3");  // attached first, enumerated last
    keys.Plug("d1");
    keys.Plug("d2");
    Accounted a;
    a.ledger.failDetailCall = 1;  // the second interface in the set: d2
    EXPECT_EQ(a.Enumerate(), Serials{"d1"});
}

TEST(PlatformFaults, AllocationFailureEndsEnumeration) {
    Keys keys;
    keys.Plug("m1");
    keys.Plug("m2");
    for (int failing : {1, 2}) {
        Accounted a;
        a.FailAllocation(failing);
        EXPECT_EQ(a.Enumerate(), failing == 1 ? Serials{} : Serials{"m1"}) << failing;
    }
}

TEST(PlatformFaults, UnreadableAttachTimeSkipsOnlyThatKey) {
    Keys keys;
    keys.Plug("q1");
    keys.Plug("q2");
    keys.Plug("q3");
    Accounted a;
    a.ledger.failTimeQuery = 1;
    EXPECT_EQ(a.Enumerate(), (Serials{"q1", "q3"}));
}
