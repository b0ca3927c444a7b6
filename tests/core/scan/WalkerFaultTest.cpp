// Failures inside the walk: a reader that throws, a listing error part-way through a folder,
// a full name pool, threads that cannot be started, an io_uring that cannot be set up, and
// the extra-thread budget of statParallel. None may end the process or let an unwritten
// record reach the tree's readers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/scan/DirectoryReader.h"
#include "core/scan/FolderWalker.h"
#include "core/scan/IoUringStatx.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/core/scan/ScanTestSupport.h"
#include "tests/core/scan/WalkerTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace svl::NodeFlag;
using scantest::nodeAt;

namespace {

// Wraps a real reader and misbehaves on folders whose path ends in a given name.
class FaultReader : public svl::DirectoryReader {
public:
    enum class Fault { Throw, TruncateAfterTwo };
    FaultReader(svl::ReadMethod method, std::string victim, Fault fault)
        : DirectoryReader(method), m_real(svl::makeDirectoryReader(method)), m_victim(std::move(victim)), m_fault(fault) {}

    int open(const std::string& path) override {
        m_hit = path.size() >= m_victim.size() && path.compare(path.size() - m_victim.size(), m_victim.size(), m_victim) == 0;
        return m_real->open(path);
    }
    ListResult list(int fd, svl::FolderListing& out, const StopTest& stop, int* error) override {
        const ListResult r = m_real->list(fd, out, stop, error);
        if (!m_hit)
            return r;
        if (m_fault == Fault::Throw)
            throw std::bad_alloc();
        if (out.entries.size() > 2)
            out.entries.resize(2);
        *error = EIO;
        return ListResult::Truncated;
    }
    bool examineBatch(int fd, const svl::FolderListing& listing, size_t begin, size_t end,
                      svl::EntryStat* out) override {
        return m_real->examineBatch(fd, listing, begin, end, out);
    }
    void close(int fd) override { m_real->close(fd); }

private:
    std::unique_ptr<svl::DirectoryReader> m_real;
    std::string m_victim;
    Fault m_fault;
    bool m_hit = false;
};

struct FolderWalk {
    svl::ScanTree tree;
    svl::ScanOptions options;
    svl::ScanProgress progress;
    std::shared_ptr<svl::Shared> walk;

    void start(const std::string& root) {
        scantest::writeRoot(tree, root);
        walk = std::make_shared<svl::Shared>(tree, options, &progress);
    }
    void run(const std::string& root) {
        svl::WalkJob job;
        job.path = root;
        job.weight = 1.0;
        walk->queueJob(job);
        walk->runWorkers(options.threads);
        scantest::finishWalk(tree, *walk, &progress);
    }
};

// A tree of 10 folders with 10 files each, one of them named `special`.
void makeTenByTen(const std::string& root, const std::string& special) {
    mkdir(root.c_str(), 0755);
    for (int i = 0; i < 10; ++i) {
        const std::string folder = root + "/" + (i == 3 ? special : "d" + std::to_string(i));
        mkdir(folder.c_str(), 0755);
        for (int j = 0; j < 10; ++j)
            scantest::makeFile(folder + "/f" + std::to_string(j), 100, 1600000000);
    }
}

}  // namespace

TEST(WalkerFault, ThrowingReaderStopsTheWalkAndMarksItIncomplete) {
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    makeTenByTen(root, "poison");
    FolderWalk w;
    w.start(root);
    w.walk->makeReader = [](svl::ReadMethod m) {
        return std::make_unique<FaultReader>(m, "/poison", FaultReader::Fault::Throw);
    };
    w.run(root);
    EXPECT_TRUE(w.walk->workerFailed.load());
    EXPECT_TRUE(w.tree.incomplete);
    EXPECT_EQ(w.tree.node(nodeAt(w.tree, "poison")).childCount, 0u);
    scantest::expectWellFormed(w.tree);
}

// A listing that breaks off is no folder's content: the folder is unread, its error named.
TEST(WalkerFault, ListingErrorPartWayMarksTheFolderUnreadWithItsError) {
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    makeTenByTen(root, "broken");
    for (svl::ReadMethod method : {svl::ReadMethod::Readdir, svl::ReadMethod::Getdents, svl::ReadMethod::GetdentsIoUring}) {
        FolderWalk w;
        w.options.readMethod = uint32_t(method);
        w.start(root);
        w.walk->makeReader = [](svl::ReadMethod m) {
            return std::make_unique<FaultReader>(m, "/broken", FaultReader::Fault::TruncateAfterTwo);
        };
        w.run(root);
        const uint32_t broken = nodeAt(w.tree, "broken");
        EXPECT_EQ(w.tree.node(broken).childCount, 0u);
        EXPECT_EQ(w.tree.node(broken).flags, Folder | Unreadable);
        EXPECT_EQ(w.tree.failedFolders, (std::vector<svl::ScanTree::FailedFolder>{{broken, EIO}}));
        EXPECT_EQ(w.tree.errors, 1u);
        EXPECT_EQ(w.progress.errorCount.load(), 1u);
        EXPECT_FALSE(w.tree.incomplete);
        EXPECT_EQ(w.tree.nodeCount, 1u + 10 + 9 * 10);
        EXPECT_NEAR(w.progress.fraction.load(), 1.0, 1e-12);
        scantest::expectWellFormed(w.tree);
    }
}

TEST(WalkerFault, FullNamePoolStopsTheWalkWithOnlyWrittenRecords) {
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    makeTenByTen(root, "d3");
    for (uint64_t room : {uint64_t(10), uint64_t(100), uint64_t(300)}) {
        FolderWalk w;
        w.options.threads = 4;
        w.start(root);
        w.tree.nameUsed = w.tree.nameReserved - room;
        w.run(root);
        EXPECT_TRUE(w.tree.incomplete) << room;
        EXPECT_TRUE(w.walk->workerFailed.load());
        EXPECT_LT(w.tree.nodeCount, 1u + 10 + 100);
        // Every record below nodeCount was written; names were claimed before records.
        EXPECT_EQ(w.tree.nodeUsed.load(), uint64_t(w.tree.nodeCount) * sizeof(svl::ScanNode));
        scantest::expectWellFormed(w.tree);
    }
}

TEST(WalkerFault, ScanCompletesWhenNoThreadCanBeStarted) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root to switch to the test user";
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    // A folder large enough for the extra stat threads.
    mkdir((root + "/big").c_str(), 0755);
    for (int i = 0; i < 9000; ++i)
        close(open((root + "/big/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    const uint64_t expectedAllocated = scantest::duAllocated(root);
    const size_t expectedNodes = 1 + scantest::findPrintf(root).size();
    const int rc = hmtest::runAsTestUser([&] {
        const rlimit none{0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0)
            return 2;
        svl::ScanProgress progress;
        auto tree = svl::scanSingle(root, {}, &progress);
        EXPECT_FALSE(tree->incomplete);
        EXPECT_EQ(tree->nodeCount, expectedNodes);
        EXPECT_EQ(tree->node(0).allocated, expectedAllocated);
        EXPECT_EQ(tree->node(nodeAt(*tree, "big")).childCount, 9000u);
        EXPECT_EQ(tree->errors, 0u);
        EXPECT_EQ(progress.fraction.load(), 1.0);
        scantest::expectWellFormed(*tree);

        FolderWalk w;
        w.start(root);
        w.run(root);
        EXPECT_EQ(w.walk->workersStarted, 1);
        EXPECT_EQ(w.tree.nodeCount, expectedNodes);
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST(WalkerFault, IoUringThatCannotBeSetUpFallsBackToStatx) {
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    struct stat rootStat;
    ASSERT_EQ(stat(root.c_str(), &rootStat), 0);
    // The walk's root record has no blocks of its own here (the driver would set them).
    const uint64_t expectedAllocated = scantest::duAllocated(root) - uint64_t(rootStat.st_blocks) * 512;
    const size_t expectedNodes = 1 + scantest::findPrintf(root).size();
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // As in containers whose system-call filter refuses io_uring.
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{uint16_t(sizeof filter / sizeof filter[0]), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(2);
        svl::IoUringStatx ring;
        const bool ready = ring.ensureReady();
        const bool failedOnce = ring.state() == svl::IoUringStatx::State::Failed && !ring.ensureReady();
        FolderWalk w;
        w.options.readMethod = uint32_t(svl::ReadMethod::GetdentsIoUring);
        w.options.threads = 1;
        w.start(root);
        w.run(root);
        const bool ok = !ready && failedOnce && w.tree.nodeCount == expectedNodes &&
                        w.tree.node(0).allocated == expectedAllocated && w.tree.errors == 0 && !w.tree.incomplete;
        if (!ok)
            std::fprintf(stderr, "ready %d failedOnce %d nodes %u/%zu allocated %llu/%llu errors %llu incomplete %d\n",
                         ready, failedOnce, w.tree.nodeCount, expectedNodes,
                         (unsigned long long)w.tree.node(0).allocated, (unsigned long long)expectedAllocated,
                         (unsigned long long)w.tree.errors, w.tree.incomplete);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(WalkerFault, IoUringResultsEqualStatx) {
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    for (int i = 0; i < 700; ++i)  // more entries than the ring holds
        close(open((root + "/n" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    auto reader = svl::makeDirectoryReader(svl::ReadMethod::Getdents);
    const int fd = reader->open(root);
    ASSERT_GE(fd, 0);
    svl::FolderListing listing;
    int error = 0;
    ASSERT_EQ(reader->list(fd, listing, {}, &error), svl::DirectoryReader::ListResult::Complete);
    listing.append("missing-entry", 13, 0);
    // Another file system's mount point is never asked (its server may be gone).
    listing.append("mount-point", 11, 0);
    listing.entries.back().foreignMount = 1;
    std::vector<svl::EntryStat> viaRing(listing.entries.size());
    svl::IoUringStatx ring;
    if (!ring.ensureReady())
        GTEST_SKIP() << "io_uring is not available here";
    ASSERT_TRUE(ring.examine(fd, listing, 0, listing.entries.size(), viaRing.data()));
    EXPECT_EQ(viaRing.back().result, svl::EntryStat::kNotExamined);
    viaRing.pop_back();
    listing.entries.pop_back();
    for (size_t i = 0; i < listing.entries.size(); ++i) {
        svl::EntryStat direct;
        svl::statEntry(fd, listing.name(listing.entries[i]), direct);
        EXPECT_EQ(viaRing[i].result, direct.result) << listing.name(listing.entries[i]);
        EXPECT_EQ(viaRing[i].size, direct.size);
        EXPECT_EQ(viaRing[i].blocks, direct.blocks);
        EXPECT_EQ(viaRing[i].mtime, direct.mtime);
        EXPECT_EQ(viaRing[i].mode, direct.mode);
        EXPECT_EQ(viaRing[i].ino, direct.ino);
        EXPECT_EQ(viaRing[i].dev, direct.dev);
        EXPECT_EQ(viaRing[i].nlink, direct.nlink);
    }
    EXPECT_EQ(viaRing.back().result, -ENOENT);
    reader->close(fd);
}

TEST(WalkerFault, StatParallelKeepsWithinTheWalksBudget) {
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    mkdir(root.c_str(), 0755);
    for (int i = 0; i < 300; ++i)
        close(open((root + "/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    auto reader = svl::makeDirectoryReader(svl::ReadMethod::Getdents);
    const int fd = reader->open(root);
    svl::FolderListing listing;
    int error = 0;
    ASSERT_EQ(reader->list(fd, listing, {}, &error), svl::DirectoryReader::ListResult::Complete);
    svl::ScanTree tree;
    svl::ScanOptions options;
    auto owned = std::make_shared<svl::Shared>(tree, options, nullptr);
    svl::Shared& walk = *owned;
    listing.entries[7].foreignMount = 1;  // another file system's mount point: never asked
    std::vector<svl::EntryStat> out(listing.entries.size());
    walk.statThreadsInUse = 255;  // one left: not enough
    EXPECT_EQ(svl::statParallel(walk, fd, listing, out.data(), 8), 0);
    EXPECT_EQ(out[0].result, svl::EntryStat::kNotExamined);
    walk.statThreadsInUse = 250;  // six left
    EXPECT_EQ(svl::statParallel(walk, fd, listing, out.data(), 8), 1);
    EXPECT_EQ(walk.statThreadsInUse.load(), 250);
    for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(out[i].result, i == 7 ? svl::EntryStat::kNotExamined : 0) << i;
    reader->close(fd);
}

TEST(WalkerFault, HardLinkShardsRememberFirstNames) {
    svl::ScanTree tree;
    svl::ScanOptions options;
    svl::Shared walk(tree, options, nullptr);
    EXPECT_FALSE(walk.seenHardLink(1, 42));
    EXPECT_TRUE(walk.seenHardLink(1, 42));
    EXPECT_FALSE(walk.seenHardLink(2, 42));  // another device
    EXPECT_FALSE(walk.seenHardLink(1, 43));
}
