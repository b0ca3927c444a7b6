// The Btrfs index on loop-mounted volumes (root only): what it loads matches what the live file
// system reports entry by entry, at every thread count; nested subvolumes are placeholders;
// the opener's refusals, the thread-count variable, an empty volume and a cancelled load.
#include "core/rawindex/BtrfsIndex.h"
#include "tests/core/rawindex/BtrfsFixtures.h"

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

using btrfstest::BtrfsVolume;
using hmtest::sh;
using hmtest::shQuote;
using hmtest::TempDir;
using svl::BtrfsIndex;

namespace {

class BtrfsIndexFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hmtest::isRoot())
            GTEST_SKIP() << "needs root for loop devices and the tree search";
        if (!hmtest::haveTool("mkfs.btrfs") || !hmtest::haveTool("btrfs"))
            GTEST_SKIP() << "needs btrfs-progs";
    }
    void TearDown() override { unsetenv("SVL_BTRFS_THREADS"); }
    TempDir m_dir{"btrfsindex"};
};

std::unique_ptr<BtrfsIndex> loaded(const std::string& path, int threads) {
    std::string error;
    auto index = BtrfsIndex::open(path, &error, threads);
    EXPECT_TRUE(index) << error;
    if (!index)
        return nullptr;
    if (!index->load(nullptr, {}, &error)) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    return index;
}

// Compares folder `id` with the live folder `dir`, recursively, and appends what it saw to
// `dump`: names, ids and every figure lstat gives.
void expectSameAsLive(const BtrfsIndex& index, uint64_t id, const std::string& dir, std::string& dump) {
    std::vector<svl::RawChild> children;
    ASSERT_TRUE(index.children(id, &children)) << dir;
    std::map<std::string, uint64_t> listed;
    for (const svl::RawChild& c : children)
        EXPECT_TRUE(listed.emplace(std::string(c.name, c.nameLength), c.id).second) << dir;
    std::map<std::string, bool> live;
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            live.emplace(e->d_name, true);
    closedir(d);
    ASSERT_EQ(listed.size(), live.size()) << dir;
    for (const auto& [name, child] : listed) {
        const std::string path = dir + "/" + name;
        ASSERT_TRUE(live.count(name)) << path;
        struct stat st;
        ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
        svl::RawStat rs;
        ASSERT_TRUE(index.stat(child, &rs)) << path;
        dump += path + " " + std::to_string(child) + " " + std::to_string(rs.size) + " " +
                std::to_string(rs.allocated) + " " + std::to_string(rs.mtime) + " " + std::to_string(rs.mode) + "\n";
        if (index.isSubvolumeLink(child)) {
            EXPECT_EQ(st.st_ino, 256u) << path;
            EXPECT_EQ(rs.mode, 040755) << path;
            EXPECT_EQ(rs.links, 1) << path;
            EXPECT_EQ(rs.folderIndex, 0xFFFFFFFFu) << path;
            std::vector<svl::RawChild> none;
            EXPECT_FALSE(index.children(child, &none)) << path;
            continue;
        }
        EXPECT_EQ(st.st_ino, child) << path;
        EXPECT_EQ(uint64_t(st.st_size), rs.size) << path;
        EXPECT_EQ(uint64_t(st.st_blocks), rs.allocated) << path;
        EXPECT_EQ(st.st_mtime, rs.mtime) << path;
        EXPECT_EQ(st.st_mode, rs.mode) << path;
        EXPECT_EQ(st.st_nlink, rs.links) << path;
        if (S_ISDIR(st.st_mode))
            expectSameAsLive(index, child, path, dump);
        else
            EXPECT_FALSE(index.children(child, &children)) << path;
    }
}

}  // namespace

TEST_F(BtrfsIndexFixture, BtrfsIndexMatchesTheLiveVolumeAtEveryThreadCount) {
    BtrfsVolume volume(m_dir);
    ASSERT_TRUE(volume.ok()) << volume.error();
    std::string first;
    uint64_t firstBytes = 0;
    for (int threads : {1, 4, 16}) {
        SCOPED_TRACE(threads);
        auto index = loaded(volume.top(), threads);
        ASSERT_TRUE(index);
        EXPECT_EQ(index->threadCount(), uint32_t(threads));
        EXPECT_EQ(index->shardCount(), threads == 1 ? 1u : 8u * threads);
        EXPECT_EQ(index->treeId(), 5u);
        EXPECT_EQ(index->sectorSize(), 4096u);
        EXPECT_FALSE(index->isPartial());
        std::string dump;
        expectSameAsLive(*index, 256, volume.top(), dump);
        EXPECT_GT(index->entriesRead(), 3000u);
        EXPECT_GT(index->foldersRead(), 5u);
        EXPECT_LT(index->foldersRead(), index->entriesRead());
        if (first.empty()) {
            first = dump;
            firstBytes = index->bytesRead();
        } else {
            EXPECT_EQ(dump, first);
            EXPECT_EQ(index->bytesRead(), firstBytes);
        }
    }
    // The nested subvolume is an index of its own, with its own placeholder inside.
    auto sv = loaded(volume.top() + "/sv", 2);
    ASSERT_TRUE(sv);
    EXPECT_NE(sv->treeId(), 5u);
    std::string dump;
    expectSameAsLive(*sv, 256, volume.top() + "/sv", dump);
    EXPECT_NE(dump.find("/sv/nested "), std::string::npos);
}

TEST_F(BtrfsIndexFixture, BtrfsIndexEmptyVolumeHoldsOnlyItsRoot) {
    BtrfsVolume volume(m_dir, false);
    ASSERT_TRUE(volume.ok()) << volume.error();
    sh("rm -rf " + shQuote(volume.top()) + "/* && sync -f " + shQuote(volume.top()));
    for (int threads : {1, 4}) {
        auto index = loaded(volume.top(), threads);
        ASSERT_TRUE(index);
        std::vector<svl::RawChild> children(3);
        EXPECT_TRUE(index->children(256, &children));
        EXPECT_TRUE(children.empty());
        svl::RawStat rs;
        EXPECT_TRUE(index->stat(256, &rs));
        EXPECT_EQ(rs.mode & 0170000, 040000);
        EXPECT_FALSE(index->stat(257, &rs));
        EXPECT_FALSE(index->stat(uint64_t(1) << 48, &rs));
        EXPECT_FALSE(index->children(uint64_t(1) << 48, &children));
    }
}

TEST_F(BtrfsIndexFixture, BtrfsIndexOpenerRefusals) {
    BtrfsVolume volume(m_dir, false);
    ASSERT_TRUE(volume.ok()) << volume.error();
    std::string error;
    EXPECT_FALSE(BtrfsIndex::open(m_dir / "missing", &error, 1));
    EXPECT_EQ(error, "can't read " + m_dir / "missing" + ": No such file or directory");
    ASSERT_EQ(sh("mkdir -p " + shQuote(volume.top() + "/docs/sub")), 0);
    EXPECT_FALSE(BtrfsIndex::open(volume.top() + "/docs", &error, 1));
    EXPECT_EQ(error, volume.top() + "/docs isn't the root folder of a Btrfs subvolume");
    EXPECT_FALSE(BtrfsIndex::open(volume.top() + "/docs/a.txt", &error, 1));
    EXPECT_EQ(error.rfind("can't read " + volume.top() + "/docs/a.txt: ", 0), 0u) << error;
    EXPECT_FALSE(BtrfsIndex::open(volume.top(), nullptr, 1) == nullptr);
}

TEST_F(BtrfsIndexFixture, BtrfsIndexThreadCountFromTheEnvironment) {
    BtrfsVolume volume(m_dir, false);
    ASSERT_TRUE(volume.ok()) << volume.error();
    // Without a choice: one reader per processor, 1 to 16.
    EXPECT_EQ(BtrfsIndex::defaultThreads(0), 1u);
    EXPECT_EQ(BtrfsIndex::defaultThreads(6), 6u);
    EXPECT_EQ(BtrfsIndex::defaultThreads(64), 16u);
    const uint32_t automatic = BtrfsIndex::defaultThreads(std::thread::hardware_concurrency());
    struct Case {
        const char* value;
        int threads;
        uint32_t expected;
    } cases[] = {{nullptr, 0, automatic}, {"0", 0, automatic}, {"17", 0, automatic}, {"four", 0, automatic},
                 {"4x", 0, automatic}, {"16", 0, 16}, {"3", 0, 3}, {"1", 0, 1}, {"16", 2, 2}, {"16", -1, 16}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.value ? c.value : "(unset)") + " / " + std::to_string(c.threads));
        if (c.value)
            setenv("SVL_BTRFS_THREADS", c.value, 1);
        else
            unsetenv("SVL_BTRFS_THREADS");
        auto index = BtrfsIndex::open(volume.top(), nullptr, c.threads);
        ASSERT_TRUE(index);
        EXPECT_EQ(index->threadCount(), c.expected);
    }
    setenv("SVL_BTRFS_THREADS", "16", 1);
    auto index = loaded(volume.top(), 0);
    ASSERT_TRUE(index);
    EXPECT_EQ(index->shardCount(), 128u);
}

TEST_F(BtrfsIndexFixture, BtrfsIndexCancelledLoad) {
    BtrfsVolume volume(m_dir);
    ASSERT_TRUE(volume.ok()) << volume.error();

    // Cancelled before anything was read: no index, no text.
    std::atomic<bool> cancel{true};
    auto index = BtrfsIndex::open(volume.top(), nullptr, 4);
    ASSERT_TRUE(index);
    std::string error = "stale";
    EXPECT_FALSE(index->load(&cancel, {}, &error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(index->entriesRead(), 0u);

    // Cancelled once something was read: the part read, every listed child resolvable. On a
    // busy machine the canceller may only run after a load has finished: then try again.
    std::vector<double> reports;
    for (int attempt = 0; attempt < 10; ++attempt) {
        cancel = false;
        index = BtrfsIndex::open(volume.top(), nullptr, 1);
        ASSERT_TRUE(index);
        reports.clear();
        std::thread watcher([&] {
            while (index->entriesRead() == 0 && !cancel.load())
                std::this_thread::yield();
            cancel = true;
        });
        const bool ok = index->load(&cancel, [&](double f) { reports.push_back(f); }, &error);
        cancel = true;
        watcher.join();
        ASSERT_TRUE(ok) << error;
        if (index->isPartial())
            break;
    }
    ASSERT_TRUE(index->isPartial());
    ASSERT_FALSE(reports.empty());
    for (double f : reports) {
        EXPECT_GE(f, 0.0);
        EXPECT_LE(f, 0.999);
    }
    std::vector<uint64_t> folders{256};
    std::vector<svl::RawChild> children;
    svl::RawStat rs;
    while (!folders.empty()) {
        const uint64_t id = folders.back();
        folders.pop_back();
        ASSERT_TRUE(index->children(id, &children));
        for (const svl::RawChild& c : children) {
            ASSERT_TRUE(index->stat(c.id, &rs)) << c.name;
            if ((rs.mode & 0170000) == 040000 && !index->isSubvolumeLink(c.id))
                folders.push_back(c.id);
        }
    }
}
