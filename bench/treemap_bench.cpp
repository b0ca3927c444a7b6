// Treemap benchmark: milliseconds of layoutTreemap and of the raster (TreemapLayout::render)
// for synthetic trees of 100,000, 1,000,000 and 10,000,000 nodes (folders of 8 subfolders
// and 24 files, heavy-tailed sizes) and one flat folder of 1,000,000 files, at 1920x1080
// with device-pixel ratio 1 and 2 (raster into reused buffers, as the widget does, and once
// into fresh ones); then one full 7680x4320 off-screen export (layout,
// raster, names, grab) of the 1,000,000-node tree with its peak resident memory.
// Best of R runs (the 10,000,000-node tree runs once).
//
//   bench_treemap_bench [--runs R] [--skip-large]
#include "bench/BenchAppSupport.h"
#include "bench/BenchSupport.h"
#include "core/analysis/ExtensionStats.h"
#include "core/tree/ScanTree.h"
#include "core/treemap/TreemapLayout.h"
#include "ui/treemap/TreemapColorSettings.h"
#include "ui/treemap/TreemapImageRender.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <string>

namespace {

bench::Xorshift g_random(0x2545f4914f6cdd1dULL);
uint64_t nextRandom() { return g_random.next(); }

// Mostly small files, a few very large ones.
uint64_t fileSize() {
    const uint64_t r = nextRandom();
    const int magnitude = int(r % 100);
    const uint64_t base = (r >> 8) % 1000 + 1;
    if (magnitude < 60)
        return base * 10;
    if (magnitude < 90)
        return base * 1000;
    if (magnitude < 99)
        return base * 100000;
    return base * 10000000;
}

const char* const kExtensions[] = {"jpg", "png", "txt", "pdf", "mp3", "flac", "mkv", "cpp", "h",  "o",
                                   "so",  "gz",  "zip", "json", "iso", "deb", "log", "",    "py", "mp4"};

void setNode(svl::ScanTree& tree, uint32_t id, uint32_t parent, const std::string& name, uint16_t flags,
             uint64_t size) {
    tree.node(id) = svl::ScanNode{tree.storeName(name), size, size, 0, parent, 0, 0, 0, 0, uint16_t(name.size()),
                                  flags};
}

// Breadth first, so every folder's children are claimed in one contiguous block.
std::shared_ptr<svl::ScanTree> makeTree(uint32_t nodes, uint32_t subfolders, uint32_t files) {
    auto tree = std::make_shared<svl::ScanTree>();
    const uint32_t root = tree->allocateNodes(1);
    setNode(*tree, root, 0, "/bench", svl::NodeFlag::Folder, 0);
    uint32_t made = 1;
    std::deque<uint32_t> pending{root};
    while (!pending.empty() && made < nodes) {
        const uint32_t folder = pending.front();
        pending.pop_front();
        const uint32_t count = std::min(subfolders + files, nodes - made);
        const uint32_t first = tree->allocateNodes(count);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t id = first + i;
            if (i < subfolders) {
                setNode(*tree, id, folder, "dir" + std::to_string(id), svl::NodeFlag::Folder, 0);
                pending.push_back(id);
            } else {
                const char* ext = kExtensions[nextRandom() % (sizeof(kExtensions) / sizeof(*kExtensions))];
                std::string name = "file" + std::to_string(id);
                if (*ext)
                    name += std::string(".") + ext;
                setNode(*tree, id, folder, name, 0, fileSize());
            }
        }
        tree->node(folder).firstChild = first;
        tree->node(folder).childCount = count;
        made += count;
    }
    tree->finishNodeCount();
    tree->computeTotals();
    return tree;
}

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

long peakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

long currentRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// Starts a new peak measurement (Linux: writing 5 to clear_refs resets VmHWM).
bool resetPeakRss() {
    std::ofstream refs("/proc/self/clear_refs");
    refs << "5";
    return bool(refs);
}

void benchTree(const char* label, const std::shared_ptr<svl::ScanTree>& tree, int runs) {
    const svl::ExtensionColorMap colors = svl::indexExtensionStats(svl::computeExtensionStats(*tree));
    const svl::TreemapPalette palette = loadTreemapPalette();
    svl::TreemapOptions options;
    options.showNames = true;
    options.fileGroupMinSize = 4;
    options.colorMap = &colors;
    for (double ratio : {1.0, 2.0}) {
        const int width = int(1920 * ratio), height = int(1080 * ratio);
        double layoutMs = 1e30, rasterMs = 1e30, firstMs = 0;
        size_t leaves = 0;
        svl::TreemapPixels pixels;
        for (int run = 0; run < runs; ++run) {
            auto start = std::chrono::steady_clock::now();
            const svl::TreemapLayout layout = svl::layoutTreemap(*tree, 0, {0, 0, 1920, 1080}, options);
            layoutMs = std::min(layoutMs, msSince(start));
            leaves = layout.leaves.size();
            if (run == 0) {
                // Fresh buffers pay for their first-touched pages.
                svl::TreemapPixels fresh;
                start = std::chrono::steady_clock::now();
                layout.render(palette, width, height, fresh, true, ratio);
                firstMs = msSince(start);
            }
            start = std::chrono::steady_clock::now();
            layout.render(palette, width, height, pixels, true, ratio);
            rasterMs = std::min(rasterMs, msSince(start));
        }
        std::printf("%-22s %9u %5.0f %8zu %10.1f %10.1f %12.1f %14.1f\n", label, tree->nodeCount, ratio, leaves,
                    layoutMs, rasterMs, firstMs, layoutMs + rasterMs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    bool skipLarge = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--skip-large"))
            skipLarge = true;
    }
    const bench::OffscreenApp app(argc, argv, "hm-treemap-bench");
    if (!app.ok())
        return 1;

    std::printf("%-22s %9s %5s %8s %10s %10s %12s %14s\n", "tree", "nodes", "ratio", "leaves", "layout ms",
                "raster ms", "fresh raster", "layout+raster");
    std::shared_ptr<svl::ScanTree> exportTree;
    {
        auto tree = makeTree(100000, 8, 24);
        benchTree("nested 100k", tree, runs);
    }
    {
        exportTree = makeTree(1000000, 8, 24);
        benchTree("nested 1M", exportTree, runs);
    }
    {
        auto flat = makeTree(1000001, 0, 1000000);
        benchTree("flat folder 1M files", flat, runs);
    }
    if (!skipLarge) {
        auto tree = makeTree(10000000, 8, 24);
        benchTree("nested 10M", tree, 1);
    }

    const long before = currentRssKiB();
    const bool peakReset = resetPeakRss();
    TreemapImageRequest request;
    request.width = 7680;
    request.height = 4320;
    request.allocated = false;
    const auto start = std::chrono::steady_clock::now();
    const QImage image = renderTreemapImage(exportTree, request);
    const double exportMs = msSince(start);
    const long peak = peakRssKiB();
    std::printf("\nexport 7680x4320 of nested 1M: %.1f ms, image %dx%d, RSS before %.1f MiB, peak %s%.1f MiB "
                "(+%.1f MiB)\n",
                exportMs, image.width(), image.height(), before / 1024.0, peakReset ? "" : "(since start) ",
                peak / 1024.0, (peak - before) / 1024.0);
    return image.isNull() ? 1 : 0;
}
