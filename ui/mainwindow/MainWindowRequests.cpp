// Scan requests: what the Scan button, F5, a chosen source or a start-up argument asks of
// the job slot, and the folder and file choosers.
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "app/PathText.h"

#include "app/AppSettings.h"
#include "ui/dialogs/FolderChooser.h"
#include "ui/dialogs/SelectMultipleDialog.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/VolumeCombo.h"
#include "ui/header/VolumeProbe.h"
#include "ui/mainwindow/MainWindow.h"

namespace {

QString settingText(const char* key, const QString& fallback) {
    return AppSettings::instance()->settings()->value(QLatin1String(key), fallback).toString();
}

// A file from the chooser, starting in the folder stored under `key`, which then
// remembers the chosen file's folder.
QString chooseFile(QWidget* parent, const char* key, const QString& title, const QString& filter) {
    const QString start = chooserStartFolder(settingText(key, QDir::homePath()));
    const QString file = QFileDialog::getOpenFileName(parent, title, start, filter);
    if (!file.isEmpty())
        AppSettings::instance()->setValue(key, QFileInfo(file).absolutePath());
    return file;
}

}  // namespace

void MainWindow::onScanClicked() {
    if (m_header->isSelectFolderItem())
        chooseFolder();
    else if (!m_header->multipleRoots().isEmpty())
        chooseMultiple();
    else
        scanRequested();
}

void MainWindow::chooseMultiple() {
    if (m_jobThread)
        return;
    SelectMultipleDialog dialog(HeaderPanel::selectableSources(), m_jobRoots, this);
    const bool accepted = dialog.exec() == QDialog::Accepted;
    m_header->refreshSources();
    const QStringList ticked = dialog.selectedPaths();
    if (accepted && !ticked.isEmpty())
        scanMultiple(ticked);
}

void MainWindow::scanRequested() {
    if (!m_header->multipleRoots().isEmpty() && !m_jobRoots.isEmpty()) {
        scanMultiple(m_jobRoots);
        return;
    }
    if (m_header->isCsvItem()) {
        chooseCsvFile();
        return;
    }
    if (m_header->isMftItem()) {
        chooseMftFile();
        return;
    }
    const QString path = m_header->selectedPath();
    if (path.isEmpty())
        chooseFolder();
    else if (offerAdminScan({path}))
        scanFolder(path);
}

// A new source while a job runs would relabel the running job's result: source choices wait
// until the job has ended, as the disabled source list does.
void MainWindow::chooseFolder() {
    if (m_jobThread)
        return;
    QString start = m_header->selectedPath();
    start = start.isEmpty() ? QDir::homePath() : chooserStartFolder(start);
    const QString path = FolderChooser::getFolder(this, tr("Select folder to scan"), start);
    if (path.isEmpty())
        return;
    m_header->clearImportedSource();
    m_header->clearMultipleSources();
    m_jobRoots.clear();
    m_header->setChosenFolder(path);
    m_header->updateSpaceLabels(path);
    updateWindowTitle();
    if (AppSettings::instance()->settings()->value(QStringLiteral("autoScanAfterSelection"), true).toBool()
        && offerAdminScan({path}))
        scanFolder(path);
}

void MainWindow::onSourceSelected(const QString& path) {
    if (m_jobThread)
        return;
    m_header->clearImportedSource();
    m_header->clearMultipleSources();
    m_jobRoots.clear();
    m_header->updateSpaceLabels(path);
    updateWindowTitle();
    if (AppSettings::instance()->settings()->value(QStringLiteral("autoScanAfterSelection"), true).toBool()
        && offerAdminScan({path}))
        scanFolder(path);
}

void MainWindow::chooseCsvFile() {
    if (m_jobThread)
        return;
    const QString file = chooseFile(this, "csvImportLastFolder", tr("Select CSV file"),
                                    tr("Sorvale CSV files (*.csv *.tsv);;All files (*)"));
    if (!file.isEmpty())
        importCsvFile(file);
}

void MainWindow::chooseMftFile() {
    if (m_jobThread)
        return;
    const QString file =
        chooseFile(this, "mftLastFolder", tr("Select MFT file"), tr("MFT dump files (*.mft *.MFT);;All files (*)"));
    if (!file.isEmpty())
        importMftFile(file);
}

void MainWindow::scanFolder(const QString& path) {
    startJob(path, JobKind::Folder, {});
}

void MainWindow::scanMultiple(const QStringList& paths) {
    // Nested roots would count everything below the inner one twice, whichever road they
    // came by (the dialog, --multi, a restart, F5).
    if (paths.isEmpty() || SelectMultipleDialog::refuseNesting(this, paths) || !offerAdminScan(paths))
        return;
    startJob(paths.join(QStringLiteral("; ")), JobKind::Multiple, paths);
}

void MainWindow::importCsvFile(const QString& path) {
    startJob(path, JobKind::CsvImport, {});
}

void MainWindow::importMftFile(const QString& path) {
    startJob(path, JobKind::MftLoad, {});
}

void MainWindow::scanPath(const QString& path) {
    // Canonical paths are asked on watched tasks, all at once, the window answering meanwhile:
    // the path may lie on a dead mount, or be a link into one.
    const QString cleaned = QDir::cleanPath(path);
    QStringList candidates{path};
    const VolumeCombo* combo = m_header->sourceCombo();
    for (int i = 0; i < combo->count(); ++i) {
        const QString data = combo->itemData(i, Qt::UserRole).toString();
        if (data.startsWith(u'/'))
            candidates.append(data);
    }
    std::vector<std::shared_ptr<OffGuiQuestion<std::optional<PathFacts>>>> questions;
    for (const QString& candidate : candidates)
        questions.push_back(askOffGui<std::optional<PathFacts>>(
            this, [bytes = pathBytes(candidate)] { return watchedPathFacts(bytes); }, {}));
    const QPointer<MainWindow> window(this);
    const auto answered = [&] {
        return std::all_of(questions.begin(), questions.end(), [](const auto& q) { return q->answered(); });
    };
    turnEventLoopUntil(answered);
    if (!window || !answered())  // gone, or quitting meanwhile
        return;
    const auto canonicalOf = [&](int i) {
        return questions[size_t(i)]->answer().value_or(std::nullopt).value_or(PathFacts()).canonical;
    };
    const QString canonical = canonicalOf(0);
    for (int i = 1; i < candidates.size(); ++i) {
        const QString& data = candidates[i];
        if (QDir::cleanPath(data) == cleaned || (!canonical.isEmpty() && canonicalOf(i) == canonical)) {
            m_header->selectPath(data);
            scanFolder(data);
            return;
        }
    }
    m_header->setChosenFolder(path);
    scanFolder(path);
}
