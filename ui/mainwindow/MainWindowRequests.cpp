// Scan requests: what a chosen source or a start-up argument asks the job slot to do.
#include <QDir>

#include "ui/mainwindow/MainWindow.h"

void MainWindow::scanFolder(const QString& path) {
    startJob(path, JobKind::Folder, {});
}

void MainWindow::scanMultiple(const QStringList& paths) {
    if (paths.isEmpty())
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
    scanFolder(path);
}
