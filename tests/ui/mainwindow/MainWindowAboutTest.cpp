// The About tab and what the window says about updates: the page's texts and its two text
// viewers, and a manual update check against a local version server (newer version in the
// banner, no update, failure), the banner's buttons and the donation page.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"
#include "tests/app/VersionServer.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QToolButton>

#include "app/UpdateChecker.h"
#include "app/VersionInfo.h"
#include "ui/dialogs/LicenseInfoDialog.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/mainwindow/UpdateBanner.h"

using windowtest::BoxAnswerer;
using windowtest::waitUntil;

namespace {

QAction* fileAction(MainWindow& window, const QString& text) {
    for (QAction* action : window.menuBar()->actions().first()->menu()->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

// The title and the text of the next text viewer, closed again.
QStringList viewerShownBy(QPushButton* button) {
    QStringList seen;
    QTimer::singleShot(50, [&] {
        auto* dialog = qobject_cast<LicenseInfoDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        seen << dialog->windowTitle();
        for (QPlainTextEdit* edit : dialog->findChildren<QPlainTextEdit*>())
            seen << edit->toPlainText();
        for (QTextEdit* edit : dialog->findChildren<QTextEdit*>())
            seen << edit->toPlainText();
        dialog->reject();
    });
    button->click();
    return seen;
}

class MainWindowAbout : public ::testing::Test {
protected:
    void SetUp() override {
        windowtest::clearSettings();
        AppSettings::instance()->setSaveEnabled(false);
        setMakerServer(m_server.base());
        UpdateChecker::instance()->clear();
        m_window.openUrlHook = [this](const QUrl& url) { opened << url.toString(); };
    }
    void TearDown() override { UpdateChecker::instance()->clear(); }

    shelltest::VersionServer m_server;
    MainWindow m_window;
    QStringList opened;
};

TEST_F(MainWindowAbout, PageShowsVersionsAndOpensBothTexts) {
    PageTabs* tabs = m_window.tabs();
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->tabText(2), "About");
    QWidget* page = tabs->widget(2);
    QStringList labels;
    for (int i = 1; i <= 4; ++i) {
        if (auto* label = page->findChild<QLabel*>(QStringLiteral("about_%1").arg(i)))
            labels << label->text();
    }
    // Item 0 is the icon, item 4 the licence button.
    EXPECT_EQ(labels, QStringList({"Hollowmere v" + appVersion(), "Version Date: " + versionDateText(),
                                   "Corresponds to Sorvale " + referenceEditionVersion() + " functionality"}));
    auto* note = page->findChild<QLabel*>("about_5");
    ASSERT_TRUE(note);
    EXPECT_EQ(note->text(), "Hollowmere uses Qt under the GNU Lesser General Public License. Its SMB helper links "
                            "Samba's libsmbclient and is therefore under the GNU General Public License, version 3 "
                            "or later.");
    EXPECT_EQ(note->foregroundRole(), QPalette::PlaceholderText);
    auto* title = page->findChild<QLabel*>("about_1");
    EXPECT_EQ(title->foregroundRole(), QPalette::WindowText);
    EXPECT_TRUE(title->font().bold());
    EXPECT_GT(title->font().pointSizeF(), note->font().pointSizeF() * 1.5);
    const QList<QLabel*> all = page->findChildren<QLabel*>();
    ASSERT_FALSE(all.isEmpty());
    EXPECT_FALSE(all.first()->pixmap().isNull());
    EXPECT_EQ(all.first()->pixmap().size(), QSize(56, 56));

    const QStringList license = viewerShownBy(page->findChild<QPushButton*>("viewLicenseButton"));
    ASSERT_GE(license.size(), 2);
    EXPECT_TRUE(license.contains(readLicenseText()));
    const QStringList notices = viewerShownBy(page->findChild<QPushButton*>("thirdPartyNoticesButton"));
    ASSERT_GE(notices.size(), 2);
    EXPECT_EQ(notices.first(), "Third-Party Notices");
    EXPECT_TRUE(notices.contains(readThirdPartyNotices()));
    EXPECT_NE(license.first(), notices.first());
}

TEST_F(MainWindowAbout, ManualUpdateCheckFillsTheBannerOrSaysWhy) {
    UpdateBanner* banner = m_window.updateBanner();
    EXPECT_TRUE(banner->isHidden());
    EXPECT_TRUE(banner->viewButton()->isHidden());
    QAction* check = fileAction(m_window, "Check for Updates Now");
    ASSERT_TRUE(check);

    m_server.reply(200, "VERSION=99.5\nINFOURL=https://example.org/new\n");
    check->trigger();
    ASSERT_TRUE(waitUntil([&] { return !banner->isHidden(); }, 10000));
    EXPECT_FALSE(banner->viewButton()->isHidden());
    EXPECT_EQ(banner->messageLabel()->text(),
              "An update is available (v99.5). Click on the \"View Update\" button to learn more.");
    banner->viewButton()->click();
    EXPECT_EQ(opened, QStringList{"https://example.org/new"});
    banner->dismissButton()->click();
    EXPECT_TRUE(banner->isHidden());

    m_server.reply(200, "VERSION=0.1\nINFOURL=https://example.org/old\n");
    {
        BoxAnswerer ok(QStringLiteral("OK"));
        check->trigger();
        ASSERT_TRUE(waitUntil([&] { return !ok.text.isEmpty(); }, 10000));
        EXPECT_EQ(ok.text, "No update found.");
    }
    m_server.reply(500, "broken");
    {
        BoxAnswerer ok(QStringLiteral("OK"));
        check->trigger();
        ASSERT_TRUE(waitUntil([&] { return !ok.text.isEmpty(); }, 10000));
        EXPECT_TRUE(ok.text.startsWith("Error checking for updates: ")) << ok.text.toStdString();
        EXPECT_GT(ok.text.size(), QString("Error checking for updates: ").size());
    }
    EXPECT_TRUE(banner->isHidden());

    emit m_window.header()->donateRequested();
    EXPECT_EQ(opened.last(), donatePageUrl().toString());
}

TEST_F(MainWindowAbout, UpdateToggleWritesItsSetting) {
    QAction* toggle = nullptr;
    for (QAction* menu : m_window.menuBar()->actions())
        for (QAction* action : menu->menu()->actions())
            if (action->text() == "Check for updates")
                toggle = action;
    ASSERT_TRUE(toggle);
    EXPECT_TRUE(toggle->isChecked());
    toggle->trigger();
    EXPECT_FALSE(UpdateChecker::instance()->isEnabled());
    AppSettings::instance()->setValue("checkForUpdatesEnabled", true);
    EXPECT_TRUE(toggle->isChecked());
}

}  // namespace
