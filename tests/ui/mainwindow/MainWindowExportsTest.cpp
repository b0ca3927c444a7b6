// Exports from the window over real scanned folders: the CSV/TSV file and the treemap
// picture equal, byte for byte, what the headless run writes for the same tree; a name
// that gets its suffix after the save dialog asks again before replacing a file; files are
// never written through a planted link and go to the invoking user when one is named.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "program/CliAutomation.h"
#include "core/exchange/CliOptions.h"
#include "ui/dialogs/ExportCsvDialog.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/UserOutputFile.h"
#include "tests/ui/treemap/TreemapTestSupport.h"
#include "app/Elevation.h"
#include "integration/ItemPlace.h"
#include "ui/treemap/TreemapImageDialog.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/FileTypesView.h"

using shelltest::qs;
using windowtest::readAll;
using windowtest::waitUntil;

namespace {

// Answers the modal dialogs that open next, one step per dialog, in order.
class ModalAnswers {
public:
    explicit ModalAnswers(std::deque<std::function<void(QWidget*)>> steps) : m_steps(std::move(steps)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == m_last || m_steps.empty())
                return;
            m_last = modal;
            auto step = std::move(m_steps.front());
            m_steps.pop_front();
            step(modal);
        });
        m_timer.start(10);
    }
    bool allUsed() const { return m_steps.empty(); }

private:
    std::deque<std::function<void(QWidget*)>> m_steps;
    QTimer m_timer;
    QWidget* m_last = nullptr;
};

void clickButton(QWidget* box, const QString& text) {
    for (QPushButton* button : box->findChildren<QPushButton*>())
        if (button->text() == text) {
            button->click();
            return;
        }
    ADD_FAILURE() << "no button " << text.toStdString();
}

class MainWindowExports : public ::testing::Test {
protected:
    void SetUp() override {
        windowtest::clearSettings();
        AppSettings::instance()->setSaveEnabled(false);
        windowtest::makeFolder(m_scanned.path(), 4, 5);
        m_window.scanFolder(qs(m_scanned.path()));
        ASSERT_TRUE(waitUntil([&] { return !m_window.isJobRunning() && m_window.displayedTree(); }));
    }

    // The headless run over the same folder with `adjust` applied to its keys.
    void runHeadless(const std::function<void(svl::CliOptions&)>& adjust) {
        svl::CliOptions options;
        options.inputPaths = {m_scanned.path()};
        adjust(options);
        ASSERT_EQ(cliautomation::run(options), 0);
    }

    hmtest::TempDir m_scanned{"hm-export-src"};
    hmtest::TempDir m_out{"hm-export-out"};
    MainWindow m_window;
};

TEST_F(MainWindowExports, CsvAndTsvEqualTheHeadlessRun) {
    struct Case {
        const char* name;
        bool tsvChosen;
        bool dates, sizes, split;
        int maxDepth;
    };
    // The separator follows the file name, whatever the dialog's format says.
    const Case cases[] = {{"plain.csv", false, false, false, false, 0},
                          {"tabs.TSV", false, true, true, true, 0},
                          {"commas.csv", true, false, true, false, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CsvExportChoice choice;
        choice.tsvFormat = c.tsvChosen;
        // The free space of a shared disk moves between two runs.
        choice.exportOptions.exportDriveCapacity = false;
        choice.exportOptions.exportDates = c.dates;
        choice.exportOptions.exportFolderSizes = c.sizes;
        choice.exportOptions.splitFileName = c.split;
        choice.exportOptions.maxDepth = c.maxDepth;
        const std::string fromWindow = m_out / (std::string("w-") + c.name);
        ASSERT_TRUE(m_window.exportCsvTo(qs(fromWindow), choice));
        const std::string headless = m_out / (std::string("h-") + c.name);
        runHeadless([&](svl::CliOptions& o) {
            o.exportPath = headless;
            o.exportDriveCapacity = false;
            o.exportAllDates = c.dates;
            o.exportAllSizes = c.sizes;
            o.exportSplitFileName = c.split;
            o.exportMaxDepth = c.maxDepth;
        });
        const QByteArray written = readAll(fromWindow);
        EXPECT_EQ(written, readAll(headless));
        EXPECT_EQ(written.contains('\t'), std::string(c.name).ends_with(".TSV"));
        EXPECT_TRUE(written.contains("top.bbb"));
        EXPECT_EQ(written.contains("f4.aaa"), c.maxDepth == 0);
    }
}

TEST_F(MainWindowExports, DriveColumnsEqualTheHeadlessRunAndComeBackOnImport) {
    // A volume of its own, whose free space no one else moves, with a reserve for the
    // administrator that ordinary users cannot write to.
    hmtest::LoopMount volume(m_out.path(), "mkfs.ext4 -q -F -m 20", 32);
    if (!volume.ok())
        GTEST_SKIP() << volume.error();
    windowtest::makeFolder(volume.mountPoint(), 2, 2);
    m_window.scanFolder(qs(volume.mountPoint()));
    ASSERT_TRUE(waitUntil([&] { return !m_window.isJobRunning() && m_window.displayedTree(); }));
    const uint64_t headerFree = m_window.header()->spaceFree();
    ASSERT_GT(headerFree, 0u);
    CsvExportChoice choice;
    const std::string fromWindow = m_out / "drive-window.csv";
    ASSERT_TRUE(m_window.exportCsvTo(qs(fromWindow), choice));
    EXPECT_TRUE(readAll(fromWindow).contains("," + QByteArray::number(qulonglong(headerFree)) + ","));
    const std::string headless = m_out / "drive-headless.csv";
    svl::CliOptions options;
    options.inputPaths = {volume.mountPoint()};
    options.exportPath = headless;
    ASSERT_EQ(cliautomation::run(options), 0);
    EXPECT_EQ(readAll(fromWindow), readAll(headless));

    m_window.importCsvFile(qs(headless));
    ASSERT_TRUE(waitUntil([&] { return !m_window.isJobRunning(); }));
    EXPECT_EQ(m_window.header()->spaceFree(), headerFree);
}

// Roots the scan could not reach are named, not exported: the window's file has the rows of
// the headless run's, whichever of the roots is missing or does not answer.
TEST_F(MainWindowExports, UnreachedRootsAreLeftOutAsByTheHeadlessRun) {
    hmtest::TempDir roots("hm-export-roots");
    for (const char* name : {"r1", "r2"}) {
        ASSERT_EQ(::mkdir((roots / name).c_str(), 0755), 0);
        windowtest::makeFolder(roots / name, 2, 2);
    }
    std::vector<std::vector<std::string>> cases = {{"gone", "r1", "r2"}, {"gone", "r1"}};
    std::unique_ptr<hmtest::DeadFuseMount> dead;
    if (hmtest::isRoot() && ::mkdir((roots / "dead").c_str(), 0755) == 0) {
        dead = std::make_unique<hmtest::DeadFuseMount>(roots / "dead");
        if (dead->ok()) {
            dead->abortAfter(std::chrono::seconds(60));  // a scan that waits in it fails instead of hanging
            cases.push_back({"dead", "r1", "r2"});
        }
    }
    CsvExportChoice choice;
    choice.exportOptions.exportDriveCapacity = false;
    for (const auto& names : cases) {
        SCOPED_TRACE(names.front() + " " + names.back());
        QStringList paths;
        svl::CliOptions options;
        for (const std::string& name : names) {
            paths.append(qs(roots / name));
            options.inputPaths.push_back(roots / name);
        }
        m_window.scanMultiple(paths);
        ASSERT_TRUE(waitUntil([&] { return !m_window.isJobRunning() && m_window.displayedTree(); }, 20000));
        const std::string fromWindow = m_out / "w-roots.csv";
        ASSERT_TRUE(m_window.exportCsvTo(qs(fromWindow), choice));
        options.exportPath = m_out / "h-roots.csv";
        options.exportDriveCapacity = false;
        EXPECT_EQ(cliautomation::run(options), 1);
        const QByteArray written = readAll(fromWindow);
        EXPECT_EQ(written, readAll(options.exportPath));
        EXPECT_TRUE(written.contains(QByteArray::fromStdString(roots / "r1/")));
        EXPECT_FALSE(written.contains(QByteArray::fromStdString(roots / names.front()))) << written.toStdString();
    }
}

TEST_F(MainWindowExports, FileViewSourceWritesOneRowPerFile) {
    CsvExportChoice choice;
    choice.fromFileView = true;
    choice.exportOptions.exportDriveCapacity = false;
    const std::string path = m_out / "files.csv";
    ASSERT_TRUE(m_window.exportCsvTo(qs(path), choice));
    const QList<QByteArray> lines = readAll(path).trimmed().split('\n');
    // A header and the 4 x 5 + 1 files, no folder rows.
    EXPECT_EQ(lines.size(), 1 + 21);
    for (const QByteArray& line : lines.mid(1))
        EXPECT_FALSE(line.contains("\"d1\"") || line.endsWith("/d1\"")) << line.toStdString();
}

TEST_F(MainWindowExports, TreemapPictureEqualsTheHeadlessOne) {
    m_window.show();
    m_window.resize(900, 700);
    m_window.saveFileNameHook = [&](const QString& title, const QString& start, const QString&) {
        EXPECT_EQ(title, "Save Treemap Image as .png File");
        EXPECT_EQ(start, QDir::home().filePath("treemap.png"));
        return qs(m_out / "window");  // gets ".png"
    };
    ModalAnswers answers({[](QWidget* dialog) {
        auto* imageDialog = qobject_cast<TreemapImageDialog*>(dialog);
        ASSERT_NE(imageDialog, nullptr);
        imageDialog->setImageSize(320, 200);
        imageDialog->accept();
    }});
    // The command needs a treemap that the window has drawn.
    ASSERT_TRUE(waitUntil([&] { return !m_window.treemapPanel()->treemap()->image().isNull(); }));
    m_window.saveTreemapImage();
    EXPECT_TRUE(answers.allUsed());
    const std::string headless = m_out / "headless.png";
    runHeadless([&](svl::CliOptions& o) {
        o.treemapImageFile = headless;
        o.treemapImageWidth = 320;
        o.treemapImageHeight = 200;
        o.treemapImageShowAllocated = true;  // the window's default
    });
    const QByteArray picture = readAll(m_out / "window.png");
    EXPECT_TRUE(picture.startsWith("\x89PNG"));
    EXPECT_EQ(picture, readAll(headless));
}

TEST_F(MainWindowExports, FileTypesCsvEqualsTheHeadlessOne) {
    ASSERT_TRUE(waitUntil([&] { return m_window.fileTypes()->model()->rowCount() == 2; }));
    m_window.saveFileNameHook = [&](const QString& title, const QString&, const QString&) {
        EXPECT_EQ(title, "Export File Types to CSV File");
        return qs(m_out / "types.CSV");  // keeps its suffix
    };
    emit m_window.fileTypes()->exportRequested();
    const std::string headless = m_out / "types-headless.csv";
    // The view's default order is by allocated size.
    runHeadless([&](svl::CliOptions& o) {
        o.exportFileTypes = headless;
        o.sortByFileTypes = 2;
    });
    const QByteArray written = readAll(m_out / "types.CSV");
    EXPECT_TRUE(written.startsWith("Extension,File Type,"));
    EXPECT_EQ(written, readAll(headless));
}

TEST_F(MainWindowExports, SuffixedNameIsAskedAboutBeforeReplacing) {
    const std::string existing = m_out / "report.tsv";
    hmtest::writeFile(existing, "keep me");
    m_window.saveFileNameHook = [&](const QString&, const QString&, const QString&) { return qs(m_out / "report"); };
    auto chooseTsv = [](QWidget* dialog) {
        ASSERT_NE(qobject_cast<ExportCsvDialog*>(dialog), nullptr);
        for (QWidget* child : dialog->findChildren<QWidget*>())
            if (child->property("text").toString() == "Tab Separated Values (.tsv)")
                QMetaObject::invokeMethod(child, "click");
        qobject_cast<QDialog*>(dialog)->accept();
    };
    {
        ModalAnswers answers({chooseTsv, [](QWidget* box) { clickButton(box, "Cancel"); }});
        m_window.exportCsvFile();
        EXPECT_TRUE(answers.allUsed());
    }
    EXPECT_EQ(readAll(existing), "keep me");
    {
        ModalAnswers answers({chooseTsv, [](QWidget* box) { clickButton(box, "Replace"); }});
        m_window.exportCsvFile();
        EXPECT_TRUE(answers.allUsed());
    }
    const QByteArray replaced = readAll(existing);
    EXPECT_TRUE(replaced.contains('\t') && replaced.contains("top.bbb")) << replaced.left(80).toStdString();
    EXPECT_EQ(AppSettings::instance()->settings()->value("csvExportLastFolder").toString(), qs(m_out.path()));

    // The chosen folder replaced by another while the question is open: neither gets the file.
    const std::string folder = m_out / "chosen", moved = m_out / "chosen.old";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    hmtest::writeFile(folder + "/report.tsv", "keep me");
    m_window.saveFileNameHook = [&](const QString&, const QString&, const QString&) { return qs(folder + "/report"); };
    QString shown;
    {
        ModalAnswers answers({chooseTsv,
                              [&](QWidget* box) {
                                  ASSERT_EQ(::rename(folder.c_str(), moved.c_str()) | ::mkdir(folder.c_str(), 0755), 0);
                                  clickButton(box, "Replace");
                              },
                              [&](QWidget* box) {
                                  shown = qobject_cast<QMessageBox*>(box)->informativeText();
                                  clickButton(box, "OK");
                              }});
        m_window.exportCsvFile();
        EXPECT_TRUE(answers.allUsed());
    }
    EXPECT_EQ(shown, placeChangedText(qs(folder + "/report.tsv")));
    EXPECT_EQ(readAll(moved + "/report.tsv"), "keep me");
    EXPECT_EQ(hmtest::shOutput("ls -A " + hmtest::shQuote(folder)), "");
}

TEST_F(MainWindowExports, AdministratorCopyWritesNothingThroughALinkAndHandsTheUserOnlyANewFile) {
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1))
        GTEST_SKIP() << "the administrator copy's road needs root and the ordinary test account";
    const uid_t uid = hmtest::testUserUid();
    const gid_t gid = hmtest::testUserGid();
    shelltest::ScopedEnv userUid("ZRT_USER_UID", std::to_string(uid));
    shelltest::ScopedEnv userGid("ZRT_USER_GID", std::to_string(gid));
    // The invoking user's folder holds out -> rootonly, a folder only root may enter.
    const std::string shared = m_out / "shared", rootonly = m_out / "rootonly", out = shared + "/out";
    ASSERT_EQ(::mkdir(shared.c_str(), 0755) | ::mkdir(rootonly.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(rootonly.c_str(), out.c_str()) | ::lchown(out.c_str(), uid, gid), 0);
    ASSERT_EQ(::chown(shared.c_str(), uid, gid), 0);
    const std::pair<const char*, std::function<void(const std::string&)>> writers[] = {
        {"victim.csv", [&](const std::string& path) { m_window.exportCsvTo(qs(path), CsvExportChoice{}); }},
        {"victim-types.csv",
         [&](const std::string& path) {
             m_window.saveFileNameHook = [path](const QString&, const QString&, const QString&) { return qs(path); };
             m_window.exportFileTypesCsv();
         }},
        {"victim.png", [&](const std::string& path) { m_window.writeTreemapImage(qs(path), 64, 48, false, false); }},
    };
    for (const auto& [name, write] : writers) {
        SCOPED_TRACE(name);
        // What each attempt showed: empty when it wrote the file.
        const auto attempt = [&, &write = write](const std::string& path) {
            windowtest::BoxAnswerer ok(QStringLiteral("OK"));
            write(path);
            QCoreApplication::processEvents();
            return ok.text + QLatin1Char('\n') + ok.detail;
        };
        const std::string victim = rootonly + "/" + name, mine = shared + "/" + name;
        hmtest::writeFile(victim, "root's");
        ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
        // Through the linked folder, and through a link at the name itself.
        EXPECT_TRUE(attempt(out + "/" + name).contains(belowLinkText(qs(out + "/" + name))));
        ASSERT_EQ(::symlink(victim.c_str(), mine.c_str()), 0);
        EXPECT_TRUE(attempt(mine).contains(belowLinkText(qs(mine))));
        struct stat st {};
        EXPECT_EQ(readAll(victim), "root's");
        EXPECT_TRUE(::stat(victim.c_str(), &st) == 0 && st.st_uid == 0);
        // Nor is a pipe replaced, nor root's file in the user's folder taken from root.
        ASSERT_EQ(::unlink(mine.c_str()) | ::mkfifo(mine.c_str(), 0600), 0);
        EXPECT_TRUE(attempt(mine).contains("Not a regular file."));
        ASSERT_EQ(::unlink(mine.c_str()), 0);
        hmtest::writeFile(mine, "root's too");
        EXPECT_TRUE(attempt(mine).contains("belongs to another account"));
        EXPECT_EQ(readAll(mine), "root's too");
        // The user's own file is replaced, keeping its permissions, and a new one is the user's.
        ASSERT_EQ(::chown(mine.c_str(), uid, gid) | ::chmod(mine.c_str(), 0640), 0);
        EXPECT_EQ(attempt(mine), "\n");
        EXPECT_NE(readAll(mine), "root's too");
        EXPECT_EQ(attempt(shared + "/new-" + name), "\n");
        for (const std::string& path : {shared + "/new-" + name, mine}) {
            ASSERT_EQ(::stat(path.c_str(), &st), 0);
            EXPECT_TRUE(st.st_uid == uid && st.st_gid == gid) << path;
        }
        EXPECT_EQ(st.st_mode & 0777, 0640u) << "the replaced file's permissions stay";
    }
    // A folder put at the name while the file is written is named as such.
    const std::string late = shared + "/late.csv";
    const auto folderMeanwhile = [&](QIODevice& f, QString*) { return ::mkdir(late.c_str(), 0755) == 0 && f.write("a") == 1; };
    QString error;
    EXPECT_FALSE(replaceUserFile(qs(late), 0644, folderMeanwhile, &error));
    EXPECT_EQ(error, QString::fromLocal8Bit(std::strerror(EISDIR)));
    // A folder that is not there is named missing, not a link.
    EXPECT_FALSE(replaceUserFile(qs(shared + "/absent/x.csv"), 0644, folderMeanwhile, &error));
    EXPECT_EQ(error, QString::fromLocal8Bit(std::strerror(ENOENT)));
    EXPECT_EQ(hmtest::shOutput("ls -A " + hmtest::shQuote(shared) + " | grep '^[.]' || true"), "") << "no leftovers";
    // Started by root itself, the copy still leaves another account's file alone.
    ::setenv("ZRT_USER_UID", "0", 1);
    const std::string users = shared + "/victim.csv";
    EXPECT_FALSE(replaceUserFile(qs(users), 0644, folderMeanwhile, &error));
    EXPECT_TRUE(error.contains("belongs to another account")) << error.toStdString();
}

TEST_F(MainWindowExports, OrdinaryRunWritesThroughALink) {
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1))
        GTEST_SKIP() << "switching to the ordinary test account needs root";
    // A folder the account may write in, holding a link to its earlier export.
    const std::string shared = m_out / "user", target = shared + "/earlier.csv", picture = shared + "/picture.png";
    const std::string link = shared + "/latest.csv", pictureLink = shared + "/latest.png";
    hmtest::sh("chmod 755 " + hmtest::shQuote(m_out.path()) + " && mkdir -m 777 " + hmtest::shQuote(shared));
    for (const std::string& file : {target, picture}) {
        hmtest::writeFile(file, "old");
        ::chmod(file.c_str(), 0666);
    }
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()) | ::symlink(picture.c_str(), pictureLink.c_str()), 0);
    const int rc = hmtest::runAsTestUser([&] {
        ::alarm(60);  // a message box would wait for ever
        CsvExportChoice choice;
        choice.exportOptions.exportDriveCapacity = false;
        if (!m_window.exportCsvTo(qs(link), choice))
            return 1;
        const auto write = [](QIODevice& f, QString*) { return f.write("png") == 3; };
        // A folder the account may not write in is named as such.
        QString error;
        if (replaceUserFile(qs(m_out / "denied.png"), 0666, write, &error) || error != "Permission denied")
            return 3;
        return replaceUserFile(qs(pictureLink), 0666, write, nullptr) ? 0 : 2;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(readAll(target).contains("top.bbb"));
    EXPECT_EQ(readAll(picture), "png");
    EXPECT_TRUE(QFileInfo(qs(link)).isSymLink() && QFileInfo(qs(pictureLink)).isSymLink()) << "the links stay";
}

TEST_F(MainWindowExports, PictureOnAFullDiskShowsOnlyItsErrorNamingTheCause) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string full = m_out / "full";
    ASSERT_EQ(::mkdir(full.c_str(), 0755), 0);
    hmtest::Mounts mounts;
    ASSERT_TRUE(mounts.mount("-t tmpfs -o size=64k none", full));
    m_window.show();
    ASSERT_TRUE(waitUntil([&] { return !m_window.treemapPanel()->treemap()->image().isNull(); }));
    // The error stays open past the progress dialog's own show timer (4 s).
    QString shown;
    bool progressSeen = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !shown.isEmpty())
            return;
        shown = box->text();
        QTimer::singleShot(4500, box, [&, box] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                progressSeen = progressSeen || (qobject_cast<QProgressDialog*>(widget) && widget->isVisible());
            clickButton(box, "OK");
        });
    });
    watch.start(10);
    EXPECT_FALSE(m_window.writeTreemapImage(qs(full + "/t.png"), 2000, 1500, false, false));
    EXPECT_FALSE(progressSeen) << "the progress dialog came back over the error";
    EXPECT_TRUE(shown.endsWith("\n\n" + QString::fromLocal8Bit(std::strerror(ENOSPC)))) << shown.toStdString();
    EXPECT_EQ(hmtest::shOutput("ls -A " + hmtest::shQuote(full)), "") << "nothing is left behind";
    // A table on the full disk names the cause too.
    hmtest::sh("head -c 65536 /dev/zero > " + hmtest::shQuote(full + "/filler") + " 2>/dev/null || true");
    {
        windowtest::BoxAnswerer ok(QStringLiteral("OK"));
        EXPECT_FALSE(m_window.exportCsvTo(qs(full + "/t.csv"), CsvExportChoice{}));
        EXPECT_TRUE(ok.detail.contains(QString::fromLocal8Bit(std::strerror(ENOSPC)))) << ok.detail.toStdString();
    }
    EXPECT_EQ(hmtest::shOutput("ls -A " + hmtest::shQuote(full)), "filler\n") << "nothing is left behind";
}

TEST_F(MainWindowExports, LargePictureIsWrittenOnAWorkerAndCancelLeavesNoFile) {
    treemaptest::TreeBuilder builder("/big");
    constexpr int kFolders = 40, kFilesEach = 1000;
    for (int f = 0; f < kFolders; ++f)
        builder.folder(0, "folder" + std::to_string(f));
    for (int f = 0; f < kFolders; ++f)
        for (int i = 0; i < kFilesEach; ++i)
            builder.file(uint32_t(1 + f), "file" + std::to_string(i) + (i % 3 ? ".aaa" : ".bbb"), 1000 + i * 37);
    m_window.installTree(builder.finish(), false);
    m_window.show();
    ASSERT_TRUE(waitUntil([&] {
        TreemapWidget* onScreen = m_window.treemapPanel()->treemap();
        return !onScreen->buildPending() && !onScreen->image().isNull();
    }));
    constexpr int kSide = 4096;
    const auto chooseSize = [](int side) {
        return [side](QWidget* dialog) {
            auto* imageDialog = qobject_cast<TreemapImageDialog*>(dialog);
            ASSERT_NE(imageDialog, nullptr);
            imageDialog->setImageSize(side, side);
            imageDialog->accept();
        };
    };
    const std::string path = m_out / "big.png";
    m_window.saveFileNameHook = [&](const QString&, const QString&, const QString&) { return qs(path); };

    // The window keeps answering: the longest pause between the ticks of a 10 ms timer,
    // and the memory that the export takes beyond the picture's own bytes.
    const auto resident = [] {
        QFile statm(QStringLiteral("/proc/self/statm"));
        const qint64 pages = statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ').value(1).toLongLong() : 0;
        return int64_t(pages) * int64_t(::sysconf(_SC_PAGESIZE));
    };
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    const int64_t before = resident();
    int64_t peak = before;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.elapsed() - last);
        last = clock.elapsed();
        peak = std::max(peak, resident());
    });
    {
        ModalAnswers answers({chooseSize(kSide)});
        clock.start();
        tick.start(10);
        m_window.saveTreemapImage();
        longest = std::max(longest, clock.elapsed() - last);
        tick.stop();
        EXPECT_TRUE(answers.allUsed());
    }
    std::printf("export of %dx%d: %lld ms, longest pause %lld ms, memory +%lld MiB\n", kSide, kSide,
                static_cast<long long>(clock.elapsed()), static_cast<long long>(longest),
                static_cast<long long>((peak - before) >> 20));
    EXPECT_LT(longest, 500) << "the window froze";
    const int64_t pictureBytes = int64_t(kSide) * kSide * 4;
    EXPECT_LT(peak - before, 2 * pictureBytes + (32 << 20)) << "more than the picture and its layout";
    // The file holds what the synchronous render draws.
    const QImage written(qs(path));
    const QImage expected = m_window.renderTreemapImage(kSide, kSide, false, false);
    ASSERT_FALSE(written.isNull());
    EXPECT_TRUE(written.convertToFormat(QImage::Format_RGB32) == expected.convertToFormat(QImage::Format_RGB32));

    // Cancelled over an earlier file: that file stays whole and nothing else is left.
    hmtest::writeFile(path, "earlier");
    {
        ModalAnswers answers({chooseSize(8192), [](QWidget* progress) { clickButton(progress, "Cancel"); }});
        m_window.saveTreemapImage();
        EXPECT_TRUE(answers.allUsed());
    }
    EXPECT_EQ(readAll(path), "earlier");
    EXPECT_EQ(QDir(qs(m_out.path())).entryList(QDir::Files | QDir::Hidden), QStringList{"big.png"});
}

}  // namespace
