// The one owner of the answer limits: every call that may wait on a file system (a statx, an
// open, a listing, a lookup) is made inside a watch on the mount it touches. A mount stops
// answering only when calls to it are outstanding and none has been answered for its limit
// (network and FUSE mounts 5 s, local disks 15 s): a slow mount that keeps answering is slow,
// not dead. A watchdog thread gives up the calls of a mount silent for its limit: their
// callers learn it through their task or walker, and later calls to it are refused at once
// until one of its stuck calls comes back.
// Threads: any. The watch record is process-wide (one place, here); a forked child starts afresh.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace svl {

// The device number (st_dev) of the file system a call touches.
using MountKey = uint64_t;
inline constexpr MountKey kUnknownMount = ~MountKey(0);

struct AnswerLimits {
    std::chrono::milliseconds network{5000};  // network and FUSE file systems
    std::chrono::milliseconds local{15000};   // local disks, which may take seconds to spin up
};
// The limits in force. Tests shorten them through setAnswerLimits.
[[nodiscard]] AnswerLimits answerLimits();
void setAnswerLimits(AnswerLimits limits);

// Types served over a network or by a user-space server (nfs, cifs, sshfs, every FUSE type ...).
[[nodiscard]] bool isNetworkFsType(const std::string& type);

// The mount key of an open descriptor (O_PATH ones too), asking the file system nothing
// (AT_STATX_DONT_SYNC); kUnknownMount when it cannot be told.
[[nodiscard]] MountKey mountOfDescriptor(int fd);

// Told when a call of the thread it is bound to is given up. Called on the watchdog thread.
// `abandoned`, once set by the owner, makes every later watched call of its threads throw
// CallGivenUp through watchedOrThrow.
class GiveUpSink {
public:
    virtual ~GiveUpSink() = default;
    virtual void givenUp() = 0;
    std::atomic<bool> abandoned{false};
};

// Thrown by watchedOrThrow when the thread's call was given up or its work abandoned: the
// thread is to unwind touching nothing its owner may have let go.
struct CallGivenUp {};

// Gives up the calls in progress of every thread bound to `sink` (as the watchdog would).
void giveUpCallsBoundTo(const GiveUpSink* sink);

// Binds the calling thread's calls to `sink` (null unbinds); the sink is kept alive while
// bound. Returns the sink bound before.
std::shared_ptr<GiveUpSink> bindThreadToSink(std::shared_ptr<GiveUpSink> sink);
// The sink the calling thread is bound to, or null.
[[nodiscard]] std::shared_ptr<GiveUpSink> threadSink();

namespace mountwatch_detail {
struct Slot;
Slot* threadSlot();
// Returns false when the call must not be made: the mount was given up and still holds calls.
bool beginCall(Slot* slot, MountKey mount);
// Returns false when the call was given up while it waited (its result is to be dropped).
bool endCall(Slot* slot);
// Gives up the call `slot` is in now; false when it is in none.
bool giveUpCall(Slot* slot);
}  // namespace mountwatch_detail

// One watched call on the calling thread, from construction to destruction (or done()).
class WatchedCall {
public:
    explicit WatchedCall(MountKey mount)
        : m_slot(mountwatch_detail::threadSlot()), m_made(mountwatch_detail::beginCall(m_slot, mount)) {}
    ~WatchedCall() { done(); }
    WatchedCall(const WatchedCall&) = delete;
    WatchedCall& operator=(const WatchedCall&) = delete;
    // False: the mount does not answer; do not make the call.
    bool allowed() const { return m_made; }
    // Ends the watch; false when the call had been given up meanwhile.
    bool done() {
        if (m_made) {
            m_made = false;
            m_answered = mountwatch_detail::endCall(m_slot);
        }
        return m_answered;
    }

private:
    mountwatch_detail::Slot* m_slot;
    bool m_made;
    bool m_answered = true;
};

// The errno a refused or given-up call reports: the mount does not answer.
inline constexpr int kNoAnswerErrno = ETIMEDOUT;

namespace mountwatch_detail {
bool threadAbandoned();
}

// Runs `fn` inside a watch on `mount`: its result, or nothing with errno = kNoAnswerErrno when
// the call was refused (the mount does not answer). Throws CallGivenUp when the call was given
// up while it waited or the thread's work was abandoned.
template <class F>
auto watchedOrThrow(MountKey mount, F&& fn) -> std::optional<decltype(fn())> {
    if (mountwatch_detail::threadAbandoned())
        throw CallGivenUp{};
    WatchedCall call(mount);
    if (!call.allowed()) {
        errno = kNoAnswerErrno;
        return std::nullopt;
    }
    auto result = fn();
    const int saved = errno;
    if (!call.done() || mountwatch_detail::threadAbandoned())
        throw CallGivenUp{};
    errno = saved;
    return result;
}

// Runs `fn` inside a watch on `mount`: its result, or nothing with errno = kNoAnswerErrno when
// the mount does not answer (refused, or given up while it waited).
template <class F>
auto watchedCall(MountKey mount, F&& fn) -> std::optional<decltype(fn())> {
    try {
        return watchedOrThrow(mount, std::forward<F>(fn));
    } catch (const CallGivenUp&) {
        errno = kNoAnswerErrno;
        return std::nullopt;
    }
}

// Opens `path` (O_PATH, links followed) one name at a time, each lookup watched on the mount
// it asks, so a link into a mount that does not answer charges that mount, not the one the
// link lies on. A descriptor (owned by the caller) or -1 with errno (kNoAnswerErrno when a
// mount does not answer). `followLast` false leaves a last link unfollowed.
[[nodiscard]] int openWatched(const std::string& path, bool followLast = true);

namespace mountwatch_detail {
bool startDetached(std::function<void()> body);
}

// A piece of work on a detached thread of its own whose watched calls may be given up: the
// waiter is released when it ends, when one of its calls is given up (no answer), or when
// it is cancelled; the thread itself is left to finish whenever the kernel lets it.
template <class T>
class WatchedTask {
public:
    enum class Outcome { Running, Done, NoAnswer, Cancelled };

    WatchedTask() = default;
    // `finished`, when set, is called once on the task's or the watchdog's thread when the
    // outcome is known (not after cancel()).
    explicit WatchedTask(std::function<T()> fn, std::function<void()> finished = {}) { start(std::move(fn), std::move(finished)); }
    ~WatchedTask() { cancel(); }
    WatchedTask(const WatchedTask&) = delete;
    WatchedTask& operator=(const WatchedTask&) = delete;

    void start(std::function<T()> fn, std::function<void()> finished = {});
    // Waits until the outcome is known (or `until`); the result when Done.
    std::optional<T> wait(std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max());
    Outcome outcome() const;
    // The waiter leaves; the work goes on unseen.
    void cancel();

private:
    struct State : GiveUpSink {
        mutable std::mutex mutex;
        std::condition_variable changed;
        Outcome outcome = Outcome::Running;
        std::optional<T> result;
        std::function<void()> finished;
        void settle(Outcome o, std::optional<T> value) {
            std::function<void()> notify;
            {
                std::lock_guard lock(mutex);
                if (outcome != Outcome::Running)
                    return;
                outcome = o;
                result = std::move(value);
                notify = std::move(finished);
                changed.notify_all();
            }
            if (notify)
                notify();
        }
        void givenUp() override { settle(Outcome::NoAnswer, std::nullopt); }
    };
    std::shared_ptr<State> m_state;
};

template <class T>
void WatchedTask<T>::start(std::function<T()> fn, std::function<void()> finished) {
    cancel();
    auto state = std::make_shared<State>();
    state->finished = std::move(finished);
    m_state = state;
    auto body = [state, fn = std::move(fn)] {
        std::shared_ptr<GiveUpSink> before = bindThreadToSink(state);
        std::optional<T> value;
        try {
            value = fn();
        } catch (...) {
        }
        bindThreadToSink(std::move(before));
        state->settle(value ? Outcome::Done : Outcome::NoAnswer, std::move(value));
    };
    if (!mountwatch_detail::startDetached(body))
        body();  // out of threads: the work runs here, watched but not left behind
}

template <class T>
std::optional<T> WatchedTask<T>::wait(std::chrono::steady_clock::time_point until) {
    if (!m_state)
        return std::nullopt;
    std::unique_lock lock(m_state->mutex);
    m_state->changed.wait_until(lock, until, [this] { return m_state->outcome != Outcome::Running; });
    if (m_state->outcome != Outcome::Done)
        return std::nullopt;
    if constexpr (std::is_copy_constructible_v<T>)
        return m_state->result;
    else
        return std::move(m_state->result);  // a move-only result goes to the one waiter
}

template <class T>
typename WatchedTask<T>::Outcome WatchedTask<T>::outcome() const {
    if (!m_state)
        return Outcome::Cancelled;
    std::lock_guard lock(m_state->mutex);
    return m_state->outcome;
}

template <class T>
void WatchedTask<T>::cancel() {
    if (!m_state)
        return;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->finished = nullptr;
        if (m_state->outcome == Outcome::Running)
            m_state->outcome = Outcome::Cancelled;
        m_state->changed.notify_all();
    }
    m_state.reset();
}

// Runs `fn` as a watched task and waits for it: its result, or nothing when a mount it
// touched did not answer.
template <class F>
auto runWatched(F&& fn) -> std::optional<decltype(fn())> {
    WatchedTask<decltype(fn())> task(std::forward<F>(fn));
    return task.wait();
}

}  // namespace svl
