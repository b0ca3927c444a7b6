// Choosing a raw reader by a device's first bytes, and loading the index of a scan root with
// its note, needs-administrator flag, cancel result and progress mapping.
#include "core/rawindex/RawIndex.h"

#include "core/scan/ScanDriver.h"
#include "tests/core/rawindex/Ext4Fixtures.h"

#include <sys/stat.h>

#include <regex>

using hmtest::LoopMount;
using hmtest::sh;
using hmtest::shQuote;
using hmtest::TempDir;

TEST(RawIndexTest, RawIndexOpenerChoosesByFirstBytes) {
    TempDir dir("rawopen");
    std::string error;
    EXPECT_FALSE(svl::openRawIndex(dir / "missing", &error));
    EXPECT_EQ(error, "can't read " + (dir / "missing") + ": No such file or directory");

    hmtest::writeFile(dir / "short", std::string(1099, '\0'));
    EXPECT_FALSE(svl::openRawIndex(dir / "short", &error));
    EXPECT_EQ(error, "can't read the start of " + (dir / "short"));

    hmtest::writeFile(dir / "blank", std::string(1100, '\0'));
    EXPECT_FALSE(svl::openRawIndex(dir / "blank", &error));
    EXPECT_EQ(error, dir / "blank" + " doesn't hold a filesystem this can read");
    EXPECT_FALSE(svl::openRawIndex(dir / "blank", nullptr));

    // An MFT record signature wins over an ext4 magic further on.
    std::string mft(4096, '\0');
    mft.replace(0, 4, "FILE");
    mft[1080] = char(0x53);
    mft[1081] = char(0xEF);
    hmtest::writeFile(dir / "mft", mft);
    auto fromMft = svl::openRawIndex(dir / "mft", &error);
    EXPECT_TRUE(!fromMft || std::string(fromMft->fsName()) != "ext4");

    if (!hmtest::haveTool("mkfs.ext4"))
        GTEST_SKIP() << "needs mkfs.ext4";
    std::string image = ext4test::makeImage(dir, "ext4.img", "-b 1024", 1024);
    ASSERT_FALSE(image.empty());
    auto index = svl::openRawIndex(image, &error);
    ASSERT_TRUE(index) << error;
    EXPECT_STREQ(index->fsName(), "ext4");
    EXPECT_EQ(index->rootId(), 2u);
    ASSERT_TRUE(index->load(nullptr, {}, &error)) << error;
    std::vector<svl::RawChild> children;
    EXPECT_TRUE(index->children(index->rootId(), &children));
    ASSERT_EQ(children.size(), 1u);
    EXPECT_STREQ(children[0].name, "lost+found");
}

namespace {

class RawLoadFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hmtest::isRoot())
            GTEST_SKIP() << "needs root for loop devices";
        sh("chmod 755 " + shQuote(m_dir.path()));  // the test user must reach the mount point
        m_volume = std::make_unique<LoopMount>(m_dir.path(), "mkfs.ext4 -q -F -b 4096", 32);
        ASSERT_TRUE(m_volume->ok()) << m_volume->error();
        sh("cd " + shQuote(m_volume->mountPoint()) + " && mkdir -p sub/deeper && seq -f 'f%.0f' 1 50 | xargs touch"
           " && sync -f .");
        struct stat st;
        ASSERT_EQ(::stat(m_volume->mountPoint().c_str(), &st), 0);
        m_dev = st.st_dev;
    }
    TempDir m_dir{"rawload"};
    std::unique_ptr<LoopMount> m_volume;
    unsigned long m_dev = 0;
};

}  // namespace

TEST_F(RawLoadFixture, RawIndexLoaderReadsAWholeVolume) {
    svl::ScanProgress progress;
    progress.files = 3;
    progress.folders = 4;
    progress.fraction = 0.1;
    std::string note;
    bool cancelled = true, needsAdmin = true;
    auto index = svl::loadRawIndex(m_volume->mountPoint(), m_dev, &progress, note, cancelled, needsAdmin, 0.5, 0);
    ASSERT_TRUE(index) << note;
    EXPECT_FALSE(cancelled);
    EXPECT_FALSE(needsAdmin);
    EXPECT_TRUE(std::regex_match(note, std::regex("ext4: read [0-9]+ files and folders from " + m_volume->device() +
                                                  ": [0-9]+ MB in [0-9]+\\.[0-9]s")))
        << note;
    EXPECT_NE(note.find("read " + std::to_string(index->entriesRead()) + " files"), std::string::npos);
    EXPECT_DOUBLE_EQ(progress.fraction.load(), 0.1 + 0.5);
    EXPECT_EQ(progress.folders.load(), 4 + index->foldersRead());
    EXPECT_EQ(progress.files.load(), 3 + index->entriesRead() - index->foldersRead());
    EXPECT_GE(index->foldersRead(), 4u);  // root, lost+found, sub, deeper

    // Without a progress record the load runs all the same.
    auto quiet = svl::loadRawIndex(m_volume->mountPoint(), m_dev, nullptr, note, cancelled, needsAdmin, 0.85, -1);
    EXPECT_TRUE(quiet) << note;
}

TEST_F(RawLoadFixture, RawIndexLoaderRefusesAndRestoresProgress) {
    svl::ScanProgress progress;
    progress.files = 3;
    progress.folders = 4;
    progress.fraction = 0.25;
    progress.cancel = true;
    std::string note;
    bool cancelled = false, needsAdmin = true;
    EXPECT_FALSE(svl::loadRawIndex(m_volume->mountPoint(), m_dev, &progress, note, cancelled, needsAdmin, 0.85, 0));
    EXPECT_EQ(note, "cancelled");
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(needsAdmin);
    EXPECT_EQ(progress.files.load(), 3u);
    EXPECT_EQ(progress.folders.load(), 4u);
    EXPECT_EQ(progress.fraction.load(), 0.25);

    progress.cancel = false;
    EXPECT_FALSE(svl::loadRawIndex(m_volume->mountPoint() + "/sub", m_dev, &progress, note, cancelled, needsAdmin,
                                   0.85, 0));
    EXPECT_EQ(note, "not a whole ext2/3/4 or NTFS filesystem");
    EXPECT_FALSE(cancelled);

    // A path that can't be resolved leaves the note as it was.
    note = "earlier";
    EXPECT_FALSE(svl::loadRawIndex(m_dir / "gone", m_dev, &progress, note, cancelled, needsAdmin, 0.85, 0));
    EXPECT_EQ(note, "earlier");
}

TEST_F(RawLoadFixture, RawIndexLoaderNeedsTheRightToReadTheDevice) {
    const std::string mountPoint = m_volume->mountPoint();
    const std::string device = m_volume->device();
    const unsigned long dev = m_dev;
    // 0: refused for want of rights; 1: read; other values: unexpected results.
    auto attempt = [&]() {
        return hmtest::runAsTestUser([&]() {
            std::string note;
            bool cancelled = false, needsAdmin = false;
            auto index = svl::loadRawIndex(mountPoint, dev, nullptr, note, cancelled, needsAdmin, 0.85, 0);
            if (!index && needsAdmin && note == "reading " + device + " takes administrator rights")
                return 0;
            if (index && !needsAdmin && index->entriesRead() > 50)
                return 1;
            return 2;
        });
    };
    EXPECT_EQ(attempt(), 0);
    // A device the user may read (as through a disk group) is read without administrator rights.
    struct stat st;
    ASSERT_EQ(::stat(device.c_str(), &st), 0);
    ASSERT_EQ(::chown(device.c_str(), 0, hmtest::testUserGid()), 0);
    ASSERT_EQ(::chmod(device.c_str(), 0640), 0);
    int readable = attempt();
    EXPECT_EQ(::chown(device.c_str(), st.st_uid, st.st_gid), 0);
    EXPECT_EQ(::chmod(device.c_str(), st.st_mode & 07777), 0);
    EXPECT_EQ(readable, 1);
}
