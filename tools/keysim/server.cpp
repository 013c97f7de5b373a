// One thread per key serves every pipe instance of that key, and the key is
// one request/response channel shared by all of them, as a real key is: it
// answers requests in the order they arrive, and an answer goes to whoever
// reads next, which is the handle whose request arrived last (every client
// writes its request, then reads). Once that handle has gone, nothing tells
// who reads next: the answer is offered to one handle at a time, each for a
// short while, until a client reads it or a request comes. One offer at a
// time, because a client can read an offer before the key has heard that
// another was taken, and a real key hands out each byte once.
//
// Reads and writes complete through completion routines that Wine runs on
// this thread, in the order the operations completed (but see
// HandleCompletions), so the key sees requests in their order of arrival and
// knows, when one arrives, whether the answers before it were taken.
//
// Wine 8, zero out-buffer: a message write stays pending until the client has
// read it all. Cancelling it withdraws the message, so the client can no
// longer read it, and reports 0 bytes transferred even when the client had
// already read part of that message with a smaller buffer. Answers go out in
// writes of at most 256 bytes, so a client that reads 256 bytes at a time is
// moved exactly; one that read part of a write has that part sent again.
#include <algorithm>
#include <cstring>
#include <deque>

#include "internal.h"

namespace keysim {
namespace detail {
namespace {

// A full command frame (65,535 bytes) plus room to notice a longer one.
const DWORD kReadBuffer = 65540;
// Unconnected instances kept ready. The thread only tops them up after it has
// seen a connection, so this is how many opens a burst can make at once.
const size_t kListening = 16;
const size_t kMaxInstances = 63;
// How long an answer nobody waits for stays offered to one handle. A client
// already reading takes it at once; one that starts reading waits at most a
// round of the handles.
const DWORD kOfferMs = 20;

struct Instance;

struct Io {
    OVERLAPPED ov;  // first: a completion routine gets the Io back from it
    Instance *owner;
    bool pending;
    DWORD error, bytes;
};

// An answer the key owes, from its request's arrival until its last byte has
// been read, by whichever handle.
struct Answer {
    std::vector<std::vector<uint8_t>> parts;  // still to deliver, one write each
    Instance *asker;                          // null once that handle left
    ULONGLONG arrival;
    unsigned latencyMs;
    bool started = false;
    bool misdelivered = false;
    bool drained = false;  // read by a client that asked nothing, to discard it
    bool dropped = false;  // forgotten while its write was in flight: goes once that is back
};

// What answers in arrival order and delivers them one at a time: the key,
// or one handle of a key that answers each handle on its own.
struct Channel {
    std::deque<Answer> owed;
    Instance *target = nullptr;  // reads next: its request arrived last; null once it left
    Instance *writer = nullptr;  // has the front answer's write in flight
    bool recalling = false;      // that write is being cancelled
    bool offering = false;       // that write is an offer: nobody was known to read next
    ULONGLONG offerEnd = 0;      // when the offer moves on to another handle
    Instance *follow = nullptr;  // took the front answer's last part: offered the rest first
    ULONGLONG lastEnd = 0;       // when the previous answer was wholly read
};

struct Instance {
    class Server *server;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED connect = {};
    bool connecting = false;
    bool connected = false;
    bool closing = false;   // client gone or closed on purpose; freed once its I/O is back
    int outstanding = 0;    // operations issued whose completion is not yet handled
    Io rd = {}, wr = {};
    bool draining = false;  // reading the rest of an over-long request
    bool silent = false;    // asked a silent key, and waits for good
    bool tookOwed = false;    // read an owed answer after its own request came in, before that was handled
    uint64_t order = 0;       // its place in connection order
    DWORD process = 0;        // the client's, as the platform tells it
    ULONGLONG offeredAt = 0;  // when it was last offered an answer nobody waited for
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;  // the write in flight
    Channel own;               // when the key answers each handle on its own
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
    uint64_t connections = 0;

    bool perHandle = false;
    std::deque<Io *> completed;  // in completion order, filled by the routines
    Channel shared;
    HANDLE dropped = nullptr;    // set once a requested drop is done
    bool dropRequested = false;

    Channel &ChannelOf(Instance *in) { return perHandle ? in->own : shared; }

    template <typename F> void ForEachChannel(F f) {
        f(shared);
        for (Instance *in : instances) f(in->own);
    }

    void Publish(void (*update)(SharedBlock *, const void *), const void *arg) {
        InterlockedIncrement(&block->seq);
        update(block, arg);
        InterlockedIncrement(&block->seq);
    }

    void PublishState() {
        LONG state[2] = {0, 0};
        for (Instance *i : instances) state[0] += i->connected && !i->closing;
        ForEachChannel([&](const Channel &c) {
            if (c.target || NextReader(c))
                for (const Answer &a : c.owed) state[1] += !a.started;
        });
        if (block->openHandles == state[0] && block->processing == state[1]) return;
        Publish(
            [](SharedBlock *b, const void *a) {
                b->openHandles = static_cast<const LONG *>(a)[0];
                b->processing = static_cast<const LONG *>(a)[1];
            },
            state);
    }

    static void CALLBACK OnIo(DWORD error, DWORD bytes, OVERLAPPED *ov) {
        Io *io = reinterpret_cast<Io *>(ov);
        io->pending = false;
        io->error = error;
        io->bytes = bytes;
        io->owner->server->completed.push_back(io);
    }

    // Wine queues the completion routine even when ReadFileEx reports a
    // message longer than the buffer.
    bool Issued(Instance *in, Io *io, BOOL ok) {
        if (!ok && GetLastError() != ERROR_MORE_DATA) return false;
        io->pending = true;
        in->outstanding++;
        return true;
    }

    bool StartRead(Instance *in) {
        size_t have = in->draining ? in->in.size() : 0;
        in->in.resize(have + kReadBuffer);
        in->rd.ov = OVERLAPPED{};
        return Issued(in, &in->rd, ReadFileEx(in->pipe, in->in.data() + have, kReadBuffer, &in->rd.ov, OnIo));
    }

    bool StartWrite(Instance *in, const std::vector<uint8_t> &bytes) {
        in->out = bytes;
        in->wr.ov = OVERLAPPED{};
        return Issued(in, &in->wr,
                      WriteFileEx(in->pipe, in->out.data(), static_cast<DWORD>(in->out.size()), &in->wr.ov, OnIo));
    }

    bool AddListener() {
        Instance *in = new Instance;
        in->server = this;
        in->rd.owner = in->wr.owner = in;
        DWORD mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        // A zero out-buffer keeps each response write pending until the client
        // has read all of it: that is how the key knows an answer was taken.
        in->pipe = CreateNamedPipeW(name.c_str(), mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                    PIPE_UNLIMITED_INSTANCES, 0, kReadBuffer, 0, nullptr);
        in->connect.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (in->pipe == INVALID_HANDLE_VALUE || !in->connect.hEvent) {
            Free(in);
            return false;
        }
        first = false;
        instances.push_back(in);
        if (ConnectNamedPipe(in->pipe, &in->connect) || GetLastError() == ERROR_PIPE_CONNECTED) {
            Connected(in);
        } else if (GetLastError() == ERROR_IO_PENDING) {
            in->connecting = true;
        } else {
            Remove(in);
        }
        return true;
    }

    void Connected(Instance *in) {
        in->connected = true;
        in->order = ++connections;
        ULONG process = 0;
        if (GetNamedPipeClientProcessId(in->pipe, &process)) in->process = process;
        if (!StartRead(in)) Remove(in);
    }

    void Free(Instance *in) {
        if (in->connecting) {
            DWORD n;
            CancelIoEx(in->pipe, &in->connect);
            GetOverlappedResult(in->pipe, &in->connect, &n, TRUE);
        }
        if (in->pipe != INVALID_HANDLE_VALUE) {
            if (in->connected) DisconnectNamedPipe(in->pipe);
            CloseHandle(in->pipe);
        }
        if (in->connect.hEvent) CloseHandle(in->connect.hEvent);
        delete in;
    }

    // The client left, or the key closes on it: it asks and reads no more.
    // Its I/O is called back and the instance freed once that is back.
    void Remove(Instance *in) {
        if (in->closing) return;
        in->closing = true;
        in->silent = false;
        if (shared.target == in) shared.target = nullptr;
        if (shared.follow == in) shared.follow = nullptr;
        for (Answer &a : shared.owed)
            if (a.asker == in) a.asker = nullptr;
        in->own.target = nullptr;
        Drop(in->own);
        if (in->outstanding) CancelIoEx(in->pipe, nullptr);
    }

    // Forgets what a channel owes; an answer whose write is in flight goes
    // once the write is back, so no client reads it after this.
    void Drop(Channel &c) {
        const size_t keep = c.writer ? 1 : 0;
        c.owed.erase(c.owed.begin() + keep, c.owed.end());
        if (!keep) return;
        c.owed.front().dropped = true;
        if (!c.recalling) {
            c.recalling = true;
            CancelIoEx(c.writer->pipe, &c.writer->wr.ov);
        }
    }

    void DropAll() {
        ForEachChannel([this](Channel &c) { Drop(c); });
        for (Instance *in : instances) in->silent = false;
    }

    bool DropInFlight() {
        bool any = false;
        ForEachChannel([&](const Channel &c) { any |= !c.owed.empty() && c.owed.front().dropped; });
        return any;
    }

    void FreeClosed() {
        for (size_t i = instances.size(); i-- > 0;)
            if (instances[i]->closing && !instances[i]->outstanding) {
                Free(instances[i]);
                instances.erase(instances.begin() + i);
            }
    }

    bool Unfinished() {
        bool any = false;
        ForEachChannel([&](const Channel &c) { any |= !c.owed.empty(); });
        for (const Instance *i : instances) any |= i->silent;
        return any;
    }

    void OnRequest(Instance *in, size_t length) {
        AcquireSRWLockShared(&lock);
        Behaviour b = behaviour;
        ReleaseSRWLockShared(&lock);
        const uint8_t *r = in->in.data();
        bool wellFormed = !in->draining && length >= 3 && r[0] == 0xA5 && size_t(r[1] | r[2] << 8) == length - 3;
        struct Update {
            bool interleaved, wellFormed;
            const uint8_t *bytes;
            size_t length;
            DWORD connection, process;
        } u = {Unfinished() || in->tookOwed, wellFormed, r, length, static_cast<DWORD>(in->order), in->process};
        in->tookOwed = false;
        Publish(
            [](SharedBlock *b, const void *a) {
                const Update *u = static_cast<const Update *>(a);
                b->requests++;
                b->malformed += !u->wellFormed;
                b->interleaved += u->interleaved;
                size_t n = u->length < sizeof b->last ? u->length : sizeof b->last;
                memcpy(b->last, u->bytes, n);
                b->lastLength = static_cast<DWORD>(n);
                auto &entry = b->log[static_cast<uint64_t>(b->requests - 1) % kLogSize];
                entry.connection = u->connection;
                entry.process = u->process;
            },
            &u);
        // Whatever it asked before, it has moved on.
        in->silent = false;
        Channel &c = ChannelOf(in);
        c.target = in;
        if (b.mode == Mode::CloseOnCommand) return Remove(in);
        if (b.mode == Mode::Silent) {
            in->silent = true;
            return;
        }
        c.owed.push_back({BuildResponse(b, r, length, wellFormed), in, GetTickCount64(), b.latencyMs});
    }

    void OnRead(Instance *in) {
        if (in->closing) return;
        const DWORD error = in->rd.error;
        if (error && error != ERROR_MORE_DATA) return Remove(in);
        size_t have = (in->draining ? in->in.size() - kReadBuffer : 0) + in->rd.bytes;
        in->in.resize(have);
        if (error == ERROR_MORE_DATA) {
            // Over-long: one malformed request, once the whole message is in.
            in->draining = true;
            if (!StartRead(in)) Remove(in);
            return;
        }
        OnRequest(in, have);
        in->draining = false;
        if (!in->closing && !StartRead(in)) Remove(in);
    }

    void CountMisdelivered(Answer &a) {
        if (a.misdelivered) return;
        a.misdelivered = true;
        Publish([](SharedBlock *b, const void *) { b->misdelivered++; }, nullptr);
    }

    // An offered part reached `in`: its asker's own, or another exchange's
    // (`in` had asked too, perhaps in a request not yet handled), or it was
    // read to be discarded by a client that asked nothing.
    void CountOfferTaken(Channel &c, Answer &a, Instance *in, bool requestAhead) {
        if (in == a.asker) return;
        bool asked = requestAhead || in == c.target || in->silent;
        for (const Answer &other : c.owed) asked |= other.asker == in;
        if (asked) {
            in->tookOwed |= requestAhead;
            CountMisdelivered(a);
        } else if (!a.drained && !a.misdelivered) {
            a.drained = true;
            Publish([](SharedBlock *b, const void *) { b->drained++; }, nullptr);
        }
    }

    // The front answer's write came back: taken whole, or called back (what
    // the client did not get stays with the key), or the client is gone.
    // `requestAhead`: a request of the same client completed before it.
    void OnWrite(Instance *in, bool requestAhead) {
        Channel &c = ChannelOf(in);
        const bool offer = c.offering;
        c.writer = nullptr;
        c.recalling = false;
        c.offering = false;
        Answer &a = c.owed.front();  // a write in flight keeps its answer owed
        std::vector<uint8_t> &part = a.parts.front();
        const DWORD n = in->wr.bytes;
        bool taken = true;
        if (in->wr.error == 0 && n >= part.size())
            a.parts.erase(a.parts.begin());
        else if (n && n < part.size())
            part.erase(part.begin(), part.begin() + n);
        else
            taken = false;
        if (taken && offer) {
            CountOfferTaken(c, a, in, requestAhead);
            c.follow = in;
        }
        if (a.parts.empty() || a.dropped) {
            c.owed.pop_front();
            c.lastEnd = GetTickCount64();
            c.follow = nullptr;
        }
        if (in->wr.error != 0 && in->wr.error != ERROR_OPERATION_ABORTED) Remove(in);
    }

    // In completion order, except that a finished write goes before any
    // request: its client had the answer before it did anything else, and
    // under load Wine has run a long write's routine after the routine of
    // the request its client sent next. The price is a tight race seen as
    // clean: a client reading its answer just after another's request came.
    // A write is still told whether its own client's request came first.
    void HandleCompletions() {
        for (;;) {
            for (size_t i = 0; i < completed.size();) {
                Io *io = completed[i];
                if (io != &io->owner->wr) {
                    ++i;
                    continue;
                }
                const bool requestAhead = std::any_of(completed.begin(), completed.begin() + i, [io](const Io *r) {
                    return r == &io->owner->rd && (r->error == 0 || r->error == ERROR_MORE_DATA);
                });
                completed.erase(completed.begin() + i);
                io->owner->outstanding--;
                OnWrite(io->owner, requestAhead);
            }
            if (completed.empty()) break;
            // A write whose status is final but whose routine has not run yet.
            Instance *late = nullptr;
            ForEachChannel([&](const Channel &c) {
                if (c.writer && c.writer->wr.pending && HasOverlappedIoCompleted(&c.writer->wr.ov)) late = c.writer;
            });
            if (late) {
                for (int i = 0; i < 1000 && late->wr.pending; ++i) SleepEx(0, TRUE);
                if (!late->wr.pending) continue;
            }
            Io *io = completed.front();
            completed.pop_front();
            io->owner->outstanding--;
            OnRead(io->owner);
        }
        FreeClosed();
    }

    // Who is offered an answer whose reader is unknown: the handle that took
    // its last part, else the one offered anything least recently, newest
    // first (a client that opens the key to read what is owed). None when
    // the key answers each handle on its own.
    Instance *NextReader(const Channel &c) const {
        if (perHandle) return nullptr;
        if (c.follow) return c.follow;
        Instance *best = nullptr;
        for (Instance *in : instances) {
            if (!in->connected || in->closing) continue;
            if (!best || in->offeredAt < best->offeredAt ||
                (in->offeredAt == best->offeredAt && in->order > best->order))
                best = in;
        }
        return best;
    }

    // Starts, or calls back, the front answer's write. Returns how long until
    // an answer falls due or an offer moves on (INFINITE when neither).
    DWORD Deliver(Channel &c) {
        for (;;) {
            if (c.owed.empty()) return INFINITE;
            Answer &a = c.owed.front();
            if (c.writer) {
                if (c.writer == c.target || c.recalling) return INFINITE;
                // An offer stays out for its time, unless a request came.
                const ULONGLONG now = GetTickCount64();
                if (c.offering && !c.target && !a.dropped && now < c.offerEnd)
                    return static_cast<DWORD>(c.offerEnd - now);
                c.recalling = true;
                CancelIoEx(c.writer->pipe, &c.writer->wr.ov);
                return INFINITE;
            }
            Instance *to = c.target ? c.target : NextReader(c);
            if (!to) return INFINITE;  // stays with the key until a handle would read it
            if (!a.started) {
                ULONGLONG due = std::max(a.arrival, c.lastEnd) + a.latencyMs;
                ULONGLONG now = GetTickCount64();
                if (due > now) return static_cast<DWORD>(due - now);
            }
            if (a.parts.empty()) {
                c.owed.pop_front();
                c.lastEnd = GetTickCount64();
                continue;
            }
            if (c.target && c.target != a.asker) CountMisdelivered(a);
            a.started = true;
            if (StartWrite(to, a.parts.front())) {
                c.writer = to;
                c.offering = !c.target;
                if (!c.offering) return INFINITE;
                c.follow = nullptr;
                to->offeredAt = GetTickCount64();
                c.offerEnd = to->offeredAt + kOfferMs;
                return kOfferMs;
            }
            Remove(to);
        }
    }

    DWORD Deliver() {
        DWORD timeout = INFINITE;
        ForEachChannel([&](Channel &c) { timeout = std::min(timeout, Deliver(c)); });
        return timeout;
    }

    void TopUp() {
        size_t listening = 0;
        for (Instance *in : instances) listening += !in->connected && !in->closing;
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
            HandleCompletions();
            if (dropRequested) {
                dropRequested = false;
                DropAll();
            }
            if (dropped && !DropInFlight()) {
                SetEvent(dropped);
                dropped = nullptr;
            }
            TopUp();
            DWORD timeout = Deliver();
            PublishState();

            HANDLE handles[MAXIMUM_WAIT_OBJECTS];
            Instance *waiting[MAXIMUM_WAIT_OBJECTS];
            DWORD count = 0;
            handles[count++] = stop;
            for (Instance *in : instances)
                if (in->connecting && count < MAXIMUM_WAIT_OBJECTS) {
                    waiting[count] = in;
                    handles[count++] = in->connect.hEvent;
                }
            DWORD r = WaitForMultipleObjectsEx(count, handles, FALSE, timeout, TRUE);
            if (r == WAIT_OBJECT_0) break;
            for (DWORD i = 1; i < count; ++i) {
                Instance *in = waiting[i];
                if (!HasOverlappedIoCompleted(&in->connect)) continue;
                DWORD n;
                BOOL ok = GetOverlappedResult(in->pipe, &in->connect, &n, FALSE);
                in->connecting = false;
                if (ok || GetLastError() == ERROR_PIPE_CONNECTED)
                    Connected(in);
                else
                    Remove(in);
            }
        }
        // Call back every operation and wait for the routines, which point
        // into the instances.
        for (Instance *in : instances)
            if (in->outstanding) CancelIoEx(in->pipe, nullptr);
        for (int i = 0; i < 500; ++i) {
            bool pending = false;
            for (Instance *in : instances) pending |= in->rd.pending || in->wr.pending;
            if (!pending) break;
            SleepEx(10, TRUE);
        }
        for (Instance *in : instances) Free(in);
        instances.clear();
        completed.clear();
        shared = Channel();
        PublishState();
        if (dropped) SetEvent(dropped);
    }
};

namespace {
DWORD WINAPI ServerThread(void *arg) {
    static_cast<Server *>(arg)->Run();
    return 0;
}

struct DropCall {
    Server *server;
    HANDLE done;
};

// Runs on the server thread, in one of its alertable waits.
void CALLBACK RequestDrop(ULONG_PTR arg) {
    DropCall *call = reinterpret_cast<DropCall *>(arg);
    call->server->dropRequested = true;
    call->server->dropped = call->done;
}
}  // namespace

Server *StartServer(const std::wstring &pipeName, const Behaviour &behaviour, bool perHandle, SharedBlock *block) {
    Server *s = new Server;
    s->name = pipeName;
    s->behaviour = behaviour;
    s->perHandle = perHandle;
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

void DropOwed(Server *s) {
    DropCall call = {s, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    if (!call.done) return;
    if (QueueUserAPC(RequestDrop, s->thread, reinterpret_cast<ULONG_PTR>(&call)))
        WaitForSingleObject(call.done, INFINITE);
    CloseHandle(call.done);
}

}  // namespace detail
}  // namespace keysim
