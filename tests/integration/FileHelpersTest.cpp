// Deleting, renaming and clipboard helpers on real folders, a bind mount, a loop-mounted
// file system and an ordinary test account.
#include "integration/FileHelpers.h"
#include "integration/ItemPlace.h"
#include "integration/SafeRemoval.h"
#include "tests/app/ShellTestEnv.h"
#include "tests/integration/FileTestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

using filetest::exists;
using filetest::put;
using hmtest::TempDir;
using shelltest::qs;

TEST(DeleteItems, RefusesTheRootRelativeAndUncleanPaths)
{
    for (const char* root : {"/", "//", "/."}) {
        QString error;
        EXPECT_FALSE(deleteItems(root, &error, nullptr)) << root;
        EXPECT_EQ(error, "Refusing to delete the root of the filesystem.");
    }
    TempDir dir;
    hmtest::writeFile(dir / "keep", "x");
    hmtest::writeFile(dir / "other", "x");
    // A name holding ".." must not act on the item its cleaned form names.
    for (const std::string& odd : {dir / "sub/../keep", dir / "keep/", std::string("relative/keep")}) {
        QString error;
        EXPECT_FALSE(deleteItems(qs(odd), &error, nullptr)) << odd;
        EXPECT_TRUE(error.contains("isn't a plain absolute path")) << error.toStdString();
    }
    EXPECT_TRUE(exists(dir / "keep"));
}

TEST(DeleteItems, RemovesADeepTreeAndLinksWithoutFollowingThem)
{
    TempDir dir;
    TempDir outside;
    hmtest::writeFile(outside / "precious", "keep me");
    // On tmpfs when possible: thousands of folder removals on a busy disk take seconds.
    hmtest::Mounts mounts;
    const int depth = hmtest::isRoot() && mounts.mount("-t tmpfs none", dir.path()) ? 20000 : 2000;
    ASSERT_EQ(::mkdir((dir / "top").c_str(), 0755), 0);
    ::symlink(outside.path().c_str(), (dir / "top/link").c_str());
    // Far deeper than any descriptor or stack budget per level would allow.
    int fd = ::open((dir / "top").c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < depth; ++level) {
        ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
        if (level % 1000 == 0)
            ::close(::openat(fd, "f", O_CREAT | O_WRONLY, 0644));
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::symlinkat(outside.path().c_str(), fd, "deeplink");
    ::close(fd);

    QString error;
    bool denied = true;
    EXPECT_TRUE(deleteItems(qs(dir / "top"), &error, &denied)) << error.toStdString();
    EXPECT_FALSE(denied);
    EXPECT_FALSE(exists(dir / "top"));
    EXPECT_TRUE(exists(outside / "precious"));
}

TEST(DeleteItems, NeverEntersABindMountOrAnotherFileSystem)
{
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting needs root";
    TempDir dir;
    TempDir outside;
    hmtest::writeFile(outside / "precious", "keep me");
    hmtest::Mounts mounts;
    ASSERT_EQ(::mkdir((dir / "scan").c_str(), 0755), 0);
    // Folders beside the mount, made before and after it so that some are listed after it.
    for (int i = 0; i < 16; ++i) {
        if (i == 8) {
            ASSERT_EQ(::mkdir((dir / "scan/a/bound").c_str(), 0755), 0);
        }
        put(dir / ("scan/a/s" + std::to_string(i) + "/f"));
    }
    hmtest::writeFile(dir / "scan/a/loose", "x");
    // A bind mount of the same file system: same st_dev, another mount.
    ASSERT_TRUE(mounts.bind(outside.path(), dir / "scan/a/bound"));

    QString error;
    EXPECT_FALSE(deleteItems(qs(dir / "scan"), &error, nullptr));
    EXPECT_TRUE(error.contains("mount point")) << error.toStdString();
    EXPECT_TRUE(exists(outside / "precious"));
    // Refused when the folder holding the mount is listed: no folder beside it was emptied.
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(exists(dir / ("scan/a/s" + std::to_string(i) + "/f"))) << i;
    // The bind-mounted folder named directly is refused too.
    EXPECT_FALSE(deleteItems(qs(dir / "scan/a/bound"), &error, nullptr));
    EXPECT_TRUE(exists(outside / "precious"));

    hmtest::LoopMount loop(dir.path(), "mkfs.ext4 -q -F", 8);
    if (!loop.ok())
        GTEST_SKIP() << "no loop-mounted ext4: " << loop.error();
    hmtest::writeFile(loop.mountPoint() + "/onloop", "keep me");
    ASSERT_EQ(::mkdir((dir / "scan2").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "scan2/vol").c_str(), 0755), 0);
    ASSERT_TRUE(mounts.bind(loop.mountPoint(), dir / "scan2/vol"));
    EXPECT_FALSE(deleteItems(qs(dir / "scan2"), &error, nullptr));
    EXPECT_TRUE(exists(loop.mountPoint() + "/onloop"));
}

TEST(DeleteItems, PermissionFailureIsToldApartAndStickyFoldersFollowTheKernelRule)
{
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1))
        GTEST_SKIP() << "needs root and the ordinary test account";
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    ASSERT_EQ(::mkdir((dir / "locked").c_str(), 0755), 0);
    hmtest::writeFile(dir / "locked/file", "x");
    ASSERT_EQ(::mkdir((dir / "sticky").c_str(), 01777), 0);
    ::chmod((dir / "sticky").c_str(), 01777);
    hmtest::writeFile(dir / "sticky/roots", "x");
    const std::string own = dir / "sticky/mine";
    const std::string base = dir.path();

    const int rc = hmtest::runAsTestUser([&] {
        QString error;
        bool denied = false;
        if (deleteItems(qs(base + "/locked/file"), &error, &denied) || !denied)
            return 1;
        if (canDeleteWithoutAdministrator(qs(base + "/locked/file")))
            return 2;
        if (canDeleteWithoutAdministrator(qs(base + "/sticky/roots")))
            return 3;
        if (!canDeleteWithoutAdministrator(qs(base + "/sticky/absent")))
            return 4;
        ::close(::open(own.c_str(), O_CREAT | O_WRONLY, 0644));
        if (!canDeleteWithoutAdministrator(qs(own)))
            return 5;
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(exists(dir / "locked/file"));
    EXPECT_TRUE(canDeleteWithoutAdministrator(qs(dir / "sticky/roots")));  // root may
}

TEST(RenameItem, ChecksTheNameAndNeverReplacesAlsoWithoutRenameNoreplace)
{
    TempDir work;
    // ntfs-3g answers RENAME_NOREPLACE with EINVAL: the rename still works, and still never replaces.
    std::unique_ptr<hmtest::LoopMount> ntfs;
    std::vector<std::string> folders{work.path()};
    if (hmtest::isRoot() && hmtest::haveTool("mkntfs") && hmtest::haveTool("ntfs-3g")) {
        ntfs = std::make_unique<hmtest::LoopMount>(work.path(), "mkntfs -F -Q -q", 16, "ntfs-3g");
        if (ntfs->ok())
            folders.push_back(ntfs->mountPoint());
    }
    for (const std::string& dir : folders) {
        SCOPED_TRACE(dir);
        hmtest::writeFile(dir + "/a", "a");
        hmtest::writeFile(dir + "/b", "b");
        ::symlink("nowhere", (dir + "/dangling").c_str());
        const struct {
            const char* name;
            const char* message;
        } refused[] = {
            {"", "The name can't be empty."},
            {"x/y", "That isn't a valid file name."},
            {".", "That isn't a valid file name."},
            {"..", "That isn't a valid file name."},
            {"b", "An item with that name already exists."},
            {"dangling", "An item with that name already exists."},
        };
        RemovalTarget place;
        ASSERT_EQ(captureItemPlace(qs(dir + "/a"), qs(dir), &place), 0);
        for (const auto& c : refused) {
            QString error;
            EXPECT_FALSE(renameItem(place, c.name, &error)) << c.name;
            EXPECT_EQ(error, c.message) << c.name;
        }
        QString error;
        EXPECT_TRUE(renameItem(place, "c d", &error)) << error.toStdString();
        EXPECT_FALSE(exists(dir + "/a"));
        EXPECT_EQ(hmtest::readText(dir + "/c d"), "a");
        EXPECT_EQ(hmtest::readText(dir + "/b"), "b");
        // A link below the scanned folder is never followed to rename something else.
        ::mkdir((dir + "/elsewhere").c_str(), 0755);
        hmtest::writeFile(dir + "/elsewhere/x", "x");
        if (::symlink((dir + "/elsewhere").c_str(), (dir + "/link").c_str()) == 0) {
            EXPECT_TRUE(isPlaceChange(captureItemPlace(qs(dir + "/link/x"), qs(dir), &place)));
            EXPECT_TRUE(exists(dir + "/elsewhere/x"));
        }
    }
}

TEST(Clipboard, CutAndCopyCarryTheFileManagerFormats)
{
    putFilesOnClipboard({"/tmp/one file", "/tmp/two"}, true);
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->data("application/x-kde-cutselection"), "1");
    EXPECT_EQ(data->data("x-special/gnome-copied-files"), "cut\nfile:///tmp/one%20file\nfile:///tmp/two");
    ASSERT_EQ(data->urls().size(), 2);
    EXPECT_EQ(data->urls()[0].toEncoded(), "file:///tmp/one%20file");
    EXPECT_EQ(data->text(), "/tmp/one file\n/tmp/two");

    putFilesOnClipboard({"/tmp/x"}, false);
    data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    EXPECT_EQ(data->data("application/x-kde-cutselection"), "0");
    EXPECT_EQ(data->data("x-special/gnome-copied-files"), "copy\nfile:///tmp/x");

    copyPathsAsText({"/a", "/b c"});
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "/a\n/b c");
    copyPathsAsText({});
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "/a\n/b c");
}

TEST(SafeRemoval, OpeningAFolderRefusesLinksOnTheWay)
{
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "real").c_str(), 0755), 0);
    ::symlink((dir / "real").c_str(), (dir / "link").c_str());
    const int ok = saferemove::openFolderNoFollow(dir / "real");
    EXPECT_GE(ok, 0);
    if (ok >= 0)
        ::close(ok);
    EXPECT_LT(saferemove::openFolderNoFollow(dir / "link"), 0);
    EXPECT_LT(saferemove::openFolderNoFollow(dir / "real/../real"), 0);
    // Below a top only by name: "real" holds "real/y", never "realxy" (whose text starts alike).
    ASSERT_EQ(::mkdir((dir / "real/y").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "realxy").c_str(), 0755), 0);
    EXPECT_EQ(saferemove::openFolderBelow(dir / "real", dir / "realxy"), -EINVAL);
    EXPECT_EQ(saferemove::openFolderBelow(dir / "realxy", dir / "real"), -EINVAL);
    // A top that is gone says so, reached as given or from "/".
    saferemove::WalkLimits fromRoot;
    fromRoot.topWithoutLinks = true;
    EXPECT_EQ(saferemove::openFolderBelow(dir / "gone", dir / "gone/y"), -ENOENT);
    EXPECT_EQ(saferemove::openFolderBelow(dir / "gone", dir / "gone/y", fromRoot), -ENOENT);
    const int below = saferemove::openFolderBelow(dir / "real", dir / "real/y");
    EXPECT_GE(below, 0);
    if (below >= 0)
        ::close(below);
    // An administrator's walk: from "/" without the scan's identity of its top; else from that
    // top, reached without links when it can be, and it stays so reached until the removal.
    RemovalTarget place;
    EXPECT_EQ(captureAdministratorPlace(qs(dir / "link/y/f"), qs(dir / "link"), std::nullopt, &place), kBelowSymbolicLink);
    const int realFd = ::open((dir / "real").c_str(), O_PATH | O_DIRECTORY);
    saferemove::FolderIdentity real;
    ASSERT_TRUE(saferemove::identityOf(realFd, &real));
    ::close(realFd);
    EXPECT_EQ(captureAdministratorPlace(qs(dir / "link/y/f"), qs(dir / "link"), real, &place), 0);
    ASSERT_EQ(captureAdministratorPlace(qs(dir / "real/y/f"), qs(dir / "real"), real, &place), 0);
    ASSERT_EQ(::rename((dir / "real").c_str(), (dir / "moved").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "moved").c_str(), (dir / "real").c_str()), 0);
    std::string name;
    EXPECT_TRUE(isPlaceChange(-openItemParent(place, &name)));
    hmtest::writeFile(dir / "moved/file", "");
    EXPECT_EQ(captureAdministratorPlace(qs(dir / "moved/file/f"), qs(dir / "moved"), std::nullopt, &place), ENOTDIR)
        << "a file on the way is no link";
    // A recorded place needs a plain path: "real/.." would name the folder above.
    EXPECT_EQ(captureItemPlace(qs(dir / "real/.."), qs(dir.path()), &place), EINVAL);
    EXPECT_FALSE(saferemove::isCleanAbsolutePath("/a//b"));
    EXPECT_TRUE(saferemove::isCleanAbsolutePath("/a/b"));
}

TEST(SafeRemoval, AWalkBelowATopEntersOnlyTheMountsTheScanEntered)
{
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting needs root";
    TempDir dir;
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(dir / "top/a/b") + " " + hmtest::shQuote(dir / "other/b")), 0);
    hmtest::Mounts mounts;
    ASSERT_TRUE(mounts.bind(dir / "other", dir / "top/a"));
    const std::string a = dir / "top/a";
    const int fd = ::open(a.c_str(), O_PATH | O_DIRECTORY);
    saferemove::FolderIdentity id;
    uint64_t device = 0, mountId = 0;
    ASSERT_TRUE(saferemove::identityOf(fd, &id) && saferemove::mountOf(fd, &device, &mountId));
    ::close(fd);
    const int refused = -(saferemove::kNowMountPoint + int(std::count(a.begin(), a.end(), '/')));
    const struct {
        const char* what;
        std::vector<saferemove::EnteredMount> entered;
        int result;  // 0: opened
    } cases[] = {
        {"none entered", {}, refused},
        {"entered there", {{a, device, id.inode, mountId}}, 0},
        {"entered at another folder", {{a + "x", device, id.inode, mountId}}, refused},
        {"another device entered there", {{a, device + 1, id.inode, mountId}}, refused},
        {"another folder entered there", {{a, device, id.inode + 1, mountId}}, refused},
        {"another mount entered there", {{a, device, id.inode, mountId + 1}}, refused},
    };
    for (const auto& c : cases) {
        saferemove::WalkLimits limits;
        limits.stayOnMount = true;
        limits.entered = &c.entered;
        const int opened = saferemove::openFolderBelow(dir / "top", dir / "top/a/b", limits);
        EXPECT_EQ(opened >= 0 ? 0 : opened, c.result) << c.what;
        if (opened >= 0)
            ::close(opened);
    }
    // The refusal names the folder that is a mount point now.
    EXPECT_EQ(placeChangedText(qs(dir / "top/a/b/f"), -refused),
              "\"" + qs(a) + "\" is now a mount point; nothing was changed.");
    // Which failures mean the way changed after the choice, and which are ordinary ones.
    for (const int code : {ESTALE, ELOOP, ENOTDIR, kItemReplaced, int(kNowMountPoint), -refused})
        EXPECT_TRUE(isPlaceChange(code)) << code;
    for (const int code : {0, ENOENT, EACCES, EXDEV, kNowMountPoint - 1})
        EXPECT_FALSE(isPlaceChange(code)) << code;
    const int plain = saferemove::openFolderBelow(dir / "top", dir / "top/a/b");
    EXPECT_GE(plain, 0) << "only a walk asked to stays on its mount";
    ::close(plain);
}

TEST(DeleteItems, AnAdministratorCopyNeverFollowsALinkInAParentFolder)
{
    if (!hmtest::isRoot())
        GTEST_SKIP() << "only a root process resolves parents without links";
    TempDir dir;
    TempDir decoy;
    hmtest::writeFile(decoy / "victim", "keep me");
    ::symlink(decoy.path().c_str(), (dir / "link").c_str());
    QString error;
    EXPECT_FALSE(deleteItems(qs(dir / "link/victim"), &error, nullptr));
    EXPECT_TRUE(exists(decoy / "victim"));
}
