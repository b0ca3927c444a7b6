#include "core/analysis/Duplicates.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <tuple>
#include <string>

#include "core/analysis/Parallel.h"
#include "tests/core/analysis/AnalysisTestTree.h"

using namespace analysistest;
using svl::DuplicateIndex;
using svl::DuplicateMethod;

namespace {

std::pair<uint64_t, uint64_t> key(const std::string& name) {
    uint64_t a = 0, b = 0;
    svl::duplicateNameKey(uint16_t(name.size()), name.data(), a, b);
    return {a, b};
}

// The hash of key bytes exactly as given (no suffix removal), written out independently.
std::pair<uint64_t, uint64_t> hashOnly(const std::string& bytes) {
    uint64_t a = 0xcbf29ce484222325ULL, b = 0x84222325cbf29ce4ULL;
    for (unsigned char c : bytes) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<unsigned char>(c + 32);
        a ^= c;
        a *= 0x100000001b3ULL;
        b = (b + c + 1) * 0x9e3779b97f4a7c15ULL;
        b ^= b >> 29;
    }
    return {svl::splitMix64(a), svl::splitMix64(b)};
}

DuplicateIndex detect(const svl::ScanTree& tree, DuplicateMethod method) {
    return svl::detectDuplicates(tree, method, nullptr, 0);
}

// Checks the invariants every index must hold and returns the groups by member ids.
void expectWellFormed(const svl::ScanTree& tree, const DuplicateIndex& index) {
    if (index.groups.empty()) {
        ASSERT_TRUE(index.groupOf.empty() || index.groupOf.size() == tree.nodeCount);
    } else {
        ASSERT_EQ(index.groupOf.size(), tree.nodeCount);
    }
    size_t members = 0;
    uint32_t previousSmallest = 0;
    for (size_t g = 0; g < index.groups.size(); ++g) {
        const auto& group = index.groups[g];
        ASSERT_GE(group.size(), 2u);
        const uint32_t smallest = *std::min_element(group.begin(), group.end());
        if (g > 0) {
            EXPECT_LT(previousSmallest, smallest);
        }
        previousSmallest = smallest;
        for (uint32_t id : group)
            EXPECT_EQ(index.groupOf[id], g);
        members += group.size();
    }
    size_t grouped = 0;
    for (uint32_t g : index.groupOf)
        grouped += g != DuplicateIndex::kNoGroup;
    EXPECT_EQ(grouped, members);
}

}  // namespace

TEST(DuplicatesNameKey, SuffixesAreRemovedAsDocumented) {
    const std::pair<const char*, const char*> examples[] = {
        {"Photo (3).JPG", "Photo.JPG"},
        {"Notes - Copy.txt", "Notes.txt"},
        {"Notes copy 2.txt", "Notes.txt"},
        {"Song - Copy (2).mp3", "Song.mp3"},
        {"Song - Copy - Copy.mp3", "Song -.mp3"},
        {"Song copy 2 copy.mp3", "Song copy 2.mp3"},
        {"abc (2)", "abc"},
        {"a (1) (2).txt", "a (1).txt"},
        {"Notes (0).txt", "Notes (0).txt"},
        {"Notes copy 0.txt", "Notes copy 0.txt"},
        {"Report(2).pdf", "Report(2).pdf"},
        {".config (2)", ".config (2)"},
        {"Photo (1234567890).jpg", "Photo (1234567890).jpg"},
        {"Photo (123456789).jpg", "Photo.jpg"},
        {"x.tar COPY.gz", "x.tar.gz"},
        {"Notes copy 2 copy 3.txt", "Notes copy 2.txt"},
        {"Notes copy x copy 3.txt", "Notes copy x.txt"},
        {"Notes copy 3x.txt", "Notes copy 3x.txt"},
        {"abc ()", "abc ()"},
    };
    for (const auto& [name, stripped] : examples)
        EXPECT_EQ(key(name), hashOnly(stripped)) << name;
    // The suffix only goes when the rules say so: these keys stay apart.
    EXPECT_NE(key("Notes (0).txt"), key("Notes.txt"));
    EXPECT_NE(key("Report(2).pdf"), key("Report.pdf"));
    EXPECT_NE(key("Song - Copy - Copy.mp3"), key("Song.mp3"));
}

TEST(DuplicatesNameKey, FoldsAsciiCaseOnlyAndHashesEmptyNames) {
    EXPECT_EQ(key("PHOTO.Jpg"), key("photo.jPG"));
    EXPECT_NE(key("\xc3\x89t\xc3\xa9.txt"), key("\xc3\xa9t\xc3\xa9.txt"));  // É vs é
    EXPECT_NE(key("a.txt"), key("a.tx"));
    EXPECT_EQ(key(""), std::make_pair(uint64_t(0xc3817c016ba4ff30ULL), uint64_t(0x6bc0810cc751a61bULL)));
    EXPECT_EQ(svl::splitMix64(0), 0xe220a8397b1dcdafULL);
}

TEST(DuplicatesDetect, NothingToFindGivesAnEmptyIndex) {
    const BuiltTree empty = buildTree({});
    EXPECT_TRUE(detect(*empty.tree, DuplicateMethod::NameSize).groupOf.empty());

    const BuiltTree foldersAndEmpty =
        buildTree({folder(-1, "/r"), folder(0, "a"), folder(0, "a"), file(1, "x", 0), file(2, "x", 0)});
    DuplicateIndex index = detect(*foldersAndEmpty.tree, DuplicateMethod::NameSize);
    EXPECT_TRUE(index.groupOf.empty());
    EXPECT_TRUE(index.groups.empty());

    const BuiltTree single = buildTree({folder(-1, "/r"), file(0, "x", 10)});
    EXPECT_TRUE(detect(*single.tree, DuplicateMethod::NameSize).groupOf.empty());

    const BuiltTree pair = buildTree({folder(-1, "/r"), folder(0, "d"), file(0, "x", 10), file(1, "x", 10)});
    EXPECT_TRUE(detect(*pair.tree, DuplicateMethod::None).groupOf.empty());

    const BuiltTree distinct = buildTree({folder(-1, "/r"), file(0, "x", 10), file(0, "y", 10), file(0, "x.a", 11)});
    index = detect(*distinct.tree, DuplicateMethod::NameSize);
    EXPECT_TRUE(index.groups.empty());
    ASSERT_EQ(index.groupOf.size(), distinct.tree->nodeCount);
    for (uint32_t g : index.groupOf)
        EXPECT_EQ(g, DuplicateIndex::kNoGroup);
}

TEST(DuplicatesDetect, CopiesGroupOldestFirstAndCountsExtraCopies) {
    const BuiltTree t = buildTree({
        folder(-1, "/r"),                       // 0
        folder(0, "d"),                         // 1
        file(0, "Photo.jpg", 100, 50),          // 2
        file(0, "Photo (2).jpg", 100, 10),      // 3
        file(0, "Photo (0).jpg", 100, 10),      // 4
        file(1, "photo - copy.JPG", 100, 10),   // 5
        file(1, "Photo.jpg", 101, 10),          // 6 other size
        file(1, "Photo.jpg", 100, 5, svl::NodeFlag::Removed),
        file(1, "Photo.jpg", 100, 5, svl::NodeFlag::ExtraHardLink),
        file(1, "\xc3\x89.txt", 7),
        file(0, "\xc3\xa9.txt", 7),
        file(0, "", 3),
        file(1, "", 3),
    });
    const auto id = [&](int e) { return t.idOf[size_t(e)]; };
    const DuplicateIndex index = detect(*t.tree, DuplicateMethod::NameSize);
    expectWellFormed(*t.tree, index);
    ASSERT_EQ(index.groups.size(), 2u);
    // Oldest first, equal times by id; the removed node and the other size stay out.
    const std::vector<uint32_t> expected{id(8), id(3), id(5), id(2)};
    EXPECT_EQ(index.groups[0], expected);
    EXPECT_EQ(index.groups[1], (std::vector<uint32_t>{id(11), id(12)}));  // empty names
    EXPECT_EQ(index.duplicateCount(id(2)), 3u);
    EXPECT_EQ(index.duplicateSize(id(2), 100), 300u);
    EXPECT_EQ(index.duplicateCount(id(4)), 0u);
    EXPECT_EQ(index.duplicateCount(id(7)), 0u);
    EXPECT_EQ(index.duplicateCount(id(9)), 0u);
    EXPECT_EQ(index.duplicateCount(t.tree->nodeCount + 5), 0u);
    EXPECT_EQ(index.duplicateSize(t.tree->nodeCount + 5, 100), 0u);
}

TEST(DuplicatesDetect, NameSizeDateNeedsEqualTimes) {
    const BuiltTree t = buildTree({
        folder(-1, "/r"),
        file(0, "a.bin", 9, 1000),
        file(0, "A.bin", 9, 1001),
        file(0, "a copy.bin", 9, 1001),
        file(0, "a (2).bin", 9, 1000),
    });
    const DuplicateIndex byDate = detect(*t.tree, DuplicateMethod::NameSizeDate);
    expectWellFormed(*t.tree, byDate);
    ASSERT_EQ(byDate.groups.size(), 2u);
    EXPECT_EQ(byDate.groups[0], (std::vector<uint32_t>{t.idOf[1], t.idOf[4]}));
    EXPECT_EQ(byDate.groups[1], (std::vector<uint32_t>{t.idOf[2], t.idOf[3]}));
    const DuplicateIndex bySize = detect(*t.tree, DuplicateMethod::NameSize);
    ASSERT_EQ(bySize.groups.size(), 1u);
    EXPECT_EQ(bySize.groups[0], (std::vector<uint32_t>{t.idOf[1], t.idOf[4], t.idOf[2], t.idOf[3]}));
}

TEST(DuplicatesDetect, ChangedGenerationCancels) {
    const BuiltTree t = makeLargeTree(200000);
    std::atomic<int32_t> generation{7};
    const DuplicateIndex full = svl::detectDuplicates(*t.tree, DuplicateMethod::NameSize, &generation, 7);
    EXPECT_FALSE(full.groups.empty());
    const DuplicateIndex cancelled = svl::detectDuplicates(*t.tree, DuplicateMethod::NameSize, &generation, 6);
    EXPECT_TRUE(cancelled.groups.empty());
    EXPECT_TRUE(cancelled.groupOf.empty());

    // Cancelling while the run is under way: what comes back is either the whole result or empty.
    std::atomic<bool> started{false};
    std::thread canceller([&] {
        while (!started.load()) {
        }
        generation.store(8);
    });
    started.store(true);
    const DuplicateIndex racing = svl::detectDuplicates(*t.tree, DuplicateMethod::NameSize, &generation, 7);
    canceller.join();
    if (!racing.groups.empty()) {
        EXPECT_EQ(racing.groups, full.groups);
        EXPECT_EQ(racing.groupOf, full.groupOf);
    } else {
        EXPECT_TRUE(racing.groupOf.empty());
    }
}

TEST(DuplicatesDetect, ResultDoesNotDependOnThreadCount) {
    for (uint32_t nodes : {0u, 1u, 199999u, 200000u, kLargeNodes}) {
        const BuiltTree t = makeLargeTree(nodes, nodes + 3);
        for (DuplicateMethod method : {DuplicateMethod::NameSize, DuplicateMethod::NameSizeDate}) {
            if (method == DuplicateMethod::NameSizeDate && nodes != 200000)
                continue;  // the method changes only the keys, not how the passes are cut
            DuplicateIndex reference;
            {
                svl::ScopedHardwareThreads one(1);
                reference = detect(*t.tree, method);
            }
            expectWellFormed(*t.tree, reference);
            if (nodes > 1000) {
                EXPECT_GT(reference.groups.size(), 10u);
            }
            for (int threads : {2, 8, 64}) {
                svl::ScopedHardwareThreads forced(threads);
                const DuplicateIndex other = detect(*t.tree, method);
                EXPECT_EQ(other.groupOf, reference.groupOf) << nodes << " nodes, " << threads << " threads";
                EXPECT_EQ(other.groups, reference.groups) << nodes << " nodes, " << threads << " threads";
            }
        }
    }
}

TEST(DuplicatesDetect, MatchesAGroupingByNameKeySizeAndTime) {
    // An independent grouping with std::map over the same tree.
    const BuiltTree t = makeLargeTree(20000, 11);
    const svl::ScanTree& tree = *t.tree;
    std::map<std::tuple<uint64_t, uint64_t, uint64_t, int64_t>, std::vector<uint32_t>> byKey;
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        const svl::ScanNode& n = tree.nodes[id];
        if ((n.flags & (svl::NodeFlag::Folder | svl::NodeFlag::Removed)) || n.size == 0)
            continue;
        const auto [a, b] = key(std::string(n.nameView()));
        byKey[{a, b, n.size, n.modified}].push_back(id);
    }
    size_t expectedGroups = 0;
    const DuplicateIndex index = detect(tree, DuplicateMethod::NameSizeDate);
    expectWellFormed(tree, index);
    for (const auto& [k, ids] : byKey) {
        if (ids.size() < 2) {
            EXPECT_EQ(index.groupOf[ids[0]], DuplicateIndex::kNoGroup);
            continue;
        }
        ++expectedGroups;
        const uint32_t g = index.groupOf[ids[0]];
        ASSERT_NE(g, DuplicateIndex::kNoGroup);
        EXPECT_EQ(index.groups[g], ids);  // ids were collected in ascending order
    }
    EXPECT_EQ(index.groups.size(), expectedGroups);
}
