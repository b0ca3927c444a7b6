#include "ui/header/SourceList.h"

#include "tests/ui/header/HeaderTestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <chrono>

using headertest::FakeVolumes;
using headertest::mountLine;

namespace {

constexpr uint64_t GB = 1000000000ull;

QStringList roots(const QList<VolumeRecord>& volumes) {
    QStringList result;
    for (const VolumeRecord& v : volumes)
        result.append(v.rootPath);
    return result;
}

}  // namespace

TEST(SourceList, OffersRealVolumesAndDropsPseudoMounts) {
    std::string text;
    text += mountLine(20, "8:1", "/", "/", "ext4", "/dev/sda1");
    text += mountLine(21, "0:5", "/", "/proc", "proc", "proc");
    text += mountLine(22, "0:30", "/", "/tmp/scratch", "tmpfs", "tmpfs");
    text += mountLine(23, "0:31", "/", "/run/user/1000", "tmpfs", "tmpfs");
    text += mountLine(24, "8:17", "/", "/run/userdata", "ext4", "/dev/sdb1");
    text += mountLine(25, "8:18", "/", "/run/user/1000/stick", "vfat", "/dev/sdb2");
    text += mountLine(26, "0:40", "/", "/mnt/nfs", "nfs4", "server:/export");
    text += mountLine(27, "0:41", "/", "/media/win", "fuseblk", "/tmp/img.ntfs");
    text += mountLine(28, "0:42", "/", "/mnt/ssh", "fuse.sshfs", "me@host:");
    text += mountLine(29, "0:43", "/", "/mnt/other", "fuse.rclone", "remote:");
    text += mountLine(30, "7:0", "/", "/snap/core/1", "squashfs", "/dev/loop0");
    text += mountLine(31, "8:19", "/", "/media/usb", "vfat", "/dev/sdc1");
    text += mountLine(32, "8:1", "/", "/boot/efi", "vfat", "/dev/sda2");
    text += mountLine(33, "0:50", "/", "/mnt/empty", "ext4", "/dev/sdd1");
    const auto table = svl::parseMountInfo(text);

    std::map<std::string, VolumeUsage> usage;
    for (const char* point : {"/", "/tmp/scratch", "/run/userdata", "/run/user/1000/stick", "/mnt/nfs", "/media/win",
                              "/mnt/ssh", "/mnt/other", "/snap/core/1", "/media/usb", "/boot/efi"})
        usage[point] = FakeVolumes::answer(100 * GB, 40 * GB);
    usage["/mnt/empty"] = FakeVolumes::answer(0, 0);  // reports no size
    QStringList asked;
    const QList<VolumeRecord> volumes = selectVolumes(
        table,
        [&](const svl::MountEntry& e) {
            asked.append(QString::fromStdString(e.mountPoint));
            return usage[e.mountPoint];
        },
        [](const svl::MountEntry& e) { return e.mountPoint == "/media/usb" ? QStringLiteral("STICK") : QString(); });

    EXPECT_EQ(roots(volumes), (QStringList{"/", "/run/userdata", "/mnt/nfs", "/media/win", "/mnt/ssh", "/media/usb"}));
    EXPECT_FALSE(asked.contains("/proc")) << "pseudo folders are never asked for a size";
    EXPECT_FALSE(asked.contains("/tmp/scratch"));
    ASSERT_EQ(volumes.size(), 6);
    EXPECT_EQ(volumeItemText(volumes[5]), QStringLiteral("/media/usb (STICK \u00B7 /dev/sdc1)"));
    EXPECT_EQ(volumeItemText(volumes[2]), QStringLiteral("/mnt/nfs (server:/export)"));
    EXPECT_EQ(volumes[0].usage.total, 100 * GB);
}

TEST(SourceList, GroupsBtrfsAndDropsBindMountsAndHiddenMounts) {
    std::string text;
    text += mountLine(20, "0:40", "/", "/data", "btrfs", "/dev/sdb1");
    text += mountLine(21, "0:41", "/home", "/home", "btrfs", "/dev/sdb1");  // same file system, other subvolume
    text += mountLine(22, "8:1", "/", "/", "ext4", "/dev/sda1");
    text += mountLine(23, "8:1", "/srv", "/var/srv", "ext4", "/dev/sda1");  // bind of a folder of "/"
    text += mountLine(24, "8:33", "/", "/mnt/x", "ext4", "/dev/sdc1");
    text += mountLine(25, "8:49", "/", "/mnt/x", "xfs", "/dev/sdd1");  // mounted over the previous one
    const auto table = svl::parseMountInfo(text);
    QList<VolumeRecord> volumes = selectVolumes(
        table, [](const svl::MountEntry&) { return FakeVolumes::answer(GB, GB / 2); },
        [](const svl::MountEntry&) { return QString(); });
    EXPECT_EQ(roots(volumes), (QStringList{"/data", "/", "/mnt/x"}));
    ASSERT_EQ(volumes.size(), 3);
    EXPECT_EQ(volumes[2].fsType, QStringLiteral("xfs"));
}

TEST(SourceList, SilentNetworkMountIsShownWithoutSizesButSilentDiskIsNot) {
    std::string text;
    text += mountLine(20, "8:1", "/", "/", "ext4", "/dev/sda1");
    text += mountLine(21, "0:40", "/", "/mnt/dead", "nfs", "gone:/export");
    text += mountLine(22, "8:17", "/", "/mnt/hung", "ext4", "/dev/sdb1");
    text += mountLine(23, "0:41", "/", "/mnt/refused", "cifs", "//host/share");
    const auto table = svl::parseMountInfo(text);
    const QList<VolumeRecord> volumes = selectVolumes(
        table,
        [](const svl::MountEntry& e) {
            VolumeUsage u = FakeVolumes::answer(GB, GB);
            if (e.mountPoint == "/mnt/dead" || e.mountPoint == "/mnt/hung")
                u = VolumeUsage{VolumeUsage::State::NoAnswer, 0, 0};
            if (e.mountPoint == "/mnt/refused")
                u = VolumeUsage{};
            return u;
        },
        [](const svl::MountEntry&) { return QString(); });
    EXPECT_EQ(roots(volumes), (QStringList{"/", "/mnt/dead"}));
    ASSERT_EQ(volumes.size(), 2);
    EXPECT_EQ(volumes[1].usage.state, VolumeUsage::State::NoAnswer);
}

TEST(SourceList, LiveProbeAsksEveryVolumeAtOnceAndWaitsForNone) {
    // Fake devices outside the real table count as local for the watch.
    hmtest::ShortAnswerLimits limits(std::chrono::milliseconds(300), std::chrono::milliseconds(600));
    FakeVolumes fake;
    fake.table = mountLine(20, "8:1", "/", "/", "ext4", "/dev/sda1") +
                 mountLine(21, "0:4001", "/", "/mnt/dead", "nfs", "gone:/export") +
                 mountLine(22, "0:4002", "/", "/mnt/hung", "nfs", "hung:/export") +
                 mountLine(23, "8:4003", "/", "/mnt/disk", "ext4", "/dev/sdq1");
    fake.usage["/"] = FakeVolumes::answer(10 * GB, 5 * GB);
    fake.usage["/mnt/disk"] = FakeVolumes::answer(10 * GB, 5 * GB);
    fake.blocking = {"/mnt/dead", "/mnt/hung", "/mnt/disk"};

    QObject context;
    int changes = 0;
    QElapsedTimer clock;
    clock.start();
    SourceProbe probe(&context, [&] { ++changes; });
    EXPECT_LT(clock.elapsed(), 250) << "nobody waits for an answer";
    EXPECT_FALSE(probe.settled());
    EXPECT_EQ(roots(probe.volumes()), (QStringList{"/", "/mnt/dead", "/mnt/hung", "/mnt/disk"})) << "offered while asked";
    // Every stuck query is under way before any is given up: they are asked at once.
    const auto allAsked = [&] {
        return fake.callsFor("/mnt/dead") + fake.callsFor("/mnt/hung") + fake.callsFor("/mnt/disk") == 3;
    };
    ASSERT_TRUE(headertest::LoopGaps().run([&] { return changes > 0 || allAsked(); }));
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(allAsked());

    ASSERT_TRUE(headertest::LoopGaps().run([&] { return changes > 0; }));
    EXPECT_EQ(changes, 1) << "told once, when the last answer is in";
    EXPECT_TRUE(probe.settled());
    // A network mount that does not answer is offered without sizes, a local one is not.
    const QList<VolumeRecord> volumes = probe.volumes();
    EXPECT_EQ(roots(volumes), (QStringList{"/", "/mnt/dead", "/mnt/hung"}));
    ASSERT_EQ(volumes.size(), 3);
    EXPECT_EQ(volumes[0].usage.total, 10 * GB);
    EXPECT_EQ(volumes[1].usage.state, VolumeUsage::State::NoAnswer);
    EXPECT_EQ(probe.answers().at("/mnt/disk").state, VolumeUsage::State::NoAnswer);
}

TEST(SourceList, LabelsAndPercentTexts) {
    VolumeRecord v;
    v.rootPath = QStringLiteral("/media/a");
    EXPECT_EQ(volumeItemText(v), QStringLiteral("/media/a ()"));
    v.device = QStringLiteral("/dev/sdb1");
    EXPECT_EQ(volumeLabel(v), QStringLiteral("/dev/sdb1"));
    v.name = QStringLiteral("/dev/sdb1");
    EXPECT_EQ(volumeLabel(v), QStringLiteral("/dev/sdb1"));
    v.name = QStringLiteral("Photos");
    EXPECT_EQ(volumeLabel(v), QStringLiteral("Photos \u00B7 /dev/sdb1"));
    v.device.clear();
    EXPECT_EQ(volumeLabel(v), QStringLiteral("Photos"));

    svl::SmbMountInfo share;
    share.server = "nas";
    share.share = "media";
    EXPECT_EQ(smbItemText(share), QStringLiteral("smb://nas/media"));

    EXPECT_EQ(percentText(453, 1000), QStringLiteral("(45.3%)"));
    EXPECT_EQ(percentText(1, 0), QStringLiteral("(0.0%)"));
    EXPECT_EQ(percentText(150, 100), QStringLiteral("(150.0%)"));
    EXPECT_EQ(percentText(~0ull, ~0ull), QStringLiteral("(100.0%)"));
}

TEST(SourceList, DeviceLabelsComeFromTheLinksThatLeadToTheDevice) {
    hmtest::TempDir dir("hm-labels");
    const QString folder = QString::fromStdString(dir / "by-label");
    QDir().mkpath(folder);
    // /dev/null stands in for a block device: the links only have to resolve to it.
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), folder + QStringLiteral("/My\\x20Disk\\xc3\\xa9")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), folder + QStringLiteral("/Other")));
    EXPECT_EQ(labelOfDevice("/dev/null", folder), QStringLiteral("My Disk\u00e9"));
    EXPECT_EQ(labelOfDevice("/dev/full", folder), QString());
    EXPECT_EQ(labelOfDevice("server:/export", folder), QString());
}

TEST(SourceList, RealStatfsOfTheRootAnswers) {
    const VolumeUsage root = statVolume("/");
    EXPECT_EQ(root.state, VolumeUsage::State::Answered);
    EXPECT_GT(root.total, 0u);
    EXPECT_LE(root.available, root.total);
    EXPECT_EQ(statVolume("/no/such/folder/hm").state, VolumeUsage::State::Failed);
}
