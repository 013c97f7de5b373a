// Olvexlib for C++17: the four calls of olvexlib.h behind a connection that
// closes itself, exchanges that size their own response buffer, errors as
// std::error_code, an optional time limit per exchange, exchanges started
// and cancelled one by one, keys named by their device path, and a watcher
// for keys coming and going.
//
//   for (const olvex::key_info &k : olvex::keys())             // every attached key; k.state
//       std::cout << k.path << '\n';                           // says whether it can be opened
//   olvex::connection key(path);                               // or key(0): index 0
//   auto mine = olvex::connection::open_serial("SN0001");       // or by the key's serial
//   olvex::response r = key.exchange(command);                 // any byte container
//   r = key.exchange(command, std::chrono::milliseconds(500));  // or give up after 500 ms
//   // r.status is the key's status word, r.body its answer
//   olvex::call_id call = key.start(cmd, n, limit, body, done, context, ec);  // done reports it
//   key.cancel(call);                                          // that call alone
//   key.start(cmd, n, limit, [&](const std::error_code &ec, olvex::response r) { ... }, ec);
//   std::future<olvex::response> f = key.exchange_async(command, limit);
//   olvex::key_watcher w([](const olvex::key_event &e) { /* attached, removed */ });
//
// Errors: every operation has a throwing form (std::system_error) and a form
// taking std::error_code& that reports instead, as std::filesystem does. Codes
// are in olvex::category() (olvex/errors.hpp): value() is the Windows error
// code, message() says what it means here and what to do, and each compares
// equal to its std::errc (std::errc::timed_out for 258 and 1460...). The
// cause the library names through GetLastError(), or one of
//   ERROR_INVALID_PARAMETER  a command longer than olvex::max_command, a
//                            time limit that is not positive
//   ERROR_INVALID_HANDLE     an exchange on a connection that is not open (or
//                            was ended by the program's end)
//   ERROR_TIMEOUT            the key did not answer within the time limit
//   WAIT_TIMEOUT             another thread or program held the key's lock
//                            for the whole time limit; nothing was sent. When
//                            it was this connection's own earlier exchange,
//                            still reading its late answer, the message says
//                            so (the value stays 258)
//   ERROR_OPERATION_ABORTED  cancel() or close ended a timed or started
//                            exchange, or CancelSynchronousIo on its thread
//                            an untimed one
//   ERROR_DEVICE_NOT_CONNECTED
//                            the key has been removed (its path no longer
//                            opens, or a key attached since answers there),
//                            or no attached key has that path or serial
//   ERROR_AMBIGUOUS_SYSTEM_DEVICE
//                            several attached keys have the serial asked
//                            for (connection::open_serial names them)
// How a time limit keeps the key's late answer from ever reaching another
// exchange, and what happens when a program ends, is told at class
// connection (olvex/connection.hpp).
// Without exceptions (no __cpp_exceptions), only the error_code forms exist.
//
// Threads: exchanges on one connection may run from many threads at once.
// Listing and opening through this header take one lock for the whole
// process, so they may run on any thread, beside a key_watcher's listings and
// those of other modules that include this header; calls made to the C
// functions directly in the same program do not take it.
//
// The parts, each in one place: olvex/common.hpp (errors, Win32 helpers, the
// rules shared with the library), olvex/identity.hpp (what a path says a key
// is), olvex/listing.hpp, olvex/channel.hpp (the
// calls a connection carries), olvex/connection.hpp, olvex/watcher.hpp.
#ifndef OLVEXLIB_HPP
#define OLVEXLIB_HPP

// This header's version, the same as Olvexlib.dll's file version (1.0.4.0)
// and Olvexkit.dll's.
#define OLVEXLIB_HPP_VERSION_MAJOR 1
#define OLVEXLIB_HPP_VERSION_MINOR 0
#define OLVEXLIB_HPP_VERSION_PATCH 4
#define OLVEXLIB_HPP_VERSION "1.0.4"

#include "olvex/errors.hpp"
#include "olvex/common.hpp"
#include "olvex/listing.hpp"
#include "olvex/channel.hpp"
#include "olvex/connection.hpp"
#include "olvex/watcher.hpp"

#endif  // OLVEXLIB_HPP
