// What the window says about the program itself: the update banner and the answers of a
// manual update check, the donation page, and the question before every setting is reset.
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include "app/AppSettings.h"
#include "app/PlainText.h"
#include "app/UpdateChecker.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/UpdateBanner.h"

void MainWindow::connectUpdateChecker() {
    UpdateChecker* checker = UpdateChecker::instance();
    connect(m_banner->viewButton(), &QPushButton::clicked, this, &MainWindow::openUpdatePage);
    connect(m_banner->dismissButton(), &QToolButton::clicked, checker, &UpdateChecker::clear);
    connect(checker, &UpdateChecker::changed, this, &MainWindow::updateUpdateBanner);
    updateUpdateBanner();
    connect(m_header, &HeaderPanel::donateRequested, this, [this] { openUrl(donatePageUrl()); });
    connect(checker, &UpdateChecker::noUpdateFound, this, &MainWindow::reportNoUpdate);
    connect(checker, &UpdateChecker::checkFailed, this, &MainWindow::reportUpdateCheckFailed);
    if (AppSettings::instance()->saveEnabled() && qEnvironmentVariableIsEmpty("ZRT_NO_UPDATE_CHECK"))
        QTimer::singleShot(0, checker, [checker] { checker->check(false, false); });
}

void MainWindow::openUrl(const QUrl& url) {
    if (openUrlHook)
        openUrlHook(url);
    else
        QDesktopServices::openUrl(url);
}

void MainWindow::updateUpdateBanner() {
    const QString version = UpdateChecker::instance()->newerVersion();
    m_banner->viewButton()->setVisible(!version.isEmpty());
    m_banner->messageLabel()->setText(
        tr("An update is available (v%1). Click on the \"View Update\" button to learn more.").arg(version));
    m_banner->setVisible(!version.isEmpty());
}

void MainWindow::openUpdatePage() {
    openUrl(QUrl(UpdateChecker::instance()->infoUrl()));
}

void MainWindow::reportNoUpdate() {
    QMessageBox::information(this, tr("Check for Updates Now"), tr("No update found."));
}

void MainWindow::reportUpdateCheckFailed(const QString& reason) {
    showPlainWarning(this, tr("Check for Updates Now"), tr("Error checking for updates: %1").arg(reason));
}

void MainWindow::confirmResetSettings() {
    QMessageBox box(QMessageBox::Warning, tr("Reset All Settings?"),
                    tr("This clears every saved setting - window size and position, column widths and order, "
                       "split view sizes, filter and view options - back to defaults, and restarts Hollowmere. "
                       "This cannot be undone."),
                    QMessageBox::NoButton, this);
    QPushButton* cancel = box.addButton(tr("Cancel"), QMessageBox::RejectRole);
    QPushButton* reset = box.addButton(tr("Reset && Restart"), QMessageBox::DestructiveRole);
    box.setDefaultButton(cancel);
    box.exec();
    if (box.clickedButton() == reset)
        resetSettingsAndRestart(true);
}
