// The relaunch as administrator and back: the command lines, the manual command, and the
// Elevator's wait against real /bin/sh wrappers with stand-in tools first in PATH, real
// local sockets from other accounts, and real runuser starting the built program.
#include "app/Elevator.h"
#include "app/ElevatedStart.h"
#include "app/PathText.h"
#include "app/RestartAsUser.h"
#include "tests/app/ShellTestEnv.h"
#include "tests/ui/mainwindow/MainWindowTestSupport.h"
#include "tests/integration/DesktopTestEnv.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QThread>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using desktoptest::EnvOverride;
using shelltest::qs;

namespace {

// Connects to a socket path and writes `text`, with plain system calls (safe after fork).
int sendRaw(const std::string& path, const char* text) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return 1;
    const bool ok = ::write(fd, text, std::strlen(text)) == ssize_t(std::strlen(text));
    ::close(fd);
    return ok ? 0 : 1;
}

const ElevationToolChoice kPkexec{ElevationTool::Pkexec, "/usr/bin/pkexec"};
const ElevationToolChoice kSudo{ElevationTool::Sudo, "/usr/bin/sudo"};

}  // namespace

TEST(ElevationCommand, ToolsAndSourceArguments) {
    const QString env = envProgramPath();
    const QStringList assign{"DISPLAY=:1", "ZRT_USER_UID=1000"};
    struct Case {
        ElevationToolChoice choice;
        QString helper;
        bool handoff;
        QString path;
        bool dump;
        QStringList multi;
        QStringList expected;
    } cases[] = {
        {kPkexec, "/usr/libexec/h-e", false, "/data", false, {},
         {"/usr/bin/pkexec", "/usr/libexec/h-e", "DISPLAY=:1", "ZRT_USER_UID=1000", "/p", "--elevation-token", "T",
          "/data"}},
        {kPkexec, "", true, "/mnt/win", true, {},
         {"/usr/bin/pkexec", "/p", "--elevation-token", "T", "/mnt/win", "--dump-mft"}},
        {kPkexec, "", false, "", false, {},
         {"/usr/bin/pkexec", env, "DISPLAY=:1", "ZRT_USER_UID=1000", "/p", "--elevation-token", "T"}},
        // sudo's copy is told it is no password prompt, whatever sudo passes on.
        {kSudo, "", false, "", false, {"/a", "/b c"},
         {"/usr/bin/sudo", "-A", env, "ZRT_ASKPASS=0", "DISPLAY=:1", "ZRT_USER_UID=1000", "/p", "--elevation-token",
          "T", "--multi", "/a:/b c"}},
        // All or nothing for several roots; a relative path and a dump without a path pass nothing.
        {kSudo, "", false, "rel", true, {"/a", "b"},
         {"/usr/bin/sudo", "-A", env, "ZRT_ASKPASS=0", "DISPLAY=:1", "ZRT_USER_UID=1000", "/p", "--elevation-token", "T"}},
        {kPkexec, "", true, "", true, {"/a", "/x:y"}, {"/usr/bin/pkexec", "/p", "--elevation-token", "T"}},
        {kPkexec, "", true, "", false, {"/a", "/x\ny"}, {"/usr/bin/pkexec", "/p", "--elevation-token", "T"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(buildElevationCommand(c.choice, "/p", assign, "T", c.helper, c.handoff, c.path, c.dump, c.multi),
                  c.expected)
            << c.expected.join(' ').toStdString();
    }
    EXPECT_EQ(buildRunuserCommand("/usr/sbin/runuser", "ann", "/p", {"HOME=/home/ann"}, "T"),
              (QStringList{"/usr/sbin/runuser", "-u", "ann", "--", env, "HOME=/home/ann", "/p", "--elevation-token",
                           "T"}));
}

TEST(ElevationCommand, ManualCommandSurvivesTheShell) {
    // The program path comes back unchanged from /bin/sh, whatever it holds.
    for (const QString& path : {QStringLiteral("/opt/Holl ow/it's $(touch x) `id` \"q\"; &.AppImage"),
                               QStringLiteral("/usr/bin/hollowmere")}) {
        const QString command = manualElevationCommand(path);
        ASSERT_TRUE(command.startsWith("sudo "));
        const std::string echoed =
            hmtest::shOutput("set -- " + command.mid(5).toStdString() + "; printf '%s|%s' \"$#\" \"$1\"");
        EXPECT_EQ(echoed, "1|" + path.toStdString());
    }
}

TEST(ElevationCommand, TokensAndHandoffPaths) {
    const QString a = makeElevationToken(), b = makeElevationToken();
    EXPECT_NE(a, b);
    EXPECT_TRUE(a.startsWith(QStringLiteral("hollowmere-%1-").arg(::getpid())));
    EXPECT_EQ(elevationSocketPath(a), "/tmp/" + a);
    for (const QString& bad : {QString(), QStringLiteral("../x"), QStringLiteral("a b"), QStringLiteral("a/b")})
        EXPECT_TRUE(handoffFilePath(bad, ::getuid()).isEmpty()) << bad.toStdString();
    EXPECT_TRUE(handoffFilePath(QStringLiteral("héllo-1"), ::getuid()).endsWith("/hollowmere-héllo-1.env"));
    // Running as root the folder comes from the account, never from ZRT_HANDOFF_DIR.
    if (::geteuid() == 0) {
        EnvOverride dir("ZRT_HANDOFF_DIR", "/tmp/elsewhere");
        EXPECT_FALSE(handoffFilePath("t", 0).startsWith("/tmp/elsewhere"));
    }
    EXPECT_TRUE(handoffFilePath("t", uid_t(4123456789u)).isEmpty());  // no such account
}

TEST(RestartAsUserNames, WhoToReturnTo) {
    for (const char* name : {"ZRT_USER_NAME", "SUDO_USER", "PKEXEC_UID"})
        unsetenv(name);
    EXPECT_EQ(invokingUserName(), QString());
    {
        EnvOverride sudo("SUDO_USER", "root");
        EXPECT_EQ(invokingUserName(), QString());  // an administrator who used sudo
        EnvOverride pkexec("PKEXEC_UID", "0");
        EXPECT_EQ(invokingUserName(), QStringLiteral("root"));
        EnvOverride handed("ZRT_USER_NAME", "ann");
        EXPECT_EQ(invokingUserName(), QStringLiteral("ann"));
    }
    EnvOverride sudo("SUDO_USER", "bob");
    EnvOverride pkexec("PKEXEC_UID", "0");
    EXPECT_EQ(invokingUserName(), QStringLiteral("bob"));
}

// Stand-in tools first in PATH: each records its arguments and environment, then waits
// until the test writes the exit status it should end with.
class ElevatorRun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(m_bin)), 0); }
    void TearDown() override {
        release(0);
        if (!m_token.isEmpty())
            QFile::remove(handoffFilePath(m_token, ::getuid()));
    }

    void standIn(const std::string& name) {
        const std::string d = hmtest::shQuote(m_dir.path());
        hmtest::writeFile(m_bin + "/" + name,
                          "#!/bin/sh\n"
                          "env > " + d + "/env; echo started >> " + d + "/starts\n"
                          "printf '%s\\n' \"$@\" > " + d + "/args.new; mv " + d + "/args.new " + d + "/args\n"
                          "while [ ! -s " + d + "/go ]; do sleep 0.02; done\n"
                          "exit \"$(cat " + d + "/go)\"\n");
        ::chmod((m_bin + "/" + name).c_str(), 0755);
    }
    // The arguments the stand-in got, once it has started; the token is remembered.
    QStringList arguments() {
        if (!windowtest::waitUntil([&] { return QFile::exists(qs(m_dir / "args")); }))
            return {};
        const QStringList args = qs(hmtest::readText(m_dir / "args")).split('\n', Qt::SkipEmptyParts);
        const qsizetype at = args.indexOf("--elevation-token");
        if (at >= 0 && at + 1 < args.size())
            m_token = args[at + 1];
        return args;
    }
    void release(int status) { hmtest::writeFile(m_dir / "go", std::to_string(status) + "\n"); }
    bool realPkexecInstalled() const { return !findExecutableIn("pkexec", systemProgramFolders()).isEmpty(); }

    hmtest::TempDir m_dir{"hm-elevator"};
    std::string m_bin = m_dir / "bin";
    EnvOverride m_path{"PATH", m_bin + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
    QString m_token;
};

TEST_F(ElevatorRun, ExitStatusBeforeReadyIsReportedPerTool) {
    struct Case {
        const char* tool;
        int status;
        QString message;
    } cases[] = {
        {"pkexec", 126, "Administrator access wasn't granted, or the password prompt was cancelled."},
        {"pkexec", 127, "Administrator access wasn't granted, or the password prompt was cancelled."},
        {"pkexec", 1, "The administrator copy stopped before it finished starting (exit status 1)."},
        {"sudo", 1, "Administrator access wasn't granted, or the password prompt was cancelled."},
        {"sudo", 126, "The administrator copy stopped before it finished starting (exit status 126)."},
        {"sudo", 0, "The administrator copy stopped before it finished starting (exit status 0)."},
    };
    for (const Case& c : cases) {
        if (std::string(c.tool) == "sudo" && realPkexecInstalled())
            GTEST_SKIP() << "a real pkexec in the system folders would be chosen before a stand-in sudo";
        SCOPED_TRACE(std::string(c.tool) + " " + std::to_string(c.status));
        const std::string d = hmtest::shQuote(m_dir.path());
        hmtest::sh("rm -f " + hmtest::shQuote(m_bin) + "/* " + d + "/args " + d + "/go " + d + "/env " + d + "/starts");
        standIn(c.tool);
        Elevator elevator;
        QSignalSpy ready(&elevator, &Elevator::ready), failed(&elevator, &Elevator::failed);
        elevator.restartAsAdministrator("/srv/data", false, {});
        const QStringList args = arguments();
        ASSERT_FALSE(args.isEmpty());
        const std::string env = "\n" + hmtest::readText(m_dir / "env");
        if (std::string(c.tool) == "sudo") {
            EXPECT_EQ(args.mid(0, 3), (QStringList{"-A", envProgramPath(), "ZRT_ASKPASS=0"}));
            EXPECT_NE(env.find("\nZRT_ASKPASS=1\n"), std::string::npos);
            EXPECT_NE(env.find("\nSUDO_ASKPASS=" + programFilePath().toStdString() + "\n"), std::string::npos);
        } else {
            // As root the hand-off file carries what the command line would have.
            EXPECT_EQ(args, (QStringList{programFilePath(), "--elevation-token", m_token, "/srv/data"}));
            EXPECT_EQ(env.find("SUDO_ASKPASS="), std::string::npos);
            QFile::remove(handoffFilePath(m_token, ::getuid()));
        }
        EXPECT_TRUE(elevator.isWaiting());
        release(c.status);
        ASSERT_TRUE(windowtest::waitUntil([&] { return failed.count() == 1; }));
        EXPECT_EQ(failed.at(0).at(0).toString(), c.message);
        EXPECT_EQ(ready.count(), 0);
        EXPECT_FALSE(elevator.isWaiting());
    }
}

TEST_F(ElevatorRun, RootsReachTheCopyAsTheirOwnBytes) {
    const struct {
        QString path;
        QStringList multi;
        std::vector<std::string> tail;  // the last arguments, as bytes
    } cases[] = {
        {pathText("/srv/bad\xff" "name"), {}, {"/srv/bad\xff" "name"}},
        {QString(), {pathText("/a\xfe"), "/b"}, {"--multi", "/a\xfe:/b"}},
    };
    for (const auto& c : cases) {
        const std::string d = hmtest::shQuote(m_dir.path());
        hmtest::sh("rm -f " + hmtest::shQuote(m_bin) + "/* " + d + "/args " + d + "/go");
        standIn("pkexec");
        Elevator elevator;
        QSignalSpy failed(&elevator, &Elevator::failed);
        elevator.restartAsAdministrator(c.path, false, c.multi);
        ASSERT_FALSE(arguments().isEmpty());
        std::vector<std::string> args;
        std::istringstream lines(hmtest::readText(m_dir / "args"));
        for (std::string line; std::getline(lines, line);)
            args.push_back(line);
        ASSERT_GE(args.size(), c.tail.size());
        EXPECT_EQ(std::vector<std::string>(args.end() - std::ptrdiff_t(c.tail.size()), args.end()), c.tail);
        QFile::remove(handoffFilePath(m_token, ::getuid()));
        release(1);
        ASSERT_TRUE(windowtest::waitUntil([&] { return failed.count() == 1; }));
    }
}

TEST_F(ElevatorRun, ReadyCountsOnlyFromTheExpectedAccountAndOnce) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root to send from another account";
    if (realPkexecInstalled())
        GTEST_SKIP() << "a real pkexec in the system folders would be chosen before a stand-in sudo";
    standIn("sudo");
    Elevator elevator;
    QSignalSpy ready(&elevator, &Elevator::ready), failed(&elevator, &Elevator::failed);
    elevator.restartAsAdministrator({}, false, {});
    ASSERT_FALSE(arguments().isEmpty());
    const std::string socket = elevationSocketPath(m_token).toStdString();
    elevator.restartAsAdministrator("/again", false, {});  // still waiting: ignored
    // Another account may reach the socket in /tmp, but cannot claim to be the copy.
    ::chmod(socket.c_str(), 0777);
    EXPECT_EQ(hmtest::runAsTestUser([&] { return sendRaw(socket, "ready\n"); }), 0);
    windowtest::waitUntil([] { return false; }, 400);
    EXPECT_EQ(ready.count(), 0);
    sendReady(m_token);
    ASSERT_TRUE(windowtest::waitUntil([&] { return ready.count() == 1; }));
    sendReady(m_token);
    release(0);  // the copy's later exit is no failure any more
    windowtest::waitUntil([] { return false; }, 500);
    EXPECT_EQ(ready.count(), 1);
    EXPECT_EQ(failed.count(), 0);
    EXPECT_EQ(hmtest::readText(m_dir / "starts"), "started\n");
}

TEST_F(ElevatorRun, RestartAsUserRefusesWhatItCannotResolve) {
    for (const char* name : {"ZRT_USER_NAME", "SUDO_USER", "PKEXEC_UID"})
        unsetenv(name);
    struct Case {
        const char* user;  // nullptr: none handed over
        bool runuser;
        QString message;
    } cases[] = {
        {nullptr, true, "Couldn't determine which user to restart as."},
        {"no-such-account-zrt", true, "Couldn't find the account \"no-such-account-zrt\" to restart as."},
        // runuser refusing is the copy's exit status, never "access wasn't granted".
        {"root", true, "The administrator copy stopped before it finished starting (exit status 1)."},
    };
    EnvOverride privateConfig("XDG_CONFIG_HOME", "/root/.cache/hollowmere/user-1000/config");
    EnvOverride privateData("XDG_DATA_HOME", "/root/.cache/hollowmere/user-1000/data");
    EnvOverride userConfig("ZRT_USER_CONFIG_HOME", "/home/u/.config");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user ? c.user : "(none)");
        hmtest::sh("rm -f " + hmtest::shQuote(m_dir.path()) + "/args " + hmtest::shQuote(m_dir.path()) + "/go");
        standIn("runuser");
        std::unique_ptr<EnvOverride> user;
        if (c.user)
            user = std::make_unique<EnvOverride>("ZRT_USER_NAME", c.user);
        Elevator elevator;
        QSignalSpy failed(&elevator, &Elevator::failed);
        elevator.restartAsUser();
        if (c.message.contains("exit status")) {
            const QStringList args = arguments();
            EXPECT_EQ(args.mid(0, 3), (QStringList{"-u", "root", "--"}));
            EXPECT_TRUE(args.contains("HOME=/root") && args.contains("USER=root") && args.contains("LOGNAME=root"));
            // Root's private look folders stay with root; the user gets back its own.
            const std::string env = "\n" + hmtest::readText(m_dir / "env");
            EXPECT_NE(env.find("\nXDG_CONFIG_HOME=/home/u/.config\n"), std::string::npos);
            EXPECT_EQ(env.find("\nXDG_DATA_HOME="), std::string::npos);
            release(1);
        }
        ASSERT_TRUE(windowtest::waitUntil([&] { return failed.count() == 1; }));
        EXPECT_EQ(failed.at(0).at(0).toString(), c.message);
    }
}

// The real way back: runuser starts the built program as the test account, whose window
// says "ready" from that account.
TEST(ElevatorBack, RunuserStartsTheProgramAsTheUser) {
    const std::string program = hmtest::builtProgram();
    if (program.empty())
        GTEST_SKIP() << "the hollowmere program is not built (HM_BINARY_DIR/hollowmere)";
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1) || !hmtest::haveTool("runuser"))
        GTEST_SKIP() << "needs root, runuser and the test account";
    EnvOverride appImage("APPIMAGE", program);
    EnvOverride user("ZRT_USER_NAME", "hmtest");
    EnvOverride platform("QT_QPA_PLATFORM", "offscreen");
    EnvOverride noUpdate("ZRT_NO_UPDATE_CHECK", "1");
    Elevator elevator;
    QSignalSpy ready(&elevator, &Elevator::ready), failed(&elevator, &Elevator::failed);
    elevator.restartAsUser();
    const bool readyInTime = windowtest::waitUntil([&] { return ready.count() + failed.count() > 0; }, 30000);
    const std::vector<pid_t> ours = hmtest::processesWhere([&](pid_t pid, const std::vector<std::string>& args) {
        return !args.empty() && args[0] == program && hmtest::processUid(pid, 1) == hmtest::testUserUid()
               && std::find(args.begin(), args.end(), "--elevation-token") != args.end();
    });
    for (pid_t pid : ours)
        ::kill(pid, SIGKILL);
    ASSERT_TRUE(readyInTime);
    EXPECT_EQ(failed.count(), 0) << (failed.isEmpty() ? "" : failed.at(0).at(0).toString().toStdString());
    EXPECT_EQ(ready.count(), 1);
    EXPECT_EQ(ours.size(), 1u);
}
