// Deleting as administrator through stand-in pkexec and sudo programs placed first in
// PATH (no system bus runs here, so the real pkexec cannot). The pkexec stand-in runs the
// real root side of the program, so parent checks and mount refusals are exercised for real.
#include "integration/AdminDelete.h"

#include "app/ElevationTools.h"
#include "app/PathText.h"
#include "tests/app/ShellTestEnv.h"
#include "tests/integration/FileTestSupport.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using filetest::exists;
using filetest::put;
using hmtest::TempDir;
using shelltest::qs;
using shelltest::ScopedEnv;

namespace {

std::string readAll(const std::string& path)
{
    QFile f(qs(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

// A folder of stand-in tools that record their arguments (one per line) and environment.
class StandIns {
public:
    StandIns() : m_path(qEnvironmentVariable("PATH").toStdString())
    {
        ::mkdir((m_dir / "bin").c_str(), 0755);
        setenv("PATH", (m_dir / "bin:" + m_path).c_str(), 1);
    }
    ~StandIns() { setenv("PATH", m_path.c_str(), 1); }
    // `tail` runs after the recording: e.g. `exec "$@"` or `echo no >&2; exit 126`.
    void add(const std::string& name, const std::string& tail)
    {
        const std::string script = "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + hmtest::shQuote(m_dir / name) +
                                   ".args\nprintf '%s|%s' \"$SUDO_ASKPASS\" \"$ZRT_ASKPASS\" > " +
                                   hmtest::shQuote(m_dir / name) + ".env\n" + tail + "\n";
        hmtest::writeFile(m_dir / ("bin/" + name), script);
        ::chmod((m_dir / ("bin/" + name)).c_str(), 0755);
    }
    std::string args(const std::string& name) const { return readAll(m_dir / (name + ".args")); }
    std::string env(const std::string& name) const { return readAll(m_dir / (name + ".env")); }

private:
    TempDir m_dir{"hm-standin"};
    std::string m_path;
};

std::string programForTests()
{
    return std::string(getenv("HM_BINARY_DIR")) + "/hollowmere";
}

RemovalTarget capture(const std::string& path)
{
    RemovalTarget target;
    QString error;
    EXPECT_TRUE(captureRemovalTarget(qs(path), &target, &error)) << error.toStdString();
    return target;
}

}  // namespace

TEST(AdminDelete, RefusesTopLevelAndLookAlikePathsBeforeRunningAnything)
{
    StandIns tools;
    tools.add("pkexec", "exit 0");
    const struct {
        const char* path;
        const char* message;
    } cases[] = {
        {"/usr", "Refusing to delete \"/usr\" as Administrator: it is not a folder or file inside another."},
        {"/", "Refusing to delete \"/\" as Administrator: it is not a folder or file inside another."},
        {"/home/user/../../etc", "Refusing to delete \"/home/user/../../etc\" as Administrator: it is not a folder or "
                                 "file inside another."},
        {"/home/user/../x", "Refusing to delete \"/home/user/../x\" as Administrator: the path isn't a plain absolute "
                            "path."},
    };
    for (const auto& c : cases) {
        QString error;
        RemovalTarget target;
        target.path = c.path;
        EXPECT_FALSE(deleteAsAdministrator({target}, &error));
        EXPECT_EQ(error, c.message);
    }
    QString error;
    EXPECT_FALSE(deleteAsAdministrator({}, &error));
    EXPECT_EQ(error, "Nothing to delete.");
    // The helper takes text: a name that isn't UTF-8 would reach it as a look-alike.
    RemovalTarget target;
    EXPECT_FALSE(captureRemovalTarget(pathText("/tmp/bad\xff" "name"), &target, &error));
    EXPECT_EQ(error, "\"" + pathText("/tmp/bad\xff" "name") +
                         "\": Its name isn't valid text, so it can't be handed on without changing it.");
    EXPECT_EQ(tools.args("pkexec"), "");  // never started
}

TEST(AdminDelete, SudoGetsTheProgramAsPasswordPromptAndItsFailureIsWorded)
{
    if (exists("/usr/bin/pkexec"))
        GTEST_SKIP() << "a real pkexec would be chosen before the stand-in sudo";
    StandIns tools;
    tools.add("sudo", "exit 1");
    ScopedEnv appImage("APPIMAGE", programForTests());
    TempDir dir;
    hmtest::writeFile(dir / "f", "x");
    QString error;
    EXPECT_FALSE(deleteAsAdministrator({capture(dir / "f")}, &error));
    EXPECT_EQ(error, "Administrator access wasn't granted, or the password prompt was cancelled.");
    struct stat parent {};
    ::stat(dir.path().c_str(), &parent);
    uint64_t device = 0, mountId = 0;
    const int fd = ::open(dir.path().c_str(), O_PATH | O_DIRECTORY);
    ASSERT_TRUE(saferemove::mountOf(fd, &device, &mountId));
    ::close(fd);
    const std::string expected = "-A\n--\n" + programForTests() + "\n--zrt-remove-as-administrator\n" +
                                 std::to_string(parent.st_dev) + ":" + std::to_string(parent.st_ino) + ":" +
                                 std::to_string(mountId) + "\n" + (dir / "f") + "\n";
    EXPECT_EQ(tools.args("sudo"), expected);
    EXPECT_EQ(tools.env("sudo"), programForTests() + "|1");
    EXPECT_TRUE(exists(dir / "f"));
}

TEST(AdminDelete, CancelledPkexecGivesTheNotGrantedMessageWhateverItPrinted)
{
    StandIns tools;
    tools.add("pkexec", "echo 'Error executing command as another user: Not authorized' >&2; exit 126");
    TempDir dir;
    hmtest::writeFile(dir / "f", "x");
    QString error;
    EXPECT_FALSE(deleteAsAdministrator({capture(dir / "f")}, &error));
    EXPECT_EQ(error, "Administrator access wasn't granted, or the password prompt was cancelled.");

    tools.add("pkexec", "echo 'rm: cannot remove' >&2; exit 1");
    EXPECT_FALSE(deleteAsAdministrator({capture(dir / "f")}, &error));
    EXPECT_EQ(error, "rm: cannot remove");
    tools.add("pkexec", "exit 3");
    EXPECT_FALSE(deleteAsAdministrator({capture(dir / "f")}, &error));
    EXPECT_EQ(error, "Deleting as Administrator failed (exit status 3).");
}

TEST(AdminDelete, RootSideRemovesOnlyInsideTheCheckedFolderAndNeverCrossesMounts)
{
    if (!hmtest::isRoot())
        GTEST_SKIP() << "the root side needs root";
    if (!exists(programForTests()))
        GTEST_SKIP() << "the program is not built at " << programForTests();
    StandIns tools;
    tools.add("pkexec", "exec \"$@\"");
    ScopedEnv appImage("APPIMAGE", programForTests());
    TempDir dir;
    TempDir decoy;
    put(dir / "scan/sub/inner/f", "x");
    put(dir / "scan/plain", "x");
    put(decoy / "sub/inner/f", "decoy");
    put(decoy / "sub/precious", "decoy");

    // An ordinary removal of two items goes through.
    QString error;
    EXPECT_TRUE(deleteAsAdministrator({capture(dir / "scan/plain"), capture(dir / "scan/sub/inner")}, &error))
        << error.toStdString();
    EXPECT_FALSE(exists(dir / "scan/plain"));
    EXPECT_FALSE(exists(dir / "scan/sub/inner"));
    EXPECT_NE(tools.args("pkexec").find("--zrt-remove-as-administrator"), std::string::npos);

    // The parent swapped for a link while the password was asked: nothing behind the link goes.
    put(dir / "scan/sub/precious", "x");
    const RemovalTarget chosen = capture(dir / "scan/sub/precious");
    ASSERT_EQ(::rename((dir / "scan/sub").c_str(), (dir / "scan/sub-moved").c_str()), 0);
    ASSERT_EQ(::symlink((decoy / "sub").c_str(), (dir / "scan/sub").c_str()), 0);
    EXPECT_FALSE(deleteAsAdministrator({chosen}, &error));
    EXPECT_TRUE(error.contains("symbolic link")) << error.toStdString();
    EXPECT_TRUE(exists(decoy / "sub/precious"));
    // A real folder put in its place is another folder: refused as well.
    ::unlink((dir / "scan/sub").c_str());
    put(dir / "scan/sub/precious", "new");
    EXPECT_FALSE(deleteAsAdministrator({chosen}, &error));
    EXPECT_TRUE(error.contains("replaced")) << error.toStdString();
    EXPECT_TRUE(exists(dir / "scan/sub/precious"));
    // The same folder seen through a bind mount made meanwhile is on another mount: refused.
    put(dir / "scan/same/precious", "x");
    const RemovalTarget same = capture(dir / "scan/same/precious");
    {
        hmtest::Mounts rebound;
        ASSERT_TRUE(rebound.bind(dir / "scan/same", dir / "scan/same"));
        EXPECT_FALSE(deleteAsAdministrator({same}, &error));
        EXPECT_TRUE(error.contains("is now a mount point")) << error.toStdString();
    }
    EXPECT_TRUE(exists(dir / "scan/same/precious"));

    // The root side run with a handed identity that is cut short or has more after it removes nothing.
    put(dir / "scan/kept", "x");
    const RemovalTarget kept = capture(dir / "scan/kept");
    const std::string identity = std::to_string(kept.parent.device) + ':' + std::to_string(kept.parent.inode) + ':' +
                                 std::to_string(kept.parentMount);
    for (const std::string& handed : {identity + "x", identity.substr(0, identity.rfind(':'))}) {
        int status = 0;
        const std::string said = hmtest::shOutput("'" + programForTests() + "' " + kAdminRemovalSwitch + " '" +
                                                      handed + "' '" + dir / "scan/kept" + "' 2>&1",
                                                  &status);
        EXPECT_NE(status, 0) << handed;
        EXPECT_NE(said.find("its folder's identity is missing"), std::string::npos) << handed << ": " << said;
        EXPECT_TRUE(exists(dir / "scan/kept")) << handed;
    }

    // A folder holding a bind mount is left whole, and so is what is mounted there.
    hmtest::Mounts mounts;
    put(dir / "scan/m/bound/.keep", "");
    ASSERT_TRUE(mounts.bind(decoy / "sub", dir / "scan/m/bound"));
    EXPECT_FALSE(deleteAsAdministrator({capture(dir / "scan/m")}, &error));
    EXPECT_TRUE(error.contains("mount point")) << error.toStdString();
    EXPECT_TRUE(exists(decoy / "sub/precious"));
    EXPECT_TRUE(exists(dir / "scan/m"));
}

TEST(AdminDelete, ManualCommandQuotesEachPathForTheShell)
{
    EXPECT_EQ(manualDeleteCommand({"/a/it's", "/b c/d"}),
              "sudo rm -rf --one-file-system -- '/a/it'\\''s' '/b c/d'");
}

TEST(ElevationTools, SearchFoldersAndExecutableLookup)
{
    TempDir dir;
    put(dir / "a/tool", "#!/bin/sh\n");  // not executable: passed over
    put(dir / "b/tool", "#!/bin/sh\n");
    ::chmod((dir / "b/tool").c_str(), 0755);
    hmtest::sh("mkdir -p " + hmtest::shQuote(dir / "c/tool"));
    {
        ScopedEnv path("PATH", (dir / "a") + "::/usr/bin:" + (dir / "b"));
        const QList<QString> folders = elevationSearchFolders();
        EXPECT_EQ(folders, (QList<QString>{qs(dir / "a"), "/usr/bin", qs(dir / "b"), "/usr/local/bin", "/bin",
                                           "/usr/local/sbin", "/usr/sbin", "/sbin"}));
        EXPECT_EQ(findExecutableIn("tool", folders), qs(dir / "b/tool"));
        EXPECT_EQ(findExecutableIn("tool", {qs(dir / "c"), qs(dir / "a")}), "");
    }
}
