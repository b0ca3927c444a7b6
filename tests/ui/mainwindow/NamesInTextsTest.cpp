// Texts of the window that carry a name or a path keep their own words in reading order,
// whatever direction controls the name holds.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/app/TextOrder.h"
#include "ui/mainwindow/FileCommandPlanner.h"
#include "ui/mainwindow/ScanJob.h"
#include "ui/mainwindow/WindowRules.h"
#include "ui/treemap/TreemapWidget.h"

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
