// Bind targets and device groups over written mount tables and a made-up device lookup.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "core/scan/Boundaries.h"
#include "core/scan/MountTable.h"

namespace {

// Device of a path: that of the longest listed prefix; paths in `missing` do not exist.
struct FakeDevices {
    std::map<std::string, unsigned long> devices;
    std::set<std::string> missing;
    svl::DeviceLookup lookup() const {
        return [this](const std::string& path) -> std::optional<unsigned long> {
            for (const std::string& m : missing)
                if (svl::isPathWithin(path, m))
                    return std::nullopt;
            const std::pair<const std::string, unsigned long>* best = nullptr;
            for (const auto& entry : devices)
                if (svl::isPathWithin(path, entry.first) && (!best || entry.first.size() > best->first.size()))
                    best = &entry;
            if (!best)
                return std::nullopt;
            return best->second;
        };
    }
};

using Targets = std::unordered_map<std::string, std::string>;

Targets targets(const std::string& table, const std::vector<std::string>& roots, bool oneFileSystem,
                const FakeDevices& devices) {
    const std::vector<svl::MountEntry> mounts = svl::parseMountInfo(table);
    const auto groups = oneFileSystem ? svl::sameFilesystemGroups(mounts, devices.lookup())
                                      : std::unordered_map<uint64_t, uint64_t>{};
    return svl::bindTargets(mounts, roots, oneFileSystem, devices.lookup(), groups);
}

const char* const kRootAndBind =
    "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
    "30 20 8:1 /srv/data /mnt/data rw - ext4 /dev/sda1 rw\n";

}  // namespace

TEST(BoundariesTest, BindOfAFolderOfTheScannedFileSystem) {
    FakeDevices dev{{{"/", 801}}, {}};
    EXPECT_EQ(targets(kRootAndBind, {"/"}, false, dev), (Targets{{"/mnt/data", "/srv/data"}}));
    EXPECT_EQ(targets(kRootAndBind, {"/"}, true, dev), (Targets{{"/mnt/data", "/srv/data"}}));
    // The source lies outside the scan: the contents are counted only at /mnt/data.
    EXPECT_TRUE(targets(kRootAndBind, {"/mnt"}, false, dev).empty());
    // A root is never a target of its own scan.
    EXPECT_TRUE(targets(kRootAndBind, {"/mnt/data", "/srv"}, false, dev).empty());
    // Several roots: the source may lie in another one.
    EXPECT_EQ(targets(kRootAndBind, {"/mnt", "/srv"}, false, dev), (Targets{{"/mnt/data", "/srv/data"}}));
}

TEST(BoundariesTest, SourceThatIsCountedNowhereMakesNoTarget) {
    // Missing source folder (deleted after the bind).
    FakeDevices gone{{{"/", 801}}, {"/srv/data"}};
    EXPECT_TRUE(targets(kRootAndBind, {"/"}, false, gone).empty());
    // The source is hidden under a mount of another file system.
    const std::string hidden = std::string(kRootAndBind) + "40 20 8:2 / /srv rw - ext4 /dev/sda2 rw\n";
    FakeDevices dev{{{"/", 801}, {"/srv", 802}}, {}};
    EXPECT_TRUE(targets(hidden, {"/"}, false, dev).empty());
}

TEST(BoundariesTest, TwoMountsOfOneDeviceTheLaterIsTheTarget) {
    const std::string table =
        "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "50 20 8:17 / /data/usb rw - vfat /dev/sdb1 rw\n"
        "45 20 8:17 / /data/again rw - vfat /dev/sdb1 rw\n";
    FakeDevices dev{{{"/", 801}, {"/data/usb", 817}, {"/data/again", 817}}, {}};
    EXPECT_EQ(targets(table, {"/data"}, false, dev), (Targets{{"/data/usb", "/data/again"}}));
    // In one-file-system mode both are stopped as another file system instead.
    EXPECT_TRUE(targets(table, {"/data"}, true, dev).empty());
}

TEST(BoundariesTest, ChainsFollowSourcesIntoOtherTargets) {
    // /r/outer shows /r/src/x, first found as /r/a/x inside target /r/a (the mount of /r/a
    // is listed first), whose contents are counted at /r/src.
    const std::string table =
        "30 20 8:1 /r/src /r/a rw - ext4 /dev/sda1 rw\n"
        "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "31 20 8:1 /r/src/x /r/outer rw - ext4 /dev/sda1 rw\n";
    FakeDevices dev{{{"/", 801}}, {}};
    const Targets t = targets(table, {"/r"}, false, dev);
    EXPECT_EQ(t.at("/r/a"), "/r/src");
    EXPECT_EQ(t.at("/r/outer"), "/r/src/x");

    // Cycles through three targets end and leave no target whose source the walk skips.
    const std::string cycle =
        "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "30 20 8:1 /r/b/s /r/a rw - ext4 /dev/sda1 rw\n"
        "31 20 8:1 /r/c/q /r/b rw - ext4 /dev/sda1 rw\n"
        "32 20 8:1 /r/b/p /r/c rw - ext4 /dev/sda1 rw\n";
    const Targets c = targets(cycle, {"/r"}, false, dev);
    for (const auto& [target, source] : c)
        for (const auto& [other, unused] : c)
            EXPECT_FALSE(svl::isPathWithin(source, other)) << target << " -> " << source << " inside " << other;
}

TEST(BoundariesTest, BtrfsSourceBehindAnotherSubvolumeIsNotReached) {
    // Subvolume sv1 is the scan root; the top level is mounted inside it at /m/top (its own
    // st_dev, another file system to the walker), sv2 at /m/in (grouped with sv1), and
    // /m/b binds sv2/x. Every mount shares the major:minor 0:40.
    const std::string table =
        "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "60 20 0:40 /sv1 /m rw - btrfs /dev/loop3 rw,subvolid=256,subvol=/sv1\n"
        "61 60 0:40 / /m/top rw - btrfs /dev/loop3 rw,subvolid=5,subvol=/\n"
        "62 60 0:40 /sv2 /m/in rw - btrfs /dev/loop3 rw,subvolid=257,subvol=/sv2\n"
        "63 60 0:40 /sv2/x /m/b rw - btrfs /dev/loop3 rw,subvolid=257,subvol=/sv2\n";
    FakeDevices dev{{{"/", 801}, {"/m", 41}, {"/m/top", 40}, {"/m/top/sv1", 41}, {"/m/top/sv2", 42},
                     {"/m/in", 42}, {"/m/b", 42}},
                    {}};
    const Targets oneFs = targets(table, {"/m"}, true, dev);
    EXPECT_EQ(oneFs.at("/m/b"), "/m/in/x");
    // /m/in itself shows sv2, reached only behind /m/top, which the walk does not enter.
    EXPECT_EQ(oneFs.count("/m/in"), 0u);

    // Without one-file-system mode the walk enters /m/top, where sv2 is counted first.
    const Targets all = targets(table, {"/m"}, false, dev);
    EXPECT_EQ(all.at("/m/in"), "/m/top/sv2");
    EXPECT_EQ(all.at("/m/b"), "/m/top/sv2/x");
    EXPECT_EQ(all.count("/m/top"), 0u);
}

TEST(BoundariesTest, ZfsDatasetsOfOnePoolAreOneFileSystemForBinds) {
    // Each dataset has its own major:minor, but the walker enters /home (one pool), so a bind
    // inside it must be found too.
    const std::string table =
        "70 1 0:50 / / rw - zfs rpool/root rw\n"
        "71 70 0:51 / /home rw - zfs rpool/home rw\n"
        "72 71 0:51 /src /home/view rw - zfs rpool/home rw\n";
    FakeDevices dev{{{"/", 50}, {"/home", 51}}, {}};
    EXPECT_EQ(targets(table, {"/"}, true, dev), (Targets{{"/home/view", "/home/src"}}));
}

TEST(BoundariesTest, DeviceGroupsDecideTheOneFileSystemTest) {
    const std::string table =
        "60 1 0:40 /@ / rw - btrfs /dev/sda2 rw,subvol=/@\n"
        "61 60 0:40 /@home /home rw - btrfs /dev/sda2 rw,subvol=/@home\n"
        "62 60 8:33 / /media/stick rw - vfat /dev/sdc1 rw\n"
        "63 60 0:40 / /mnt/pool rw - btrfs /dev/sda2 rw\n";
    FakeDevices dev{{{"/", 41}, {"/home", 42}, {"/media/stick", 833}, {"/mnt/pool", 40}}, {}};
    const std::vector<svl::MountEntry> mounts = svl::parseMountInfo(table);
    svl::Boundaries b;
    b.prepare({"/"}, true, false, mounts, dev.lookup());
    EXPECT_FALSE(b.onOtherFileSystem(42, 41));
    EXPECT_TRUE(b.onOtherFileSystem(833, 41));
    EXPECT_TRUE(b.onOtherFileSystem(40, 41));  // the top level keeps its own device
    EXPECT_FALSE(b.onOtherFileSystem(999, 999));
    EXPECT_FALSE(b.hasBindTargets());

    svl::Boundaries off;
    off.prepare({"/"}, false, false, mounts, dev.lookup());
    EXPECT_FALSE(off.onOtherFileSystem(833, 41));
    EXPECT_TRUE(off.deviceGroups().empty());
}

TEST(BoundariesTest, BadMountLinesAreSkipped) {
    const std::string table =
        "garbage\n"
        "21 1 8 / /x rw - ext4 /dev/sda1 rw\n"          // no minor
        "22 1 8:1 rel /y rw - ext4 /dev/sda1 rw\n"      // root not absolute
        "23 1 8:1 / /no-separator rw ext4\n"  // kept: a second mount of /
        "24 1 8:1 /srv\\134odd /mnt/sp\\040ace rw - ext4 \\\\server\\share rw\n"
        "\n" + std::string(kRootAndBind);
    FakeDevices dev{{{"/", 801}}, {}};
    EXPECT_EQ(targets(table, {"/"}, false, dev),
              (Targets{{"/mnt/data", "/srv/data"}, {"/mnt/sp ace", "/srv\\odd"}, {"/no-separator", "/"}}));
}

TEST(BoundariesTest, ForeignMountPointsAreTheTopMountsOfOtherFileSystems) {
    // At /srv/s a tmpfs lies under a bind of the root's own file system, which the walk enters;
    // mount points right below "/" are filed under "/".
    const std::string table =
        "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "21 20 0:5 / /proc rw - proc proc rw\n"
        "22 20 0:30 / /srv/s rw - tmpfs none rw\n"
        "23 22 8:1 /cover /srv/s rw - ext4 /dev/sda1 rw\n"
        "24 20 0:31 / /srv/t rw - tmpfs none rw\n";
    using Found = std::unordered_map<std::string, std::unordered_set<std::string>>;
    const std::vector<svl::MountEntry> mounts = svl::parseMountInfo(table);
    EXPECT_EQ(svl::foreignMountPoints(mounts, {"/"}), (Found{{"/", {"proc"}}, {"/srv", {"t"}}}));
    EXPECT_EQ(svl::foreignMountPoints(mounts, {"/srv"}), (Found{{"/srv", {"t"}}}));
    // A table that lists no mount holding the root (read part-way) names none.
    EXPECT_EQ(svl::foreignMountPoints(svl::parseMountInfo("22 20 0:30 / /srv/s rw - tmpfs none rw\n"), {"/srv"}), Found{});
}
