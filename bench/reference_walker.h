// A minimal parallel folder walker that stands for the machine's limit in scan_bench: N
// threads sharing one queue of folder paths, getdents64 for the listing and one statx per
// entry, totals only (no tree, no names kept).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

struct ReferenceTotals {
    uint64_t entries = 0;
    uint64_t allocated = 0;
};

inline ReferenceTotals referenceWalk(const std::string& root, int threads) {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::string> queue{root};
    long pending = 1;
    std::atomic<uint64_t> entries{0}, allocated{0};

    auto worker = [&] {
        std::unique_ptr<char[]> buf(new char[262144]);
        std::vector<std::string> found;
        uint64_t myEntries = 0, myAllocated = 0;
        for (;;) {
            std::string path;
            {
                std::unique_lock<std::mutex> lock(mutex);
                cv.wait(lock, [&] { return !queue.empty() || pending == 0; });
                if (queue.empty())
                    break;
                path = std::move(queue.front());
                queue.pop_front();
            }
            found.clear();
            const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                for (;;) {
                    const long n = syscall(SYS_getdents64, fd, buf.get(), 262144);
                    if (n <= 0)
                        break;
                    for (long pos = 0; pos < n;) {
                        struct Dirent {
                            uint64_t ino;
                            int64_t off;
                            unsigned short reclen;
                            unsigned char type;
                            char name[];
                        };
                        const auto* d = reinterpret_cast<const Dirent*>(buf.get() + pos);
                        pos += d->reclen;
                        if (d->name[0] == '.' && (d->name[1] == 0 || (d->name[1] == '.' && d->name[2] == 0)))
                            continue;
                        struct statx sx;
                        if (statx(fd, d->name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC,
                                  STATX_TYPE | STATX_SIZE | STATX_BLOCKS | STATX_MTIME | STATX_INO | STATX_NLINK,
                                  &sx) == 0) {
                            myAllocated += sx.stx_blocks * 512;
                            if (S_ISDIR(sx.stx_mode))
                                found.push_back(path + "/" + d->name);
                        }
                        ++myEntries;
                    }
                }
                close(fd);
            }
            std::lock_guard<std::mutex> lock(mutex);
            for (std::string& f : found)
                queue.push_back(std::move(f));
            pending += long(found.size()) - 1;
            if (!found.empty() || pending == 0)
                cv.notify_all();
        }
        entries += myEntries;
        allocated += myAllocated;
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i)
        pool.emplace_back(worker);
    worker();
    for (auto& t : pool)
        t.join();
    return {entries.load(), allocated.load()};
}

}  // namespace bench
