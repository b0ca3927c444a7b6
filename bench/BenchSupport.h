// Helpers shared by the benchmark programs: a digest that compares two trees whatever
// their node numbering, and a way to measure work in a child process of its own (so
// every run has its own peak RSS and nothing it leaves behind affects the next).
#pragma once

#include "core/tree/ScanTree.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <type_traits>

namespace bench {

inline uint64_t mixBits(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
}

// Order-independent digest of every node's path and figures. Which name of a hard-linked file
// carries its allocation depends on timing, so that flag and the allocation are left out.
inline uint64_t treeDigest(const svl::ScanTree& tree) {
    uint64_t digest = 0;
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        const svl::ScanNode& node = tree.node(id);
        uint64_t h = std::hash<std::string>()(tree.fullPath(id));
        h = mixBits(h ^ node.size);
        h = mixBits(h ^ uint64_t(node.modified));
        h = mixBits(h ^ (node.flags & ~svl::NodeFlag::ExtraHardLink));
        h = mixBits(h ^ (uint64_t(node.filesBelow) << 32 | node.foldersBelow));
        digest += h;
    }
    return digest;
}

// Runs `measure` in a child process and passes its result back through a pipe. False when the
// child failed; `usage`, when given, receives the child's resource use (ru_maxrss: peak RSS).
template <typename Result>
bool runInChild(const std::function<Result()>& measure, Result* out, rusage* usage = nullptr) {
    static_assert(std::is_trivially_copyable_v<Result>, "the result crosses a pipe as bytes");
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        const Result r = measure();
        const ssize_t written = write(fds[1], &r, sizeof r);
        _exit(written == ssize_t(sizeof r) ? 0 : 1);
    }
    close(fds[1]);
    const ssize_t got = read(fds[0], out, sizeof *out);
    close(fds[0]);
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid)
        return false;
    if (usage)
        *usage = ru;
    return got == ssize_t(sizeof *out) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace bench
