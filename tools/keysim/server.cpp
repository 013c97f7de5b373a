// One thread per key serves every pipe instance of that key. Keeping all of a
// key's I/O on one thread is what makes the interleaving check exact under
// Wine: an overlapped operation's status and event are filled in by an APC
// run on the thread that issued it, and one thread runs its APCs in the order
// the operations completed. So when a request is seen, the status of a write
// the client finished reading before sending that request is already final.
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace keysim {
namespace detail {
namespace {

// A full command frame (65,535 bytes) plus room to notice a longer one.
const DWORD kReadBuffer = 65540;
// Unconnected instances kept ready. The thread only tops them up after it has
// seen a connection, so this is how many opens a burst can make at once.
const size_t kListening = 16;
// WaitForMultipleObjects takes 64 handles; one is the stop event.
const size_t kMaxInstances = MAXIMUM_WAIT_OBJECTS - 1;

enum class Op { None, Connect, Read, Write };

struct Instance {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED ov = {};
    Op op = Op::None;
    bool connected = false;
    bool draining = false;  // reading the rest of an over-long request
    // From a request's arrival until its last response write has completed.
    bool busy = false;
    ULONGLONG due = 0;  // when the response starts, while busy and not writing
    bool silent = false;
    std::vector<uint8_t> in;
    std::vector<std::vector<uint8_t>> parts;
    size_t nextPart = 0;
};

void PutStatus(std::vector<uint8_t> &frame, uint16_t status) {
    frame.push_back(static_cast<uint8_t>(status >> 8));
    frame.push_back(static_cast<uint8_t>(status));
}

std::vector<uint8_t> Header(uint8_t lead, size_t dataLength) {
    return {lead, static_cast<uint8_t>(dataLength), static_cast<uint8_t>(dataLength >> 8)};
}

// A long frame goes as 256 bytes and then the rest, as a key delivers it: a
// client asking for more than 256 bytes at first still gets only 256.
std::vector<std::vector<uint8_t>> Split(std::vector<uint8_t> frame) {
    if (frame.size() <= 256) return {std::move(frame)};
    std::vector<uint8_t> rest(frame.begin() + 256, frame.end());
    frame.resize(256);
    return {std::move(frame), std::move(rest)};
}

}  // namespace

std::vector<std::vector<uint8_t>> BuildResponse(const Behaviour &b, const uint8_t *request, size_t length,
                                                bool wellFormed) {
    if (b.mode == Mode::Script) return b.script;
    if (!wellFormed) {
        std::vector<uint8_t> frame = Header(0x5A, 2);
        PutStatus(frame, 0x6700);
        return {frame};
    }
    std::vector<uint8_t> payload(request + 3, request + length);
    switch (b.mode) {
    case Mode::Echo:
    case Mode::WrongLead: {
        std::vector<uint8_t> frame = Header(b.mode == Mode::Echo ? 0x5A : 0x5B, payload.size() + 2);
        frame.insert(frame.end(), payload.begin(), payload.end());
        PutStatus(frame, b.status);
        return Split(std::move(frame));
    }
    case Mode::Length:
    case Mode::ShortSecond: {
        size_t l = b.dataLength < 2 ? 2 : (b.dataLength > 0xFFFF ? 0xFFFF : b.dataLength);
        std::vector<uint8_t> frame = Header(0x5A, l);
        for (size_t i = 0; i + 2 < l; ++i) frame.push_back(PatternByte(payload, i));
        PutStatus(frame, b.status);
        std::vector<std::vector<uint8_t>> parts = Split(std::move(frame));
        if (b.mode == Mode::ShortSecond && parts.size() == 2) parts[1].resize(parts[1].size() / 2);
        return parts;
    }
    case Mode::ShortFirst:
        return {{0x5A, 0x02, 0x00, 0x90}};
    default:
        return {};
    }
}

class Server {
public:
    std::wstring name;
    HANDLE stop = nullptr;
    HANDLE thread = nullptr;
    SRWLOCK lock = SRWLOCK_INIT;
    Behaviour behaviour;
    SharedBlock *block = nullptr;
    HANDLE ready = nullptr;
    bool started = false;
    std::vector<Instance *> instances;
    bool first = true;

    void Publish(void (*update)(SharedBlock *, const void *), const void *arg) {
        InterlockedIncrement(&block->seq);
        update(block, arg);
        InterlockedIncrement(&block->seq);
    }

    void SetOpenHandles() {
        LONG n = 0;
        for (Instance *i : instances) n += i->connected;
        if (block->openHandles == n) return;
        Publish([](SharedBlock *b, const void *a) { b->openHandles = *static_cast<const LONG *>(a); }, &n);
    }

    bool AddListener() {
        Instance *in = new Instance;
        DWORD mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        // A zero out-buffer keeps each response write pending until the client
        // has read all of it: that is how the key knows an exchange is over.
        in->pipe = CreateNamedPipeW(name.c_str(), mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                    PIPE_UNLIMITED_INSTANCES, 0, kReadBuffer, 0, nullptr);
        in->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (in->pipe == INVALID_HANDLE_VALUE || !in->ov.hEvent) {
            Drop(in);
            return false;
        }
        first = false;
        instances.push_back(in);
        if (ConnectNamedPipe(in->pipe, &in->ov) || GetLastError() == ERROR_PIPE_CONNECTED) {
            in->connected = true;
            StartRead(in);
        } else if (GetLastError() == ERROR_IO_PENDING) {
            in->op = Op::Connect;
        } else {
            Remove(in);
        }
        return true;
    }

    void Drop(Instance *in) {
        if (in->op != Op::None) {
            DWORD n;
            CancelIoEx(in->pipe, &in->ov);
            GetOverlappedResult(in->pipe, &in->ov, &n, TRUE);
        }
        if (in->pipe != INVALID_HANDLE_VALUE) {
            if (in->connected) DisconnectNamedPipe(in->pipe);
            CloseHandle(in->pipe);
        }
        if (in->ov.hEvent) CloseHandle(in->ov.hEvent);
        delete in;
    }

    void Remove(Instance *in) {
        for (size_t i = 0; i < instances.size(); ++i)
            if (instances[i] == in) instances.erase(instances.begin() + i);
        Drop(in);
    }

    // Issued operations report through the event even when they finish at once.
    bool Issued(Instance *in, Op op, BOOL done) {
        if (!done && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) return false;
        in->op = op;
        if (done) SetEvent(in->ov.hEvent);
        return true;
    }

    bool StartRead(Instance *in) {
        size_t have = in->draining ? in->in.size() : 0;
        in->in.resize(have + kReadBuffer);
        return Issued(in, Op::Read, ReadFile(in->pipe, in->in.data() + have, kReadBuffer, nullptr, &in->ov));
    }

    bool StartWrite(Instance *in) {
        const std::vector<uint8_t> &part = in->parts[in->nextPart++];
        return Issued(in, Op::Write,
                      WriteFile(in->pipe, part.data(), static_cast<DWORD>(part.size()), nullptr, &in->ov));
    }

    // Whether `other` is in the middle of an exchange right now. A last write
    // counts as finished as soon as its overlapped status says so, whether or
    // not this loop has got round to it.
    static bool InExchange(const Instance *other) {
        if (!other->busy) return false;
        if (other->op != Op::Write || other->nextPart < other->parts.size()) return true;
        return !HasOverlappedIoCompleted(&other->ov);
    }

    // A request has arrived whole, or the first part of an over-long one.
    bool OnRequest(Instance *in, size_t length, bool complete) {
        bool interleaved = false;
        for (Instance *other : instances)
            if (other != in && InExchange(other)) interleaved = true;
        const uint8_t *r = in->in.data();
        bool wellFormed = complete && length >= 3 && r[0] == 0xA5 && size_t(r[1] | r[2] << 8) == length - 3;
        struct Update {
            bool interleaved, wellFormed;
            const uint8_t *bytes;
            size_t length;
        } u = {interleaved, wellFormed, r, length};
        Publish(
            [](SharedBlock *b, const void *a) {
                const Update *u = static_cast<const Update *>(a);
                b->requests++;
                b->malformed += !u->wellFormed;
                b->interleaved += u->interleaved;
                size_t n = u->length < sizeof b->last ? u->length : sizeof b->last;
                memcpy(b->last, u->bytes, n);
                b->lastLength = static_cast<DWORD>(n);
            },
            &u);
        return wellFormed;
    }

    void Respond(Instance *in, size_t length, bool wellFormed) {
        AcquireSRWLockShared(&lock);
        Behaviour b = behaviour;
        ReleaseSRWLockShared(&lock);
        in->busy = true;
        in->op = Op::None;
        if (b.mode == Mode::CloseOnCommand) {
            Remove(in);
            return;
        }
        if (b.mode == Mode::Silent) {
            // Stays busy for good; the read only tells when the client leaves.
            in->silent = true;
            in->in.clear();
            if (!StartRead(in)) Remove(in);
            return;
        }
        in->parts = BuildResponse(b, in->in.data(), length, wellFormed);
        in->nextPart = 0;
        in->due = GetTickCount64() + b.latencyMs;
    }

    // Moves one instance on after its event fired or its delay ran out.
    void Service(Instance *in, ULONGLONG now) {
        if (in->op == Op::None) {
            if (in->busy && in->due <= now) {
                if (in->parts.empty()) {
                    in->busy = false;
                    if (!StartRead(in)) Remove(in);
                } else if (!StartWrite(in)) {
                    Remove(in);
                }
            }
            return;
        }
        if (!HasOverlappedIoCompleted(&in->ov)) return;
        DWORD n = 0;
        BOOL ok = GetOverlappedResult(in->pipe, &in->ov, &n, FALSE);
        DWORD error = ok ? 0 : GetLastError();
        Op op = in->op;
        in->op = Op::None;
        if (op == Op::Connect) {
            if (!ok && error != ERROR_PIPE_CONNECTED) return Remove(in);
            in->connected = true;
            if (!StartRead(in)) Remove(in);
            return;
        }
        if (op == Op::Read) {
            if (!ok && error != ERROR_MORE_DATA) return Remove(in);
            if (in->silent) {
                in->in.clear();
                if (!StartRead(in)) Remove(in);
                return;
            }
            size_t have = (in->draining ? in->in.size() - kReadBuffer : 0) + n;
            in->in.resize(have);
            if (!ok) {
                // Over-long: count it now, answer once the whole message is in.
                if (!in->draining) OnRequest(in, have, false);
                in->draining = true;
                if (!StartRead(in)) Remove(in);
                return;
            }
            bool wellFormed = !in->draining && OnRequest(in, have, true);
            in->draining = false;
            Respond(in, have, wellFormed);
            return;
        }
        // Write.
        if (!ok) return Remove(in);
        if (in->nextPart < in->parts.size()) {
            if (!StartWrite(in)) Remove(in);
            return;
        }
        in->busy = false;
        in->parts.clear();
        if (!StartRead(in)) Remove(in);
    }

    void TopUp() {
        size_t listening = 0;
        for (Instance *in : instances) listening += !in->connected;
        while (listening < kListening && instances.size() < kMaxInstances && AddListener()) ++listening;
    }

    void Run() {
        // Listeners are made here so that every operation on them, and so
        // every completion, belongs to this thread.
        started = AddListener();
        TopUp();
        SetEvent(ready);
        if (!started) return;
        for (;;) {
            TopUp();
            SetOpenHandles();

            HANDLE handles[MAXIMUM_WAIT_OBJECTS];
            DWORD count = 0;
            handles[count++] = stop;
            ULONGLONG now = GetTickCount64();
            DWORD timeout = INFINITE;
            for (Instance *in : instances) {
                handles[count++] = in->ov.hEvent;
                if (in->op == Op::None && in->busy && !in->silent) {
                    ULONGLONG wait = in->due > now ? in->due - now : 0;
                    if (wait < timeout) timeout = static_cast<DWORD>(wait);
                }
            }
            if (WaitForMultipleObjects(count, handles, FALSE, timeout) == WAIT_OBJECT_0) break;
            now = GetTickCount64();
            std::vector<Instance *> snapshot = instances;
            for (Instance *in : snapshot)
                if (std::find(instances.begin(), instances.end(), in) != instances.end()) Service(in, now);
        }
        for (Instance *in : instances) Drop(in);
        instances.clear();
        SetOpenHandles();
    }
};

namespace {
DWORD WINAPI ServerThread(void *arg) {
    static_cast<Server *>(arg)->Run();
    return 0;
}
}  // namespace

Server *StartServer(const std::wstring &pipeName, const Behaviour &behaviour, SharedBlock *block) {
    Server *s = new Server;
    s->name = pipeName;
    s->behaviour = behaviour;
    s->block = block;
    s->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s->thread = s->stop && s->ready ? CreateThread(nullptr, 0, ServerThread, s, 0, nullptr) : nullptr;
    // Listeners exist before Plug returns, so the key opens at once.
    if (s->thread) WaitForSingleObject(s->ready, INFINITE);
    if (s->ready) CloseHandle(s->ready);
    if (s->thread && s->started) return s;
    if (s->thread) {
        WaitForSingleObject(s->thread, INFINITE);
        CloseHandle(s->thread);
    }
    if (s->stop) CloseHandle(s->stop);
    delete s;
    return nullptr;
}

void StopServer(Server *s) {
    SetEvent(s->stop);
    WaitForSingleObject(s->thread, INFINITE);
    CloseHandle(s->thread);
    CloseHandle(s->stop);
    delete s;
}

void SetServerBehaviour(Server *s, const Behaviour &behaviour) {
    AcquireSRWLockExclusive(&s->lock);
    s->behaviour = behaviour;
    ReleaseSRWLockExclusive(&s->lock);
}

}  // namespace detail
}  // namespace keysim
