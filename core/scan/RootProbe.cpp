#include "core/scan/RootProbe.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>

#include "core/scan/MountTable.h"
#include "core/scan/MountWatch.h"

namespace svl {

namespace {

constexpr unsigned kRootStatMask = STATX_TYPE | STATX_MTIME | STATX_INO | STATX_SIZE | STATX_BLOCKS;

// The statx of what a descriptor holds, watched on its mount; errno when it fails.
bool statWatched(int fd, struct statx& st) {
    return watchedCall(mountOfDescriptor(fd), [&] { return statx(fd, "", AT_EMPTY_PATH, kRootStatMask, &st); })
               .value_or(-1) == 0;
}

bool onNetwork(const struct statx& st) {
    for (const MountEntry& entry : readMountInfo())
        if (entry.major == st.stx_dev_major && entry.minor == st.stx_dev_minor) {
            // A user-space driver of a local disk (ntfs-3g) reads that disk, no server.
            const bool blockDriver = entry.fsType == "fuseblk" || entry.fsType == "fuse.ntfs-3g";
            if (blockDriver && entry.source.rfind("/dev/", 0) == 0)
                return false;
            return isNetworkFsType(entry.fsType);
        }
    return false;
}

}  // namespace

std::string pathOfDescriptor(int fd) {
    std::string buffer(PATH_MAX, '\0');
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(self.c_str(), buffer.data(), buffer.size());
    if (n <= 0 || size_t(n) >= buffer.size())
        return {};
    buffer.resize(size_t(n));
    return buffer;
}

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
        // A server that is gone (ENOTCONN), one that does not answer (ETIMEDOUT), an
        // input-output error ...: nothing to read there.
        return RootReach::NoAnswer;
    }
}

ProbedRoot examineRoot(const std::string& path) {
    ProbedRoot probed;
    const auto fail = [&probed] {
        probed.reach = reachOfError(errno);
        probed.top = ScanRoot();
        return std::move(probed);
    };
    // The path itself, a last link not followed: its own figures.
    const int own = openWatched(path, false);
    if (own < 0)
        return fail();
    const ScanRoot ownHandle(path, own);
    if (!statWatched(own, probed.st))
        return fail();
    probed.network = onNetwork(probed.st);
    const bool link = S_ISLNK(probed.st.stx_mode);
    if (!link && !S_ISDIR(probed.st.stx_mode)) {
        probed.top = ScanRoot(path, -1);
        probed.reach = RootReach::Reached;
        return probed;
    }
    if (link) {
        // A link is followed at the root only, each lookup charged to the mount it asks.
        const int target = openWatched(path, true);
        if (target < 0)
            return fail();
        ScanRoot followed(pathOfDescriptor(target), target);
        struct statx st {};
        if (!statWatched(target, st))
            return fail();
        probed.followedMode = st.stx_mode;
        if (!S_ISDIR(st.stx_mode) || followed.walkPath.empty()) {
            probed.top = ScanRoot(path, -1);
            probed.reach = RootReach::Reached;
            return probed;
        }
        probed.st = st;
        probed.network = onNetwork(st);
        probed.top = std::move(followed);
    } else {
        probed.top = ScanRoot(path, ::fcntl(own, F_DUPFD_CLOEXEC, 0));
    }
    // Attributes may come from what the kernel kept; listing asks the file system itself.
    const int handle = probed.top.handle;
    const int listed = watchedCall(mountOfDescriptor(handle), [handle] {
                           return ::openat(handle, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                       }).value_or(-1);
    if (listed < 0)
        return fail();
    ::close(listed);
    probed.reach = RootReach::Reached;
    return probed;
}

std::vector<ProbedRoot> probeRoots(const std::vector<std::string>& paths, const std::atomic<bool>* cancelled) {
    std::vector<std::unique_ptr<WatchedTask<ProbedRoot>>> tasks;
    tasks.reserve(paths.size());
    for (const std::string& path : paths)
        tasks.push_back(std::make_unique<WatchedTask<ProbedRoot>>([path] { return examineRoot(path); }));
    std::vector<ProbedRoot> out(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        for (;;) {
            auto result = tasks[i]->wait(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
            if (result) {
                out[i] = std::move(*result);
                break;
            }
            if (tasks[i]->outcome() != WatchedTask<ProbedRoot>::Outcome::Running)
                break;  // did not answer
            if (cancelled && cancelled->load())
                break;
        }
    }
    return out;
}

}  // namespace svl
