// Administrator rights from the window: the File-menu entry either way, the quit after the
// new copy took over, the notices of a failed restart and of a missing password tool, and
// the administrator-scan offer: silent where it cannot help, and, for an ordinary account on
// a loop-mounted ext4 volume, its texts and what each answer does.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "app/Elevator.h"
#include "ui/mainwindow/MainWindow.h"

#include <QAction>
#include <QClipboard>
#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>
#include <QCheckBox>
#include <QFile>
#include <QPushButton>

#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

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

namespace {

// Answers the administrator-scan question as planned last, ticking "Don't show this message
// again" when asked, and closes any other box (the Elevator's notices) with its first button.
class OfferAnswerer {
public:
    OfferAnswerer() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { answer(); });
        m_timer.start(10);
    }
    void plan(const QString& button, bool tick) {
        m_button = button;
        m_tick = tick;
        title.clear();
        text.clear();
        buttons.clear();
        asked = 0;
    }
    QString title, text;
    QStringList buttons;
    int asked = 0, notices = 0;

private:
    void answer() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box == m_answered)
            return;
        m_answered = box;
        if (box->objectName() != "adminScanDialog") {
            ++notices;
            box->buttons().constFirst()->click();
            return;
        }
        ++asked;
        title = box->windowTitle();
        text = box->text();
        for (QAbstractButton* b : box->buttons())
            buttons << b->text();
        EXPECT_EQ(box->defaultButton()->text(), "Scan as Administrator (fast)");
        box->checkBox()->setChecked(m_tick);
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == m_button) {
                b->click();
                return;
            }
        }
        box->reject();
    }
    QString m_button;
    bool m_tick = false;
    QPointer<QMessageBox> m_answered;
    QTimer m_timer;
};

}  // namespace

// Runs as the ordinary account only, started by the test below.
TEST(MainWindowElevationUserSide, OfferAnswers) {
    const QString volume = qEnvironmentVariable("HM_OFFER_VOLUME");
    const std::string record = qgetenv("HM_OFFER_RECORD").toStdString();
    if (volume.isEmpty())
        GTEST_SKIP() << "runs only as the ordinary account inside MainWindowElevation.OfferOnAVolumeOnlyRootCanRead";
    windowtest::clearSettings();
    hmtest::ShortAnswerLimits limits(std::chrono::milliseconds(400));
    MainWindow window;
    QSettings* settings = AppSettings::instance()->settings();
    const auto asks = [settings] { return settings->value("askAboutAdminScan", true).toBool(); };
    struct Case {
        QString button;
        bool tick;
        bool goOn;
        bool stillAsks;
    } cases[] = {
        {"Cancel", true, false, true},  // a ticked box only counts with a scan button
        {"Scan Normally (slower)", false, true, true},
        {"Scan as Administrator (fast)", true, false, false},
    };
    OfferAnswerer answer;  // also closes the notice of the refused restart
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button.toStdString());
        answer.plan(c.button, c.tick);
        EXPECT_EQ(window.offerAdminScan({volume}), c.goOn);
        EXPECT_EQ(answer.asked, 1);
        EXPECT_EQ(answer.title, "Scan This Disk Faster?");
        EXPECT_EQ(answer.text, volume + " is on a drive formatted as ext4.\n\nScanning as Administrator reads the drive's "
                                        "file list directly, which is many times faster than scanning it normally. It "
                                        "needs administrator rights: you will be asked for your password.");
        EXPECT_EQ(answer.buttons, (QStringList{"Scan as Administrator (fast)", "Scan Normally (slower)", "Cancel"}));
        EXPECT_EQ(asks(), c.stillAsks);
    }
    // The fast choice restarted through the (stand-in) sudo with the volume to scan.
    EXPECT_TRUE(windowtest::waitUntil([&] { return !window.elevator()->isWaiting(); }, 10000));
    EXPECT_NE(hmtest::readText(record).find("\n" + volume.toStdString() + "\n"), std::string::npos) << hmtest::readText(record);
    EXPECT_EQ(hmtest::readText(record).find("--multi"), std::string::npos);

    // Several roots: the first that needs the administrator is named, all of them are passed.
    AppSettings::instance()->setValue("askAboutAdminScan", true);
    const QString other = QDir::tempPath();
    answer.plan("Scan as Administrator (fast)", false);
    EXPECT_FALSE(window.offerAdminScan({other, volume}));
    EXPECT_TRUE(answer.text.startsWith(volume + " is on a drive"));
    EXPECT_TRUE(windowtest::waitUntil([&] { return !window.elevator()->isWaiting(); }, 10000));
    EXPECT_NE(hmtest::readText(record).find("--multi\n" + (other + ":" + volume).toStdString() + "\n"), std::string::npos);
    // Each refused restart (the stand-in exits 1) was reported once.
    EXPECT_TRUE(windowtest::waitUntil([&] { return answer.notices == 2; }, 5000)) << answer.notices;

    // A folder on a dead mount gets no offer, and asking about it does not hold the window up.
    const QString dead = qEnvironmentVariable("HM_OFFER_DEAD");
    if (dead.isEmpty())
        return;  // no FUSE mount could be made (the root side says why)
    AppSettings::instance()->setValue("askAboutAdminScan", true);
    answer.plan("Cancel", false);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(window.offerAdminScan({dead}));
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_EQ(answer.asked, 0);
}

TEST_F(MainWindowElevation, OfferOnAVolumeOnlyRootCanRead) {
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1) || !hmtest::haveTool("mkfs.ext4")
        || !hmtest::haveTool("runuser"))
        GTEST_SKIP() << "needs root, mkfs.ext4, runuser and the ordinary test account";
    if (!findExecutableIn("pkexec", systemProgramFolders()).isEmpty())
        GTEST_SKIP() << "a real pkexec in the system folders would be chosen before a stand-in sudo";
    hmtest::TempDir dir("hm-offer");
    ::chmod(dir.path().c_str(), 0755);
    hmtest::LoopMount volume(dir.path(), "mkfs.ext4 -q -F", 16);
    ASSERT_TRUE(volume.ok()) << volume.error();
    ::chmod(volume.mountPoint().c_str(), 0755);
    // A stand-in sudo records the command and refuses, as a cancelled password prompt would.
    const std::string bin = dir / "bin", record = dir / "record";
    ::mkdir(bin.c_str(), 0755);
    hmtest::writeFile(bin + "/sudo", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> " + hmtest::shQuote(record) + "\nexit 1\n");
    ::chmod((bin + "/sudo").c_str(), 0755);
    hmtest::writeFile(record, "");
    ::chown(record.c_str(), hmtest::testUserUid(), hmtest::testUserGid());
    const std::string dead = dir / "dead";
    ::mkdir(dead.c_str(), 0755);
    hmtest::DeadFuseMount deadMount(dead, true);
    if (!deadMount.ok())
        std::cerr << "no dead mount for the offer: " << deadMount.error() << "\n";
    const std::string self = QFile::symLinkTarget("/proc/self/exe").toStdString();
    // A probe thread left waiting in the dead mount can't be stopped for the leak check at
    // exit, which would then wait for good; the leak check is off for this one run.
    std::string sanitizers = hmtest::sanitizerOptions();
    if (deadMount.ok() && std::getenv("ASAN_OPTIONS"))
        sanitizers += "ASAN_OPTIONS=" + hmtest::shQuote(std::string(std::getenv("ASAN_OPTIONS")) + ":detect_leaks=0") + " ";
    int status = -1;
    const std::string output = hmtest::shOutput(
        "timeout 120 runuser -u hmtest -- env -i PATH=" + hmtest::shQuote(bin + ":/usr/bin:/bin") +
            " QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 TMPDIR=/tmp HM_OFFER_VOLUME=" +
            hmtest::shQuote(volume.mountPoint()) + " HM_OFFER_RECORD=" + hmtest::shQuote(record) +
            " HM_OFFER_DEAD=" + hmtest::shQuote(deadMount.ok() ? dead : std::string()) + " " +
            sanitizers + hmtest::shQuote(self) + " --gtest_filter=MainWindowElevationUserSide.OfferAnswers 2>&1",
        &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}
