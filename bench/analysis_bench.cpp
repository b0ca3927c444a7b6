// Tree analysis benchmark: seconds of detectDuplicates, sortFileIds and computeExtensionStats
// on a synthetic tree of N file nodes (default 10,000,000; 1000 files per folder) at one
// thread and at all hardware threads, against std::sort / std::stable_sort of the same keys
// on one thread. Best of R runs.
//
//   bench_analysis_bench [--files N] [--runs R] [--only TEXT]   (TEXT: rows whose label contains it)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/analysis/Duplicates.h"
#include "core/analysis/ExtensionStats.h"
#include "core/analysis/FileSort.h"
#include "core/analysis/Parallel.h"
#include "core/tree/ScanTree.h"

namespace {

constexpr uint32_t kFilesPerFolder = 1000;

bench::Xorshift g_random(0x9e3779b97f4a7c15ULL);
uint64_t nextRandom() { return g_random.next(); }

// Root "/bench", folders "dirN" below it, files below the folders. Names repeat across
// folders (so duplicates exist) but not inside one folder.
std::unique_ptr<svl::ScanTree> makeTree(uint32_t files) {
    static const char* const kExtensions[] = {"jpg", "JPG", "png", "txt", "pdf", "mp3", "flac", "mkv", "cpp", "h",
                                              "o", "so", "gz", "zip", "json", "xml", "html", "css", "js", "py",
                                              "", "docx", "xlsx", "iso", "very-long-extension-name"};
    auto tree = std::make_unique<svl::ScanTree>();
    const uint32_t folders = (files + kFilesPerFolder - 1) / kFilesPerFolder;
    const uint32_t root = tree->allocateNodes(1);
    svl::ScanNode& r = tree->nodes[root];
    r = svl::ScanNode{};
    r.name = tree->storeName("/bench");
    r.nameLength = 6;
    r.flags = svl::NodeFlag::Folder;
    const uint32_t firstFolder = tree->allocateNodes(folders);
    r.firstChild = firstFolder;
    r.childCount = folders;
    for (uint32_t f = 0; f < folders; ++f) {
        svl::ScanNode& n = tree->nodes[firstFolder + f];
        n = svl::ScanNode{};
        const std::string name = "dir" + std::to_string(f);
        n.name = tree->storeName(name);
        n.nameLength = uint16_t(name.size());
        n.parent = root;
        n.flags = svl::NodeFlag::Folder;
        n.allocated = 4096;
    }
    uint32_t left = files;
    char buffer[96];
    for (uint32_t f = 0; f < folders; ++f) {
        const uint32_t count = std::min(left, kFilesPerFolder);
        left -= count;
        const uint32_t first = tree->allocateNodes(count);
        tree->nodes[firstFolder + f].firstChild = first;
        tree->nodes[firstFolder + f].childCount = count;
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t x = nextRandom();
            const char* ext = kExtensions[x % std::size(kExtensions)];
            // Index i keeps names unique in the folder; the random part makes them repeat elsewhere.
            const int len = std::snprintf(buffer, sizeof buffer, "%s_%04u_%llu%s%s", (x >> 8) % 3 ? "IMG" : "Document",
                                          i, static_cast<unsigned long long>((x >> 16) % 4), *ext ? "." : "", ext);
            svl::ScanNode& n = tree->nodes[first + i];
            n = svl::ScanNode{};
            n.name = tree->storeName(std::string_view(buffer, size_t(len)));
            n.nameLength = uint16_t(len);
            n.parent = firstFolder + f;
            n.size = (x >> 24) % (uint64_t(1) << ((x >> 56) % 32));
            n.allocated = (n.size + 4095) / 4096 * 4096;
            n.modified = 1600000000 + int64_t((x >> 32) % 1000);
            if ((x >> 50) % 200 == 0)
                n.flags |= svl::NodeFlag::ExtraHardLink;
        }
    }
    tree->finishNodeCount();
    tree->computeTotals();
    return tree;
}

double bestSeconds(int runs, const std::function<void()>& prepare, const std::function<void()>& work) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

void printRow(const char* what, double one, double all, double stdSort, double stdStable) {
    auto cell = [](double v) {
        if (v < 0)
            std::printf(" %12s", "-");
        else
            std::printf(" %12.3f", v);
    };
    std::printf("%-34s", what);
    cell(one);
    cell(all);
    cell(stdSort);
    cell(stdStable);
    std::printf(" %8.1fx\n", stdSort > 0 ? stdSort / all : one / all);
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t files = 10000000;
    int runs = 3;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc)
            files = uint32_t(std::max(1L, std::atol(argv[++i])));
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
    }
    auto wanted = [&](const char* label) { return only.empty() || std::string_view(label).find(only) != std::string_view::npos; };
    const unsigned hw = std::thread::hardware_concurrency();
    std::printf("building a tree of %u files ...\n", files);
    const auto tree = makeTree(files);
    const svl::ScanTree& t = *tree;
    std::vector<uint32_t> fileIds;
    fileIds.reserve(files);
    for (uint32_t id = 0; id < t.nodeCount; ++id)
        if (!t.nodes[id].isFolder())
            fileIds.push_back(id);
    std::printf("nodes: %u, files: %zu, hardware threads: %u, best of %d runs, seconds\n\n", t.nodeCount,
                fileIds.size(), hw, runs);
    std::printf("%-34s %12s %12s %12s %12s %9s\n", "operation", "1 thread", "all threads", "std::sort",
                "stable_sort", "speedup");

    auto atThreads = [&](int threads, const std::function<void()>& prepare, const std::function<void()>& work) {
        svl::ScopedHardwareThreads forced(threads);
        return bestSeconds(runs, prepare, work);
    };
    auto nothing = [] {};

    // Duplicates.
    size_t groups = 0;
    for (svl::DuplicateMethod method : {svl::DuplicateMethod::NameSize, svl::DuplicateMethod::NameSizeDate}) {
        const char* label = method == svl::DuplicateMethod::NameSize ? "detectDuplicates name+size"
                                                                     : "detectDuplicates name+size+date";
        if (!wanted(label))
            continue;
        auto work = [&] { groups = svl::detectDuplicates(t, method, nullptr, 0).groups.size(); };
        const double one = atThreads(1, nothing, work);
        const double all = atThreads(-1, nothing, work);
        printRow(label, one, all, -1, -1);
        std::printf("  (%zu groups)\n", groups);
    }

    // Sorting.
    std::vector<uint32_t> ids;
    auto reset = [&] { ids = fileIds; };
    struct SizeKey {
        int64_t key;
        uint32_t id;
    };
    auto sizeLess = [](const SizeKey& a, const SizeKey& b) { return a.key != b.key ? a.key < b.key : a.id < b.id; };
    auto nameOf = [&](uint32_t id) { return t.nodes[id].nameView(); };
    const struct {
        const char* label;
        svl::FileSortColumn column;
        uint64_t limit;
    } sorts[] = {
        {"sortFileIds size, full", svl::FileSortColumn::Size, UINT64_MAX},
        {"sortFileIds size, top 1000", svl::FileSortColumn::Size, 1000},
        {"sortFileIds name, full", svl::FileSortColumn::Name, UINT64_MAX},
        {"sortFileIds name, top 1000", svl::FileSortColumn::Name, 1000},
        {"sortFileIds path, full", svl::FileSortColumn::Path, UINT64_MAX},
        {"sortFileIds path, top 1000", svl::FileSortColumn::Path, 1000},
    };
    for (const auto& s : sorts) {
        if (!wanted(s.label))
            continue;
        auto work = [&] { svl::sortFileIds(t, ids, s.column, false, s.limit, false, nullptr); };
        const double one = atThreads(1, reset, work);
        const double all = atThreads(-1, reset, work);
        double stdSort = -1, stdStable = -1;
        if (s.column == svl::FileSortColumn::Size) {
            std::vector<SizeKey> keys;
            auto fill = [&] {
                keys.resize(fileIds.size());
                for (size_t i = 0; i < fileIds.size(); ++i)
                    keys[i] = {int64_t(t.nodes[fileIds[i]].size), fileIds[i]};
            };
            if (s.limit == UINT64_MAX) {
                stdSort = bestSeconds(runs, reset, [&] {
                    fill();
                    std::sort(keys.begin(), keys.end(), sizeLess);
                });
                stdStable = bestSeconds(runs, reset, [&] {
                    std::stable_sort(ids.begin(), ids.end(),
                                     [&](uint32_t a, uint32_t b) { return t.nodes[a].size < t.nodes[b].size; });
                });
            } else {
                stdSort = bestSeconds(runs, reset, [&] {
                    fill();
                    std::partial_sort(keys.begin(), keys.begin() + long(s.limit), keys.end(), sizeLess);
                });
            }
        } else if (s.column == svl::FileSortColumn::Name && s.limit == UINT64_MAX) {
            stdSort = bestSeconds(runs, reset, [&] {
                std::sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) {
                    const int c = nameOf(a).compare(nameOf(b));
                    return c != 0 ? c < 0 : a < b;
                });
            });
            stdStable = bestSeconds(runs, reset, [&] {
                std::stable_sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) { return nameOf(a) < nameOf(b); });
            });
        } else if (s.column == svl::FileSortColumn::Path && s.limit == UINT64_MAX) {
            stdSort = bestSeconds(runs, reset, [&] {
                std::sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) {
                    const int c = svl::comparePaths(t, a, b);
                    return c != 0 ? c < 0 : a < b;
                });
            });
        }
        printRow(s.label, one, all, stdSort, stdStable);
    }

    // Extension statistics.
    if (wanted("computeExtensionStats")) {
        size_t rows = 0;
        auto work = [&] { rows = svl::computeExtensionStats(t).size(); };
        printRow("computeExtensionStats", atThreads(1, nothing, work), atThreads(-1, nothing, work), -1, -1);
        std::printf("  (%zu extensions)\n", rows);
    }
    std::printf("\nstd::sort: one thread on (key, id) records (partial_sort for top 1000; names and paths\n"
                "compared through the tree); stable_sort: one thread on ids by key alone.\n"
                "speedup: std::sort / all threads where there is a std::sort, else 1 thread / all threads.\n");
    return 0;
}
