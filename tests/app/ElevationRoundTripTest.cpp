// The whole way up and back with real parts under Xvfb: an ordinary account with a
// password in a sudoers drop-in runs this test program's user side, whose Elevator starts
// the built program as root through real sudo (the password typed with xdotool into the
// program's own prompt) or through a pkexec stand-in that clears the environment and
// hands over to sudo; the root copy must arrive with the user's display, settings and
// look in a private folder. Back: runuser starts the program as that account again.
#include "app/AppSettings.h"
#include "app/Elevator.h"
#include "tests/app/ShellTestEnv.h"
#include "tests/ui/mainwindow/MainWindowTestSupport.h"
#include "tests/integration/DesktopTestEnv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>

using desktoptest::EnvOverride;
using shelltest::qs;

namespace {

constexpr char kUser[] = "hmelev";
constexpr char kPassword[] = "Pw-4-round-trip";
constexpr char kSudoers[] = "/etc/sudoers.d/hm-elevation-test";

std::vector<std::string> splitNul(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream split(text);
    for (std::string part; std::getline(split, part, '\0');)
        parts.push_back(part);
    return parts;
}

std::map<std::string, std::string> environmentOf(pid_t pid) {
    std::map<std::string, std::string> env;
    for (const std::string& entry : splitNul(hmtest::readText("/proc/" + std::to_string(pid) + "/environ"))) {
        const size_t equals = entry.find('=');
        if (equals != std::string::npos)
            env[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    return env;
}

// Running copies of `program` started with --elevation-token, by effective owner.
std::vector<pid_t> startedCopies(const std::string& program, uid_t owner) {
    return hmtest::processesWhere([&](pid_t pid, const std::vector<std::string>& args) {
        return !args.empty() && args[0] == program && hmtest::processUid(pid, 1) == owner
               && std::find(args.begin(), args.end(), "--elevation-token") != args.end();
    });
}

std::string xdotool(const std::string& display, const std::string& args) {
    return hmtest::shOutput("DISPLAY=" + display + " xdotool " + args + " 2>/dev/null");
}

class ElevationRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        m_program = hmtest::builtProgram();
        if (m_program.empty())
            GTEST_SKIP() << "the hollowmere program is not built (HM_BINARY_DIR/hollowmere)";
        if (!hmtest::isRoot())
            GTEST_SKIP() << "needs root to create a test account and a sudoers drop-in";
        for (const char* tool : {"Xvfb", "xdotool", "sudo", "runuser", "useradd", "userdel", "chpasswd", "visudo"}) {
            if (!hmtest::haveTool(tool))
                GTEST_SKIP() << tool << " is needed (scripts/setup.sh installs it)";
        }
        m_lock = std::make_unique<hmtest::SystemLock>("hm-elevation-roundtrip");  // one account, one test
        removeAccount();
        ASSERT_EQ(hmtest::sh(std::string("useradd -m -s /bin/sh ") + kUser), 0);
        ASSERT_EQ(hmtest::sh(std::string("echo '") + kUser + ":" + kPassword + "' | chpasswd"), 0);
        const passwd* entry = ::getpwnam(kUser);
        ASSERT_NE(entry, nullptr);
        m_uid = entry->pw_uid;
        m_home = entry->pw_dir;
        m_rootHome = ::getpwuid(0)->pw_dir;
        m_private = m_rootHome + "/.cache/hollowmere/user-" + std::to_string(m_uid);
        m_rootLook = hmtest::readText(m_rootHome + "/.config/kdeglobals");
        ::chmod(m_dir.path().c_str(), 0755);
        startDisplay();
    }

    void TearDown() override {
        for (uid_t owner : {uid_t(0), m_uid}) {
            for (pid_t pid : startedCopies(m_program, owner))
                ::kill(pid, SIGKILL);
        }
        if (m_userSide.state() != QProcess::NotRunning) {
            m_userSide.kill();
            m_userSide.waitForFinished(5000);
        }
        if (m_display.state() != QProcess::NotRunning) {
            m_display.terminate();
            m_display.waitForFinished(5000);
        }
        if (m_uid != 0)
            removeAccount();
        if (!m_private.empty())
            hmtest::sh("rm -rf " + hmtest::shQuote(m_private));
        if (m_userHome.rfind("/tmp/hm-shell-home-", 0) == 0)
            hmtest::sh("rm -rf " + hmtest::shQuote(m_userHome));
        m_lock.reset();
    }

    void removeAccount() {
        ::unlink(kSudoers);
        if (const passwd* entry = ::getpwnam(kUser)) {
            // Whatever the account still runs was started by this test.
            const uid_t uid = entry->pw_uid;
            for (pid_t pid : hmtest::processesWhere([uid](pid_t p, auto&) { return hmtest::processUid(p, 0) == uid; }))
                ::kill(pid, SIGKILL);
            hmtest::sh(std::string("userdel -r ") + kUser + " >/dev/null 2>&1");
        }
    }

    void startDisplay() {
        m_display.setProgram("Xvfb");
        m_display.setArguments({"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
        m_display.start();
        ASSERT_TRUE(windowtest::waitUntil([&] { return m_display.canReadLine() || m_display.state() == QProcess::NotRunning; }, 20000));
        const QByteArray number = m_display.readLine().trimmed();
        ASSERT_FALSE(number.isEmpty()) << "Xvfb did not start";
        m_displayName = ":" + number.toStdString();
    }

    void writeSudoers(const std::string& rules) {
        const std::string draft = m_dir / "sudoers";
        hmtest::writeFile(draft, rules);
        ASSERT_EQ(hmtest::sh("visudo -cqf " + hmtest::shQuote(draft)), 0) << rules;
        ASSERT_EQ(hmtest::sh("install -m 0440 " + hmtest::shQuote(draft) + " " + kSudoers), 0);
    }

    // Starts this test program's user side as the account, with `path` first in PATH.
    void startUserSide(const std::string& path) {
        const std::string self = QFile::symLinkTarget("/proc/self/exe").toStdString();
        const std::string command =
            "exec runuser -u " + std::string(kUser) + " -- env -i PATH=" + hmtest::shQuote(path + ":/usr/bin:/bin") +
            " DISPLAY=" + m_displayName + " QT_QPA_PLATFORM=xcb LANG=C.UTF-8 TMPDIR=/tmp HM_ELEVATION_USER_SIDE=1 HM_ELEVATION_PROGRAM=" +
            hmtest::shQuote(m_program) + " " + hmtest::sanitizerOptions() + hmtest::shQuote(self) +
            " --gtest_filter=ElevationUserSide.RelaunchAndWait";
        m_userSide.setProcessChannelMode(QProcess::MergedChannels);
        m_userSide.start("/bin/sh", {"-c", qs(command)});
        ASSERT_TRUE(m_userSide.waitForStarted(5000));
    }

    // The user side's report once it ended (at most 90 s).
    std::string userSideOutput() {
        windowtest::waitUntil([&] { return m_userSide.state() == QProcess::NotRunning; }, 90000);
        const std::string output = m_userSide.readAll().toStdString();
        const std::string mark = "USER-SIDE-HOME: /tmp/";
        if (const size_t at = output.find(mark); at != std::string::npos)
            m_userHome = output.substr(at + mark.size() - 5, output.find('\n', at) - at - mark.size() + 5);
        return output;
    }

    // The one root copy that answered, and what it was given.
    void checkRootCopy(pid_t* rootCopy) {
        const std::vector<pid_t> copies = startedCopies(m_program, 0);
        ASSERT_EQ(copies.size(), 1u);
        *rootCopy = copies[0];
        // Variables taken from the hand-off file are not in /proc's copy of the start
        // environment; their effects are: a window on the user's display, the private folders.
        EXPECT_FALSE(xdotool(m_displayName, "search --pid " + std::to_string(*rootCopy)).empty());
        struct stat st {};
        ASSERT_EQ(::lstat(m_private.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_NE(hmtest::readText(m_private + "/config/kdeglobals").find("ColorScheme=RoundTrip"), std::string::npos);
        EXPECT_EQ(hmtest::readText(m_private + "/data/color-schemes/RoundTrip.colors"), "[Colors:Window]\n");
        EXPECT_NE(hmtest::readText(m_private + "/config/Tessaril Software/Hollowmere.conf").find("roundTripMarker=from-user"),
                  std::string::npos);
        EXPECT_EQ(hmtest::readText(m_rootHome + "/.config/kdeglobals"), m_rootLook);  // root's own look untouched
    }

    std::unique_ptr<hmtest::SystemLock> m_lock;
    hmtest::TempDir m_dir{"hm-roundtrip"};
    std::string m_userHome;  // the user side's private home, told on its output
    std::string m_program, m_home, m_rootHome, m_private, m_rootLook, m_displayName;
    uid_t m_uid = 0;
    QProcess m_display, m_userSide;
};

}  // namespace

// Runs only inside the round trip, as the ordinary account.
TEST(ElevationUserSide, RelaunchAndWait) {
    if (qgetenv("HM_ELEVATION_USER_SIDE") != "1")
        GTEST_SKIP() << "the user side of ElevationRoundTrip; it runs only when that test starts it";
    // The root copy leaves root-owned files in this private home's runtime folder.
    std::printf("USER-SIDE-HOME: %s\n", qgetenv("HOME").constData());
    std::fflush(stdout);
    // The program that sudo runs as the password prompt and as root is the built one.
    qputenv("APPIMAGE", qgetenv("HM_ELEVATION_PROGRAM"));
    AppSettings::instance()->setValue("roundTripMarker", "from-user");
    AppSettings::instance()->sync();
    const std::string config = qgetenv("XDG_CONFIG_HOME").toStdString();
    const std::string data = qgetenv("XDG_DATA_HOME").toStdString();
    hmtest::writeFile(config + "/kdeglobals", "[General]\nColorScheme=RoundTrip\n");
    QDir().mkpath(qs(data + "/color-schemes"));
    hmtest::writeFile(data + "/color-schemes/RoundTrip.colors", "[Colors:Window]\n");
    Elevator elevator;
    QSignalSpy ready(&elevator, &Elevator::ready), failed(&elevator, &Elevator::failed),
        manual(&elevator, &Elevator::manualNeeded);
    elevator.restartAsAdministrator({}, false, {});
    windowtest::waitUntil([&] { return ready.count() + failed.count() + manual.count() > 0; }, 60000);
    for (const QSignalSpy* spy : {&failed, &manual}) {
        if (!spy->isEmpty())
            std::printf("USER-SIDE: %s\n", spy->at(0).at(0).toString().toUtf8().constData());
    }
    std::printf("USER-SIDE: %s\n", ready.isEmpty() ? "no ready" : "ready");
    EXPECT_EQ(ready.count(), 1);
}

TEST_F(ElevationRoundTrip, SudoWithTheProgramAsItsPasswordPrompt) {
    // sudo is even told to keep ZRT_ASKPASS: the root copy must still not be a prompt.
    writeSudoers(std::string("Defaults:") + kUser + " timestamp_timeout=0, !lecture, env_keep += \"ZRT_ASKPASS\"\n" +
                 kUser + " ALL=(root) ALL\n");
    startUserSide("/nonexistent");
    std::string window;
    ASSERT_TRUE(windowtest::waitUntil(
        [&] {
            window = xdotool(m_displayName, "search --name '^Administrator Password$'");
            return !window.empty() || m_userSide.state() == QProcess::NotRunning;
        },
        30000))
        << "no password prompt appeared";
    window = window.substr(0, window.find('\n'));
    ASSERT_FALSE(window.empty()) << m_userSide.readAll().toStdString();
    xdotool(m_displayName, "windowfocus --sync " + window);
    xdotool(m_displayName, std::string("type --delay 20 ") + kPassword);
    xdotool(m_displayName, "key Return");
    const std::string output = userSideOutput();
    ASSERT_NE(output.find("USER-SIDE: ready"), std::string::npos) << output;
    pid_t rootCopy = 0;
    checkRootCopy(&rootCopy);
    std::map<std::string, std::string> env = environmentOf(rootCopy);
    EXPECT_EQ(env["ZRT_ASKPASS"], "0");
    EXPECT_EQ(env["ZRT_USER_NAME"], kUser);
    EXPECT_EQ(env["DISPLAY"], m_displayName);
}

TEST_F(ElevationRoundTrip, PkexecStandInGetsEverythingThroughTheHandoffFile) {
    writeSudoers(std::string(kUser) + " ALL=(root) NOPASSWD: ALL\n");
    // Like pkexec: an empty environment but PKEXEC_UID; the display comes from the file.
    const std::string bin = m_dir / "bin";
    ::mkdir(bin.c_str(), 0755);
    hmtest::writeFile(bin + "/pkexec",
                      "#!/bin/sh\nexec /usr/bin/sudo -n /usr/bin/env -i PKEXEC_UID=\"$(id -u)\" "
                      "PATH=/usr/sbin:/usr/bin:/sbin:/bin \"$@\"\n");
    ::chmod((bin + "/pkexec").c_str(), 0755);
    startUserSide(bin);
    const std::string output = userSideOutput();
    ASSERT_NE(output.find("USER-SIDE: ready"), std::string::npos) << output;
    pid_t rootCopy = 0;
    checkRootCopy(&rootCopy);
    std::map<std::string, std::string> start = environmentOf(rootCopy);
    EXPECT_EQ(start["PKEXEC_UID"], std::to_string(m_uid));
    EXPECT_EQ(start.count("DISPLAY"), 0u);  // pkexec passed no display of its own
    EXPECT_EQ(hmtest::shOutput("ls " + hmtest::shQuote(m_home + "/.cache/hollowmere") + " 2>/dev/null"), "");

    // And back: the root side hands the desktop to the account again through runuser.
    EnvOverride display("DISPLAY", m_displayName);
    EnvOverride platform("QT_QPA_PLATFORM", "xcb");
    EnvOverride appImage("APPIMAGE", m_program);
    EnvOverride user("ZRT_USER_NAME", kUser);
    Elevator elevator;
    QSignalSpy ready(&elevator, &Elevator::ready), failed(&elevator, &Elevator::failed);
    elevator.restartAsUser();
    ASSERT_TRUE(windowtest::waitUntil([&] { return ready.count() + failed.count() > 0; }, 30000));
    EXPECT_EQ(ready.count(), 1) << (failed.isEmpty() ? "" : failed.at(0).at(0).toString().toStdString());
    const std::vector<pid_t> userCopies = startedCopies(m_program, m_uid);
    ASSERT_EQ(userCopies.size(), 1u);
    std::map<std::string, std::string> env = environmentOf(userCopies[0]);
    EXPECT_EQ(env["HOME"], m_home);
    EXPECT_EQ(env["USER"], kUser);
    EXPECT_EQ(env["LOGNAME"], kUser);
    EXPECT_EQ(env["DISPLAY"], m_displayName);
}
