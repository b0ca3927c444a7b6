// Texts of the window that carry a name or a path keep their own words in reading order,
// whatever direction controls the name holds, and show a name that looks like markup as written.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QTest>

#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/app/TextOrder.h"
#include "ui/mainwindow/EmptyStateWidget.h"
#include "ui/mainwindow/FileCommandPlanner.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/ScanJob.h"
#include "ui/mainwindow/WindowRules.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/NodeModel.h"

TEST(NamesInTexts, DirectionControlsInANameStayInsideIt)
{
    const QString evil = QChar(0x202E) + QStringLiteral("evil") + QChar(0x200B) + QStringLiteral("gpj.exe");
    const QString world = QChar(0x202E) + QStringLiteral("dlrow");
    hmtest::TempDir dir("hm-names");
    hmtest::writeFile(dir / evil.toStdString(), std::string(12288, 'x'));
    std::shared_ptr<svl::ScanTree> tree = svl::scanSingle(dir.path(), {}, nullptr);
    const std::string evilPath = dir / evil.toStdString();
    const int64_t evilId = tree->findPath(evilPath.data(), evilPath.size());
    ASSERT_GT(evilId, 0);
    TreemapWidget treemap;
    treemap.setTree(tree);

    const SelectedItem file{uint32_t(evilId), shelltest::qs(evilPath), evil, false};
    TitleSource roots;
    roots.roots = {"/data/" + world, "/backup"};
    const struct {
        const char* place;
        QString text;
        QString name;
    } cases[] = {
        {"trash question", FileCommandPlanner::trashQuestion({file}), evil},
        {"refusal", FileCommandPlanner::refusalText({{file, "Permission denied"}}), file.path},
        {"window title", windowTitleFor(roots), roots.roots[0]},
        {"status", jobOutcome(nullptr, false, JobKind::Folder, "/data/" + world, "No such file").statusText,
         "/data/" + world},
        {"treemap label", treemap.labelText(uint32_t(evilId), false), evil},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(textorder::wordsKeepTheirOrder(c.text, c.name, Qt::LeftToRight)) << c.place;
}

TEST(NamesInTexts, MarkupInANameShowsAsWritten)
{
    const QString names[] = {"<b>big.txt", "<img src=x>", "<a href=x>link", "&lt;i&gt; x", "x <i>two  spaces"};
    hmtest::TempDir dir("hm-markup");
    for (const QString& name : names)
        hmtest::writeFile(dir / name.toStdString(), std::string(20000, 'x'));
    windowtest::clearSettings();
    MainWindow window;
    window.resize(1000, 700);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    std::shared_ptr<svl::ScanTree> tree = svl::scanSingle(dir.path(), {}, nullptr);
    window.installTree(tree, false);
    TreemapWidget* treemap = window.treemapPanel()->treemap();
    auto* info = treemap->findChild<QLabel*>();
    ASSERT_NE(info, nullptr);

    for (const QString& name : names) {
        const std::string path = dir / name.toStdString();
        const int64_t id = tree->findPath(path.data(), path.size());
        ASSERT_GT(id, 0);
        ASSERT_TRUE(windowtest::waitUntil([&] { return treemap->rectOf(uint32_t(id)).width() > 2; }, 5000));
        QTest::mouseMove(treemap, treemap->rectOf(uint32_t(id)).center().toPoint());
        ASSERT_TRUE(windowtest::waitUntil([&] { return info->isVisible(); }, 3000)) << name.toStdString();
        const QString hover = windowtest::shownText(window.hoverLabel()->text(), window.hoverLabel()->textFormat());
        const QString information = windowtest::shownText(info->text(), info->textFormat());
        const SelectedItem item{uint32_t(id), shelltest::qs(path), name, false};
        windowtest::BoxAnswerer cancel(QStringLiteral("Cancel"));
        window.askConfirmation(FileCommandPlanner::trashQuestion({item}), QString(), "Move to Trash", QString());
        const QString question = cancel.shown;
        windowtest::BoxAnswerer ok(QStringLiteral("OK"));
        window.showError(FileCommandPlanner::refusalText({{item, "Permission denied"}}), item.path);
        const QModelIndex row = window.nodeModel()->indexForId(uint32_t(id));
        const struct {
            const char* place;
            QString shown;
            qsizetype copies;
        } cases[] = {
            {"hover label", hover, 1},
            {"treemap information", information, 1},
            {"question box", question, 1},
            {"error box and its detail", ok.shown, 2},
            {"tool tip", windowtest::shownText(row.data(Qt::ToolTipRole).toString()), 1},
        };
        for (const auto& c : cases)
            EXPECT_GE(c.shown.count(name), c.copies) << c.place << ": " << c.shown.toStdString();
    }

    // The failed scan's page names the folder it couldn't read.
    window.scanFolder(shelltest::qs(dir / "<b>gone"));
    ASSERT_TRUE(windowtest::waitUntil([&] { return !window.isJobRunning() && window.isEmptyPageShown(); }));
    QString page;
    for (const QLabel* label : window.emptyState()->findChildren<QLabel*>())
        page += windowtest::shownText(label->text(), label->textFormat()) + '\n';
    EXPECT_TRUE(page.contains("<b>gone")) << page.toStdString();
}
