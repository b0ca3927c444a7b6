#include "integration/FileManagerMenu.h"

#include "integration/EntryFiles.h"
#include "integration/FileManagerEntries.h"
#include "integration/NautilusPython.h"
#include "integration/ProgramLocation.h"
#include "tests/integration/DesktopTestEnv.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QStandardPaths>
#include <QTranslator>

#include <sys/stat.h>
#include <unistd.h>

using desktoptest::entriesOf;
using desktoptest::EnvOverride;
using desktoptest::golden;
using desktoptest::modeOf;
using desktoptest::readFile;

namespace {

class FileManagerMenu : public desktoptest::DesktopFixture {
protected:
    void SetUp() override { runFrom(appImage("Hollowmere_4_34_20261117-x86_64.AppImage")); }
    QString script(const QString& folder) const { return folder + QStringLiteral("/Scan with Hollowmere"); }
    EnvOverride m_all{"ZRT_ASSUME_FILE_MANAGERS", "nautilus,caja,nemo,dolphin,thunar"};
    EnvOverride m_python{"ZRT_ASSUME_NAUTILUS_PYTHON", "0"};
};

// Turns the entry label into a text with a slash, as a translation might.
class SlashTranslator : public QTranslator {
public:
    bool isEmpty() const override { return false; }
    QString translate(const char*, const char* source, const char*, int) const override {
        return QString::fromUtf8(source) == QStringLiteral("Scan with Hollowmere") ? QStringLiteral(" Scan/Analyse ")
                                                                                   : QString();
    }
};

}  // namespace

TEST_F(FileManagerMenu, InstallWritesEveryEntryExactlyAndRemoveTakesThemBack) {
    QString error;
    ASSERT_TRUE(installFileManagerMenu(&error)) << error.toStdString();
    const struct {
        QString path;
        const char* golden;
        int mode;
    } entries[] = {{script(nautilusScriptsFolder()), "script.sh", 0755},
                   {script(cajaScriptsFolder()), "script.sh", 0755},
                   {nemoActionPath(), "hollowmere.nemo_action", 0644},
                   {nemoBackgroundActionPath(), "hollowmere-here.nemo_action", 0644},
                   {dolphinServiceMenuPath(), "servicemenu.desktop", 0755},
                   {thunarActionsPath(), "uca.xml", 0644}};
    for (const auto& entry : entries) {
        EXPECT_EQ(readFile(entry.path), golden(entry.golden, program())) << entry.path.toStdString();
        EXPECT_EQ(modeOf(entry.path), entry.mode) << entry.path.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(nautilusExtensionPath()));
    EXPECT_TRUE(fileManagerMenuInstalled());
    EXPECT_EQ(recordedFileManagerProgram(), program());

    // With python support Nautilus gets the extension instead of the script; installing
    // again leaves one block in uca.xml.
    EnvOverride python("ZRT_ASSUME_NAUTILUS_PYTHON", "1");
    ASSERT_TRUE(installFileManagerMenu(&error)) << error.toStdString();
    EXPECT_EQ(readFile(nautilusExtensionPath()), golden("hollowmere.py", program()));
    EXPECT_EQ(modeOf(nautilusExtensionPath()), 0644);
    EXPECT_TRUE(markedFilesIn(nautilusScriptsFolder()).isEmpty());
    EXPECT_EQ(readFile(thunarActionsPath()), golden("uca.xml", program()));

    ASSERT_TRUE(removeFileManagerMenu(&error)) << error.toStdString();
    for (const QString& path : {nautilusExtensionPath(), script(cajaScriptsFolder()), nemoActionPath(),
                                nemoBackgroundActionPath(), dolphinServiceMenuPath()})
        EXPECT_FALSE(QFileInfo::exists(path)) << path.toStdString();
    EXPECT_EQ(readFile(thunarActionsPath()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n");
    EXPECT_FALSE(fileManagerMenuInstalled());
    EXPECT_TRUE(recordedFileManagerProgram().isEmpty());
}

TEST_F(FileManagerMenu, ForeignFilesAreNeverOverwrittenOrRemoved) {
    EnvOverride only("ZRT_ASSUME_FILE_MANAGERS", "nemo,caja");
    ASSERT_TRUE(installFileManagerMenu(nullptr));
    // Someone else's Nemo action at the background action's path, and their own script.
    hmtest::writeFile((nemoBackgroundActionPath()).toStdString(), "[Nemo Action]\nName=Theirs\n");
    hmtest::writeFile((cajaScriptsFolder() + QStringLiteral("/Their script")).toStdString(), "#!/bin/sh\n");
    QString error;
    EXPECT_FALSE(installFileManagerMenu(&error));
    EXPECT_EQ(error, nemoBackgroundActionPath() + QStringLiteral(" was not created by Hollowmere"));
    EXPECT_FALSE(QFileInfo::exists(nemoActionPath())) << "earlier entries are gone, nothing new written";
    EXPECT_TRUE(markedFilesIn(cajaScriptsFolder()).isEmpty());
    EXPECT_EQ(readFile(nemoBackgroundActionPath()), "[Nemo Action]\nName=Theirs\n");
    EXPECT_TRUE(removeFileManagerMenu(&error));
    EXPECT_EQ(readFile(cajaScriptsFolder() + QStringLiteral("/Their script")), "#!/bin/sh\n");

    // Symbolic links into the user's dotfiles, with nothing behind them yet, are never written
    // through: one at an entry's name counts as someone else's file; one at uca.xml or for a
    // folder on the way is refused by name.
    const std::string dotfiles = m_dir / "dotfiles";
    QDir().mkpath(QString::fromStdString(dotfiles));
    const auto link = [&](const QString& path, const char* target) {
        ::unlink(path.toLocal8Bit().constData());
        QDir().mkpath(QFileInfo(path).absolutePath());
        ASSERT_EQ(::symlink((dotfiles + "/" + target).c_str(), path.toLocal8Bit().constData()), 0);
    };
    link(nemoBackgroundActionPath(), "here.nemo_action");
    EXPECT_FALSE(installFileManagerMenu(&error));
    EXPECT_EQ(error, nemoBackgroundActionPath() + QStringLiteral(" was not created by Hollowmere"));
    ASSERT_EQ(::unlink(nemoBackgroundActionPath().toLocal8Bit().constData()), 0);
    EnvOverride withThunar("ZRT_ASSUME_FILE_MANAGERS", "nemo,caja,thunar");
    link(thunarActionsPath(), "uca.xml");
    EXPECT_FALSE(installFileManagerMenu(&error));
    EXPECT_EQ(error, "Hollowmere doesn't write through the symbolic link " + thunarActionsPath());
    ASSERT_EQ(::unlink(thunarActionsPath().toLocal8Bit().constData()), 0);
    ASSERT_EQ(::rmdir(nemoActionsFolder().toLocal8Bit().constData()), 0);
    link(nemoActionsFolder(), "actions");
    QDir().mkpath(QString::fromStdString(dotfiles + "/actions"));
    EXPECT_FALSE(installFileManagerMenu(&error));
    EXPECT_EQ(error, "Hollowmere doesn't write through the symbolic link " + nemoActionsFolder());
    EXPECT_TRUE(markedFilesIn(cajaScriptsFolder()).isEmpty()) << "what this install wrote is taken back";
    EXPECT_EQ(entriesOf(dotfiles), QStringList{"actions"});
    EXPECT_TRUE(entriesOf(dotfiles + "/actions").isEmpty());
    // Nor a linked folder right below the configuration folder.
    ASSERT_EQ(::unlink(nemoActionsFolder().toLocal8Bit().constData()), 0);
    const QString thunar = QFileInfo(thunarActionsPath()).absolutePath();
    ASSERT_TRUE(QDir(thunar).removeRecursively());
    link(thunar, "Thunar");
    QDir().mkpath(QString::fromStdString(dotfiles + "/Thunar"));
    EXPECT_FALSE(installFileManagerMenu(&error));
    EXPECT_EQ(error, "Hollowmere doesn't write through the symbolic link " + thunar);
    EXPECT_TRUE(entriesOf(dotfiles + "/Thunar").isEmpty());

    EnvOverride none("ZRT_ASSUME_FILE_MANAGERS", "");
    EXPECT_FALSE(installFileManagerMenu(&error));
    EXPECT_EQ(error, QStringLiteral("No supported file manager was found"));
}

TEST_F(FileManagerMenu, ThunarBlockLivesInsideTheUsersOwnActions) {
    EnvOverride only("ZRT_ASSUME_FILE_MANAGERS", "nemo,thunar");
    const std::string users = "<?xml version=\"1.0\"?>\n<actions>\n<action><name>Mine</name></action>\n</actions>\n";
    QDir().mkpath(QFileInfo(thunarActionsPath()).absolutePath());
    hmtest::writeFile(thunarActionsPath().toStdString(), users);
    ASSERT_TRUE(installFileManagerMenu(nullptr));
    const std::string installed = readFile(thunarActionsPath());
    EXPECT_EQ(installed.find("<action><name>Mine</name></action>\n<!-- X-Hollowmere-FileManager begin -->"), 32u);
    ASSERT_TRUE(removeFileManagerMenu(nullptr));
    EXPECT_EQ(readFile(thunarActionsPath()), users) << "removal gives back the user's file exactly";

    // A block whose end marker was lost never takes the user's actions with it.
    const QString damaged = QStringLiteral("<actions>\n") + kThunarBlockStart + QStringLiteral("\n<action>A</action>\n");
    const QString complete = insertThunarBlock(damaged + QStringLiteral("</actions>\n"), program(), nullptr);
    EXPECT_EQ(removeThunarBlock(damaged), damaged);
    EXPECT_EQ(removeThunarBlock(complete), damaged + QStringLiteral("</actions>\n"));

    hmtest::writeFile(thunarActionsPath().toStdString(), "<menu>not Thunar's</menu>\n");
    QString error;
    EXPECT_FALSE(installFileManagerMenu(&error));
    EXPECT_EQ(error, QStringLiteral("Thunar's custom actions file is not in the form expected"));
    EXPECT_FALSE(QFileInfo::exists(nemoActionPath())) << "what this install wrote is taken back";
    hmtest::writeFile(thunarActionsPath().toStdString(), " \n\t\n");
    ASSERT_TRUE(installFileManagerMenu(nullptr));
    EXPECT_EQ(readFile(thunarActionsPath()), golden("uca.xml", program()));
}

TEST_F(FileManagerMenu, ScriptsAreFoundByMarkerAndNamedAfterTheLabel) {
    EnvOverride only("ZRT_ASSUME_FILE_MANAGERS", "caja");
    const QString old = cajaScriptsFolder() + QStringLiteral("/Mit Hollowmere scannen");
    QDir().mkpath(cajaScriptsFolder());
    hmtest::writeFile(old.toStdString(), scriptEntryText(QStringLiteral("/old/Hollowmere")).toStdString());
    SlashTranslator translator;
    QCoreApplication::installTranslator(&translator);
    const bool installed = installFileManagerMenu(nullptr);
    QCoreApplication::removeTranslator(&translator);
    ASSERT_TRUE(installed);
    EXPECT_FALSE(QFileInfo::exists(old));
    EXPECT_EQ(markedFilesIn(cajaScriptsFolder()), QStringList{cajaScriptsFolder() + QStringLiteral("/Scan Analyse")});
}

TEST_F(FileManagerMenu, ProgramPathsAreQuotedForEachFormatAndLineBreaksRefused) {
    EXPECT_EQ(shellQuote(QStringLiteral("/a b/it's")), QStringLiteral("'/a b/it'\\''s'"));
    EXPECT_EQ(escapeXml(QStringLiteral("a&<b>\"'")), QStringLiteral("a&amp;&lt;b&gt;\"'"));
    const struct {
        const char* path;
        const char* exec;
    } cases[] = {{"/opt/Hollowmere.AppImage", "/opt/Hollowmere.AppImage"},
                 {"/my apps/H.AppImage", "\"/my apps/H.AppImage\""},
                 {"/a%1/H", "/a%%1/H"},
                 {"/a \"q\"/H", "\"/a \\\\\"q\\\\\"/H\""},
                 {"/a\\b $x/H", "\"/a\\\\\\\\b \\\\$x/H\""}};
    for (const auto& c : cases) {
        EXPECT_EQ(quoteExecArgument(QString::fromUtf8(c.path)), QString::fromUtf8(c.exec)) << c.path;
        EXPECT_EQ(readProgramMarker(dolphinServiceMenuText(QString::fromUtf8(c.path))), QString::fromUtf8(c.path));
    }
    EXPECT_EQ(readProgramMarker(QStringLiteral("<!-- X-Hollowmere-Program=/a&amp;b&lt;c -->\n")),
              QStringLiteral("/a&b<c"));

    runFrom(appImage("line\nbreak.AppImage"));
    QString error;
    EXPECT_FALSE(installFileManagerMenu(&error));
    EXPECT_EQ(error, QStringLiteral("The program's path contains a line break"));
    EXPECT_FALSE(fileManagerMenuInstalled());
}

TEST_F(FileManagerMenu, StartUpRefreshFollowsTheNewestFixedCopy) {
    const std::string installedCopy = m_dir / "Hollowmere_4_34_20261117-x86_64.AppImage";
    ASSERT_TRUE(installFileManagerMenu(nullptr));
    runFrom(appImage("Hollowmere_4_33_20260901-x86_64.AppImage"));
    EXPECT_FALSE(refreshFileManagerMenu()) << "an older copy leaves the entries alone";
    EXPECT_EQ(recordedFileManagerProgram().toStdString(), installedCopy);

    QDir().mkpath(QString::fromStdString(m_dir / "other"));
    runFrom(appImage("other/Hollowmere_4_34_20261117-x86_64.AppImage"));
    EXPECT_TRUE(refreshFileManagerMenu()) << "the same version takes them";
    EXPECT_EQ(recordedFileManagerProgram(), program());

    // From a portable copy only a vanished program loses the entries.
    QDir().mkpath(QString::fromStdString(m_dir / "base/Hollowmere Data"));
    runFrom(appImage("Hollowmere_5_0-x86_64.AppImage"));
    EXPECT_FALSE(refreshFileManagerMenu());
    ::unlink((m_dir / "other/Hollowmere_4_34_20261117-x86_64.AppImage").c_str());
    EXPECT_TRUE(refreshFileManagerMenu());
    EXPECT_EQ(recordedFileManagerProgram(), program());

    // Once python support is there the script gives way to the extension.
    EnvOverride python("ZRT_ASSUME_NAUTILUS_PYTHON", "1");
    EXPECT_TRUE(refreshFileManagerMenu());
    EXPECT_TRUE(markedFilesIn(nautilusScriptsFolder()).isEmpty());
    EXPECT_TRUE(hasFileManagerMarker(nautilusExtensionPath()));
    EXPECT_FALSE(refreshFileManagerMenu());
    EXPECT_FALSE(isSystemInstall()) << "an AppImage is never a system installation";
}

// The one writer of the entry files: the mode asked for, or (-1) that of the regular file it
// replaces; and with descriptor 0 free (a start without standard input) the folders and files
// opened there are used like any others.
TEST_F(FileManagerMenu, EntryFilesGetTheirModeAndWorkWithStandardInputClosed) {
    const QString data = QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    const QString file = data + QStringLiteral("/entry");
    const std::string bytes = file.toStdString();
    const mode_t mask = ::umask(022);
    const struct {
        int old;  // -1: no file there, -2: a pipe with mode 0600
        int mode, expected;
    } cases[] = {{-1, -1, 0644}, {-1, 0, 0}, {0600, -1, 0600}, {0600, 0, 0}, {0600, 0755, 0755}, {-2, -1, 0644}};
    for (const auto& c : cases) {
        ::unlink(bytes.c_str());
        if (c.old == -2) {
            ASSERT_EQ(::mkfifo(bytes.c_str(), 0600), 0);
        } else if (c.old >= 0) {
            hmtest::writeFile(bytes, "old");
            ::chmod(bytes.c_str(), mode_t(c.old));
        }
        QString error;
        EXPECT_TRUE(writeFileAtomically(file, "new", c.mode, &error)) << error.toStdString();
        EXPECT_EQ(modeOf(file), c.expected) << "old " << c.old << ", mode " << c.mode;
    }
    ::umask(mask);

    QStringList results;
    for (const QString& path : {file, data + QStringLiteral("/a/b/entry")}) {
        hmtest::StandardInputClosed closed;
        QString error;
        const bool saved = saveEntryFile(path, QStringLiteral("zero"), false, &error);
        const QByteArray read = readFileBytes(path);
        const bool removed = removeFileIfPresent(path, &error) && !entryExists(path);
        results << QStringLiteral("%1 %2 %3 %4").arg(saved).arg(QString::fromUtf8(read)).arg(removed).arg(error);
    }
    EXPECT_EQ(results, QStringList({"1 zero 1 ", "1 zero 1 "}));
    EXPECT_TRUE(removeFileIfPresent(data + QStringLiteral("/gone/entry"), nullptr));
    EXPECT_FALSE(entryExists(data + QStringLiteral("/gone"))) << "removing makes no folder";
}

TEST(AppImageVersions, NamesAreComparedByMajorMinorAndDate) {
    const struct {
        const char* name;
        AppImageVersion version;
    } cases[] = {{"/x/Hollowmere_4_34_20261117-x86_64.AppImage", {4, 34, 20261117, true}},
                 {"Hollowmere_4_34-x86_64.AppImage", {4, 34, 0, true}},
                 {"Hollowmere_4_34_2026111-x86_64.AppImage", {4, 34, 0, true}},
                 {"Hollowmere_99999999999_1", {0, 1, 0, true}},
                 {"Hollowmere-4_34.AppImage", {0, 0, 0, false}},
                 {"/Hollowmere_4_34/other", {0, 0, 0, false}}};
    for (const auto& c : cases) {
        const AppImageVersion v = parseAppImageVersion(QString::fromUtf8(c.name));
        EXPECT_EQ(std::tie(v.major, v.minor, v.date, v.matched),
                  std::tie(c.version.major, c.version.minor, c.version.date, c.version.matched))
            << c.name;
    }
}

TEST_F(FileManagerMenu, PresentFileManagersAndNautilusPythonSupport) {
    EnvOverride assumed("ZRT_ASSUME_FILE_MANAGERS", "thunar,,nemo,Nemo,explorer");
    QDir().mkpath(QString::fromStdString(m_dir / "bin"));
    hmtest::writeFile(m_dir / "bin/caja", "#!/bin/sh\n");
    ::chmod((m_dir / "bin/caja").c_str(), 0755);
    EXPECT_EQ(detectFileManagers(), QStringList({"caja", "nemo", "thunar"}));

    const QString usr = QString::fromStdString(m_dir / "usr");
    EnvOverride look("ZRT_ASSUME_NAUTILUS_PYTHON", "");
    EXPECT_FALSE(hasNautilusPython(usr));
    QDir().mkpath(usr + QStringLiteral("/lib/x86_64-linux-gnu/nautilus/extensions-4"));
    hmtest::writeFile(m_dir / "usr/lib/x86_64-linux-gnu/nautilus/extensions-4/libnautilus-python.so", "");
    EXPECT_TRUE(hasNautilusPython(usr));
    EnvOverride no("ZRT_ASSUME_NAUTILUS_PYTHON", "0");
    EXPECT_FALSE(hasNautilusPython(usr));
    EXPECT_FALSE(nautilusPythonMissing()) << "nautilus is not present";
    EnvOverride with("ZRT_ASSUME_FILE_MANAGERS", "nautilus");
    EXPECT_TRUE(nautilusPythonMissing());
}

TEST_F(FileManagerMenu, NautilusPythonCommandRunsProgramsByAbsolutePath) {
    const QString bin = QString::fromStdString(m_dir / "sys");
    QDir().mkpath(bin);
    for (const char* tool : {"pkexec", "sh", "apt-get", "dnf"}) {
        hmtest::writeFile(m_dir / (std::string("sys/") + tool), "#!/bin/sh\n");
        ::chmod((m_dir / (std::string("sys/") + tool)).c_str(), 0755);
    }
    const std::string release = m_dir / "os-release";
    EnvOverride file("ZRT_OS_RELEASE", release);
    const auto command = [&](const std::string& text) {
        hmtest::writeFile(release, text);
        const std::optional<NautilusPythonInstall> install = nautilusPythonInstallCommand({bin});
        return install ? install->package + QLatin1Char(':') + install->command.join(QLatin1Char('|')) : QString();
    };
    const QString apt = bin + QStringLiteral("/apt-get");
    EXPECT_EQ(command("NAME=Mint\nID=linuxmint\nID_LIKE=\"ubuntu debian\"\n"),
              QStringLiteral("python3-nautilus:%1/pkexec|%1/sh|-c|DEBIAN_FRONTEND=noninteractive %2 install -y "
                             "python3-nautilus || { %2 update && DEBIAN_FRONTEND=noninteractive %2 install -y "
                             "python3-nautilus; }")
                  .arg(bin, apt));
    EXPECT_EQ(command("ID='Fedora'\n"),
              QStringLiteral("nautilus-python:%1/pkexec|%1/dnf|install|-y|nautilus-python").arg(bin));
    EXPECT_EQ(command("ID=arch\n"), QString()) << "no pacman in the system folders";
    EXPECT_EQ(command("ID=opensuse-tumbleweed\n"), QString());
    EXPECT_EQ(command(" ID=debian\nVERSION_ID=12\n"), QString()) << "ids count only at the start of a line";
    EnvOverride missing("ZRT_OS_RELEASE", m_dir / "none");
    EXPECT_FALSE(nautilusPythonInstallCommand({bin}).has_value());
}
