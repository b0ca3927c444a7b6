// Window commands over trees of millions of nodes, driven on the real window offscreen.
// m1 (one folder of 1,000,000 files), t1m (1,000 folders of 1,000 files) and m3 (3,000
// folders of 1,000 files) are made as files (on a tmpfs mount when run as root) and
// scanned; s1 (one folder of 1,000,000 names sharing a 21-byte start) is built in memory.
// For each it prints the longest gap of the GUI event loop while the command runs and the
// window settles: Expand All, then Reset Tree Expansion; expanding the largest file-group
// row (until its rows are in); sorting by every column; the File View with Max files ALL
// laying out its rows once they are in (listAll), then Ctrl+A there; the time until the
// Move to Trash question shows for that selection and the longest gap until then; building
// the drag data of the selection; for s1 the first expansion by name and re-sorting it. A
// second table has the Tree View after Expand All with the largest file-group row open, as a
// user has it: Ctrl+A there (until the treemap and the status bar have the selection), then
// the time until the Move to Trash and the Delete Immediately questions show and until a
// drag of the selected rows starts, each with the longest gap until then. Questions need trees on disk. Goal: no gap over 300 ms.
// A third table has removals, confirmed: r40k selects the 40,000 files of one folder, r1m a
// folder of 1,000,000 files; each is deleted immediately, made again and removed by `rm -rf`,
// and, made again, moved to the Trash. It gives the longest gap from the command until the
// items are gone from disk and the window settled, the milliseconds from the answered question
// until they were gone (beside those of rm -rf on the same files) and the message boxes that
// came. As root it runs on a tmpfs and again on an ext4 loop mount.
//
// --in-memory builds every tree in memory (quicker to start; no questions or removals measured).
// --no-monitor turns live monitoring off, which otherwise checks every removed entry as it goes.
// --no-ext4 skips the ext4 loop mount.
//
//   bench_tree_window_bench [--trees m1,t1m,m3,s1,r40k,r1m] [--threads N] [--in-memory] [--no-monitor] [--no-ext4]
#include "BenchAppSupport.h"

#include "app/ValueFormat.h"

#include "core/analysis/Parallel.h"
#include "core/tree/ScanTree.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/NodeModel.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QComboBox>
#include <QDrag>
#include <QLabel>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeView>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::msBetween;
using bench::StallMeter;
using bench::turnUntil;

enum class Names { Plain, SharedStart };

// A root over `folders` folders of `filesEach` files each; with no folders the root holds
// the files itself. Names are handed out in a scrambled order so that no list arrives sorted.
std::shared_ptr<svl::ScanTree> makeTree(uint32_t folders, uint32_t filesEach, Names names) {
    auto tree = std::make_shared<svl::ScanTree>();
    const uint32_t root = tree->allocateNodes(1);
    tree->nodes[root] = svl::ScanNode{};
    tree->nodes[root].name = tree->storeName("/bench");
    tree->nodes[root].nameLength = 6;
    tree->nodes[root].flags = svl::NodeFlag::Folder;
    char text[96];
    const auto fill = [&](uint32_t parent, uint32_t count, bool folder, uint64_t& serial) {
        const uint32_t first = tree->allocateNodes(count);
        tree->nodes[parent].firstChild = first;
        tree->nodes[parent].childCount = count;
        for (uint32_t i = 0; i < count; ++i, ++serial) {
            const uint64_t key = (serial * 2654435761u) % 4294967291u;
            int length;
            if (folder) {
                length = std::snprintf(text, sizeof text, "folder %05u", i);
            } else if (names == Names::SharedStart) {
                const uint64_t s = key % 29000000;  // seconds into the year, about
                length = std::snprintf(text, sizeof text, "Screenshot from 2024-%02u-%02u %02u-%02u-%02u.png",
                                       unsigned(s / 2419200 % 12 + 1), unsigned(s / 86400 % 28 + 1),
                                       unsigned(s / 3600 % 24), unsigned(s / 60 % 60), unsigned(s % 60));
            } else {
                length = std::snprintf(text, sizeof text, "file-%llu.dat", static_cast<unsigned long long>(key % 10000019));
            }
            svl::ScanNode& node = tree->nodes[first + i];
            node = svl::ScanNode{};
            node.name = tree->storeName(std::string_view(text, size_t(length)));
            node.nameLength = uint16_t(length);
            node.parent = parent;
            node.flags = folder ? svl::NodeFlag::Folder : 0;
            node.size = folder ? 0 : key % 50000000;
            node.allocated = (node.size + 4095) / 4096 * 4096;
            node.modified = 1600000000 + int64_t(key % 100000000);
        }
        return first;
    };
    uint64_t serial = 0;
    if (folders == 0) {
        fill(root, filesEach, false, serial);
    } else {
        const uint32_t first = fill(root, folders, true, serial);
        for (uint32_t f = 0; f < folders; ++f)
            fill(first + f, filesEach, false, serial);
    }
    tree->finishNodeCount();
    tree->computeTotals();
    return tree;
}

// The same shapes as files below `top` (sizes set, no data written), eight threads at once.
void makeFiles(const std::string& top, uint32_t folders, uint32_t filesEach) {
    std::atomic<uint32_t> next{0};
    std::vector<std::thread> threads;
    const uint32_t parts = folders ? folders : 64;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            char name[64];
            for (uint32_t part = next++; part < parts; part = next++) {
                std::string dir = top;
                if (folders) {
                    std::snprintf(name, sizeof name, "/folder %05u", part);
                    dir += name;
                    mkdir(dir.c_str(), 0755);
                }
                const uint32_t first = folders ? 0 : uint32_t(uint64_t(filesEach) * part / parts);
                const uint32_t end = folders ? filesEach : uint32_t(uint64_t(filesEach) * (part + 1) / parts);
                for (uint32_t i = first; i < end; ++i) {
                    const uint64_t serial = uint64_t(part) * filesEach + i;
                    const uint64_t key = (serial * 2654435761u) % 4294967291u;
                    std::snprintf(name, sizeof name, "/file-%u-%llu.dat", i, static_cast<unsigned long long>(key % 10000019));
                    const int fd = open((dir + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                    if (fd < 0)
                        continue;
                    if (ftruncate(fd, off_t(key % 50000)) != 0)
                        std::perror("ftruncate");
                    close(fd);
                }
            }
        });
    for (std::thread& thread : threads)
        thread.join();
}

// The longest event-loop gap from posting `action` until `done` holds and the window has
// had 200 ms more to lay out and paint.
double gapOf(const std::function<void()>& action, const std::function<bool()>& done = [] { return true; }) {
    StallMeter meter;
    meter.start();
    bool ran = false;
    QTimer::singleShot(0, [&] {
        action();
        ran = true;
    });
    turnUntil([&] { return ran && done(); });
    const Clock::time_point settled = Clock::now() + std::chrono::milliseconds(200);
    turnUntil([&] { return Clock::now() >= settled; });
    return meter.stop();
}

// Long child lists arrive from a worker: the expansion is done when their rows are in.
bool rowsShown(const NodeModel& model, const QModelIndex& parent) {
    return uint32_t(model.rowCount(parent)) == model.childCount(uint32_t(parent.internalId()));
}

QAction* actionNamed(MainWindow& window, const QString& text) {
    for (QAction* menu : window.menuBar()->actions())
        if (menu->menu())
            for (QAction* action : menu->menu()->actions())
                if (action->text() == text)
                    return action;
    return nullptr;
}

// Milliseconds from `start` until the window shows a modal message box, which is then
// cancelled, and the longest gap until then; -1 when no box came.
struct Asked {
    double after = -1, gap = -1;
};

Asked questionOf(const std::function<void()>& start) {
    Clock::time_point asked{};
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            if (asked == Clock::time_point{})
                asked = Clock::now();
            box->reject();
        }
    });
    watcher.start(1);
    const Clock::time_point pressed = Clock::now();
    Asked result;
    result.gap = gapOf(start);
    if (asked != Clock::time_point{})
        result.after = msBetween(pressed, asked);
    return result;
}

// Presses the mouse on a selected row of `view` and moves it as a user starting a drag:
// milliseconds until the drag runs (or, where the platform has no drag, until it returned),
// and the longest gap until then. The drag is cancelled with Escape.
Asked dragOf(QTreeView* view, const QModelIndex& row) {
    view->scrollTo(row);
    QCoreApplication::processEvents();
    QWidget* port = view->viewport();
    const QPoint from = view->visualRect(row).center();
    Clock::time_point started{};
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (started == Clock::time_point{} && view->findChild<QDrag*>()) {
            started = Clock::now();
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(port, &escape);
        }
    });
    watcher.start(1);
    const Clock::time_point pressed = Clock::now();
    Asked result;
    result.gap = gapOf([&] {
        const auto mouse = [&](QEvent::Type type, QPoint at, Qt::MouseButton button) {
            QMouseEvent event(type, at, port->mapToGlobal(at), button, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(port, &event);
        };
        mouse(QEvent::MouseButtonPress, from, Qt::LeftButton);
        mouse(QEvent::MouseMove, from + QPoint(2, 0), Qt::NoButton);
        mouse(QEvent::MouseMove, from + QPoint(4 * QApplication::startDragDistance(), 0), Qt::NoButton);
        if (started == Clock::time_point{})
            started = Clock::now();
        QMouseEvent release(QEvent::MouseButtonRelease, from, port->mapToGlobal(from), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(port, &release);
    });
    result.after = msBetween(pressed, started);
    return result;
}

// A confirmed removal: its longest gap, its duration and the boxes shown (the question included).
struct Removal {
    double gap = -1, ms = -1;
    int boxes = 0;
};

struct Result {
    std::string tree;
    std::string fs;  // of the removals
    Removal deleted, trashed;
    double rmMs = -1;  // rm -rf on the same files
    double expandAll = 0, reset = 0, groupRow = 0, sortColumns = 0, fileList = 0, selectAll = 0, deleteQuestion = 0,
           deleteGap = 0, dragData = 0, nameExpand = 0, nameResort = 0;
    // The Tree View after Expand All.
    double treeSelectAll = 0;
    Asked treeTrash, treeDelete, treeDrag;
};

// Triggers `command` on the selection `pick` makes in a window over a fresh scan of `top`,
// where `make` lays the files; every question is accepted and every other box closed.
Removal removalOf(const std::string& top, const std::function<void()>& make, const QString& command,
                  const std::function<std::vector<uint32_t>(const svl::ScanTree&)>& pick,
                  const std::function<bool()>& gone) {
    std::filesystem::create_directories(top);
    make();
    MainWindow window;
    window.resize(1400, 900);
    window.show();
    window.scanFolder(QString::fromStdString(top));
    turnUntil([&] { return !window.isJobRunning(); });
    window.setSelection(pick(*window.displayedTree()), MainWindow::FromTreemap);
    const Clock::time_point settled = Clock::now() + std::chrono::milliseconds(300);
    turnUntil([&] { return Clock::now() >= settled; });
    Removal result;
    Clock::time_point answered{};
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            ++result.boxes;
            if (answered == Clock::time_point{})
                answered = Clock::now();
            if (QAbstractButton* accept = box->defaultButton())
                accept->click();
            else
                box->reject();
        }
    });
    watcher.start(1);
    Clock::time_point done{};
    result.gap = gapOf([&] { actionNamed(window, command)->trigger(); },
                       [&] {
                           if (done == Clock::time_point{} && gone())
                               done = Clock::now();
                           return done != Clock::time_point{};
                       });
    result.ms = msBetween(answered, done);
    return result;
}

// Milliseconds `rm -rf` takes for `path`.
double rmRf(const std::string& path) {
    const char* args[] = {"rm", "-rf", "--", path.c_str(), nullptr};
    const Clock::time_point start = Clock::now();
    pid_t child = -1;
    if (posix_spawnp(&child, "rm", nullptr, nullptr, const_cast<char* const*>(args), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? msBetween(start, Clock::now()) : -1;
}

// The 40,000 files of one folder, and a folder of a million files, deleted and trashed.
void runRemovals(Result& r, const std::string& top) {
    const bool many = r.tree == "r40k";
    const std::string inner = top + (many ? "/files" : "/big");
    const auto make = [&] {
        std::filesystem::create_directories(inner);
        std::fflush(stdout);
        makeFiles(inner, 0, many ? 40000 : 1000000);
    };
    const auto pick = [&](const svl::ScanTree& tree) {
        std::vector<uint32_t> ids;
        const svl::ScanNode& folder = tree.node(tree.node(0).firstChild);
        if (!many)
            return std::vector<uint32_t>{tree.node(0).firstChild};
        for (uint32_t i = 0; i < folder.childCount; ++i)
            ids.push_back(folder.firstChild + i);
        return ids;
    };
    const auto gone = [&] {
        std::error_code ignored;
        return many ? std::filesystem::is_empty(inner, ignored) : !std::filesystem::exists(inner, ignored);
    };
    std::printf("  deleting ...\n");
    std::fflush(stdout);
    r.deleted = removalOf(top, make, QObject::tr("Delete Immediately"), pick, gone);
    std::printf("  %s deleted: gap %.0f ms, %.0f ms until gone, %d boxes\n", r.tree.c_str(), r.deleted.gap, r.deleted.ms,
                r.deleted.boxes);
    std::error_code ignored;
    std::filesystem::remove_all(top, ignored);
    make();
    r.rmMs = rmRf(inner);
    std::printf("  %s rm -rf: %.0f ms\n", r.tree.c_str(), r.rmMs);
    std::filesystem::remove_all(top, ignored);
    std::printf("  trashing ...\n");
    std::fflush(stdout);
    r.trashed = removalOf(top, make, QObject::tr("Move to Trash"), pick, gone);
    std::printf("  %s trashed: gap %.0f ms, %.0f ms until gone, %d boxes\n", r.tree.c_str(), r.trashed.gap, r.trashed.ms,
                r.trashed.boxes);
}

Result run(const std::string& name, const std::string& work, bool inMemory, const std::string& fs = "tmpfs") {
    Result r;
    r.tree = name;
    r.fs = fs;
    if (name == "r40k" || name == "r1m") {
        if (!inMemory) {
            std::printf("removals %s on %s ...\n", name.c_str(), fs.c_str());
            std::fflush(stdout);
            runRemovals(r, work + "/" + name);
        }
        return r;
    }
    const bool shared = name == "s1";
    const bool onDisk = !inMemory && (name == "m1" || name == "t1m" || name == "m3");
    const uint32_t folders = name == "m3" ? 3000 : name == "t1m" ? 1000 : 0;
    const uint32_t filesEach = folders ? 1000 : 1000000;
    std::printf("building %s%s ...\n", name.c_str(), onDisk ? " as files, then scanning" : "");
    std::fflush(stdout);
    const std::string top = work + "/" + name;
    MainWindow window;
    window.resize(1400, 900);
    window.show();
    QCoreApplication::processEvents();
    if (onDisk) {
        std::filesystem::create_directories(top);
        makeFiles(top, folders, filesEach);
        window.scanFolder(QString::fromStdString(top));
        turnUntil([&] { return !window.isJobRunning(); });
    } else {
        window.installTree(makeTree(folders, filesEach, shared ? Names::SharedStart : Names::Plain), false);
    }
    const std::shared_ptr<svl::ScanTree> tree = window.displayedTree();
    const TreemapWidget* treemap = window.treemapPanel()->treemap();
    turnUntil([&] { return !treemap->resizePending() && !treemap->image().isNull(); });
    QTreeView* view = window.treeView();
    NodeModel* model = window.nodeModel();
    const uint32_t n = tree->nodeCount;

    if (shared) {
        // First expansion sorted by name, then the same list by name the other way and by size.
        view->sortByColumn(NodeModel::FolderColumn, Qt::AscendingOrder);
        const QModelIndex group = model->indexForId(n + 0);
        r.nameExpand = gapOf([&] { view->expand(group); }, [&] { return rowsShown(*model, group); });
        r.nameResort = std::max(gapOf([&] { view->sortByColumn(NodeModel::FolderColumn, Qt::DescendingOrder); }),
                                gapOf([&] { view->sortByColumn(NodeModel::SizeColumn, Qt::DescendingOrder); }));
        return r;
    }

    view->setCurrentIndex(model->index(0, 0));
    r.expandAll = gapOf([&] { window.expandAll(); });
    r.reset = gapOf([&] { window.resetTreeExpansion(); });

    // The largest group row: the root's own for m1, else the first folder's.
    const uint32_t groupOf = folders ? tree->node(0).firstChild : 0;
    const QModelIndex group = model->indexForId(n + groupOf);
    if (folders)
        view->expand(model->indexForId(groupOf));
    r.groupRow = gapOf([&] { view->expand(group); }, [&] { return rowsShown(*model, group); });
    for (int column = 0; column < NodeModel::ColumnCount; ++column) {
        const Qt::SortOrder order = column == 0 ? Qt::AscendingOrder : Qt::DescendingOrder;
        r.sortColumns = std::max(r.sortColumns, gapOf([&] { view->sortByColumn(column, order); }));
    }
    view->sortByColumn(NodeModel::AllocatedColumn, Qt::DescendingOrder);

    FileViewPanel* files = window.fileView();
    window.showFileViewPage();
    files->findChild<QComboBox*>(QStringLiteral("maxFilesCombo"))->setCurrentIndex(0);
    turnUntil([&] { return !files->isBusy() && files->view()->model()->rowCount() > 0; });
    // The list lays its rows out once they are in: that belongs to filling it, not to Ctrl+A.
    r.fileList = gapOf([] {});
    files->view()->setFocus();
    r.selectAll = gapOf([&] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier, QStringLiteral("a"));
        QApplication::sendEvent(files->view(), &press);
    });

    // Move to Trash asks first; the question is answered with its cancel button. Items are
    // checked on disk before the question: only trees made as files can ask it.
    QAction* trash = actionNamed(window, QObject::tr("Move to Trash"));
    const Asked fileTrash = questionOf([&] {
        if (trash && onDisk)
            trash->trigger();
    });
    r.deleteQuestion = fileTrash.after;
    r.deleteGap = fileTrash.gap;
    if (!onDisk)
        r.deleteQuestion = r.deleteGap = -1;

    const QModelIndexList selected = files->view()->selectionModel()->selectedIndexes();
    r.dragData = gapOf([&] { delete files->view()->model()->mimeData(selected); });

    // The Tree View as a user has it after Expand All, with the largest group row open too
    // (Expand All leaves a list of a million files closed).
    window.tabs()->setCurrentIndex(0);
    view->setFocus();
    view->setCurrentIndex(model->index(0, 0));
    window.expandAll();
    view->expand(group);
    turnUntil([&] { return rowsShown(*model, group); });
    const QString everything = formatNumber(tree->node(0).filesBelow);
    r.treeSelectAll = gapOf(
        [&] {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier, QStringLiteral("a"));
            QApplication::sendEvent(view, &press);
        },
        [&] {
            return !treemap->selection().empty()
                   && window.selectionLabel()->text().startsWith(QObject::tr("Selected Files: %1 ").arg(everything));
        });
    if (onDisk) {
        r.treeTrash = questionOf([&] { trash->trigger(); });
        r.treeDelete = questionOf([&] { actionNamed(window, QObject::tr("Delete Immediately"))->trigger(); });
    }
    // A file row at the top of the largest group's rows.
    r.treeDrag = dragOf(view, model->index(0, 0, group));
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> trees{"m1", "t1m", "m3", "s1", "r40k", "r1m"};
    int threads = -1;
    bool inMemory = false, monitor = true, withExt4 = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--in-memory")) {
            inMemory = true;
        } else if (!std::strcmp(argv[i], "--no-monitor")) {
            monitor = false;
        } else if (!std::strcmp(argv[i], "--no-ext4")) {
            withExt4 = false;
        } else if (i + 1 == argc) {
            break;
        } else if (!std::strcmp(argv[i], "--trees")) {
            trees.clear();
            std::string list = argv[++i];
            for (size_t at = 0; at <= list.size();) {
                const size_t comma = std::min(list.find(',', at), list.size());
                trees.push_back(list.substr(at, comma - at));
                at = comma + 1;
            }
        } else if (!std::strcmp(argv[i], "--threads")) {
            threads = std::atoi(argv[++i]);
        }
    }
    bench::OffscreenApp app(argc, argv, "hm-tree-window-bench");
    if (!app.ok())
        return 1;
    AppSettings::instance()->settings()->setValue(QStringLiteral("animateTreemapZoom"), false);
    AppSettings::instance()->settings()->setValue(QStringLiteral("monitorFileSystemForChanges"), monitor);
    if (threads > 0)
        svl::setHardwareThreadOverride(threads);

    char work[] = "/tmp/hm-tree-window-bench-XXXXXX";
    if (!mkdtemp(work))
        return 1;
    const bool onTmpfs = geteuid() == 0 && mount("hmbench", work, "tmpfs", 0, "size=2g,nr_inodes=4m") == 0;
    // Items on the home's file system would go to the home's trash: one of our own instead.
    setenv("XDG_DATA_HOME", (std::string(work) + "/data").c_str(), 1);
    // The removals again on ext4, as root: a loop mount of an image on the disk.
    std::string ext4, image;
    if (geteuid() == 0 && !inMemory && withExt4) {
        char imageName[] = "/var/tmp/hm-tree-window-bench-XXXXXX";
        char mountName[] = "/tmp/hm-tree-window-bench-ext4-XXXXXX";
        const int fd = mkstemp(imageName);
        if (fd >= 0 && mkdtemp(mountName)) {
            close(fd);
            image = imageName;
            const std::string command = "truncate -s 3G " + image + " && mkfs.ext4 -q -N 2200000 -F " + image +
                                        " && mount -o loop " + image + " " + mountName;
            if (std::system(command.c_str()) == 0)
                ext4 = mountName;
        }
    }
    std::vector<Result> results;
    for (const std::string& name : trees) {
        const bool removal = name[0] == 'r';
        std::vector<std::pair<std::string, std::string>> places{{work, onTmpfs ? "tmpfs" : "tmp"}};
        if (removal && !ext4.empty())
            places.emplace_back(ext4, "ext4");
        for (const auto& [place, fs] : places) {
            results.push_back(run(name, place, inMemory, fs));
            std::error_code ignored;
            std::filesystem::remove_all(place + "/" + name, ignored);
            for (const char* trash : {"/data", "/.Trash-0", "/.Trash"})
                std::filesystem::remove_all(place + trash, ignored);
        }
    }
    if (!ext4.empty()) {
        umount2(ext4.c_str(), MNT_DETACH);
        rmdir(ext4.c_str());
    }
    if (!image.empty())
        unlink(image.c_str());
    if (onTmpfs)
        umount2(work, MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);

    std::printf("\nlongest event-loop gap in ms (goal: none over 300), %u threads\n", svl::hardwareThreadCount());
    std::printf("(delQuestion: ms from the command to the question; -1: not measured)\n");
    std::printf("%-5s %10s %8s %9s %8s %8s %8s %12s %10s %9s %11s %11s\n", "tree", "expandAll", "reset", "groupRow",
                "sortMax", "listAll", "ctrlA", "delQuestion", "delGap", "dragData", "nameExpand", "nameResort");
    for (const Result& r : results)
        if (r.tree[0] != 'r')
            std::printf("%-5s %10.0f %8.0f %9.0f %8.0f %8.0f %8.0f %12.0f %10.0f %9.0f %11.0f %11.0f\n", r.tree.c_str(),
                    r.expandAll, r.reset, r.groupRow, r.sortColumns, r.fileList, r.selectAll, r.deleteQuestion,
                    r.deleteGap, r.dragData, r.nameExpand, r.nameResort);
    std::printf("\nthe Tree View after Expand All, largest file-group row open: longest gap in ms; the\n"
                "questions and the drag also in ms from the command to the question or the drag\n");
    std::printf("%-5s %10s %8s %10s %9s %11s %9s %10s\n", "tree", "treeCtrlA", "trashQ", "trashGap", "deleteQ",
                "deleteGap", "dragStart", "dragGap");
    for (const Result& r : results) {
        if (r.tree == "s1" || r.tree[0] == 'r')
            continue;
        std::printf("%-5s %10.0f %8.0f %10.0f %9.0f %11.0f %9.0f %10.0f\n", r.tree.c_str(), r.treeSelectAll,
                    r.treeTrash.after, r.treeTrash.gap, r.treeDelete.after, r.treeDelete.gap, r.treeDrag.after,
                    r.treeDrag.gap);
    }
    std::printf("\nconfirmed removals: longest gap in ms, ms from the answered question until gone from\n"
                "disk beside rm -rf on the same files, message boxes shown (the question included); -1: not measured\n");
    std::printf("%-5s %-6s %9s %9s %9s %7s %9s %9s %9s %9s\n", "case", "fs", "delGap", "delMs", "rmMs", "ratio",
                "delBoxes", "trashGap", "trashMs", "trashBoxes");
    for (const Result& r : results) {
        if (r.tree[0] != 'r')
            continue;
        std::printf("%-5s %-6s %9.0f %9.0f %9.0f %7.2f %9d %9.0f %9.0f %9d\n", r.tree.c_str(), r.fs.c_str(),
                    r.deleted.gap, r.deleted.ms, r.rmMs, r.rmMs > 0 ? r.deleted.ms / r.rmMs : -1.0, r.deleted.boxes,
                    r.trashed.gap, r.trashed.ms, r.trashed.boxes);
    }
    return 0;
}
