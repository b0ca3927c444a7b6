#include "core/scan/RootProbe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "core/scan/TimedCall.h"

namespace svl {

namespace {

constexpr unsigned kRootStatMask = STATX_TYPE | STATX_MTIME | STATX_INO | STATX_SIZE | STATX_BLOCKS;

// The examinations of one probe, shared with their threads, which may outlive the probe.
struct ProbeBatch {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<std::optional<ProbedRoot>> results;
};

// The absolute form of a path, by text only (asking the file system could wait).
std::string absoluteByText(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

}  // namespace

RootReach reachOfError(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return RootReach::Missing;
    case EACCES:
    case EPERM:
        return RootReach::Denied;
    default:
        // A server that is gone (ENOTCONN), an input-output error ...: nothing to read there.
        return RootReach::NoAnswer;
    }
}

ProbedRoot examineRoot(const std::string& path) {
    ProbedRoot probed;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, kRootStatMask, &probed.st) != 0) {
        probed.reach = reachOfError(errno);
        return probed;
    }
    probed.top = resolveScanRoot(path, probed.st);
    if (S_ISDIR(probed.st.stx_mode)) {
        // Attributes may come from what the kernel kept; listing asks the file system itself.
        const int fd = probed.top.handle >= 0 ? ::openat(probed.top.handle, ".", O_RDONLY | O_CLOEXEC)
                                              : ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            probed.reach = reachOfError(errno);
            probed.top = ScanRoot();
            return probed;
        }
        ::close(fd);
    }
    probed.reach = RootReach::Reached;
    return probed;
}

std::vector<ProbedRoot> probeRoots(const std::vector<std::string>& paths, const std::vector<MountEntry>& mounts) {
    const size_t n = paths.size();
    auto batch = std::make_shared<ProbeBatch>();
    batch->results.resize(n);
    // Roots grouped by the mount that covers them, one thread and one deadline per group.
    struct Group {
        std::vector<size_t> members;
        std::chrono::steady_clock::time_point deadline;
        bool started = false;
        bool noThread = false;  // no thread could be started: examined here, without a limit
    };
    std::map<std::string, Group> groups;
    for (size_t i = 0; i < n; ++i) {
        const PathCallLimit limit = pathCallLimit("root", absoluteByText(paths[i]), mounts);
        Group& group = groups[limit.key];
        if (group.members.empty())
            group.deadline = limit.deadline;
        group.members.push_back(i);
    }
    for (auto& entry : groups) {
        const std::string& key = entry.first;
        Group& group = entry.second;
        // A root on a mount still stuck from an earlier probe does not answer now either.
        if (!timedcall_detail::claim(key))
            continue;
        group.started = timedcall_detail::startDetached([batch, key, members = group.members, paths] {
            for (size_t k = 0; k < members.size(); ++k) {
                ProbedRoot probed = examineRoot(paths[members[k]]);
                // Free before the last answer is seen, so a probe that follows finds the mount free.
                if (k + 1 == members.size())
                    timedcall_detail::release(key);
                std::lock_guard lock(batch->mutex);
                batch->results[members[k]] = std::move(probed);
                batch->done.notify_all();
            }
        });
        if (!group.started) {
            timedcall_detail::release(key);
            group.noThread = true;
        }
    }
    std::vector<ProbedRoot> out(n);
    // Out of threads the walk runs on this thread too; such roots are examined here as before.
    for (auto& [key, group] : groups)
        if (group.noThread)
            for (size_t i : group.members)
                out[i] = examineRoot(paths[i]);
    std::unique_lock lock(batch->mutex);
    for (auto& entry : groups) {
        const Group& group = entry.second;
        if (!group.started)
            continue;
        batch->done.wait_until(lock, group.deadline, [&] {
            for (size_t i : group.members)
                if (!batch->results[i])
                    return false;
            return true;
        });
        for (size_t i : group.members)
            if (batch->results[i])
                out[i] = std::move(*batch->results[i]);
    }
    return out;
}

}  // namespace svl
