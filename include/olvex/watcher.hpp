// olvexlib.hpp: watching for keys coming and going. Include olvexlib.hpp, not
// this.
#ifndef OLVEX_WATCHER_HPP
#define OLVEX_WATCHER_HPP

#include <atomic>
#include <deque>
#include <functional>
#include <new>

#include "listing.hpp"

namespace olvex {

// A key attached or removed, as key_watcher reports it. The key's serial
// tells one key from another across unplugging and plugging back (a new
// attach time, maybe a new path): olvex::same_serial(e.key.serial, mine).
struct key_event {
    enum kind { attached, removed };
    kind what = attached;
    key_info key;
};

namespace detail {

// CM_Register_Notification's interface (cfgmgr32.h, Windows 8 and later),
// declared here since the function is looked up at run time.
struct cm_notify_filter {
    DWORD cbSize;
    DWORD Flags;
    int FilterType;  // 0: device interfaces of a class
    DWORD Reserved;
    union {
        GUID ClassGuid;
        WCHAR InstanceId[200];
    } u;
};
using cm_callback = DWORD(WINAPI *)(HANDLE, void *, int, void *, DWORD);
using cm_register = DWORD(WINAPI *)(cm_notify_filter *, void *, cm_callback, HANDLE *);
using cm_unregister = DWORD(WINAPI *)(HANDLE);

// What a key_watcher shares with its threads: the callback thread holds it
// until it ends, so that a callback may stop or destroy its watcher.
class watch_state {
public:
    using callback = std::function<void(const key_event &)>;

    // How long a burst of notifications is let settle before the one
    // re-listing it causes.
    static constexpr DWORD settle_ms = 50;
    // After a notification, keys that do not open yet are looked for at the
    // polling interval for this long.
    static constexpr DWORD follow_up_ms = 2000;

    static watch_state *make(callback cb, DWORD intervalMs, DWORD safetyNetMs, std::error_code &ec) {
        watch_state *w = new (std::nothrow) watch_state(std::move(cb), intervalMs, safetyNetMs);
        if (!w) {
            ec = win32_error(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        w->start(ec);
        if (ec) {
            w->stop();
            return nullptr;
        }
        return w;
    }

    bool notified() const noexcept { return notification_ != nullptr; }

    // Ends the watching; from a callback too. No callback starts after this
    // returns, and off the callback thread, none is running either.
    void stop() noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        stopping_ = true;
        queue_.clear();
        ::WakeAllConditionVariable(&changed_);
        ::ReleaseSRWLockExclusive(&lock_);
        // Unregistering waits for a notification callback under way, which
        // takes no lock of ours.
        if (notification_) unregister_(notification_);
        if (timer_) {
            ::SetThreadpoolTimer(timer_, nullptr, 0, 0);
            ::WaitForThreadpoolTimerCallbacks(timer_, TRUE);
            ::CloseThreadpoolTimer(timer_);
        }
        if (work_) {
            ::WaitForThreadpoolWorkCallbacks(work_, TRUE);
            ::CloseThreadpoolWork(work_);
        }
        const bool own = ::GetCurrentThreadId() == thread_id_;
        if (thread_ && !own) ::WaitForSingleObject(thread_, INFINITE);
        release();
    }

private:
    watch_state(callback cb, DWORD intervalMs, DWORD safetyNetMs)
        : callback_(std::move(cb)), interval_ms_(intervalMs), safety_net_ms_(safetyNetMs) {}
    ~watch_state() {
        if (thread_) ::CloseHandle(thread_);
    }

    void release() noexcept {
        if (::InterlockedDecrement(&refs_) == 0) delete this;
    }

    void start(std::error_code &ec) {
        work_ = ::CreateThreadpoolWork(&watch_state::relist_work, this, nullptr);
        timer_ = ::CreateThreadpoolTimer(&watch_state::tick, this, nullptr);
        if (!work_ || !timer_) {
            ec = last_error();
            return;
        }
        // Notifications first: a change during the first listing is not lost.
        if (HMODULE cm = ::LoadLibraryA("cfgmgr32.dll")) {
            const auto reg = reinterpret_cast<cm_register>(
                reinterpret_cast<void (*)()>(::GetProcAddress(cm, "CM_Register_Notification")));
            unregister_ = reinterpret_cast<cm_unregister>(
                reinterpret_cast<void (*)()>(::GetProcAddress(cm, "CM_Unregister_Notification")));
            cm_notify_filter filter = {};
            filter.cbSize = sizeof filter;
            filter.u.ClassGuid = key_interface;
            HANDLE h = nullptr;
            if (reg && unregister_ && reg(&filter, this, &watch_state::on_notification, &h) == 0 && h)
                notification_ = h;
            // cfgmgr32 stays loaded: the registration calls into it.
        }
        ::AcquireSRWLockExclusive(&relist_lock_);
        known_ = listed_keys(ec);
        for (const key_info &k : known_) queue_.push_back(key_event{key_event::attached, k});
        ::ReleaseSRWLockExclusive(&relist_lock_);
        if (ec) return;
        ::InterlockedIncrement(&refs_);
        thread_ = ::CreateThread(nullptr, 0, &watch_state::deliver, this, 0, &thread_id_);
        if (!thread_) {
            ::InterlockedDecrement(&refs_);
            ec = last_error();
            return;
        }
        arm(notified() ? safety_net_ms_ : interval_ms_);
    }

    void arm(DWORD periodMs) noexcept {
        ULARGE_INTEGER due;
        due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(periodMs) * 10000);
        FILETIME when;
        when.dwLowDateTime = due.LowPart;
        when.dwHighDateTime = due.HighPart;
        ::SetThreadpoolTimer(timer_, &when, periodMs, 0);
    }

    // Runs inside the platform's notification: asks for a re-listing, no more.
    static DWORD WINAPI on_notification(HANDLE, void *self, int, void *, DWORD) {
        watch_state *w = static_cast<watch_state *>(self);
        ::InterlockedExchange(&w->notifications_, 1);
        w->request();
        return 0;
    }

    static void CALLBACK tick(PTP_CALLBACK_INSTANCE, void *self, PTP_TIMER) {
        static_cast<watch_state *>(self)->request();
    }

    // One re-listing for any number of requests made before it begins.
    void request() noexcept {
        if (::InterlockedExchange(&pending_, 1) == 0) ::SubmitThreadpoolWork(work_);
    }

    static void CALLBACK relist_work(PTP_CALLBACK_INSTANCE, void *self, PTP_WORK) {
        static_cast<watch_state *>(self)->relist();
    }

    void relist() {
        // Work items may overlap; re-listings must not.
        ::AcquireSRWLockExclusive(&relist_lock_);
        relist_once();
        ::ReleaseSRWLockExclusive(&relist_lock_);
    }

    void relist_once() {
        const bool notified_now = ::InterlockedExchange(&notifications_, 0) != 0;
        if (notified_now) ::Sleep(settle_ms);
        ::InterlockedExchange(&pending_, 0);
        // The timer is set again only while not stopping, under the lock
        // that stop() takes to say so: it never outlives stop().
        ::AcquireSRWLockShared(&lock_);
        const bool stopping = stopping_;
        if (!stopping && notified_now) {
            follow_up_until_ = ::GetTickCount64() + follow_up_ms;
            arm(interval_ms_);
        } else if (!stopping && notified() && follow_up_until_ && ::GetTickCount64() >= follow_up_until_) {
            follow_up_until_ = 0;
            arm(safety_net_ms_);
        }
        ::ReleaseSRWLockShared(&lock_);
        if (stopping) return;
        std::error_code ec;
        std::vector<key_info> now = listed_keys(ec);
        if (ec) return;  // nothing known for sure this time
        std::vector<key_event> events;
        // A known key missing from the listing is gone only if its path says
        // so; a busy one is not.
        for (key_info &k : known_) {
            const bool listed = contains(now, k);
            if (!listed && !key_gone(k.path, ticks_of(to_filetime(k.attached))) && !same_path(now, k)) {
                now.push_back(k);
                continue;
            }
            if (!listed) events.push_back(key_event{key_event::removed, k});
        }
        for (const key_info &k : now)
            if (!contains(known_, k)) events.push_back(key_event{key_event::attached, k});
        known_.swap(now);
        if (events.empty()) return;
        ::AcquireSRWLockExclusive(&lock_);
        if (!stopping_) {
            for (key_event &e : events) queue_.push_back(std::move(e));
            ::WakeAllConditionVariable(&changed_);
        }
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // The same attachment: the same path, attached at the same time.
    static bool contains(const std::vector<key_info> &list, const key_info &k) {
        for (const key_info &x : list)
            if (x.attached == k.attached && ::lstrcmpiA(x.path.c_str(), k.path.c_str()) == 0) return true;
        return false;
    }
    static bool same_path(const std::vector<key_info> &list, const key_info &k) {
        for (const key_info &x : list)
            if (::lstrcmpiA(x.path.c_str(), k.path.c_str()) == 0) return true;
        return false;
    }

    // The watcher's own thread: callbacks, one at a time, in order.
    static DWORD WINAPI deliver(void *self) {
        watch_state *w = static_cast<watch_state *>(self);
        ::AcquireSRWLockExclusive(&w->lock_);
        for (;;) {
            while (w->queue_.empty() && !w->stopping_) ::SleepConditionVariableSRW(&w->changed_, &w->lock_, INFINITE, 0);
            if (w->stopping_) break;
            key_event e = std::move(w->queue_.front());
            w->queue_.pop_front();
            ::ReleaseSRWLockExclusive(&w->lock_);
            w->callback_(e);
            ::AcquireSRWLockExclusive(&w->lock_);
        }
        ::ReleaseSRWLockExclusive(&w->lock_);
        w->release();
        return 0;
    }

    callback callback_;
    const DWORD interval_ms_, safety_net_ms_;
    volatile LONG refs_ = 1;
    volatile LONG pending_ = 0;
    volatile LONG notifications_ = 0;
    PTP_WORK work_ = nullptr;
    PTP_TIMER timer_ = nullptr;
    HANDLE notification_ = nullptr;
    cm_unregister unregister_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD thread_id_ = 0;
    // Only the re-listing, which never runs twice at once, touches these.
    std::vector<key_info> known_;
    ULONGLONG follow_up_until_ = 0;
    SRWLOCK relist_lock_ = SRWLOCK_INIT;
    // Under lock_:
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::deque<key_event> queue_;
    bool stopping_ = false;
};

}  // namespace detail

// Watches for keys coming and going, and calls `callback` on a thread of the
// watcher's own, one call at a time:
//   - first `attached` for every key already present, oldest first;
//   - then one event for each change, as the listings show them: removals,
//     then attachments oldest first. A key is reported attached once it can
//     be opened; a key unplugged and plugged back between two listings is
//     reported removed, then attached (its attach time has changed).
// A callback may open and use the key, and may call stop() or destroy the
// watcher. Where the platform notifies of device interfaces
// (CM_Register_Notification), each notification asks for one re-listing on
// the thread pool, a burst of them settling for 50 ms into one, and a listing
// also runs every `safety_net` in case one was missed; elsewhere (Wine, say)
// the watcher lists the keys every `interval`. notified() tells which. A
// listing opens each key for a moment: a few milliseconds per key.
class key_watcher {
public:
    using callback = std::function<void(const key_event &)>;
    static constexpr std::chrono::milliseconds default_interval{250};
    static constexpr std::chrono::milliseconds safety_net{5000};

    key_watcher(callback cb, std::error_code &ec, std::chrono::milliseconds interval = default_interval) {
        start(std::move(cb), interval, ec);
    }
#if OLVEXLIB_HPP_EXCEPTIONS
    explicit key_watcher(callback cb, std::chrono::milliseconds interval = default_interval) {
        std::error_code ec;
        start(std::move(cb), interval, ec);
        detail::throw_if(ec, "olvex: cannot watch for keys");
    }
#endif
    key_watcher(const key_watcher &) = delete;
    key_watcher &operator=(const key_watcher &) = delete;
    ~key_watcher() { stop(); }

    // No callback starts once this returns; called off the watcher's thread,
    // none is running either.
    void stop() noexcept {
        if (detail::watch_state *s = state_.exchange(nullptr)) s->stop();
    }
    bool is_watching() const noexcept { return state_.load() != nullptr; }
    // Whether changes come from the platform's notifications (else polling).
    bool notified() const noexcept {
        const detail::watch_state *s = state_.load();
        return s && s->notified();
    }

private:
    void start(callback cb, std::chrono::milliseconds interval, std::error_code &ec) {
        ec.clear();
        if (!cb || interval.count() <= 0) {
            ec = detail::win32_error(ERROR_INVALID_PARAMETER);
            return;
        }
        const long long ms = interval.count() < 0xFFFFFFFELL ? interval.count() : 0xFFFFFFFELL;
        state_ = detail::watch_state::make(std::move(cb), static_cast<DWORD>(ms),
                                           static_cast<DWORD>(safety_net.count()), ec);
    }

    std::atomic<detail::watch_state *> state_{nullptr};
};

}  // namespace olvex

#endif  // OLVEX_WATCHER_HPP
