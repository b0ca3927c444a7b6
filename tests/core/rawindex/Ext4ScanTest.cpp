// Whole scans of loop-mounted ext2/3/4 volumes (root only): reading the metadata must give
// the tree the folder walk gives, and every refused volume must be walked with the reason
// kept as the tree's note.
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/core/rawindex/Ext4Fixtures.h"

#include <chrono>
#include <map>

using ext4test::createFiles;
using hmtest::LoopMount;
using hmtest::sh;
using hmtest::shQuote;
using hmtest::TempDir;
namespace NodeFlag = svl::NodeFlag;

namespace {

std::unique_ptr<svl::ScanTree> scan(const std::string& path, bool raw, svl::ScanProgress* progress = nullptr) {
    svl::ScanOptions options;
    options.allowRaw = raw ? 1 : 0;
    options.rotational = 0;
    return svl::scanSingle(path, options, progress);
}

std::map<std::string, uint32_t> nodesByPath(const svl::ScanTree& tree) {
    std::map<std::string, uint32_t> paths;
    for (uint32_t id = 0; id < tree.nodeCount; ++id)
        paths.emplace(tree.fullPath(id), id);
    return paths;
}

// A folder's own allocated bytes: its total less what its children added.
uint64_t ownAllocated(const svl::ScanTree& tree, uint32_t id) {
    const svl::ScanNode& folder = tree.node(id);
    uint64_t own = folder.allocated;
    for (uint32_t c = folder.firstChild; c < folder.firstChild + folder.childCount; ++c)
        if (!(tree.node(c).flags & NodeFlag::ExtraHardLink))
            own -= tree.node(c).allocated;
    return own;
}

// The two trees hold the same entries with the same figures. Which name of a hard-linked file
// is counted depends on the order the workers meet them, so only their number must agree.
void expectSameTrees(const svl::ScanTree& raw, const svl::ScanTree& walked) {
    EXPECT_EQ(raw.errors, walked.errors);
    const auto a = nodesByPath(raw);
    const auto b = nodesByPath(walked);
    ASSERT_EQ(a.size(), b.size());
    int extraRaw = 0, extraWalked = 0;
    for (const auto& [path, id] : b) {
        auto it = a.find(path);
        ASSERT_NE(it, a.end()) << path;
        const svl::ScanNode& r = raw.node(it->second);
        const svl::ScanNode& w = walked.node(id);
        extraRaw += (r.flags & NodeFlag::ExtraHardLink) ? 1 : 0;
        extraWalked += (w.flags & NodeFlag::ExtraHardLink) ? 1 : 0;
        EXPECT_EQ(r.flags & ~NodeFlag::ExtraHardLink, w.flags & ~NodeFlag::ExtraHardLink) << path;
        EXPECT_EQ(r.size, w.size) << path;
        EXPECT_EQ(r.modified, w.modified) << path;
        EXPECT_EQ(r.childCount, w.childCount) << path;
        EXPECT_EQ(raw.newestTimes.at(it->second), walked.newestTimes.at(id)) << path;
        if (r.isFolder()) {
            EXPECT_EQ(ownAllocated(raw, it->second), ownAllocated(walked, id)) << path;
        } else {
            EXPECT_EQ(r.allocated, w.allocated) << path;
        }
    }
    EXPECT_EQ(extraRaw, extraWalked);
    EXPECT_EQ(raw.node(0).allocated, walked.node(0).allocated);
    EXPECT_EQ(raw.node(0).filesBelow, walked.node(0).filesBelow);
    EXPECT_EQ(raw.node(0).foldersBelow, walked.node(0).foldersBelow);
}

void populate(const std::string& top) {
    ext4test::populateMixed(top);
    ::mkdir((top + "/hashed").c_str(), 0755);
    createFiles(top + "/hashed", "entry-with-a-name-long-enough-to-need-indirection-", 5200);
    std::string q = shQuote(top);
    sh("cd " + q + " && ln a/b/zeros hashed/third-name && touch -d '1960-02-03 UTC' a/b/c/sparse"
                   " && touch -d '2200-01-01 UTC' hashed/entry-with-a-name-long-enough-to-need-indirection-9 && sync -f .");
}

class Ext4ScanFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hmtest::isRoot())
            GTEST_SKIP() << "needs root for loop devices";
        sh("chmod 755 " + shQuote(m_dir.path()));
    }
    TempDir m_dir{"ext4scan"};
};

}  // namespace

TEST_F(Ext4ScanFixture, Ext4ScanReadRawEqualsTheWalk) {
    const char* layouts[] = {
        "mkfs.ext4 -q -F -b 4096",
        "mkfs.ext4 -q -F -b 1024",
        "mkfs.ext4 -q -F -O ^extent,^64bit -b 1024",
        "mkfs.ext4 -q -F -t ext3 -b 4096",
        "mkfs.ext4 -q -F -t ext2 -b 1024",
    };
    for (const char* mkfs : layouts) {
        SCOPED_TRACE(mkfs);
        LoopMount volume(m_dir.path(), mkfs, 64);
        ASSERT_TRUE(volume.ok()) << volume.error();
        populate(volume.mountPoint());
        svl::ScanProgress progress;
        auto raw = scan(volume.mountPoint(), true, &progress);
        ASSERT_TRUE(raw->raw) << raw->rawNote;
        EXPECT_EQ(raw->rawNote.rfind("ext4: read ", 0), 0u) << raw->rawNote;
        EXPECT_NE(raw->rawNote.find(" from " + volume.device() + ": "), std::string::npos) << raw->rawNote;
        EXPECT_FALSE(raw->rawNeedsAdmin);
        EXPECT_FALSE(raw->incomplete);
        EXPECT_EQ(progress.fraction.load(), 1.0);
        auto walked = scan(volume.mountPoint(), false);
        EXPECT_FALSE(walked->raw);
        expectSameTrees(*raw, *walked);
        EXPECT_GT(raw->nodeCount, 5200u);
    }
}

TEST_F(Ext4ScanFixture, Ext4ScanWalksRefusedVolumesWithTheReason) {
    struct Case {
        const char* mkfs;
        const char* note;
    } cases[] = {
        {"mkfs.ext4 -q -F -O inline_data", "ext4 features this doesn't read (incompat 0x8000)"},
        {"mkfs.ext4 -q -F -O bigalloc", "bigalloc"},
        {"mkfs.ext4 -q -F -O ^filetype", "folder entries without file types"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mkfs);
        LoopMount volume(m_dir.path(), c.mkfs, 32);
        ASSERT_TRUE(volume.ok()) << volume.error();
        sh("cd " + shQuote(volume.mountPoint()) + " && mkdir -p x/y && echo small > x/y/z && sync -f .");
        auto tree = scan(volume.mountPoint(), true);
        EXPECT_FALSE(tree->raw);
        EXPECT_EQ(tree->rawNote, c.note);
        EXPECT_FALSE(tree->incomplete);
        auto walked = scan(volume.mountPoint(), false);
        EXPECT_EQ(tree->nodeCount, walked->nodeCount);
        EXPECT_EQ(tree->node(0).size, walked->node(0).size);
    }

    LoopMount volume(m_dir.path(), "mkfs.ext4 -q -F", 32);
    ASSERT_TRUE(volume.ok()) << volume.error();
    const std::string top = volume.mountPoint();
    sh("cd " + shQuote(top) + " && mkdir -p sub/inner && echo x > sub/inner/f && sync -f .");
    auto sub = scan(top + "/sub", true);
    EXPECT_FALSE(sub->raw);
    EXPECT_EQ(sub->rawNote, "not a whole ext2/3/4 or NTFS filesystem");
    EXPECT_EQ(sub->nodeCount, 3u);

    // An ordinary user who can't read the device gets the walk and the offer of rights.
    const std::string device = volume.device();
    int asUser = hmtest::runAsTestUser([&]() {
        auto tree = scan(top, true);
        if (tree->raw || !tree->rawNeedsAdmin)
            return 1;
        if (tree->rawNote != "reading " + device + " takes administrator rights")
            return 2;
        return tree->nodeCount >= 4 ? 0 : 3;  // root, lost+found, sub, inner, f
    });
    EXPECT_EQ(asUser, 0);

    // A tmpfs mounted over the volume is what the folder shows; it is walked.
    ASSERT_EQ(sh("mount -t tmpfs tmpfs " + shQuote(top)), 0);
    auto covered = scan(top, true);
    sh("umount " + shQuote(top));
    EXPECT_FALSE(covered->raw);
    EXPECT_EQ(covered->rawNote, "not a whole ext2/3/4 or NTFS filesystem");
    EXPECT_EQ(covered->nodeCount, 1u);
}

TEST_F(Ext4ScanFixture, Ext4ScanCancelledBeforeTheLoadIsIncomplete) {
    LoopMount volume(m_dir.path(), "mkfs.ext4 -q -F", 32);
    ASSERT_TRUE(volume.ok()) << volume.error();
    sh("cd " + shQuote(volume.mountPoint()) + " && mkdir -p a/b && sync -f .");
    svl::ScanProgress progress;
    progress.cancel = true;
    auto started = std::chrono::steady_clock::now();
    auto tree = scan(volume.mountPoint(), true, &progress);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_FALSE(tree->raw);
    EXPECT_EQ(tree->rawNote, "cancelled");
    EXPECT_TRUE(tree->incomplete);
    EXPECT_TRUE(progress.cancel.load());
}
