#include <gtest/gtest.h>

#include <cmath>

#include "core/analysis/Filter.h"
#include "core/scan/RemoteSource.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/core/scan/MemoryRemoteSource.h"

using namespace remotetest;
namespace F = svl::NodeFlag;

namespace {

std::unique_ptr<svl::ScanTree> rootTree(const std::string& name) {
    auto tree = std::make_unique<svl::ScanTree>();
    const uint32_t id = tree->allocateNodes(1);
    svl::ScanNode& root = tree->node(id);
    root = svl::ScanNode{};
    root.name = tree->storeName(name);
    root.nameLength = uint16_t(name.size());
    root.flags = F::Folder;
    return tree;
}

struct RemoteRun {
    std::unique_ptr<svl::ScanTree> tree;
    svl::ScanProgress progress;
    std::atomic<unsigned long> errors{0};
    int result = 0;
};

void scan(RemoteRun& run, MemoryRemoteSource& source, const std::string& local, const std::string& start,
          const svl::ScanOptions& options = {}, double weight = 1.0, bool withProgress = true) {
    run.tree = rootTree(local);
    run.result = svl::scanRemoteInto(*run.tree, 0, local, start, source, options, withProgress ? &run.progress : nullptr,
                                     weight, run.errors);
    run.tree->finishNodeCount();
    run.tree->computeTotals();
}

int64_t find(const svl::ScanTree& tree, const std::string& path) {
    return tree.findPath(path.data(), path.size());
}

const svl::ScanNode& at(const svl::ScanTree& tree, const std::string& path) {
    const int64_t id = find(tree, path);
    EXPECT_GE(id, 0) << path;
    return tree.nodes[id < 0 ? 0 : id];
}

MemoryRemoteSource sampleShare() {
    MemoryRemoteSource s;
    s.folders["docs"] = {{file("a.txt", 100, 4096, 1.9, 0x21), folder("sub", 50, 777),
                          Entry{"link", false, true, 0, 12, 0, -1.9}, folder("empty")}};
    s.folders["docs/sub"] = {{file("b.bin", 5000, 8192, 70, 0x806), file("c", 1, 512)}};
    s.folders["docs/empty"] = {};
    return s;
}

}  // namespace

TEST(RemoteScanTest, BuildsNodesFlagsAndCountersLikeTheWalker) {
    MemoryRemoteSource source = sampleShare();
    source.result = 3;
    RemoteRun run;
    scan(run, source, "/mnt/share/docs", "docs");
    const svl::ScanTree& tree = *run.tree;
    EXPECT_EQ(run.result, 3);
    ASSERT_EQ(tree.nodeCount, 7u);
    ASSERT_EQ(tree.node(0).childCount, 4u);

    const svl::ScanNode& a = at(tree, "/mnt/share/docs/a.txt");
    EXPECT_EQ(a.size, 100u);
    EXPECT_EQ(a.allocated, 4096u);
    EXPECT_EQ(a.modified, 1);
    EXPECT_EQ(a.flags, F::ReadOnly | F::Archive);
    const svl::ScanNode& sub = at(tree, "/mnt/share/docs/sub");
    EXPECT_EQ(sub.flags, F::Folder);
    EXPECT_EQ(sub.size, 5001u);  // its own reported 777 bytes are not a folder's
    EXPECT_EQ(sub.allocated, 8192u + 512);
    const svl::ScanNode& link = at(tree, "/mnt/share/docs/link");
    EXPECT_EQ(link.flags, F::Symlink);
    EXPECT_EQ(link.size, 12u);
    EXPECT_EQ(link.modified, -1);
    EXPECT_EQ(at(tree, "/mnt/share/docs/sub/b.bin").flags, F::Hidden | F::System | F::Compressed);
    EXPECT_EQ(at(tree, "/mnt/share/docs/empty").childCount, 0u);
    EXPECT_EQ(tree.node(0).filesBelow, 4u);
    EXPECT_EQ(tree.node(0).foldersBelow, 2u);

    EXPECT_EQ(run.progress.files.load(), 4u);
    EXPECT_EQ(run.progress.folders.load(), 2u);
    EXPECT_EQ(run.progress.allocatedBytes.load(), 4096u + 8192 + 512);
    EXPECT_DOUBLE_EQ(run.progress.fraction.load(), 1.0);
    EXPECT_EQ(run.errors.load(), 0u);
}

TEST(RemoteScanTest, FailedListingsFlagTheirFoldersAndStillAddTheirWeight) {
    MemoryRemoteSource s;
    s.folders[""] = {{folder("denied"), folder("perm"), folder("io"), folder("ok")}};
    s.folders["denied"] = {{}, 13};
    s.folders["perm"] = {{}, 1};
    s.folders["io"] = {{}, 5};
    s.folders["ok"] = {{folder("gone")}};  // "ok/gone" is not served: reported with error 2
    RemoteRun run;
    scan(run, s, "/", "", {}, 0.5);
    const svl::ScanTree& tree = *run.tree;
    EXPECT_EQ(at(tree, "/denied").flags, F::Folder | F::Unreadable | F::AccessDenied);
    EXPECT_EQ(at(tree, "/perm").flags, F::Folder | F::Unreadable | F::AccessDenied);
    EXPECT_EQ(at(tree, "/io").flags, F::Folder | F::Unreadable);
    EXPECT_EQ(at(tree, "/ok/gone").flags, F::Folder | F::Unreadable);
    EXPECT_EQ(run.errors.load(), 4u);
    EXPECT_EQ(run.progress.errorCount.load(), 4u);
    EXPECT_NEAR(run.progress.fraction.load(), 0.5, 1e-12);

    // Without a progress record only the error counter moves.
    RemoteRun quiet;
    scan(quiet, s, "/", "", {}, 0.5, false);
    EXPECT_EQ(quiet.errors.load(), 4u);
    EXPECT_EQ(at(*quiet.tree, "/io").flags, F::Folder | F::Unreadable);
}

TEST(RemoteScanTest, WeightIsSplitOverSubfoldersToBeListed) {
    MemoryRemoteSource s;
    s.folders["r"] = {{folder("a"), folder("b"), folder("c"), file("f", 1, 1)}};
    s.folders["r/a"] = {{folder("x"), folder("y")}};
    s.folders["r/b"] = {};
    s.folders["r/c"] = {{file("g", 1, 1)}};
    s.folders["r/a/x"] = {};
    s.folders["r/a/y"] = {{file("h", 1, 1)}};
    RemoteRun run;
    run.progress.fraction = 0.25;  // an earlier root's share
    double afterFour = -1;
    s.beforeListing = [&](int listed) {
        if (listed == 4)  // r, r/a, r/b, r/c listed: b and c each added a third of 0.5
            afterFour = run.progress.fraction.load();
    };
    run.tree = rootTree("/L");
    run.result = svl::scanRemoteInto(*run.tree, 0, "/L", "r", s, {}, &run.progress, 0.5, run.errors);
    EXPECT_NEAR(afterFour, 0.25 + 0.5 / 3 * 2, 1e-12);
    EXPECT_NEAR(run.progress.fraction.load(), 0.75, 1e-12);
}

TEST(RemoteScanTest, ExclusionFilterSeesLocalFolderPaths) {
    MemoryRemoteSource s;
    s.folders[""] = {{folder("keep"), folder("cache.tmp"), file("x.tmp", 10, 10), file("y", 1, 1)}};
    s.folders["keep"] = {{file("z.tmp", 1, 1), file("w", 2, 2), file("v", 3, 3)}};
    s.folders["cache.tmp"] = {{file("never", 1, 1)}};
    const svl::Filter tmp = svl::decodeFilterText("tmp", false, nullptr);
    svl::ScanOptions options;
    options.exclude = &tmp;
    RemoteRun run;
    scan(run, s, "/", "", options);
    EXPECT_EQ(run.tree->nodeCount, 5u);  // root, keep, y, keep/w, keep/v
    EXPECT_EQ(find(*run.tree, "/cache.tmp"), -1);
    EXPECT_GE(find(*run.tree, "/keep/w"), 0);
    EXPECT_EQ(s.listed, 2);  // the excluded folder is not listed
    EXPECT_EQ(run.progress.files.load(), 3u);
    EXPECT_DOUBLE_EQ(run.progress.fraction.load(), 1.0);

    // Full-path terms see the local path given to the scan, below a root not ending in "/".
    const svl::Filter path = svl::decodeFilterText("s/keep/w", false, nullptr);
    options.exclude = &path;
    MemoryRemoteSource again = s;
    again.listed = 0;
    RemoteRun second;
    scan(second, again, "/mnt/s", "", options);
    EXPECT_EQ(find(*second.tree, "/mnt/s/keep/w"), -1);
    EXPECT_GE(find(*second.tree, "/mnt/s/keep/v"), 0);

    // Every entry excluded: no children, the whole weight at once.
    const svl::Filter all = svl::decodeFilterText("*", false, nullptr);
    options.exclude = &all;
    MemoryRemoteSource third = s;
    third.listed = 0;
    RemoteRun none;
    scan(none, third, "/", "", options, 0.5);
    EXPECT_EQ(none.tree->nodeCount, 1u);
    EXPECT_EQ(none.tree->node(0).childCount, 0u);
    EXPECT_EQ(third.listed, 1);
    EXPECT_DOUBLE_EQ(none.progress.fraction.load(), 0.5);
}

TEST(RemoteScanTest, ListingsNotAskedForChangeNothing) {
    MemoryRemoteSource s = sampleShare();
    s.folders["other"] = {{folder("o1"), file("o2", 1, 1)}};
    s.extraReports = {"docs/sub", "other"};
    RemoteRun run;
    scan(run, s, "/L", "docs");
    EXPECT_EQ(run.tree->nodeCount, 7u);
    EXPECT_EQ(s.uncleared, 0);
    EXPECT_EQ(find(*run.tree, "/L/o1"), -1);
}

TEST(RemoteScanTest, ServerSideLinkLoopIsNotDescendedAgain) {
    MemoryRemoteSource s;
    s.folders["a"] = {{folder("loop", 10), file("f", 100, 4096, 5), folder("b", 11)}};
    s.folders["a/b"] = {{folder("up", 12), file("g", 1, 512)}};
    s.folders["a/b/up"] = {{folder("x", 13)}};  // same name, different folder: entered
    s.folders["a/b/up/x"] = {};
    // The server follows "loop" back to "a" and "a/b/up"... is its own folder.
    s.resolve = [](const std::string& p) {
        std::string r = p;
        for (size_t at; (at = r.find("/loop")) != std::string::npos;)
            r.erase(at, 5);
        return r;
    };
    s.maxListings = 100;
    RemoteRun run;
    scan(run, s, "/L", "a");
    EXPECT_LT(s.listed, 10);
    const svl::ScanNode& loop = at(*run.tree, "/L/loop");
    EXPECT_EQ(loop.childCount, 0u);
    EXPECT_EQ(loop.flags, F::Folder);
    EXPECT_GE(find(*run.tree, "/L/b/up/x"), 0);
    EXPECT_EQ(run.tree->node(0).size, 101u);
    EXPECT_DOUBLE_EQ(run.progress.fraction.load(), 1.0);
}

TEST(RemoteScanTest, CancelStopsTheWalkAndKeepsWhatWasRead) {
    MemoryRemoteSource s = sampleShare();
    RemoteRun run;
    s.beforeListing = [&](int listed) {
        if (listed == 1)
            run.progress.cancel = true;
    };
    scan(run, s, "/L", "docs");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(s.listed, 2);  // the folder being listed when the cancel came is finished
    EXPECT_EQ(run.tree->node(0).childCount, 4u);
    EXPECT_LT(run.progress.fraction.load(), 1.0);

    // Without a progress record no cancel is ever seen.
    MemoryRemoteSource t = sampleShare();
    RemoteRun quiet;
    scan(quiet, t, "/L", "docs", {}, 1.0, false);
    EXPECT_EQ(t.listed, 3);
}

TEST(RemoteScanTest, OddEntriesAndFailures) {
    MemoryRemoteSource s;
    const std::string longName(70000, 'n');
    s.folders[""] = {{file(longName, 1, 1), file(".", 5, 5), file("", 6, 6), file("huge-time", 1, 1, 1e300),
                      file("nan-time", 1, 1, std::nan(""))}};
    RemoteRun run;
    scan(run, s, "/", "");
    ASSERT_EQ(run.tree->nodeCount, 4u);
    const svl::ScanNode& n = run.tree->node(1);
    EXPECT_EQ(n.nameLength, 65535);
    EXPECT_EQ(std::string(n.name), longName);
    EXPECT_EQ(run.tree->node(2).modified, INT64_MAX);
    EXPECT_EQ(run.tree->node(3).modified, 0);

    MemoryRemoteSource broken;
    broken.failure = "could not connect or log in";
    RemoteRun failed;
    scan(failed, broken, "/", "");
    EXPECT_LT(failed.result, 0);
    EXPECT_EQ(failed.tree->nodeCount, 1u);
}
