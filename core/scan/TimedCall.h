// Calls that may wait on a dead mount, made on a detached thread of their own while the caller
// waits at most a time limit: short for network and FUSE file systems, whose servers may never
// answer. While an earlier call with the same key is still stuck, no second one is started and
// the caller gets no answer at once, so a dead mount holds one thread however often it is asked.
// Threads: any; the calls run on their own threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/scan/MountTable.h"
#include "core/scan/MountWatch.h"

namespace svl {

inline constexpr std::chrono::milliseconds kNetworkAnswerLimit{500};
inline constexpr std::chrono::milliseconds kLocalAnswerLimit{3000};


// The key and the deadline of a question `what` about `path`: the limit is that of the type of
// the mount that covers the path in `mounts` (by text, which asks no file system), and
// questions of one kind about paths on one mount share a key.
struct PathCallLimit {
    std::string key;
    std::chrono::steady_clock::time_point deadline;
};
[[nodiscard]] PathCallLimit pathCallLimit(const std::string& what, const std::string& path,
                                          const std::vector<MountEntry>& mounts);

namespace timedcall_detail {
// True when no call with `key` is running (and marks it running).
bool claim(const std::string& key);
void release(const std::string& key);
bool startDetached(std::function<void()> body);
}  // namespace timedcall_detail

// One call of `fn` on its own thread. `key` names what it touches; when a call with the
// same key has not returned yet, this one does not start and `wait` gives nothing.
template <class T>
class TimedCall {
public:
    TimedCall(const std::string& key, std::function<T()> fn);
    // The result when the call ends before `deadline`, else nothing (the thread is left to finish).
    std::optional<T> wait(std::chrono::steady_clock::time_point deadline);

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<T> result;
        bool finished = false;
    };
    std::shared_ptr<Shared> m_shared;
};

template <class T>
TimedCall<T>::TimedCall(const std::string& key, std::function<T()> fn) {
    if (!timedcall_detail::claim(key))
        return;
    auto shared = std::make_shared<Shared>();
    const bool started = timedcall_detail::startDetached([shared, key, fn = std::move(fn)] {
        std::optional<T> result;
        try {
            result = fn();
        } catch (...) {
        }
        timedcall_detail::release(key);
        std::lock_guard lock(shared->mutex);
        shared->result = std::move(result);
        shared->finished = true;
        shared->done.notify_all();
    });
    if (started)
        m_shared = std::move(shared);
    else
        timedcall_detail::release(key);
}

template <class T>
std::optional<T> TimedCall<T>::wait(std::chrono::steady_clock::time_point deadline) {
    if (!m_shared)
        return std::nullopt;
    std::unique_lock lock(m_shared->mutex);
    m_shared->done.wait_until(lock, deadline, [this] { return m_shared->finished; });
    return m_shared->finished ? std::move(m_shared->result) : std::nullopt;
}

}  // namespace svl
