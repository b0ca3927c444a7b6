#include "app/AppSettings.h"
#include "app/PathText.h"

#include "tests/app/ShellTestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace shelltest;
using hmtest::TempDir;

namespace {

QSettings* olderEdition(const char* name) {
    return new QSettings(QSettings::NativeFormat, QSettings::UserScope, "Tessaril Software", name);
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TEST(AppSettingsStore, WritesAndSignalsOnlyRealChanges) {
    TempDir dir("hm-settings");
    useFreshConfigFolder(dir);
    AppSettings settings;
    QSignalSpy spy(&settings, &AppSettings::changed);

    settings.setValue("unitBase", 1000);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), QStringLiteral("unitBase"));
    settings.setValue("unitBase", 1000);
    EXPECT_EQ(spy.count(), 1);
    settings.setValue("unitBase", 1024);
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(settings.settings()->value("unitBase").toInt(), 1024);
    EXPECT_TRUE(settings.sync());
}

TEST(AppSettingsStore, PathListsComeBackByteForByteAndReadTheOldForm) {
    TempDir dir("hm-settings"), restarted("hm-settings");
    const QString first = useFreshConfigFolder(dir);
    const std::vector<std::string> bytes = {"/srv/caf\xe9", "/srv/plain", "file:///srv/x", "/srv/100% \xff\xfe"};
    QStringList paths;
    for (const std::string& b : bytes)
        paths.append(pathText(b));
    QString file;
    {
        AppSettings settings;
        settings.setPathList("selectMultipleCustomFolders", paths);
        // A plain path stays as older editions stored it.
        EXPECT_EQ(settings.settings()->value("selectMultipleCustomFolders").toStringList().at(1), "/srv/plain");
        settings.settings()->setValue("oldForm", QStringList{"/srv/a", "/srv/b"});
        ASSERT_TRUE(settings.sync());
        file = settings.settings()->fileName();
    }
    // The file as a new start reads it (a file this process opened before comes from memory).
    const QString copy = useFreshConfigFolder(restarted) + file.mid(first.size());
    QDir().mkpath(QFileInfo(copy).path());
    ASSERT_TRUE(QFile::copy(file, copy));
    AppSettings again;
    ASSERT_EQ(again.settings()->fileName(), copy);
    const QStringList read = again.pathList("selectMultipleCustomFolders");
    ASSERT_EQ(read.size(), qsizetype(bytes.size()));
    for (size_t i = 0; i < bytes.size(); ++i)
        EXPECT_EQ(pathBytes(read[qsizetype(i)]), bytes[i]) << i;
    EXPECT_EQ(again.pathList("oldForm"), (QStringList{"/srv/a", "/srv/b"}));
}

TEST(AppSettingsStore, ResetLeavesOnlyTheImportFlag) {
    TempDir dir("hm-settings");
    useFreshConfigFolder(dir);
    AppSettings settings;
    settings.setValue("displayMode", 3);
    settings.setValue("group/key", QStringLiteral("x"));
    QSignalSpy spy(&settings, &AppSettings::changed);
    settings.resetAll();
    ASSERT_EQ(spy.count(), 1);
    EXPECT_TRUE(spy.at(0).at(0).toString().isEmpty());
    EXPECT_EQ(settings.settings()->allKeys(), QStringList{QStringLiteral("migratedFromQuillbrook")});
    EXPECT_TRUE(settings.settings()->value("migratedFromQuillbrook").toBool());
}

TEST(AppSettingsStore, ImportsTheFirstOlderEditionWithKeysOnce) {
    TempDir dir("hm-settings");
    useFreshConfigFolder(dir);
    {
        std::unique_ptr<QSettings> marsh(olderEdition("Marshgleam"));
        marsh->setValue("displayMode", 2);
        marsh->setValue("treemap/style", QStringLiteral("flat"));
        std::unique_ptr<QSettings> quill(olderEdition("Quillbrook"));
        quill->setValue("unitBase", 1000);
    }
    {
        AppSettings settings;
        QSettings* s = settings.settings();
        EXPECT_EQ(s->value("displayMode").toInt(), 2);
        EXPECT_EQ(s->value("treemap/style").toString(), QStringLiteral("flat"));
        EXPECT_FALSE(s->contains("unitBase"));
        EXPECT_TRUE(s->value("migratedFromQuillbrook").toBool());
        s->remove("displayMode");
    }
    // Second start: the flag is set, so a removed key does not come back.
    AppSettings again;
    EXPECT_FALSE(again.settings()->contains("displayMode"));
}

TEST(AppSettingsStore, FallsBackToTheOldestEditionAndSkipsANonEmptyStore) {
    TempDir dir("hm-settings");
    useFreshConfigFolder(dir);
    std::unique_ptr<QSettings>(olderEdition("Quillbrook"))->setValue("unitBase", 1000);
    {
        AppSettings settings;
        EXPECT_EQ(settings.settings()->value("unitBase").toInt(), 1000);
    }

    TempDir other("hm-settings");
    useFreshConfigFolder(other);
    std::unique_ptr<QSettings>(olderEdition("Marshgleam"))->setValue("displayMode", 4);
    std::unique_ptr<QSettings>(olderEdition("Hollowmere"))->setValue("decimalPlaces", 2);
    AppSettings settings;
    EXPECT_FALSE(settings.settings()->contains("displayMode"));
    EXPECT_EQ(settings.settings()->value("decimalPlaces").toInt(), 2);
    EXPECT_TRUE(settings.settings()->value("migratedFromQuillbrook").toBool());
}

TEST(AppSettingsStore, CopyMissingKeysKeepsTargetValues) {
    TempDir dir("hm-settings");
    QSettings source(qs(dir / "a.conf"), QSettings::IniFormat);
    QSettings target(qs(dir / "b.conf"), QSettings::IniFormat);
    source.setValue("one", 1);
    source.setValue("two", 2);
    source.setValue("g/three", 3);
    target.setValue("two", 20);
    EXPECT_EQ(AppSettings::copyMissingKeys(source, target), 2);
    EXPECT_EQ(target.value("two").toInt(), 20);
    EXPECT_EQ(target.value("g/three").toInt(), 3);
}

TEST(AppSettingsStore, PortableCopyUsesItsDataFolderWithoutImport) {
    TempDir dir("hm-settings");
    useFreshConfigFolder(dir);
    std::unique_ptr<QSettings>(olderEdition("Marshgleam"))->setValue("displayMode", 2);
    const std::string base = dir / "stick";
    ASSERT_TRUE(QDir().mkpath(qs(base + "/Hollowmere Data")));
    ScopedEnv env("ZRT_PORTABLE_BASE", base);

    AppSettings settings;
    EXPECT_EQ(settings.settings()->fileName(), qs(base + "/Hollowmere Data/Hollowmere.conf"));
    EXPECT_FALSE(settings.settings()->contains("displayMode"));
    settings.setValue("unitBase", 1000);
    ASSERT_TRUE(settings.sync());
    EXPECT_TRUE(readAll(qs(base + "/Hollowmere Data/Hollowmere.conf")).contains("unitBase=1000"));
}

TEST(AppSettingsStore, MoveToFileCarriesEveryKeyOrKeepsTheOldStore) {
    TempDir dir("hm-settings");
    useFreshConfigFolder(dir);
    AppSettings settings;
    settings.setValue("displayMode", 3);
    settings.setValue("history/recent", QStringLiteral("[\"a\"]"));
    const QString oldFile = settings.settings()->fileName();

    // The target's folder cannot be created below a plain file.
    hmtest::writeFile(dir / "blocker", "x");
    EXPECT_FALSE(settings.moveToFile(qs(dir / "blocker/Hollowmere Data/Hollowmere.conf")));
    EXPECT_EQ(settings.settings()->fileName(), oldFile);

    const QString target = qs(dir / "stick/Hollowmere Data/Hollowmere.conf");
    ASSERT_TRUE(settings.moveToFile(target));
    EXPECT_EQ(settings.settings()->fileName(), target);
    QSettings moved(target, QSettings::IniFormat);
    EXPECT_EQ(moved.value("displayMode").toInt(), 3);
    EXPECT_EQ(moved.value("history/recent").toString(), QStringLiteral("[\"a\"]"));
    EXPECT_TRUE(moved.value("migratedFromQuillbrook").toBool());
}

// Elevated copy: root working for the ordinary test account.
class AppSettingsElevated : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hmtest::isRoot())
            GTEST_SKIP() << "the elevated hand-over needs root";
        m_uid = hmtest::testUserUid();
        m_gid = hmtest::testUserGid();
        if (m_uid == static_cast<uid_t>(-1))
            GTEST_SKIP() << "no ordinary test account";
        m_dir = std::make_unique<TempDir>("hm-elevated");
        useFreshConfigFolder(*m_dir);
        m_userFolder = *m_dir / "user/config/Tessaril Software";
        ASSERT_TRUE(QDir().mkpath(qs(m_userFolder)));
        ASSERT_EQ(chown(m_userFolder.c_str(), m_uid, m_gid), 0);
        m_userFile = m_userFolder + "/Hollowmere.conf";
    }
    void writeUserFile(const std::string& content, mode_t mode) {
        hmtest::writeFile(m_userFile, content);
        ASSERT_EQ(chown(m_userFile.c_str(), m_uid, m_gid), 0);
        ASSERT_EQ(chmod(m_userFile.c_str(), mode), 0);
    }
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    std::unique_ptr<TempDir> m_dir;
    std::string m_userFolder, m_userFile;
};

TEST_F(AppSettingsElevated, SeesTheUsersSettingsAndHandsChangesBack) {
    writeUserFile("[General]\ndisplayMode=2\nmigratedFromQuillbrook=true\n", 0640);
    ScopedEnv conf("ZRT_USER_CONF", m_userFile);
    ScopedEnv uid("ZRT_USER_UID", std::to_string(m_uid));
    ScopedEnv gid("ZRT_USER_GID", std::to_string(m_gid));

    AppSettings settings;
    EXPECT_NE(settings.settings()->fileName(), qs(m_userFile));
    EXPECT_EQ(settings.settings()->value("displayMode").toInt(), 2);

    settings.setValue("displayMode", 4);
    // The write-back timer hands the file back within about 1.5 s.
    QTRY_VERIFY_WITH_TIMEOUT(QSettings(qs(m_userFile), QSettings::IniFormat).value("displayMode").toInt() == 4, 4000);
    struct stat st {};
    ASSERT_EQ(lstat(m_userFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, m_uid);
    EXPECT_EQ(st.st_gid, m_gid);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_FALSE(QFile::exists(qs(m_userFile + ".zrt-" + std::to_string(getpid()))));
}

TEST_F(AppSettingsElevated, CopyInRefusesLinksForeignFilesAndHugeFiles) {
    const QString target = qs(*m_dir / "root/Tessaril Software/Hollowmere.conf");
    writeUserFile("[General]\nunitBase=1000\n", 0600);
    EXPECT_TRUE(copyUserSettingsIn(qs(m_userFile), target, m_uid));
    EXPECT_TRUE(readAll(target).contains("unitBase=1000"));

    // A link to a file the user may not read.
    const std::string secret = *m_dir / "secret";
    hmtest::writeFile(secret, "root only");
    chmod(secret.c_str(), 0600);
    const std::string link = m_userFolder + "/link.conf";
    ASSERT_EQ(symlink(secret.c_str(), link.c_str()), 0);
    EXPECT_FALSE(copyUserSettingsIn(qs(link), target, m_uid));
    EXPECT_FALSE(QFile::exists(target));  // refused: an empty store, not stale root settings
    EXPECT_TRUE(copyUserSettingsIn(qs(m_userFile), target, m_uid));
    EXPECT_FALSE(copyUserSettingsIn(qs(secret), target, m_uid));
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(readAll(qs(secret)), QByteArray("root only"));

    // uid 0, a missing source and the target itself change nothing.
    EXPECT_TRUE(copyUserSettingsIn(qs(m_userFile), target, m_uid));
    EXPECT_FALSE(copyUserSettingsIn(qs(m_userFile), target, 0));
    EXPECT_FALSE(copyUserSettingsIn(qs(m_userFolder + "/missing.conf"), target, m_uid));
    EXPECT_FALSE(copyUserSettingsIn(target, target, m_uid));
    EXPECT_TRUE(readAll(target).contains("unitBase=1000"));

    const std::string huge = m_userFolder + "/huge.conf";
    hmtest::writeFile(huge, "");
    ASSERT_EQ(truncate(huge.c_str(), kMaxUserSettingsFileSize + 1), 0);
    ASSERT_EQ(chown(huge.c_str(), m_uid, m_gid), 0);
    EXPECT_FALSE(copyUserSettingsIn(qs(huge), target, m_uid));
    ASSERT_EQ(truncate(huge.c_str(), kMaxUserSettingsFileSize), 0);
    EXPECT_TRUE(copyUserSettingsIn(qs(huge), target, m_uid));

    // Through a link, the elevated copy starts from an empty store.
    ScopedEnv conf("ZRT_USER_CONF", link);
    ScopedEnv uid("ZRT_USER_UID", std::to_string(m_uid));
    ScopedEnv gid("ZRT_USER_GID", std::to_string(m_gid));
    AppSettings settings;
    EXPECT_EQ(settings.settings()->allKeys(), QStringList{QStringLiteral("migratedFromQuillbrook")});
}

TEST_F(AppSettingsElevated, WriteBackRefusesWhatTheUserDoesNotOwn) {
    const std::string source = *m_dir / "store.conf";
    hmtest::writeFile(source, "[General]\nnew=1\n");

    // New file: mode 0644, owned by the user.
    ASSERT_TRUE(replaceUserSettingsFile(qs(source), qs(m_userFile), m_uid, m_gid));
    struct stat st {};
    ASSERT_EQ(lstat(m_userFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, m_uid);

    // A link at the target is not followed.
    const std::string victim = *m_dir / "victim";
    hmtest::writeFile(victim, "keep");
    const std::string linkTarget = m_userFolder + "/linked.conf";
    ASSERT_EQ(symlink(victim.c_str(), linkTarget.c_str()), 0);
    EXPECT_FALSE(replaceUserSettingsFile(qs(source), qs(linkTarget), m_uid, m_gid));
    EXPECT_EQ(readAll(qs(victim)), QByteArray("keep"));

    // A file of another account in the user's folder.
    const std::string foreign = m_userFolder + "/foreign.conf";
    hmtest::writeFile(foreign, "root's");
    EXPECT_FALSE(replaceUserSettingsFile(qs(source), qs(foreign), m_uid, m_gid));
    EXPECT_EQ(readAll(qs(foreign)), QByteArray("root's"));

    // A folder of another account.
    const std::string rootFolder = *m_dir / "rootfolder";
    QDir().mkpath(qs(rootFolder));
    EXPECT_FALSE(replaceUserSettingsFile(qs(source), qs(rootFolder + "/Hollowmere.conf"), m_uid, m_gid));
    EXPECT_FALSE(QFile::exists(qs(rootFolder + "/Hollowmere.conf")));

    // The user's folder itself replaced by a link to a root folder.
    const std::string linkedFolder = *m_dir / "user/linkedfolder";
    ASSERT_EQ(symlink(rootFolder.c_str(), linkedFolder.c_str()), 0);
    lchown(linkedFolder.c_str(), m_uid, m_gid);
    EXPECT_FALSE(replaceUserSettingsFile(qs(source), qs(linkedFolder + "/Hollowmere.conf"), m_uid, m_gid));
    EXPECT_FALSE(QFile::exists(qs(rootFolder + "/Hollowmere.conf")));
}

TEST_F(AppSettingsElevated, WriteBackNeverFollowsALinkPlantedAtTheTemporaryName) {
    writeUserFile("old", 0600);
    const std::string source = *m_dir / "store.conf";
    hmtest::writeFile(source, "[General]\nnew=1\n");
    const std::string victim = *m_dir / "victim";
    hmtest::writeFile(victim, "keep");
    const std::string planted = m_userFile + ".zrt-" + std::to_string(getpid());
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);

    ASSERT_TRUE(replaceUserSettingsFile(qs(source), qs(m_userFile), m_uid, m_gid));
    EXPECT_EQ(readAll(qs(victim)), QByteArray("keep"));
    struct stat st {};
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(readAll(qs(m_userFile)), QByteArray("[General]\nnew=1\n"));
    ASSERT_EQ(lstat(m_userFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_FALSE(QFile::exists(qs(planted)));
}
