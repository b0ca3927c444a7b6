#include "core/scan/VolumeClass.h"

#include "core/scan/MountTable.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// A made-up /sys: device folders under devices/, reached through dev/block/MAJ:MIN links.
class FakeSysfs {
public:
    FakeSysfs() : m_dir("hm-sysfs") { fs::create_directories(root() + "/dev/block"); }

    const std::string& root() const { return m_dir.path(); }

    // A whole disk with its queue/rotational and, when given, device/vendor and device/model.
    std::string disk(const std::string& name, const std::string& rotational, const std::string& vendor = "",
                     const std::string& model = "") {
        const std::string folder = root() + "/devices/host0/block/" + name;
        fs::create_directories(folder + "/queue");
        hmtest::writeFile(folder + "/queue/rotational", rotational + "\n");
        fs::create_directories(folder + "/device");
        if (!vendor.empty())
            hmtest::writeFile(folder + "/device/vendor", vendor + "\n");
        if (!model.empty())
            hmtest::writeFile(folder + "/device/model", model + "\n");
        return folder;
    }

    // A partition folder inside its disk's folder, without a queue of its own.
    static std::string partition(const std::string& diskFolder, const std::string& name) {
        const std::string folder = diskFolder + "/" + name;
        fs::create_directories(folder);
        hmtest::writeFile(folder + "/partition", "2\n");
        return folder;
    }

    void link(unsigned major, unsigned minor, const std::string& folder) {
        fs::create_directory_symlink(folder, root() + "/dev/block/" + std::to_string(major) + ":" +
                                                 std::to_string(minor));
    }

    static void slave(const std::string& folder, const std::string& member) {
        fs::create_directories(folder + "/slaves");
        fs::create_directory_symlink(member, folder + "/slaves/" + fs::path(member).filename().string());
    }

private:
    hmtest::TempDir m_dir;
};

// Forces /sys/class/block/<loop>/queue/rotational and restores the old value.
class ForcedRotational {
public:
    ForcedRotational(const std::string& device, const std::string& value)
        : m_file("/sys/class/block/" + fs::path(device).filename().string() + "/queue/rotational"),
          m_old(svl::readSysfsValue(m_file)) {
        m_ok = hmtest::sh("echo " + value + " > " + m_file) == 0;
    }
    ~ForcedRotational() {
        if (!m_old.empty())
            hmtest::sh("echo " + m_old + " > " + m_file);
    }
    bool ok() const { return m_ok; }
    const std::string& file() const { return m_file; }

private:
    std::string m_file, m_old;
    bool m_ok = false;
};

std::vector<svl::MountEntry> mounts(const char* text) {
    return svl::parseMountInfo(text);
}

}  // namespace

TEST(VolumeClassRemote, FileSystemTypeNumbers) {
    using svl::FsTypeClass;
    for (uint64_t magic : {svl::FsMagic::Smb2, svl::FsMagic::Cifs, svl::FsMagic::Smb, svl::FsMagic::Nfs,
                           svl::FsMagic::Ceph, svl::FsMagic::Coda, svl::FsMagic::V9fs, svl::FsMagic::Afs,
                           svl::FsMagic::Ncp})
        EXPECT_EQ(svl::classifyFsType(magic), FsTypeClass::Remote) << std::hex << magic;
    EXPECT_EQ(svl::classifyFsType(svl::FsMagic::Fuse), FsTypeClass::Fuse);
    EXPECT_EQ(svl::classifyFsType(0xEF53), FsTypeClass::Local);      // ext4
    EXPECT_EQ(svl::classifyFsType(0x9123683E), FsTypeClass::Local);  // btrfs
    EXPECT_EQ(svl::classifyFsType(0x01021994), FsTypeClass::Local);  // tmpfs
    EXPECT_EQ(svl::classifyFsType(0x65735546 ^ 1), FsTypeClass::Local);
    // Only bit 24 may differ between the SMB numbers.
    EXPECT_EQ(svl::classifyFsType(0xFE534D43), FsTypeClass::Local);
    EXPECT_EQ(svl::classifyFsType(0xFC534D42), FsTypeClass::Local);
    // A sign-extended 32-bit magic.
    EXPECT_EQ(svl::classifyFsType(0xFFFFFFFFFF534D42ull), FsTypeClass::Remote);
}

TEST(VolumeClassRemote, FuseMountsByTable) {
    const auto table = mounts(
        "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "2 1 0:50 / /media/win rw - fuseblk /dev/sdb1 rw\n"
        "3 1 0:51 / /media/win2 rw - fuse.ntfs-3g /dev/sdc1 rw\n"
        "4 1 0:52 / /net/box rw - fuse.sshfs user@box:/ rw\n"
        "5 1 0:53 / /media/win/share rw - fuse.sshfs user@box:/x rw\n"
        "6 1 0:54 / /odd rw - fuseblk /dev rw\n"
        "7 1 0:55 / /fake rw - fuse /dev/sdd1 rw\n");
    EXPECT_FALSE(svl::isRemoteFuseMount(table, "/media/win/docs"));
    EXPECT_FALSE(svl::isRemoteFuseMount(table, "/media/win2"));
    EXPECT_TRUE(svl::isRemoteFuseMount(table, "/net/box/home"));
    EXPECT_TRUE(svl::isRemoteFuseMount(table, "/media/win/share/a"));  // the longest mount point wins
    EXPECT_TRUE(svl::isRemoteFuseMount(table, "/odd"));                // source shorter than "/dev/"
    EXPECT_TRUE(svl::isRemoteFuseMount(table, "/fake"));               // only the two block drivers count
    EXPECT_TRUE(svl::isRemoteFuseMount({}, "/anything"));              // not in the table
    EXPECT_TRUE(svl::isRemoteFuseMount(table, "relative"));
}

TEST(VolumeClassRemote, LocalPathsAndFailures) {
    hmtest::TempDir dir("hm-volclass");
    EXPECT_FALSE(svl::isRemoteFileSystem(dir.path()));
    EXPECT_FALSE(svl::isRemoteFileSystem(dir / "missing"));
    EXPECT_FALSE(svl::isRemoteFileSystem("/proc"));
    EXPECT_FALSE(svl::isRemoteFileSystem(""));
}

// ntfs-3g is a FUSE driver for a local block device: FUSE by type number, local by its mount.
TEST(VolumeClassRemote, NtfsThroughFuseIsLocal) {
    if (!hmtest::isRoot() || !hmtest::haveTool("mkntfs") || !hmtest::haveTool("ntfs-3g"))
        GTEST_SKIP() << "needs root, mkntfs and ntfs-3g";
    hmtest::TempDir dir("hm-volclass");
    hmtest::LoopMount ntfs(dir.path(), "mkntfs -F -Q -q", 32, "ntfs-3g");
    ASSERT_TRUE(ntfs.ok()) << ntfs.error();
    struct statfs st;
    ASSERT_EQ(statfs(ntfs.mountPoint().c_str(), &st), 0);
    ASSERT_EQ(svl::classifyFsType(uint64_t(st.f_type)), svl::FsTypeClass::Fuse);
    ASSERT_EQ(mkdir((ntfs.mountPoint() + "/folder").c_str(), 0755), 0);
    EXPECT_FALSE(svl::isRemoteFileSystem(ntfs.mountPoint()));
    EXPECT_FALSE(svl::isRemoteFileSystem(ntfs.mountPoint() + "/folder"));
}

TEST(VolumeClassSysfs, ReadSysfsValue) {
    hmtest::TempDir dir("hm-volclass");
    hmtest::writeFile(dir / "vendor", "  QEMU    \nSECOND LINE\n");
    hmtest::writeFile(dir / "blank", " \t \n");
    hmtest::writeFile(dir / "empty", "");
    hmtest::writeFile(dir / "noeol", "\tMixed Case");
    EXPECT_EQ(svl::readSysfsValue(dir / "vendor"), "qemu");
    EXPECT_EQ(svl::readSysfsValue(dir / "blank"), "");
    EXPECT_EQ(svl::readSysfsValue(dir / "empty"), "");
    EXPECT_EQ(svl::readSysfsValue(dir / "noeol"), "mixed case");
    EXPECT_EQ(svl::readSysfsValue(dir / "missing"), "");
    EXPECT_EQ(svl::readSysfsValue(dir.path()), "");  // a folder
}

TEST(VolumeClassSysfs, DisksAndPartitions) {
    FakeSysfs sys;
    const std::string sda = sys.disk("sda", "1", "ATA", "ST2000DM008-2FR1");
    sys.link(8, 0, sda);
    sys.link(8, 2, FakeSysfs::partition(sda, "sda2"));
    sys.link(8, 16, sys.disk("sdb", "0", "ATA", "Samsung SSD 870"));
    sys.link(3, 64, sys.disk("hdb", "1"));
    sys.link(252, 0, sys.disk("vda", "1", "0x1af4"));
    sys.link(259, 300, sys.disk("nvme0n1", "1"));
    sys.link(8, 32, sys.disk("sdc", " 1 "));
    sys.link(0, 5, sys.disk("sdz", "1"));

    EXPECT_TRUE(svl::classifyBlockDevice(makedev(8, 0), sys.root()));
    EXPECT_TRUE(svl::classifyBlockDevice(makedev(8, 2), sys.root()));  // judged by its disk
    EXPECT_FALSE(svl::classifyBlockDevice(makedev(8, 16), sys.root()));
    EXPECT_TRUE(svl::classifyBlockDevice(makedev(3, 64), sys.root()));
    EXPECT_FALSE(svl::classifyBlockDevice(makedev(252, 0), sys.root()));   // virtio never spins
    EXPECT_FALSE(svl::classifyBlockDevice(makedev(259, 300), sys.root())); // nor does NVMe
    EXPECT_TRUE(svl::classifyBlockDevice(makedev(8, 32), sys.root()));     // value is trimmed
    EXPECT_FALSE(svl::classifyBlockDevice(makedev(0, 5), sys.root()));     // anonymous device
    EXPECT_FALSE(svl::classifyBlockDevice(makedev(8, 48), sys.root()));    // no such device
    EXPECT_FALSE(svl::classifyBlockDevice(makedev(8, 0), sys.root() + "/nowhere"));
}

TEST(VolumeClassSysfs, LargeDeviceNumbersSplitLikeTheCLibrary) {
    FakeSysfs sys;
    const std::string disk = sys.disk("sdbz", "1");
    sys.link(4100, 70000, disk);
    sys.link(65, 1048575, disk);
    EXPECT_TRUE(svl::classifyBlockDevice(makedev(4100, 70000), sys.root()));
    EXPECT_TRUE(svl::classifyBlockDevice(makedev(65, 1048575), sys.root()));
    EXPECT_FALSE(svl::classifyBlockDevice(makedev(4100, 70001), sys.root()));
}

TEST(VolumeClassSysfs, VirtualDisks) {
    FakeSysfs sys;
    struct Case {
        const char* vendor;
        const char* model;
        bool rotational;
    };
    const Case cases[] = {
        {"ATA", "WDC WD40EFRX", true},    {"  QEMU  ", "HARDDISK", false}, {"xen", "disk", false},
        {"goo", "disk", true},            {"Google", "PersistentDisk", false},
        {"Amazon", "EBS", false},         {"MSFT", "Virtual Disk", false}, {"VMware,", "disk", false},
        {"VBOX", "HARDDISK", false},      {"ATA", "Virtual Disk", false},  {"ATA", "QEMU HARDDISK", false},
        {"ATA", "xvmwarex", false},       {"ATA", "abcvboxdef", false},    {"", "", true},
        {"ATAxen", "disk", true},
    };
    unsigned minor = 0;
    for (const Case& c : cases) {
        sys.link(8, minor, sys.disk("sd" + std::to_string(minor), "1", c.vendor, c.model));
        EXPECT_EQ(svl::classifyBlockDevice(makedev(8, minor), sys.root()), c.rotational)
            << "vendor '" << c.vendor << "' model '" << c.model << "'";
        ++minor;
    }
}

TEST(VolumeClassSysfs, StackedDevices) {
    FakeSysfs sys;
    const std::string hdd1 = sys.disk("sda", "1", "ATA", "HDD");
    const std::string hdd2 = sys.disk("sdb", "1", "ATA", "HDD");
    const std::string ssd = sys.disk("sdc", "0", "ATA", "SSD");
    const std::string part = FakeSysfs::partition(hdd2, "sdb1");

    const std::string mirror = sys.disk("dm-0", "0");  // device mapper reports 0 itself
    FakeSysfs::slave(mirror, hdd1);
    FakeSysfs::slave(mirror, part);
    sys.link(253, 0, mirror);
    EXPECT_TRUE(svl::classifyBlockDevice(makedev(253, 0), sys.root()));

    const std::string mixed = sys.disk("dm-1", "1");
    FakeSysfs::slave(mixed, hdd1);
    FakeSysfs::slave(mixed, ssd);
    sys.link(253, 1, mixed);
    EXPECT_FALSE(svl::classifyBlockDevice(makedev(253, 1), sys.root()));

    const std::string broken = sys.disk("dm-2", "1");
    FakeSysfs::slave(broken, hdd1);
    fs::create_directory_symlink(sys.root() + "/devices/gone", broken + "/slaves/gone");
    sys.link(253, 2, broken);
    EXPECT_FALSE(svl::classifyBlockDevice(makedev(253, 2), sys.root()));

    // An empty slaves folder means the device is judged by itself.
    const std::string lone = sys.disk("sdx", "1");
    fs::create_directories(lone + "/slaves");
    sys.link(8, 240, lone);
    EXPECT_TRUE(svl::classifyBlockDevice(makedev(8, 240), sys.root()));
}

TEST(VolumeClassSysfs, DeviceChainDepthLimit) {
    FakeSysfs sys;
    const std::string bottom = sys.disk("sda", "1", "ATA", "HDD");
    // Builds md0 -> md1 -> ... -> md<levels-1> -> sda and returns md0.
    auto chain = [&](const std::string& tag, unsigned levels) {
        std::string below = bottom;
        for (unsigned i = levels; i-- > 0;) {
            const std::string folder = sys.disk(tag + std::to_string(i), "1");
            FakeSysfs::slave(folder, below);
            below = folder;
        }
        return below;
    };
    EXPECT_EQ(svl::rotationalBySysfs(chain("a", 8), 0), 1);  // the disk sits at depth 8
    EXPECT_EQ(svl::rotationalBySysfs(chain("b", 9), 0), 0);  // depth 9 is not followed
    EXPECT_EQ(svl::rotationalBySysfs(bottom, 8), 1);
    EXPECT_EQ(svl::rotationalBySysfs(bottom, 9), 0);
}

// A real folder's own device, described by a made-up /sys.
TEST(VolumeClassSysfs, RealPathThroughInjectedSysfs) {
    hmtest::TempDir dir("hm-volclass");
    struct stat st;
    ASSERT_EQ(stat(dir.path().c_str(), &st), 0);
    if (major(st.st_dev) == 0)
        GTEST_SKIP() << "the temporary folder lies on an anonymous device";
    FakeSysfs sys;
    const std::string disk = sys.disk("sdq", "1", "ATA", "HDD");
    sys.link(major(st.st_dev), minor(st.st_dev), disk);
    EXPECT_TRUE(svl::isRotationalDisk(dir.path(), sys.root()));
    hmtest::writeFile(disk + "/queue/rotational", "0\n");
    EXPECT_FALSE(svl::isRotationalDisk(dir.path(), sys.root()));
    EXPECT_FALSE(svl::isRotationalDisk(dir / "missing", sys.root()));
}

// Real ext4, Btrfs and XFS volumes on loop devices. Btrfs shows an anonymous device, which
// must be followed through the mount source to the loop device.
TEST(VolumeClassSysfs, LoopMountedVolumes) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for loop devices";
    struct Volume {
        const char* tool;
        const char* mkfs;
        long long sizeMiB;
    };
    const Volume volumes[] = {
        {"mkfs.ext4", "mkfs.ext4 -q -F", 32},
        {"mkfs.btrfs", "mkfs.btrfs -q -f", 128},
        {"mkfs.xfs", "mkfs.xfs -q -f", 320},
    };
    hmtest::TempDir dir("hm-volclass");
    int tested = 0;
    for (const Volume& v : volumes) {
        if (!hmtest::haveTool(v.tool))
            continue;
        SCOPED_TRACE(v.tool);
        hmtest::LoopMount loop(dir.path(), v.mkfs, v.sizeMiB);
        ASSERT_TRUE(loop.ok()) << loop.error();
        struct stat dev;
        ASSERT_EQ(stat(loop.device().c_str(), &dev), 0);
        const std::string folder = loop.mountPoint() + "/sub";
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);

        FakeSysfs sys;
        const std::string disk = sys.disk("sdq", "1", "ATA", "HDD");
        sys.link(major(dev.st_rdev), minor(dev.st_rdev), disk);
        EXPECT_TRUE(svl::isRotationalDisk(folder, sys.root()));
        EXPECT_FALSE(svl::isRemoteFileSystem(folder));

        // The real /sys: a loop device never counts as a spinning disk, whatever it reports.
        for (const char* value : {"1", "0"}) {
            ForcedRotational forced(loop.device(), value);
            ASSERT_TRUE(forced.ok());
            EXPECT_EQ(svl::readSysfsValue(forced.file()), value);
            EXPECT_FALSE(svl::isRotationalDisk(folder));
            EXPECT_FALSE(svl::classifyBlockDevice(dev.st_rdev, "/sys"));
        }
        ++tested;
    }
    if (tested == 0)
        GTEST_SKIP() << "no mkfs tool found";
}
