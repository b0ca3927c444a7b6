// The treemap built on a worker: the same picture as a build on the calling thread, only
// the newest request installed, statistics handed over with or without new colours, and
// a widget destroyed mid-build.
#include "ui/treemap/TreemapWidget.h"

#include "tests/ui/treemap/TreemapTestSupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <string>

using treemaptest::TreeBuilder;

namespace {

// `folders` folders of `files` files each, extensions cycling through four kinds; sizes
// grow with `scale` so that two such trees give different pictures.
std::shared_ptr<svl::ScanTree> makeTree(int folders, int files, uint64_t scale) {
    static const char* const kinds[] = {".mp4", ".jpg", ".txt", ".zip"};
    TreeBuilder b("/data");
    std::vector<uint32_t> ids;
    for (int d = 0; d < folders; ++d)
        ids.push_back(b.folder(0, "d" + std::to_string(d)));
    for (int d = 0; d < folders; ++d)
        for (int f = 0; f < files; ++f)
            b.file(ids[d], "f" + std::to_string(f) + kinds[(d + f) % 4], scale * uint64_t(1 + (d * 7 + f * 13) % 97));
    return b.finish();
}

bool waitBuilt(const TreemapWidget& treemap) {
    QElapsedTimer clock;
    clock.start();
    while (treemap.buildPending() && clock.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return !treemap.buildPending();
}

class TreemapBackgroundBuild : public ::testing::Test {
protected:
    void SetUp() override {
        treemaptest::clearSettings();
        m_window.resize(700, 360);
        m_background = new TreemapWidget(&m_window);
        m_background->setGeometry(0, 0, 700, 180);
        m_background->setBackgroundBuilds(true);
        m_direct = new TreemapWidget(&m_window);
        m_direct->setGeometry(0, 180, 700, 180);
        m_window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
    }

    QWidget m_window;
    TreemapWidget* m_background = nullptr;
    TreemapWidget* m_direct = nullptr;
};

}  // namespace

TEST_F(TreemapBackgroundBuild, OnlyTheNewestTreeIsInstalledWithTheDirectPicture) {
    QSignalSpy stats(m_background, &TreemapWidget::statisticsReady);
    const auto first = makeTree(60, 200, 1);
    const auto second = makeTree(40, 150, 1000);
    m_background->setTree(first);
    // The call returns before the work is done; nothing of an older tree is shown meanwhile.
    EXPECT_TRUE(m_background->buildPending());
    EXPECT_TRUE(m_background->image().isNull());
    EXPECT_EQ(m_background->idAt(QPointF(10, 10)), -1);
    m_background->setTree(second);
    ASSERT_TRUE(waitBuilt(*m_background));

    m_direct->setTree(second);
    ASSERT_FALSE(m_direct->image().isNull());
    EXPECT_TRUE(m_background->image() == m_direct->image());
    EXPECT_EQ(m_background->stats().size(), m_direct->stats().size());
    EXPECT_EQ(m_background->colorMap(), m_direct->colorMap());
    ASSERT_EQ(stats.size(), 1);  // the first tree's result was dropped
    EXPECT_TRUE(stats[0][0].toBool());
    uint64_t files = 0;
    for (const svl::ExtensionStat& s : m_background->stats())
        files += s.files;
    EXPECT_EQ(files, 40u * 150u);
    const QPointF inside = m_background->rectOf(1).center();
    EXPECT_EQ(m_background->idAt(inside), m_direct->idAt(inside));
}

TEST_F(TreemapBackgroundBuild, RemovalsWaitForTheWorkerAndKeepTheColours) {
    const auto tree = makeTree(30, 100, 1);
    m_background->setTree(tree);
    ASSERT_TRUE(waitBuilt(*m_background));
    const svl::ExtensionColorMap colours = m_background->colorMap();

    // A resize starts a worker; the wait ends it before the tree is written.
    m_background->resize(650, 170);
    m_background->refresh();
    ASSERT_TRUE(m_background->buildPending());
    m_background->waitForBuild();
    EXPECT_FALSE(m_background->buildPending());
    EXPECT_FALSE(m_background->image().isNull());

    QSignalSpy stats(m_background, &TreemapWidget::statisticsReady);
    for (uint32_t folder = 1; folder <= 10; ++folder)
        ASSERT_TRUE(tree->markRemoved(folder));
    m_background->refresh();
    ASSERT_TRUE(waitBuilt(*m_background));
    ASSERT_EQ(stats.size(), 1);
    EXPECT_FALSE(stats[0][0].toBool());
    EXPECT_EQ(m_background->colorMap(), colours);
    uint64_t files = 0;
    for (const svl::ExtensionStat& s : m_background->stats())
        files += s.files;
    EXPECT_EQ(files, 20u * 100u);
    // No pixel shows a removed folder or one of its files (ids 31 to 1030).
    int shown = 0;
    for (int y = 1; y < m_background->height(); y += 3)
        for (int x = 1; x < m_background->width(); x += 3) {
            const int64_t id = m_background->idAt(QPointF(x, y));
            EXPECT_FALSE((id >= 1 && id <= 10) || (id >= 31 && id <= 1030)) << id;
            shown += id > 1030;
        }
    EXPECT_GT(shown, 0);
}

TEST_F(TreemapBackgroundBuild, ZoomWhileBuildingEndsOnTheZoomedPicture) {
    const auto tree = makeTree(30, 100, 1);
    m_background->setTree(tree);
    m_background->zoomTo(3);
    EXPECT_EQ(m_background->zoomRoot(), 3u);
    ASSERT_TRUE(waitBuilt(*m_background));
    m_direct->setTree(tree);
    m_direct->zoomTo(3);
    EXPECT_TRUE(m_background->image() == m_direct->image());
}

TEST(TreemapBackgroundBuildLifetime, DestroyedWhileBuildingNeitherHangsNorCrashes) {
    treemaptest::clearSettings();
    const auto tree = makeTree(200, 500, 1);
    for (int i = 0; i < 3; ++i) {
        auto treemap = std::make_unique<TreemapWidget>();
        treemap->resize(900, 500);
        treemap->setBackgroundBuilds(true);
        treemap->setTree(tree);
        EXPECT_TRUE(treemap->buildPending());
        treemap.reset();
        // The worker's queued hand-over now targets nothing.
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(tree.use_count(), 1);
}
