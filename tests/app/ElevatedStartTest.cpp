// The root copy's first steps against real files owned by a real second account: the
// hand-off file's checks (size, mode, owner, link, FIFO) and the mirrored look files in a
// private root-owned folder.
#include "app/ElevatedStart.h"
#include "app/Elevator.h"
#include "tests/app/ShellTestEnv.h"
#include "tests/integration/DesktopTestEnv.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

using desktoptest::EnvOverride;
using shelltest::qs;

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

class RootCopyFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1))
            GTEST_SKIP() << "needs root and the ordinary test account to own files";
        m_uid = hmtest::testUserUid();
        m_gid = hmtest::testUserGid();
    }
    void own(const std::string& path, uid_t uid) { ASSERT_EQ(::lchown(path.c_str(), uid, m_gid), 0) << path; }

    hmtest::TempDir m_dir{"hm-rootcopy"};
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

// The reader looks in /run/user/<uid> when that folder belongs to the account.
class HandoffFile : public RootCopyFiles {
protected:
    void SetUp() override {
        RootCopyFiles::SetUp();
        if (IsSkipped())
            return;
        m_lock = std::make_unique<hmtest::SystemLock>("hm-handoff-test");
        m_folder = "/run/user/" + std::to_string(m_uid);
        struct stat st {};
        if (::stat(m_folder.c_str(), &st) != 0) {
            ASSERT_EQ(hmtest::sh("mkdir -p " + m_folder + " && chmod 700 " + m_folder), 0);
            own(m_folder, m_uid);
            m_created = true;
        }
        ASSERT_EQ(handoffFilePath("tok-1", m_uid), qs(m_folder + "/hollowmere-tok-1.env"));
        m_file = m_folder + "/hollowmere-tok-1.env";
    }
    void TearDown() override {
        if (!m_file.empty())
            ::unlink(m_file.c_str());
        if (m_created)
            hmtest::sh("rm -rf " + m_folder);
        m_lock.reset();
    }
    void write(const std::string& content, mode_t mode, uid_t owner) {
        ::unlink(m_file.c_str());
        hmtest::writeFile(m_file, content);
        ::chmod(m_file.c_str(), mode);
        own(m_file, owner);
    }

    std::unique_ptr<hmtest::SystemLock> m_lock;  // one test at a time owns /run/user/<uid>
    std::string m_folder, m_file;
    bool m_created = false;
};

}  // namespace

TEST_F(HandoffFile, TakesOnlyAllowListedVariablesAndDeletesTheFile) {
    EnvOverride display("DISPLAY", ":0");
    EnvOverride path("PATH", "/usr/bin:/bin");
    EnvOverride lang("LANG", "C");
    unsetenv("ZRT_USER_CONF");
    write("DISPLAY=:42\nPATH=/evil\n=nameless\nno-assignment\n\nZRT_USER_CONF=/home/a/b=c.conf\nLANG=de_DE\r\n"
          "LD_PRELOAD=/tmp/x.so\n",
          0600, m_uid);
    EXPECT_TRUE(readHandoffFile("tok-1", m_uid));
    EXPECT_EQ(qgetenv("DISPLAY"), ":42");
    EXPECT_EQ(qgetenv("PATH"), "/usr/bin:/bin");
    EXPECT_EQ(qgetenv("ZRT_USER_CONF"), "/home/a/b=c.conf");
    EXPECT_EQ(qgetenv("LANG"), "de_DE\r");
    EXPECT_FALSE(qEnvironmentVariableIsSet("LD_PRELOAD"));
    EXPECT_FALSE(exists(m_file));
    unsetenv("ZRT_USER_CONF");
}

TEST_F(HandoffFile, RefusesWhatIsNotThePrivateFileOfTheAccount) {
    EnvOverride display("DISPLAY", ":0");
    const std::string line = "DISPLAY=:9\n";
    const std::string limit = line + "X=" + std::string(kMaxHandoffFileSize - line.size() - 3, 'a') + "\n";
    ASSERT_EQ(limit.size(), size_t(kMaxHandoffFileSize));
    struct Case {
        const char* what;
        std::string content;
        mode_t mode;
        bool foreign;
        bool accepted;
    } cases[] = {
        {"exactly the limit", limit, 0600, false, true},
        {"one byte over", limit + "\n", 0600, false, false},
        {"readable by the group", line, 0640, false, false},
        {"owned by another account", line, 0600, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setenv("DISPLAY", ":0", 1);
        write(c.content, c.mode, c.foreign ? 0 : m_uid);
        EXPECT_EQ(readHandoffFile("tok-1", m_uid), c.accepted);
        EXPECT_EQ(qgetenv("DISPLAY"), c.accepted ? ":9" : ":0");
        EXPECT_FALSE(exists(m_file));  // opened, so deleted either way
    }
}

TEST_F(HandoffFile, LinksAndFifosNeitherSteerNorBlockTheStart) {
    EnvOverride display("DISPLAY", ":0");
    const std::string target = m_dir / "target.env";
    hmtest::writeFile(target, "DISPLAY=:7\n");
    ::chmod(target.c_str(), 0600);
    own(m_dir.path(), m_uid);
    own(target, m_uid);
    ASSERT_EQ(::symlink(target.c_str(), m_file.c_str()), 0);
    own(m_file, m_uid);
    EXPECT_FALSE(readHandoffFile("tok-1", m_uid));
    EXPECT_EQ(qgetenv("DISPLAY"), ":0");
    EXPECT_TRUE(exists(m_file));  // never opened, so left alone
    ::unlink(m_file.c_str());

    ASSERT_EQ(::mkfifo(m_file.c_str(), 0600), 0);
    own(m_file, m_uid);
    EXPECT_FALSE(readHandoffFile("tok-1", m_uid));  // returns at once, no writer needed
    EXPECT_FALSE(exists(m_file));
}

TEST_F(HandoffFile, OnlyAPkexecStartWithATokenReadsIt) {
    EnvOverride display("DISPLAY", ":0");
    const std::string uid = std::to_string(m_uid);
    char prog[] = "hm", flag[] = "--elevation-token", token[] = "tok-1";
    char* argv[] = {prog, flag, token, nullptr};
    write("DISPLAY=:3\n", 0600, m_uid);
    unsetenv("PKEXEC_UID");  // started through sudo or runuser
    takeHandoffEnvironment(3, argv);
    EXPECT_TRUE(exists(m_file));
    char* noValue[] = {prog, flag, nullptr};
    EnvOverride pkexec("PKEXEC_UID", uid);
    takeHandoffEnvironment(2, noValue);
    EXPECT_TRUE(exists(m_file));
    takeHandoffEnvironment(3, argv);
    EXPECT_FALSE(exists(m_file));
    EXPECT_EQ(qgetenv("DISPLAY"), ":3");
}

TEST_F(HandoffFile, WrittenByTheUserReadByRoot) {
    const QStringList lines{"DISPLAY=:11", "ZRT_USER_NAME=hmtest", "LANG=C.UTF-8"};
    ASSERT_EQ(hmtest::runAsTestUser([&] {
                  unsetenv("ZRT_HANDOFF_DIR");
                  return writeHandoffFile("tok-1", lines) ? 0 : 1;
              }),
              0);
    struct stat st {};
    ASSERT_EQ(::stat(m_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, m_uid);
    EXPECT_EQ(hmtest::readText(m_file), "DISPLAY=:11\nZRT_USER_NAME=hmtest\nLANG=C.UTF-8\n");
    EnvOverride display("DISPLAY", ":0");
    EnvOverride name("ZRT_USER_NAME", "x");
    EXPECT_TRUE(readHandoffFile("tok-1", m_uid));
    EXPECT_EQ(qgetenv("DISPLAY"), ":11");
    EXPECT_EQ(qgetenv("ZRT_USER_NAME"), "hmtest");
}

TEST_F(RootCopyFiles, PrivateLookFoldersAreRootsAlone) {
    const QString base = qs(m_dir / "private");
    QString config, data;
    ASSERT_TRUE(preparePrivateLookFolders(base, m_uid, &config, &data));
    const std::string own = m_dir / ("private/user-" + std::to_string(m_uid));
    EXPECT_EQ(config, qs(own + "/config"));
    EXPECT_EQ(data, qs(own + "/data"));
    for (const std::string& folder : {own, own + "/config", own + "/data"}) {
        struct stat st {};
        ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
        EXPECT_EQ(st.st_uid, 0u);
    }
    // A folder planted as a link (or owned by someone else) is not used.
    const std::string other = m_dir / "elsewhere";
    ::mkdir(other.c_str(), 0700);
    hmtest::sh("rm -rf " + hmtest::shQuote(own) + " && ln -s " + hmtest::shQuote(other) + " " + hmtest::shQuote(own));
    EXPECT_FALSE(preparePrivateLookFolders(base, m_uid, &config, &data));
    ::unlink(own.c_str());
    ::mkdir(own.c_str(), 0700);
    this->own(own, m_uid);
    EXPECT_FALSE(preparePrivateLookFolders(base, m_uid, &config, &data));
}

TEST_F(RootCopyFiles, MirrorsOnlyTheUsersOwnSmallFiles) {
    const std::string user = m_dir / "user", root = m_dir / "root";
    const std::string config = user + "/config", data = user + "/data";
    hmtest::sh("mkdir -p " + hmtest::shQuote(config + "/gtk-3.0") + " " + hmtest::shQuote(config + "/kdedefaults") +
               " " + hmtest::shQuote(data + "/color-schemes") + " " + hmtest::shQuote(root));
    hmtest::writeFile(config + "/kdeglobals", "[General]\nColorScheme=Dusk\n");
    hmtest::writeFile(config + "/kcmfonts", std::string(kMaxLookFileSize + 1, 'f'));  // too large
    hmtest::writeFile(config + "/breezerc", std::string(kMaxLookFileSize, 'b'));     // just fits
    hmtest::writeFile(config + "/gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Adwaita-dark\n");
    hmtest::writeFile(config + "/kdedefaults/package", "org.kde.breezedark.desktop\n");
    hmtest::writeFile(data + "/color-schemes/Dusk.colors", "[Colors:Window]\n");
    hmtest::writeFile(data + "/color-schemes/.hidden.colors", "x");
    hmtest::writeFile(m_dir / "foreign.colors", "secret");  // root's, reached through a link
    hmtest::sh("ln -s " + hmtest::shQuote(m_dir / "foreign.colors") + " " +
               hmtest::shQuote(data + "/color-schemes/Stolen.colors"));
    hmtest::writeFile(m_dir / "mine.colors", "linked");
    hmtest::sh("ln -s " + hmtest::shQuote(m_dir / "mine.colors") + " " +
               hmtest::shQuote(data + "/color-schemes/Linked.colors"));
    ::mkfifo((data + "/color-schemes/Pipe.colors").c_str(), 0600);
    hmtest::sh("chown -hR " + std::to_string(m_uid) + " " + hmtest::shQuote(user) + " " +
               hmtest::shQuote(m_dir / "mine.colors"));

    EXPECT_EQ(mirrorLookFilesBetween(qs(config), qs(data), m_uid, qs(root + "/config"), qs(root + "/data")), 6);
    EXPECT_EQ(hmtest::readText(root + "/config/kdeglobals"), "[General]\nColorScheme=Dusk\n");
    EXPECT_EQ(hmtest::readText(root + "/config/breezerc").size(), size_t(kMaxLookFileSize));
    EXPECT_EQ(hmtest::readText(root + "/config/gtk-3.0/settings.ini"), "[Settings]\ngtk-theme-name=Adwaita-dark\n");
    EXPECT_EQ(hmtest::readText(root + "/config/kdedefaults/package"), "org.kde.breezedark.desktop\n");
    EXPECT_EQ(hmtest::readText(root + "/data/color-schemes/Dusk.colors"), "[Colors:Window]\n");
    EXPECT_EQ(hmtest::readText(root + "/data/color-schemes/Linked.colors"), "linked");
    for (const char* absent : {"config/kcmfonts", "config/gtk-4.0/settings.ini", "data/color-schemes/Stolen.colors",
                               "data/color-schemes/.hidden.colors", "data/color-schemes/Pipe.colors"})
        EXPECT_FALSE(exists(root + "/" + absent)) << absent;

    // The same configuration folder on both sides copies no configuration file.
    hmtest::sh("rm -rf " + hmtest::shQuote(root));
    EXPECT_EQ(mirrorLookFilesBetween(qs(config), qs(data), m_uid, qs(config), qs(root + "/data")), 2);
    EXPECT_FALSE(exists(root + "/config"));
}
