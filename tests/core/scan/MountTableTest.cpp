#include "core/scan/MountTable.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <map>

using svl::MountEntry;

namespace {

std::string unescape(const std::string& s) {
    return svl::unescapeMountField(s.data(), s.size());
}

const MountEntry* findByMountPoint(const std::vector<MountEntry>& entries, const std::string& mountPoint) {
    for (const MountEntry& e : entries) {
        if (e.mountPoint == mountPoint)
            return &e;
    }
    return nullptr;
}

}  // namespace

TEST(MountTableParse, FieldsAndEscapes) {
    const auto entries =
        svl::parseMountInfo("36 35 98:0 /mnt\\0402 /srv/my\\040disk rw - ext4 /dev/sda1 rw\n");
    ASSERT_EQ(entries.size(), 1u);
    const MountEntry& e = entries[0];
    EXPECT_EQ(e.mountId, 36);
    EXPECT_EQ(e.major, 98u);
    EXPECT_EQ(e.minor, 0u);
    EXPECT_EQ(e.root, "/mnt 2");
    EXPECT_EQ(e.mountPoint, "/srv/my disk");
    EXPECT_EQ(e.fsType, "ext4");
    EXPECT_EQ(e.source, "/dev/sda1");
    EXPECT_EQ(e.superOptions, "rw");
}

TEST(MountTableParse, UnescapesEveryFieldButTheType) {
    const auto entries = svl::parseMountInfo(
        "7 1 8:1 /a\\011b /m\\012n\\134o rw - fuse\\040x //srv/sh\\040are rw,user=a\\040b");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].root, "/a\tb");
    EXPECT_EQ(entries[0].mountPoint, "/m\nn\\o");
    EXPECT_EQ(entries[0].fsType, "fuse\\040x");
    EXPECT_EQ(entries[0].source, "//srv/sh are");
    EXPECT_EQ(entries[0].superOptions, "rw,user=a b");
}

TEST(MountTableParse, UnescapeRules) {
    EXPECT_EQ(unescape("a\\040b"), "a b");
    EXPECT_EQ(unescape("\\134\\134"), "\\\\");
    EXPECT_EQ(unescape("\\101\\102"), "AB");
    EXPECT_EQ(unescape("\\777"), std::string(1, char(0xFF)));  // 511 modulo 256
    EXPECT_EQ(unescape("\\000"), std::string(1, '\0'));
    EXPECT_EQ(unescape("\\x41"), "\\x41");
    EXPECT_EQ(unescape("\\08x"), "\\08x");
    EXPECT_EQ(unescape("a\\04"), "a\\04");  // backslash among the last three bytes
    EXPECT_EQ(unescape("a\\"), "a\\");
    EXPECT_EQ(unescape("\\\\040"), "\\ ");  // the first backslash is lone, the second escapes
    EXPECT_EQ(unescape(""), "");
    EXPECT_EQ(svl::unescapeMountField(nullptr, 0), "");
}

TEST(MountTableParse, MalformedLinesAreDropped) {
    const std::string text =
        "1 0 8 / /bare-major rw - ext4 /dev/a rw\n"  // no colon
        "2 0 8: / /no-minor rw - ext4 /dev/a rw\n"
        "3 0 :1 / /no-major rw - ext4 /dev/a rw\n"
        "4 0 x:y / /letters rw - ext4 /dev/a rw\n"
        "5 0 8:1 rel /rel-root rw - ext4 /dev/a rw\n"
        "6 0 8:1 / rel-mount rw - ext4 /dev/a rw\n"
        "7 0 8:1 /\n"  // fewer than five tokens
        "\n"
        "   \t  \n"
        "8 0 8:1 / /good rw - ext4 /dev/a rw\n";
    const auto entries = svl::parseMountInfo(text);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].mountPoint, "/good");
    EXPECT_EQ(entries[0].mountId, 8);
}

TEST(MountTableParse, TokenRules) {
    const auto entries = svl::parseMountInfo(
        "40 1 259:3 / /opt rw shared:1 master:2 - xfs /dev/nvme0n1p3 rw\n"
        "41 1 259:3 / /opt rw - xfs /dev/nvme0n1p3 rw\n"
        "42\t1   7:2\t/  /spaced   rw  -  ext4  /dev/loop2  rw\n"
        "x9 1 7:3 / /no-id rw - ext4 /dev/loop3 rw\n"
        "12ab 1 7:4junk / /id-prefix rw - ext4 /dev/loop4 rw\n"
        "43 1 7:5 / /no-separator rw shared:5\n"
        "44 1 7:6 / /only-type rw - tmpfs\n"
        "45 1 7:7 / /no-options-either");
    ASSERT_EQ(entries.size(), 8u);
    // Optional fields before the separator change nothing.
    EXPECT_EQ(entries[0].fsType, entries[1].fsType);
    EXPECT_EQ(entries[0].source, entries[1].source);
    EXPECT_EQ(entries[0].superOptions, entries[1].superOptions);
    EXPECT_EQ(entries[0].major, 259u);
    EXPECT_EQ(entries[0].minor, 3u);
    // Runs of spaces and tabs separate tokens.
    EXPECT_EQ(entries[2].mountId, 42);
    EXPECT_EQ(entries[2].mountPoint, "/spaced");
    EXPECT_EQ(entries[2].source, "/dev/loop2");
    // The mount ID is the token's leading digits.
    EXPECT_EQ(entries[3].mountId, 0);
    EXPECT_EQ(entries[4].mountId, 12);
    EXPECT_EQ(entries[4].minor, 4u);
    // A line without separator is kept with empty type, source and options.
    EXPECT_EQ(entries[5].mountPoint, "/no-separator");
    EXPECT_EQ(entries[5].fsType, "");
    EXPECT_EQ(entries[5].source, "");
    EXPECT_EQ(entries[5].superOptions, "");
    EXPECT_EQ(entries[6].fsType, "tmpfs");
    EXPECT_EQ(entries[6].source, "");
    // The last line needs no terminator, and the per-mount options may be missing.
    EXPECT_EQ(entries[7].mountPoint, "/no-options-either");
    EXPECT_EQ(entries[7].fsType, "");
}

TEST(MountTableParse, KeepsOrderAndDuplicates) {
    const auto entries = svl::parseMountInfo(
        "9 1 8:1 / /z rw - ext4 /dev/a rw\n"
        "3 1 8:1 / /a rw - ext4 /dev/a rw\n"
        "9 1 8:1 / /z rw - ext4 /dev/a rw\n");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].mountPoint, "/z");
    EXPECT_EQ(entries[1].mountPoint, "/a");
    EXPECT_EQ(entries[2].mountPoint, "/z");
}

TEST(MountTablePaths, Containment) {
    EXPECT_TRUE(svl::isPathWithin("/home", "/home"));
    EXPECT_TRUE(svl::isPathWithin("/home", "/"));
    EXPECT_TRUE(svl::isPathWithin("/home/a", "/home"));
    EXPECT_FALSE(svl::isPathWithin("/homework", "/home"));
    EXPECT_FALSE(svl::isPathWithin("/home", "/home/a"));
    EXPECT_TRUE(svl::isPathWithin("/a/b", "/a/"));
    EXPECT_TRUE(svl::isPathWithin("/a/", "/a"));
    EXPECT_TRUE(svl::isPathWithin("/x", ""));
    EXPECT_FALSE(svl::isPathWithin("x", ""));
    EXPECT_TRUE(svl::isPathWithin("", ""));
    EXPECT_FALSE(svl::isPathWithin("", "/"));
    // No normalisation: a doubled slash or dot segment is compared as written.
    EXPECT_FALSE(svl::isPathWithin("//home", "/home"));
    EXPECT_FALSE(svl::isPathWithin("/home/../etc", "/etc"));
}

TEST(MountTablePaths, MountContaining) {
    const auto entries = svl::parseMountInfo(
        "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "2 1 8:2 / /home rw - ext4 /dev/sda2 rw\n"
        "3 1 8:3 / /home/user/data rw - ext4 /dev/sda3 rw\n"
        "4 1 8:4 / /home rw - ext4 /dev/sda4 rw\n");
    EXPECT_EQ(svl::mountContaining(entries, "/home/user/x")->minor, 4u);  // later of equal length
    EXPECT_EQ(svl::mountContaining(entries, "/home/user/data/y")->minor, 3u);
    EXPECT_EQ(svl::mountContaining(entries, "/homework")->minor, 1u);
    EXPECT_EQ(svl::mountContaining({}, "/"), nullptr);
}

TEST(MountTableGroups, BtrfsAndZfsGroups) {
    const auto entries = svl::parseMountInfo(
        "30 1 0:40 /sv-home /home rw - btrfs /dev/sda2 rw,subvolid=257\n"
        "31 1 0:41 /sv-root / rw - btrfs /dev/sda2 rw,subvolid=256\n"
        "32 1 0:42 / /mnt/pool rw - btrfs /dev/sda2 rw,subvolid=5\n"
        "33 1 0:43 / /srv rw - btrfs /dev/sdb1 rw\n"
        "34 1 0:50 / /zroot rw - zfs rpool/root rw\n"
        "35 1 0:51 / /zhome rw - zfs rpool/home rw\n"
        "36 1 0:52 / /tank rw - zfs tank rw\n"
        "37 1 0:53 / /nosrc rw - btrfs\n"
        "38 1 8:1 / /boot rw - ext4 /dev/sda1 rw\n"
        "39 1 0:54 / /x rw - Btrfs /dev/sdc rw\n");
    const svl::FilesystemGroups groups = svl::groupMountsByFilesystem(entries);
    std::vector<std::string> keys;
    for (const auto& [key, members] : groups)
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"btrfs:/dev/sda2", "btrfs:/dev/sdb1", "zfs:rpool", "zfs:tank"}));
    const auto& sda2 = groups.at("btrfs:/dev/sda2");
    ASSERT_EQ(sda2.size(), 3u);
    EXPECT_EQ(sda2[0]->mountPoint, "/");
    EXPECT_EQ(sda2[1]->mountPoint, "/home");
    EXPECT_EQ(sda2[2]->mountPoint, "/mnt/pool");
    EXPECT_EQ(sda2[0], &entries[1]);  // points into the list
    EXPECT_EQ(groups.at("zfs:rpool").size(), 2u);

    const auto grouped = svl::groupedMountPoints(entries);
    EXPECT_EQ(grouped, (std::unordered_set<std::string>{"/home", "/mnt/pool", "/zhome"}));
}

TEST(MountTableGroups, EqualLengthsKeepTableOrder) {
    const auto entries = svl::parseMountInfo(
        "1 0 0:41 /b /bbb rw - btrfs /dev/sda2 rw\n"
        "2 0 0:42 /a /aaa rw - btrfs /dev/sda2 rw\n"
        "3 0 0:43 /c /cc rw - btrfs /dev/sda2 rw\n");
    const auto groups = svl::groupMountsByFilesystem(entries);
    const auto& members = groups.at("btrfs:/dev/sda2");
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[0]->mountPoint, "/cc");
    EXPECT_EQ(members[1]->mountPoint, "/bbb");
    EXPECT_EQ(members[2]->mountPoint, "/aaa");
}

TEST(MountTableGroups, DeviceMapFromLookup) {
    const auto entries = svl::parseMountInfo(
        "30 1 0:40 /sv-root / rw - btrfs /dev/sda2 rw\n"
        "31 1 0:41 /sv-home /home rw - btrfs /dev/sda2 rw\n"
        "32 1 0:42 / /mnt/pool rw - btrfs /dev/sda2 rw\n"
        "33 1 0:43 / /single rw - btrfs /dev/sdb1 rw\n"
        "34 1 0:50 / /z rw - zfs rpool/root rw\n"
        "35 1 0:51 / /z/home rw - zfs rpool/home rw\n"
        "36 1 0:60 / /c rw - btrfs /dev/sdc rw\n"
        "37 1 0:61 / /c2 rw - btrfs /dev/sdc rw\n");
    const std::map<std::string, unsigned long> devices = {
        {"/", 100}, {"/home", 101}, {"/mnt/pool", 102}, {"/single", 103},
        {"/z", 200}, {"/z/home", 201}, {"/c", 300}, {"/c2", 301}};
    std::vector<std::string> asked;
    auto lookup = [&](const std::string& path) -> std::optional<unsigned long> {
        asked.push_back(path);
        auto it = devices.find(path);
        if (it == devices.end())
            return std::nullopt;
        return it->second;
    };
    const auto map = svl::sameFilesystemGroups(entries, lookup);
    const std::unordered_map<uint64_t, uint64_t> expected = {
        {100, 100}, {101, 100},  // subvolumes of sda2; the top-level mount keeps its own device
        {200, 200}, {201, 200},  // datasets of rpool
        {300, 300}, {301, 300},  // the top level mounted twice, no subvolumes: both kept
    };
    EXPECT_EQ(map, expected);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "/mnt/pool"), 0);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "/single"), 0);
}

TEST(MountTableGroups, DeviceLookupFailures) {
    const auto entries = svl::parseMountInfo(
        "1 0 0:40 /a /a rw - btrfs /dev/sda2 rw\n"
        "2 0 0:41 /b /bb rw - btrfs /dev/sda2 rw\n"
        "3 0 0:42 /c /ccc rw - btrfs /dev/sda2 rw\n"
        "4 0 0:43 /d /x rw - btrfs /dev/sdb rw\n"
        "5 0 0:44 /e /xx rw - btrfs /dev/sdb rw\n");
    auto lookup = [](const std::string& path) -> std::optional<unsigned long> {
        if (path == "/bb" || path == "/x")
            return std::nullopt;
        return path.size() + 10;
    };
    const auto map = svl::sameFilesystemGroups(entries, lookup);
    // sda2: only the member that cannot be looked up is missing; sdb: its first member fails.
    const std::unordered_map<uint64_t, uint64_t> expected = {{12, 12}, {14, 12}};
    EXPECT_EQ(map, expected);
    EXPECT_TRUE(svl::sameFilesystemGroups({}, lookup).empty());
}

TEST(MountTableGroups, BindMountsAmongShownVolumes) {
    const auto entries = svl::parseMountInfo(
        "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "21 20 8:3 / /srv/data rw - ext4 /dev/sda3 rw\n"
        "22 20 8:3 / /mnt/data rw - ext4 /dev/sda3 rw\n"
        "23 20 8:1 /srv/x /mnt/x rw - ext4 /dev/sda1 rw\n"
        "24 20 0:40 /sv /home rw - btrfs /dev/sda2 rw\n"
        "25 20 0:40 /sv /home2 rw - btrfs /dev/sda2 rw\n"
        "26 20 8:4 / /media/a rw - ext4 /dev/sdb1 rw\n"
        "27 20 8:4 /sub /media/b rw - ext4 /dev/sdb1 rw\n");
    const std::unordered_set<std::string> all = {"/", "/srv/data", "/mnt/data", "/mnt/x",
                                                 "/home", "/home2", "/media/a", "/media/b"};
    EXPECT_EQ(svl::mountPointsOfType(entries, all),
              (std::unordered_set<std::string>{"/mnt/data", "/mnt/x", "/media/b"}));
    // The mount it duplicates must be shown too.
    EXPECT_EQ(svl::mountPointsOfType(entries, {"/mnt/data", "/mnt/x", "/media/b"}),
              (std::unordered_set<std::string>{}));
    EXPECT_EQ(svl::mountPointsOfType(entries, {"/srv/data", "/mnt/data"}),
              (std::unordered_set<std::string>{"/mnt/data"}));
}

// The real table of this process, compared with what stat says.
TEST(MountTableSystem, ReadsOwnMountTable) {
    const auto entries = svl::readMountInfo();
    ASSERT_FALSE(entries.empty());
    for (const MountEntry& e : entries) {
        EXPECT_EQ(e.root[0], '/');
        EXPECT_EQ(e.mountPoint[0], '/');
        EXPECT_FALSE(e.fsType.empty()) << e.mountPoint;
    }
    const MountEntry* proc = svl::mountContaining(entries, "/proc/self");
    ASSERT_NE(proc, nullptr);
    EXPECT_EQ(proc->fsType, "proc");
    struct stat st;
    ASSERT_EQ(stat("/proc", &st), 0);
    EXPECT_EQ(proc->major, major(st.st_dev));
    EXPECT_EQ(proc->minor, minor(st.st_dev));
}

// Bind mounts whose mount points need every escape the kernel writes.
TEST(MountTableSystem, EscapedMountPointsRoundTrip) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root to mount";
    hmtest::TempDir dir("hm-mounttable");
    const std::string source = dir / "src";
    const std::string target = dir / "with space\ttab\\slash\nline";
    ASSERT_EQ(mkdir(source.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    if (hmtest::sh("mount --bind " + hmtest::shQuote(source) + " " + hmtest::shQuote(target)) != 0)
        GTEST_SKIP() << "bind mount not possible here";
    const auto entries = svl::readMountInfo();
    hmtest::sh("umount " + hmtest::shQuote(target));
    const MountEntry* e = findByMountPoint(entries, target);
    ASSERT_NE(e, nullptr);
    struct stat st;
    ASSERT_EQ(stat(source.c_str(), &st), 0);
    // The bind's root is the source folder inside its file system; it ends the same way.
    const std::string tail = "/src";
    ASSERT_GE(e->root.size(), tail.size());
    EXPECT_EQ(e->root.substr(e->root.size() - tail.size()), tail);
    EXPECT_EQ(svl::mountContaining(entries, target + "/inside"), e);
}

// Two subvolumes of one real Btrfs volume form one file system in the device map.
TEST(MountTableSystem, BtrfsSubvolumesShareOneDevice) {
    if (!hmtest::isRoot() || !hmtest::haveTool("mkfs.btrfs") || !hmtest::haveTool("btrfs"))
        GTEST_SKIP() << "needs root and btrfs-progs";
    hmtest::TempDir dir("hm-mounttable");
    hmtest::LoopMount top(dir.path(), "mkfs.btrfs -q -f", 128, "btrfs");
    ASSERT_TRUE(top.ok()) << top.error();
    ASSERT_EQ(hmtest::sh("btrfs -q subvolume create " + hmtest::shQuote(top.mountPoint() + "/sv1") +
                         " && btrfs -q subvolume create " + hmtest::shQuote(top.mountPoint() + "/sv2")),
              0);
    const std::string m1 = dir / "m1";
    const std::string m22 = dir / "m22";
    mkdir(m1.c_str(), 0755);
    mkdir(m22.c_str(), 0755);
    ASSERT_EQ(hmtest::sh("mount -o subvol=sv1 " + top.device() + " " + m1 + " && mount -o subvol=sv2 " +
                         top.device() + " " + m22),
              0);
    const auto entries = svl::readMountInfo();
    const auto map = svl::sameFilesystemGroups(entries);
    const auto grouped = svl::groupedMountPoints(entries);
    struct stat st1, st2, stTop;
    stat(m1.c_str(), &st1);
    stat(m22.c_str(), &st2);
    stat(top.mountPoint().c_str(), &stTop);
    hmtest::sh("umount " + m1 + "; umount " + m22);

    const MountEntry* e1 = findByMountPoint(entries, m1);
    ASSERT_NE(e1, nullptr);
    EXPECT_EQ(e1->fsType, "btrfs");
    EXPECT_EQ(e1->root, "/sv1");
    EXPECT_EQ(e1->source, top.device());
    EXPECT_EQ(e1->major, 0u);  // Btrfs shows an anonymous device
    ASSERT_NE(st1.st_dev, st2.st_dev);
    ASSERT_TRUE(map.count(st1.st_dev));
    ASSERT_TRUE(map.count(st2.st_dev));
    EXPECT_EQ(map.at(st1.st_dev), st1.st_dev);  // the shorter mount point represents the group
    EXPECT_EQ(map.at(st2.st_dev), st1.st_dev);
    EXPECT_FALSE(map.count(stTop.st_dev));  // the top-level mount holds the subvolumes as folders
    EXPECT_FALSE(grouped.count(m1));
    EXPECT_TRUE(grouped.count(m22));
    EXPECT_TRUE(grouped.count(top.mountPoint()));
}

// Every truncation of a table parses (checked for bounds under the sanitizers), and each cut
// line is either dropped or kept with valid paths.
TEST(MountTableParse, EveryTruncation) {
    const std::string text =
        "36 35 98:0 /mnt\\0402 /srv/my\\040disk rw,noatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
        "37 35 0:40 /sv\\134x /h\\011 rw - btrfs /dev/sda2 rw,subvolid=257\n";
    for (size_t len = 0; len <= text.size(); ++len) {
        const auto entries = svl::parseMountInfo(std::string_view(text).substr(0, len));
        ASSERT_LE(entries.size(), 2u);
        for (const MountEntry& e : entries) {
            ASSERT_FALSE(e.root.empty());
            EXPECT_EQ(e.root[0], '/');
            ASSERT_FALSE(e.mountPoint.empty());
            EXPECT_EQ(e.mountPoint[0], '/');
        }
    }
    const auto full = svl::parseMountInfo(text);
    ASSERT_EQ(full.size(), 2u);
    EXPECT_EQ(full[1].root, "/sv\\x");
    EXPECT_EQ(full[1].mountPoint, "/h\t");
}
