// Helpers shared by the benchmark programs: a digest that compares two trees whatever
// their node numbering, and a way to measure work in a child process of its own (so
// every run has its own peak RSS and nothing it leaves behind affects the next).
#pragma once

#include "core/tree/ScanTree.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace bench {

// Runs a shell command; its exit status, or -1.
inline int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
}

// A shell command's standard output without trailing blanks and line feeds.
inline std::string output(const std::string& command) {
    std::string out;
    if (FILE* f = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, f))
            out += buffer;
        pclose(f);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

inline void dropCaches() { run("sync; echo 3 > /proc/sys/vm/drop_caches"); }

// Creates `files` files in `folders` folders (folders / 10 x 10) below `top` with 8 threads:
// mostly empty, every 50th with 1 to 16 KiB of data, every 1000th with a second name; with
// `spreadTimes`, modification times spread over 40 years.
inline void populate(const std::string& top, uint64_t files, bool spreadTimes, int folders = 1000) {
    constexpr int kSub = 10;
    const int kTop = std::max(1, folders / kSub);
    const uint64_t perFolder = (files + uint64_t(kTop) * kSub - 1) / (uint64_t(kTop) * kSub);
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&]() {
            std::vector<char> data(16384, 'x');
            for (int folder = next++; folder < kTop * kSub; folder = next++) {
                std::string dir = top + "/d" + std::to_string(folder / kSub);
                mkdir(dir.c_str(), 0755);
                dir += "/s" + std::to_string(folder % kSub);
                mkdir(dir.c_str(), 0755);
                for (uint64_t k = 0; k < perFolder; ++k) {
                    const uint64_t n = uint64_t(folder) * perFolder + k;
                    const std::string file = dir + "/file-" + std::to_string(n) + ".dat";
                    const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                    if (fd < 0)
                        continue;
                    if (n % 50 == 0 && write(fd, data.data(), 1024 * (1 + n % 16)) < 0)
                        std::perror("write");
                    close(fd);
                    if (spreadTimes) {
                        const time_t when = time_t(1500000000 - int64_t(n % 40) * 31557600);
                        timespec times[2] = {{when, 0}, {when, 0}};
                        utimensat(AT_FDCWD, file.c_str(), times, 0);
                    }
                    if (n % 1000 == 0)
                        link(file.c_str(), (file + ".link").c_str());
                }
            }
        });
    for (std::thread& thread : threads)
        thread.join();
}

// A small deterministic generator (xorshift64) for the synthetic trees of the benchmarks.
class Xorshift {
public:
    explicit Xorshift(uint64_t seed) : m_state(seed) {}
    uint64_t next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }

private:
    uint64_t m_state;
};

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
