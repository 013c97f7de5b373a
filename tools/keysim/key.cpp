#include <winternl.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "internal.h"

namespace keysim {

class Key {
public:
    KeyOptions options;
    std::string path;
    detail::RegistryNames names;
    HANDLE mapping = nullptr;
    detail::SharedBlock *block = nullptr;
    HANDLE link = nullptr;
    detail::Server *server = nullptr;
};

namespace detail {

std::wstring Widen(const std::string &s) { return std::wstring(s.begin(), s.end()); }

std::wstring SharedName(const std::string &keyId) { return Widen("Local\\keysim-stats-" + keyId); }

bool ReadBlock(const SharedBlock *block, Stats *out) {
    for (int tries = 0; tries < 100000; ++tries) {
        LONG before = block->seq;
        MemoryBarrier();
        if (before & 1) {
            Sleep(0);
            continue;
        }
        Stats s;
        s.requests = static_cast<uint64_t>(block->requests);
        s.malformed = static_cast<uint64_t>(block->malformed);
        s.interleaved = static_cast<uint64_t>(block->interleaved);
        s.misdelivered = static_cast<uint64_t>(block->misdelivered);
        s.drained = static_cast<uint64_t>(block->drained);
        s.openHandles = static_cast<uint32_t>(block->openHandles);
        s.processing = static_cast<uint32_t>(block->processing);
        DWORD n = block->lastLength;
        if (n > sizeof block->last) n = sizeof block->last;
        s.lastRequest.assign(block->last, block->last + n);
        const uint64_t logged = s.requests;
        for (uint64_t r = logged > kLogSize ? logged - kLogSize + 1 : 1; r <= logged; ++r) {
            const auto &entry = block->log[(r - 1) % kLogSize];
            s.log.push_back({r, entry.connection, entry.process});
        }
        MemoryBarrier();
        if (block->seq == before) {
            *out = std::move(s);
            return true;
        }
    }
    return false;
}

}  // namespace detail

namespace {

typedef NTSTATUS(NTAPI *CreateSymbolicLinkFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);

// A link in \??\ makes the device path open the pipe. DefineDosDevice would do
// the same but hangs under Wine. The link is temporary: it dies with its
// handle, so a crashed server never leaves an openable path behind.
HANDLE CreateLink(const std::string &path, const std::wstring &target) {
    static CreateSymbolicLinkFn create = reinterpret_cast<CreateSymbolicLinkFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtCreateSymbolicLinkObject")));
    if (!create) return nullptr;
    std::wstring name = L"\\??\\" + detail::Widen(path.substr(4));
    std::wstring to = target;
    UNICODE_STRING uname = {static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                            static_cast<USHORT>(name.size() * sizeof(wchar_t)), &name[0]};
    UNICODE_STRING uto = {static_cast<USHORT>(to.size() * sizeof(wchar_t)),
                          static_cast<USHORT>(to.size() * sizeof(wchar_t)), &to[0]};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &uname, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE link = nullptr;
    if (create(&link, 0xF0001, &attributes, &uto) < 0) return nullptr;
    return link;
}

bool ValidSerial(const std::string &serial) {
    if (serial.empty() || serial.size() > 4000) return false;
    for (unsigned char c : serial)
        if (c <= 0x20 || c >= 0x7F || c == '\\' || c == '/' || c == '#') return false;
    return true;
}

void Destroy(Key *key) {
    // Unlisted first, then unopenable, then the open handles break.
    if (!key->names.interfaceKey.empty()) detail::RemoveRegistry(key->names);
    if (key->link) CloseHandle(key->link);
    if (key->server) detail::StopServer(key->server);
    if (key->block) UnmapViewOfFile(key->block);
    if (key->mapping) CloseHandle(key->mapping);
    delete key;
}

}  // namespace

std::string MakeDevicePath(const std::string &serial, uint16_t vid, uint16_t pid) {
    char head[40];
    snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x#", vid, pid);
    std::string path = head + serial + "#" + kInterfaceGuid;
    for (char &c : path) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return path;
}

std::string KeyId(const std::string &serial, uint16_t vid, uint16_t pid) {
    char head[24];
    snprintf(head, sizeof head, "%04x_%04x_", vid, pid);
    std::string lower = serial;
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (lower.size() <= 64) return head + lower;
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : lower) h = (h ^ c) * 1099511628211ull;
    char hashed[24];
    snprintf(hashed, sizeof hashed, "h%016llx", static_cast<unsigned long long>(h));
    return head + std::string(hashed);
}

uint8_t PatternByte(const std::vector<uint8_t> &payload, size_t i) {
    return static_cast<uint8_t>(i + (payload.empty() ? 0 : payload[0]));
}

Key *Plug(const KeyOptions &options, std::string *why) {
    std::string ignored;
    if (!why) why = &ignored;
    auto fail = [why](Key *key, const char *what) -> Key * {
        char text[160];
        snprintf(text, sizeof text, "%s (error %lu)", what, GetLastError());
        *why = text;
        Destroy(key);
        return nullptr;
    };
    if (!ValidSerial(options.serial)) {
        *why = "invalid serial: printable, no \\ / or #, at most 4000 characters";
        return nullptr;
    }
    Key *key = new Key;
    key->options = options;
    key->path = MakeDevicePath(options.serial, options.vid, options.pid);
    std::string id = KeyId(options.serial, options.vid, options.pid);

    // The stats block doubles as the "already served" check across processes.
    key->mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(detail::SharedBlock),
                                      detail::SharedName(id).c_str());
    if (key->mapping && GetLastError() == ERROR_ALREADY_EXISTS) {
        const auto *other = static_cast<const detail::SharedBlock *>(
            MapViewOfFile(key->mapping, FILE_MAP_READ, 0, 0, 0));
        char text[96];
        snprintf(text, sizeof text, "already plugged, served by process %lu", other ? other->pid : 0ul);
        if (other) UnmapViewOfFile(other);
        *why = text;
        Destroy(key);
        return nullptr;
    }
    if (!key->mapping) return fail(key, "cannot create the key's counters");
    key->block = static_cast<detail::SharedBlock *>(MapViewOfFile(key->mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!key->block) return fail(key, "cannot map the key's counters");
    key->block->pid = GetCurrentProcessId();

    static LONG counter = 0;
    char pipe[64];
    snprintf(pipe, sizeof pipe, "keysim-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    if (!options.refuseOpen) {
        key->server = detail::StartServer(detail::Widen(std::string("\\\\.\\pipe\\") + pipe), options.behaviour,
                                          options.answerPerHandle, key->block);
        if (!key->server) return fail(key, "cannot start the pipe server");
    }
    key->link = CreateLink(key->path, detail::Widen(std::string("\\Device\\NamedPipe\\") + pipe));
    if (!key->link) return fail(key, "cannot create the device path's link");
    key->names = detail::MakeRegistryNames(options, key->path);
    if (!detail::AddRegistry(key->names, key->path, !options.omitControlKey))
        return fail(key, "cannot register the device interface");
    return key;
}

void Unplug(Key *key) {
    if (key) Destroy(key);
}

std::string DevicePath(const Key *key) { return key ? key->path : std::string(); }

void SetBehaviour(Key *key, const Behaviour &behaviour) {
    if (!key) return;
    key->options.behaviour = behaviour;
    if (key->server) detail::SetServerBehaviour(key->server, behaviour);
}

void DropOwedAnswers(Key *key) {
    if (key && key->server) detail::DropOwed(key->server);
}

Stats GetStats(const Key *key) {
    Stats s;
    if (key && key->block) detail::ReadBlock(key->block, &s);
    return s;
}

bool ReadStats(const std::string &serial, Stats *out, uint16_t vid, uint16_t pid) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, detail::SharedName(KeyId(serial, vid, pid)).c_str());
    if (!mapping) return false;
    const void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    bool ok = view && out && detail::ReadBlock(static_cast<const detail::SharedBlock *>(view), out);
    if (view) UnmapViewOfFile(view);
    CloseHandle(mapping);
    return ok;
}

}  // namespace keysim
