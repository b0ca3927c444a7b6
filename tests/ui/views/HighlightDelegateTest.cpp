#include "ui/views/HighlightDelegate.h"

#include "app/QtRegexMatcher.h"
#include "core/analysis/Filter.h"
#include "tests/ui/views/FileViewTestSupport.h"
#include "ui/views/FileListModel.h"
#include "ui/views/FileViewPanel.h"

#include <QFontMetricsF>
#include <QHeaderView>
#include <QImage>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>

namespace {

svl::Filter decode(const char* text, bool fullPath) {
    static const svl::RegexFactory factory = qtRegexFactory();
    return svl::decodeFilterText(text, fullPath, &factory);
}

struct SpanCase {
    const char* label;
    const char* filter;
    bool fullPath;
    const char* name;
    const char* path;
    int column;
    HighlightSpans expected;
};

}  // namespace

TEST(HighlightSpans, NameAndPathColumns) {
    const SpanCase cases[] = {
        {"name search, name column", "rep", false, "report.txt", "/data/report.txt", 0, {{0, 3}}},
        {"name search, shifted into the path", "rep", false, "report.txt", "/data/report.txt", 1, {{6, 9}}},
        {"path search, path column", "data/", true, "report.txt", "/data/report.txt", 1, {{1, 6}}},
        {"path search ending before the name", "data/", true, "report.txt", "/data/report.txt", 0, {}},
        {"path search across the name start", "s/rep", true, "report-old.txt", "/data/docs/report-old.txt", 0,
         {{0, 3}}},
        {"path that does not end with the name", "rep", false, "report.txt", "/elsewhere", 1, {}},
        {"full path, name not at the end", "else", true, "report.txt", "/elsewhere", 0, {}},
        {"other columns", "rep", false, "report.txt", "/data/report.txt", 3, {}},
        {"empty filter", "", false, "report.txt", "/data/report.txt", 0, {}},
    };
    for (const SpanCase& c : cases) {
        const svl::Filter filter = decode(c.filter, c.fullPath);
        EXPECT_EQ(highlightSpansFor(&filter, QString::fromUtf8(c.name), QString::fromUtf8(c.path), c.column),
                  c.expected)
            << c.label;
    }
    EXPECT_TRUE(highlightSpansFor(nullptr, QStringLiteral("a"), QStringLiteral("/a"), 0).isEmpty());
}

TEST(HighlightSpans, FittingElidesWholeCharacters) {
    QFont normalFont;
    normalFont.setPixelSize(13);
    QFont boldFont = normalFont;
    boldFont.setWeight(QFont::Bold);
    const QFontMetricsF normal(normalFont), bold(boldFont);
    // Family emoji: four people joined by zero-width joiners, one character on screen.
    const QString text = QStringLiteral("ab\U0001F600cd\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466ef");
    const HighlightSpans spans{{1, 4}};
    const HighlightFit whole = fitHighlightedText(text, spans, normal, bold, 10000);
    EXPECT_FALSE(whole.elided);
    EXPECT_EQ(whole.kept, text.size());
    EXPECT_GT(whole.width, normal.horizontalAdvance(text) - 1) << "bold letters are wider or equal";

    const qreal ellipsis = normal.horizontalAdvance(QStringLiteral("\u2026"));
    const int familyStart = 6;  // after "ab", the two-unit face and "cd"
    const int familyEnd = familyStart + 11;
    ASSERT_EQ(text.mid(familyEnd), QStringLiteral("ef"));
    for (int available = 0; available < int(whole.width); ++available) {
        const HighlightFit fit = fitHighlightedText(text, spans, normal, bold, available);
        ASSERT_TRUE(fit.elided) << available;
        if (available >= ellipsis)
            EXPECT_LE(fit.width + ellipsis, available + 1e-6) << available;
        else
            EXPECT_EQ(fit.kept, 0) << available;
        EXPECT_FALSE(fit.kept > 0 && text.at(fit.kept - 1).isHighSurrogate()) << "split surrogate at " << available;
        EXPECT_FALSE(fit.kept > familyStart && fit.kept < familyEnd) << "split emoji sequence at " << available;
    }
}

TEST(HighlightSpans, PaintsMatchesInTheAccentColour) {
    treemaptest::clearSettings();
    const auto tree = fileviewtest::sampleTree();
    FileViewPanel panel;
    panel.resize(900, 300);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    panel.setTree(tree);
    panel.setSearchText(QStringLiteral("report"));
    panel.refreshNow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !panel.isBusy(); }, 5000));
    ASSERT_EQ(panel.listedIds().size(), 2u);

    QTreeView* view = panel.view();
    view->clearSelection();
    view->setCurrentIndex(QModelIndex());
    const QImage image = view->viewport()->grab().toImage();
    auto accentPixels = [&](int column) {
        const int left = view->header()->sectionViewportPosition(column);
        const int width = view->header()->sectionSize(column);
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = std::max(0, left); x < std::min(image.width(), left + width); ++x) {
                const QColor c = image.pixelColor(x, y);
                n += c.blue() > 200 && c.red() < 120 && c.green() < 120;
            }
        return n;
    };
    EXPECT_GT(accentPixels(FileListModel::NameColumn), 20);
    EXPECT_GT(accentPixels(FileListModel::PathColumn), 20);
    EXPECT_EQ(accentPixels(FileListModel::SizeColumn), 0);
    if (const char* out = getenv("HM_FILEVIEW_GRAB"))
        panel.grab().save(QString::fromUtf8(out));
}

// A name with a direction control reads in the File View as in every other view: "<RLO>abcdef"
// shows as "fedcba", so a match on "abc" is drawn at its right end.
TEST(HighlightSpans, ANameWithDirectionControlsIsDrawnAsElsewhere) {
    QStandardItemModel model;
    model.appendRow(new QStandardItem(QChar(0x202E) + QStringLiteral("abcdef")));
    HighlightDelegate delegate([](const QModelIndex&) { return HighlightSpans{{1, 4}}; }, nullptr);
    QTreeView view;
    view.setModel(&model);
    view.setItemDelegate(&delegate);
    view.resize(400, 100);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.setCurrentIndex(QModelIndex());
    const QImage image = view.viewport()->grab().toImage();
    double accentX = 0, otherX = 0;
    int accent = 0, other = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.blue() > 200 && c.red() < 120 && c.green() < 120)
                accentX += x, ++accent;
            else if (c.lightness() < 128)
                otherX += x, ++other;
        }
    ASSERT_GT(accent, 5);
    ASSERT_GT(other, 5);
    EXPECT_GT(accentX / accent, otherX / other);
}
