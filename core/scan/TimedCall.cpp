#include "core/scan/TimedCall.h"

#include <set>
#include <system_error>
#include <thread>

namespace svl {

namespace {

// Keys of calls that have not returned. Never destroyed: a thread stuck in a dead mount
// may still release its key while the process exits.
struct RunningCalls {
    std::mutex mutex;
    std::set<std::string> keys;
};

RunningCalls& runningCalls() {
    static auto* calls = new RunningCalls;
    return *calls;
}

}  // namespace

namespace timedcall_detail {

bool claim(const std::string& key) {
    RunningCalls& calls = runningCalls();
    std::lock_guard lock(calls.mutex);
    return calls.keys.insert(key).second;
}

void release(const std::string& key) {
    RunningCalls& calls = runningCalls();
    std::lock_guard lock(calls.mutex);
    calls.keys.erase(key);
}

bool startDetached(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace timedcall_detail

PathCallLimit pathCallLimit(const std::string& what, const std::string& path, const std::vector<MountEntry>& mounts) {
    const MountEntry* mount = mountContaining(mounts, path);
    const auto limit = mount && isNetworkFsType(mount->fsType) ? kNetworkAnswerLimit : kLocalAnswerLimit;
    return {what + ":" + (mount ? mount->mountPoint : path), std::chrono::steady_clock::now() + limit};
}

}  // namespace svl
