// Scan benchmark: entries per second and peak memory of svl::scanSingle with each read method
// and thread count, against GNU du, gdu, ncdu and a minimal reference walker, on a generated
// tree of at least 500,000 entries with a warm cache. Every run is measured in a child process
// so that its peak RSS is its own.
//
//   bench_scan_bench [--tree PATH] [--entries N] [--runs R]
//   bench_scan_bench --scan-only FOLDER     scan FOLDER with default options, print the figures
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/reference_walker.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Measurement {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system time of the child and its threads
    long peakRssKiB = 0;
    bool ok = false;
};

// Runs `body` in a child process; its exit status 0 means success.
Measurement measureChild(const std::function<int()>& body) {
    fflush(nullptr);
    const auto t = Clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        return {};
    if (pid == 0)
        _exit(body());
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid)
        return {};
    Measurement m;
    m.seconds = std::chrono::duration<double>(Clock::now() - t).count();
    m.peakRssKiB = ru.ru_maxrss;
    m.cpuSeconds = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return m;
}

// Runs a program with its output thrown away.
Measurement measureProgram(const std::vector<std::string>& argv) {
    return measureChild([&] {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        return 127;
    });
}

bool haveProgram(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// ---- the generated tree -----------------------------------------------------------------

// Folders with 0-40 files each and 0-5 subfolders, one large folder (12,000 entries, which
// the scanner examines with extra threads) among every 4,000, file sizes from a few bytes to
// a few MiB (most sparse, some written), deterministic from a fixed seed.
constexpr int kTreeVersion = 2;  // changes whenever the generated shape changes

bool generateTree(const std::string& root, uint64_t entries) {
    std::printf("generating %" PRIu64 " entries under %s ...\n", entries, root.c_str());
    std::fflush(stdout);
    if (std::system(("rm -rf '" + root + "' && mkdir -p '" + root + "'").c_str()) != 0)
        return false;
    std::mt19937_64 rng(20261208);
    struct Folder {
        std::string path;
        uint32_t files;
    };
    std::vector<Folder> folders{{root, 10}};
    uint64_t count = 0;
    for (size_t i = 0; i < folders.size() && count < entries; ++i) {
        const size_t depth = size_t(std::count(folders[i].path.begin() + long(root.size()), folders[i].path.end(), '/'));
        const uint32_t subs = depth < 2 ? 12 : depth < 9 ? uint32_t(rng() % 6) : 0;
        for (uint32_t s = 0; s < subs && count < entries; ++s) {
            Folder f{folders[i].path + "/dir" + std::to_string(s) + "_" + std::to_string(rng() % 1000), 0};
            f.files = (folders.size() % 4000 == 1000) ? 12000 : uint32_t(rng() % 41);
            count += 1 + f.files;
            folders.push_back(std::move(f));
        }
        if (i + 1 == folders.size() && count < entries)
            folders.push_back({root + "/more" + std::to_string(i), 40}), count += 41;
    }
    for (const Folder& f : folders)
        mkdir(f.path.c_str(), 0755);
    std::atomic<size_t> next{0};
    auto worker = [&](uint64_t seed) {
        std::mt19937_64 r(seed);
        std::string buffer(1 << 16, 'x');
        for (size_t i; (i = next++) < folders.size();) {
            const int dfd = open(folders[i].path.c_str(), O_RDONLY | O_DIRECTORY);
            if (dfd < 0)
                continue;
            for (uint32_t k = 0; k < folders[i].files; ++k) {
                const std::string name = "file" + std::to_string(k) + (r() % 3 ? ".dat" : ".txt");
                const int fd = openat(dfd, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                if (fd < 0)
                    continue;
                const uint64_t kind = r() % 100;
                if (kind < 5)
                    (void)!write(fd, buffer.data(), 1 + r() % buffer.size());
                else if (kind < 60)
                    (void)!ftruncate(fd, off_t(r() % (4 << 20)));
                close(fd);
            }
            close(dfd);
        }
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < 8; ++t)
        pool.emplace_back(worker, uint64_t(t) + 1);
    for (auto& t : pool)
        t.join();
    std::ofstream(root + "/.hm-bench-tree") << kTreeVersion << " " << entries << "\n";
    return true;
}

bool treeReady(const std::string& root, uint64_t entries) {
    std::ifstream f(root + "/.hm-bench-tree");
    int version = 0;
    uint64_t n = 0;
    return f >> version >> n && version == kTreeVersion && n == entries;
}

// ---- scans --------------------------------------------------------------------------------

int scanOnly(const std::string& folder) {
    svl::ScanProgress progress;
    auto tree = svl::scanSingle(folder, svl::ScanOptions{}, &progress);
    if (tree->nodeCount == 0) {
        std::fprintf(stderr, "could not read %s\n", folder.c_str());
        return 1;
    }
    const svl::ScanNode& root = tree->node(0);
    std::printf("folder     %s\n", folder.c_str());
    std::printf("entries    %u\n", tree->nodeCount);
    std::printf("files      %u\n", root.filesBelow);
    std::printf("folders    %u\n", root.foldersBelow);
    std::printf("size       %" PRIu64 "\n", root.size);
    std::printf("allocated  %" PRIu64 "\n", root.allocated);
    std::printf("errors     %" PRIu64 "\n", tree->errors);
    std::printf("seconds    %.3f\n", tree->seconds);
    if (tree->incomplete)
        std::printf("incomplete\n");
    return 0;
}

struct Row {
    std::string name;
    std::string threads;
    Measurement best;
};

// The machine's caches may be dropped at any time by other work; each run is preceded by a
// walk that loads them again, and the best of several runs is kept.
std::function<void()> warmCache;

Measurement bestOf(int runs, const std::function<Measurement()>& once) {
    Measurement best;
    for (int i = 0; i < runs; ++i) {
        if (warmCache)
            warmCache();
        const Measurement m = once();
        if (!m.ok)
            return m;
        if (!best.ok || m.seconds < best.seconds)
            best = m;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    std::string treePath = "/tmp/hm-bench-tree";
    uint64_t entries = 600000;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--scan-only" && i + 1 < argc)
            return scanOnly(argv[++i]);
        if (a == "--tree" && i + 1 < argc)
            treePath = argv[++i];
        else if (a == "--entries" && i + 1 < argc)
            entries = std::max<uint64_t>(500000, std::strtoull(argv[++i], nullptr, 10));
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--tree PATH] [--entries N] [--runs R] | --scan-only FOLDER\n", argv[0]);
            return 2;
        }
    }
    if (!treeReady(treePath, entries) && !measureChild([&] { return generateTree(treePath, entries) ? 0 : 1; }).ok) {
        std::fprintf(stderr, "could not generate the tree under %s\n", treePath.c_str());
        return 1;
    }

    // Warm the cache and take the tree's figures in a child, so that this process stays small
    // and every forked measurement starts from the same small footprint.
    struct Figures {
        uint64_t nodes, nameBytes;
        uint32_t files, folders;
    };
    auto* figures = static_cast<Figures*>(
        mmap(nullptr, sizeof(Figures), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (figures == MAP_FAILED)
        return 1;
    const Measurement warm = measureChild([&] {
        bench::referenceWalk(treePath, 8);
        bench::referenceWalk(treePath, 8);
        auto tree = svl::scanSingle(treePath, svl::ScanOptions{}, nullptr);
        *figures = Figures{tree->nodeCount, tree->nameUsed.load(), tree->node(0).filesBelow, tree->node(0).foldersBelow};
        return 0;
    });
    if (!warm.ok)
        return 1;
    warmCache = [&] { measureChild([&] { return bench::referenceWalk(treePath, 8).entries ? 0 : 1; }); };
    const uint64_t nodes = figures->nodes;
    const uint64_t nameBytes = figures->nameBytes;
    const uint64_t rssBudget = 56 * nodes + nameBytes + (uint64_t(64) << 20);
    const Measurement idle = measureChild([] { return 0; });
    std::printf("tree %s: %" PRIu64 " entries (%u files, %u folders), %" PRIu64 " name bytes, %u processors\n",
                treePath.c_str(), nodes, figures->files, figures->folders, nameBytes,
                std::thread::hardware_concurrency());
    std::printf("peak RSS of an idle child of this process: %.1f MiB (included in every row)\n\n",
                double(idle.peakRssKiB) / 1024.0);

    std::vector<Row> rows;
    rows.push_back({"du -sb", "1", bestOf(runs, [&] { return measureProgram({"du", "-sb", treePath}); })});
    if (haveProgram("gdu"))
        rows.push_back({"gdu -n", "auto", bestOf(runs, [&] { return measureProgram({"gdu", "-n", "-p", treePath}); })});
    if (haveProgram("ncdu"))
        rows.push_back({"ncdu -o /dev/null", "1", bestOf(runs, [&] {
                            return measureProgram({"ncdu", "-0", "-o", "/dev/null", treePath});
                        })});
    for (int threads : {8, 64})
        rows.push_back({"reference walker", std::to_string(threads), bestOf(runs, [&] {
                            return measureChild([&] { return bench::referenceWalk(treePath, threads).entries ? 0 : 1; });
                        })});
    const char* methodNames[] = {"scanSingle readdir", "scanSingle getdents64", "scanSingle io_uring"};
    for (uint32_t method = 0; method < 3; ++method) {
        for (int threads : {1, 8, 0}) {
            svl::ScanOptions o;
            o.readMethod = method;
            o.threads = threads;
            rows.push_back({methodNames[method], threads ? std::to_string(threads) : "default", bestOf(runs, [&] {
                                return measureChild([&] {
                                    auto t = svl::scanSingle(treePath, o, nullptr);
                                    return t->nodeCount == nodes && !t->incomplete ? 0 : 1;
                                });
                            })});
        }
    }

    const double duRate = rows[0].best.ok ? double(nodes) / rows[0].best.seconds : 0;
    std::printf("%-24s %8s %9s %9s %12s %13s %8s\n", "program", "threads", "seconds", "CPU s", "entries/s",
                "peak RSS MiB", "vs du");
    double ref8 = 0, defaultRate = 0;
    long defaultRss = 0;
    for (const Row& r : rows) {
        if (!r.best.ok) {
            std::printf("%-24s %8s %9s\n", r.name.c_str(), r.threads.c_str(), "failed");
            continue;
        }
        const double rate = double(nodes) / r.best.seconds;
        std::printf("%-24s %8s %9.3f %9.3f %12.0f %13.1f %7.2fx\n", r.name.c_str(), r.threads.c_str(), r.best.seconds,
                    r.best.cpuSeconds, rate,
                    double(r.best.peakRssKiB) / 1024.0, duRate > 0 ? rate / duRate : 0.0);
        if (r.name == "reference walker" && r.threads == "8")
            ref8 = rate;
        if (r.name == methodNames[svl::ScanOptions{}.readMethod] && r.threads == "default") {
            defaultRate = rate;
            defaultRss = r.best.peakRssKiB;
        }
    }
    std::printf("\ndefault options (%s, automatic threads):\n", methodNames[svl::ScanOptions{}.readMethod]);
    std::printf("  %.2fx the entries/s of du -sb (goal: at least 3.5x)\n", duRate > 0 ? defaultRate / duRate : 0.0);
    std::printf("  %.2fx the entries/s of the reference walker at 8 threads (goal: at least 1/1.2 = 0.83x)\n",
                ref8 > 0 ? defaultRate / ref8 : 0.0);
    std::printf("  peak RSS %.1f MiB, budget 56 x nodes + name bytes + 64 MiB = %.1f MiB\n", double(defaultRss) / 1024.0,
                double(rssBudget) / (1024.0 * 1024.0));
    return 0;
}
