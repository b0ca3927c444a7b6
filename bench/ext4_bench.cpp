// ext4 raw-read benchmark: a scan of a loop-mounted ext4 volume of at least 1,000,000 files
// read from its metadata (svl::loadRawIndex through svl::scanSingle) against the parallel
// folder walk of the same mount, with a warm and a cold cache. Every scan runs in a child
// process so that its peak RSS is its own; the trees of both methods are compared by digest.
// Needs root (loop devices, drop_caches).
//
//   bench_ext4_bench [--files N] [--dir WORKDIR] [--runs R] [--keep]
#include "bench/BenchSupport.h"
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

namespace {

using bench::dropCaches;
using bench::output;
using bench::run;

// What a child reports about its scan.
struct ScanResult {
    double seconds = 0;
    double rawSeconds = 0;
    uint64_t nodes = 0;
    uint64_t digest = 0;
    bool raw = false;
    bool incomplete = false;
    char note[200] = {};
};

struct Measurement {
    ScanResult result;
    long peakRssKiB = 0;
    uint64_t deviceBytes = 0;  // read from the loop device during the scan
    bool ok = false;
};

uint64_t deviceBytesRead(const std::string& loopName) {
    std::ifstream stat("/sys/block/" + loopName + "/stat");
    uint64_t ios = 0, merges = 0, sectors = 0;
    stat >> ios >> merges >> sectors;
    return sectors * 512;
}

Measurement measureScan(const std::string& path, bool raw, const std::string& loopName) {
    const uint64_t before = deviceBytesRead(loopName);
    Measurement m;
    rusage usage{};
    m.ok = bench::runInChild<ScanResult>(
        [&] {
            svl::ScanOptions options;
            options.allowRaw = raw ? 1 : 0;
            options.rotational = 0;
            svl::ScanProgress progress;
            auto tree = svl::scanSingle(path, options, &progress);
            ScanResult result;
            result.seconds = tree->seconds;
            result.rawSeconds = tree->rawSeconds;
            result.nodes = tree->nodeCount;
            result.raw = tree->raw;
            result.incomplete = tree->incomplete;
            std::snprintf(result.note, sizeof result.note, "%s", tree->rawNote.c_str());
            result.digest = bench::treeDigest(*tree);
            return result;
        },
        &m.result, &usage);
    m.peakRssKiB = usage.ru_maxrss;
    m.deviceBytes = deviceBytesRead(loopName) - before;
    return m;
}


// A cold raw scan cancelled `delayMs` after its start: how long it takes to return after the
// cancel, and whether the part read comes back marked incomplete.
void measureCancel(const std::string& path, int delayMs) {
    dropCaches();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        svl::ScanOptions options;
        options.allowRaw = 1;
        options.rotational = 0;
        svl::ScanProgress progress;
        std::chrono::steady_clock::time_point cancelledAt;
        std::thread canceller([&]() {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            cancelledAt = std::chrono::steady_clock::now();
            progress.cancel = true;
        });
        auto tree = svl::scanSingle(path, options, &progress);
        auto returned = std::chrono::steady_clock::now();
        canceller.join();
        std::printf("cancel %d ms into a cold raw scan: returned %.2f s after the cancel, raw %s, incomplete %s, "
                    "%u nodes; note: %s\n",
                    delayMs, std::chrono::duration<double>(returned - cancelledAt).count(), tree->raw ? "yes" : "no",
                    tree->incomplete ? "yes" : "no", tree->nodeCount, tree->rawNote.c_str());
        fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t files = 1000000;
    std::string work = "/var/tmp/hm-ext4-bench";
    int runs = 3;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--files" && i + 1 < argc)
            files = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--dir" && i + 1 < argc)
            work = argv[++i];
        else if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--keep")
            keep = true;
        else {
            std::fprintf(stderr, "usage: %s [--files N] [--dir WORKDIR] [--runs R] [--keep]\n", argv[0]);
            return 2;
        }
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "needs root (loop devices, drop_caches)\n");
        return 1;
    }

    const std::string image = work + "/volume.img";
    const std::string mountPoint = work + "/mnt";
    run("mkdir -p '" + mountPoint + "'");
    struct stat st;
    bool reuse = ::stat(image.c_str(), &st) == 0;
    if (!reuse) {
        uint64_t inodes = files + files / 500 + 20000;
        std::printf("making a %" PRIu64 "-file ext4 volume in %s\n", files, image.c_str());
        if (run("truncate -s 8G '" + image + "' && mkfs.ext4 -q -F -b 4096 -N " + std::to_string(inodes) + " '" +
                image + "'") != 0)
            return 1;
    }
    std::string device = output("losetup -f --show '" + image + "'");
    if (device.empty() || run("mount '" + device + "' '" + mountPoint + "'") != 0) {
        std::fprintf(stderr, "can't attach or mount %s\n", image.c_str());
        return 1;
    }
    const std::string loopName = device.substr(device.rfind('/') + 1);
    run("echo 0 > /sys/class/block/" + loopName + "/queue/rotational");
    if (!reuse) {
        auto started = std::chrono::steady_clock::now();
        bench::populate(mountPoint, files, true);
        run("sync");
        std::printf("populated in %.1f s\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        // Remounting checkpoints the journal: until then the fresh metadata blocks stay pinned in
        // memory and a dropped cache would not be cold for the raw reads.
        run("umount '" + mountPoint + "' && mount '" + device + "' '" + mountPoint + "'");
    }

    std::printf("\n| cache | method | scan s (median) | rawSeconds | nodes | device MB read | peak RSS MB |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    uint64_t digests[2] = {0, 0};
    uint64_t nodes[2] = {0, 0};
    double medians[2][2] = {};
    bool consistent = true;
    for (int cold = 0; cold < 2; ++cold) {
        for (int raw = 1; raw >= 0; --raw) {
            std::vector<Measurement> all;
            if (!cold)
                measureScan(mountPoint, raw, loopName);  // warm the cache
            for (int r = 0; r < runs; ++r) {
                if (cold)
                    dropCaches();
                Measurement m = measureScan(mountPoint, raw, loopName);
                if (!m.ok || m.result.raw != bool(raw) || m.result.incomplete) {
                    std::fprintf(stderr, "scan failed (raw %d): %s\n", raw, m.result.note);
                    consistent = false;
                    continue;
                }
                if (digests[raw] == 0) {
                    digests[raw] = m.result.digest;
                    nodes[raw] = m.result.nodes;
                }
                consistent = consistent && digests[raw] == m.result.digest;
                all.push_back(m);
            }
            if (all.empty())
                continue;
            std::sort(all.begin(), all.end(), [](const Measurement& a, const Measurement& b) {
                return a.result.seconds < b.result.seconds;
            });
            const Measurement& m = all[all.size() / 2];
            medians[cold][raw] = m.result.seconds;
            std::printf("| %s | %s | %.2f | %.2f | %" PRIu64 " | %.0f | %.0f |\n", cold ? "cold" : "warm",
                        raw ? "raw" : "walk", m.result.seconds, m.result.rawSeconds, m.result.nodes,
                        double(m.deviceBytes) / 1e6, double(m.peakRssKiB) / 1024.0);
            if (raw)
                std::printf("|  | note: %s |  |  |  |  |  |\n", m.result.note);
        }
    }
    std::printf("\n");
    for (int delayMs : {5, 150, 600})
        measureCancel(mountPoint, delayMs);
    std::printf("\nspeed-up raw over walk: warm %.1fx, cold %.1fx\n",
                medians[0][1] > 0 ? medians[0][0] / medians[0][1] : 0.0,
                medians[1][1] > 0 ? medians[1][0] / medians[1][1] : 0.0);
    std::printf("trees identical: %s (%" PRIu64 " and %" PRIu64 " nodes)\n",
                consistent && digests[0] == digests[1] && nodes[0] == nodes[1] ? "yes" : "NO", nodes[1], nodes[0]);

    run("umount '" + mountPoint + "'");
    run("losetup -d '" + device + "'");
    if (!keep)
        run("rm -f '" + image + "'");
    return consistent && digests[0] == digests[1] ? 0 : 1;
}
