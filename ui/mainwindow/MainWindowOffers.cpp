// The start-up offers (portable copy, application-menu launcher, file-manager entries) and
// the desktop-integration commands of the File and Options menus.
#include "ui/mainwindow/MainWindow.h"

#include "app/AppSettings.h"
#include "app/Elevation.h"
#include "app/PlainText.h"
#include "app/PortableMode.h"
#include "integration/ApplicationMenuEntry.h"
#include "integration/FileManagerMenu.h"
#include "integration/NautilusPython.h"
#include "integration/ProgramLocation.h"

#include <QAction>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>

namespace {

constexpr const char* kMenuEntryAsked = "menuEntryAsked";
constexpr const char* kFileManagerMenuDecided = "fileManagerMenuDecided";
const QString kIconResource = QStringLiteral(":/sorvale.png");
constexpr int kInstallOutputTail = 800;

bool setting(const char* key) {
    return AppSettings::instance()->settings()->value(QLatin1String(key), false).toBool();
}

void setSetting(const char* key) {
    AppSettings::instance()->setValue(key, true);
}

}  // namespace

bool MainWindow::offersElevated() const {
    return elevatedHook ? elevatedHook() : isElevated();
}

// An AppImage in a fixed place, run by the user: the only copy that gets a launcher.
bool MainWindow::launcherApplies() const {
    return !appImagePath().isEmpty() && !offersElevated() && !isPortable() && !isOnRemovableDrive();
}

void MainWindow::createIntegrationActions() {
    m_preparePortableAction = new QAction(tr("Prepare This Copy for Portable Use…"), this);
    connect(m_preparePortableAction, &QAction::triggered, this, &MainWindow::preparePortableCopy);
    m_addToMenuAction = new QAction(tr("Add to Application Menu"), this);
    connect(m_addToMenuAction, &QAction::triggered, this, &MainWindow::addToApplicationMenu);
    m_removeFromMenuAction = new QAction(tr("Remove from Application Menu"), this);
    connect(m_removeFromMenuAction, &QAction::triggered, this, &MainWindow::removeFromApplicationMenu);
    m_fileManagerMenuAction = new QAction(tr("File Manager Context Menu"), this);
    m_fileManagerMenuAction->setCheckable(true);
    m_fileManagerMenuAction->setChecked(fileManagerMenuInstalled());
    connect(m_fileManagerMenuAction, &QAction::triggered, this, &MainWindow::setFileManagerMenu);
    m_nautilusPythonAction = new QAction(tr("Add Menu Entry for Empty Space in Files..."), this);
    connect(m_nautilusPythonAction, &QAction::triggered, this, &MainWindow::installNautilusPythonSupport);
    updateApplicationMenuActions();
    updateNautilusPythonAction();
}

void MainWindow::showInformation(const QString& text) {
    showPlainInformation(this, QString(), text);
}

void MainWindow::offerPortableUse() {
    if (offersElevated() || isPortable() || !isOnRemovableDrive())
        return;
    // No answer is kept: a declined offer comes again at the next start.
    if (askConfirmation(tr("Prepare This Copy for Portable Use?"),
                        tr("Hollowmere is running from a removable drive. Preparing this copy keeps its settings on "
                           "the drive itself, so they go with it to any computer you plug it into.\n\nYou can do this "
                           "later from File → Prepare This Copy for Portable Use."),
                        tr("Prepare"), tr("Cancel")))
        preparePortableCopy();
}

void MainWindow::preparePortableCopy() {
    if (createPortableDataFolder() && AppSettings::instance()->moveToFile(portableSettingsPath())) {
        m_preparePortableAction->setVisible(false);
        return;
    }
    showError(tr("Couldn't Prepare This Copy"),
              tr("A \"Hollowmere Data\" folder couldn't be created next to Hollowmere. Is the drive read-only?"));
}

void MainWindow::updateApplicationMenuActions() {
    const bool elevated = offersElevated();
    m_preparePortableAction->setVisible(!elevated && !isPortable() && isOnRemovableDrive());
    // An administrator copy would write the entries into root's own folders.
    m_fileManagerMenuAction->setVisible(!elevated);
    const bool applies = launcherApplies();
    m_addToMenuAction->setVisible(applies && !menuEntryPointsHere());
    m_removeFromMenuAction->setVisible(applies && menuEntryIsOurs());
}

void MainWindow::offerMenuEntry() {
    updateApplicationMenuActions();
    if (launcherApplies() && refreshMenuEntry())
        updateApplicationMenuActions();
    // Asked once, whatever the answer; never over another program's launcher.
    if (!m_addToMenuAction->isVisible() || setting(kMenuEntryAsked) || menuEntryIsForeign())
        return;
    setSetting(kMenuEntryAsked);
    if (askConfirmation(tr("Add Hollowmere to the application menu?"),
                        tr("This lets you start Hollowmere from the list of applications, like any other program. "
                           "The entry points to this file, so keep it where it is.\n\nYou can add or remove the entry "
                           "later from File → Add to Application Menu."),
                        tr("Add"), tr("Cancel")))
        addToApplicationMenu();
}

void MainWindow::addToApplicationMenu() {
    QString error;
    if (!createMenuEntry(&error, kIconResource)) {
        showError(tr("Couldn't Add to Application Menu"), error);
        return;
    }
    updateApplicationMenuActions();
    showInformation(tr("Hollowmere was added to the application menu."));
}

void MainWindow::removeFromApplicationMenu() {
    QString error;
    if (!removeMenuEntry(&error)) {
        showError(tr("Couldn't Remove from Application Menu"), error);
        return;
    }
    updateApplicationMenuActions();
    showInformation(tr("Hollowmere was removed from the application menu."));
}

void MainWindow::offerFileManagerMenu() {
    if (!m_fileManagerMenuAction || offersElevated())
        return;
    refreshFileManagerMenu();
    updateNautilusPythonAction();
    if (!setting(kFileManagerMenuDecided) && !fileManagerMenuInstalled() && isSystemInstall()) {
        setSetting(kFileManagerMenuDecided);
        installFileManagerMenu(nullptr);  // silent at start-up
    }
    m_fileManagerMenuAction->setChecked(fileManagerMenuInstalled());
}

void MainWindow::setFileManagerMenu(bool on) {
    QString error;
    const bool done = on ? installFileManagerMenu(&error) : removeFileManagerMenu(&error);
    if (!done) {
        showError(tr("Failed to update file manager context menu"),
                  error == QStringLiteral("No supported file manager was found")
                      ? tr("No supported file manager was found. Nautilus, Dolphin, Nemo, Thunar and Caja are "
                           "supported.")
                      : error);
    }
    if (on || !done)
        setSetting(kFileManagerMenuDecided);
    m_fileManagerMenuAction->setChecked(fileManagerMenuInstalled());
}

void MainWindow::updateNautilusPythonAction() {
    m_nautilusPythonAction->setVisible(!offersElevated() && nautilusPythonMissing() &&
                                       nautilusPythonInstallCommand().has_value());
}

void MainWindow::installNautilusPythonSupport() {
    if (const std::optional<NautilusPythonInstall> install = nautilusPythonInstallCommand())
        runNautilusPythonInstall(*install);
}

void MainWindow::runNautilusPythonInstall(const NautilusPythonInstall& install) {
    if (m_installProcess || install.command.isEmpty())
        return;
    if (!askConfirmation(tr("To add Hollowmere to the menu you get by right-clicking empty space in Files, the package "
                            "\"%1\" has to be installed.")
                             .arg(install.package),
                         tr("You will be asked for your administrator password."), tr("Install"), tr("Cancel")))
        return;
    m_installPackage = install.package;
    m_installProcess = new QProcess(this);
    m_installProcess->setProcessChannelMode(QProcess::MergedChannels);
    m_installProgress = new QProgressDialog(tr("Installing %1...").arg(install.package), QString(), 0, 0, this);
    m_installProgress->setWindowModality(Qt::WindowModal);
    m_installProgress->setMinimumDuration(0);
    m_installProgress->show();
    connect(m_installProcess, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus status) { finishNautilusPythonInstall(exitCode, int(status)); });
    connect(m_installProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finishNautilusPythonInstall(127, int(QProcess::NormalExit));
    });
    m_installProcess->start(install.command.first(), install.command.mid(1));
}

void MainWindow::finishNautilusPythonInstall(int exitCode, int exitStatus) {
    if (!m_installProcess)
        return;
    const QString output = QString::fromLocal8Bit(m_installProcess->readAll()).trimmed();
    m_installProgress->close();
    m_installProgress->deleteLater();
    m_installProcess->deleteLater();
    m_installProgress = nullptr;
    m_installProcess = nullptr;
    const QString package = m_installPackage;
    const bool normal = exitStatus == int(QProcess::NormalExit);
    if (normal && (exitCode == 126 || exitCode == 127))
        return;  // the password was refused or the program did not start
    if (!normal || exitCode != 0) {
        showError(tr("Failed to install %1").arg(package),
                  output.size() > kInstallOutputTail ? output.right(kInstallOutputTail) : output);
        return;
    }
    setSetting(kFileManagerMenuDecided);
    QString error;
    if (!installFileManagerMenu(&error)) {
        showError(tr("Failed to update file manager context menu"), error);
        return;
    }
    m_fileManagerMenuAction->setChecked(fileManagerMenuInstalled());
    updateNautilusPythonAction();
    if (askConfirmation(tr("%1 is installed. Files has to be restarted before the new menu entry shows up.").arg(package),
                        QString(), tr("Restart Files"), tr("Cancel")))
        QProcess::startDetached(QStringLiteral("nautilus"), {QStringLiteral("-q")});
}
