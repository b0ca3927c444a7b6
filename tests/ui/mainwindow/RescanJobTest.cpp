// The rescan worker on real folders: new, vanished and replaced folders, a folder that
// became a symbolic link, a mount point or a bind target, and a cancel.
#include "ui/mainwindow/RescanJob.h"

#include "core/tree/ScanTree.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>


using hmtest::TempDir;

namespace {

std::shared_ptr<svl::ScanTree> scan(const std::string& path) {
    return std::shared_ptr<svl::ScanTree>(svl::scanSingle(path, svl::ScanOptions(), nullptr));
}

uint32_t idOf(const svl::ScanTree& tree, const std::string& path) {
    const int64_t id = tree.findPath(path.data(), path.size());
    EXPECT_GE(id, 0) << path;
    return uint32_t(std::max<int64_t>(id, 0));
}

bool shows(const svl::ScanTree& tree, const std::string& path) {
    const int64_t id = tree.findPath(path.data(), path.size());
    return id >= 0 && !(tree.node(uint32_t(id)).flags & svl::NodeFlag::Removed);
}

TEST(RunRescan, SplicesFreshFoldersDropsVanishedOnesAndDoesNotFollowNewLinks) {
    TempDir dir;
    const std::string r = dir / "r";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(r + "/a/sub") + " " + hmtest::shQuote(r + "/gone") + " " +
                         hmtest::shQuote(r + "/link") + " " + hmtest::shQuote(r + "/keep") + " " +
                         hmtest::shQuote(dir / "target")),
              0);
    hmtest::writeFile(r + "/a/old", std::string(1000, 'o'));
    hmtest::writeFile(r + "/gone/f", "f");
    hmtest::writeFile(r + "/link/f", "f");
    hmtest::writeFile(r + "/keep/k", "k");
    hmtest::writeFile(dir / "target/huge", std::string(300000, 'h'));
    auto tree = scan(r);
    const std::vector<RescanTarget> targets = {
        {idOf(*tree, r + "/a"), r + "/a"}, {idOf(*tree, r + "/gone"), r + "/gone"}, {idOf(*tree, r + "/link"), r + "/link"}};

    hmtest::writeFile(r + "/a/new", std::string(5000, 'n'));
    ASSERT_EQ(::unlink((r + "/a/old").c_str()), 0);
    ASSERT_EQ(hmtest::sh("rm -r " + hmtest::shQuote(r + "/gone") + " " + hmtest::shQuote(r + "/link")), 0);
    ASSERT_EQ(::symlink((dir / "target").c_str(), (r + "/link").c_str()), 0);
    hmtest::writeFile(r + "/keep/unseen", "not rescanned");

    svl::ScanProgress progress;
    const RescanOutcome outcome = runRescan(*tree, targets, svl::ScanOptions(), progress);
    ASSERT_TRUE(outcome.tree);
    EXPECT_FALSE(outcome.cancelled);
    EXPECT_TRUE(outcome.error.isEmpty()) << outcome.error.toStdString();
    const svl::ScanTree& fresh = *outcome.tree;
    EXPECT_TRUE(shows(fresh, r + "/a/new"));
    EXPECT_TRUE(shows(fresh, r + "/a/sub"));
    EXPECT_FALSE(shows(fresh, r + "/a/old"));
    EXPECT_FALSE(shows(fresh, r + "/gone"));
    // A folder replaced by a symbolic link is that link, as a full scan lists it, not its target.
    ASSERT_TRUE(shows(fresh, r + "/link"));
    const svl::ScanNode& link = fresh.node(idOf(fresh, r + "/link"));
    EXPECT_EQ(link.flags & (svl::NodeFlag::Symlink | svl::NodeFlag::Folder), svl::NodeFlag::Symlink);
    EXPECT_EQ(link.childCount, 0u);
    EXPECT_TRUE(shows(fresh, r + "/keep/k"));
    EXPECT_FALSE(shows(fresh, r + "/keep/unseen"));
    EXPECT_LT(fresh.node(0).size, 300000u) << "the link's target was counted";
    EXPECT_EQ(fresh.node(0).filesBelow, 3u);  // a/new, keep/k and the link
    EXPECT_GE(outcome.seconds, 0.0);

    // A cancel before or during the loop discards every fresh scan.
    progress.reset();
    progress.cancel = true;
    const RescanOutcome cancelled = runRescan(*tree, targets, svl::ScanOptions(), progress);
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_FALSE(cancelled.tree);
}

TEST(RunRescan, ATargetThatBecameAMountIsReadAsAFullScanReadsIt) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for the mounts";
    TempDir dir;
    const std::string r = dir / "rs";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(r + "/e") + " " + hmtest::shQuote(r + "/a") + " " +
                         hmtest::shQuote(r + "/bnd")),
              0);
    hmtest::writeFile(r + "/e/old", std::string(240000, 'e'));
    hmtest::writeFile(r + "/a/f", std::string(1000, 'a'));
    svl::ScanOptions options;  // as the window scans
    options.oneFileSystem = true;
    options.detectBindMounts = true;
    auto tree = std::shared_ptr<svl::ScanTree>(svl::scanSingle(r, options, nullptr));
    const std::vector<RescanTarget> targets = {{idOf(*tree, r + "/e"), r + "/e"}, {idOf(*tree, r + "/bnd"), r + "/bnd"}};

    hmtest::Mounts mounts;
    ASSERT_TRUE(mounts.mount("-t tmpfs none", r + "/e"));
    hmtest::writeFile(r + "/e/big", std::string(5000000, 'b'));
    ASSERT_TRUE(mounts.bind(r + "/a", r + "/bnd"));
    svl::ScanProgress progress;
    const RescanOutcome outcome = runRescan(*tree, targets, options, progress);
    ASSERT_TRUE(outcome.tree);
    const auto full = svl::scanSingle(r, options, nullptr);
    const svl::ScanTree& rescanned = *outcome.tree;
    for (const char* name : {"/e", "/bnd"}) {
        const svl::ScanNode& a = rescanned.node(idOf(rescanned, r + name));
        const svl::ScanNode& b = full->node(idOf(*full, r + name));
        EXPECT_EQ(a.flags, b.flags) << name;
        EXPECT_EQ(a.childCount, 0u) << name;
        EXPECT_EQ(a.allocated, b.allocated) << name;
    }
    EXPECT_TRUE(rescanned.node(idOf(rescanned, r + "/e")).flags & svl::NodeFlag::OtherDevice);
    EXPECT_TRUE(rescanned.node(idOf(rescanned, r + "/bnd")).flags & svl::NodeFlag::BindMount);
    EXPECT_EQ(rescanned.bindSources.at(idOf(rescanned, r + "/bnd")), full->bindSources.at(idOf(*full, r + "/bnd")));
    EXPECT_EQ(rescanned.node(0).allocated, full->node(0).allocated);
    EXPECT_EQ(rescanned.node(0).filesBelow, full->node(0).filesBelow);
    EXPECT_EQ(rescanned.nodeCount, full->nodeCount);
}

}  // namespace
