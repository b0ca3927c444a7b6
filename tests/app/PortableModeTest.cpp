#include "app/PortableMode.h"

#include "tests/app/ShellTestEnv.h"

#include <QCoreApplication>

#include <sys/stat.h>
#include <unistd.h>

using namespace shelltest;
using hmtest::TempDir;

namespace {

// A fake sysfs: devices below <root>/devices, links from <root>/class/block.
class FakeSysfs {
public:
    explicit FakeSysfs(const TempDir& dir) : m_root(dir / "sys") { QDir().mkpath(qs(m_root + "/class/block")); }
    void addDevice(const std::string& devicePath, const std::string& name, const char* removable) {
        const std::string folder = m_root + "/devices/" + devicePath;
        QDir().mkpath(qs(folder));
        hmtest::writeFile(folder + "/removable", removable);
        symlink(("../../devices/" + devicePath).c_str(), (m_root + "/class/block/" + name).c_str());
    }
    void setRemovable(const std::string& devicePath, const char* value) {
        hmtest::writeFile(m_root + "/devices/" + devicePath + "/removable", value);
    }
    QString root() const { return qs(m_root); }

private:
    std::string m_root;
};

}  // namespace

TEST(PortableModeLocation, BaseFolderComesFromOverrideAppImageOrProgram) {
    EXPECT_EQ(portableBaseFolder(), QCoreApplication::applicationDirPath());
    {
        ScopedEnv appImage("APPIMAGE", "/media/stick/Hollowmere.AppImage");
        EXPECT_EQ(portableBaseFolder(), QStringLiteral("/media/stick"));
        ScopedEnv base("ZRT_PORTABLE_BASE", "relative/base");
        EXPECT_EQ(portableDataFolder(), QStringLiteral("relative/base/Hollowmere Data"));
        EXPECT_EQ(portableSettingsPath(), QStringLiteral("relative/base/Hollowmere Data/Hollowmere.conf"));
    }
}

TEST(PortableModeLocation, RelativeBaseFollowsTheWorkingFolder) {
    TempDir dir("hm-portable");
    QDir().mkpath(qs(dir / "work/Hollowmere Data"));
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(qs(dir / "work")));
    ScopedEnv base("ZRT_PORTABLE_BASE", ".");
    EXPECT_TRUE(isPortable());
    QDir::setCurrent(qs(dir.path()));
    EXPECT_FALSE(isPortable());
    QDir::setCurrent(previous);
}

TEST(PortableModeData, WritableFolderMakesTheCopyPortable) {
    TempDir dir("hm-portable");
    ScopedEnv base("ZRT_PORTABLE_BASE", dir.path());
    EXPECT_FALSE(isPortable());
    hmtest::writeFile(dir / "Hollowmere Data", "a file, not a folder");
    EXPECT_FALSE(isPortable());
    EXPECT_FALSE(createPortableDataFolder());
    unlink((dir / "Hollowmere Data").c_str());

    EXPECT_TRUE(createPortableDataFolder());
    EXPECT_TRUE(isPortable());

    // An elevated copy working for an ordinary user keeps that user's settings.
    if (hmtest::isRoot()) {
        ScopedEnv conf("ZRT_USER_CONF", "/home/someone/.config/Tessaril Software/Hollowmere.conf");
        EXPECT_FALSE(isPortable());
    }
}

TEST(PortableModeData, ReadOnlyDataFolderIsNotPortable) {
    TempDir dir("hm-portable");
    const std::string data = dir / "Hollowmere Data";
    QDir().mkpath(qs(data));
    chmod(data.c_str(), 0555);
    ScopedEnv base("ZRT_PORTABLE_BASE", dir.path());
    if (!hmtest::isRoot()) {
        EXPECT_FALSE(isPortable());
        return;
    }
    // Root may write anywhere; judge as the ordinary account, as a user would run it.
    if (hmtest::testUserUid() == static_cast<uid_t>(-1))
        GTEST_SKIP() << "no ordinary test account";
    EXPECT_EQ(hmtest::runAsTestUser([] { return isPortable() ? 1 : 0; }), 0);
    chmod(data.c_str(), 0777);
    EXPECT_EQ(hmtest::runAsTestUser([] { return isPortable() ? 1 : 0; }), 1);
}

TEST(PortableModeRemovable, SysfsPathDecidesRemovable) {
    TempDir dir("hm-sysfs");
    FakeSysfs sys(dir);
    sys.addDevice("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb", "sdb", "0");
    sys.addDevice("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1", "sdb1", "0");
    sys.addDevice("platform/mmc0/mmc_host/mmc0/mmc0:0001/block/mmcblk0", "mmcblk0", "0");
    sys.addDevice("platform/mmc0/mmc_host/mmc0/mmc0:0001/block/mmcblk0/mmcblk0p1", "mmcblk0p1", "0");
    sys.addDevice("pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1", "nvme0n1", "0");
    sys.addDevice("pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1/nvme0n1p2", "nvme0n1p2", "0");
    sys.addDevice("pci0000:00/usbmon/block/sdc", "sdc", "0");

    EXPECT_TRUE(isRemovableBlockDevice("/dev/sdb1", sys.root()));
    EXPECT_FALSE(isRemovableBlockDevice("/dev/mmcblk0p1", sys.root()));
    sys.setRemovable("platform/mmc0/mmc_host/mmc0/mmc0:0001/block/mmcblk0", " 1\n");
    EXPECT_TRUE(isRemovableBlockDevice("/dev/mmcblk0p1", sys.root()));
    EXPECT_FALSE(isRemovableBlockDevice("/dev/nvme0n1p2", sys.root()));
    EXPECT_FALSE(isRemovableBlockDevice("/dev/sdc", sys.root()));  // "usbmon" names no controller
    EXPECT_FALSE(isRemovableBlockDevice("/dev/sdz", sys.root()));
    EXPECT_FALSE(isRemovableBlockDevice("overlay", sys.root()));
    EXPECT_FALSE(isRemovableBlockDevice("//server/share", sys.root()));
    // A "removable" above the sysfs tree does not count.
    hmtest::writeFile(dir / "removable", "1");
    EXPECT_FALSE(isRemovableBlockDevice("/dev/nvme0n1p2", sys.root()));
}

TEST(PortableModeRemovable, OnlyTheExactSwitchForcesRemovable) {
    TempDir dir("hm-portable");
    ScopedEnv base("ZRT_PORTABLE_BASE", dir.path());
    // The test machine's own disks (virtual or overlay) are not removable.
    const bool real = isOnRemovableDrive();
    for (const char* value : {"true", "01", "0x1", " 1", ""}) {
        ScopedEnv assume("ZRT_ASSUME_REMOVABLE", value);
        EXPECT_EQ(isOnRemovableDrive(), real) << value;
    }
    ScopedEnv assume("ZRT_ASSUME_REMOVABLE", "1");
    EXPECT_TRUE(isOnRemovableDrive());
}
