#include "core/analysis/ExtensionStats.h"

#include <gtest/gtest.h>

#include <map>

#include "core/analysis/Parallel.h"
#include "tests/core/analysis/AnalysisTestTree.h"

using namespace analysistest;
using svl::ExtensionStat;

namespace {

const ExtensionStat* row(const std::vector<ExtensionStat>& stats, const std::string& extension) {
    for (const ExtensionStat& s : stats)
        if (s.extension == extension)
            return &s;
    return nullptr;
}

struct Sums {
    uint64_t size = 0, allocated = 0, files = 0;
};

}  // namespace

TEST(ExtensionStats, EmptyTreesGiveNoRows) {
    EXPECT_TRUE(svl::computeExtensionStats(*buildTree({}).tree).empty());
    EXPECT_TRUE(svl::computeExtensionStats(*buildTree({folder(-1, "/r"), folder(0, "a.txt")}).tree).empty());
}

TEST(ExtensionStats, ExtensionIsThePartAfterTheLastDot) {
    const std::string ext16 = "abcdefghijklmnop";
    const std::string ext17 = "abcdefghijklmnopq";
    const BuiltTree t = buildTree({
        folder(-1, "/r"),
        file(0, "README", 1),
        file(0, "notes.", 2),
        file(0, "", 4),
        file(0, "Photo.JPG", 10),
        file(0, "photo.jpg", 20),
        file(0, "archive.tar.gz", 30),
        file(0, ".profile", 40),
        file(0, "a." + ext16, 50),
        file(0, "b.ABCDEFGHIJKLMNOP", 60),
        file(0, "a." + ext17, 70),
        file(0, "b.ABCDEFGHIJKLMNOPQ", 80),
        file(0, "x.\xc3\x89T\xc3\xa9", 90),
        file(0, "link.lnk", 5, 0, svl::NodeFlag::Symlink),
        file(0, "gone.jpg", 1000, 0, svl::NodeFlag::Removed),
    });
    const auto stats = svl::computeExtensionStats(*t.tree);
    const std::map<std::string, std::pair<uint64_t, uint64_t>> expected{
        {"", {7, 3}},           {"jpg", {30, 2}},        {"gz", {30, 1}},         {"profile", {40, 1}},
        {ext16, {110, 2}},      {ext17, {150, 2}},       {"\xc3\x89t\xc3\xa9", {90, 1}},
        {"lnk", {5, 1}},
    };
    ASSERT_EQ(stats.size(), expected.size());
    for (const auto& [ext, sizeAndFiles] : expected) {
        const ExtensionStat* r = row(stats, ext);
        ASSERT_NE(r, nullptr) << ext;
        EXPECT_EQ(r->size, sizeAndFiles.first) << ext;
        EXPECT_EQ(r->files, sizeAndFiles.second) << ext;
    }
}

TEST(ExtensionStats, HardLinksAddNoAllocationAndTiesSortByText) {
    BuiltTree t = buildTree({
        folder(-1, "/r"),
        file(0, "a.b", 100),
        file(0, "c.ab", 100),
        file(0, "d.a", 100),
        file(0, "e.zz", 5000),
        file(0, "f.zz", 5000, 0, svl::NodeFlag::ExtraHardLink),
        file(0, "g.mid", 4096),
        file(0, "h.mid", 4096, 0, svl::NodeFlag::ExtraHardLink),
    });
    const auto stats = svl::computeExtensionStats(*t.tree);
    ASSERT_EQ(stats.size(), 5u);
    EXPECT_EQ(stats[0].extension, "zz");
    EXPECT_EQ(stats[0].size, 10000u);
    EXPECT_EQ(stats[0].allocated, 8192u);
    EXPECT_EQ(stats[0].files, 2u);
    EXPECT_EQ(stats[1].extension, "a");  // 4096 allocated each: a, ab, b, mid
    EXPECT_EQ(stats[2].extension, "ab");
    EXPECT_EQ(stats[3].extension, "b");
    EXPECT_EQ(stats[4].extension, "mid");
    EXPECT_EQ(stats[4].allocated, 4096u);
    EXPECT_EQ(stats[4].size, 8192u);
}

TEST(ExtensionStats, SameRowsForAnyChunkingAndThreadCount) {
    for (uint32_t nodes : {0u, 1u, 199999u, 200000u, kLargeNodes}) {
        const BuiltTree t = makeLargeTree(nodes, nodes + 5);
        const svl::ScanTree& tree = *t.tree;
        // Independent sums: one std::map over all nodes.
        std::map<std::string, Sums> expected;
        for (uint32_t id = 0; id < tree.nodeCount; ++id) {
            const svl::ScanNode& n = tree.nodes[id];
            if (n.flags & (svl::NodeFlag::Folder | svl::NodeFlag::Removed))
                continue;
            const std::string_view name = n.nameView();
            const size_t dot = name.rfind('.');
            std::string ext(dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1));
            for (char& c : ext)
                if (c >= 'A' && c <= 'Z')
                    c = char(c - 'A' + 'a');
            Sums& s = expected[ext];
            s.size += n.size;
            s.allocated += (n.flags & svl::NodeFlag::ExtraHardLink) ? 0 : n.allocated;
            s.files += 1;
        }
        std::vector<ExtensionStat> reference;
        {
            svl::ScopedHardwareThreads one(1);
            reference = svl::computeExtensionStats(tree);
        }
        ASSERT_EQ(reference.size(), expected.size()) << nodes;
        for (size_t i = 0; i < reference.size(); ++i) {
            const ExtensionStat& r = reference[i];
            const Sums& s = expected[r.extension];
            EXPECT_EQ(r.size, s.size) << r.extension;
            EXPECT_EQ(r.allocated, s.allocated) << r.extension;
            EXPECT_EQ(r.files, s.files) << r.extension;
            if (i > 0) {
                const ExtensionStat& p = reference[i - 1];
                EXPECT_TRUE(p.allocated > r.allocated || (p.allocated == r.allocated && p.extension < r.extension));
            }
        }
        for (int threads : {2, 8, 64}) {
            svl::ScopedHardwareThreads forced(threads);
            const auto other = svl::computeExtensionStats(tree);
            ASSERT_EQ(other.size(), reference.size());
            for (size_t i = 0; i < other.size(); ++i) {
                EXPECT_EQ(other[i].extension, reference[i].extension) << threads;
                EXPECT_EQ(other[i].size, reference[i].size) << threads;
                EXPECT_EQ(other[i].allocated, reference[i].allocated) << threads;
                EXPECT_EQ(other[i].files, reference[i].files) << threads;
            }
        }
    }
}
