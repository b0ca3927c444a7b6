#include "ui/views/FileTypesModel.h"

#include "tests/app/ShellTestEnv.h"
#include "tests/ui/views/FileTypesTestSupport.h"
#include "ui/views/ExtensionMimeType.h"
#include "ui/views/ItemRoles.h"

#include <QAbstractItemModelTester>
#include <QImage>
#include <QMimeDatabase>
#include <QSignalSpy>

#include <string>
#include <vector>

using filetypestest::row;

namespace {

std::vector<std::string> order(const FileTypesModel& model) {
    std::vector<std::string> out;
    for (const svl::ExtensionStat& r : model.rows())
        out.push_back(r.extension);
    return out;
}

QString text(const FileTypesModel& model, int r, int column) {
    return model.data(model.index(r, column)).toString();
}

}  // namespace

TEST(FileTypesModel, SwatchChannelsAreBrightenedInSinglePrecisionAndCapped) {
    const struct {
        float channel;
        int expected;
    } cases[] = {{200, 255}, {72, 106}, {0, 0}, {255, 255}, {173.86f, 255}, {100, 147}, {15, 22}, {1, 1}, {0.3f, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(FileTypesModel::swatchColor({c.channel, c.channel, c.channel}).red(), c.expected) << c.channel;
    EXPECT_EQ(FileTypesModel::swatchColor({72, 200, 15}), QColor(106, 255, 22));
}

TEST(FileTypesModel, SwatchFollowsTheColourMapAndPaletteChanges) {
    FileTypesModel model;
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    svl::TreemapPalette palette;
    svl::defaultTreemapColors(palette);
    model.setPalette(palette);
    EXPECT_EQ(changed.count(), 0) << "no rows, nothing to repaint";

    model.setStats({row("mapped", 10, 30), row("other", 10, 20), row("", 10, 10)}, {{"mapped", 3}, {"", 5}});
    palette[3] = {72, 10, 200};
    palette[5] = {1, 2, 3};
    palette[svl::kTreemapOtherSlot] = {100, 0, 15};
    model.setPalette(palette);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).toModelIndex(), model.index(0, 0));
    EXPECT_EQ(changed.at(0).at(1).toModelIndex(), model.index(2, 0));
    EXPECT_EQ(changed.at(0).at(2).value<QList<int>>(), QList<int>{Qt::DecorationRole});

    const QColor expected[] = {QColor(106, 15, 255), QColor(147, 0, 22), QColor(1, 3, 4)};
    for (int r = 0; r < 3; ++r) {
        const QPixmap swatch = model.data(model.index(r, 0), Qt::DecorationRole).value<QPixmap>();
        ASSERT_EQ(swatch.size(), QSize(12, 12));
        const QImage image = swatch.toImage();
        EXPECT_EQ(image.pixelColor(0, 0), expected[r]) << r;
        EXPECT_EQ(image.pixelColor(11, 11), expected[r]) << r;
    }
}

TEST(FileTypesModel, TextsOfTheColumns) {
    FileTypesModel model;
    model.setStats({row("xyz", 1, 8, 1234567), row("", 3, 0, 2), row("png", 4, 24, 3)}, {});
    ASSERT_EQ(order(model), (std::vector<std::string>{"png", "xyz", ""}));
    EXPECT_EQ(text(model, 0, 1), QStringLiteral(".png"));
    EXPECT_EQ(text(model, 1, 1), QStringLiteral(".xyz"));
    EXPECT_EQ(text(model, 2, 1), QStringLiteral("(none)"));
    EXPECT_EQ(text(model, 0, 2), QMimeDatabase().mimeTypeForName(QStringLiteral("image/png")).comment());
    EXPECT_EQ(text(model, 1, 2), QStringLiteral("XYZ File"));
    EXPECT_EQ(text(model, 2, 2), QStringLiteral("(No Extension)"));
    EXPECT_EQ(text(model, 1, 6), QStringLiteral("1,234,567"));
    for (int column = 0; column < 7; ++column)
        EXPECT_FALSE(model.data(model.index(0, column), Qt::ToolTipRole).isValid());
    EXPECT_FALSE(model.data(model.index(3, 1)).isValid()) << "past the last row";
    EXPECT_FALSE(model.data(model.index(0, 1), Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_FALSE(model.data(model.index(1, 1), Qt::DecorationRole).value<QIcon>().isNull()) << "style's file icon";
}

TEST(FileTypesModel, PercentBaseFollowsTheSortColumn) {
    FileTypesModel model;
    model.setStats({row("a", 1, 3), row("b", 3, 1)}, {});
    const auto percents = [&] {
        std::vector<std::pair<QString, double>> out;
        for (int r = 0; r < model.rowCount(); ++r)
            out.emplace_back(text(model, r, 3), model.data(model.index(r, 3), PercentRole).toDouble());
        return out;
    };
    using P = std::vector<std::pair<QString, double>>;
    EXPECT_EQ(percents(), (P{{"75.0%", 75.0}, {"25.0%", 25.0}})) << "allocated, by Allocated";
    model.sort(4, Qt::DescendingOrder);
    EXPECT_EQ(percents(), (P{{"75.0%", 75.0}, {"25.0%", 25.0}})) << "b first, by size";
    EXPECT_EQ(order(model), (std::vector<std::string>{"b", "a"}));
    model.sort(6, Qt::DescendingOrder);
    EXPECT_EQ(percents(), (P{{"25.0%", 25.0}, {"75.0%", 75.0}})) << "Files sort shows allocated again";

    model.setStats({row("a", 0, 0), row("b", 0, 0)}, {});
    EXPECT_EQ(percents(), (P{{"0.0%", 0.0}, {"0.0%", 0.0}}));
    // Totals past 2^64 stop at the maximum rather than wrap to a small divisor (150% each).
    model.setStats({row("a", 1, 3ull << 62), row("b", 1, 3ull << 62)}, {});
    EXPECT_EQ(percents(), (P{{"75.0%", 75.0}, {"75.0%", 75.0}}));
    model.setStats({row("a", 1, 1), row("b", 2, 2)}, {});
    EXPECT_EQ(text(model, 1, 3), QStringLiteral("66.7%"));
    EXPECT_DOUBLE_EQ(model.data(model.index(1, 3), PercentRole).toDouble(), 200.0 / 3);
}

TEST(FileTypesModel, StableSortKeepsEqualRowsInTheirPreviousOrderBothWays) {
    FileTypesModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    // Allocated: jqc, jqa, jqd tie; "qqa" and "QQA" have the same file-type text.
    model.setStats({row("jqc", 5, 7, 2), row("qqb", 1, 9, 2), row("jqa", 9, 7, 1), row("jqd", 3, 7, 2),
                    row("qqa", 2, 1, 2), row("QQA", 4, 1, 1)},
                   {});
    using Order = std::vector<std::string>;
    EXPECT_EQ(order(model), (Order{"qqb", "jqc", "jqa", "jqd", "qqa", "QQA"}));
    model.sort(5, Qt::AscendingOrder);
    EXPECT_EQ(order(model), (Order{"qqa", "QQA", "jqc", "jqa", "jqd", "qqb"}));
    model.sort(1, Qt::AscendingOrder);
    EXPECT_EQ(order(model), (Order{"QQA", "jqa", "jqc", "jqd", "qqa", "qqb"})) << "byte order";
    model.sort(6, Qt::DescendingOrder);
    EXPECT_EQ(order(model), (Order{"jqc", "jqd", "qqa", "qqb", "QQA", "jqa"}));
    model.sort(6, Qt::AscendingOrder);
    EXPECT_EQ(order(model), (Order{"QQA", "jqa", "jqc", "jqd", "qqa", "qqb"}));
    model.sort(2, Qt::AscendingOrder);
    EXPECT_EQ(order(model), (Order{"jqa", "jqc", "jqd", "QQA", "qqa", "qqb"}));
    model.sort(2, Qt::DescendingOrder);
    EXPECT_EQ(order(model), (Order{"qqb", "QQA", "qqa", "jqd", "jqc", "jqa"}));
    model.sort(4, Qt::DescendingOrder);
    EXPECT_EQ(order(model), (Order{"jqa", "jqc", "QQA", "jqd", "qqa", "qqb"}));
    // A new scan keeps the sort in force.
    model.sort(2, Qt::DescendingOrder);
    model.setStats({row("jqa", 1, 1), row("jqb", 1, 1)}, {});
    EXPECT_EQ(order(model), (Order{"jqb", "jqa"}));
    EXPECT_EQ(model.sortColumn(), 2);
    EXPECT_EQ(model.sortOrder(), Qt::DescendingOrder);
}

TEST(FileTypesModel, FileTypeOrderMatchesCaseInsensitiveTextComparison) {
    // Real MIME comments, upper-case "<EXT> File" texts and non-ASCII extensions together.
    std::vector<svl::ExtensionStat> rows;
    for (const char* ext : {"png", "jpg", "txt", "mp3", "c", "h", "cpp", "pdf", "xyz", "zz9", "é", "ǆ", "ß", "ÿx",
                            "ǅ", "ıi", "ﬀ", "𐐀", "𐐨", "a", "tar", "gz", "bz2", "deb", "html", "svg", "1", "json"})
        rows.push_back(row(ext, 1, 1));
    FileTypesModel model;
    model.setStats(rows, {});
    for (const Qt::SortOrder direction : {Qt::AscendingOrder, Qt::DescendingOrder}) {
        model.sort(2, direction);
        for (int r = 0; r + 1 < model.rowCount(); ++r) {
            const int cmp = text(model, r, 2).compare(text(model, r + 1, 2), Qt::CaseInsensitive);
            EXPECT_TRUE(direction == Qt::AscendingOrder ? cmp <= 0 : cmp >= 0)
                << text(model, r, 2).toStdString() << " / " << text(model, r + 1, 2).toStdString();
        }
    }
}

TEST(FileTypesModel, SortSignalsAndIgnoredRequests) {
    FileTypesModel model;
    model.setStats({row("a", 1, 2), row("b", 2, 1)}, {});
    QSignalSpy layout(&model, &QAbstractItemModel::layoutChanged);
    QSignalSpy header(&model, &QAbstractItemModel::headerDataChanged);
    model.sort(5, Qt::DescendingOrder);
    model.sort(0, Qt::AscendingOrder);
    EXPECT_EQ(layout.count(), 0);
    EXPECT_EQ(header.count(), 0);
    EXPECT_EQ(model.sortColumn(), 5);

    const auto bold = [&](int section) {
        const QVariant font = model.headerData(section, Qt::Horizontal, Qt::FontRole);
        return font.isValid() && font.value<QFont>().bold();
    };
    EXPECT_TRUE(bold(5));
    model.sort(4, Qt::DescendingOrder);
    EXPECT_EQ(layout.count(), 1);
    ASSERT_EQ(header.count(), 1);
    EXPECT_EQ(header.at(0).at(1).toInt(), 0);
    EXPECT_EQ(header.at(0).at(2).toInt(), 6);
    EXPECT_TRUE(bold(4));
    EXPECT_FALSE(bold(5));
    EXPECT_FALSE(model.headerData(1, Qt::Vertical).isValid());
}

TEST(FileTypesModel, DatabaseLookupsAgreeWithTheMimeDatabase) {
    // The shortcut for names no glob can match must give what the database gives.
    QStringList extensions{"png",   "PNG",  "c",     "C",    "1",    "5",  "0",    "anim3",  "animj", "anim0",
                           "so",    "vdr",  "txt~",  "v",    "bak",  "ü",  "résumé", "ab%", "xyz",  "0123abcdef",
                           "tar",   "gz",   "mkv",   "",     "readme", "makefile", "in", "am", "orig", "~"};
    const QMimeDatabase database;
    for (const QMimeType& type : database.allMimeTypes())
        for (const QString& pattern : type.globPatterns())
            if (pattern.startsWith(QStringLiteral("*.")))
                extensions << pattern.mid(2) << pattern.mid(2).toUpper() << pattern.mid(2) + QStringLiteral("x")
                           << pattern.mid(3);
    int differences = 0;
    for (const QString& ext : extensions) {
        const QMimeType expected = database.mimeTypeForFile(QStringLiteral("x.") + ext, QMimeDatabase::MatchExtension);
        if (extensionMimeType(ext).name() != expected.name() && ++differences < 10)
            ADD_FAILURE() << ext.toStdString() << ": " << extensionMimeType(ext).name().toStdString() << " vs "
                          << expected.name().toStdString();
    }
    EXPECT_EQ(differences, 0);
}
