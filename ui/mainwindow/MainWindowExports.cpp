// The exports the user starts from the window: the displayed tree as CSV or TSV, and the
// treemap as a PNG picture, drawn and written on a worker. They go through the same
// writers as the headless run, so a file written here equals the one the command line
// writes for the same tree.
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/PlainText.h"
#include "app/ValueFormat.h"
#include "core/exchange/CsvExport.h"
#include "core/tree/ScanTree.h"
#include "ui/dialogs/ExportCsvDialog.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/VolumeProbe.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/mainwindow/UserOutputFile.h"
#include "ui/mainwindow/WaitCursor.h"
#include "ui/treemap/TreemapImageDialog.h"
#include "ui/treemap/TreemapImageRender.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/FileTypesView.h"

namespace {

// Quick pictures finish before a progress dialog would flash up.
constexpr int kProgressDelayMs = 300;

QVariant setting(const char* key, const QVariant& fallback) {
    return AppSettings::instance()->settings()->value(QLatin1String(key), fallback);
}

// A failure message with the reason, when there is one, as a paragraph of its own.
QString withReason(const QString& text, const QString& reason) {
    return reason.isEmpty() ? text : text + QStringLiteral("\n\n") + reason;
}

}  // namespace

QString MainWindow::askSaveFileName(const QString& title, const QString& start, const QString& filter,
                                    const QString& extension, bool onlyWithoutSuffix)
{
    // The dialog opens in the proposal's folder: one on a dead mount gives way to the home folder.
    const QFileInfo proposal(start);
    const QString folder = chooserStartFolder(proposal.path());
    const QString opening = folder == proposal.path() ? start : QDir(folder).filePath(proposal.fileName());
    const QString chosen = saveFileNameHook ? saveFileNameHook(title, opening, filter)
                                            : QFileDialog::getSaveFileName(this, title, opening, filter);
    if (chosen.isEmpty())
        return {};
    // The folder as it is now, before any further question: the write must land in this one.
    m_chosenOutputFolder = chosenOutputFolder(chosen);
    const bool append = onlyWithoutSuffix ? QFileInfo(chosen).suffix().isEmpty()
                                          : !chosen.endsWith(QLatin1Char('.') + extension, Qt::CaseInsensitive);
    if (!append)
        return chosen;
    const QString path = chosen + QLatin1Char('.') + extension;
    // The dialog asked about the name as typed; the name with the suffix may be another
    // file that is there already.
    const QFileInfo info(path);
    if ((info.exists() || info.isSymLink()) &&
        !askConfirmation(tr("%1 already exists.").arg(isolateText(info.fileName())), tr("Do you want to replace it?"),
                         tr("Replace"), tr("Cancel")))
        return {};
    return path;
}

void MainWindow::exportCsvFile()
{
    if (!m_displayedTree || m_displayedTree->nodeCount == 0) {
        showError(tr("There's nothing to export."), QString());
        return;
    }
    const bool hasSelection = !collectSelection(false, true).isEmpty();
    const bool fileViewCurrent = m_tabs && m_tabs->currentIndex() == 1;
    ExportCsvDialog dialog(this, hasSelection, fileViewCurrent);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const CsvExportChoice choice = dialog.options();
    const QString extension = choice.tsvFormat ? QStringLiteral("tsv") : QStringLiteral("csv");
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString folder = setting("csvExportLastFolder", documents).toString();
    const QString name = QStringLiteral("Sorvale_%1.%2")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss")), extension);
    const QString path = askSaveFileName(tr("Export to CSV File"), QDir(folder).filePath(name),
                                         tr("CSV files (*.csv);;TSV files (*.tsv)"), extension, true);
    if (path.isEmpty())
        return;
    AppSettings::instance()->setValue("csvExportLastFolder", QFileInfo(path).absolutePath());
    exportCsvTo(path, choice);
}

bool MainWindow::exportCsvTo(const QString& path, const CsvExportChoice& choice)
{
    if (!m_displayedTree || m_displayedTree->nodeCount == 0)
        return false;
    const svl::ScanTree& tree = *m_displayedTree;
    std::vector<uint32_t> ids;
    bool listedOnly = false;
    if (choice.selectedOnly) {
        for (const SelectedItem& item : collectSelection(false, true))
            ids.push_back(item.id);
    } else if (choice.fromFileView) {
        for (uint32_t id = 0; id < tree.nodeCount; ++id) {
            const uint16_t flags = tree.node(id).flags;
            if (!(flags & (svl::NodeFlag::Folder | svl::NodeFlag::Removed)))
                ids.push_back(id);
        }
        listedOnly = true;
    } else {
        ids.push_back(0);
    }
    svl::CsvExportOptions options = choice.exportOptions;
    options.tabSeparated = path.endsWith(QLatin1String(".tsv"), Qt::CaseInsensitive);
    options.folderNewestModified = setting("showMaxModifiedDate", true).toBool();

    WaitCursor wait;
    QString failure;
    UserOutputFile out;
    bool written = out.create(path, 0666, true, takeChosenOutputFolder(), &failure);
    if (written) {
        std::string error;
        try {
            // The writer reopens the new file through its descriptor.
            written = svl::exportCsv(tree, ids, listedOnly, options, m_header->spaceTotal(), m_header->spaceFree(),
                                     QFile::encodeName(out.descriptorPath()).toStdString(), &error);
        } catch (const std::bad_alloc&) {
            error = "Out of memory.";
        }
        if (!written)
            failure = translateCoreMessage(error);
    }
    if (written)
        written = out.commit(&failure);
    if (!written)
        showError(tr("Couldn't Export"), failure);
    return written;
}

void MainWindow::saveTreemapImage()
{
    const QString title = tr("Save Treemap Image as .png File");
    TreemapWidget* onScreen = m_treemapPanel ? m_treemapPanel->treemap() : nullptr;
    if (!m_displayedTree || !onScreen || onScreen->image().isNull()) {
        QMessageBox::information(this, title, tr("Scan something first - there is no treemap to save yet."));
        return;
    }
    TreemapImageDialog dialog(setting("showTreemapFreeSpace", false).toBool(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    dialog.saveSettings();
    const QString path = askSaveFileName(title, QDir::home().filePath(QStringLiteral("treemap.png")),
                                         tr("PNG image (*.png)"), QStringLiteral("png"), false);
    if (path.isEmpty())
        return;
    writeTreemapImage(path, dialog.imageWidth(), dialog.imageHeight(), dialog.shadesOfGray(), dialog.showFreeSpace());
}

TreemapImageRequest MainWindow::treemapImageRequest(int width, int height, bool gray, bool freeSpace) const
{
    TreemapImageRequest request;
    request.width = width;
    request.height = height;
    request.capacity = m_header->spaceTotal();
    request.freeBytes = m_header->spaceFree();
    request.allocated = setting("showTreemapAllocated", true).toBool();
    request.freeSpace = freeSpace;
    request.gray = gray;
    if (TreemapWidget* onScreen = m_treemapPanel ? m_treemapPanel->treemap() : nullptr)
        request.zoomRoot = onScreen->zoomRoot();
    return request;
}

QImage MainWindow::renderTreemapImage(int width, int height, bool gray, bool freeSpace)
{
    return ::renderTreemapImage(m_displayedTree, treemapImageRequest(width, height, gray, freeSpace));
}

bool MainWindow::writeTreemapImage(const QString& path, int width, int height, bool gray, bool freeSpace)
{
    const auto paint = TreemapWidget::exportPainter(m_displayedTree, treemapImageRequest(width, height, gray, freeSpace));
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    auto saved = std::make_shared<bool>(false);
    auto failure = std::make_shared<QString>();
    QThread* worker = QThread::create([paint, cancel, saved, failure, path, chosen = takeChosenOutputFolder()] {
        const QImage image = paint(*cancel);
        if (image.isNull() || cancel->load())
            return;
        *saved = replaceUserFile(
            path, 0666,
            [&](QIODevice& file, QString* reason) { return writeTreemapPng(image, file, *cancel, reason); },
            failure.get(), chosen);
    });

    {
        // Gone before any message below: the dialog's own timer would otherwise show it a few
        // seconds later over that message, with no save left to wait for.
        QProgressDialog progress(tr("Saving the treemap image…"), tr("Cancel"), 0, 0, this);
        progress.setWindowTitle(tr("Save Treemap Image as .png File"));
        progress.setWindowModality(Qt::WindowModal);
        connect(&progress, &QProgressDialog::canceled, this, [cancel] { cancel->store(true); });
        QEventLoop loop;
        connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
        startTreeReader(worker);
        QTimer::singleShot(kProgressDelayMs, &progress, &QProgressDialog::show);
        loop.exec();
    }
    // A cancel that came after the rename leaves the finished file.
    const bool done = *saved;
    if (!done && !cancel->load())
        showPlainWarning(this, tr("Couldn't Export"),
                         withReason(tr("Couldn't write the PNG file: %1").arg(isolatePath(path)), *failure));
    return done;
}

void MainWindow::exportFileTypesCsv()
{
    const QString title = tr("Export File Types to CSV File");
    if (!m_displayedTree) {
        QMessageBox::information(this, title, tr("Scan something first."));
        return;
    }
    const QString path = askSaveFileName(title, QDir::home().filePath(QStringLiteral("filetypes.csv")),
                                         tr("CSV file (*.csv)"), QStringLiteral("csv"), false);
    if (path.isEmpty())
        return;
    QString failure;
    UserOutputFile out;
    // The view writes the rows in its own order, reopening the new file by its descriptor.
    const bool written = out.create(path, 0666, true, takeChosenOutputFolder(), &failure) &&
                         m_fileTypes->exportCsv(out.descriptorPath(), &failure) && out.commit(&failure);
    if (!written)
        showPlainWarning(this, tr("Couldn't Export"),
                         withReason(tr("Couldn't write the CSV file: %1").arg(isolatePath(path)), failure));
}
