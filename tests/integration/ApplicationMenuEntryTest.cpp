#include "integration/ApplicationMenuEntry.h"

#include "app/ProgramResources.h"
#include "tests/integration/DesktopTestEnv.h"

#include <QDir>
#include <QImage>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

using desktoptest::entriesOf;
using desktoptest::golden;
using desktoptest::modeOf;
using desktoptest::readFile;

namespace {

class ApplicationMenuEntry : public desktoptest::DesktopFixture {
protected:
    void SetUp() override { initProgramResources(); }
    void writeLauncher(const std::string& text) {
        QDir().mkpath(QFileInfo(menuEntryPath()).absolutePath());
        hmtest::writeFile(menuEntryPath().toStdString(), text);
    }
};

}  // namespace

TEST_F(ApplicationMenuEntry, CreateWritesAValidLauncherAndIconThatRemoveTakesBack) {
    QString error;
    EXPECT_FALSE(createMenuEntry(&error, QStringLiteral(":/sorvale.png")));
    EXPECT_EQ(error, QStringLiteral("Not running from an AppImage"));

    runFrom(appImage("Hollowmere_4_34_20261117-x86_64.AppImage"));
    ASSERT_TRUE(createMenuEntry(&error, QStringLiteral(":/sorvale.png"))) << error.toStdString();
    EXPECT_EQ(readFile(menuEntryPath()), golden("launcher.desktop", program()));
    EXPECT_EQ(modeOf(menuEntryPath()), 0744);
    EXPECT_EQ(QImage(menuIconPath()), QImage(QStringLiteral(":/sorvale.png")));
    EXPECT_TRUE(menuIconIsOurs());
    EXPECT_TRUE(menuEntryIsOurs());
    EXPECT_TRUE(menuEntryPointsHere());
    EXPECT_FALSE(refreshMenuEntry());

    const QString validator =
        QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"), {"/usr/bin", "/bin"});
    if (validator.isEmpty()) {
        ADD_FAILURE() << "desktop-file-validate is missing (package desktop-file-utils)";
    } else {
        int status = -1;
        const std::string output =
            hmtest::shOutput(validator.toStdString() + " " + hmtest::shQuote(menuEntryPath().toStdString()) + " 2>&1",
                             &status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(output, "");
    }

    ASSERT_TRUE(removeMenuEntry(&error)) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(menuEntryPath()));
    EXPECT_FALSE(QFileInfo::exists(menuIconPath()));
    // With the launcher gone a leftover icon of the program's own still goes.
    ASSERT_TRUE(createMenuEntry(&error, QStringLiteral(":/sorvale.png")));
    ::unlink(menuEntryPath().toLocal8Bit().constData());
    EXPECT_TRUE(removeMenuEntry(&error));
    EXPECT_FALSE(QFileInfo::exists(menuIconPath()));
}

TEST_F(ApplicationMenuEntry, TheUsersOwnIconIsNeitherReplacedNorRemoved) {
    runFrom(appImage("Hollowmere_4_34_20261117-x86_64.AppImage"));
    QDir().mkpath(QFileInfo(menuIconPath()).absolutePath());
    hmtest::writeFile(menuIconPath().toStdString(), "the user's png");
    EXPECT_FALSE(menuIconIsOurs());
    QString error;
    ASSERT_TRUE(createMenuEntry(&error, QStringLiteral(":/sorvale.png"))) << error.toStdString();
    EXPECT_TRUE(menuEntryPointsHere());
    EXPECT_EQ(readFile(menuIconPath()), "the user's png");
    ASSERT_TRUE(removeMenuEntry(&error)) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(menuEntryPath()));
    EXPECT_EQ(readFile(menuIconPath()), "the user's png");
    // A pipe there is someone else's too, and reading it never waits for a writer.
    ASSERT_EQ(::unlink(menuIconPath().toLocal8Bit().constData()), 0);
    ASSERT_EQ(::mkfifo(menuIconPath().toLocal8Bit().constData(), 0644), 0);
    EXPECT_FALSE(menuIconIsOurs());
}

TEST_F(ApplicationMenuEntry, ExecPathsReadBackExactly) {
    QDir().mkpath(QString::fromStdString(m_dir / "My Apps/100%"));
    for (const char* name : {"My Apps/Hollowmere.AppImage", "My Apps/100%/H\"q\"$`\\.AppImage"}) {
        runFrom(appImage(name));
        ASSERT_TRUE(createMenuEntry(nullptr, QStringLiteral(":/sorvale.png"))) << name;
        EXPECT_EQ(menuEntryProgram(), program()) << name;
        EXPECT_TRUE(menuEntryPointsHere());
    }
    EXPECT_NE(readFile(menuEntryPath()).find("%%"), std::string::npos);
    EXPECT_NE(readFile(menuEntryPath()).find("Exec=\"" + (m_dir / "My Apps/100%%/H") + "\\\\\"q"), std::string::npos)
        << readFile(menuEntryPath());
    EXPECT_EQ(parseExecProgram(QStringLiteral("  /opt/H.AppImage %f")), QStringLiteral("/opt/H.AppImage"));
    EXPECT_EQ(parseExecProgram(QStringLiteral("\"/a b\\\\\\\\c\" %f")), QStringLiteral("/a b\\c"));
}

TEST_F(ApplicationMenuEntry, AnotherProgramsLauncherIsNeverTouched) {
    runFrom(appImage("Hollowmere_4_34_20261117-x86_64.AppImage"));
    const std::string theirs = "[Desktop Entry]\nType=Application\nName=Hollowmere\nExec=/usr/bin/hollowmere %f\n";
    writeLauncher(theirs);
    EXPECT_TRUE(menuEntryIsForeign());
    EXPECT_FALSE(menuEntryIsOurs());
    EXPECT_TRUE(menuEntryProgram().isEmpty());
    QString error;
    EXPECT_FALSE(createMenuEntry(&error, QStringLiteral(":/sorvale.png")));
    EXPECT_EQ(error, QStringLiteral("The launcher was not created by Hollowmere"));
    EXPECT_FALSE(QFileInfo::exists(menuIconPath())) << "nor its icon";
    EXPECT_FALSE(refreshMenuEntry());
    EXPECT_FALSE(removeMenuEntry(&error));
    EXPECT_EQ(error, QStringLiteral("The launcher was not created by Hollowmere"));
    EXPECT_EQ(readFile(menuEntryPath()), theirs);

    runFrom(appImage("line\nbreak.AppImage"));
    ::unlink(menuEntryPath().toLocal8Bit().constData());
    EXPECT_FALSE(createMenuEntry(&error, QStringLiteral(":/sorvale.png")));
    EXPECT_EQ(error, QStringLiteral("The program's path contains a line break"));
    EXPECT_FALSE(QFileInfo::exists(menuEntryPath()));
}

TEST_F(ApplicationMenuEntry, SymbolicLinksAreNeverWrittenThroughOrRemoved) {
    runFrom(appImage("Hollowmere_4_34_20261117-x86_64.AppImage"));
    QString error;
    ASSERT_TRUE(createMenuEntry(&error, QStringLiteral(":/sorvale.png"))) << error.toStdString();
    const std::string launcher = menuEntryPath().toStdString(), icon = menuIconPath().toStdString();
    const std::string ours = m_dir / "ours", dotfiles = m_dir / "dotfiles";
    QDir().mkpath(QString::fromStdString(ours));
    QDir().mkpath(QString::fromStdString(dotfiles));
    ASSERT_EQ(::rename(launcher.c_str(), (ours + "/hollowmere.desktop").c_str()), 0);
    ASSERT_EQ(::rename(icon.c_str(), (ours + "/hollowmere.png").c_str()), 0);
    // Links at the launcher's and the icon's names into the user's dotfiles, nothing there yet.
    ASSERT_EQ(::symlink((dotfiles + "/hollowmere.desktop").c_str(), launcher.c_str()), 0);
    ASSERT_EQ(::symlink((dotfiles + "/hollowmere.png").c_str(), icon.c_str()), 0);
    const auto isLink = [](const std::string& path) { return QFileInfo(QString::fromStdString(path)).isSymLink(); };
    const QString foreign = QStringLiteral("The launcher was not created by Hollowmere");
    EXPECT_TRUE(menuEntryIsForeign());
    EXPECT_FALSE(createMenuEntry(&error, QStringLiteral(":/sorvale.png")));
    EXPECT_EQ(error, foreign);
    EXPECT_TRUE(entriesOf(dotfiles).isEmpty());
    // With the program's own files behind them the links are still not the program's.
    ASSERT_EQ(::rename(ours.c_str(), dotfiles.c_str()), 0);
    const std::string launcherText = readFile(menuEntryPath()), iconBytes = readFile(menuIconPath());
    EXPECT_FALSE(menuEntryIsOurs() || menuIconIsOurs());
    EXPECT_FALSE(removeMenuEntry(&error));
    EXPECT_EQ(error, foreign);
    EXPECT_TRUE(isLink(launcher) && isLink(icon));

    // A link at the icon's name alone, dangling or not, is left as someone else's icon is.
    ASSERT_EQ(::unlink(launcher.c_str()), 0);
    const std::string iconTarget = dotfiles + "/hollowmere.png";
    ASSERT_EQ(::rename(iconTarget.c_str(), (iconTarget + ".away").c_str()), 0);
    ASSERT_TRUE(createMenuEntry(&error, QStringLiteral(":/sorvale.png"))) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(iconTarget)));
    ASSERT_EQ(::rename((iconTarget + ".away").c_str(), iconTarget.c_str()), 0);
    EXPECT_TRUE(menuEntryIsOurs());
    ASSERT_TRUE(removeMenuEntry(&error)) << error.toStdString();
    EXPECT_TRUE(isLink(icon));
    EXPECT_EQ(readFile(menuIconPath()), iconBytes);

    // Nor is a linked folder on the way followed, for writing or for removing.
    const std::string applications = QFileInfo(menuEntryPath()).absolutePath().toStdString();
    ASSERT_EQ(::rmdir(applications.c_str()), 0);
    ASSERT_EQ(::symlink(dotfiles.c_str(), applications.c_str()), 0);
    const QString refusal = "Hollowmere doesn't write through the symbolic link " + QString::fromStdString(applications);
    EXPECT_FALSE(createMenuEntry(&error, QStringLiteral(":/sorvale.png")));
    EXPECT_EQ(error, refusal);
    EXPECT_FALSE(removeMenuEntry(&error));
    EXPECT_EQ(error, refusal);
    EXPECT_EQ(entriesOf(dotfiles), QStringList({"hollowmere.desktop", "hollowmere.png"}));
    EXPECT_EQ(readFile(QString::fromStdString(dotfiles + "/hollowmere.desktop")), launcherText);
}

TEST_F(ApplicationMenuEntry, StartUpRepointsOnlyToASameOrNewerCopy) {
    const std::string newer = appImage("Hollowmere_4_34_20261117-x86_64.AppImage");
    runFrom(newer);
    ASSERT_TRUE(createMenuEntry(nullptr, QStringLiteral(":/sorvale.png")));
    runFrom(appImage("Hollowmere_4_33_20260901-x86_64.AppImage"));
    EXPECT_FALSE(menuEntryPointsHere());
    EXPECT_FALSE(refreshMenuEntry());
    EXPECT_EQ(menuEntryProgram().toStdString(), newer);
    ::unlink(newer.c_str());
    EXPECT_TRUE(refreshMenuEntry()) << "the newer copy is gone";
    EXPECT_TRUE(menuEntryPointsHere());

    // The program's own launcher without an Exec line is re-pointed too.
    writeLauncher("[Desktop Entry]\nName=Hollowmere\nX-Hollowmere-MenuEntry=1\n");
    EXPECT_TRUE(menuEntryProgram().isEmpty());
    EXPECT_TRUE(refreshMenuEntry());
    EXPECT_EQ(readFile(menuEntryPath()), golden("launcher.desktop", program()));
}
