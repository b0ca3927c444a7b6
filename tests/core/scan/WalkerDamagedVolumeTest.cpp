// Raw walks of damaged ext4 images (made with mkfs.ext4 -d, read as files, never mounted): a
// folder block whose "." entry lost its name byte, and images with random bytes overwritten.
// Every walk must end by itself with a well-formed tree; a watchdog cancels a walk that runs
// past a time bound, so a walk that would go on for ever fails instead of hanging the suite.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "core/rawindex/Ext4Index.h"
#include "tests/core/rawindex/Ext4Fixtures.h"
#include "tests/core/scan/ScanTestSupport.h"
#include "tests/core/scan/WalkerTestSupport.h"
#include "tests/support/TestSupport.h"

using hmtest::sh;
using hmtest::shQuote;
using hmtest::TempDir;
using scantest::RawWalk;

namespace {

constexpr auto kTimeBound = std::chrono::seconds(15);

// Cancels `progress` when it is not released within kTimeBound.
class Watchdog {
public:
    explicit Watchdog(svl::ScanProgress& progress)
        : m_thread([this, &progress] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_done.wait_for(lock, kTimeBound, [this] { return m_released; })) {
                  m_fired = true;
                  progress.cancel = true;
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_released = true;
        }
        m_done.notify_all();
        m_thread.join();
    }
    bool fired() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_fired;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_released = false;
    bool m_fired = false;
    std::thread m_thread;
};

// Opens, loads and walks `image`. False when the image was refused or failed to load (a
// damaged image may be); `walk` then holds no tree.
bool walkImage(const std::string& image, RawWalk& walk) {
    Watchdog watchdog(walk.progress);
    std::string error;
    auto index = svl::Ext4Index::open(image, &error);
    if (!index || !index->load(&walk.progress.cancel, {}, &error))
        return false;
    walk.run(std::move(index), "/volume", 1.0);
    EXPECT_FALSE(watchdog.fired()) << image << ": the walk ran past the time bound";
    EXPECT_FALSE(walk.tree.incomplete) << image;
    scantest::expectWellFormed(walk.tree);
    return true;
}

std::vector<std::string> paths(const svl::ScanTree& tree) {
    std::vector<std::string> all;
    for (uint32_t id = 0; id < tree.nodeCount; ++id)
        all.push_back(tree.fullPath(id) + " " + std::to_string(tree.node(id).size));
    std::sort(all.begin(), all.end());
    return all;
}

class WalkerDamagedVolume : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hmtest::haveTool("mkfs.ext4") || !hmtest::haveTool("debugfs"))
            GTEST_SKIP() << "needs e2fsprogs (mkfs.ext4, debugfs)";
        const std::string seed = m_dir / "seed";
        ASSERT_EQ(sh("mkdir -p " + shQuote(seed) + " && cd " + shQuote(seed) +
                     " && mkdir -p a/sub/deeper b/c/d/e f && for i in 1 2 3 4 5 6; do printf $i$i$i > a/sub/f$i;"
                     " printf $i > b/c/g$i; mkdir f/h$i; printf x > f/h$i/y; done && printf z > a/sub/deeper/z"),
                  0);
        m_image = ext4test::makeImage(m_dir, "pristine.img", "-b 1024 -N 128", 2048, seed);
        ASSERT_FALSE(m_image.empty());
    }
    TempDir m_dir{"damaged"};
    std::string m_image;
};

}  // namespace

TEST_F(WalkerDamagedVolume, FolderWhoseDotLostItsNameIsEnteredOnce) {
    RawWalk pristine;
    ASSERT_TRUE(walkImage(m_image, pristine));
    EXPECT_EQ(pristine.tree.errors, 0u);

    // The first entry of a folder block is ".", its name at byte 8; a zero there leaves an
    // entry named "\0" that still names the folder itself.
    const std::string block = hmtest::shOutput("debugfs -R 'bmap a/sub 0' " + shQuote(m_image) + " 2>/dev/null");
    ASSERT_FALSE(block.empty());
    const unsigned long long offset = std::stoull(block) * 1024 + 8;
    ASSERT_EQ(sh("printf '\\000' | dd of=" + shQuote(m_image) + " bs=1 seek=" + std::to_string(offset) +
                 " conv=notrunc status=none"),
              0);

    for (int threads : {1, 4}) {
        SCOPED_TRACE(threads);
        RawWalk damaged;
        damaged.options.threads = threads;
        ASSERT_TRUE(walkImage(m_image, damaged));
        EXPECT_EQ(damaged.tree.errors, 1u);
        EXPECT_EQ(paths(damaged.tree), paths(pristine.tree));
    }
}

TEST_F(WalkerDamagedVolume, RandomlyDamagedImagesGiveFinishedTrees) {
    const ext4test::Bytes pristine = ext4test::readBytes(m_image);
    // mkfs -d writes metadata and data near the start: damage only the part in use.
    size_t used = pristine.size();
    while (used > 0 && pristine[used - 1] == 0)
        --used;
    ASSERT_GT(used, 64u * 1024);
    std::mt19937_64 random(14);
    int walked = 0;
    for (int round = 0; round < 28; ++round) {
        ext4test::Bytes bytes = pristine;
        for (int k = 0; k < 24; ++k)
            bytes[random() % used] = uint8_t(random());
        const std::string image = m_dir / ("damaged-" + std::to_string(round) + ".img");
        {
            std::ofstream out(image, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
        SCOPED_TRACE(image);
        RawWalk w;
        w.options.threads = 4;
        walked += walkImage(image, w) ? 1 : 0;
        ::unlink(image.c_str());
    }
    EXPECT_GT(walked, 14);  // most damage leaves the image readable
}
