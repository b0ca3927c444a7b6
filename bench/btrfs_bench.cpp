// Btrfs raw-read benchmark: a loop-mounted Btrfs volume of at least 500,000 files, filled
// through the mounted file system, its metadata loaded through the tree search at 1, 4, 8 and
// 16 reader threads (the load alone, also at 32 and 64, and the whole raw scan through
// svl::scanSingle, also at the reader's default thread count) against the parallel folder walk
// of the same mount, with a warm and a cold cache. Every measurement runs in a child process of
// its own; raw and walked trees are compared by digest. Then what the flush before every raw
// load costs: on the volume with nothing to write, and after writing much data without a sync.
// Needs root (loop devices, tree search, drop_caches).
//
//   bench_btrfs_bench [--files N] [--folders N] [--dir WORKDIR] [--runs R] [--keep]
#include "bench/BenchSupport.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/rawindex/BtrfsIndex.h"
#include "core/rawindex/RawIndex.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

namespace {

using bench::dropCaches;
using bench::output;
using bench::run;

struct Result {
    double seconds = 0;     // the load, or the whole scan
    double rawSeconds = 0;  // the load inside a raw scan
    uint64_t count = 0;     // entries read, or tree nodes
    uint64_t digest = 0;
    bool raw = false;
    bool ok = false;
};

// Runs `measure` in a child process and returns what it reported (a default result on failure).
Result inChild(const std::function<Result()>& measure) {
    Result r;
    return bench::runInChild(measure, &r) ? r : Result{};
}

Result loadOnly(const std::string& top, int threads) {
    return inChild([&] {
        Result r;
        std::string error;
        auto index = svl::BtrfsIndex::open(top, &error, threads);
        if (!index) {
            std::fprintf(stderr, "open: %s\n", error.c_str());
            return r;
        }
        const auto start = std::chrono::steady_clock::now();
        r.ok = index->load(nullptr, {}, &error);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        r.count = index->entriesRead();
        r.raw = true;
        if (!r.ok)
            std::fprintf(stderr, "load: %s\n", error.c_str());
        return r;
    });
}

// A whole scan: the walk, or a raw scan with SVL_BTRFS_THREADS = `rawThreads` (0: unset, the
// reader's default).
Result scan(const std::string& top, bool raw, int rawThreads) {
    return inChild([&] {
        if (rawThreads > 0)
            setenv("SVL_BTRFS_THREADS", std::to_string(rawThreads).c_str(), 1);
        else
            unsetenv("SVL_BTRFS_THREADS");
        svl::ScanOptions options;
        options.allowRaw = raw ? 1 : 0;
        options.rotational = 0;  // the loop device reports its backing disk; ask for the fast settings
        svl::ScanProgress progress;
        auto tree = svl::scanSingle(top, options, &progress);
        Result r;
        r.seconds = tree->seconds;
        r.rawSeconds = tree->rawSeconds;
        r.count = tree->nodeCount;
        r.raw = tree->raw;
        r.digest = bench::treeDigest(*tree);
        r.ok = !tree->incomplete && (!raw || tree->raw);
        if (raw && !tree->raw)
            std::fprintf(stderr, "not raw: %s\n", tree->rawNote.c_str());
        return r;
    });
}

// Milliseconds one flushVolume of `top` takes.
double flushMillis(const std::string& top) {
    const auto start = std::chrono::steady_clock::now();
    if (svl::flushVolume(top) != 0)
        std::fprintf(stderr, "flush of %s failed\n", top.c_str());
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Writes `count` files of `bytes` bytes into a new folder `dir` without syncing.
void writeUnsynced(const std::string& dir, int count, size_t bytes) {
    mkdir(dir.c_str(), 0755);
    std::vector<char> data(std::min<size_t>(bytes, size_t(1) << 20), 'u');
    for (int i = 0; i < count; ++i) {
        const int fd = open((dir + "/u" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            continue;
        for (size_t done = 0; done < bytes;) {
            const ssize_t n = write(fd, data.data(), std::min(data.size(), bytes - done));
            if (n <= 0)
                break;
            done += size_t(n);
        }
        close(fd);
    }
}

// The flush before every raw load: on the volume with nothing to write (several times, since
// each is short), and once after writing each kind of unsynced data.
void measureFlush(const std::string& top) {
    run("sync");
    std::vector<double> clean;
    for (int i = 0; i < 21; ++i)
        clean.push_back(flushMillis(top));
    std::sort(clean.begin(), clean.end());
    std::printf("\n%-44s | %10s\n", "flush before a raw load", "ms");
    std::printf("---------------------------------------------+-----------\n");
    std::printf("%-44s | %10.3f\n", "nothing to write, median of 21", clean[clean.size() / 2]);
    std::printf("%-44s | %10.3f\n", "nothing to write, slowest of 21", clean.back());
    struct Load {
        const char* name;
        int count;
        size_t bytes;
    } loads[] = {{"20 files of 10,000 bytes unwritten", 20, 10000},
                 {"20,000 files of 10,000 bytes unwritten", 20000, 10000},
                 {"one file of 1 GiB unwritten", 1, size_t(1) << 30}};
    int n = 0;
    for (const Load& load : loads) {
        const std::string dir = top + "/unsynced-" + std::to_string(n++);
        writeUnsynced(dir, load.count, load.bytes);
        std::printf("%-44s | %10.3f\n", load.name, flushMillis(top));
        run("rm -rf '" + dir + "' && sync");
    }
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t files = 500000;
    int folders = 1000;
    std::string workDir = "/tmp";
    int runs = 3;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--files" && i + 1 < argc)
            files = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--folders" && i + 1 < argc)
            folders = std::max(10, std::atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc)
            workDir = argv[++i];
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--keep")
            keep = true;
        else {
            std::fprintf(stderr, "usage: %s [--files N] [--folders N] [--dir WORKDIR] [--runs R] [--keep]\n",
                         argv[0]);
            return 2;
        }
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "needs root (loop devices, Btrfs tree search, drop_caches)\n");
        return 1;
    }

    const std::string base = workDir + "/btrfs-bench-" + std::to_string(getpid());
    const std::string image = base + ".img";
    const std::string top = base + "-mnt";
    run("mkdir -p '" + top + "'");
    if (run("truncate -s 8G '" + image + "' && mkfs.btrfs -q -f '" + image + "' >/dev/null") != 0)
        return 1;
    const std::string loop = output("losetup -f --show '" + image + "'");
    if (loop.empty() || run("mount '" + loop + "' '" + top + "'") != 0)
        return 1;
    auto started = std::chrono::steady_clock::now();
    bench::populate(top, files, false, folders);
    run("sync");
    std::printf("volume: %s on %s, %llu files in %d folders made through the mount in %.0f s; %u processors;"
                " rotational %s\n",
                top.c_str(), loop.c_str(), static_cast<unsigned long long>(files), folders,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                std::thread::hardware_concurrency(),
                output("cat /sys/block/" + loop.substr(loop.rfind('/') + 1) + "/queue/rotational").c_str());

    struct Row {
        std::string name;
        std::function<Result()> measure;
        bool isScan;
        Result warm, cold;
        bool failed = false;
    };
    std::vector<Row> rows;
    // 32 and 64 only through the caller's count (the variable stops at 16): how far more
    // outstanding reads still help a cold load.
    for (int t : {1, 4, 8, 16, 32, 64})
        rows.push_back({"load, " + std::to_string(t) + " thread" + (t > 1 ? "s" : ""),
                        [&, t] { return loadOnly(top, t); }, false, {}, {}});
    for (int t : {1, 4, 8, 16})
        rows.push_back({"raw scan, " + std::to_string(t) + " thread" + (t > 1 ? "s" : ""),
                        [&, t] { return scan(top, true, t); }, true, {}, {}});
    const uint32_t defaultThreads = svl::BtrfsIndex::defaultThreads(std::thread::hardware_concurrency());
    rows.push_back({"raw scan, default (" + std::to_string(defaultThreads) + ")", [&] { return scan(top, true, 0); },
                    true, {}, {}});
    const size_t defaultIndex = rows.size() - 1;
    rows.push_back({"parallel walk", [&] { return scan(top, false, 0); }, true, {}, {}});

    // Rounds over all rows, keeping each row's best, so that a busy moment of the machine does
    // not fall on one method only.
    auto keepBest = [](Row& row, Result Row::*slot, const Result& r) {
        if (!r.ok)
            row.failed = true;
        else if (!row.failed && (!(row.*slot).ok || r.seconds < (row.*slot).seconds))
            row.*slot = r;
    };
    for (Row& row : rows)
        row.measure();  // warms the cache
    for (int round = 0; round < runs; ++round)
        for (Row& row : rows)
            keepBest(row, &Row::warm, row.measure());
    for (int round = 0; round < runs; ++round)
        for (Row& row : rows) {
            dropCaches();
            keepBest(row, &Row::cold, row.measure());
        }

    const uint64_t walkDigest = rows.back().cold.digest;
    std::printf("\n%-22s | %9s | %9s | %9s | %9s | %10s\n", "method (best of runs)", "warm s", "cold s",
                "cold load", "entries", "same tree");
    std::printf("-----------------------+-----------+-----------+-----------+-----------+-----------\n");
    for (const Row& row : rows) {
        if (row.failed) {
            std::printf("%-22s | failed\n", row.name.c_str());
            continue;
        }
        const char* same = !row.isScan ? "-"
                           : row.warm.digest == walkDigest && row.cold.digest == walkDigest ? "yes"
                                                                                           : "NO";
        char load[32] = "-";
        if (row.isScan && row.cold.raw)
            std::snprintf(load, sizeof load, "%.2f", row.cold.rawSeconds);
        std::printf("%-22s | %9.2f | %9.2f | %9s | %9llu | %10s\n", row.name.c_str(), row.warm.seconds,
                    row.cold.seconds, load, static_cast<unsigned long long>(row.cold.count), same);
    }

    const Row* defaultRow = &rows[defaultIndex];
    const Row& walkRow = rows.back();
    if (!defaultRow->failed && !walkRow.failed)
        std::printf("\ndefault raw scan against the walk, cold: %.2f s against %.2f s, %.1fx faster; same tree: %s\n",
                    defaultRow->cold.seconds, walkRow.cold.seconds, walkRow.cold.seconds / defaultRow->cold.seconds,
                    defaultRow->cold.digest == walkDigest ? "yes" : "NO");

    measureFlush(top);

    if (!keep) {
        run("umount '" + top + "'");
        run("losetup -d '" + loop + "'");
        run("rm -f '" + image + "'; rmdir '" + top + "'");
    } else {
        std::printf("kept: %s on %s (%s)\n", top.c_str(), loop.c_str(), image.c_str());
    }
    return 0;
}
