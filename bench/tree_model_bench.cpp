// Folder tree model benchmark: milliseconds of the first expansion of a folder with
// 1,000,000 children (building and sorting its child list) by Allocated and by Name, of
// a re-sort while that folder is expanded and one of its rows selected, on 1 and on all
// hardware threads; and the bytes per tree node of the model's side tables (child orders,
// row positions, group records) once the folder is shown. Flat: the children are listed
// directly (grouping off); grouped: 999,000 files under one group row beside 1,000 folders.
// Best of R runs.
//
//   bench_tree_model_bench [--runs R]
#include "bench/BenchAppSupport.h"
#include "bench/BenchSupport.h"
#include "core/analysis/Parallel.h"
#include "core/tree/ScanTree.h"
#include "ui/views/NodeModel.h"

#include <QPersistentModelIndex>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

bench::Xorshift g_random(0x9e3779b97f4a7c15ULL);
uint64_t nextRandom() { return g_random.next(); }

// A root holding `folders` folders (one small file each) and then `files` files with
// heavy-tailed sizes and names of mixed case, children contiguous as scanners lay them out.
std::shared_ptr<svl::ScanTree> makeTree(uint32_t folders, uint32_t files) {
    auto tree = std::make_shared<svl::ScanTree>();
    auto add = [&](uint32_t parent, const std::string& name, uint16_t flags, uint64_t size, int64_t modified) {
        const char* stored = tree->storeName(name);
        const uint32_t id = tree->allocateNodes(1);
        tree->node(id) = svl::ScanNode{stored, size, (size + 4095) / 4096 * 4096, modified, parent, 0, 0, 0, 0,
                                       uint16_t(name.size()), flags};
        if (id != 0) {
            svl::ScanNode& p = tree->node(parent);
            if (p.childCount++ == 0)
                p.firstChild = id;
        }
        return id;
    };
    add(0, "/bench", svl::NodeFlag::Folder, 0, 0);
    std::vector<uint32_t> folderIds;
    for (uint32_t i = 0; i < folders; ++i)
        folderIds.push_back(add(0, "Folder-" + std::to_string(nextRandom() % 100000), svl::NodeFlag::Folder, 0, 0));
    for (uint32_t i = 0; i < files; ++i) {
        const uint64_t r = nextRandom();
        const uint64_t size = (r % 100 == 0) ? r % (1ull << 30) : r % 65536;
        std::string name = (r & 1 ? "File-" : "file-") + std::to_string(r % 10000000) + ".dat";
        add(0, name, 0, size, int64_t(1500000000 + r % 100000000));
    }
    for (uint32_t folder : folderIds)
        add(folder, "inner.txt", 0, 1000, 0);
    tree->finishNodeCount();
    tree->computeTotals();
    return tree;
}

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

struct Result {
    double expandAllocated = 1e18;
    double expandName = 1e18;
    double resort = 1e18;
    double bytesPerNode = 0;
};

// The index of the folder with a million rows: the root, or its group row.
QModelIndex bigFolder(NodeModel& model, bool grouped) {
    const QModelIndex root = model.index(0, 0);
    return grouped ? model.indexForId(model.tree()->nodeCount) : root;
}

Result measure(const std::shared_ptr<svl::ScanTree>& tree, bool grouped, int runs) {
    Result result;
    for (int run = 0; run < runs; ++run) {
        for (int column : {NodeModel::AllocatedColumn, NodeModel::FolderColumn}) {
            NodeModel model;
            model.setFileGroupMinSize(grouped ? 4 : 0);
            model.sort(column, column == 0 ? Qt::AscendingOrder : Qt::DescendingOrder);
            model.setTree(tree);
            const size_t heapBefore = mallinfo2().uordblks;
            const auto start = std::chrono::steady_clock::now();
            // What a view does when the folder is expanded: count the rows, ask for the first.
            const QModelIndex folder = bigFolder(model, grouped);
            const int rows = model.rowCount(folder);
            const QModelIndex first = model.index(0, 0, folder);
            const double ms = msSince(start);
            if (rows < 999000 || !first.isValid())
                std::fprintf(stderr, "unexpected model shape: %d rows\n", rows);
            double& best = column == 0 ? result.expandName : result.expandAllocated;
            best = std::min(best, ms);
            if (column == NodeModel::AllocatedColumn) {
                result.bytesPerNode = double(mallinfo2().uordblks - heapBefore) / tree->nodeCount;
                // Re-sort with the folder expanded and a row inside it selected.
                const QPersistentModelIndex expanded(folder);
                const QPersistentModelIndex selected(model.index(rows / 2, 0, folder));
                const auto again = std::chrono::steady_clock::now();
                model.sort(NodeModel::SizeColumn, Qt::DescendingOrder);
                result.resort = std::min(result.resort, msSince(again));
                if (!selected.isValid() || selected.parent() != QModelIndex(expanded))
                    std::fprintf(stderr, "selection lost in the re-sort\n");
            }
        }
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
    const bench::OffscreenApp app(argc, argv, "hm-tree-model-bench");
    if (!app.ok())
        return 1;

    const auto flat = makeTree(0, 1000000);
    const auto mixed = makeTree(1000, 999000);
    const unsigned hardware = svl::hardwareThreadCount();
    std::printf("%-8s %7s %16s %11s %10s %14s\n", "folder", "threads", "expand Alloc ms", "expand Name ms",
                "resort ms", "side B/node");
    for (const bool grouped : {false, true}) {
        for (const unsigned threads : {1u, hardware}) {
            svl::ScopedHardwareThreads pinned{int(threads)};
            const Result r = measure(grouped ? mixed : flat, grouped, runs);
            std::printf("%-8s %7u %16.1f %11.1f %10.1f %14.1f\n", grouped ? "grouped" : "flat", threads,
                        r.expandAllocated, r.expandName, r.resort, r.bytesPerNode);
        }
    }
    return 0;
}
