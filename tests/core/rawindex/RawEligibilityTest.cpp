// Which folders may be read from their volume's metadata, against real loop mounts: a whole
// volume, a subfolder, bind mounts, a tmpfs on top, a symbolic link, an ordinary user; and
// the udev record of a block device.
#include "core/rawindex/RawEligibility.h"

#include "tests/support/TestSupport.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>

using hmtest::LoopMount;
using hmtest::sh;
using hmtest::shQuote;
using hmtest::TempDir;

namespace {

unsigned long deviceOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

// rawScanDevice's answer for `path` on its own device: "ok" or the reason.
std::string eligibility(const std::string& path, unsigned long dev = 0) {
    svl::MountEntry entry;
    std::string reason = "(untouched)";
    if (svl::rawScanDevice(path, dev ? dev : deviceOf(path), &entry, &reason))
        return "ok " + entry.fsType + " " + entry.source;
    return reason;
}

constexpr const char* kNotWhole = "not a whole ext2/3/4 or NTFS filesystem";

class RawEligibilityFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hmtest::isRoot())
            GTEST_SKIP() << "needs root for loop mounts";
        sh("chmod 755 " + shQuote(m_dir.path()));
        m_volume = std::make_unique<LoopMount>(m_dir.path(), "mkfs.ext4 -q -F", 16);
        ASSERT_TRUE(m_volume->ok()) << m_volume->error();
        m_top = m_volume->mountPoint();
        sh("mkdir -p " + shQuote(m_top + "/sub/inner"));
    }
    void TearDown() override {
        for (auto it = m_extraMounts.rbegin(); it != m_extraMounts.rend(); ++it)
            sh("umount " + shQuote(*it) + " 2>/dev/null");
    }
    void mountOn(const std::string& command, const std::string& target) {
        sh("mkdir -p " + shQuote(target));
        ASSERT_EQ(sh(command + " " + shQuote(target)), 0) << command;
        m_extraMounts.push_back(target);
    }
    TempDir m_dir{"raweligible"};
    std::unique_ptr<LoopMount> m_volume;
    std::string m_top;
    std::vector<std::string> m_extraMounts;
};

}  // namespace

TEST_F(RawEligibilityFixture, RawEligibilityAcceptsOnlyWholeVolumes) {
    const std::string ok = "ok ext4 " + m_volume->device();
    EXPECT_EQ(eligibility(m_top), ok);
    EXPECT_EQ(eligibility(m_top + "/"), ok);
    EXPECT_EQ(eligibility(m_top + "//"), ok);
    EXPECT_EQ(svl::rawScanKind(m_top), "ext4");

    EXPECT_EQ(eligibility(m_top + "/sub"), kNotWhole);
    EXPECT_EQ(svl::rawScanKind(m_top + "/sub"), "");
    EXPECT_EQ(eligibility(m_top + "/sub/.."), "the folder is reached through a link");
    sh("ln -s " + shQuote(m_top) + " " + shQuote(m_dir / "link"));
    EXPECT_EQ(eligibility(m_dir / "link"), "the folder is reached through a link");
    EXPECT_EQ(eligibility(m_dir / "missing"), "(untouched)");
    ASSERT_EQ(::chdir(m_dir.path().c_str()), 0);
    EXPECT_EQ(eligibility(m_top.substr(m_dir.path().size() + 1)), "the folder is reached through a link");
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_EQ(eligibility(m_top, deviceOf(m_top) + 1), "can't tell which device holds it");

    // A bind mount of the whole volume is the volume; one of a subfolder is not.
    mountOn("mount --bind " + shQuote(m_top), m_dir / "whole-bind");
    EXPECT_EQ(eligibility(m_dir / "whole-bind"), ok);
    mountOn("mount --bind " + shQuote(m_top + "/sub"), m_dir / "sub-bind");
    EXPECT_EQ(eligibility(m_dir / "sub-bind"), kNotWhole);

    // The last mount on a point decides: a tmpfs on top hides the volume.
    mountOn("mount -t tmpfs tmpfs", m_top);
    EXPECT_EQ(eligibility(m_top), kNotWhole);
    EXPECT_FALSE(svl::rawScanNeedsAdmin(m_top));
    EXPECT_EQ(svl::rawScanKind(m_top), "");
    sh("umount " + shQuote(m_top));
    m_extraMounts.pop_back();
    EXPECT_EQ(eligibility(m_top), ok);

    EXPECT_FALSE(svl::isNtfsVolume(m_top, nullptr, nullptr));
    EXPECT_FALSE(svl::isNtfsVolume(m_dir / "missing", nullptr, nullptr));
}

TEST_F(RawEligibilityFixture, RawEligibilityNamesTheExtKinds) {
    for (const char* kind : {"ext3", "ext2"}) {
        LoopMount volume(m_dir.path(), std::string("mkfs.ext4 -q -F -t ") + kind, 16, kind);
        ASSERT_TRUE(volume.ok()) << volume.error();
        EXPECT_EQ(svl::rawScanKind(volume.mountPoint()), kind);
        EXPECT_EQ(eligibility(volume.mountPoint()), std::string("ok ") + kind + " " + volume.device());
    }
}

TEST_F(RawEligibilityFixture, RawEligibilityAsksForAdministratorOnlyWhenNeeded) {
    EXPECT_FALSE(svl::rawScanNeedsAdmin(m_top));  // the superuser reads every device
    const std::string top = m_top;
    auto asUser = [&](const std::string& path) {
        return hmtest::runAsTestUser([&]() { return svl::rawScanNeedsAdmin(path) ? 1 : 0; });
    };
    EXPECT_EQ(asUser(top), 1);
    EXPECT_EQ(asUser(top + "/sub"), 0);
    EXPECT_EQ(asUser(m_dir / "missing"), 0);
    EXPECT_EQ(hmtest::runAsTestUser([&]() { return svl::rawScanKind(top) == "ext4" ? 1 : 0; }), 1);

    // A device the user may already read needs no administrator.
    const std::string device = m_volume->device();
    struct stat st;
    ASSERT_EQ(::stat(device.c_str(), &st), 0);
    ASSERT_EQ(::chown(device.c_str(), 0, hmtest::testUserGid()), 0);
    ASSERT_EQ(::chmod(device.c_str(), 0640), 0);
    int readable = asUser(top);
    EXPECT_EQ(::chown(device.c_str(), st.st_uid, st.st_gid), 0);
    EXPECT_EQ(::chmod(device.c_str(), st.st_mode & 07777), 0);
    EXPECT_EQ(readable, 0);
}

TEST(RawEligibilityTest, RawEligibilityReadsUdevRecords) {
    TempDir udev("udev");
    EXPECT_EQ(svl::udevFsType(7, 3, udev.path()), "");
    hmtest::writeFile(udev / "b7:3", "S:disk/by-uuid/x\n\nE:ID_FS_USAGE=filesystem\nE:ID_FS_TYPE=ntfs\n"
                                     "E:ID_FS_TYPE=exfat\n");
    EXPECT_EQ(svl::udevFsType(7, 3, udev.path()), "ntfs");
    EXPECT_EQ(svl::udevFsType(7, 30, udev.path()), "");
    hmtest::writeFile(udev / "b8:1", "E:ID_FS_TYPE=\n");
    EXPECT_EQ(svl::udevFsType(8, 1, udev.path()), "");
    hmtest::writeFile(udev / "b259:0", "E:ID_FS_UUID=1\n");
    EXPECT_EQ(svl::udevFsType(259, 0, udev.path()), "");
}

TEST_F(RawEligibilityFixture, RawEligibilityTellsFuseVolumesByUdev) {
    if (!hmtest::haveTool("mkntfs") || !hmtest::haveTool("ntfs-3g"))
        GTEST_SKIP() << "needs mkntfs and ntfs-3g";
    LoopMount ntfs(m_dir.path(), "mkntfs -F -Q -q", 32, "ntfs-3g");
    ASSERT_TRUE(ntfs.ok()) << ntfs.error();
    const std::string top = ntfs.mountPoint();
    std::string device;
    uint64_t freeBytes = 0;
    EXPECT_TRUE(svl::isNtfsVolume(top, &device, &freeBytes));
    EXPECT_EQ(device, ntfs.device());
    EXPECT_GT(freeBytes, 0u);
    EXPECT_TRUE(svl::isNtfsVolume(top, nullptr, nullptr));

    struct stat st;
    ASSERT_EQ(::stat(ntfs.device().c_str(), &st), 0);
    TempDir udev("udev");
    std::string record = udev / ("b" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
    const std::string udevRoot = udev.path();
    sh("chmod -R 755 " + shQuote(udevRoot));
    auto needsAdmin = [&]() {
        return hmtest::runAsTestUser([&]() { return svl::rawScanNeedsAdmin(top, udevRoot) ? 1 : 0; });
    };

    // Without a udev record the FUSE volume can't be named, but reading it may still need rights.
    EXPECT_EQ(svl::rawScanKind(top, udevRoot), "");
    EXPECT_EQ(needsAdmin(), 1);
    hmtest::writeFile(record, "E:ID_FS_TYPE=ntfs\n");
    sh("chmod 644 " + shQuote(record));
    EXPECT_EQ(svl::rawScanKind(top, udevRoot), "NTFS");
    EXPECT_EQ(needsAdmin(), 1);
    hmtest::writeFile(record, "E:ID_FS_TYPE=exfat\n");
    EXPECT_EQ(svl::rawScanKind(top, udevRoot), "");
    EXPECT_EQ(needsAdmin(), 0);
    EXPECT_TRUE(svl::isNtfsVolume(top, nullptr, nullptr));  // FUSE block mounts count without udev
}
