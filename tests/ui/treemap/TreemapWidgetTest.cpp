#include "ui/treemap/TreemapWidget.h"

#include "app/ValueFormat.h"
#include "tests/ui/treemap/TreemapTestSupport.h"
#include "ui/treemap/TreemapColorSettings.h"

#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTextLayout>
#include <QVariantAnimation>

#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using treemaptest::TreeBuilder;

namespace {

// /data
//   big/  a.mp4 600000, b.mp4 300000
//   docs/ x.txt 100000, y.txt 50000
//   c.jpg 200000
struct Ids {
    uint32_t big = 1, docs = 2, jpg = 3, mp4a = 4, mp4b = 5, txtx = 6, txty = 7;
};

std::shared_ptr<svl::ScanTree> sampleTree() {
    TreeBuilder b("/data");
    b.folder(0, "big");
    b.folder(0, "docs");
    b.file(0, "c.jpg", 200000);
    b.file(1, "a.mp4", 600000);
    b.file(1, "b.mp4", 300000);
    b.file(2, "x.txt", 100000);
    b.file(2, "y.txt", 50000);
    return b.finish();
}

QColor pixelAt(const QImage& image, QPointF logical) {
    const double r = image.devicePixelRatio();
    return image.pixelColor(int(logical.x() * r), int(logical.y() * r));
}

// A shown top-level holding the treemap as a child, so resizes arrive at once.
class TreemapWidgetFixture : public ::testing::Test {
protected:
    void SetUp() override {
        treemaptest::clearSettings();
        m_window = std::make_unique<QWidget>();
        m_window->resize(800, 400);
        m_treemap = new TreemapWidget(m_window.get());
        m_treemap->setGeometry(0, 0, 800, 400);
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
        m_treemap->setTree(sampleTree());
        ASSERT_FALSE(m_treemap->image().isNull());
    }
    QPoint centre(uint32_t id) const { return m_treemap->rectOf(id).center().toPoint(); }
    QPoint inBand(uint32_t id) const {
        const QRectF r = m_treemap->rectOf(id);
        return QPointF(r.x() + r.width() / 2, r.y() + 6).toPoint();
    }
    QLabel* info() const { return m_treemap->findChild<QLabel*>(); }

    std::unique_ptr<QWidget> m_window;
    TreemapWidget* m_treemap = nullptr;
    Ids ids;
};

}  // namespace

TEST_F(TreemapWidgetFixture, HitTestingFindsLeavesBandsAndNothing) {
    for (uint32_t id : {ids.jpg, ids.mp4a, ids.mp4b, ids.txtx, ids.txty}) {
        ASSERT_GT(m_treemap->rectOf(id).width(), 0) << id;
        EXPECT_EQ(m_treemap->idAt(centre(id)), int64_t(id));
    }
    EXPECT_EQ(m_treemap->idAt(inBand(ids.big)), int64_t(ids.big));
    EXPECT_EQ(m_treemap->idAt(QPointF(400, 3)), 0);  // the root's own band
    EXPECT_EQ(m_treemap->idAt(QPointF(-1, 10)), -1);
    EXPECT_EQ(m_treemap->idAt(QPointF(800, 10)), -1);
    EXPECT_EQ(m_treemap->image().size(), QSize(800, 400));
}

TEST_F(TreemapWidgetFixture, HoverReportsIdsAndShowsInformation) {
    QSignalSpy hover(m_treemap, &TreemapWidget::hoverChanged);
    QTest::mouseMove(m_treemap, centre(ids.mp4a));
    ASSERT_EQ(hover.count(), 1);
    EXPECT_EQ(hover.at(0).at(0).value<int64_t>(), int64_t(ids.mp4a));
    QTest::mouseMove(m_treemap, centre(ids.mp4a) + QPoint(1, 1));
    EXPECT_EQ(hover.count(), 1) << "moving within one node reports nothing new";
    EXPECT_FALSE(info()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(info()->isVisible(), 2000);
    const QString text = info()->text();
    EXPECT_TRUE(text.startsWith(QStringLiteral("/data/big/a.mp4\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("(48.0% of total)"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("Files:")));

    QTest::mouseMove(m_treemap, inBand(ids.docs));
    EXPECT_FALSE(info()->isVisible()) << "a new hover hides the old information";
    QTRY_VERIFY_WITH_TIMEOUT(info()->isVisible(), 2000);
    EXPECT_TRUE(info()->text().contains(QStringLiteral("Files: 2   Folders: 0"))) << info()->text().toStdString();

    // Near the right edge the label ends at the widget's edge.
    const QPoint nearEdge(m_treemap->width() - 3, int(m_treemap->rectOf(ids.txtx).center().y()));
    QTest::mouseMove(m_treemap, nearEdge);
    QTRY_VERIFY_WITH_TIMEOUT(info()->isVisible(), 2000);
    EXPECT_EQ(info()->geometry().right() + 1, m_treemap->width());

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(m_treemap, &leave);
    EXPECT_EQ(hover.last().at(0).value<int64_t>(), -1);
    EXPECT_FALSE(info()->isVisible());
}

TEST_F(TreemapWidgetFixture, ClicksSelectAndCtrlClicksToggle) {
    QSignalSpy clicked(m_treemap, &TreemapWidget::nodeClicked);
    // The selection comes ascending, each id once.
    const auto Set = [](std::vector<uint32_t> ids) {
        std::sort(ids.begin(), ids.end());
        return ids;
    };
    QTest::mouseClick(m_treemap, Qt::LeftButton, {}, centre(ids.mp4a));
    EXPECT_EQ(m_treemap->selection(), Set({ids.mp4a}));
    QTest::mouseClick(m_treemap, Qt::LeftButton, Qt::ControlModifier, centre(ids.txtx));
    EXPECT_EQ(m_treemap->selection(), Set({ids.mp4a, ids.txtx}));
    QTest::mouseClick(m_treemap, Qt::LeftButton, Qt::ControlModifier, centre(ids.mp4a));
    EXPECT_EQ(m_treemap->selection(), Set({ids.txtx}));
    // Added again, now beside a selected id on its other side.
    QTest::mouseClick(m_treemap, Qt::LeftButton, Qt::ControlModifier, centre(ids.mp4a));
    EXPECT_EQ(m_treemap->selection(), Set({ids.mp4a, ids.txtx}));
    QTest::mouseClick(m_treemap, Qt::LeftButton, {}, inBand(ids.big));
    EXPECT_EQ(m_treemap->selection(), Set({ids.big}));
    QTest::mouseClick(m_treemap, Qt::MiddleButton, {}, centre(ids.jpg));
    EXPECT_EQ(m_treemap->selection(), Set({ids.big}));
    ASSERT_EQ(clicked.count(), 5);
    EXPECT_EQ(clicked.at(2).at(0).toUInt(), ids.mp4a);

    // The outline is painted over the picture: white at the selected leaf's edge.
    m_treemap->setSelection({ids.jpg});
    const QImage shot = m_treemap->grab().toImage();
    const QRectF r = m_treemap->rectOf(ids.jpg);
    EXPECT_EQ(shot.pixelColor(int(r.center().x()), int(r.y()) + 1), QColor(Qt::white));
    EXPECT_NE(shot.pixelColor(r.center().toPoint()), QColor(Qt::white));
    m_treemap->setSelection({0});
    EXPECT_EQ(m_treemap->grab().toImage().pixelColor(400, 1), QColor(Qt::white)) << "the root, not zoomed into";

    // A sliver thinner than the outline is filled, not outlined: no white spills beside it.
    TreeBuilder thin("/thin");
    thin.file(0, "huge", 1000000000);
    const uint32_t sliver = thin.file(0, "tiny", 1000000);
    m_treemap->setTree(thin.finish());
    m_treemap->setSelection({sliver});
    const QImage beside = m_treemap->grab().toImage();
    const QRectF s = m_treemap->rectOf(sliver);
    ASSERT_GT(s.width() * s.height(), 0);
    ASSERT_LT(std::min(s.width(), s.height()), 2.0);
    // The pixels just before and just past it, across its thin side.
    const bool upright = s.width() < s.height();
    const QRect ends = s.toAlignedRect();
    const QPoint middle = s.center().toPoint();
    const QPoint outside[] = {upright ? QPoint(ends.left() - 1, middle.y()) : QPoint(middle.x(), ends.top() - 1),
                              upright ? QPoint(ends.right() + 1, middle.y()) : QPoint(middle.x(), ends.bottom() + 1)};
    for (const QPoint p : outside) {
        if (beside.rect().contains(p)) {
            EXPECT_NE(beside.pixelColor(p), QColor(Qt::white)) << p.x() << "," << p.y();
        }
    }
}

TEST_F(TreemapWidgetFixture, RightClickSelectsBeforeAskingForTheMenu) {
    std::vector<std::string> order;
    QObject::connect(m_treemap, &TreemapWidget::nodeClicked, [&](uint32_t id) {
        order.push_back("click " + std::to_string(id));
    });
    QObject::connect(m_treemap, &TreemapWidget::nodeContextRequested, [&](uint32_t id, QPoint) {
        order.push_back("menu " + std::to_string(id));
    });
    // The right button's press selects nothing itself; the context menu event does.
    QTest::mouseClick(m_treemap, Qt::RightButton, {}, centre(ids.jpg));
    EXPECT_TRUE(order.empty());
    QContextMenuEvent first(QContextMenuEvent::Mouse, centre(ids.jpg), m_treemap->mapToGlobal(centre(ids.jpg)));
    QApplication::sendEvent(m_treemap, &first);
    EXPECT_EQ(order, (std::vector<std::string>{"click 3", "menu 3"}));
    order.clear();
    QContextMenuEvent again(QContextMenuEvent::Mouse, centre(ids.jpg), m_treemap->mapToGlobal(centre(ids.jpg)));
    QApplication::sendEvent(m_treemap, &again);
    EXPECT_EQ(order, (std::vector<std::string>{"menu 3"}));
}

TEST_F(TreemapWidgetFixture, BackgroundMenuTogglesTheTreemapSettings) {
    // The free-space strip is not a node, so a right click there opens the widget's own menu.
    AppSettings::instance()->settings()->setValue(QStringLiteral("showTreemapFreeSpace"), true);
    m_treemap->setDiskSpace(100, 50);
    const QPoint free(790, 200);
    ASSERT_EQ(m_treemap->idAt(free), TreemapWidget::kFreeSpaceHit);

    QStringList entries;
    QTimer::singleShot(0, [&] {
        QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction* action : menu->actions())
            if (!action->isSeparator())
                entries << action->text() + (action->isChecked() ? "+" : "-");
        for (QAction* action : menu->actions())
            if (action->text() == QStringLiteral("Show Free Space on Treemap"))
                action->trigger();
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, free, m_treemap->mapToGlobal(free));
    QApplication::sendEvent(m_treemap, &event);
    EXPECT_EQ(entries, QStringList({"Show Treemap+", "Show Allocated Space on Treemap+",
                                    "Show Free Space on Treemap+", "Show Folder and File Names on Treemap+"}));
    EXPECT_FALSE(AppSettings::instance()->settings()->value(QStringLiteral("showTreemapFreeSpace")).toBool());
    EXPECT_NE(m_treemap->idAt(free), TreemapWidget::kFreeSpaceHit) << "the setting change rebuilt without the strip";
}

TEST_F(TreemapWidgetFixture, DoubleClickZoomsAndUnzooms) {
    QSignalSpy zoomed(m_treemap, &TreemapWidget::zoomRootChanged);
    QTest::mouseDClick(m_treemap, Qt::LeftButton, {}, centre(ids.mp4a));
    ASSERT_EQ(zoomed.count(), 1);
    EXPECT_EQ(zoomed.at(0).at(0).toUInt(), ids.big);
    EXPECT_EQ(m_treemap->zoomRoot(), ids.big);
    const int64_t middle = m_treemap->idAt(QPointF(400, 200));
    EXPECT_TRUE(middle == ids.mp4a || middle == ids.mp4b) << middle;
    EXPECT_EQ(m_treemap->rectOf(ids.jpg).width(), 0) << "only the zoomed folder is laid out";
    // Zoomed in, a selected file inside still gets its outline.
    QTRY_VERIFY_WITH_TIMEOUT(!m_treemap->zoomAnimationRunning(), 3000);
    m_treemap->setSelection({ids.big, ids.mp4a});
    const QRectF mp4a = m_treemap->rectOf(ids.mp4a);
    EXPECT_EQ(m_treemap->grab().toImage().pixelColor(int(mp4a.center().x()), int(mp4a.y()) + 1), QColor(Qt::white));
    const QRectF bigRect = m_treemap->rectOf(ids.big);
    EXPECT_NE(m_treemap->grab().toImage().pixelColor(int(bigRect.center().x()), int(bigRect.y()) + 1), QColor(Qt::white))
        << "the zoomed folder fills the picture and gets no outline";

    // Double click on a file of the current root, or the root itself: nothing.
    QTest::mouseDClick(m_treemap, Qt::LeftButton, {}, centre(ids.mp4b));
    QTest::mouseDClick(m_treemap, Qt::LeftButton, {}, QPoint(400, 3));
    EXPECT_EQ(zoomed.count(), 1);

    m_treemap->zoomOut();
    ASSERT_EQ(zoomed.count(), 2);
    EXPECT_EQ(zoomed.at(1).at(0).toUInt(), 0u);
    m_treemap->zoomOut();
    EXPECT_EQ(zoomed.count(), 2) << "unzoom at the root does nothing";

    // A file group id zooms to its folder; a zoom on the folder's band zooms to the folder.
    m_treemap->zoomTo(8 + ids.docs);
    EXPECT_EQ(m_treemap->zoomRoot(), ids.docs);
    m_treemap->zoomTo(0);
    QTest::mouseDClick(m_treemap, Qt::LeftButton, {}, inBand(ids.docs));
    EXPECT_EQ(m_treemap->zoomRoot(), ids.docs);
    m_treemap->zoomTo(1000);
    EXPECT_EQ(m_treemap->zoomRoot(), ids.docs);
}

TEST_F(TreemapWidgetFixture, ZoomTransitionBlocksHitsUntilItEnds) {
    QSettings* store = AppSettings::instance()->settings();
    store->setValue(QStringLiteral("animateTreemapZoom"), true);
    store->setValue(QStringLiteral("treemapZoomMs"), 150);
    m_treemap->zoomTo(ids.big);
    EXPECT_TRUE(m_treemap->zoomAnimationRunning());
    EXPECT_EQ(m_treemap->idAt(QPointF(400, 200)), -1);
    QTRY_VERIFY_WITH_TIMEOUT(!m_treemap->zoomAnimationRunning(), 3000);
    EXPECT_GE(m_treemap->idAt(QPointF(400, 200)), 0);

    store->setValue(QStringLiteral("treemapZoomMs"), 9000);
    m_treemap->zoomTo(0);  // out: animates from the old root's rectangle
    ASSERT_TRUE(m_treemap->zoomAnimationRunning());
    EXPECT_EQ(m_treemap->findChild<QVariantAnimation*>()->duration(), 5000);
    // A new zoom replaces the running transition; its first frames outline the folder's old place.
    const QRectF docs = m_treemap->rectOf(ids.docs);
    m_treemap->zoomTo(ids.docs);
    ASSERT_TRUE(m_treemap->zoomAnimationRunning());
    const QImage frame = m_treemap->grab().toImage();
    EXPECT_EQ(frame.pixelColor(int(docs.x()) + 1, int(docs.center().y())), QColor(Qt::white));
    EXPECT_EQ(m_treemap->zoomRoot(), ids.docs);

    store->setValue(QStringLiteral("treemapZoomMs"), 0);
    m_treemap->zoomTo(0);
    EXPECT_FALSE(m_treemap->zoomAnimationRunning());
}

TEST_F(TreemapWidgetFixture, FreeSpaceStripOnlyAtTheRoot) {
    AppSettings::instance()->setValue("showTreemapFreeSpace", true);
    m_treemap->setDiskSpace(4000000, 1000000);
    const QPointF strip(790, 200);
    EXPECT_EQ(m_treemap->idAt(strip), TreemapWidget::kFreeSpaceHit);
    // The right quarter: floor(800 x 3/4) = 600 for the tree.
    EXPECT_EQ(m_treemap->idAt(QPointF(600.5, 200)), TreemapWidget::kFreeSpaceHit);
    EXPECT_NE(m_treemap->idAt(QPointF(599.5, 200)), TreemapWidget::kFreeSpaceHit);

    QSignalSpy zoomed(m_treemap, &TreemapWidget::zoomRootChanged);
    QTest::mouseDClick(m_treemap, Qt::LeftButton, {}, strip.toPoint());
    EXPECT_EQ(zoomed.count(), 0);
    QSignalSpy clicked(m_treemap, &TreemapWidget::nodeClicked);
    QTest::mouseClick(m_treemap, Qt::LeftButton, {}, strip.toPoint());
    EXPECT_EQ(clicked.count(), 0);

    m_treemap->zoomTo(ids.big);
    EXPECT_NE(m_treemap->idAt(strip), TreemapWidget::kFreeSpaceHit);
    m_treemap->zoomTo(0);
    EXPECT_EQ(m_treemap->idAt(strip), TreemapWidget::kFreeSpaceHit);
}

TEST_F(TreemapWidgetFixture, ResizeIsDebouncedAndWaitsForHeldButtons) {
    QSignalSpy hover(m_treemap, &TreemapWidget::hoverChanged);
    QTest::mouseMove(m_treemap, centre(ids.jpg));
    m_treemap->resize(600, 300);
    EXPECT_TRUE(m_treemap->resizePending());
    EXPECT_EQ(m_treemap->image().size(), QSize(800, 400)) << "the old picture is stretched meanwhile";
    QTest::mouseMove(m_treemap, QPoint(100, 100));
    EXPECT_EQ(hover.last().at(0).value<int64_t>(), -1);
    QSignalSpy clicked(m_treemap, &TreemapWidget::nodeClicked);
    QTest::mouseClick(m_treemap, Qt::LeftButton, {}, QPoint(100, 100));
    EXPECT_EQ(clicked.count(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!m_treemap->resizePending(), 2000);
    EXPECT_EQ(m_treemap->image().size(), QSize(600, 300));

    // Back to the built size before the timer: nothing to rebuild.
    m_treemap->resize(500, 300);
    m_treemap->resize(600, 300);
    EXPECT_FALSE(m_treemap->resizePending());

    // A held button keeps the old picture until it is released.
    QTest::mousePress(m_treemap, Qt::LeftButton, {}, QPoint(10, 10));
    m_treemap->resize(700, 350);
    QTest::qWait(400);
    EXPECT_TRUE(m_treemap->resizePending());
    QTest::mouseRelease(m_treemap, Qt::LeftButton, {}, QPoint(10, 10));
    QTRY_VERIFY_WITH_TIMEOUT(!m_treemap->resizePending(), 2000);
    EXPECT_EQ(m_treemap->image().size(), QSize(700, 350));
}

TEST_F(TreemapWidgetFixture, ColoursFollowSettingsAndGrayExport) {
    const QPointF jpg = m_treemap->rectOf(ids.jpg).center();
    QColor c = pixelAt(m_treemap->image(), jpg);
    EXPECT_FALSE(c.red() == c.green() && c.green() == c.blue()) << "coloured by size";

    QStringList palette = defaultPaletteTexts();
    palette[2] = QStringLiteral("00FF00");  // jpg's list
    saveTreemapColors(false, palette, defaultExtensionLists());
    c = pixelAt(m_treemap->image(), jpg);
    EXPECT_EQ(c.red(), 0);
    EXPECT_GT(c.green(), 200);
    EXPECT_EQ(c.blue(), 0);

    m_treemap->setExportOptions(true, false, true);
    for (uint32_t id : {ids.jpg, ids.mp4a, ids.txtx}) {
        c = pixelAt(m_treemap->image(), m_treemap->rectOf(id).center());
        EXPECT_TRUE(c.red() == c.green() && c.green() == c.blue()) << id;
    }
}

TEST(TreemapWidgetOffscreen, BuildsWithoutAnEventLoopAndSurvivesHugeSizes) {
    treemaptest::clearSettings();
    TreemapWidget widget;
    EXPECT_TRUE(widget.image().isNull());
    widget.resize(320, 200);
    widget.setTree(sampleTree());
    ASSERT_EQ(widget.image().size(), QSize(320, 200));
    EXPECT_EQ(widget.idAt(widget.rectOf(3).center()), 3);

    widget.setTree(nullptr);
    EXPECT_TRUE(widget.image().isNull());
    const QImage empty = widget.grab().toImage();
    EXPECT_EQ(empty.pixelColor(10, 10), QColor(58, 58, 58));

    // Far more pixels than memory: the rebuild gives up quietly, the next one works.
    widget.setMinimumSize(0, 0);
    widget.resize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    EXPECT_NO_THROW(widget.setTree(sampleTree()));
    EXPECT_TRUE(widget.image().isNull());
    EXPECT_EQ(widget.idAt(QPointF(5, 5)), -1);
    widget.resize(100, 80);
    widget.refresh();
    EXPECT_EQ(widget.image().size(), QSize(100, 80));
}

// A file's label wrapped as a narrow cell wraps it keeps the size's number and unit on one line.
TEST(TreemapWidgetOffscreen, LabelsNeverBreakBetweenNumberAndUnit) {
    treemaptest::clearSettings();
    TreeBuilder b("/data");
    b.file(0, "quarterly-report.pdf", 3460000);
    TreemapWidget widget;
    widget.setTree(b.finish());
    const QString label = widget.labelText(1, false);
    const qsizetype unit = label.indexOf(QStringLiteral("MB"));
    ASSERT_GT(unit, 0) << label.toStdString();
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    int wrapped = 0;
    for (int width = 64; width <= 240; ++width) {
        QTextLayout layout(label, widget.font());
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            const qsizetype end = line.textStart() + line.textLength();
            EXPECT_FALSE(line.textStart() == unit - 1 || line.textStart() == unit || end == unit)
                << "width " << width << ": " << label.mid(line.textStart(), line.textLength()).toStdString();
        }
        layout.endLayout();
        wrapped += layout.lineCount() > 1;
    }
    EXPECT_GT(wrapped, 0) << "no width wrapped the label";
}

// A real std::bad_alloc from the raster (address space limited in a child process) must be
// caught by the rebuild, leave no picture, and let later rebuilds work.
TEST(TreemapWidgetOffscreen, AllocationFailureInTheRasterLeavesNoPicture) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer ends the process on a failed allocation instead of throwing";
#endif
    treemaptest::clearSettings();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(30);
        TreemapWidget widget;
        widget.setMinimumSize(0, 0);
        widget.resize(4000, 4000);  // 128 MB of buffers, well within the machine, beyond the limit below
        const auto tree = sampleTree();  // the tree's reservations are made before the limit
        if (!hmtest::limitAddressSpaceTo(48))
            _exit(2);
        try {
            widget.setTree(tree);
        } catch (...) {
            _exit(3);
        }
        if (!widget.image().isNull())
            _exit(4);
        widget.resize(200, 100);
        widget.refresh();
        _exit(widget.image().size() == QSize(200, 100) ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
