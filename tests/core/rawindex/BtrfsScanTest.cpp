// Whole scans of loop-mounted Btrfs volumes (root only): reading a subvolume's metadata must
// give the tree the folder walk gives, nested subvolumes included, at every reader thread count;
// an ordinary user is refused and walked.
#include "core/rawindex/BtrfsIndex.h"
#include "tests/core/rawindex/BtrfsFixtures.h"

#include <cstdlib>

using btrfstest::BtrfsVolume;
using btrfstest::listing;
using btrfstest::scan;
using hmtest::sh;
using hmtest::shQuote;
using hmtest::TempDir;
namespace NodeFlag = svl::NodeFlag;

namespace {

class BtrfsScanFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hmtest::isRoot())
            GTEST_SKIP() << "needs root for loop devices";
        if (!hmtest::haveTool("mkfs.btrfs") || !hmtest::haveTool("btrfs"))
            GTEST_SKIP() << "needs btrfs-progs";
        sh("chmod 755 " + shQuote(m_dir.path()));
    }
    void TearDown() override { unsetenv("SVL_BTRFS_THREADS"); }
    TempDir m_dir{"btrfsscan"};
};

uint32_t nodeAt(const svl::ScanTree& tree, const std::string& path) {
    const int64_t id = tree.findPath(path.data(), path.size());
    EXPECT_GE(id, 0) << path;
    return id < 0 ? 0 : uint32_t(id);
}

}  // namespace

TEST_F(BtrfsScanFixture, BtrfsScanRawEqualsTheWalkAtEveryThreadCount) {
    BtrfsVolume volume(m_dir);
    ASSERT_TRUE(volume.ok()) << volume.error();
    const std::string top = volume.top();
    auto walked = scan(top, false);
    EXPECT_FALSE(walked->raw);
    EXPECT_EQ(walked->errors, 0u);
    const auto expected = listing(*walked);

    for (const char* threads : {"1", "4", "16"}) {
        SCOPED_TRACE(std::string("SVL_BTRFS_THREADS=") + threads);
        setenv("SVL_BTRFS_THREADS", threads, 1);
        svl::ScanProgress progress;
        auto raw = scan(top, true, &progress);
        ASSERT_TRUE(raw->raw) << raw->rawNote;
        EXPECT_EQ(raw->rawNote.rfind("Btrfs: read ", 0), 0u) << raw->rawNote;
        EXPECT_NE(raw->rawNote.find(" from " + top + ": "), std::string::npos) << raw->rawNote;
        EXPECT_FALSE(raw->rawNeedsAdmin);
        EXPECT_FALSE(raw->incomplete);
        EXPECT_EQ(progress.fraction.load(), 1.0);
        EXPECT_GT(progress.files.load(), 3000u);
        btrfstest::expectSameListing(listing(*raw), expected);
    }

    // Nested subvolumes and the snapshot are walked with their contents, not marked unreadable.
    auto raw = scan(top, true);
    for (const char* folder : {"sv", "sv/nested", "snap", "plain/inner/deep-sv"}) {
        const svl::ScanNode& n = raw->node(nodeAt(*raw, top + "/" + folder));
        EXPECT_EQ(n.flags, NodeFlag::Folder) << folder;
        EXPECT_GT(n.childCount, 0u) << folder;
    }
    EXPECT_EQ(raw->node(nodeAt(*raw, top + "/snap/d")).childCount, 2u);
    EXPECT_EQ(raw->node(nodeAt(*raw, top + "/plain/inner/one-byte")).allocated, 4096u);
    EXPECT_EQ(raw->node(nodeAt(*raw, top + "/docs/deep/old")).flags, NodeFlag::ReadOnly);
    EXPECT_EQ(raw->node(nodeAt(*raw, top + "/docs/deep/link")).flags, NodeFlag::Symlink);
    const svl::ScanNode& sparse = raw->node(nodeAt(*raw, top + "/plain/sparse"));
    EXPECT_EQ(sparse.size, 50u << 20);
    EXPECT_EQ(sparse.allocated, 3u * 4096);
    const svl::ScanNode& squeezed = raw->node(nodeAt(*raw, top + "/plain/squeezed"));
    EXPECT_EQ(squeezed.size, 3000000u);
    EXPECT_EQ(raw->errors, 0u);
}

TEST_F(BtrfsScanFixture, BtrfsScanSubvolumeMountedElsewhere) {
    BtrfsVolume volume(m_dir);
    ASSERT_TRUE(volume.ok()) << volume.error();
    const std::string other = m_dir / "other";
    ASSERT_EQ(sh("mkdir -p " + shQuote(other) + " && mount -o subvol=sv " + shQuote(volume.device()) + " " +
                 shQuote(other)),
              0);
    auto raw = scan(other, true);
    auto walked = scan(other, false);
    sh("umount " + shQuote(other));
    ASSERT_TRUE(raw->raw) << raw->rawNote;
    btrfstest::expectSameListing(listing(*raw), listing(*walked));
    EXPECT_EQ(raw->node(nodeAt(*raw, other + "/nested")).flags, NodeFlag::Folder);

    // The same subvolume scanned from the top holds the same entries.
    auto fromTop = scan(volume.top() + "/sv", false);
    EXPECT_EQ(fromTop->nodeCount, raw->nodeCount);
    EXPECT_EQ(fromTop->node(0).size, raw->node(0).size);

    // Mounted again inside the scanned volume, over a folder that holds a file of its own: the
    // raw scan counts what the mount shows, as the walk does.
    const std::string inside = volume.top() + "/docs/mounted-here";
    ASSERT_EQ(sh("mkdir -p " + shQuote(inside) + " && printf hidden > " + shQuote(inside + "/covered") +
                 " && sync -f " + shQuote(inside) + " && mount -o subvol=sv " + shQuote(volume.device()) + " " + shQuote(inside)),
              0);
    auto rawTop = scan(volume.top(), true);
    auto walkedTop = scan(volume.top(), false);
    sh("umount " + shQuote(inside));
    ASSERT_TRUE(rawTop->raw) << rawTop->rawNote;
    btrfstest::expectSameListing(listing(*rawTop), listing(*walkedTop));
    EXPECT_EQ(rawTop->node(nodeAt(*rawTop, inside)).childCount, raw->node(0).childCount);
    EXPECT_GE(rawTop->node(nodeAt(*rawTop, inside + "/nested")).childCount, 1u);

    // A plain folder of the volume is no subvolume root: the walk reads it.
    auto folder = scan(volume.top() + "/plain", true);
    EXPECT_FALSE(folder->raw);
    EXPECT_EQ(folder->rawNote, "not a whole ext2/3/4 or NTFS filesystem");
}

TEST_F(BtrfsScanFixture, BtrfsScanOrdinaryUserIsRefusedAndWalked) {
    BtrfsVolume volume(m_dir);
    ASSERT_TRUE(volume.ok()) << volume.error();
    const std::string top = volume.top();
    const uint32_t walkedCount = scan(top, false)->nodeCount;
    int asUser = hmtest::runAsTestUser([&]() {
        auto tree = scan(top, true);
        if (tree->raw || !tree->rawNeedsAdmin)
            return 1;
        if (tree->rawNote != "reading Btrfs metadata takes administrator rights")
            return 2;
        if (tree->nodeCount != walkedCount)
            return 3;
        std::string error;
        if (svl::BtrfsIndex::open(top, &error, 1) || error != "reading Btrfs metadata takes administrator rights")
            return 4;
        return 0;
    });
    EXPECT_EQ(asUser, 0);
}
