// The window on a real X server (a private Xvfb) with real input from xdotool: keypad keys
// and double clicks take paths there that offscreen test events do not.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "tests/core/analysis/AnalysisTestTree.h"

#include <QDropEvent>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>
#include <QItemSelectionModel>
#include <QTest>
#include <QTreeView>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "core/tree/ScanTree.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/FileListModel.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/NodeModel.h"

using analysistest::Entry;

namespace {

// Starts Xvfb before the test environment makes the application, which then runs on it.
// Without Xvfb or xdotool the application stays offscreen and the tests skip.
class PrivateDisplay {
public:
    PrivateDisplay() {
        if (!hmtest::haveTool("Xvfb") || !hmtest::haveTool("xdotool"))
            return;
        char dir[] = "/tmp/hm-x11-XXXXXX";
        if (!mkdtemp(dir))
            return;
        m_dir = dir;
        const std::string number = m_dir + "/display", pid = m_dir + "/pid";
        hmtest::sh("Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>" + hmtest::shQuote(number) +
                   " 2>/dev/null & echo $! > " + hmtest::shQuote(pid));
        std::ifstream(pid) >> m_pid;
        std::string display;
        for (int i = 0; i < 200 && display.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            std::ifstream(number) >> display;
        }
        if (display.empty())
            return;
        m_display = ":" + display;
        setenv("DISPLAY", m_display.c_str(), 1);
        unsetenv("XAUTHORITY");
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
    ~PrivateDisplay() {
        if (m_pid > 0)
            kill(m_pid, SIGTERM);
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir);
    }
    // Runs xdotool on the display; whether it succeeded.
    bool xdotool(const std::string& args) const {
        return hmtest::sh("DISPLAY=" + m_display + " xdotool " + args + " >/dev/null 2>&1") == 0;
    }

private:
    std::string m_dir;
    std::string m_display;
    pid_t m_pid = -1;
};

const PrivateDisplay display;

constexpr uint16_t kFolder = svl::NodeFlag::Folder;

class MainWindowX11 : public ::testing::Test {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs Xvfb and xdotool (scripts/setup.sh installs them)";
        windowtest::clearSettings();
        // root / a / b / c.txt, root / d.txt
        analysistest::BuiltTree built = analysistest::buildTree({{-1, "/r", 0, 0, 0, kFolder},
                                                                 {0, "a", 0, 0, 0, kFolder},
                                                                 {0, "d.txt", 10, 4096},
                                                                 {1, "b", 0, 0, 0, kFolder},
                                                                 {3, "c.txt", 5000, 8192}});
        m_idOf = built.idOf;
        m_window = std::make_unique<MainWindow>();
        m_window->installTree(std::shared_ptr<svl::ScanTree>(std::move(built.tree)), false);
        m_window->resize(1200, 800);
        m_window->show();
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
    }
    QModelIndex indexOf(int entry) const { return m_window->nodeModel()->indexForId(m_idOf[entry]); }
    // Presses a key on the keypad for real and waits until `done` holds.
    bool press(const char* key, const std::function<bool()>& done) {
        return display.xdotool(std::string("key ") + key) && windowtest::waitUntil(done, 3000);
    }

    std::vector<uint32_t> m_idOf;
    std::unique_ptr<MainWindow> m_window;
};

}  // namespace

TEST_F(MainWindowX11, DoubleClickingAFolderRowTogglesItOnce) {
    QTreeView* view = m_window->treeView();
    const QModelIndex a = indexOf(1);
    ASSERT_FALSE(view->isExpanded(a));
    for (const bool expanded : {true, false}) {
        const QPoint at = view->viewport()->mapToGlobal(view->visualRect(a).center());
        ASSERT_TRUE(display.xdotool("mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) +
                                    " click --repeat 2 --delay 60 1"));
        // Both clicks arrive; the second toggles, and nothing toggles back.
        EXPECT_TRUE(windowtest::waitUntil([&] { return view->isExpanded(a) == expanded; }, 3000)) << expanded;
        QTest::qWait(300);
        EXPECT_EQ(view->isExpanded(a), expanded);
        display.xdotool("mousemove 5 5");
        QTest::qWait(600);  // the next press is no third click
    }
}

TEST_F(MainWindowX11, KeypadKeysRunTheirCommandsInTheTreeAndTheTreemap) {
    QTreeView* view = m_window->treeView();
    TreemapWidget* treemap = m_window->treemapPanel()->treemap();
    const uint32_t b = m_idOf[3], c = m_idOf[4];
    const auto selected = [&](uint32_t id) { return m_window->currentSelection() == std::vector<uint32_t>{id}; };
    for (QWidget* focus : {static_cast<QWidget*>(view), static_cast<QWidget*>(treemap)}) {
        SCOPED_TRACE(focus == view ? "tree view" : "treemap");
        m_window->selectNode(c);
        focus->setFocus();
        ASSERT_TRUE(windowtest::waitUntil([&] { return QApplication::focusWidget() == focus; }, 3000));

        // Keypad /: Select Parent, not the view's search for "/".
        EXPECT_TRUE(press("KP_Divide", [&] { return selected(b); }));
        // Keypad *: Reselect Child, not the expansion of everything below.
        EXPECT_TRUE(press("KP_Multiply", [&] { return selected(c); }));
        m_window->selectNode(b);
        // Keypad + and -: Zoom Treemap to the selection and out again.
        EXPECT_TRUE(press("KP_Add", [&] { return treemap->zoomRoot() == b; }));
        EXPECT_TRUE(press("KP_Subtract", [&] { return treemap->zoomRoot() != b; }));
        EXPECT_TRUE(view->isExpanded(indexOf(3))) << "the tree's own - would collapse the current row";
    }
}

// Takes drops and keeps the last one's "text/uri-list" bytes.
class DropTarget : public QWidget {
public:
    DropTarget() { setAcceptDrops(true); }
    QByteArray received;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override { event->acceptProposedAction(); }
    void dragMoveEvent(QDragMoveEvent* event) override { event->acceptProposedAction(); }
    void dropEvent(QDropEvent* event) override {
        received = event->mimeData()->data(QStringLiteral("text/uri-list"));
        event->acceptProposedAction();
    }
};

TEST_F(MainWindowX11, DraggedFileRowsArriveAsTheirPathsOwnBytes) {
    // A name that is not UTF-8 must arrive as its bytes, not as replacement characters.
    svl::ScanTree& tree = *m_window->displayedTree();
    const std::string latin1 = "c\xE9.txt";
    ASSERT_TRUE(tree.rename(m_idOf[4], latin1.data(), latin1.size()));
    m_window->showFileViewPage();
    FileViewPanel* panel = m_window->fileView();
    ASSERT_TRUE(windowtest::waitUntil([&] { return !panel->isBusy() && !panel->listedIds().empty(); }, 5000));
    panel->view()->selectAll();
    std::vector<uint32_t> ids = panel->selectedIds();
    ASSERT_FALSE(ids.empty());

    DropTarget target;
    target.setGeometry(m_window->frameGeometry().right() + 40, 100, 200, 200);
    target.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&target));
    const QPoint from = panel->view()->viewport()->mapToGlobal(
        panel->view()->visualRect(panel->model()->index(0, 0)).center());
    const QPoint to = target.mapToGlobal(target.rect().center());
    auto move = [&](QPoint p) { return "mousemove " + std::to_string(p.x()) + " " + std::to_string(p.y()); };
    // xdotool runs beside the event loop, which must answer the drag's X messages meanwhile.
    std::atomic<bool> done{false};
    std::thread hand([&] {
        display.xdotool(move(from) + " sleep 0.2 mousedown 1 sleep 0.2 " + move(from + QPoint(20, 20)) +
                        " sleep 0.2 " + move(to - QPoint(20, 20)) + " sleep 0.3 " + move(to) + " sleep 0.3 mouseup 1");
        done = true;
    });
    windowtest::waitUntil([&] { return done.load(); }, 10000);
    hand.join();
    ASSERT_TRUE(windowtest::waitUntil([&] { return !target.received.isEmpty(); }, 5000));

    std::vector<std::string> arrived;
    for (const QByteArray& line : target.received.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        const QUrl url = QUrl::fromEncoded(line.trimmed());
        arrived.push_back(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString());
    }
    std::vector<std::string> expected;
    for (uint32_t id : ids)
        expected.push_back(tree.fullPath(id));
    EXPECT_EQ(arrived, expected);
    EXPECT_NE(std::find(expected.begin(), expected.end(), "/r/a/b/" + latin1), expected.end());
}
