// Main-window benchmark: a folder of about 1,000,000 entries (on a tmpfs mount when run as
// root, else under $TMPDIR) scanned through the window's job, as the program does it.
// Reports, per run, the time from the scan's end (the moment the scan reports all of its
// work done, before the folder totals) until the window has painted the result in its
// views, and the longest stall of the GUI event loop while the scan runs and while an
// include filter over the whole tree is built and installed. Goals: 300 ms and 50 ms.
//
//   bench_window_bench [--runs R] [--files N]
#include "BenchAppSupport.h"
#include "BenchSupport.h"

#include "app/AppSettings.h"
#include "core/tree/ScanTree.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using bench::Clock;
using bench::msBetween;
using bench::StallMeter;
using bench::turnUntil;

// Paints the whole window once the treemap has its picture: what the user sees.
void paintUntilShown(MainWindow& window) {
    const TreemapWidget* treemap = window.treemapPanel()->treemap();
    turnUntil([&] { return !treemap->resizePending(); });
    window.grab();
    while (treemap->image().isNull()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        window.grab();
    }
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    uint64_t files = 1000000 - 1101;  // with the folders and the root: about 1,000,000 nodes
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--files"))
            files = std::strtoull(argv[++i], nullptr, 10);
    }
    char work[] = "/tmp/hm-window-bench-XXXXXX";
    if (!mkdtemp(work))
        return 1;
    const std::string top = std::string(work) + "/data";
    const bool onTmpfs = geteuid() == 0 && mount("hmbench", work, "tmpfs", 0, "size=4g") == 0;
    std::filesystem::create_directories(top);
    const std::string config = std::string(work) + "/config";
    std::filesystem::create_directories(config);
    std::filesystem::permissions(config, std::filesystem::perms::owner_all);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", config.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::printf("populating %llu files under %s%s ...\n", static_cast<unsigned long long>(files), top.c_str(),
                onTmpfs ? " (tmpfs)" : "");
    std::fflush(stdout);
    bench::populate(top, files, false);

    QApplication app(argc, argv);
    AppSettings::instance()->setSaveEnabled(false);
    AppSettings::instance()->settings()->setValue(QStringLiteral("animateTreemapZoom"), false);
    AppSettings::instance()->settings()->setValue(QStringLiteral("showFilterPanel"), true);
    MainWindow window;
    window.resize(1400, 900);
    window.show();
    QCoreApplication::processEvents();

    std::printf("\n%-4s %10s %10s %18s %18s %18s\n", "run", "nodes", "scan s", "end->shown ms", "scan stall ms",
                "filter stall ms");
    double worstShown = 0, worstScanStall = 0, worstFilterStall = 0;
    for (int run = 0; run < runs; ++run) {
        window.applyFilterTexts(QString(), QString(), true);
        std::atomic<bool> watching{true};
        std::atomic<int64_t> endNs{0};
        StallMeter stalls;
        stalls.start();
        window.scanFolder(QString::fromStdString(top));
        std::thread watcher([&] {
            while (watching && window.scanProgress().fraction.load() < 1.0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            endNs = Clock::now().time_since_epoch().count();
        });
        turnUntil([&] { return !window.isJobRunning(); });
        const double scanStall = stalls.stop();
        paintUntilShown(window);
        const Clock::time_point shown = Clock::now();
        watching = false;
        watcher.join();
        const Clock::time_point end{Clock::duration(endNs.load())};

        // A filter that keeps every file: the whole tree is copied on the filter thread and
        // the copy installed into every view.
        stalls.start();
        window.applyFilterTexts(QStringLiteral("file-"), QString(), false);
        turnUntil([&] { return !window.isFiltering(); });
        paintUntilShown(window);
        const double filterStall = stalls.stop();

        const auto& tree = window.currentTree();
        const double shownMs = msBetween(end, shown);
        std::printf("%-4d %10u %10.2f %18.1f %18.1f %18.1f\n", run + 1, tree ? tree->nodeCount : 0,
                    tree ? tree->seconds : 0.0, shownMs, scanStall, filterStall);
        worstShown = std::max(worstShown, shownMs);
        worstScanStall = std::max(worstScanStall, scanStall);
        worstFilterStall = std::max(worstFilterStall, filterStall);
    }
    std::printf("\nworst: end->shown %.1f ms (goal 300), scan stall %.1f ms, filter stall %.1f ms (goal 50)\n",
                worstShown, worstScanStall, worstFilterStall);

    std::error_code ignored;
    if (onTmpfs)
        umount2(work, MNT_DETACH);
    else
        std::filesystem::remove_all(top, ignored);
    std::filesystem::remove_all(work, ignored);
    return 0;
}
