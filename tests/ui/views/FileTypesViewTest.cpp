#include "ui/views/FileTypesView.h"

#include "app/AppSettings.h"
#include "core/analysis/ExtensionStats.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/app/ShellTestEnv.h"
#include "tests/ui/views/FileTypesTestSupport.h"
#include "ui/treemap/TreemapColorSettings.h"
#include "ui/views/FileTypesModel.h"

#include <QHeaderView>
#include <QMenu>
#include <QMimeDatabase>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

#include <memory>
#include <string>

using filetypestest::readAll;
using shelltest::qs;

namespace {

uint64_t allocatedOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
}

// Scans a folder with 4000 bytes of ".qqz" files, 3000 of ".png", 2000 without an
// extension and 1000 of a ".QQB" file (the extension rule lower-cases it).
class FileTypesViewFixture : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings::instance()->settings()->clear();
        m_root = m_dir / "tree";
        ::mkdir(m_root.c_str(), 0755);
        ::mkdir((m_root + "/sub").c_str(), 0755);
        const std::pair<const char*, size_t> files[] = {
            {"a.qqz", 1500}, {"sub/b.qqz", 2500}, {"pic.png", 3000}, {"sub/README", 1200}, {"Makefile", 800},
            {"odd.QQB", 1000}};
        for (const auto& [name, size] : files)
            hmtest::writeFile(m_root + "/" + name, std::string(size, 'x'));
        m_tree = svl::scanSingle(m_root, svl::ScanOptions{}, nullptr);
        ASSERT_TRUE(m_tree);
        std::vector<svl::ExtensionStat> stats = svl::computeExtensionStats(*m_tree);
        svl::ExtensionColorMap colors = loadExtensionColorMap(stats);
        m_view = std::make_unique<FileTypesView>();
        m_view->resize(700, 300);
        m_view->fileTypesModel()->setStats(std::move(stats), std::move(colors));
        m_view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_view.get()));
    }

    FileTypesModel* model() const { return m_view->fileTypesModel(); }
    uint64_t allocated(std::initializer_list<const char*> names) const {
        uint64_t sum = 0;
        for (const char* name : names)
            sum += allocatedOf(m_root + "/" + name);
        return sum;
    }

    // Opens the context menu at a viewport point; returns the entries ("+" when checked)
    // and triggers the one named `choose`.
    QStringList contextMenu(QPoint at, const QString& choose) {
        QStringList entries;
        QTimer::singleShot(0, [&] {
            QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu)
                return;
            QAction* chosen = nullptr;
            for (QAction* action : menu->actions()) {
                if (action->isSeparator())
                    entries << QStringLiteral("-");
                else
                    entries << action->text() + (action->isChecked() ? QStringLiteral("+") : QString());
                if (action->text() == choose)
                    chosen = action;
            }
            menu->close();
            if (chosen)
                chosen->trigger();
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, m_view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(m_view->viewport(), &event);
        return entries;
    }

    hmtest::TempDir m_dir{"filetypes-view"};
    std::string m_root;
    std::unique_ptr<svl::ScanTree> m_tree;
    std::unique_ptr<FileTypesView> m_view;
};

}  // namespace

TEST_F(FileTypesViewFixture, ShowsAScannedTreeAndExportsItsCsv) {
    ASSERT_EQ(model()->rowCount(), 4);
    QHeaderView* header = m_view->header();
    EXPECT_EQ(header->sortIndicatorSection(), 5);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(header->height(), 28);
    EXPECT_EQ(header->sectionResizeMode(0), QHeaderView::Fixed);
    EXPECT_EQ(m_view->columnWidth(2), 102);

    // Sort by Size (the header's initial order for it is descending) and export size percentages.
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(4) + 10, header->height() / 2));
    EXPECT_EQ(model()->sortColumn(), 4);
    EXPECT_EQ(model()->sortOrder(), Qt::DescendingOrder);
    QStringList extensions;
    for (int r = 0; r < model()->rowCount(); ++r)
        extensions << model()->index(r, 1).data().toString();
    EXPECT_EQ(extensions, QStringList({".qqz", ".png", "(none)", ".qqb"}));
    EXPECT_EQ(model()->index(0, 3).data().toString(), QStringLiteral("40.0%"));

    const std::string csv = m_dir / "types.csv";
    ASSERT_TRUE(m_view->exportCsv(qs(csv)));
    const std::string pngType = QMimeDatabase().mimeTypeForName(QStringLiteral("image/png")).comment().toStdString();
    const std::string expected = "Extension,File Type,Percent,Size,Allocated,Files\n"
                                 "\"qqz\",\"QQZ File\",40.000,4000," +
                                 std::to_string(allocated({"a.qqz", "sub/b.qqz"})) + ",2\n\"png\",\"" + pngType +
                                 "\",30.000,3000," + std::to_string(allocated({"pic.png"})) +
                                 ",1\n\"\",\"(No Extension)\",20.000,2000," +
                                 std::to_string(allocated({"sub/README", "Makefile"})) + ",2\n" +
                                 "\"qqb\",\"QQB File\",10.000,1000," + std::to_string(allocated({"odd.QQB"})) + ",1\n";
    EXPECT_EQ(readAll(csv), expected);

    EXPECT_FALSE(m_view->exportCsv(QStringLiteral("/dev/full")));
    const QImage picture = m_view->grab().toImage();
    ASSERT_FALSE(picture.isNull());
    if (const char* out = getenv("HM_GRAB_DIR"))
        picture.save(QString::fromUtf8(out) + QStringLiteral("/filetypes.png"));
}

TEST_F(FileTypesViewFixture, CsvPercentagesAreOfAllocationOnlyWhenSortedByAllocated) {
    const std::string csv = m_dir / "types.csv";
    const auto percents = [&] {
        ASSERT_TRUE(m_view->exportCsv(qs(csv)));
    };
    const uint64_t total = allocated({"a.qqz", "sub/b.qqz", "pic.png", "sub/README", "Makefile", "odd.QQB"});
    if (total == 0)
        GTEST_SKIP() << "the temporary folder's file system allocates nothing";
    percents();
    const QByteArray byAllocated = QByteArray::number(double(allocated({"pic.png"})) * 100.0 / double(total), 'f', 3);
    EXPECT_NE(readAll(csv).find("\"png\",\"" + QMimeDatabase().mimeTypeForName("image/png").comment().toStdString() +
                                "\"," + byAllocated.toStdString() + ","),
              std::string::npos)
        << readAll(csv);
    model()->sort(6, Qt::DescendingOrder);  // the view shows allocated percentages, the export size ones
    percents();
    EXPECT_NE(readAll(csv).find("\",30.000,3000,"), std::string::npos) << readAll(csv);
}

TEST_F(FileTypesViewFixture, SwatchHeaderNeitherSortsNorMoves) {
    QHeaderView* header = m_view->header();
    const QPoint swatch(header->sectionViewportPosition(0) + 8, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, swatch);
    QTest::mouseDClick(header->viewport(), Qt::LeftButton, {}, swatch);
    EXPECT_EQ(header->sortIndicatorSection(), 5);
    EXPECT_EQ(model()->sortColumn(), 5);

    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(2) + 10, header->height() / 2));
    EXPECT_EQ(model()->sortColumn(), 2);
    EXPECT_EQ(model()->sortOrder(), Qt::AscendingOrder) << "File Type starts ascending";
}

TEST_F(FileTypesViewFixture, ContextMenuOnARowAndBelowTheRows) {
    QSignalSpy select(m_view.get(), &FileTypesView::selectExtensionRequested);
    QSignalSpy exportAsked(m_view.get(), &FileTypesView::exportRequested);
    QSignalSpy hide(m_view.get(), &FileTypesView::hideRequested);
    model()->sort(4, Qt::AscendingOrder);  // qqb, (none), png, qqz
    const QRect noneRow = m_view->visualRect(model()->index(1, 2));
    EXPECT_EQ(contextMenu(noneRow.center(), QStringLiteral("Select")),
              QStringList({"Select", "Export File Types to CSV File…", "-", "Show File Types+"}));
    EXPECT_EQ(m_view->currentIndex().row(), 1);
    ASSERT_EQ(select.count(), 1);
    EXPECT_EQ(select.at(0).at(0).toString(), QString()) << "files without an extension";

    const QRect qqbRow = m_view->visualRect(model()->index(0, 1));
    contextMenu(qqbRow.center(), QStringLiteral("Select"));
    ASSERT_EQ(select.count(), 2);
    EXPECT_EQ(select.at(1).at(0).toString(), QStringLiteral("qqb"));
    contextMenu(qqbRow.center(), QStringLiteral("Export File Types to CSV File…"));
    EXPECT_EQ(exportAsked.count(), 1);

    const QPoint below(20, m_view->viewport()->height() - 5);
    ASSERT_FALSE(m_view->indexAt(below).isValid());
    EXPECT_EQ(contextMenu(below, QStringLiteral("Show File Types")), QStringList({"Show File Types+"}));
    EXPECT_EQ(hide.count(), 1);
    EXPECT_EQ(select.count(), 2);
}
