#include <cstdio>

#include "internal.h"

namespace keysim {
namespace detail {
namespace {

const wchar_t kClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{925fad44-e331-4116-b409-78fc2b51ea21}";
const wchar_t kEnumUsbKey[] = L"SYSTEM\\CurrentControlSet\\Enum\\USB";
const wchar_t kClassGuidValue[] = L"{925FAD44-E331-4116-B409-78FC2B51EA21}";

// Longest key name the registry takes (Wine refuses longer ones).
const size_t kMaxKeyName = 255;
// SetupAPI keeps instance ids in buffers of this many characters.
const size_t kMaxInstanceId = 199;

uint32_t Fnv32(const std::string &s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}

// Keeps a name unique while cutting it to `room` characters.
std::string Shorten(const std::string &s, size_t room) {
    if (s.size() <= room) return s;
    char tail[16];
    snprintf(tail, sizeof tail, "~%08x", (unsigned)Fnv32(s));
    return s.substr(0, room - 9) + tail;
}

bool SetString(HKEY key, const wchar_t *name, const std::wstring &value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

HKEY Create(HKEY parent, const std::wstring &sub) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(parent, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

// RegDeleteTreeW, without its name-length limits.
void DeleteTree(HKEY parent, const std::wstring &name) {
    HKEY key;
    if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    wchar_t child[kMaxKeyName + 1];
    for (;;) {
        DWORD n = kMaxKeyName + 1;
        if (RegEnumKeyExW(key, 0, child, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        DeleteTree(key, child);
        HKEY still;
        if (RegOpenKeyExW(key, child, 0, KEY_READ, &still) == ERROR_SUCCESS) {
            RegCloseKey(still);
            break;  // undeletable: give up rather than loop
        }
    }
    RegCloseKey(key);
    RegDeleteKeyW(parent, name.c_str());
}

}  // namespace

RegistryNames MakeRegistryNames(const KeyOptions &options, const std::string &path) {
    // The interface key is the device path with "\\?\" turned into "##?#".
    // A path too long for a key name still gets listed: SetupAPI takes the
    // path from SymbolicLink, not from the key's name.
    std::string name = path;
    name[0] = name[1] = name[3] = '#';
    std::string suffix = std::string("#") + kInterfaceGuid;
    if (name.size() > kMaxKeyName)
        name = Shorten(name.substr(0, name.size() - suffix.size()), kMaxKeyName - suffix.size()) + suffix;

    char prefix[32];
    snprintf(prefix, sizeof prefix, "USB\\VID_%04X&PID_%04X\\", options.vid, options.pid);
    std::string instance = std::string(prefix) + Shorten(options.serial, kMaxInstanceId - strlen(prefix));
    return {Widen(name), Widen(instance)};
}

bool AddRegistry(const RegistryNames &names, const std::string &path, bool withControl) {
    RemoveRegistry(names);  // leftovers of a process that died while serving
    HKEY device = Create(HKEY_LOCAL_MACHINE, std::wstring(L"SYSTEM\\CurrentControlSet\\Enum\\") + names.instanceId);
    if (!device) return false;
    bool ok = SetString(device, L"ClassGUID", kClassGuidValue);
    RegCloseKey(device);

    HKEY iface = ok ? Create(HKEY_LOCAL_MACHINE, std::wstring(kClassKey) + L"\\" + names.interfaceKey) : nullptr;
    ok = iface && SetString(iface, L"DeviceInstance", names.instanceId);
    HKEY ref = ok ? Create(iface, L"#") : nullptr;
    ok = ref && SetString(ref, L"SymbolicLink", Widen(path));
    HKEY linked = ok ? Create(ref, L"Control") : nullptr;
    DWORD one = 1;
    ok = linked && RegSetValueExW(linked, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one),
                                  sizeof one) == ERROR_SUCCESS;
    // Created last: its last-write time is the attach time.
    if (ok && withControl) {
        HKEY control = Create(iface, L"Control");
        ok = control != nullptr;
        if (control) RegCloseKey(control);
    }
    if (linked) RegCloseKey(linked);
    if (ref) RegCloseKey(ref);
    if (iface) RegCloseKey(iface);
    if (!ok) RemoveRegistry(names);
    return ok;
}

void RemoveRegistry(const RegistryNames &names) {
    HKEY classes = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_ALL_ACCESS, &classes) == ERROR_SUCCESS) {
        DeleteTree(classes, names.interfaceKey);
        // Wine's SetupAPI registers an interface of its own, named after the
        // instance id, when it cannot use SymbolicLink: those go too.
        std::vector<std::wstring> strays;
        wchar_t name[kMaxKeyName + 1];
        for (DWORD i = 0;; ++i) {
            DWORD n = kMaxKeyName + 1;
            if (RegEnumKeyExW(classes, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            wchar_t instance[512];
            DWORD size = sizeof instance;
            if (RegGetValueW(classes, name, L"DeviceInstance", RRF_RT_REG_SZ, nullptr, instance, &size) ==
                    ERROR_SUCCESS &&
                _wcsicmp(instance, names.instanceId.c_str()) == 0)
                strays.push_back(name);
        }
        for (const std::wstring &stray : strays) DeleteTree(classes, stray);
        RegCloseKey(classes);
        // Only succeeds once no other key of the class is left.
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kClassKey);
    }
    std::wstring device = std::wstring(L"SYSTEM\\CurrentControlSet\\Enum\\") + names.instanceId;
    DeleteTree(HKEY_LOCAL_MACHINE, device);
    std::wstring parent = device.substr(0, device.rfind(L'\\'));
    if (parent.size() > wcslen(kEnumUsbKey) + 6) RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent.c_str());
}

}  // namespace detail
}  // namespace keysim
