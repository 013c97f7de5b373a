// A tour of olvexlib.hpp on the oldest attached key: listing, exchanges with
// and without a time limit, a started call, a transaction, a key known by its
// path and a watcher. The README quotes the parts between the [name] and [/name] lines.
#include <olvexlib.hpp>

#include <cstdio>
#include <iostream>

namespace {

HANDLE g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);

void WINAPI done(void *, olvex::call_id call, DWORD error, int status, int length) {
    std::printf("call %llu: error %lu, status %04X, %d byte(s)\n", static_cast<unsigned long long>(call), error,
                static_cast<unsigned>(status), length);
    SetEvent(g_finished);
}

}  // namespace

int main() try {
    const std::vector<std::uint8_t> command{0x80, 0xCA}, hello{0x01};
    const std::vector<std::uint8_t> select{0x00, 0xA4, 0x04, 0x00}, verify{0x00, 0x20, 0x00, 0x81};
    void *context = nullptr;
    // [first]
    for (const std::string &path : olvex::key_paths()) std::cout << path << '\n';  // oldest first
    olvex::connection key(0);                                   // disconnects when it goes
    olvex::response r = key.exchange(std::vector<std::uint8_t>{0x80, 0xCA, 0x9F, 0x7F, 0x00});
    std::printf("status %04X, %zu bytes\n", r.status, r.body.size());

    std::error_code ec;                                         // or without exceptions
    r = key.exchange(command, std::chrono::milliseconds(500), ec);
    if (ec.value() == ERROR_TIMEOUT) { /* no answer within 500 ms; the key's late answer is dropped */ }
    // [/first]
    std::printf("timed: %s, status %04X\n", ec ? ec.message().c_str() : "answered", r.status);

    // [started]
    // done: void WINAPI done(void *context, olvex::call_id call, DWORD error, int status, int length), on the pool
    unsigned char body[olvex::max_response_body];                // valid until done() runs
    olvex::call_id call = key.start(command.data(), command.size(), std::chrono::seconds(2), body, done, context, ec);
    key.cancel(call);                                             // that call alone: ERROR_OPERATION_ABORTED
    // [/started]
    WaitForSingleObject(g_finished, INFINITE);

    // [transaction]
    {
        olvex::transaction tx = key.begin(std::chrono::seconds(2));  // the key's lock, kept; WAIT_TIMEOUT if not had
        tx.exchange(select);                                         // no other program's command comes between
        r = tx.exchange(verify, std::chrono::milliseconds(500));     // these two
    }                                                                // ended: the lock goes back
    // [/transaction]
    std::printf("transaction: status %04X, %zu bytes\n", r.status, r.body.size());

    // [keys]
    std::string path = olvex::keys().at(0).path;                 // remember the key by its path
    olvex::key_watcher watcher([&](const olvex::key_event &e) {  // on the watcher's own thread
        if (e.what == olvex::key_event::attached && e.key.path == path)
            olvex::connection(path).exchange(hello);            // it is back: open it again
    });
    try { key.exchange(command); }
    catch (const std::system_error &e) { if (e.code().value() == ERROR_DEVICE_NOT_CONNECTED) { /* removed */ } }
    // [/keys]
    std::printf("watching through %s; done\n", watcher.notified() ? "notifications" : "listings");
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "tour: %s\n", e.what());
    return 1;
}
