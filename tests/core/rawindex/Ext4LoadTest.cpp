// The ext4 index read from real loop-mounted volumes (root only), compared entry by entry
// with what the kernel reports for the mounted files; and cancelled loads.
#include "tests/core/rawindex/Ext4Fixtures.h"

#include <atomic>

using namespace ext4test;
using hmtest::LoopMount;
using hmtest::sh;
using hmtest::shQuote;
using hmtest::TempDir;

namespace {

// Fills a mounted volume: the mixed fixture, a folder large enough to be hashed, and times
// before 1970 and after 2038.
void populateVolume(const std::string& top) {
    populateMixed(top);
    std::string q = shQuote(top);
    ::mkdir((top + "/hashed").c_str(), 0755);
    // Names this long make the folder span ~300 blocks of 1 KiB, past its single-indirect block.
    createFiles(top + "/hashed", "entry-with-a-name-long-enough-to-need-indirection-", 5200);
    sh("cd " + q + "/hashed && rm entry-*-17 entry-*-4000");  // leave gaps in the folder blocks
    sh("cd " + q + " && touch -d '1950-06-01 12:00:00 UTC' a/one.txt && touch -d '1969-12-31 23:59:59 UTC' empty"
       " && touch -d '2040-01-01 00:00:00 UTC' a/b/zeros && touch -d '2300-03-04 00:00:00 UTC' a/b/c");
    sh("sync -f " + q);
}

std::unique_ptr<svl::Ext4Index> loadDevice(const std::string& device) {
    std::string error;
    auto index = svl::Ext4Index::open(device, &error);
    EXPECT_TRUE(index) << error;
    if (!index)
        return nullptr;
    EXPECT_TRUE(index->load(nullptr, {}, &error)) << error;
    return index;
}

}  // namespace

TEST(Ext4LoadTest, Ext4IndexMatchesMountedVolumes) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for loop devices";
    // Whole scans of every layout are compared with the folder walk in Ext4ScanTest; here the
    // 1 KiB layouts, whose big folders reach the deepest block maps, are checked field by field.
    const char* layouts[] = {
        "mkfs.ext4 -q -F -b 1024",
        "mkfs.ext4 -q -F -O ^extent,^64bit -b 1024",
        "mkfs.ext4 -q -F -t ext3 -b 1024",
    };
    for (const char* mkfs : layouts) {
        SCOPED_TRACE(mkfs);
        TempDir dir("ext4load");
        LoopMount volume(dir.path(), mkfs, 64);
        ASSERT_TRUE(volume.ok()) << volume.error();
        populateVolume(volume.mountPoint());
        auto index = loadDevice(volume.device());
        ASSERT_TRUE(index);
        svl::RawStat root;
        ASSERT_TRUE(index->stat(index->rootId(), &root));
        struct stat st;
        ASSERT_EQ(lstat(volume.mountPoint().c_str(), &st), 0);
        EXPECT_EQ(root.mtime, int64_t(st.st_mtime));
        EXPECT_EQ(root.allocated, uint64_t(st.st_blocks));
        TreeCounts counts;
        expectSameAsLive(*index, index->rootId(), volume.mountPoint(), counts);
        EXPECT_GT(counts.files, 5200u);
        EXPECT_EQ(counts.folders, 7u);  // a, b, c, empty, space name, hashed, lost+found
        EXPECT_GE(index->entriesRead(), counts.files + counts.folders);
    }
}

TEST(Ext4LoadTest, Ext4IndexKeepsWhatACancelledLoadRead) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for loop devices";
    // 1 KiB blocks without flex_bg: every group's inode table lies in its own 8 MiB group, so
    // each group is read in its own batch and a cancel can fall between them.
    TempDir dir("ext4cancel");
    LoopMount volume(dir.path(), "mkfs.ext4 -q -F -b 1024 -O ^flex_bg", 128);
    ASSERT_TRUE(volume.ok()) << volume.error();
    for (int d = 1; d <= 40; ++d) {
        std::string folder = volume.mountPoint() + "/d" + std::to_string(d);
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        createFiles(folder, "f", 30);
    }
    sh("sync -f " + shQuote(volume.mountPoint()));

    auto full = loadDevice(volume.device());
    ASSERT_TRUE(full);

    std::string error;
    auto index = svl::Ext4Index::open(volume.device(), &error);
    ASSERT_TRUE(index) << error;
    std::atomic<bool> cancel{false};
    std::vector<double> reports;
    auto progress = [&](double f) {
        reports.push_back(f);
        if (f > 0.05)
            cancel = true;  // first report of the inode-table pass
    };
    ASSERT_TRUE(index->load(&cancel, progress, &error)) << error;
    EXPECT_TRUE(index->isPartial());
    EXPECT_EQ(error, "");
    ASSERT_FALSE(reports.empty());
    EXPECT_LT(reports.back(), 1.0);  // a partial load never reports completion
    EXPECT_LT(index->entriesRead(), full->entriesRead());

    // Every listed child has a record; folders whose inodes were not reached list nothing.
    auto countListed = [](const svl::RawIndex& raw) {
        std::vector<uint64_t> queue{2};
        std::vector<svl::RawChild> children;
        size_t listed = 0;
        while (!queue.empty()) {
            uint64_t id = queue.back();
            queue.pop_back();
            if (!raw.children(id, &children))
                continue;
            for (const svl::RawChild& child : children) {
                svl::RawStat record;
                EXPECT_TRUE(raw.stat(child.id, &record)) << child.name;
                if (record.folderIndex != 0xFFFFFFFFu)
                    queue.push_back(child.id);
                ++listed;
            }
        }
        return listed;
    };
    size_t listed = countListed(*index);
    EXPECT_GE(listed, 1u);  // lost+found lies in the first group
    EXPECT_LT(listed, countListed(*full));
}
