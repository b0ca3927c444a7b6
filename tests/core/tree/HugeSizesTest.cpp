// Sizes whose sums pass 2^64 - 1: every sum stops at the largest value, so a folder is
// never smaller than a file inside it.
#include "core/analysis/Duplicates.h"
#include "core/analysis/ExtensionStats.h"
#include "core/exchange/CsvExport.h"
#include "tests/core/tree/TreeBuilder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace treetest;

namespace {

constexpr uint64_t kMax = UINT64_MAX;
constexpr uint64_t k62 = uint64_t(1) << 62;

// The PERCENTOFPARENT column of every row but the header.
std::vector<double> exportedPercents(const svl::ScanTree& tree) {
    hmtest::TempDir dir("hugesizes");
    svl::CsvExportOptions options;
    options.exportPercentOfParent = true;
    options.exportDriveCapacity = false;
    std::string error;
    EXPECT_TRUE(svl::exportCsv(tree, {0}, false, options, 0, 0, dir / "out.csv", &error)) << error;
    std::ifstream in(dir / "out.csv");
    std::string line;
    std::getline(in, line);
    std::vector<double> percents;
    while (std::getline(in, line))
        percents.push_back(std::stod(line.substr(line.rfind(',') + 1)));
    return percents;
}

}  // namespace

TEST(HugeSizes, SumsStopAtTheLargestSize) {
    const auto tree = build(dir("/r", {dir("d", {file("a.bin", kMax / 2, kMax / 2), file("b.bin", k62, k62),
                                                 file("c.bin", k62, k62), file("d.bin", 100, 100)})}));
    for (uint32_t id : {0u, 1u}) {
        EXPECT_EQ(tree->node(id).size, kMax) << id;
        EXPECT_EQ(tree->node(id).allocated, kMax) << id;
    }
    const svl::DirectFilesSummary files = tree->directFilesSummary(1);
    EXPECT_EQ(files.size, kMax);
    EXPECT_EQ(files.allocated, kMax);

    const std::vector<svl::ExtensionStat> stats = svl::computeExtensionStats(*tree);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0].size, kMax);
    EXPECT_EQ(stats[0].allocated, kMax);

    for (double percent : exportedPercents(*tree)) {
        EXPECT_GE(percent, 0.0);
        EXPECT_LE(percent, 100.0);
    }

    svl::DuplicateIndex duplicates;
    duplicates.groupOf = {svl::DuplicateIndex::kNoGroup, 0, 0, 0};
    duplicates.groups = {{1, 2, 3}};
    EXPECT_EQ(duplicates.duplicateSize(1, k62), 2 * k62);
    EXPECT_EQ(duplicates.duplicateSize(1, 3 * k62), kMax);
}

TEST(HugeSizes, PercentOfParentStaysAtMostAHundredAfterARemoval) {
    // The folder saturated, then lost a file: it is now smaller than its other file.
    const auto tree = build(dir("/r", {file("big", kMax), file("half", uint64_t(1) << 63)}));
    ASSERT_TRUE(tree->markRemoved(2));
    ASSERT_LT(tree->node(0).size, tree->node(1).size);
    const std::vector<double> percents = exportedPercents(*tree);
    ASSERT_EQ(percents.size(), 2u);
    EXPECT_EQ(percents[1], 100.0);
}
