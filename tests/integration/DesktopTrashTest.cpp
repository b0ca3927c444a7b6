// The desktop trash on real folders: the home trash and a tmpfs volume's own trash as the
// ordinary test account, with names that come back only through exact percent-encoding.
#include "integration/DesktopTrash.h"
#include "tests/app/ShellTestEnv.h"
#include "tests/integration/FileTestSupport.h"

#include <QByteArray>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using filetest::exists;
using filetest::put;
using hmtest::TempDir;

namespace {

// The decoded Path= of the info file that belongs to an item in a trash's files/ folder.
std::string infoPathOf(const std::string& trashed)
{
    const size_t files = trashed.rfind("/files/");
    const std::string text =
        hmtest::readText(trashed.substr(0, files) + "/info/" + trashed.substr(files + 7) + ".trashinfo");
    const size_t at = text.find("\nPath=");
    if (at == std::string::npos)
        return "(none)";
    const std::string raw = text.substr(at + 6, text.find('\n', at + 6) - at - 6);
    return QByteArray::fromPercentEncoding(QByteArray::fromStdString(raw)).toStdString();
}

int trash(const std::string& folder, const std::string& name, std::string* trashedAs)
{
    const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int code = trashEntry(fd, name, folder + "/" + name, trashedAs);
    ::close(fd);
    return code;
}

}  // namespace

TEST(DesktopTrash, NamesThatAreNotTextComeBackExactlyAndAFailedMoveLeavesNoInfo)
{
    TempDir dir;
    const std::string info = qEnvironmentVariable("XDG_DATA_HOME").toStdString() + "/Trash/info";
    for (const std::string& name : {std::string("not utf-8 \xff\xfe\n"), std::string(250, 'n') + ".txt"}) {
        put(dir / name, "item");
        std::string at;
        ASSERT_EQ(trash(dir.path(), name, &at), 0);
        EXPECT_EQ(hmtest::readText(at), "item");
        EXPECT_EQ(infoPathOf(at), dir / name);
    }
    const std::string before = hmtest::shOutput("ls -A " + hmtest::shQuote(info));
    EXPECT_EQ(trash(dir.path(), "absent", nullptr), ENOENT);
    EXPECT_EQ(hmtest::shOutput("ls -A " + hmtest::shQuote(info)), before);

    // An orphan in files/ without an info file is never replaced: the item takes the next name.
    const std::string files = info.substr(0, info.rfind('/')) + "/files";
    put(files + "/orphan.txt", "orphan");
    put(dir / "orphan.txt", "item");
    std::string at;
    ASSERT_EQ(trash(dir.path(), "orphan.txt", &at), 0);
    EXPECT_EQ(at, files + "/orphan.2.txt");
    EXPECT_EQ(hmtest::readText(at), "item");
    EXPECT_EQ(infoPathOf(at), dir / "orphan.txt");
    EXPECT_EQ(hmtest::readText(files + "/orphan.txt"), "orphan");
    EXPECT_FALSE(exists(info + "/orphan.txt.trashinfo"));

    // The item, or its folder, swapped after it was chosen is told apart and stays.
    put(dir / "d/item", "chosen");
    RemovalTarget target;
    ASSERT_EQ(captureItemPlace(shelltest::qs(dir / "d/item"), shelltest::qs(dir.path()), &target), 0);
    ASSERT_EQ(::rename((dir / "d/item").c_str(), (dir / "chosen").c_str()), 0);
    put(dir / "d/item", "another");
    EXPECT_EQ(moveItemToTrash(target), TrashOutcome::ItemReplaced);
    ASSERT_EQ(::rename((dir / "d").c_str(), (dir / "d.old").c_str()), 0);
    put(dir / "d/item", "another");
    EXPECT_EQ(moveItemToTrash(target), TrashOutcome::PlaceChanged);
    EXPECT_TRUE(exists(dir / "d/item") && exists(dir / "d.old/item"));
}

TEST(DesktopTrash, AVolumeUsesItsOwnTrashWithPathsRelativeToItsTop)
{
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1))
        GTEST_SKIP() << "needs root (tmpfs) and the ordinary test account";
    const std::string uid = std::to_string(hmtest::testUserUid());
    const struct {
        std::string shared;    // how the trash folders are made (by root), in the volume's folder
        std::string expected;  // empty: no trash may take the item
        bool homeThere = false;  // the home trash lies on the volume, in "home"
    } cases[] = {
        {"true", ".Trash-" + uid},
        {"mkdir .Trash && chmod 1777 .Trash", ".Trash/" + uid},
        {"mkdir .Trash && chmod 0777 .Trash", ".Trash-" + uid},  // not sticky
        {"mkdir real && chmod 1777 real && ln -s real .Trash", ".Trash-" + uid},
        // Another account's folder is never used, even one everybody may write to.
        {"mkdir -p .Trash/" + uid + " && chmod 1777 .Trash && chmod 0777 .Trash/" + uid, ".Trash-" + uid},
        {"mkdir -m 0777 .Trash-" + uid, ""},
        {"mkdir -p home/Trash/files && chmod 0777 home/Trash/files && chown " + uid + " home home/Trash", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shared);
        TempDir dir;
        ::chmod(dir.path().c_str(), 0755);
        const std::string volume = dir / "vol";
        ::mkdir(volume.c_str(), 0755);
        hmtest::Mounts mounts;
        ASSERT_TRUE(mounts.mount("-t tmpfs -o uid=" + uid + ",mode=0755 none", volume));
        ASSERT_EQ(hmtest::sh("cd " + hmtest::shQuote(volume) + " && " + c.shared), 0);
        const std::string name = "pct%20 name\n\xff";
        put(volume + "/sub dir/" + name, "item");
        hmtest::sh("chown -R " + uid + " " + hmtest::shQuote(volume + "/sub dir"));
        const int rc = hmtest::runAsTestUser([&] {
            // The home trash on another file system, unless the case puts it on the volume.
            setenv("XDG_DATA_HOME", (c.homeThere ? volume + "/home" : dir / "no-data-home").c_str(), 1);
            return trash(volume + "/sub dir", name, nullptr);
        });
        if (c.expected.empty()) {
            EXPECT_EQ(rc, EPERM);
            EXPECT_EQ(hmtest::readText(volume + "/sub dir/" + name), "item");
            continue;
        }
        EXPECT_EQ(rc, 0);
        const std::string trashed = volume + "/" + c.expected + "/files/" + name;
        EXPECT_EQ(hmtest::readText(trashed), "item");
        EXPECT_EQ(infoPathOf(trashed), "sub dir/" + name);
        struct stat st {};
        EXPECT_EQ(::lstat((volume + "/" + c.expected).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(st.st_uid, hmtest::testUserUid());
    }
}
