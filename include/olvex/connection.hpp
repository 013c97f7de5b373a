// olvexlib.hpp: a connection to one key. Include olvexlib.hpp, not this.
#ifndef OLVEX_CONNECTION_HPP
#define OLVEX_CONNECTION_HPP

#include "channel.hpp"
#include "listing.hpp"

// std::future needs the standard library's threads, which MinGW's win32
// thread model does not give libstdc++: there the callable start() serves.
#if OLVEXLIB_HPP_EXCEPTIONS && (!defined(__GLIBCXX__) || defined(_GLIBCXX_HAS_GTHREADS))
#define OLVEXLIB_HPP_FUTURE 1
#include <future>
#else
#define OLVEXLIB_HPP_FUTURE 0
#endif

namespace olvex {
namespace detail {

// A started call whose outcome goes to a callable: the body's buffer and the
// callable live here until the completion hands both over, then go.
template <class Fn>
struct started_call {
    Fn fn;
    std::unique_ptr<unsigned char[]> body;

    static void WINAPI done(void *self, call_id, DWORD error, int status, int length) {
        const std::unique_ptr<started_call> call(static_cast<started_call *>(self));
        std::error_code ec = error ? win32_error(error) : std::error_code();
        response r;
#if OLVEXLIB_HPP_EXCEPTIONS
        try {
#endif
            if (!ec) {
                r.status = static_cast<std::uint16_t>(status);
                r.body.assign(call->body.get(), call->body.get() + length);
            }
#if OLVEXLIB_HPP_EXCEPTIONS
        } catch (const std::bad_alloc &) {
            ec = win32_error(ERROR_NOT_ENOUGH_MEMORY);
        }
#endif
        call->fn(static_cast<const std::error_code &>(ec), std::move(r));
    }
};

}  // namespace detail

namespace detail {
struct access;
}

// What a connection and a transaction on it have in common: the exchanges
// (see connection for their time limits, cancelling and completions).
class exchanger {
public:
    // Ends every timed or started exchange that is running or waiting now,
    // with ERROR_OPERATION_ABORTED: on a connection, all of its own, those
    // of its transaction and a begin still waiting included; on a
    // transaction, its own. Any thread may call it; an untimed exchange
    // outside a transaction is not affected (CancelSynchronousIo on its
    // thread ends that one).
    void cancel() const noexcept {
        if (channel_ && tx_) channel_->cancel_inside(tx_);
        else if (channel_) channel_->cancel();
    }

    // Sends one command and returns the key's status word and body, with or
    // without a time limit (see above).
    response exchange(const void *command, std::size_t size, std::chrono::milliseconds timeout,
                      std::error_code &ec) const {
        return run(static_cast<const unsigned char *>(command), size, timeout, ec);
    }
    response exchange(const void *command, std::size_t size, std::error_code &ec) const {
        return run(static_cast<const unsigned char *>(command), size, no_timeout, ec);
    }
    // The same with a flag for a canceller that cannot know whether the call
    // has begun, as exchange_into takes it (below).
    response exchange(const void *command, std::size_t size, std::chrono::milliseconds timeout,
                      std::error_code &ec, const volatile long *cancelled) const {
        return run(static_cast<const unsigned char *>(command), size, timeout, ec, cancelled);
    }
    template <class Bytes, detail::if_byte_range<Bytes> = 0>
    response exchange(const Bytes &command, std::chrono::milliseconds timeout, std::error_code &ec) const {
        return run(reinterpret_cast<const unsigned char *>(std::data(command)), std::size(command), timeout, ec);
    }
    template <class Bytes, detail::if_byte_range<Bytes> = 0>
    response exchange(const Bytes &command, std::error_code &ec) const {
        return exchange(command, no_timeout, ec);
    }
#if OLVEXLIB_HPP_EXCEPTIONS
    response exchange(const void *command, std::size_t size, std::chrono::milliseconds timeout = no_timeout) const {
        std::error_code ec;
        response r = exchange(command, size, timeout, ec);
        detail::throw_if(ec, "olvex: exchange failed");
        return r;
    }
    template <class Bytes, detail::if_byte_range<Bytes> = 0>
    response exchange(const Bytes &command, std::chrono::milliseconds timeout = no_timeout) const {
        std::error_code ec;
        response r = exchange(command, timeout, ec);
        detail::throw_if(ec, "olvex: exchange failed");
        return r;
    }
#endif

    // The exchange into the caller's buffer of at least max_response_body
    // bytes: the status word, or OLVEX_FAIL with ec set. For callers that
    // reuse one buffer (the bindings); nothing is written on failure.
    int exchange_into(const void *command, std::size_t size, std::chrono::milliseconds timeout, void *body,
                      int *bodyLength, std::error_code &ec) const noexcept {
        return exchange_into(command, size, timeout, body, bodyLength, ec, nullptr);
    }
    // The same, for a caller whose canceller cannot know whether the call has
    // begun (one queued to another thread): it sets *cancelled to nonzero,
    // then calls cancel(), and a timed call ends with ERROR_OPERATION_ABORTED
    // whenever it begins.
    int exchange_into(const void *command, std::size_t size, std::chrono::milliseconds timeout, void *body,
                      int *bodyLength, std::error_code &ec, const volatile long *cancelled) const noexcept {
        if (const DWORD e = refuse(command, size, timeout, body) ? ERROR_INVALID_PARAMETER : usable()) {
            ec = detail::win32_error(e);
            return OLVEX_FAIL;
        }
        const auto *bytes = static_cast<const unsigned char *>(command);
        auto *out = static_cast<unsigned char *>(body);
        const int n = static_cast<int>(size);
        DWORD error = 0;
        // Inside a transaction even an untimed exchange runs on the
        // connection's thread: that thread holds the key's lock.
        const int status = timeout == no_timeout && !tx_
                               ? channel_->exchange_here(bytes, n, out, bodyLength, &error)
                               : channel_->exchange(bytes, n, timeout == no_timeout ? INFINITE : detail::limit_ms(timeout),
                                                    out, bodyLength, &error, cancelled, tx_);
        if (status == OLVEX_FAIL) {
            ec = detail::win32_error(error);
            return OLVEX_FAIL;
        }
        ec.clear();
        return status;
    }

    // Starts one exchange and returns at once with the call's id; `done`
    // reports its outcome later, once (see olvex::completion), with the body
    // in `body` (at least max_response_body bytes, which must stay valid
    // until then), as `how` says (olvex::completions). `timeout` as for
    // exchange(), counted from now, or no_timeout. Nothing is started, and 0
    // returned, when ec is set.
    call_id start(const void *command, std::size_t size, std::chrono::milliseconds timeout, void *body,
                  completion done, void *context, std::error_code &ec,
                  completions how = completions::concurrent) const noexcept {
        DWORD e = refuse(command, size, timeout, body) || !done ? ERROR_INVALID_PARAMETER : usable();
        call_id id = 0;
        if (!e)
            e = channel_->start(static_cast<const unsigned char *>(command), static_cast<int>(size),
                                timeout == no_timeout ? INFINITE : detail::limit_ms(timeout),
                                static_cast<unsigned char *>(body), done, context, how, &id, tx_);
        ec = e ? detail::win32_error(e) : std::error_code();
        return e ? 0 : id;
    }

    // The same with any callable for the outcome, a lambda with captures
    // among them: done(const std::error_code &, olvex::response) is called
    // once, on a thread of the system's pool, with the key's answer or why
    // there is none; the body needs no buffer of the caller's. It must not
    // throw. Nothing is started, 0 returned and `done` never called when ec
    // is set; after close_all() (the program's end) it is not called either.
    template <class Fn, class Call = detail::started_call<std::decay_t<Fn>>,
              std::enable_if_t<std::is_invocable<std::decay_t<Fn> &, const std::error_code &, response>::value,
                               int> = 0>
    call_id start(const void *command, std::size_t size, std::chrono::milliseconds timeout, Fn &&done,
                  std::error_code &ec, completions how = completions::concurrent) const {
        std::unique_ptr<Call> call(new (std::nothrow) Call{std::forward<Fn>(done), nullptr});
        if (call) call->body.reset(new (std::nothrow) unsigned char[max_response_body]);
        if (!call || !call->body) {
            ec = detail::win32_error(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        const call_id id = start(command, size, timeout, call->body.get(), &Call::done, call.get(), ec, how);
        if (!ec) call.release();  // the completion's now
        return id;
    }
    template <class Bytes, class Fn, detail::if_byte_range<Bytes> = 0>
    call_id start(const Bytes &command, std::chrono::milliseconds timeout, Fn &&done, std::error_code &ec,
                  completions how = completions::concurrent) const {
        return start(std::data(command), std::size(command), timeout, std::forward<Fn>(done), ec, how);
    }

#if OLVEXLIB_HPP_FUTURE
    // The started exchange as a std::future: it holds the response, or a
    // std::system_error with the code exchange() would give, any failure to
    // start included. cancel(), a close or the time limit end it as they end
    // a started call; after close_all() (the program's end) it never becomes
    // ready.
    std::future<response> exchange_async(const void *command, std::size_t size,
                                         std::chrono::milliseconds timeout = no_timeout) const {
        const auto promise = std::make_shared<std::promise<response>>();
        std::future<response> result = promise->get_future();
        const auto settle = [promise](const std::error_code &e, response r) {
            if (e) promise->set_exception(std::make_exception_ptr(std::system_error(e, "olvex: exchange failed")));
            else promise->set_value(std::move(r));
        };
        std::error_code ec;
        start(command, size, timeout, settle, ec);
        if (ec) settle(ec, response());
        return result;
    }
    template <class Bytes, detail::if_byte_range<Bytes> = 0>
    std::future<response> exchange_async(const Bytes &command, std::chrono::milliseconds timeout = no_timeout) const {
        return exchange_async(std::data(command), std::size(command), timeout);
    }
#endif

    // Ends that call alone with ERROR_OPERATION_ABORTED, as cancel() does all
    // of them; false when it has finished already, whose id then names
    // nothing any more. Any thread.
    bool cancel(call_id call) const noexcept { return channel_ && channel_->cancel(call); }

protected:
    exchanger() noexcept = default;
    exchanger(detail::channel *c, call_id tx) noexcept : channel_(c), tx_(tx) {}
    ~exchanger() = default;
    exchanger(const exchanger &) = delete;
    exchanger &operator=(const exchanger &) = delete;

    static bool refuse(const void *command, std::size_t size, std::chrono::milliseconds timeout,
                       const void *body) noexcept {
        return size > max_command || (!command && size > 0) || !body ||
               (timeout != no_timeout && timeout.count() <= 0);
    }
    DWORD usable() const noexcept {
        if (!channel_) return ERROR_INVALID_HANDLE;
        return channel_->removed() ? ERROR_DEVICE_NOT_CONNECTED : 0;
    }


    response run(const unsigned char *command, std::size_t size, std::chrono::milliseconds timeout,
                 std::error_code &ec, const volatile long *cancelled = nullptr) const {
        response r;
        if (!channel_) {
            ec = detail::win32_error(ERROR_INVALID_HANDLE);
            return r;
        }
        // Room for the longest body any command can bring; only what came is kept.
        const std::unique_ptr<unsigned char[]> buffer(new unsigned char[max_response_body]);
        int length = 0;
        const int status = exchange_into(command, size, timeout, buffer.get(), &length, ec, cancelled);
        if (status == OLVEX_FAIL) return r;
        r.status = static_cast<std::uint16_t>(status);
        r.body.assign(buffer.get(), buffer.get() + length);
        return r;
    }

    detail::channel *channel_ = nullptr;
    call_id tx_ = 0;  // the transaction the exchanges run inside; 0: none
};

// Several exchanges with one key and nobody's in between, as a key's
// protocol needs them (select, verify, compute): from connection::begin() to
// end() the connection's own thread holds the key's lock, and every exchange
// made through the transaction, timed, untimed or started, runs on that
// thread, with no exchange from any other connection, thread or process in
// between. Exchanges made on the connection itself meanwhile wait for the
// transaction to end (within their own limits: a timed one gives up with
// WAIT_TIMEOUT, nothing sent; an untimed one made by the thread that would
// end it waits for ever, so make them through the transaction). Move-only;
// the destructor ends it as end() does.
//
// Time limits, cancelling and late answers are as on the connection: an
// exchange inside that gives up on a late answer (ERROR_TIMEOUT) leaves the
// thread reading it, and the transaction's next exchange waits for that
// within its own limit. Ending the transaction ends its calls still waiting
// or running (ERROR_OPERATION_ABORTED) and returns at once; the lock goes
// back once no answer is owed. Closing the connection ends it as well; a
// program that ends or is killed inside one leaves the lock abandoned, and
// the next holder first drops whatever the key still owed (the grace).
//
// How long a transaction may hold the key: as long as it is open. Nothing
// limits it but end(), the destructor, the connection's close or the
// program's end, and while it is open every other program's exchange with
// the key waits (a timed one fails with WAIT_TIMEOUT). So keep one to the
// commands that must go together, and give its exchanges time limits: a
// forgotten transaction holds the key from everyone else until its
// connection closes or its program ends.
//
// One transaction at a time on a connection: begin() while one is open (or
// still beginning) fails at once with ERROR_BUSY, for a transaction cannot
// wait for one its own program holds. Begin the other on another connection.
// A transaction that has ended refuses exchanges with ERROR_INVALID_HANDLE.
class transaction : public exchanger {
public:
    transaction() noexcept = default;
    transaction(transaction &&other) noexcept
        : exchanger(std::exchange(other.channel_, nullptr), std::exchange(other.tx_, call_id(0))) {}
    transaction &operator=(transaction &&other) noexcept {
        if (this != &other) {
            end();
            channel_ = std::exchange(other.channel_, nullptr);
            tx_ = std::exchange(other.tx_, call_id(0));
        }
        return *this;
    }
    ~transaction() { end(); }

    // Until end(); a started begin that failed leaves it open but over.
    bool is_open() const noexcept { return channel_ != nullptr; }
    explicit operator bool() const noexcept { return is_open(); }

    // Ends the transaction (see above); then does nothing.
    void end() noexcept {
        if (!channel_) return;
        channel_->end(tx_);
        std::exchange(channel_, nullptr)->release();
        tx_ = 0;
    }

private:
    friend class connection;
    transaction(detail::channel *c, call_id tx) noexcept : exchanger(c, tx) { c->add_ref(); }
};

// One open key. Move-only; the destructor closes it as close() does.
// Exchanges may run on one connection from several threads at once, but
// never close or move it while one is running.
//
// Time limits. An exchange without one runs on the calling thread. With a
// limit T (any positive duration; longer than olvex::max_timeout counts as
// max_timeout), T covers the whole call, from the caller's call: the wait for
// the key's lock, sending, and the answer.
//   WAIT_TIMEOUT     the lock was not had within T (another exchange or
//                    program held it): nothing was sent.
//   ERROR_TIMEOUT    the command went out but no answer came within T. The
//                    call returns on time; the connection's own thread keeps
//                    the key's lock, reads the late answer and discards it,
//                    so that no exchange anywhere receives it. A later
//                    exchange on this connection waits for that within its
//                    own limit, and with a key that never answers gets
//                    WAIT_TIMEOUT, sending nothing.
//   ERROR_OPERATION_ABORTED
//                    cancel() ended the call; an answer already asked for is
//                    still read and dropped, as after a time limit.
// Closing ends the calls still waiting or running (ERROR_OPERATION_ABORTED),
// gives an owed answer up to a grace (olvex::close_grace unless close() is
// given another) to come, then cancels its read and releases the key's lock.
// It returns once the completions of the calls it ended have returned: the
// caller may then free every body buffer and context it passed. Called from
// inside one of this connection's own completions, it cannot wait for that
// one (nor, called one at a time, for those behind it): it closes all the
// same and returns without waiting for any completion, which may then still
// run. The program's end does the same for every connection still open,
// those another thread is closing included (an exit function, run by return
// from main and by exit()).
//
// A program that dies in the middle of an exchange (killed, or ended by
// ExitProcess or TerminateProcess) leaves the key's lock abandoned and its
// answer owed. The next exchange that finds the lock so, here or in the
// library (OLVEX_DoCommand, for untimed exchanges and every other caller),
// first reads and drops whatever the key still owes, for up to
// olvex::close_grace, and then sends its command: the cost is paid once per
// abandonment, and is the whole grace when nothing was owed. What is left: a
// key still silent after T and the grace, and a program that dies while no
// other program has the key open (its lock, a named mutex, goes with its last
// handle, and the next program makes a new one that tells nothing), can hand
// an answer to another caller.
class connection : public exchanger {
public:
    connection() noexcept = default;
    // Opens key `index` (0 <= index < key_count()) of the last listing; with
    // no listing yet in this process, of one made now. An index outside it:
    // ERROR_INVALID_PARAMETER, and the throwing form's what() says so.
    connection(int index, std::error_code &ec) { open(index, ec); }
    // Opens the attached key with this device path, whatever its index
    // (listing the keys anew); ERROR_DEVICE_NOT_CONNECTED when none has it.
    connection(const std::string &path, std::error_code &ec) { open(path, ec); }
#if OLVEXLIB_HPP_EXCEPTIONS
    explicit connection(int index) {
        std::error_code ec;
        open(index, ec);
        detail::throw_if_index(ec, index);
    }
    explicit connection(const std::string &path) {
        std::error_code ec;
        open(path, ec);
        if (ec.value() == ERROR_DEVICE_NOT_CONNECTED)
            throw std::system_error(ec, "olvex: no attached key has the path " + path);
        detail::throw_if(ec, "olvex: cannot open key");
    }
#endif
    // Opens the attached key whose serial (key_info::serial; case does not
    // count) is `serial`, whatever its index, listing the keys anew.
    // ERROR_DEVICE_NOT_CONNECTED when no key has it; when several do,
    // ERROR_AMBIGUOUS_SYSTEM_DEVICE and none is opened. `claimants`, if
    // given, receives the paths of every key that has it, so that the
    // caller can name them. An empty serial is ERROR_INVALID_PARAMETER.
    static connection open_serial(const std::string &serial, std::error_code &ec,
                                  std::vector<std::string> *claimants = nullptr) {
        connection c;
        std::vector<std::string> found;
        if (serial.empty()) {
            ec = detail::win32_error(ERROR_INVALID_PARAMETER);
        } else {
            c.open_serial_here(serial, found, ec);
        }
        if (claimants) *claimants = found;
        return c;
    }
#if OLVEXLIB_HPP_EXCEPTIONS
    // Throws std::system_error whose text names the serial and, when
    // several keys have it, their paths.
    static connection open_serial(const std::string &serial) {
        std::error_code ec;
        std::vector<std::string> found;
        connection c = open_serial(serial, ec, &found);
        if (!ec) return c;
        std::string what = "olvex: cannot open the key with serial " + serial;
        if (found.size() > 1) {
            what += ": claimed by " + found[0];
            for (std::size_t i = 1; i < found.size(); ++i) what += (i + 1 < found.size() ? ", " : " and ") + found[i];
        }
        throw std::system_error(ec, what);
    }
#endif
    connection(connection &&other) noexcept : exchanger(std::exchange(other.channel_, nullptr), 0) {}
    connection &operator=(connection &&other) noexcept {
        if (this != &other) {
            reset(close_grace);
            channel_ = std::exchange(other.channel_, nullptr);
        }
        return *this;
    }
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;
    ~connection() { reset(close_grace); }

    bool is_open() const noexcept { return channel_ != nullptr; }
    explicit operator bool() const noexcept { return is_open(); }
    // The key's device path; empty when not open.
    const std::string &path() const noexcept { return channel_ ? channel_->path() : detail::no_path(); }
    OLVEX_HANDLE native_handle() const noexcept { return channel_ ? channel_->handle() : nullptr; }

    // Closes the connection after giving an answer the key still owes up to
    // `grace` to come (see above).
    void close(std::chrono::milliseconds grace, std::error_code &ec) noexcept {
        ec.clear();
        if (grace.count() < 0) {
            ec = detail::win32_error(ERROR_INVALID_PARAMETER);
            return;
        }
        reset(grace);
    }
    void close(std::error_code &ec) noexcept { close(close_grace, ec); }
#if OLVEXLIB_HPP_EXCEPTIONS
    void close(std::chrono::milliseconds grace = close_grace) {
        std::error_code ec;
        close(grace, ec);
        detail::throw_if(ec, "olvex: cannot disconnect");
    }
#endif

    // Begins a transaction (see olvex::transaction): the connection's thread
    // takes the key's lock within `timeout` (no_timeout: no limit) and keeps
    // it. Fails with WAIT_TIMEOUT when the lock was not had in time (nothing
    // is held then), ERROR_BUSY when this connection has a transaction open,
    // ERROR_OPERATION_ABORTED when cancel() or a close ended the wait.
    transaction begin(std::chrono::milliseconds timeout, std::error_code &ec) const noexcept {
        DWORD e = timeout != no_timeout && timeout.count() <= 0 ? ERROR_INVALID_PARAMETER : usable();
        call_id tx = 0;
        if (!e) e = channel_->begin(timeout == no_timeout ? INFINITE : detail::limit_ms(timeout), &tx);
        ec = e ? detail::win32_error(e) : std::error_code();
        return e ? transaction() : transaction(channel_, tx);
    }
    transaction begin(std::error_code &ec) const noexcept { return begin(no_timeout, ec); }
#if OLVEXLIB_HPP_EXCEPTIONS
    transaction begin(std::chrono::milliseconds timeout = no_timeout) const {
        std::error_code ec;
        transaction tx = begin(timeout, ec);
        detail::throw_if(ec, "olvex: cannot begin a transaction");
        return tx;
    }
#endif
    // The begin started: returns the transaction at once, and `done` reports
    // later, as a started call's completion does (`how` likewise), whether
    // the lock was had (error 0) or not. Exchanges may be made inside it at
    // once: they run once it has the lock, and end with
    // ERROR_OPERATION_ABORTED if it never does. It still needs ending either way.
    transaction begin(std::chrono::milliseconds timeout, completion done, void *context, std::error_code &ec,
                      completions how = completions::concurrent) const noexcept {
        DWORD e = (timeout != no_timeout && timeout.count() <= 0) || !done ? ERROR_INVALID_PARAMETER : usable();
        call_id tx = 0;
        if (!e)
            e = channel_->start(nullptr, 0, timeout == no_timeout ? INFINITE : detail::limit_ms(timeout), nullptr,
                                done, context, how, &tx, 0, true);
        ec = e ? detail::win32_error(e) : std::error_code();
        return e ? transaction() : transaction(channel_, tx);
    }

private:
    void open(int index, std::error_code &ec) {
        char found[OLVEX_PATH_SIZE + 1] = {};
        OLVEX_HANDLE handle = nullptr;
        const detail::listing_guard guard;
        if (detail::connect_index(index, &handle, found, ec)) adopt(handle, found, ec);
    }

    void open(const std::string &path, std::error_code &ec) {
        const detail::listing_guard guard;
        const int count = detail::count_keys(ec);
        for (int i = 0; !ec && i < count; ++i) {
            char found[OLVEX_PATH_SIZE + 1] = {};
            OLVEX_HANDLE handle = nullptr;
            if (OLVEX_Connect(&handle, found, i) != OLVEX_OK) continue;
            // Device paths are names of the object manager: case does not count.
            if (::lstrcmpiA(found, path.c_str()) == 0) return adopt(handle, found, ec);
            OLVEX_Disconnect(handle);
        }
        if (!ec) ec = detail::win32_error(ERROR_DEVICE_NOT_CONNECTED);
    }

    void open_serial_here(const std::string &serial, std::vector<std::string> &found, std::error_code &ec) {
        const detail::listing_guard guard;
        const int count = detail::count_keys(ec);
        OLVEX_HANDLE first = nullptr;
        for (int i = 0; !ec && i < count; ++i) {
            char path[OLVEX_PATH_SIZE + 1] = {};
            OLVEX_HANDLE handle = nullptr;
            if (OLVEX_Connect(&handle, path, i) != OLVEX_OK) continue;
            if (!same_serial(identify(path).serial, serial)) {
                OLVEX_Disconnect(handle);
                continue;
            }
            found.emplace_back(path);
            // The first stays open, so that a lone claimant is the key opened.
            if (!first) first = handle;
            else OLVEX_Disconnect(handle);
        }
        if (!ec && found.size() == 1) return adopt(first, found[0].c_str(), ec);
        if (first) OLVEX_Disconnect(first);
        if (!ec) ec = detail::win32_error(found.empty() ? ERROR_DEVICE_NOT_CONNECTED : ERROR_AMBIGUOUS_SYSTEM_DEVICE);
    }

    // Takes the library's connection over, or disconnects it: nothing is
    // left open when that fails.
    void adopt(OLVEX_HANDLE handle, const char *path, std::error_code &ec) noexcept {
        detail::channel *c = detail::channel::make(handle, path, ec);
        if (!c) {
            OLVEX_Disconnect(handle);
            return;
        }
        reset(close_grace);
        channel_ = c;
    }

    void reset(std::chrono::milliseconds grace) noexcept {
        if (channel_) std::exchange(channel_, nullptr)->close(detail::limit_ms(grace));
    }


    friend struct detail::access;
};

namespace detail {

// For the bindings' native part, which ends the connections of a runtime's
// thread together when that thread ends.
struct access {
    static channel *of(const connection &c) noexcept { return c.channel_; }
};

}  // namespace detail

// For a program that takes a key's lock itself (see olvexlib.h) and finds it
// abandoned (WAIT_ABANDONED): reads and drops whatever the key still owed the
// program that died holding it, for up to `grace`, as this header's own
// exchanges do. Call it while holding the lock, before sending.
inline void discard_owed(const std::string &path, std::chrono::milliseconds grace = close_grace) noexcept {
    detail::drain_owed(path, detail::steady::now() + grace);
}

// Ends every connection made through this header in this module, for the
// program's end, as the exit function does for return from main and exit():
// those another thread is closing are waited for too, within the same grace.
// Calls still waiting or running end with ERROR_OPERATION_ABORTED (their
// completions are no longer called; one already running is waited for a
// bounded time), answers still owed get up to `grace`, all at once, and every
// later exchange on those connections fails at once with ERROR_INVALID_HANDLE.
// The connections still close as usual; connections opened afterwards work
// as usual. For a program that ends in some other way it sees coming (a
// console being closed, a runtime's exit hook).
inline void close_all(std::chrono::milliseconds grace = close_grace) noexcept {
    detail::close_all(detail::limit_ms(grace.count() < 0 ? std::chrono::milliseconds(0) : grace));
}

}  // namespace olvex

#endif  // OLVEX_CONNECTION_HPP
