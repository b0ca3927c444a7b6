// Administrator rights from the window: the File-menu entry either way, the quit after the
// new copy took over, the notices of a failed restart and of a missing password tool, and
// when the administrator-scan offer stays silent.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "app/Elevator.h"
#include "ui/mainwindow/MainWindow.h"

#include <QAction>
#include <QClipboard>
#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>

#include <memory>

using windowtest::BoxAnswerer;

namespace {

class MainWindowElevation : public ::testing::Test {
protected:
    void SetUp() override {
        windowtest::clearSettings();
        m_window = std::make_unique<MainWindow>();
    }
    QMenu* fileMenu() const { return m_window->menuBar()->actions().constFirst()->menu(); }
    std::unique_ptr<MainWindow> m_window;
};

}  // namespace

TEST_F(MainWindowElevation, FileMenuOffersTheRestartThatFitsTheRights) {
    for (const bool elevated : {false, true}) {
        m_window->elevatedHook = [elevated] { return elevated; };
        emit fileMenu()->aboutToShow();
        QAction* restart = m_window->restartElevationAction();
        EXPECT_TRUE(fileMenu()->actions().contains(restart));
        EXPECT_EQ(restart->text(), elevated ? "Restart without Administrator" : "Restart as Administrator…");
    }
}

TEST_F(MainWindowElevation, QuitsAQuarterSecondAfterTheNewCopyIsReady) {
    QElapsedTimer clock;
    qint64 quitAfter = -1;
    m_window->quitHook = [&] { quitAfter = clock.elapsed(); };
    clock.start();
    emit m_window->elevator()->ready();
    ASSERT_TRUE(windowtest::waitUntil([&] { return quitAfter >= 0; }, 3000));
    EXPECT_GE(quitAfter, 240);
    EXPECT_LT(quitAfter, 1500);
}

TEST_F(MainWindowElevation, NoticesOfTheElevator) {
    {
        BoxAnswerer answer("OK");
        emit m_window->elevator()->failed("The administrator copy stopped before it finished starting (exit status 3).");
        EXPECT_EQ(answer.text, "The administrator copy stopped before it finished starting (exit status 3).");
    }
    const QString command = "sudo '/opt/a&b/<x>.AppImage'";
    for (const QString& button : {QStringLiteral("OK"), QStringLiteral("Copy Command")}) {
        QApplication::clipboard()->setText("before");
        BoxAnswerer answer(button);
        emit m_window->elevator()->manualNeeded(command);
        EXPECT_TRUE(answer.text.startsWith("Hollowmere couldn't find a tool to ask for the administrator password"));
        EXPECT_EQ(answer.detail, "<tt>sudo '/opt/a&amp;b/&lt;x&gt;.AppImage'</tt>");
        EXPECT_EQ(QApplication::clipboard()->text(), button == "OK" ? QStringLiteral("before") : command);
    }
}

TEST_F(MainWindowElevation, OfferStaysSilentWhereItCannotHelp) {
    hmtest::TempDir folder("hm-offer");
    const QStringList paths{QString::fromStdString(folder.path())};
    BoxAnswerer unexpected(QStringList{});  // any box would be rejected and counted
    m_window->elevatedHook = [] { return false; };
    // Running as root, or on a folder no raw reader applies to, there is nothing to offer.
    EXPECT_TRUE(m_window->offerAdminScan(paths));
    AppSettings::instance()->setValue("askAboutAdminScan", false);
    EXPECT_TRUE(m_window->offerAdminScan(paths));
    m_window->elevatedHook = [] { return true; };
    AppSettings::instance()->setValue("askAboutAdminScan", true);
    EXPECT_TRUE(m_window->offerAdminScan(paths));
    EXPECT_TRUE(unexpected.texts.isEmpty());
}
