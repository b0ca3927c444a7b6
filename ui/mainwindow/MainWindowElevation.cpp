// Administrator rights from the window: the restart as administrator and back, the offer
// of the faster administrator scan before a normal scan, and the Elevator's notices.
#include "ui/mainwindow/MainWindow.h"

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/Elevator.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "core/rawindex/RawEligibility.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/VolumeProbe.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int kQuitAfterReadyMs = 250;

bool boolSetting(const char* key) {
    return AppSettings::instance()->settings()->value(QLatin1String(key), true).toBool();
}

}  // namespace

void MainWindow::createElevation() {
    m_elevator = new Elevator(this);
    connect(m_elevator, &Elevator::ready, this,
            [this] { QTimer::singleShot(kQuitAfterReadyMs, this, &MainWindow::quitApplication); });
    connect(m_elevator, &Elevator::failed, this, &MainWindow::reportRestartFailed);
    connect(m_elevator, &Elevator::manualNeeded, this, &MainWindow::showAdministratorAccessHelp);
    connect(m_header, &HeaderPanel::scanAsAdminRequested, this, &MainWindow::restartAsAdministrator);
    connect(m_header, &HeaderPanel::scanAsNonAdminRequested, this, &MainWindow::restartAsUser);
    m_restartElevationAction = new QAction(this);
    connect(m_restartElevationAction, &QAction::triggered, this, [this] {
        if (offersElevated())
            restartAsUser();
        else
            restartAsAdministrator();
    });
    updateRestartElevationAction();
}

void MainWindow::updateRestartElevationAction() {
    m_restartElevationAction->setText(offersElevated() ? tr("Restart without Administrator")
                                                       : tr("Restart as Administrator…"));
}

void MainWindow::restartAsAdministrator() {
    m_elevator->restartAsAdministrator(QString(), false, {});
}

void MainWindow::restartAsUser() {
    m_elevator->restartAsUser();
}

void MainWindow::reportRestartFailed(const QString& message) {
    showPlainWarning(this, tr("Couldn't Restart"), message);
}

void MainWindow::showAdministratorAccessHelp(const QString& command) {
    QMessageBox box(QMessageBox::Information, tr("Administrator Access"),
                    tr("Hollowmere couldn't find a tool to ask for the administrator password (pkexec or sudo).\n\n"
                       "To scan with full access, close this window and run this command in a terminal:"),
                    QMessageBox::NoButton, this);
    box.setObjectName(QStringLiteral("administratorAccessBox"));
    box.setInformativeText(QStringLiteral("<tt>%1</tt>").arg(command.toHtmlEscaped()));
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPushButton* copy = box.addButton(tr("Copy Command"), QMessageBox::ActionRole);
    box.addButton(tr("OK"), QMessageBox::AcceptRole);
    box.exec();
    if (box.clickedButton() == copy)
        QApplication::clipboard()->setText(command);
}

bool MainWindow::offerAdminScan(const QStringList& paths) {
    if (offersElevated() || !boolSetting("askAboutAdminScan") || !boolSetting("fastDiskScan"))
        return true;
    // Asked on watched tasks, all paths at once, the window answering meanwhile: a path on a
    // mount that does not answer gets no offer.
    struct RawFacts {
        bool needsAdmin = false;
        std::string kind;
    };
    std::vector<std::shared_ptr<OffGuiQuestion<std::optional<RawFacts>>>> questions;
    for (const QString& candidate : paths)
        questions.push_back(askOffGui<std::optional<RawFacts>>(this, [local = pathBytes(candidate)] {
            return watchedOnPathMount(local, [&] {
                const bool needsAdmin = svl::rawScanNeedsAdmin(local);
                return RawFacts{needsAdmin, needsAdmin ? svl::rawScanKind(local) : std::string()};
            });
        }, {}));
    const auto allAnswered = [&] {
        for (const auto& question : questions)
            if (!question->answered())
                return false;
        return true;
    };
    const QPointer<MainWindow> window(this);
    turnEventLoopUntil(allAnswered);
    if (!window || !allAnswered())  // gone, or quitting meanwhile
        return false;
    QString path;
    QString kind;
    for (int i = 0; i < paths.size(); ++i) {
        const RawFacts facts = questions[size_t(i)]->answer().value_or(std::nullopt).value_or(RawFacts());
        if (facts.needsAdmin) {
            path = paths[i];
            kind = QString::fromStdString(facts.kind);
            break;
        }
    }
    if (path.isEmpty())
        return true;
    const QString first = kind.isEmpty()
                              ? tr("%1 is on a drive whose file list can be read directly.").arg(isolatePath(path))
                                         : tr("%1 is on a drive formatted as %2.").arg(isolatePath(path), kind);
    QMessageBox box(QMessageBox::Question, tr("Scan This Disk Faster?"),
                    first + "\n\n"
                        + tr("Scanning as Administrator reads the drive's file list directly, which is many times "
                             "faster than scanning it normally. It needs administrator rights: you will be asked for "
                             "your password."),
                    QMessageBox::NoButton, this);
    box.setObjectName(QStringLiteral("adminScanDialog"));
    QPushButton* fast = box.addButton(tr("Scan as Administrator (fast)"), QMessageBox::AcceptRole);
    QPushButton* normal = box.addButton(tr("Scan Normally (slower)"), QMessageBox::RejectRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(fast);
    box.setEscapeButton(cancel);
    auto* dontAsk = new QCheckBox(tr("Don't show this message again"), &box);
    box.setCheckBox(dontAsk);
    setPlainText(box);
    box.exec();
    const QAbstractButton* clicked = box.clickedButton();
    if ((clicked == fast || clicked == normal) && dontAsk->isChecked())
        AppSettings::instance()->setValue("askAboutAdminScan", false);
    if (clicked == fast) {
        if (paths.size() == 1)
            m_elevator->restartAsAdministrator(path, false, {});
        else
            m_elevator->restartAsAdministrator(QString(), false, paths);
        return false;
    }
    return clicked == normal;
}
