// File-types page benchmark: a tree whose files carry 300,000 distinct extensions (hash
// suffixes as Maildir and caches leave them, plus a few dozen ordinary ones), summed with
// computeExtensionStats and handed to FileTypesModel; then milliseconds of each re-sort,
// the first File Type sort including every MIME lookup (cold), the next ones from the cache.
//
//   bench_filetypes_bench [--extensions N]
#include "core/analysis/ExtensionStats.h"
#include "core/tree/ScanTree.h"
#include "ui/views/FileTypesModel.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

namespace {

const char* const kCommon[] = {"jpg", "png", "txt", "pdf", "mp3", "flac", "mkv", "cpp", "h",    "o",   "so",
                               "gz",  "zip", "json", "iso", "deb", "log", "py",  "mp4", "html", "svg", "xml"};

// One root folder holding `extensions` files with distinct hexadecimal suffixes and
// ten files of each common extension.
std::unique_ptr<svl::ScanTree> buildTree(uint32_t extensions) {
    auto tree = std::make_unique<svl::ScanTree>();
    std::mt19937_64 random(42);
    const uint32_t common = uint32_t(std::size(kCommon)) * 10;
    const uint32_t files = extensions + common;
    const uint32_t first = tree->allocateNodes(files + 1);
    tree->node(first) = svl::ScanNode{tree->storeName("root"), 0, 0, 0, 0, 1, files, 0, 0, 4, svl::NodeFlag::Folder};
    char name[64];
    for (uint32_t i = 0; i < files; ++i) {
        if (i < extensions)
            std::snprintf(name, sizeof name, "1700000000.M%uP1.host.%016llx", i,
                          static_cast<unsigned long long>(random()));
        else
            std::snprintf(name, sizeof name, "file%u.%s", i, kCommon[(i - extensions) % std::size(kCommon)]);
        const uint64_t size = random() % 100000;
        tree->node(i + 1) = svl::ScanNode{tree->storeName(name), size, (size + 4095) / 4096 * 4096, 0, 0, 0, 0, 0,
                                          0, uint16_t(std::strlen(name)), 0};
    }
    tree->finishNodeCount();
    tree->computeTotals();
    return tree;
}

template <typename F>
double millis(F&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t extensions = 300000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--extensions") == 0)
            extensions = uint32_t(std::strtoul(argv[++i], nullptr, 10));
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    const std::unique_ptr<svl::ScanTree> tree = buildTree(extensions);
    std::vector<svl::ExtensionStat> stats;
    const double statsMs = millis([&] { stats = svl::computeExtensionStats(*tree); });
    const size_t rows = stats.size();

    FileTypesModel model;
    std::printf("%zu rows (%u distinct hash suffixes)\n\n", rows, extensions);
    std::printf("%-44s %10s\n", "step", "ms");
    std::printf("%-44s %10.1f\n", "computeExtensionStats", statsMs);
    std::printf("%-44s %10.1f\n", "setStats (sorted by Allocated, descending)",
                millis([&] { model.setStats(std::move(stats), {}); }));
    std::printf("%-44s %10.1f\n", "File Type ascending, cold MIME cache",
                millis([&] { model.sort(FileTypesModel::TypeColumn, Qt::AscendingOrder); }));
    std::printf("%-44s %10.1f\n", "File Type descending, warm",
                millis([&] { model.sort(FileTypesModel::TypeColumn, Qt::DescendingOrder); }));
    std::printf("%-44s %10.1f\n", "Extension ascending",
                millis([&] { model.sort(FileTypesModel::ExtensionColumn, Qt::AscendingOrder); }));
    std::printf("%-44s %10.1f\n", "Size descending",
                millis([&] { model.sort(FileTypesModel::SizeColumn, Qt::DescendingOrder); }));
    std::printf("%-44s %10.1f\n", "File Type ascending, warm",
                millis([&] { model.sort(FileTypesModel::TypeColumn, Qt::AscendingOrder); }));
    return model.rowCount() == int(rows) ? 0 : 1;
}
