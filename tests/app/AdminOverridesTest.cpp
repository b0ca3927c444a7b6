#include "app/AdminOverrides.h"
#include "app/AppSettings.h"

#include "tests/app/ShellTestEnv.h"

#include <QSignalSpy>

#include <sys/stat.h>
#include <unistd.h>

using namespace shelltest;
using hmtest::TempDir;

namespace {

QStringList g_warnings;
void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtWarningMsg)
        g_warnings << text;
}

// A folder with the given owner and mode holding an "Overrides.conf".
std::string makeOverrides(const std::string& folder, const std::string& ini, mode_t folderMode, uid_t owner = 0,
                          mode_t fileMode = 0644) {
    QDir().mkpath(qs(folder));
    hmtest::writeFile(folder + "/Overrides.conf", ini);
    const std::string file = folder + "/Overrides.conf";
    chown(file.c_str(), owner, owner == 0 ? 0 : hmtest::testUserGid());
    chmod(file.c_str(), fileMode);
    chown(folder.c_str(), owner, owner == 0 ? 0 : hmtest::testUserGid());
    chmod(folder.c_str(), folderMode);
    return file;
}

class AdminOverrides : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hmtest::isRoot())
            GTEST_SKIP() << "root-owned override files need root";
        m_dir = std::make_unique<TempDir>("hm-overrides");
        g_warnings.clear();
        m_previous = qInstallMessageHandler(collectWarnings);
    }
    void TearDown() override {
        if (m_dir)
            qInstallMessageHandler(m_previous);
    }
    std::string path(const std::string& rel) const { return *m_dir / rel; }
    std::unique_ptr<TempDir> m_dir;
    QtMessageHandler m_previous = nullptr;
};

}  // namespace

TEST_F(AdminOverrides, TrustRulesJudgeOwnerModeLinkAndFolder) {
    const std::string sticky = makeOverrides(path("sticky"), "unitBase=1000\n", 01777);
    EXPECT_EQ(checkOverrideFileTrust(qs(sticky)), QString());

    const std::string open = makeOverrides(path("open"), "unitBase=1000\n", 0777);
    EXPECT_EQ(checkOverrideFileTrust(qs(open)), QStringLiteral("other accounts can replace files in its folder"));

    const std::string groupWritable = makeOverrides(path("gw"), "x=1\n", 0755, 0, 0664);
    EXPECT_EQ(checkOverrideFileTrust(qs(groupWritable)), QStringLiteral("it can be written by other accounts"));

    QDir().mkpath(qs(path("link")));
    ASSERT_EQ(symlink(sticky.c_str(), path("link/Overrides.conf").c_str()), 0);
    EXPECT_EQ(checkOverrideFileTrust(qs(path("link/Overrides.conf"))), QStringLiteral("it is not a plain file"));
    EXPECT_EQ(checkOverrideFileTrust(qs(path("missing/Overrides.conf"))), QStringLiteral("it can't be read"));
    EXPECT_EQ(checkOverrideFileTrust(qs(path("sticky"))), QStringLiteral("it is not a plain file"));

    const uid_t user = hmtest::testUserUid();
    ASSERT_NE(user, static_cast<uid_t>(-1));
    const std::string foreign = makeOverrides(path("foreign"), "x=1\n", 0755, user);
    EXPECT_EQ(checkOverrideFileTrust(qs(foreign)), QStringLiteral("it is not owned by root"));

    // A root file in a folder that belongs to an ordinary account.
    const std::string userFolder = makeOverrides(path("userfolder"), "x=1\n", 0755, user);
    chown(userFolder.c_str(), 0, 0);
    EXPECT_EQ(checkOverrideFileTrust(qs(userFolder)), QStringLiteral("its folder is not owned by root"));

    // Another trusted account replaces root entirely.
    ScopedEnv trusted("ZRT_TRUSTED_UID", std::to_string(user));
    EXPECT_EQ(checkOverrideFileTrust(qs(sticky)), QStringLiteral("it is not owned by root"));
    EXPECT_EQ(checkOverrideFileTrust(qs(foreign)), QString());
}

TEST_F(AdminOverrides, AdministratorFolderWinsAndPerUserKeysAreDropped) {
    makeOverrides(path("shared"),
                  "displayMode=2\nunitBase=1000\nmainSplit=abc\ncsvExportLastFolder=/tmp\n"
                  "[treemap]\nstyle=flat\n",
                  01777);
    makeOverrides(path("admin"), "displayMode=4\nfileViewHeader@800x600@1=zz\nlayoutFirstShape=@1x1@1\n", 0755);
    ScopedEnv shared("ZRT_SHARED_DIR", path("shared"));
    ScopedEnv admin("ZRT_ADMIN_DIR", path("admin"));

    const QMap<QString, QVariant> overrides = loadSettingOverrides();
    EXPECT_EQ(overrides.keys(), (QStringList{"displayMode", "treemap/style", "unitBase"}));
    EXPECT_EQ(overrides.value("displayMode").toInt(), 4);
    EXPECT_TRUE(g_warnings.isEmpty());
}

TEST_F(AdminOverrides, UntrustedFileIsSkippedWithOneWarningPerPath) {
    makeOverrides(path("shared"), "displayMode=2\n", 0777);
    makeOverrides(path("admin"), "unitBase=1000\n", 0755);
    ScopedEnv shared("ZRT_SHARED_DIR", path("shared"));
    ScopedEnv admin("ZRT_ADMIN_DIR", path("admin"));

    EXPECT_EQ(loadSettingOverrides().keys(), QStringList{"unitBase"});
    EXPECT_EQ(loadSettingOverrides().keys(), QStringList{"unitBase"});
    ASSERT_EQ(g_warnings.size(), 1);
    EXPECT_EQ(g_warnings.at(0), QStringLiteral("Hollowmere: ignoring %1/Overrides.conf: other accounts can replace "
                                               "files in its folder")
                                    .arg(qs(path("shared"))));
}

TEST_F(AdminOverrides, ApplyWritesAndAnnouncesEveryKeyEvenWhenUnchanged) {
    useFreshConfigFolder(*m_dir);
    makeOverrides(path("admin"), "unitBase=1000\ndecimalPlaces=2\nmainSplit=x\n", 0755);
    ScopedEnv shared("ZRT_SHARED_DIR", path("noshared"));
    ScopedEnv admin("ZRT_ADMIN_DIR", path("admin"));

    AppSettings settings;
    settings.settings()->setValue("decimalPlaces", QStringLiteral("2"));
    settings.settings()->setValue("mainSplit", QStringLiteral("mine"));
    QSignalSpy spy(&settings, &AppSettings::changed);
    settings.applyOverrides();
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(0).at(0).toString(), QStringLiteral("decimalPlaces"));
    EXPECT_EQ(spy.at(1).at(0).toString(), QStringLiteral("unitBase"));
    EXPECT_EQ(settings.settings()->value("unitBase").toInt(), 1000);
    EXPECT_EQ(settings.settings()->value("mainSplit").toString(), QStringLiteral("mine"));
}

TEST_F(AdminOverrides, PortableCopyIgnoresOverrides) {
    useFreshConfigFolder(*m_dir);
    makeOverrides(path("admin"), "unitBase=1000\n", 0777);
    ScopedEnv admin("ZRT_ADMIN_DIR", path("admin"));
    QDir().mkpath(qs(path("stick/Hollowmere Data")));
    ScopedEnv base("ZRT_PORTABLE_BASE", path("stick"));
    AppSettings settings;
    QSignalSpy spy(&settings, &AppSettings::changed);
    settings.applyOverrides();
    EXPECT_EQ(spy.count(), 0);
    EXPECT_FALSE(settings.settings()->contains("unitBase"));
    EXPECT_TRUE(g_warnings.isEmpty());
}

TEST_F(AdminOverrides, SharedFolderIsCreatedStickyAndExistingOneKept) {
    const std::string shared = path("state/hollowmere");
    QDir().mkpath(qs(path("state")));
    ScopedEnv env("ZRT_SHARED_DIR", shared);
    const mode_t old = umask(077);
    const bool writable = ensureSharedFolder();
    umask(old);
    EXPECT_TRUE(writable);
    struct stat st {};
    ASSERT_EQ(stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);

    chmod(shared.c_str(), 0700);
    EXPECT_TRUE(ensureSharedFolder());
    ASSERT_EQ(stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    ScopedEnv missing("ZRT_SHARED_DIR", path("nofolder/below/shared"));
    EXPECT_FALSE(ensureSharedFolder());
}
