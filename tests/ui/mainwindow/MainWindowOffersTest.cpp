// The start-up offers and desktop-integration commands of the window, against private
// data and configuration folders: what is asked, how often, and what is remembered.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "app/ProgramResources.h"
#include "integration/ApplicationMenuEntry.h"
#include "integration/FileManagerEntries.h"
#include "integration/FileManagerMenu.h"
#include "integration/NautilusPython.h"
#include "tests/integration/DesktopTestEnv.h"
#include "ui/mainwindow/MainWindow.h"

#include <QAction>
#include <QDir>
#include <QProcess>

#include <memory>

using desktoptest::EnvOverride;
using windowtest::BoxAnswerer;

namespace {

class MainWindowOffers : public desktoptest::DesktopFixture {
protected:
    void SetUp() override {
        initProgramResources();
        windowtest::clearSettings();
        m_window = std::make_unique<MainWindow>();
        m_window->elevatedHook = [] { return false; };
        m_window->updateApplicationMenuActions();
        m_window->updateNautilusPythonAction();
    }
    bool setting(const char* key) const {
        return AppSettings::instance()->settings()->value(QLatin1String(key), false).toBool();
    }
    // Runs the installation of a stand-in package whose command is a shell line.
    void install(const QString& shellLine, const QStringList& answers) {
        BoxAnswerer answer(answers);
        m_window->runNautilusPythonInstall({QStringLiteral("pkg"), {QStringLiteral("/bin/sh"), "-c", shellLine}});
        windowtest::waitUntil([&] { return !m_window->findChild<QProcess*>(); }, 10000);
        windowtest::waitUntil([&] { return QApplication::activeModalWidget() == nullptr; }, 2000);
        m_texts = answer.texts;
        m_detail = answer.detail;
    }
    EnvOverride m_fixedDrive{"ZRT_ASSUME_REMOVABLE", "0"};
    std::unique_ptr<MainWindow> m_window;
    QStringList m_texts;
    QString m_detail;
};

}  // namespace

TEST_F(MainWindowOffers, PortableOfferComesBackUntilAccepted) {
    m_window->offerPortableUse();  // not on a removable drive: nothing asked
    EnvOverride removable("ZRT_ASSUME_REMOVABLE", "1");
    m_window->updateApplicationMenuActions();
    for (int start = 0; start < 2; ++start) {
        BoxAnswerer answer("Cancel");
        m_window->offerPortableUse();
        EXPECT_EQ(answer.texts, QStringList{"Prepare This Copy for Portable Use?"}) << start;
    }
    // The base folder lies below a file, so the data folder cannot be made.
    hmtest::writeFile(m_dir / "file", "x");
    EnvOverride base("ZRT_PORTABLE_BASE", m_dir / "file/sub");
    BoxAnswerer answer({"Prepare", "OK"});
    m_window->offerPortableUse();
    EXPECT_EQ(answer.texts, QStringList({"Prepare This Copy for Portable Use?", "Couldn't Prepare This Copy"}));
    EXPECT_EQ(answer.detail,
              QStringLiteral("A \"Hollowmere Data\" folder couldn't be created next to Hollowmere. Is the drive read-only?"));
    EXPECT_TRUE(m_window->preparePortableAction()->isVisible());
}

TEST_F(MainWindowOffers, IntegrationCommandsShowOnlyWhereTheyApply) {
    EXPECT_FALSE(m_window->preparePortableAction()->isVisible()) << "not on a removable drive";
    EXPECT_TRUE(m_window->fileManagerMenuAction()->isVisible());
    EnvOverride removable("ZRT_ASSUME_REMOVABLE", "1");
    m_window->updateApplicationMenuActions();
    EXPECT_TRUE(m_window->preparePortableAction()->isVisible());

    m_window->elevatedHook = [] { return true; };
    m_window->updateApplicationMenuActions();
    EXPECT_FALSE(m_window->preparePortableAction()->isVisible());
    EXPECT_FALSE(m_window->fileManagerMenuAction()->isVisible());
}

TEST_F(MainWindowOffers, ApplicationMenuQuestionIsAskedOnceAndNeverOverAForeignLauncher) {
    m_window->offerMenuEntry();
    EXPECT_FALSE(m_window->addToMenuAction()->isVisible()) << "not an AppImage";
    EXPECT_FALSE(setting("menuEntryAsked"));

    runFrom(appImage("Hollowmere_4_34_20261117-x86_64.AppImage"));
    {
        BoxAnswerer answer("Cancel");
        m_window->offerMenuEntry();
        m_window->offerMenuEntry();
        EXPECT_EQ(answer.texts, QStringList{"Add Hollowmere to the application menu?"});
    }
    EXPECT_TRUE(setting("menuEntryAsked"));
    EXPECT_TRUE(m_window->addToMenuAction()->isVisible());
    EXPECT_FALSE(m_window->removeFromMenuAction()->isVisible());
    {
        BoxAnswerer answer("OK");
        m_window->addToApplicationMenu();
        EXPECT_EQ(answer.texts, QStringList{"Hollowmere was added to the application menu."});
    }
    EXPECT_FALSE(m_window->addToMenuAction()->isVisible());
    EXPECT_TRUE(m_window->removeFromMenuAction()->isVisible());
    {
        BoxAnswerer answer("OK");
        m_window->removeFromApplicationMenu();
        EXPECT_EQ(answer.texts, QStringList{"Hollowmere was removed from the application menu."});
    }

    // Another program's launcher: no question even on a fresh start, and adding says why not.
    QDir().mkpath(QFileInfo(menuEntryPath()).absolutePath());
    hmtest::writeFile(menuEntryPath().toStdString(), "[Desktop Entry]\nName=Other\n");
    AppSettings::instance()->settings()->remove(QStringLiteral("menuEntryAsked"));
    BoxAnswerer answer("OK");
    m_window->offerMenuEntry();
    EXPECT_FALSE(setting("menuEntryAsked"));
    m_window->addToApplicationMenu();
    EXPECT_EQ(answer.texts, QStringList{"Couldn't Add to Application Menu"});
    EXPECT_EQ(answer.detail, QStringLiteral("The launcher was not created by Hollowmere"));
    EXPECT_EQ(desktoptest::readFile(menuEntryPath()), "[Desktop Entry]\nName=Other\n");
}

TEST_F(MainWindowOffers, FileManagerOptionRemembersOnlyWhatTheUserDecided) {
    EnvOverride managers("ZRT_ASSUME_FILE_MANAGERS", "nemo");
    m_window->setFileManagerMenu(true);
    EXPECT_TRUE(m_window->fileManagerMenuAction()->isChecked());
    EXPECT_TRUE(setting("fileManagerMenuDecided"));
    AppSettings::instance()->settings()->remove(QStringLiteral("fileManagerMenuDecided"));
    m_window->setFileManagerMenu(false);
    EXPECT_FALSE(m_window->fileManagerMenuAction()->isChecked());
    EXPECT_FALSE(setting("fileManagerMenuDecided")) << "a successful removal stores nothing";

    EnvOverride none("ZRT_ASSUME_FILE_MANAGERS", "");
    BoxAnswerer answer("OK");
    m_window->setFileManagerMenu(true);
    EXPECT_EQ(answer.texts, QStringList{"Failed to update file manager context menu"});
    EXPECT_EQ(answer.detail,
              QStringLiteral("No supported file manager was found. Nautilus, Dolphin, Nemo, Thunar and Caja are supported."));
    EXPECT_TRUE(setting("fileManagerMenuDecided"));
    EXPECT_FALSE(m_window->fileManagerMenuAction()->isChecked());
}

TEST_F(MainWindowOffers, StartUpRefreshMovesEntriesFromAVanishedProgram) {
    EnvOverride managers("ZRT_ASSUME_FILE_MANAGERS", "nemo");
    const std::string old = appImage("Hollowmere_4_30-x86_64.AppImage");
    runFrom(old);
    ASSERT_TRUE(installFileManagerMenu(nullptr));
    ::unlink(old.c_str());
    runFrom(appImage("Hollowmere_4_20-x86_64.AppImage"));
    m_window->offerFileManagerMenu();
    EXPECT_EQ(recordedFileManagerProgram(), program());
    EXPECT_TRUE(m_window->fileManagerMenuAction()->isChecked());
    EXPECT_FALSE(setting("fileManagerMenuDecided")) << "not a system installation: nothing decided";
}

TEST_F(MainWindowOffers, PackageInstallationOutcomes) {
    EnvOverride managers("ZRT_ASSUME_FILE_MANAGERS", "nautilus");
    EnvOverride python("ZRT_ASSUME_NAUTILUS_PYTHON", "0");
    m_window->updateNautilusPythonAction();
    EXPECT_EQ(m_window->nautilusPythonAction()->isVisible(), nautilusPythonInstallCommand().has_value());

    install("exit 127", {"Install"});
    EXPECT_EQ(m_texts.size(), 1) << "a refused password ends without a message";

    install("i=0; while [ $i -lt 100 ]; do printf 'line %03d of the output\\n' $i; i=$((i+1)); done; exit 3",
            {"Install", "OK"});
    EXPECT_EQ(m_texts, QStringList({"To add Hollowmere to the menu you get by right-clicking empty space in Files, "
                                    "the package \"pkg\" has to be installed.",
                                    "Failed to install pkg"}));
    EXPECT_EQ(m_detail.size(), 800);
    EXPECT_TRUE(m_detail.endsWith(QStringLiteral("line 099 of the output")));

    // Installed: the entries are written again, now with the extension.
    EnvOverride installed("ZRT_ASSUME_NAUTILUS_PYTHON", "1");
    install("echo done", {"Install", "Cancel"});
    EXPECT_EQ(m_texts.value(1), QStringLiteral("pkg is installed. Files has to be restarted before the new menu entry shows up."));
    EXPECT_TRUE(hasFileManagerMarker(nautilusExtensionPath()));
    EXPECT_TRUE(m_window->fileManagerMenuAction()->isChecked());
    EXPECT_TRUE(setting("fileManagerMenuDecided"));
    EXPECT_FALSE(m_window->nautilusPythonAction()->isVisible());
}
