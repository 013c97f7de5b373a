// olvexlib.hpp: one open key, the calls made on it, and the thread that
// carries its timed and asynchronous ones. Include olvexlib.hpp, not this.
#ifndef OLVEX_CHANNEL_HPP
#define OLVEX_CHANNEL_HPP

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common.hpp"

namespace olvex {

// A call started on a connection: never 0, never reused on that connection.
using call_id = std::uint64_t;

// How a started call ended: `error` 0 and the key's status word (0..65535),
// or the Windows error code and OLVEX_FAIL; `length` is the body's length,
// already in the caller's buffer when `error` is 0. Called once per call, on
// a thread of the system's thread pool (never the caller's thread, nor the
// connection's), so a completion that blocks holds up no key. A Win32
// callback (WINAPI), as the thread pool's are: with GCC on 32-bit x86 a
// lambda does not convert to it, a function declared WINAPI does.
using completion = void(WINAPI *)(void *context, call_id call, DWORD error, int status, int length);

// How a started call's completion is called: on any thread of the pool,
// several at once; or one at a time, in the order the connection's calls
// ended, for a runtime that relays each completion to a thread of its own and
// holds the calling thread until it has run there (one pool thread waits on
// it per connection, not one per call, however many end together). Each
// connection is its own route: a thread that is busy, or gone, holds up the
// completions of its own connections only.
enum class completions { concurrent, one_at_a_time };

namespace detail {

class channel;

// The connections made through this header in this module, so that the
// program's end can give what they are owed its grace.
struct registry {
    SRWLOCK lock = SRWLOCK_INIT;
    channel *first = nullptr;
    bool hooked = false;
    unsigned long round = 0;  // close_all's sweeps, each taking every connection once
};

inline registry &channels() noexcept {
    static registry r;
    return r;
}

inline void at_exit() noexcept;

// The pool's callbacks made here keep this module loaded until they have
// returned: a program may unload it (the kit) the moment close() returns,
// while the completion that let close() go still has instructions to run.
inline PTP_CALLBACK_ENVIRON callback_environment() noexcept {
    static TP_CALLBACK_ENVIRON environment = [] {
        TP_CALLBACK_ENVIRON e;
        ::InitializeThreadpoolEnvironment(&e);
        HMODULE self = nullptr;
        if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&callback_environment), &self))
            ::SetThreadpoolCallbackLibrary(&e, self);
        return e;
    }();
    return &environment;
}

// The connection whose completion this thread is running, if any: close()
// called from inside one cannot wait for it.
inline thread_local const channel *completing = nullptr;

// One call that does not simply run on its caller's thread: a timed exchange
// (its caller waits for it) or an asynchronous one (a completion reports it).
//
// Every call moves through these states, and only as this table says. The
// connection's thread takes one call at a time, in order ("its turn"); every
// other move is made by channel::settle(), whoever notices the event first
// (the waiting caller, the deadline timer, a cancel, a close, the thread).
//
//   state    event                  next     the caller learns
//   queued   the thread takes it    locking  -
//   queued   deadline               done     WAIT_TIMEOUT (258): nothing sent
//   queued   cancel or close        done     ERROR_OPERATION_ABORTED (995)
//   locking  the key's lock is had  sending  -  (a lock whose owner died: what
//                                               the key still owed is read and
//                                               dropped first, up to the grace)
//   locking  the wait fails         done     the wait's error (WAIT_FAILED):
//                                            nothing sent
//   locking  deadline               done     WAIT_TIMEOUT: the lock goes back unused
//   locking  deadline while the     done     WAIT_TIMEOUT: the drain runs on to
//            owed answer drains              its end (the grace at most), so the
//                                            dead program's answer is gone; then
//                                            the lock goes back unused
//   locking  cancel or close        done     ERROR_OPERATION_ABORTED: idem
//   sending  answer or failure      done     the status word, or the failure
//   sending  deadline               done     ERROR_TIMEOUT (1460): the turn goes
//                                            on, reads the late answer, drops it
//   sending  cancel or close        done     ERROR_OPERATION_ABORTED: idem
//   (turn)   close cancels the read  -       (the call is done already) the read
//                                            ends with 995: the connection is
//                                            disconnected before the key's lock
//                                            goes, so no peer's request meets
//                                            the half-finished exchange
//   done     anything               done     nothing: a finished call cannot be
//                                            cancelled, and its id names nothing
//
// A transaction's begin is a call that sends nothing: had, the key's lock
// stays with the thread ("held") until the transaction ends.
//   locking  (begin) the lock is had done     0: the thread holds the lock for it
//   queued   (inside) the thread     sending  -  (the lock is held already)
//            takes it
//   queued   (outside) while held    queued   -  (the thread passes it over until
//                                               the transaction has ended)
//   any      (begin or inside) the   done     ERROR_OPERATION_ABORTED; a begin
//            transaction ends                 that failed ends its transaction
//   (held)   the transaction ended,  -        the thread releases the lock once
//            no turn under way                its turn, and so any late answer,
//                                             is over; a close or the program's
//                                             end releases it too
//
// Only the read is cancelled (close, once the grace is over): a deadline or a
// cancel settles the call and leaves the read to finish. Deadlines count from
// the caller's call. A call's record belongs to the channel until it is done;
// then to its waiting caller, or to its completion.
struct job {
    enum state_t { queued, locking, sending, done };
    state_t state = queued;
    call_id id = 0;
    steady::time_point deadline = (steady::time_point::max)();
    job *next = nullptr;  // while queued, and while waiting for its completion in order
    const unsigned char *command = nullptr;
    int length = 0;
    unsigned char *body = nullptr;  // the caller's; written only on success
    int status = OLVEX_FAIL;
    DWORD error = 0;
    int body_length = 0;
    bool waited = false;  // a caller waits in channel::exchange; else:
    completion done_fn = nullptr;
    void *context = nullptr;
    channel *owner = nullptr;
    PTP_WORK report = nullptr;  // its own work item; none: called in order
    std::unique_ptr<unsigned char[]> owned;  // an asynchronous call's copy of its command
    call_id tx = 0;       // the transaction it runs inside (a begin: its own); 0: none
    bool begins = false;  // a transaction's begin: takes the key's lock and keeps it

    bool timed() const noexcept { return deadline != (steady::time_point::max)(); }
};

// Reads and drops whatever the key still owes to a program that died in the
// middle of an exchange (its lock was found abandoned), until `until`: one
// frame, or the rest of a long frame whose first part the dead program had
// read. A key is one channel, so a handle of our own reads it; overlapped, so
// that nothing coming is given up on time. Each read asks for as much as a
// frame can hold: whatever part comes is taken whole.
inline void drain_owed(const std::string &path, steady::time_point until) noexcept {
    // A key still tearing down the dead program's handles may refuse a new
    // one as busy for a moment: tried again within the grace.
    HANDLE opened;
    while ((opened = open_key(path, FILE_FLAG_OVERLAPPED)) == INVALID_HANDLE_VALUE &&
           ::GetLastError() == ERROR_PIPE_BUSY && ms_until(until) != 0) {
        ::Sleep(1);
    }
    const unique_handle key(opened);
    const unique_handle ready(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    constexpr DWORD largest = 3 + 0xFFFF;
    const std::unique_ptr<unsigned char[]> frame(new (std::nothrow) unsigned char[largest]);
    if (key.h == INVALID_HANDLE_VALUE || !ready.h || !frame) return;
    const auto read = [&](unsigned char *into, DWORD size) -> DWORD {
        OVERLAPPED ov = {};
        ov.hEvent = ready.h;
        DWORD got = 0;
        if (!::ReadFile(key.h, into, size, &got, &ov)) {
            const DWORD e = ::GetLastError();
            if (e == ERROR_MORE_DATA) return size;
            if (e != ERROR_IO_PENDING) return 0;
            if (::WaitForSingleObject(ready.h, ms_until(until)) != WAIT_OBJECT_0) ::CancelIoEx(key.h, &ov);
            if (!::GetOverlappedResult(key.h, &ov, &got, TRUE)) got = ::GetLastError() == ERROR_MORE_DATA ? size : 0;
        }
        return got;
    };
    DWORD got = read(frame.get(), largest);
    // Not a frame's start: the rest of one, and that was all.
    if (got < 3 || frame[0] != 0x5A) return;
    const DWORD whole = 3 + (frame[1] | static_cast<DWORD>(frame[2]) << 8);
    while (got < whole && ms_until(until) != 0) {
        const DWORD more = read(frame.get() + got, whole - got);
        if (more == 0) return;
        got += more;
    }
}

// One open key: the library's connection, the calls made on it, and the
// thread that carries those with a time limit or a completion.
//
// A key is one request/response channel: an answer it owes goes to whoever
// reads next, in any process. So a call that gives up on a late answer must
// keep the key's lock until that answer has been read, and a mutex belongs to
// the thread that took it: such calls run on a thread of the connection's
// own, which goes on holding the lock and reading until the answer comes.
// Exchanges without either are the library's own, on their caller's thread.
//
// Shared by the connection and its thread, and freed by whichever lets go
// last: a close that cannot end a read leaves the thread to finish it and
// disconnect.
class channel {
public:
    static channel *make(OLVEX_HANDLE handle, const char *path, std::error_code &ec) noexcept {
        channel *c = new (std::nothrow) channel(handle);
        if (!c) {
            ec = win32_error(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
#if OLVEXLIB_HPP_EXCEPTIONS
        try {
            c->path_.assign(path);
        } catch (...) {
            c->handle_ = nullptr;
            delete c;
            ec = win32_error(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
#else
        c->path_.assign(path);
#endif
        // The lock the library takes for every exchange with this key, held
        // by the connection's thread too, to keep it for a late answer: the
        // library's own wait then no longer sees whether its last owner
        // died, so that thread drains for itself.
        c->key_lock_ = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, lock_name(c->path_).c_str());
        if (!c->key_lock_) {
            ec = last_error();
            c->handle_ = nullptr;
            delete c;
            return nullptr;
        }
        FILETIME attached;
        if (attach_time(c->path_, &attached)) c->attached_ = ticks_of(attached);
        c->enlist();
        ec.clear();
        return c;
    }

    OLVEX_HANDLE handle() const noexcept { return handle_; }
    const std::string &path() const noexcept { return path_; }
    // Once a failed exchange found the key gone, it stays gone for this
    // connection: a key plugged back is a new attachment, opened anew.
    bool removed() const noexcept { return removed_.load(); }

    // The exchange on the caller's thread, without time limit.
    int exchange_here(const unsigned char *command, int length, unsigned char *body, int *bodyLength,
                      DWORD *error) noexcept {
        ::InterlockedIncrement(&here_);
        int status = OLVEX_FAIL;
        if (closing_.load()) {
            *error = ERROR_INVALID_HANDLE;
        } else if (tx_.load()) {
            // The thread holds the key's lock for a transaction: waiting in
            // its queue instead of in the library, the call can be cancelled.
            ::InterlockedDecrement(&here_);
            return exchange(command, length, INFINITE, body, bodyLength, error, nullptr, 0);
        } else {
            // The library drains what a dead holder of the key's lock was owed.
            status = OLVEX_DoCommand(handle_, command, length, body, bodyLength);
            *error = status == OLVEX_FAIL ? cause(::GetLastError()) : 0;
        }
        ::InterlockedDecrement(&here_);
        return status;
    }

    // The exchange under a time limit (1 ms to 0xFFFFFFFE ms; INFINITE:
    // none), on the connection's thread, inside transaction `tx` (0: none).
    // Returns the status word, or OLVEX_FAIL with `error` set. `cancelled`,
    // when given, is a flag the canceller sets before calling cancel(): it
    // ends a call that had not begun when cancel() came.
    int exchange(const unsigned char *command, int length, DWORD timeoutMs, unsigned char *body, int *bodyLength,
                 DWORD *error, const volatile long *cancelled, call_id tx) noexcept {
        job j;
        if (timeoutMs != INFINITE) j.deadline = steady::now() + std::chrono::milliseconds(timeoutMs);
        j.tx = tx;
        j.command = command;
        j.length = length;
        j.body = body;
        j.waited = true;
        ::AcquireSRWLockExclusive(&lock_);
        DWORD failure = enqueue(&j);
        if (!failure) {
            // Queued first, the flag read second: a canceller that set it
            // before this read either finds the call queued or is seen here.
            if (cancelled && *cancelled) settle(&j, by_cancel);
            while (j.state != job::done)
                if (!wait(j.deadline)) settle(&j, by_deadline);
            failure = j.status == OLVEX_FAIL ? j.error : 0;
        }
        ::ReleaseSRWLockExclusive(&lock_);
        if (failure) {
            *error = failure;
            return OLVEX_FAIL;
        }
        *bodyLength = j.body_length;
        *error = 0;
        return j.status;
    }

    // Starts an asynchronous exchange: `done` is called with its outcome
    // (see olvex::completion), as `how` says. timeoutMs INFINITE: no limit.
    // `tx`: the transaction it runs inside, 0 for none; `begins`: rather a
    // transaction's begin, whose id goes to *id.
    DWORD start(const unsigned char *command, int length, DWORD timeoutMs, unsigned char *body, completion done,
                void *context, completions how, call_id *id, call_id tx = 0, bool begins = false) noexcept {
        job *j = new (std::nothrow) job;
        if (!j) return ERROR_NOT_ENOUGH_MEMORY;
        if (timeoutMs != INFINITE) j->deadline = steady::now() + std::chrono::milliseconds(timeoutMs);
        j->owned.reset(new (std::nothrow) unsigned char[static_cast<std::size_t>(length) + 1]);
        DWORD e = j->owned ? 0 : ERROR_NOT_ENOUGH_MEMORY;
        if (!e && how == completions::concurrent && !(j->report = ::CreateThreadpoolWork(&channel::deliver, j, callback_environment())))
            e = ::GetLastError();
        if (!e && how == completions::one_at_a_time) e = make_deliverer();
        j->owner = this;
        if (e) {
            if (j->report) ::CloseThreadpoolWork(j->report);
            delete j;
            return e;
        }
        if (length > 0) std::memcpy(j->owned.get(), command, static_cast<std::size_t>(length));
        j->command = j->owned.get();
        j->length = length;
        j->body = body;
        j->done_fn = done;
        j->context = context;
        j->tx = tx;
        j->begins = begins;
        ::AcquireSRWLockExclusive(&lock_);
        const DWORD failure = j->timed() ? arm(j->deadline) : 0;
        const DWORD queued = failure ? failure : enqueue(j);
        if (!queued) *id = j->id;
        ::ReleaseSRWLockExclusive(&lock_);
        if (queued) {
            if (j->report) ::CloseThreadpoolWork(j->report);
            delete j;
        }
        return queued;
    }

    // Begins a transaction: the thread takes the key's lock within
    // timeoutMs (INFINITE: no limit) and keeps it until end(). 0 with the
    // transaction's id in *tx, or why not: ERROR_BUSY while this connection
    // has one open already, WAIT_TIMEOUT, ERROR_OPERATION_ABORTED...
    DWORD begin(DWORD timeoutMs, call_id *tx) noexcept {
        job j;
        if (timeoutMs != INFINITE) j.deadline = steady::now() + std::chrono::milliseconds(timeoutMs);
        j.begins = true;
        j.waited = true;
        ::AcquireSRWLockExclusive(&lock_);
        DWORD failure = enqueue(&j);
        if (!failure) {
            while (j.state != job::done)
                if (!wait(j.deadline)) settle(&j, by_deadline);
            failure = j.status == OLVEX_FAIL ? j.error : 0;
        }
        ::ReleaseSRWLockExclusive(&lock_);
        if (!failure) *tx = j.tx;
        return failure;
    }

    // Ends transaction `tx`: its calls still queued or running end with
    // ERROR_OPERATION_ABORTED, and the thread releases the key's lock once
    // no answer is owed. A transaction that has ended already: nothing.
    void end(call_id tx) noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        if (tx && tx_.load() == tx) {
            tx_.store(0);
            settle_all(by_cancel, tx);
            ::WakeAllConditionVariable(&changed_);
        }
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // Ends the calls of transaction `tx` (its begin too) running or waiting
    // now with ERROR_OPERATION_ABORTED; the transaction stays open once begun.
    void cancel_inside(call_id tx) noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        settle_all(by_cancel, tx);
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // Ends call `id` alone with ERROR_OPERATION_ABORTED; false when it has
    // finished already (or never was).
    bool cancel(call_id id) noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        job *j = find(id);
        const bool ended = j && settle(j, by_cancel);
        ::ReleaseSRWLockExclusive(&lock_);
        return ended;
    }

    // Ends every call running or waiting now with ERROR_OPERATION_ABORTED.
    // The key's answer, if asked for, is still read and dropped.
    void cancel() noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        settle_all(by_cancel);
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // Ends every call with ERROR_OPERATION_ABORTED, gives an owed answer up
    // to `graceMs` to come, then cancels its read (retried: a cancel that
    // comes before the read starts is lost) for a bounded time, waits for the
    // completions of the calls it ended (not for one it is called from), and
    // lets go of the connection.
    void close(DWORD graceMs) noexcept {
        channel *self = this;
        end_all(&self, 1, steady::now() + std::chrono::milliseconds(graceMs), false);
        ::AcquireSRWLockExclusive(&lock_);
        HANDLE thread = thread_;
        const bool finished = !busy_;
        ::ReleaseSRWLockExclusive(&lock_);
        // A read the driver would not give up holds the thread, and with it
        // the connection: the thread disconnects once the read returns.
        if (thread && finished) ::WaitForSingleObject(thread, INFINITE);
        release();
    }

    // The steps of closing, written once: close() takes one connection
    // through them, the program's end every one at once (one grace for all,
    // `grace` being when it ends). `silent`: the completions are no longer
    // called, and one that is running is waited for a bounded time only (its
    // runtime may be gone with it), then and at every later close.
    // Any number of threads may take a connection through them at once, each
    // returning when its own wait is over.
    static void end_all(channel *const *cs, std::size_t n, steady::time_point grace, bool silent) noexcept {
        for (std::size_t i = 0; i < n; ++i) cs[i]->shut(silent);
        for (std::size_t i = 0; i < n; ++i) cs[i]->wait_owed(grace);
        const steady::time_point bound = steady::now() + std::chrono::milliseconds(cancel_bound_ms);
        for (std::size_t i = 0; i < n; ++i) cs[i]->end_reads(bound);
        for (std::size_t i = 0; i < n; ++i)
            cs[i]->wait_reports(silent || cs[i]->silent_.load() ? bound : (steady::time_point::max)());
    }

    void add_ref() noexcept { ::InterlockedIncrement(&refs_); }
    // For a walk of the registry: false when the last reference is gone
    // already (the connection is on its way out).
    bool try_add_ref() noexcept {
        for (LONG n = refs_; n > 0;) {
            const LONG seen = ::InterlockedCompareExchange(&refs_, n + 1, n);
            if (seen == n) return true;
            n = seen;
        }
        return false;
    }
    void release() noexcept {
        if (::InterlockedDecrement(&refs_) == 0) delete this;
    }

    channel *next_listed() const noexcept { return next_listed_; }
    // Under the registry's lock: whether close_all's sweep `round` took it.
    bool swept(unsigned long round) noexcept {
        if (swept_ == round) return true;
        swept_ = round;
        return false;
    }

private:
    enum settle_by { by_answer, by_deadline, by_cancel };
    static constexpr DWORD retry_ms = 5;
    static constexpr DWORD cancel_bound_ms = 1000;

    explicit channel(OLVEX_HANDLE handle) noexcept : handle_(handle) {}
    ~channel() {
        delist();
        // Its last run may still be returning: the pool frees it after.
        if (deliverer_) ::CloseThreadpoolWork(deliverer_);
        if (timer_) {
            ::SetThreadpoolTimer(timer_, nullptr, 0, 0);
            ::WaitForThreadpoolTimerCallbacks(timer_, TRUE);
            ::CloseThreadpoolTimer(timer_);
        }
        if (handle_) OLVEX_Disconnect(handle_);
        if (key_lock_) ::CloseHandle(key_lock_);
        if (wake_) ::CloseHandle(wake_);
        if (thread_) ::CloseHandle(thread_);
        delete[] command_;
        delete[] response_;
    }

    void enlist() noexcept {
        registry &r = channels();
        ::AcquireSRWLockExclusive(&r.lock);
        next_listed_ = r.first;
        if (r.first) r.first->prev_listed_ = this;
        r.first = this;
        const bool hook = !r.hooked;
        r.hooked = true;
        ::ReleaseSRWLockExclusive(&r.lock);
        if (hook) std::atexit(&at_exit);
    }
    void delist() noexcept {
        registry &r = channels();
        ::AcquireSRWLockExclusive(&r.lock);
        if (prev_listed_) prev_listed_->next_listed_ = next_listed_;
        else if (r.first == this) r.first = next_listed_;
        if (next_listed_) next_listed_->prev_listed_ = prev_listed_;
        ::ReleaseSRWLockExclusive(&r.lock);
    }

    // What a failure says: a key that has gone reads as gone, whatever the
    // transport said; its presence decides, not a guess at a driver's codes.
    // Only a key the platform dated when it was opened can be judged so: one
    // it knows nothing of (a replayed one, say) fails as the library says.
    DWORD cause(DWORD error) noexcept {
        if (error == 0) return ERROR_GEN_FAILURE;
        const bool transport = error != WAIT_TIMEOUT && error != ERROR_TIMEOUT && error != ERROR_OPERATION_ABORTED &&
                               error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_ENOUGH_MEMORY;
        if (transport && attached_ != 0 && (removed_.load() || key_gone(path_, attached_))) {
            removed_.store(true);
            return ERROR_DEVICE_NOT_CONNECTED;
        }
        return error;
    }

    void shut(bool silent) noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        closing_.store(true);
        if (silent) silent_.store(true);
        settle_all(by_cancel);
        ::WakeAllConditionVariable(&changed_);
        ::ReleaseSRWLockExclusive(&lock_);
    }
    // Waits until nothing is owed (no turn under way, no exchange on a
    // caller's thread), or until `until`.
    void wait_owed(steady::time_point until) noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        // here_ changes without the lock: looked at every few milliseconds.
        while ((busy_ || here_ != 0) && ms_until(until) != 0)
            ::SleepConditionVariableSRW(&changed_, &lock_, busy_ ? ms_until(until) : retry_ms, 0);
        ::ReleaseSRWLockExclusive(&lock_);
    }
    // Cancels the thread's read while its turn is under way, until `until`.
    void end_reads(steady::time_point until) noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        while (busy_ && ms_until(until) != 0) {
            // Decided under the lock that the thread leaves reading under:
            // the cancel reaches that read, never its later I/O.
            if (reading_) ::CancelSynchronousIo(thread_);
            const steady::time_point retry = steady::now() + std::chrono::milliseconds(retry_ms);
            wait(retry < until ? retry : until);
        }
        ::ReleaseSRWLockExclusive(&lock_);
    }
    // Waits until every completion reported has returned, or `until`; not
    // from inside one of them, which would wait for itself (and, called in
    // order, for those behind it).
    void wait_reports(steady::time_point until) noexcept {
        if (completing == this) return;
        ::AcquireSRWLockExclusive(&lock_);
        while (reports_ != 0 && ms_until(until) != 0) ::SleepConditionVariableSRW(&changed_, &lock_, ms_until(until), 0);
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // Under no lock of the channel's: the work item that calls this
    // connection's completions in order.
    DWORD make_deliverer() noexcept {
        ::AcquireSRWLockExclusive(&order_lock_);
        if (!deliverer_) deliverer_ = ::CreateThreadpoolWork(&channel::deliver_in_order, this, callback_environment());
        const DWORD e = deliverer_ ? 0 : ::GetLastError();
        ::ReleaseSRWLockExclusive(&order_lock_);
        return e;
    }

    // Under the lock, once `j` is settled: its completion goes out. Until it
    // has returned, the call counts as reported and holds the connection.
    void report_outcome(job *j) noexcept {
        ++reports_;
        add_ref();
        if (j->report) {
            ::SubmitThreadpoolWork(j->report);
            return;
        }
        j->next = nullptr;
        ::AcquireSRWLockExclusive(&order_lock_);
        if (in_order_last_) in_order_last_->next = j;
        else in_order_ = j;
        in_order_last_ = j;
        const bool start = !delivering_;
        delivering_ = true;
        ::ReleaseSRWLockExclusive(&order_lock_);
        if (start) ::SubmitThreadpoolWork(deliverer_);
    }

    // Runs `j`'s completion (unless the program's end silenced them) and
    // counts it returned; `j` is gone after.
    void call_back(job *j) noexcept {
        const channel *outer = completing;
        completing = this;
        if (!silent_.load())
            j->done_fn(j->context, j->id, j->error == finishing_wait ? WAIT_TIMEOUT : j->error, j->status, j->body_length);
        completing = outer;
        if (j->report) ::CloseThreadpoolWork(j->report);
        delete j;
        ::AcquireSRWLockExclusive(&lock_);
        --reports_;
        ::WakeAllConditionVariable(&changed_);
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // An asynchronous call's outcome, on the pool.
    static void CALLBACK deliver(PTP_CALLBACK_INSTANCE, void *self, PTP_WORK) {
        channel *c = static_cast<job *>(self)->owner;
        c->call_back(static_cast<job *>(self));
        c->release();
    }

    // The connection's outcomes called one at a time, in order, by one run
    // of its work item at a time. The reference of the call just reported
    // keeps the connection until the next has been taken.
    static void CALLBACK deliver_in_order(PTP_CALLBACK_INSTANCE, void *self, PTP_WORK) {
        channel *c = static_cast<channel *>(self);
        for (bool held = false;;) {
            ::AcquireSRWLockExclusive(&c->order_lock_);
            job *j = c->in_order_;
            if (j) {
                c->in_order_ = j->next;
                if (!c->in_order_) c->in_order_last_ = nullptr;
            } else {
                c->delivering_ = false;
            }
            ::ReleaseSRWLockExclusive(&c->order_lock_);
            if (held) c->release();
            if (!j) return;
            c->call_back(j);
            held = true;
        }
    }

    // Under the lock: queues `j` for the thread, which comes with the first
    // such call (untimed callers pay nothing for it).
    DWORD enqueue(job *j) noexcept {
        if (closing_.load()) return ERROR_INVALID_HANDLE;
        // One transaction at a time; a call inside one that has ended has
        // nothing left to run inside.
        if (j->begins && tx_.load()) return ERROR_BUSY;
        if (!j->begins && j->tx && j->tx != tx_.load()) return ERROR_INVALID_HANDLE;
        if (const DWORD e = start_thread()) return e;
        j->id = ++last_id_;
        if (j->begins) {
            j->tx = j->id;
            tx_.store(j->id);
        }
        j->state = job::queued;
        j->next = nullptr;
        if (tail_) tail_->next = j;
        else head_ = j;
        tail_ = j;
        ::WakeAllConditionVariable(&changed_);
        return 0;
    }

    job *find(call_id id) const noexcept {
        if (current_ && current_->id == id) return current_;
        for (job *j = head_; j; j = j->next)
            if (j->id == id) return j;
        return nullptr;
    }

    // Under the lock: ends `j` by `by`, as the table at job says. False when
    // it had ended already.
    bool settle(job *j, settle_by by, int status = OLVEX_FAIL, DWORD error = 0) noexcept {
        if (j->state == job::done) return false;
        if (by == by_answer) {
            j->status = status;
            j->error = error;
        } else {
            j->status = OLVEX_FAIL;
            j->error = by == by_cancel ? ERROR_OPERATION_ABORTED
                                       : j->state == job::sending ? ERROR_TIMEOUT : WAIT_TIMEOUT;
            // Held up by this connection's own late answer, not by anyone else.
            if (j->error == WAIT_TIMEOUT && j->state == job::queued && busy_ && !current_ && reading_)
                j->error = finishing_wait;
        }
        if (j->state == job::queued) {
            job **link = &head_;
            while (*link != j) link = &(*link)->next;
            *link = j->next;
            if (tail_ == j) {
                tail_ = head_;
                while (tail_ && tail_->next) tail_ = tail_->next;
            }
        } else if (current_ == j) {
            // The turn goes on without it; a wait for the key's lock ends.
            if (j->state == job::locking) ::SetEvent(wake_);
            current_ = nullptr;
        }
        j->state = job::done;
        const bool unbegun = j->begins && j->status == OLVEX_FAIL && tx_.load() == j->tx;
        const call_id tx = j->tx;
        if (j->waited) ::WakeAllConditionVariable(&changed_);
        else report_outcome(j);  // `j` may be gone from here on
        // A transaction that never had the key is over, and so are the calls
        // made inside it meanwhile.
        if (unbegun) {
            tx_.store(0);
            settle_all(by_cancel, tx);
        }
        return true;
    }

    // Ends the calls of transaction `tx`, or with 0 every call.
    void settle_all(settle_by by, call_id tx = 0) noexcept {
        if (current_ && (!tx || current_->tx == tx)) settle(current_, by);
        // From the head again after each: a settle may end others (a begin
        // its transaction's calls), whose completions may free them.
        for (;;) {
            job *j = head_;
            while (j && tx && j->tx != tx) j = j->next;
            if (!j) break;
            settle(j, by);
        }
    }

    // Waits for a change until `deadline`; false once it has passed.
    bool wait(steady::time_point deadline) noexcept {
        const DWORD ms = ms_until(deadline);
        if (ms == 0) return false;
        ::SleepConditionVariableSRW(&changed_, &lock_, ms, 0);
        return true;
    }

    // Under the lock: the deadline timer rings by `deadline` at the latest.
    DWORD arm(steady::time_point deadline) noexcept {
        if (!timer_ && !(timer_ = ::CreateThreadpoolTimer(&channel::ring, this, callback_environment()))) return ::GetLastError();
        if (armed_ <= deadline) return 0;
        armed_ = deadline;
        ULARGE_INTEGER due;
        due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(ms_until(deadline)) * 10000);
        FILETIME when;
        when.dwLowDateTime = due.LowPart;
        when.dwHighDateTime = due.HighPart;
        ::SetThreadpoolTimer(timer_, &when, 0, 0);
        return 0;
    }

    // Asynchronous calls whose deadline has come end here; the timer is set
    // again for the next one. (A waiting caller keeps its own deadline.)
    static void CALLBACK ring(PTP_CALLBACK_INSTANCE, void *self, PTP_TIMER) {
        channel *c = static_cast<channel *>(self);
        ::AcquireSRWLockExclusive(&c->lock_);
        c->armed_ = (steady::time_point::max)();
        const steady::time_point now = steady::now();
        if (job *j = c->current_)
            if (j->timed() && j->deadline <= now) c->settle(j, by_deadline);
        // From the head again after each settle, as settle_all does.
        steady::time_point next;
        for (bool again = true; again;) {
            again = false;
            next = (steady::time_point::max)();
            if (const job *j = c->current_)
                if (!j->waited && j->timed()) next = j->deadline;
            for (job *j = c->head_; j && !again; j = j->next) {
                if (j->timed() && j->deadline <= now) {
                    c->settle(j, by_deadline);
                    again = true;
                } else if (!j->waited && j->timed() && j->deadline < next) next = j->deadline;
            }
        }
        if (next != (steady::time_point::max)()) c->arm(next);
        ::ReleaseSRWLockExclusive(&c->lock_);
    }

    // Under the lock.
    DWORD start_thread() noexcept {
        if (thread_) return 0;
        if (!command_) command_ = new (std::nothrow) unsigned char[OLVEX_MAX_COMMAND];
        if (!response_) response_ = new (std::nothrow) unsigned char[OLVEX_MAX_RESPONSE_BODY];
        if (!command_ || !response_) return ERROR_NOT_ENOUGH_MEMORY;
        if (!wake_ && !(wake_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr))) return ::GetLastError();
        add_ref();
        thread_ = ::CreateThread(nullptr, 64 * 1024, &channel::run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread_) return 0;
        const DWORD e = ::GetLastError();
        ::InterlockedDecrement(&refs_);
        return e;
    }

    static DWORD WINAPI run(void *self) {
        static_cast<channel *>(self)->serve();
        static_cast<channel *>(self)->release();
        return 0;
    }

    // The connection's thread: one call at a time, in order.
    void serve() noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        for (;;) {
            job *j = nullptr;
            for (;;) {
                // Between turns nothing is owed: the lock a transaction had
                // goes back once it has ended.
                if (held_ && held_ != tx_.load()) {
                    ::ReleaseMutex(key_lock_);
                    held_ = 0;
                }
                if ((j = take_next()) != nullptr || closing_.load()) break;
                ::SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
            }
            if (!j) break;
            // Inside the transaction the thread holds the lock for: no taking it.
            const bool inside = j->tx && !j->begins && j->tx == held_;
            j->state = job::locking;
            current_ = j;
            busy_ = true;
            const int length = j->length;
            if (length > 0) std::memcpy(command_, j->command, static_cast<std::size_t>(length));
            const steady::time_point deadline = j->deadline;
            ::ReleaseSRWLockExclusive(&lock_);
            DWORD failure = 0;
            const DWORD taken = inside ? WAIT_OBJECT_0 : take_key_lock(j, deadline, &failure);
            if (taken == WAIT_ABANDONED) drain_owed(path_, steady::now() + close_grace);
            ::AcquireSRWLockExclusive(&lock_);
            if (taken == WAIT_TIMEOUT || taken == WAIT_FAILED) {
                if (current_ == j) {
                    if (taken == WAIT_FAILED) settle(j, by_answer, OLVEX_FAIL, failure);
                    else settle(j, by_deadline);
                }
            } else if (current_ != j) {
                // Settled meanwhile: nothing was sent.
                if (!inside) ::ReleaseMutex(key_lock_);
            } else if (j->begins) {
                held_ = j->tx;
                settle(j, by_answer, 0, 0);
            } else {
                j->state = job::sending;
                reading_ = true;
                ::ReleaseSRWLockExclusive(&lock_);
                int got = 0;
                const int status = OLVEX_DoCommand(handle_, command_, length, response_, &got);
                const DWORD raw = status == OLVEX_FAIL ? ::GetLastError() : 0;
                // Leaving the read under the lock is what keeps close's cancel
                // from reaching any later I/O of this thread.
                ::AcquireSRWLockExclusive(&lock_);
                reading_ = false;
                // A read that was ended (only close cancels one) leaves the
                // key mid-exchange: the connection goes before the lock does,
                // so that no peer's request meets the half-finished one,
                // whatever the call was told.
                if (status == OLVEX_FAIL && raw == ERROR_OPERATION_ABORTED) {
                    OLVEX_Disconnect(handle_);
                    handle_ = nullptr;
                }
                if (!inside) ::ReleaseMutex(key_lock_);
                DWORD error = raw;
                if (status == OLVEX_FAIL && current_ == j) {
                    // Judged outside the lock: it reads the platform, and a
                    // cancel may settle the call meanwhile.
                    ::ReleaseSRWLockExclusive(&lock_);
                    error = cause(raw);
                    ::AcquireSRWLockExclusive(&lock_);
                }
                // A caller that gave up left the answer to be dropped here.
                if (current_ == j) {
                    if (status != OLVEX_FAIL) std::memcpy(j->body, response_, static_cast<std::size_t>(got));
                    j->body_length = got;
                    settle(j, by_answer, status, error);
                }
            }
            current_ = nullptr;
            busy_ = false;
            ::WakeAllConditionVariable(&changed_);
        }
        // Closing, with the transaction still open: nothing is owed any more.
        if (held_) {
            ::ReleaseMutex(key_lock_);
            held_ = 0;
        }
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // Under the lock: the next call the thread may take, out of the queue.
    // While it holds the key's lock for a transaction, only that
    // transaction's calls; the others wait for its end.
    job *take_next() noexcept {
        job **link = &head_;
        job *prev = nullptr;
        while (*link && held_ && (*link)->tx != held_) {
            prev = *link;
            link = &(*link)->next;
        }
        job *j = *link;
        if (!j) return nullptr;
        *link = j->next;
        if (tail_ == j) tail_ = prev;
        return j;
    }

    // The key's lock for `j`: WAIT_OBJECT_0 or WAIT_ABANDONED when had,
    // WAIT_TIMEOUT when `j` was settled first, or its deadline came, or
    // WAIT_FAILED with `error` set.
    DWORD take_key_lock(const job *j, steady::time_point deadline, DWORD *error) noexcept {
        const HANDLE waits[2] = {key_lock_, wake_};
        const bool timed = deadline != (steady::time_point::max)();
        for (;;) {
            const DWORD r = ::WaitForMultipleObjects(2, waits, FALSE, timed ? ms_until(deadline) : INFINITE);
            if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0) return r == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_ABANDONED;
            if (r == WAIT_FAILED) {
                *error = ::GetLastError();
                return WAIT_FAILED;
            }
            if (r != WAIT_OBJECT_0 + 1) return WAIT_TIMEOUT;
            ::AcquireSRWLockExclusive(&lock_);
            const bool gone = current_ != j;
            ::ReleaseSRWLockExclusive(&lock_);
            if (gone) return WAIT_TIMEOUT;
        }
    }

    OLVEX_HANDLE handle_;  // the thread's while its turn is under way; nulled by it after a cancelled read
    std::string path_;
    unsigned long long attached_ = 0;  // the key's attach time when opened; 0: unknown
    std::atomic<bool> removed_{false};
    volatile LONG refs_ = 1;
    HANDLE key_lock_ = nullptr;  // this connection's own handle to the key's lock
    channel *next_listed_ = nullptr, *prev_listed_ = nullptr;  // under the registry's lock
    unsigned long swept_ = 0;                                  // idem: close_all's last round that took it
    HANDLE thread_ = nullptr;
    HANDLE wake_ = nullptr;  // ends the thread's wait for the key's lock when its call is settled
    PTP_TIMER timer_ = nullptr;
    unsigned char *command_ = nullptr;   // the thread's
    unsigned char *response_ = nullptr;  // the thread's
    call_id last_id_ = 0;                // under lock_, by callers
    steady::time_point armed_ = (steady::time_point::max)();  // under lock_

    // The state several threads touch, and who writes it. "any" is whoever
    // settles a call: a waiting caller, the deadline timer, a canceller, a
    // closer, or the connection's thread.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;  // any of the below changed
    // Under lock_:
    job *head_ = nullptr, *tail_ = nullptr;  // queued: callers add, any removes, the thread takes
    job *current_ = nullptr;  // the call of the turn under way: the thread sets it, any clears it when settling
    call_id held_ = 0;        // the transaction the thread holds the key's lock for: the thread
    bool busy_ = false;       // a turn is under way (the key's lock may be held): the thread
    bool reading_ = false;    // the thread is inside the library's exchange, and only then: the thread
    LONG reports_ = 0;        // completions reported and not yet returned: settle adds, the completion's thread takes
    // Read without lock_, written under it:
    std::atomic<bool> closing_{false};  // no call may start: a closer (close() or the program's end), once
    std::atomic<bool> silent_{false};   // completions are no longer called: the program's end, once
    std::atomic<call_id> tx_{0};  // the transaction open or beginning: begin sets, its end or failure clears
    // Without any lock:
    volatile LONG here_ = 0;  // exchanges under way on their callers' threads: those callers (interlocked)
    // Under order_lock_ (taken inside lock_, never the other way round):
    SRWLOCK order_lock_ = SRWLOCK_INIT;
    job *in_order_ = nullptr, *in_order_last_ = nullptr;  // reported, to be called in order: settle adds, the work item takes
    bool delivering_ = false;     // the work item is running or submitted: settle sets, the work item clears
    PTP_WORK deliverer_ = nullptr;  // made with the first such call, kept for the connection
};

// Whether this process is ending: its other threads are gone, and waiting
// for them would only hold up the end (a DLL's exit functions run then).
inline bool process_ending() noexcept {
    using query = BOOLEAN(WINAPI *)();
    static const query in_progress = reinterpret_cast<query>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "RtlDllShutdownInProgress")));
    return in_progress && in_progress();
}

// Ends every connection of this module for the program's end, those that
// other threads are closing included: calls end with ERROR_OPERATION_ABORTED
// (their completions are not called any more), answers still owed get up to
// `graceMs`, all at once, and later calls on those connections fail at once
// with ERROR_INVALID_HANDLE. Connections opened afterwards work as usual.
inline void close_all(DWORD graceMs) noexcept {
    registry &r = channels();
    const steady::time_point grace = steady::now() + std::chrono::milliseconds(graceMs);
    ::AcquireSRWLockExclusive(&r.lock);
    const unsigned long round = ++r.round;
    ::ReleaseSRWLockExclusive(&r.lock);
    // In batches of those this round has not taken yet, so that nothing needs
    // allocating here.
    channel *held[64];
    for (std::size_t n = sizeof held / sizeof held[0]; n == sizeof held / sizeof held[0];) {
        n = 0;
        ::AcquireSRWLockExclusive(&r.lock);
        for (channel *c = r.first; c && n < sizeof held / sizeof held[0]; c = c->next_listed())
            if (!c->swept(round) && c->try_add_ref()) held[n++] = c;
        ::ReleaseSRWLockExclusive(&r.lock);
        channel::end_all(held, n, grace, true);
        for (std::size_t i = 0; i < n; ++i) held[i]->release();
    }
}

inline void at_exit() noexcept {
    if (!process_ending()) close_all(static_cast<DWORD>(close_grace.count()));
}

}  // namespace detail
}  // namespace olvex

#endif  // OLVEX_CHANNEL_HPP
