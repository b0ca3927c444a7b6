#include "ui/treemap/TreemapPanel.h"

#include "app/ValueFormat.h"
#include "tests/ui/treemap/TreemapTestSupport.h"
#include "ui/header/RuleFrame.h"
#include "ui/treemap/TreemapWidget.h"

#include <QLabel>
#include <QTest>
#include <QToolButton>

namespace {

std::shared_ptr<svl::ScanTree> panelTree() {
    treemaptest::TreeBuilder b("/srv");
    b.folder(0, "media");
    b.file(0, "top.iso", 400000);
    b.file(1, "one.mkv", 2000000);
    b.file(1, "two.mkv", 1000000);
    b.tree->node(3).allocated = 2097152;  // allocation differs from size
    return b.finish();
}

class TreemapPanelFixture : public ::testing::Test {
protected:
    void SetUp() override {
        treemaptest::clearSettings();
        m_panel = std::make_unique<TreemapPanel>();
        m_panel->resize(700, 400);
        m_panel->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_panel.get()));
    }
    QString title() const { return m_panel->titleLabel()->text(); }
    std::unique_ptr<TreemapPanel> m_panel;
};

}  // namespace

TEST_F(TreemapPanelFixture, TitleNamesTheZoomRootAndButtonsUnzoom) {
    EXPECT_EQ(title(), QStringLiteral("Treemap"));
    EXPECT_FALSE(m_panel->upButton()->isVisible());
    EXPECT_FALSE(m_panel->topButton()->isVisible());
    const int titleX = m_panel->titleLabel()->geometry().x();

    const auto tree = panelTree();
    m_panel->setTree(tree);
    EXPECT_EQ(title(), QStringLiteral("/srv \u2014 %1").arg(formatSize(tree->node(0).allocated)));

    TreemapWidget* treemap = m_panel->treemap();
    treemap->zoomTo(3);  // a file: its folder
    EXPECT_EQ(title(), QStringLiteral("/srv/media \u2014 %1").arg(formatSize(3097152)));
    EXPECT_TRUE(m_panel->upButton()->isVisible());
    EXPECT_TRUE(m_panel->topButton()->isVisible());
    EXPECT_EQ(m_panel->titleLabel()->geometry().x(), titleX) << "hidden buttons keep their room";

    QTest::mouseClick(m_panel->upButton(), Qt::LeftButton);
    EXPECT_EQ(treemap->zoomRoot(), 0u);
    EXPECT_FALSE(m_panel->upButton()->isVisible());
    treemap->zoomTo(1);
    QTest::mouseClick(m_panel->topButton(), Qt::LeftButton);
    EXPECT_EQ(treemap->zoomRoot(), 0u);

    // Title follows the size settings at once.
    treemap->zoomTo(1);
    AppSettings::instance()->setValue("showTreemapAllocated", false);
    EXPECT_EQ(title(), QStringLiteral("/srv/media \u2014 %1").arg(formatSize(3000000)));
    AppSettings::instance()->setValue("unitBase", 1000);
    EXPECT_EQ(title(), QStringLiteral("/srv/media \u2014 3.0\u00A0MB"));

    m_panel->setTree(nullptr);
    EXPECT_EQ(title(), QStringLiteral("Treemap"));
    EXPECT_FALSE(m_panel->upButton()->isVisible());
}

TEST_F(TreemapPanelFixture, RuleLineUnderTheHeaderUsesTheMidColour) {
    RuleFrame* rule = m_panel->findChild<RuleFrame*>();
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(rule->height(), 1);
    EXPECT_EQ(rule->width(), m_panel->width());
    QPalette palette = rule->palette();
    palette.setColor(QPalette::Mid, QColor(12, 200, 34));
    rule->setPalette(palette);
    const QImage line = rule->grab().toImage();
    EXPECT_EQ(line.pixelColor(0, 0), QColor(12, 200, 34));
    EXPECT_EQ(line.pixelColor(line.width() - 1, 0), QColor(12, 200, 34));
}
