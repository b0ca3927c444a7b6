// One suite run against each folder reading method: real trees on disk compared with what
// find -printf and du report for the same folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "core/scan/DirectoryReader.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/core/scan/ScanTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace svl::NodeFlag;
using scantest::nodeAt;

namespace {

class ScanReadMethod : public ::testing::TestWithParam<svl::ReadMethod> {
protected:
    svl::ScanOptions options() const {
        svl::ScanOptions o;
        o.readMethod = uint32_t(GetParam());
        return o;
    }
};

std::string methodName(const ::testing::TestParamInfo<svl::ReadMethod>& info) {
    switch (info.param) {
    case svl::ReadMethod::Readdir:
        return "Readdir";
    case svl::ReadMethod::Getdents:
        return "Getdents";
    case svl::ReadMethod::GetdentsIoUring:
        return "GetdentsIoUring";
    }
    return "Unknown";
}

// Creates `count` empty files named f0 .. f<count-1> in `folder` (fast: no shell).
void makeManyFiles(const std::string& folder, int count) {
    mkdir(folder.c_str(), 0755);
    const int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    for (int i = 0; i < count; ++i) {
        const std::string name = "f" + std::to_string(i);
        const int fd = openat(dfd, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        if (i % 1000 == 0) {
            ASSERT_EQ(write(fd, "abc", 3), 3);
        }
        close(fd);
    }
    close(dfd);
}

}  // namespace

TEST_P(ScanReadMethod, MixedTreeMatchesFindAndDu) {
    hmtest::TempDir dir("hm-scan");
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    svl::ScanProgress progress;
    auto tree = svl::scanSingle(root, options(), &progress);
    ASSERT_GT(tree->nodeCount, 1u);
    scantest::expectWellFormed(*tree);
    scantest::expectMatchesFindAndDu(*tree, root);
    EXPECT_EQ(tree->errors, 0u);
    EXPECT_FALSE(tree->incomplete);
    EXPECT_FALSE(tree->raw);
    EXPECT_EQ(progress.fraction.load(), 1.0);
    EXPECT_NEAR(progress.reachedFraction, 1.0, 1e-9);
    EXPECT_EQ(progress.files + progress.folders, tree->nodeCount - 1);
    EXPECT_EQ(progress.errorCount, 0u);
    EXPECT_EQ(std::string(tree->node(0).nameView()), root);
}

TEST_P(ScanReadMethod, HardLinksCountedOnce) {
    hmtest::TempDir dir("hm-scan");
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    // An ordinary file with one more name beside it.
    ASSERT_EQ(hmtest::sh("mkdir " + hmtest::shQuote(root + "/pair") + " && echo data > " +
                         hmtest::shQuote(root + "/pair/one") + " && ln " + hmtest::shQuote(root + "/pair/one") + " " +
                         hmtest::shQuote(root + "/pair/two")),
              0);
    auto tree = svl::scanSingle(root, options(), nullptr);
    struct LinkGroup {
        std::vector<std::string> names;
        uint64_t size;
        int extraNames;       // names flagged as further hard links
        std::string folder;   // holds every name: its allocated size counts the file once
        std::vector<std::string> subfolders;
    };
    for (const LinkGroup& group : {
             LinkGroup{{"sub/hl1", "sub/hl2", "sub/deep/hl3"}, 5000, 2, "sub", {"sub/deep"}},
             LinkGroup{{"pair/one", "pair/two"}, 5, 1, "pair", {}},
             // The other name is outside the scan: counted here, once.
             LinkGroup{{"sharedname"}, 3000, 0, "", {}},
         }) {
        int extra = 0;
        uint64_t oneCopy = 0;
        for (const std::string& name : group.names) {
            const uint32_t id = nodeAt(*tree, name);
            ASSERT_NE(id, UINT32_MAX) << name;
            EXPECT_EQ(tree->node(id).size, group.size) << name;
            if (tree->node(id).flags & ExtraHardLink)
                ++extra;
            else
                oneCopy = tree->node(id).allocated;
        }
        EXPECT_EQ(extra, group.extraNames) << group.names.front();
        EXPECT_GT(oneCopy, 0u) << group.names.front();
        if (group.folder.empty())
            continue;
        // Sizes count every name; allocated bytes only the first.
        const auto blocksOf = [&](const std::string& rel) {
            struct stat st {};
            EXPECT_EQ(lstat((root + "/" + rel).c_str(), &st), 0) << rel;
            return uint64_t(st.st_blocks) * 512;
        };
        const uint32_t folder = nodeAt(*tree, group.folder);
        uint64_t allocated = blocksOf(group.folder) + oneCopy;
        for (const std::string& sub : group.subfolders)
            allocated += blocksOf(sub);
        EXPECT_EQ(tree->node(folder).size, group.names.size() * group.size) << group.folder;
        EXPECT_EQ(tree->node(folder).allocated, allocated) << group.folder;
    }
}

TEST_P(ScanReadMethod, LinksSparseAndPreallocatedFiles) {
    hmtest::TempDir dir("hm-scan");
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    auto tree = svl::scanSingle(root, options(), nullptr);
    const uint32_t toFolder = nodeAt(*tree, "links/tofolder");
    ASSERT_NE(toFolder, UINT32_MAX);
    EXPECT_EQ(tree->node(toFolder).flags, Symlink);
    EXPECT_EQ(tree->node(toFolder).childCount, 0u);
    EXPECT_EQ(tree->node(toFolder).size, 6u);  // "../sub"
    for (const char* loop : {"links/self", "links/loopa", "links/loopb", "links/dangling"}) {
        const uint32_t id = nodeAt(*tree, loop);
        ASSERT_NE(id, UINT32_MAX) << loop;
        EXPECT_EQ(tree->node(id).flags, Symlink) << loop;
    }
    const uint32_t sparse = nodeAt(*tree, "sparse.bin");
    EXPECT_EQ(tree->node(sparse).size, 10u << 20);
    EXPECT_EQ(tree->node(sparse).allocated, 0u);
    const uint32_t pre = nodeAt(*tree, "prealloc.bin");
    EXPECT_EQ(tree->node(pre).size, 1u << 20);
    EXPECT_EQ(tree->node(pre).allocated, 1u << 20);
    EXPECT_EQ(tree->node(nodeAt(*tree, "readonly")).flags, ReadOnly);
    EXPECT_EQ(tree->node(nodeAt(*tree, "small.txt")).flags, 0);
    EXPECT_EQ(tree->node(nodeAt(*tree, "small.txt")).modified, 1600000000);
    const uint32_t empty = nodeAt(*tree, "empty");
    EXPECT_EQ(tree->node(empty).flags, Folder);
    EXPECT_EQ(tree->node(empty).childCount, 0u);
    EXPECT_EQ(tree->node(empty).firstChild, 0u);
    // A folder newer than every file below it keeps its own time; files raise it otherwise.
    const uint32_t sub = nodeAt(*tree, "sub");
    EXPECT_EQ(tree->node(sub).modified, 1400000000);
    EXPECT_EQ(tree->newestTimes[sub], 1650000000);
}

TEST_P(ScanReadMethod, NamesAreKeptAsBytes) {
    hmtest::TempDir dir("hm-scan");
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    auto tree = svl::scanSingle(root, options(), nullptr);
    for (const char* name : {"bad\xff\xfename", "new\nline", "tab\tname", "\xc3\xbcn\xc3\xaf" "code"}) {
        const uint32_t id = nodeAt(*tree, std::string("names/") + name);
        ASSERT_NE(id, UINT32_MAX) << name;
        EXPECT_EQ(tree->node(id).nameLength, std::strlen(name));
        EXPECT_EQ(tree->node(id).name[tree->node(id).nameLength], '\0');
    }
    EXPECT_EQ(tree->node(nodeAt(*tree, "names")).childCount, 4u);
}

TEST_P(ScanReadMethod, FolderOf200000Entries) {
    scantest::FastTempDir dir;
    const std::string root = dir / "root";
    mkdir(root.c_str(), 0755);
    makeManyFiles(root + "/big", 200000);
    makeManyFiles(root + "/small", 50);
    auto tree = svl::scanSingle(root, options(), nullptr);
    ASSERT_EQ(tree->nodeCount, 1u + 2 + 200000 + 50);
    scantest::expectWellFormed(*tree);
    const uint32_t big = nodeAt(*tree, "big");
    EXPECT_EQ(tree->node(big).childCount, 200000u);
    EXPECT_EQ(tree->node(big).filesBelow, 200000u);
    EXPECT_EQ(tree->node(big).size, 200u * 3);
    EXPECT_EQ(tree->node(0).allocated, scantest::duAllocated(root));
    EXPECT_EQ(tree->errors, 0u);

    // The listing of the big folder takes many reads; its buffers grow so that each entry is
    // moved a bounded number of times (grown by one read at a time, a folder of a million
    // files took minutes copying its listing).
    auto reader = svl::makeDirectoryReader(GetParam());
    const int fd = reader->open(root + "/big");
    ASSERT_GE(fd, 0);
    svl::FolderListing listing;
    const void* entriesAt = nullptr;
    const void* namesAt = nullptr;
    size_t entriesBefore = 0, namesBefore = 0, entriesMoved = 0, namesMoved = 0, reads = 0;
    const auto watch = [&] {
        ++reads;
        if (listing.entries.data() != entriesAt)
            entriesMoved += entriesBefore;
        if (listing.names.data() != namesAt)
            namesMoved += namesBefore;
        entriesAt = listing.entries.data();
        namesAt = listing.names.data();
        entriesBefore = listing.entries.size();
        namesBefore = listing.names.size();
        return false;
    };
    int error = 0;
    ASSERT_EQ(reader->list(fd, listing, watch, &error), svl::DirectoryReader::ListResult::Complete);
    reader->close(fd);
    ASSERT_EQ(listing.entries.size(), 200000u);
    EXPECT_GE(reads, 10u);
    EXPECT_LE(entriesMoved, 2 * listing.entries.size());
    EXPECT_LE(namesMoved, 2 * listing.names.size());
}

TEST_P(ScanReadMethod, RotationalModeExaminesInInodeOrderWithSameResult) {
    hmtest::TempDir dir("hm-scan");
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    svl::ScanOptions o = options();
    o.rotational = 1;
    auto tree = svl::scanSingle(root, o, nullptr);
    scantest::expectWellFormed(*tree);
    scantest::expectMatchesFindAndDu(*tree, root);
}

// Modes are only enforced for an ordinary user: the checks run in a child with its ids.
TEST_P(ScanReadMethod, PermissionsAsOrdinaryUser) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root to switch to the test user";
    hmtest::TempDir dir("hm-scan");
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(root + "/closed/inner") + " " + hmtest::shQuote(root + "/listonly")),
              0);
    scantest::makeFile(root + "/closed/file", 100, 1600000000);
    scantest::makeFile(root + "/listonly/one", 100, 1600000000);
    scantest::makeFile(root + "/listonly/two", 100, 1600000000);
    chmod((root + "/closed").c_str(), 0000);
    chmod((root + "/listonly").c_str(), 0444);
    const svl::ScanOptions o = options();
    const int rc = hmtest::runAsTestUser([&] {
        svl::ScanProgress progress;
        auto tree = svl::scanSingle(root, o, &progress);
        scantest::expectWellFormed(*tree);
        scantest::expectMatchesFindAndDu(*tree, root);
        const uint32_t closed = nodeAt(*tree, "closed");
        EXPECT_EQ(tree->node(closed).flags, Folder | Unreadable | AccessDenied | ReadOnly);
        EXPECT_EQ(tree->node(closed).childCount, 0u);
        // Readable but not searchable: the names are listed, none can be examined.
        const uint32_t listOnly = nodeAt(*tree, "listonly");
        EXPECT_EQ(tree->node(listOnly).flags, Folder | ReadOnly);
        EXPECT_EQ(tree->node(listOnly).childCount, 2u);
        for (uint32_t c = 0; c < tree->node(listOnly).childCount; ++c)
            EXPECT_EQ(tree->node(tree->node(listOnly).firstChild + c).flags, Unreadable);
        EXPECT_EQ(tree->errors, 3u);  // the closed folder and the two entries
        EXPECT_EQ(progress.errorCount, 3u);
        EXPECT_FALSE(tree->incomplete);
        EXPECT_EQ(progress.fraction.load(), 1.0);
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST_P(ScanReadMethod, CancelLeavesIncompleteTreeBelowOne) {
    scantest::FastTempDir dir;
    const std::string root = dir / "root";
    mkdir(root.c_str(), 0755);
    for (int i = 0; i < 20; ++i) {
        const std::string level = root + "/" + std::to_string(i);
        mkdir(level.c_str(), 0755);
        for (int j = 0; j < 20; ++j)
            makeManyFiles(level + "/" + std::to_string(j), 8);
    }
    // The canceller sets the flag as soon as the first folder is done. On a loaded machine it
    // may not run before the scan ends; such a run is tried again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        svl::ScanProgress progress;
        std::atomic<bool> done{false};
        std::thread canceller([&] {
            while (!done && progress.folders.load() == 0) {
            }
            progress.cancel = true;
        });
        auto tree = svl::scanSingle(root, options(), &progress);
        done = true;
        canceller.join();
        if (tree->nodeCount == 1u + 20 + 400 + 400 * 8)
            continue;  // the cancel came after the last folder (or after the end)
        EXPECT_TRUE(tree->incomplete);
        EXPECT_LT(progress.fraction.load(), 1.0);
        EXPECT_LT(tree->nodeCount, 1u + 20 + 400 + 400 * 8);
        scantest::expectWellFormed(*tree);
        return;
    }
    FAIL() << "the scan never saw the cancel";
}

INSTANTIATE_TEST_SUITE_P(Methods, ScanReadMethod,
                         ::testing::Values(svl::ReadMethod::Readdir, svl::ReadMethod::Getdents,
                                           svl::ReadMethod::GetdentsIoUring),
                         methodName);
