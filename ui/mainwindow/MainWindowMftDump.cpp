// "Dump MFT File": the master file table of the NTFS volume the header shows, copied into a
// .mft file that a later import reads without the disk. The copy runs on a worker thread
// while this thread keeps a modal progress dialog alive; it uses neither the job slot nor
// the trees.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/Elevator.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "core/rawindex/RawEligibility.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/VolumeProbe.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/UserOutputFile.h"

namespace {

std::string utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

// The device and free bytes of the NTFS volume mounted at `path`, asked on a watched task;
// nothing for any other path and for one on a mount that does not answer.
struct NtfsVolume {
    std::string device;
    uint64_t freeBytes = 0;
};
using NtfsAnswer = std::optional<NtfsVolume>;
std::function<NtfsAnswer()> ntfsQuestion(const QString& path) {
    return [local = pathBytes(path)]() -> NtfsAnswer {
        return watchedOnPathMount(local, [&]() -> NtfsAnswer {
                   NtfsVolume volume;
                   if (!svl::isNtfsVolume(local, &volume.device, &volume.freeBytes))
                       return std::nullopt;
                   return volume;
               })
            .value_or(std::nullopt);
    };
}

}  // namespace

void MainWindow::dumpMftCommand() {
    const QString path = m_header->selectedPath();
    // The answer comes back to this thread; the window answers meanwhile.
    auto question = std::make_shared<std::shared_ptr<OffGuiQuestion<NtfsAnswer>>>();
    *question = askOffGui<NtfsAnswer>(this, ntfsQuestion(path), [this, question, path] {
        const bool ntfs = (*question)->answer().value_or(std::nullopt).has_value();
        question->reset();
        if (!ntfs) {
            QMessageBox::information(this, tr("Dump MFT File"),
                                     tr("Select an NTFS volume first: its Master File Table is what gets dumped."));
            return;
        }
        // Reading the volume needs administrator rights: without them a new copy does the dump.
        if (offersElevated())
            dumpMft(path);
        else
            m_elevator->restartAsAdministrator(path, true, {});
    });
}

void MainWindow::dumpMft(const QString& volumePath) {
    const QString title = tr("Dump MFT File");
    QString name = QFileInfo(volumePath).fileName();
    if (name.isEmpty())
        name = QStringLiteral("volume");  // a mount point such as "/"
    const QString folder =
        AppSettings::instance()->settings()->value(QStringLiteral("mftLastFolder"), QDir::homePath()).toString();
    const QString file = askSaveFileName(title, QDir(folder).filePath(name + QStringLiteral(".mft")),
                                         tr("MFT dump files (*.mft)"), QStringLiteral("mft"), false);
    if (file.isEmpty())
        return;
    AppSettings::instance()->setValue("mftLastFolder", QFileInfo(file).absolutePath());
    const svl::MftDumpResult result = dumpMftTo(volumePath, file);
    if (result.done)
        showPlainInformation(this, title, tr("MFT data dumped to file %1").arg(isolatePath(file)));
    else if (!result.cancelled)
        showPlainWarning(this, title, tr("Couldn't dump the MFT: %1").arg(QString::fromStdString(result.error)));
}

svl::MftDumpResult MainWindow::dumpMftTo(const QString& volumePath, const QString& filePath) {
    svl::MftDumpResult result;
    const NtfsAnswer volume = awaitOffGui<NtfsAnswer>(ntfsQuestion(volumePath)).value_or(std::nullopt);
    if (!volume) {
        result.error = utf8(tr("%1 is not an NTFS volume").arg(isolatePath(volumePath)));
        return result;
    }
    const std::string device = volume->device;
    const uint64_t freeBytes = volume->freeBytes;
    const std::string dumpPath = QFile::encodeName(filePath).toStdString();
    // Readable by its owner only: it holds the contents of other users' small files.
    UserOutputFile out;
    QString failure;
    if (!out.create(filePath, 0600, false, takeChosenOutputFolder(), &failure)) {
        result.error = utf8(failure);
        return result;
    }
    const svl::MftDumpOutput output{[&out](std::string*) { return out.release(); },
                                    [&out](std::string* error) {
                                        QString reason;
                                        if (out.commit(&reason))
                                            return true;
                                        *error = utf8(reason);
                                        return false;
                                    },
                                    [&out] { out.discard(); }};

    QProgressDialog dialog(tr("Dumping MFT file, please wait..."), tr("Cancel"), 0, 1000, this);
    dialog.setObjectName(QStringLiteral("mftDumpProgress"));
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setMinimumDuration(0);
    dialog.setValue(0);

    std::atomic<bool> cancel{false};
    std::atomic<int> progress{0};
    std::atomic<bool> finished{false};
    QThread* worker = QThread::create([&] {
        result = svl::dumpMft(
            device, dumpPath, freeBytes, &cancel, [&progress](double fraction) { progress.store(int(fraction * 1000)); },
            &output);
        finished.store(true);
    });
    worker->start();
    while (!finished.load()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        dialog.setValue(progress.load());
        if (dialog.wasCanceled())
            cancel.store(true);
        QThread::msleep(20);
    }
    worker->wait();
    delete worker;
    dialog.reset();
    dialog.close();
    return result;
}

void MainWindow::updateDumpMftAction() {
    if (!m_dumpMftAction)
        return;
    const bool importedOrSeveral = !m_header->multipleRoots().isEmpty() || !m_header->importedFile().isEmpty();
    // Disabled until the volume answered that it is NTFS.
    m_dumpMftAction->setEnabled(false);
    m_dumpMftQuestion.reset();
    if (importedOrSeveral)
        return;
    auto holder = std::make_shared<std::shared_ptr<OffGuiQuestion<NtfsAnswer>>>();
    const auto take = [this, holder] {
        if (m_dumpMftQuestion != holder || !*holder)
            return;  // a later look asks now
        m_dumpMftAction->setEnabled((*holder)->answer().value_or(std::nullopt).has_value());
        holder->reset();
        m_dumpMftQuestion.reset();
    };
    *holder = askOffGui<NtfsAnswer>(this, ntfsQuestion(m_header->selectedPath()), take);
    m_dumpMftQuestion = holder;
    if ((*holder)->waitUntil(std::chrono::steady_clock::now() + kAnswerGrace))
        take();
}
