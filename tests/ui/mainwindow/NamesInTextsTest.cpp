// Texts of the window that carry a name or a path keep their own words in reading order,
// whatever direction controls the name holds, and show a name that looks like markup as written.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QTest>

#include <filesystem>

#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/app/TextOrder.h"
#include "app/ProgramResources.h"
#include "app/StringsTranslator.h"
#include "app/ValueFormat.h"
#include "integration/ItemPlace.h"
#include "ui/header/ElidingLabel.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/SourceList.h"
#include "ui/mainwindow/EmptyStateWidget.h"
#include "ui/mainwindow/FileCommandPlanner.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/ScanJob.h"
#include "ui/mainwindow/WindowRules.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/DirectionalText.h"
#include "ui/views/FileListModel.h"
#include "ui/views/FileViewPanel.h"
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
        {"window title", windowTitleFor(roots), roots.roots[0]},
        {"status", jobOutcome(nullptr, false, JobKind::Folder, "/data/" + world, "No such file").statusText,
         "/data/" + world},
        {"treemap label", treemap.labelText(uint32_t(evilId), false), evil},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(textorder::wordsKeepTheirOrder(c.text, c.name, Qt::LeftToRight)) << c.place;

    // The questions and errors about the item show its control as a mark, in its place.
    const QString marked = "<U+202E>evil" + QString(QChar(0x200B)) + "gpj.exe";
    const QString markedPath = file.path.chopped(evil.size()) + marked;
    for (const Qt::LayoutDirection direction : {Qt::LeftToRight, Qt::RightToLeft}) {
        QGuiApplication::setLayoutDirection(direction);
        EXPECT_TRUE(textorder::readsAsAlone(FileCommandPlanner::trashQuestion({file}), marked, direction));
        EXPECT_TRUE(textorder::readsAsAlone(FileCommandPlanner::deleteQuestion({file}), marked, direction));
        EXPECT_TRUE(textorder::readsAsAlone(FileCommandPlanner::refusalText({{file, "Permission denied"}}), markedPath,
                                            direction));
        EXPECT_TRUE(textorder::readsAsAlone(placeChangedText(file.path), markedPath, direction));
    }
    QGuiApplication::setLayoutDirection(Qt::LeftToRight);
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

// A folder name with a direction control leaves every path through it in order: slashes and
// names left to right in the status bar, the treemap, the header, the File View, tool tips,
// errors and the window title, in English and in the right-to-left Hebrew and Arabic windows,
// where sizes, dates, patterns and devices also keep their own order.
TEST(NamesInTexts, PathsSizesAndDatesKeepTheirOrderInEitherDirection)
{
    initProgramResources();
    hmtest::TempDir dir("hm-paths");
    QStringList folders;
    for (const char16_t control : {0x202E, 0x202B, 0x2066, 0x2067, 0x2068, 0x2069, 0x200F, 0x061C}) {
        folders << "top" + QString(QChar(control)) + "dir/sub";
        std::filesystem::create_directories(dir / folders.back().toStdString());
        hmtest::writeFile(dir / (folders.back() + "/bold.txt").toStdString(), std::string(60000, 'x'));
    }
    std::shared_ptr<svl::ScanTree> tree = svl::scanSingle(dir.path(), {}, nullptr);
    for (const QString& tag : {QStringLiteral("en"), QStringLiteral("he"), QStringLiteral("ar")}) {
        SCOPED_TRACE(tag.toStdString());
        windowtest::clearSettings();
        AppSettings::instance()->setSaveEnabled(false);
        installTranslator(tag);
        QLocale::setDefault(QLocale(tag));
        const Qt::LayoutDirection direction = QGuiApplication::layoutDirection();
        ASSERT_EQ(direction, tag == "en" ? Qt::LeftToRight : Qt::RightToLeft);
        MainWindow window;
        window.resize(1800, 700);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        window.installTree(tree, false);
        FileViewPanel* files = window.fileView();
        files->setSearchText(QStringLiteral("bold"));
        files->refreshNow();
        ASSERT_TRUE(windowtest::waitUntil([&] { return !files->isBusy(); }, 5000));
        auto* detail = window.header()->findChild<ElidingLabel*>(QStringLiteral("selectionDetailLabel"));
        ASSERT_NE(detail, nullptr);

        for (const QString& folder : folders) {
            const QString folderPath = shelltest::qs(dir / folder.toStdString());
            const QString path = folderPath + "/bold.txt";
            const std::string bytes = path.toStdString(), folderBytes = folderPath.toStdString();
            const int64_t id = tree->findPath(bytes.data(), bytes.size());
            const int64_t folderId = tree->findPath(folderBytes.data(), folderBytes.size());
            ASSERT_GT(id, 0);
            window.selectNode(uint32_t(folderId));
            window.zoomTreemapToSelection();
            window.header()->selectPath(folderPath);
            window.header()->updateSpaceLabels(folderPath);
            window.showHoverText(id);
            int row = 0;
            FileListModel* list = files->model();
            while (row < list->rowCount() && list->nodeId(list->index(row, 0)) != uint32_t(id))
                ++row;
            const QModelIndex pathCell = files->model()->index(row, FileListModel::PathColumn);
            ASSERT_TRUE(pathCell.isValid());
            TitleSource title;
            title.selectedPath = folderPath;
            title.selectedIsFolder = true;
            const struct {
                const char* place;
                QString text;
                QString path;
            } cases[] = {
                {"status bar", window.hoverLabel()->text(), path},
                {"treemap header", window.treemapPanel()->titleLabel()->text(), folderPath},
                {"treemap folder label", window.treemapPanel()->treemap()->labelText(tree->node(uint32_t(folderId)).parent, true),
                 folder.section(QLatin1Char('/'), 0, 0) + QLatin1Char('/')},
                {"header selection", detail->drawnText(), folderPath},
                {"File View path", isolatedCellText(pathCell.data().toString(), pathCell, direction), path},
                {"tool tip", window.nodeModel()->indexForId(uint32_t(id)).data(Qt::ToolTipRole).toString(), path},
                {"window title", windowTitleFor(title), folderPath},
                {"error", jobOutcome(nullptr, false, JobKind::Folder, path, "No such file").statusText, path},
            };
            for (const auto& c : cases)
                EXPECT_TRUE(textorder::pathKeepsItsOrder(c.text, c.path, direction))
                    << c.place << ": " << c.text.toStdString();
        }

        const std::string first = dir / (folders.first() + "/bold.txt").toStdString();
        const uint32_t id = uint32_t(tree->findPath(first.data(), first.size()));
        window.header()->showImportedFile(QString::fromStdString(first), false, 0, 0, false);
        EXPECT_TRUE(textorder::pathKeepsItsOrder(detail->drawnText(), QString::fromStdString(first), direction))
            << "header import: " << detail->drawnText().toStdString();
        window.header()->clearImportedSource();
        window.selectNode(id);
        const QString size = formatSize(tree->node(id).size), allocated = formatSize(tree->node(id).allocated);
        const QString label = window.treemapPanel()->treemap()->labelText(id, false);
        const QModelIndex modified = files->model()->index(0, FileListModel::ModifiedColumn);
        const QString date = modified.data().toString(), shownDate = isolatedCellText(date, modified, direction);
        const QString total = window.selectionLabel()->text();
        VolumeRecord volume;
        volume.rootPath = "/";
        volume.device = "/dev/vda";
        window.scanFolder(shelltest::qs(dir.path()));
        ASSERT_TRUE(windowtest::waitUntil([&] { return !window.isJobRunning(); }));
        window.setFilterTexts(QStringLiteral("*.txt"), QString());
        window.applyFilterPanel();
        const struct {
            const char* place;
            QString text;
            QString value;
        } values[] = {
            {"status bar total", total, allocated},
            {"treemap label", label, label.contains(size) ? size : allocated},
            {"Modified column", shownDate, date},
            {"filter note", window.filterLabel()->text(), QStringLiteral("*.txt")},
            {"source picker", volumeItemText(volume), volume.device},
        };
        for (const auto& v : values)
            EXPECT_TRUE(textorder::readsAsAlone(v.text, v.value, direction)) << v.place;
        localization::removeTranslator();
        QLocale::setDefault(QLocale(QStringLiteral("en_US")));
    }
}
