// Bind targets and file-system boundaries over real mounts (root only): bind mounts, a
// bind cycle, an ext4 volume inside the scanned folder and Btrfs subvolumes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <vector>

#include "core/scan/Boundaries.h"
#include "core/scan/MountTable.h"
#include "core/scan/RootPlace.h"
#include "tests/core/scan/BtrfsBindLayout.h"
#include "tests/core/scan/ScanTestSupport.h"
#include "tests/support/TestSupport.h"

using hmtest::sh;
using hmtest::shQuote;
using hmtest::Mounts;

namespace {

uint64_t deviceOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_dev;
}

#define REQUIRE_ROOT()                                   \
    if (!hmtest::isRoot())                               \
        GTEST_SKIP() << "needs root to mount";

}  // namespace

TEST(BoundariesMountTest, BindMountInsideTheRootThroughSymlinkAndTrailingSlash) {
    REQUIRE_ROOT();
    hmtest::TempDir tmp("hm-bind");
    const std::string d = tmp.path() + "/scan";
    ASSERT_EQ(sh("mkdir -p " + shQuote(d) + "/src/loop " + shQuote(d) + "/view && ln -s scan " + shQuote(tmp / "link")), 0);
    Mounts mounts;
    ASSERT_TRUE(mounts.bind(d + "/src", d + "/view"));
    // A bind of the root into its own subtree: a cycle the walk must stop at.
    ASSERT_TRUE(mounts.bind(d, d + "/src/loop"));

    svl::Boundaries b;
    b.prepare({d}, false, true);
    EXPECT_EQ(b.bindSource(d, "view"), d + "/src");
    EXPECT_EQ(b.bindSource(d + "/src", "loop"), d);
    EXPECT_EQ(b.bindSource(d, "src"), std::nullopt);
    EXPECT_EQ(b.bindSource(d + "/view", "loop"), std::nullopt);

    const std::string link = tmp / "link";
    b.prepare({link}, false, true);
    ASSERT_EQ(b.rewritePairs().size(), 1u);
    EXPECT_EQ(b.bindSource(link, "view"), link + "/src");
    EXPECT_EQ(b.bindSource(link + "/src/", "loop"), link);

    b.prepare({d + "/"}, false, true);
    EXPECT_EQ(b.bindSource(d + "/", "view"), d + "/src");

    // Without bind detection, or with a root that does not exist, nothing is a target.
    b.prepare({d}, false, false);
    EXPECT_FALSE(b.hasBindTargets());
    b.prepare({tmp / "missing"}, false, true);
    EXPECT_FALSE(b.hasBindTargets());
    EXPECT_TRUE(b.rewritePairs().empty());
}

// Mount points of other file systems are found by the table below the root as given (through
// a link, with trailing slashes, right below "/"), and only a name that is one now counts.
TEST(BoundariesMountTest, ForeignMountPointsByTheTableAndByTheFolderNow) {
    REQUIRE_ROOT();
    hmtest::TempDir tmp("hm-foreign");
    const std::string d = tmp / "scan";
    ASSERT_EQ(sh("mkdir -p " + shQuote(d + "/t") + " " + shQuote(d + "/plain") + " && ln -s scan " + shQuote(tmp / "link") +
                 " && ln -s t " + shQuote(d + "/to-t")),
              0);
    Mounts mounts;
    ASSERT_TRUE(mounts.mount("-t tmpfs none", d + "/t"));
    using Names = std::unordered_set<std::string>;
    const auto namesIn = [](const svl::Boundaries& b, const std::string& folder) {
        const Names* names = b.foreignMountsIn(folder);
        return names ? *names : Names{"(none)"};
    };
    svl::Boundaries b;
    const std::string link = tmp / "link";
    b.prepare({link + "/"}, true, false);
    EXPECT_EQ(namesIn(b, link + "/"), Names{"t"});
    EXPECT_EQ(namesIn(b, link + "//"), Names{"t"});
    EXPECT_EQ(namesIn(b, d), Names{"t"});
    EXPECT_EQ(namesIn(b, d + "/plain"), Names{"(none)"});
    b.prepare({"/"}, true, false);
    EXPECT_EQ(namesIn(b, "/").count("proc"), 1u);
    b.prepare({d}, false, true);  // only a one-file-system walk stops there
    EXPECT_EQ(namesIn(b, d), Names{"(none)"});

    const int folder = ::open(d.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    const std::pair<const char*, bool> names[] = {{"t", true}, {"plain", false}, {"missing", false}, {"to-t", false}};
    for (const bool standardInputClosed : {false, true}) {
        for (const auto& [name, mountPoint] : names) {
            std::optional<hmtest::StandardInputClosed> closed;
            if (standardInputClosed)
                closed.emplace();
            errno = 0;
            EXPECT_EQ(svl::isMountPointIn(folder, name), mountPoint) << name << standardInputClosed;
            EXPECT_TRUE(!standardInputClosed || hmtest::StandardInputClosed::stillFree()) << name;
        }
    }
    ::close(folder);
    // A root on a mount the table read earlier does not list has no place: it is compared by name.
    EXPECT_TRUE(svl::examineRootPlace(d + "/t", svl::readMountInfo()).has_value());
    EXPECT_FALSE(svl::examineRootPlace(d + "/t", {}).has_value());
}

TEST(BoundariesMountTest, Ext4InsideTheScannedFolder) {
    REQUIRE_ROOT();
    if (!hmtest::haveTool("mkfs.ext4"))
        GTEST_SKIP() << "mkfs.ext4 missing";
    hmtest::TempDir tmp("hm-ext4");
    hmtest::LoopMount ext4(tmp.path(), "mkfs.ext4 -q -F", 16);
    ASSERT_TRUE(ext4.ok()) << ext4.error();
    ASSERT_EQ(sh("mkdir -p " + shQuote(ext4.mountPoint() + "/sub") + " " + shQuote(tmp / "view")), 0);
    Mounts mounts;
    ASSERT_TRUE(mounts.bind(ext4.mountPoint() + "/sub", tmp / "view"));

    svl::Boundaries oneFs;
    oneFs.prepare({tmp.path()}, true, true);
    EXPECT_TRUE(oneFs.onOtherFileSystem(deviceOf(ext4.mountPoint()), deviceOf(tmp.path())));
    EXPECT_FALSE(oneFs.onOtherFileSystem(deviceOf(tmp.path()), deviceOf(tmp.path())));
    // A bind of another device is stopped by the device test, not marked counted elsewhere.
    EXPECT_EQ(oneFs.bindSource(tmp.path(), "view"), std::nullopt);

    svl::Boundaries all;
    all.prepare({tmp.path()}, false, true);
    EXPECT_FALSE(all.onOtherFileSystem(deviceOf(ext4.mountPoint()), deviceOf(tmp.path())));
    EXPECT_EQ(all.bindSource(tmp.path(), "view"), ext4.mountPoint() + "/sub");
}

TEST(BoundariesMountTest, BtrfsSubvolumesMountedAtSeveralPoints) {
    REQUIRE_ROOT();
    if (!hmtest::haveTool("mkfs.btrfs") || !hmtest::haveTool("btrfs"))
        GTEST_SKIP() << "btrfs-progs missing";
    BtrfsBindLayout layout;
    ASSERT_TRUE(layout.make([](const std::string& top) { hmtest::writeFile(top + "/sv2/x/f", "data\n"); }))
        << layout.error;
    const std::string& m = layout.m;

    // One file system: sv1 and sv2 are mounted subvolumes (one group); the top level is not entered,
    // so the bind's contents are counted at /in/x, not behind /top.
    svl::Boundaries oneFs;
    oneFs.prepare({m}, true, true);
    EXPECT_FALSE(oneFs.onOtherFileSystem(deviceOf(m + "/in"), deviceOf(m)));
    EXPECT_TRUE(oneFs.onOtherFileSystem(deviceOf(m + "/top"), deviceOf(m)));
    EXPECT_EQ(oneFs.bindSource(m, "b"), m + "/in/x");
    EXPECT_EQ(oneFs.bindSource(m, "in"), std::nullopt);

    // Every file system: the walk enters /top first, where sv2 is counted.
    svl::Boundaries all;
    all.prepare({m}, false, true);
    EXPECT_EQ(all.bindSource(m, "in"), m + "/top/sv2");
    EXPECT_EQ(all.bindSource(m, "b"), m + "/top/sv2/x");
    EXPECT_EQ(all.bindSource(m, "top"), std::nullopt);

    // From the folder above: sv1 at /m shows the same as /m/top/sv1, but that lies inside /m
    // itself, so /m must be walked (never marked counted elsewhere).
    svl::Boundaries above;
    above.prepare({layout.tmp.path()}, false, true);
    EXPECT_EQ(above.bindSource(layout.tmp.path(), "m"), std::nullopt);
    EXPECT_EQ(above.bindSource(m, "in"), m + "/top/sv2");
}
