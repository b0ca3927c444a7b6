// Copies of the program started from the window: a new window and a restart start the AppImage
// named by APPIMAGE (a real detached start of a small script), the hooks replace both, the
// Language submenu lists and switches languages, and a reset restarts into default settings.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include <sys/stat.h>

#include "app/LayoutKeys.h"
#include "app/StringsTranslator.h"
#include "ui/mainwindow/MainWindow.h"

using shelltest::qs;
using shelltest::ScopedEnv;
using windowtest::BoxAnswerer;
using windowtest::waitUntil;

namespace {

// The lines the started script appended; none while it has not run.
QStringList linesOf(const std::string& path) {
    if (!QFile::exists(qs(path)))
        return {};
    return QString::fromUtf8(windowtest::readAll(path)).split('\n', Qt::SkipEmptyParts);
}

QMenu* optionsMenu(MainWindow& window) {
    for (QAction* action : window.menuBar()->actions())
        if (action->text() == "&Options")
            return action->menu();
    return nullptr;
}

class MainWindowRestart : public ::testing::Test {
protected:
    void SetUp() override {
        windowtest::clearSettings();
        AppSettings::instance()->setSaveEnabled(false);
    }
    void TearDown() override { AppSettings::instance()->setSaveEnabled(false); }
};

TEST_F(MainWindowRestart, NewWindowAndRestartStartTheAppImageDetached) {
    hmtest::TempDir dir("restart");
    const std::string script = dir / "Hollowmere.AppImage";
    hmtest::writeFile(script, "#!/bin/sh\necho \"$#:$*\" >> " + hmtest::shQuote(dir / "started") + "\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    ScopedEnv appImage("APPIMAGE", script);
    MainWindow window;
    int quits = 0;
    window.quitHook = [&] { ++quits; };

    window.openNewWindow();
    ASSERT_TRUE(waitUntil([&] { return linesOf(dir / "started").size() == 1; }, 5000));
    EXPECT_EQ(linesOf(dir / "started"), QStringList{"0:"});
    EXPECT_EQ(quits, 0);

    // The restart quits at once; the new copy follows half a second later.
    QElapsedTimer clock;
    clock.start();
    window.restartApplication();
    EXPECT_EQ(quits, 1);
    ASSERT_TRUE(waitUntil([&] { return linesOf(dir / "started").size() == 2; }, 5000));
    EXPECT_GE(clock.elapsed(), 450);
    EXPECT_EQ(linesOf(dir / "started").last(), "0:");

    // With hooks set nothing is started and nothing quits on its own.
    int newWindows = 0, restarts = 0;
    window.newWindowHook = [&] { ++newWindows; };
    window.restartHook = [&] { ++restarts; };
    window.openNewWindow();
    window.restartApplication();
    QTest::qWait(700);
    EXPECT_EQ(newWindows, 1);
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(linesOf(dir / "started").size(), 2);
}

TEST_F(MainWindowRestart, NewWindowThatCannotStartSaysSo) {
    ScopedEnv appImage("APPIMAGE", "/nonexistent/Hollowmere.AppImage");
    MainWindow window;
    BoxAnswerer ok(QStringLiteral("OK"));
    window.openNewWindow();
    ASSERT_TRUE(waitUntil([&] { return !ok.text.isEmpty(); }, 5000));
    EXPECT_EQ(ok.text, "Couldn't open a new window.");
}

TEST_F(MainWindowRestart, LanguageMenuListsTheTablesAndEveryChoiceRestarts) {
    AppSettings::instance()->settings()->setValue("language", QString());
    MainWindow window;
    int restarts = 0;
    window.restartHook = [&] { ++restarts; };
    QMenu* language = window.languageMenu();
    ASSERT_TRUE(language);
    EXPECT_EQ(language->menuAction(), optionsMenu(window)->actions().last());

    QStringList tags, names;
    QString checked;
    const QList<QAction*> actions = language->actions();
    ASSERT_GE(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), "System Default");
    EXPECT_TRUE(actions[1]->isSeparator());
    for (QAction* action : actions) {
        if (action->isSeparator())
            continue;
        tags << action->data().toString();
        if (action->isChecked())
            checked = action->data().toString();
        if (tags.size() > 1)
            names << action->text();
    }
    EXPECT_EQ(checked, "system");  // an empty setting counts as the system's language
    QStringList expected = localization::availableLanguages();
    if (!expected.contains("en"))
        expected << "en";
    EXPECT_EQ(tags.size(), expected.size() + 1);
    for (const QString& tag : expected)
        EXPECT_TRUE(tags.contains(tag)) << tag.toStdString();
    for (qsizetype i = 1; i < names.size(); ++i)
        EXPECT_LE(QString::localeAwareCompare(names[i - 1], names[i]), 0) << names[i].toStdString();

    const auto pick = [&](const QString& tag) {
        for (QAction* action : actions)
            if (action->data().toString() == tag)
                action->trigger();
    };
    pick("en");
    EXPECT_EQ(AppSettings::instance()->settings()->value("language").toString(), "en");
    EXPECT_EQ(restarts, 1);
    pick("en");  // the language in use restarts as well
    EXPECT_EQ(restarts, 2);

    MainWindow again;
    QStringList checkedAgain;
    for (QAction* action : again.languageMenu()->actions()) {
        if (action->isChecked())
            checkedAgain << action->data().toString();
    }
    EXPECT_EQ(checkedAgain, QStringList{"en"});
}

TEST_F(MainWindowRestart, ResetAsksFirstAndTheRestartedWindowOpensWithDefaults) {
    AppSettings::instance()->setSaveEnabled(true);
    QSize defaultSize;
    {
        MainWindow window;
        int restarts = 0;
        window.restartHook = [&] { ++restarts; };
        window.show();
        defaultSize = window.size();
        window.resize(defaultSize + QSize(37, 23));
        AppSettings::instance()->setValue("showTreemap", false);
        window.saveWindowState();
        ASSERT_FALSE(loadShapedValue("windowGeometry", QByteArray()).toByteArray().isEmpty());

        {
            BoxAnswerer cancel(QStringLiteral("Cancel"));
            window.confirmResetSettings();
            EXPECT_EQ(cancel.text.left(38), "This clears every saved setting - wind");
        }
        EXPECT_EQ(restarts, 0);
        EXPECT_FALSE(AppSettings::instance()->settings()->value("showTreemap", true).toBool());

        {
            BoxAnswerer reset(QStringLiteral("Reset && Restart"));
            window.confirmResetSettings();
        }
        EXPECT_EQ(restarts, 1);
        EXPECT_FALSE(AppSettings::instance()->saveEnabled());
        window.close();  // the closing window writes nothing into the emptied store
    }
    EXPECT_TRUE(loadShapedValue("windowGeometry", QByteArray()).toByteArray().isEmpty());
    EXPECT_TRUE(loadShapedValue("mainSplit", QByteArray()).toByteArray().isEmpty());
    EXPECT_FALSE(AppSettings::instance()->settings()->contains("showTreemap"));

    AppSettings::instance()->setSaveEnabled(true);  // as in the new process
    MainWindow restarted;
    restarted.show();
    EXPECT_EQ(restarted.size(), defaultSize);
}

}  // namespace
