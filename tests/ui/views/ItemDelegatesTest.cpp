// The result views' delegates drawn offscreen with exact geometry: percent bars (clamping,
// indent and colour by level, flat bars, light and dark bases), grid lines, row heights,
// and the bind note after a name with its click handling in a real tree view.
#include "tests/app/ShellTestEnv.h"

#include "app/ListFont.h"
#include "ui/views/BindNoteDelegate.h"
#include "ui/views/ItemRoles.h"
#include "ui/views/PercentBarDelegate.h"
#include "ui/views/RowHeightDelegate.h"

#include <QImage>
#include <QPainter>
#include <QStandardItemModel>
#include <QTest>
#include <QHeaderView>
#include <QMouseEvent>
#include <QTreeView>

#include <optional>

namespace {

constexpr QRgb kLightBase = 0xFFFFFFFF;
constexpr QRgb kDarkBase = 0xFF1F2628;

QPalette basePalette(QRgb base) {
    QPalette palette;
    palette.setColor(QPalette::Base, QColor::fromRgb(base));
    palette.setColor(QPalette::Text, qGray(base) > 127 ? Qt::black : Qt::white);
    palette.setColor(QPalette::Mid, Qt::black);
    return palette;
}

// One 120 x 20 cell painted by the delegate on the base colour.
QImage paintCell(const QStyledItemDelegate& delegate, const QString& text, std::optional<int> level,
                 QRgb base = kLightBase, std::optional<double> percent = {}) {
    QStandardItemModel model;
    auto* item = new QStandardItem(text);
    if (level)
        item->setData(*level, BarLevelRole);
    if (percent)
        item->setData(*percent, PercentRole);
    model.appendRow(item);

    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 120, 20);
    option.palette = basePalette(base);
    option.state = QStyle::State_Enabled;
    QImage image(120, 20, QImage::Format_RGB32);
    image.fill(base);
    QPainter painter(&image);
    delegate.paint(&painter, option, model.index(0, 0));
    return image;
}

QRgb at(const QImage& image, int x, int y) { return image.pixel(x, y) | 0xFF000000; }

TEST(PercentBarDelegateTest, BarsAreClampedIndentedAndColouredByLevel) {
    const QRgb outlineLight = qRgb(224, 224, 224);
    PercentBarDelegate tree(nullptr, false);
    PercentBarDelegate flat(nullptr, true);

    // Level 3 in a 120-pixel cell: indent 30; 150 % fills the whole bar area.
    QImage full = paintCell(tree, QStringLiteral("150.0%"), 3);
    EXPECT_EQ(at(full, 29, 5), kLightBase);
    EXPECT_EQ(at(full, 30, 5), outlineLight);
    EXPECT_EQ(at(full, 31, 5), barColor(3, true).rgb());
    EXPECT_EQ(barColor(3, true).rgb(), qRgb(0x67, 0x84, 0xFF));
    EXPECT_EQ(at(full, 60, 17), barColor(3, true).rgb());
    EXPECT_EQ(at(full, 60, 18), outlineLight) << "outline's bottom edge";
    EXPECT_EQ(at(full, 119, 5), outlineLight) << "outline's right edge";
    EXPECT_EQ(at(full, 60, 19), kLightBase) << "no grid line";

    // Level 9 counts as 7 steps of 10; its colour is level 9 modulo 6.
    QImage deep = paintCell(tree, QStringLiteral("100%"), 9);
    EXPECT_EQ(at(deep, 69, 5), kLightBase);
    EXPECT_EQ(at(deep, 71, 5), barColor(3, true).rgb());

    // -3 % and 0 % draw the outline and no bar; so does a text that is no number.
    for (const QString& text : {QStringLiteral("-3.0%"), QStringLiteral("0.0%"), QStringLiteral("n/a")}) {
        QImage none = paintCell(tree, text, 0);
        EXPECT_EQ(at(none, 0, 5), outlineLight) << text.toStdString();
        EXPECT_EQ(at(none, 20, 5), kLightBase) << text.toStdString();
    }

    // Half a bar: 60 pixels from the left edge; an absent level counts as 0.
    QImage half = paintCell(tree, QStringLiteral("50%"), std::nullopt);
    EXPECT_EQ(at(half, 59, 5), barColor(0, true).rgb());
    EXPECT_EQ(at(half, 60, 5), kLightBase);
    // The same half written with a German decimal comma.
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QImage halfGerman = paintCell(tree, QStringLiteral("50,0%"), std::nullopt);
    QLocale::setDefault(before);
    EXPECT_EQ(at(halfGerman, 59, 5), barColor(0, true).rgb());
    EXPECT_EQ(at(halfGerman, 60, 5), kLightBase);

    // PercentRole wins over the text.
    QImage byRole = paintCell(tree, QStringLiteral("x"), 0, kLightBase, 75.0);
    EXPECT_EQ(at(byRole, 89, 5), barColor(0, true).rgb());
    EXPECT_EQ(at(byRole, 90, 5), kLightBase);

    // A negative level: no indent, the last colour.
    QImage negative = paintCell(tree, QStringLiteral("100%"), -1);
    EXPECT_EQ(at(negative, 5, 5), qRgb(0x43, 0x70, 0xFF));

    // Flat bars ignore the level.
    QImage flatBar = paintCell(flat, QStringLiteral("100%"), 4);
    EXPECT_EQ(at(flatBar, 5, 5), qRgb(0x9D, 0xA4, 0xFF));

    // No text: neither bar nor outline.
    QImage empty = paintCell(tree, QString(), 2, kLightBase, 80.0);
    EXPECT_EQ(at(empty, 0, 5), kLightBase);
    EXPECT_EQ(at(empty, 60, 18), kLightBase);
}

TEST(PercentBarDelegateTest, DarkBasesGetGreyBarsAndADarkOutline) {
    const int greys[6] = {119, 111, 102, 95, 86, 79};
    for (int level = 0; level < 6; ++level)
        EXPECT_EQ(barColor(level, false).rgb(), qRgb(greys[level], greys[level], greys[level])) << level;
    PercentBarDelegate tree(nullptr, false);
    QImage dark = paintCell(tree, QStringLiteral("100%"), 2, kDarkBase);
    EXPECT_EQ(at(dark, 30, 5), qRgb(102, 102, 102));
    EXPECT_EQ(at(dark, 20, 5), qRgb(64, 64, 64)) << "outline at the indent of 2 x 10";
}

TEST(RowHeightDelegateTest, GridLinesFollowTheSwitchAndRowsTheListHeight) {
    RowHeightDelegate plain;
    PercentBarDelegate bars(nullptr, false);
    for (const QStyledItemDelegate* delegate : {static_cast<const QStyledItemDelegate*>(&plain),
                                                static_cast<const QStyledItemDelegate*>(&bars)}) {
        gridLinesEnabled = true;
        const QRgb line = at(paintCell(*delegate, QStringLiteral("1%"), 0), 119, 19);
        gridLinesEnabled = false;
        EXPECT_NE(line, kLightBase);
        EXPECT_EQ(qRed(line), qGreen(line));
        EXPECT_EQ(at(paintCell(*delegate, QStringLiteral("1%"), 0), 119, 19), kLightBase);

        QStandardItemModel model(1, 1);
        EXPECT_EQ(delegate->sizeHint(QStyleOptionViewItem(), model.index(0, 0)).height(), listfont::rowHeight());
    }
}

class BindNoteDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto* folder = new QStandardItem(QStringLiteral("mnt"));
        folder->setData(QStringLiteral("(>>/srv/data)"), NoteRole);
        folder->appendRow(new QStandardItem(QStringLiteral("inside")));
        // One top-level row: the standard model gives siblings the same internal id.
        m_model.appendRow(folder);
        m_view.setModel(&m_model);
        m_view.header()->setStretchLastSection(false);
        m_view.setColumnWidth(0, 380);
        m_delegate = new BindNoteDelegate(&m_view, [this](const QModelIndex& index) { m_clicked.append(index); });
        m_view.setItemDelegateForColumn(0, m_delegate);
        m_view.resize(400, 200);
        m_view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_view));
        m_view.grab();
    }

    QModelIndex folder() const { return m_model.index(0, 0); }

    // The leftmost point of the folder row's note, found by probing the viewport.
    std::optional<QPoint> notePoint() const {
        const QRect row = m_view.visualRect(folder());
        for (int x = row.left(); x <= row.right(); ++x)
            if (m_delegate->noteAt(QPoint(x, row.center().y())).isValid())
                return QPoint(x, row.center().y());
        return std::nullopt;
    }

    QStandardItemModel m_model;
    QTreeView m_view;
    BindNoteDelegate* m_delegate = nullptr;
    QList<QModelIndex> m_clicked;
};

TEST_F(BindNoteDelegateTest, ANoteFollowsTheNameAndAClickOnItCallsTheHandlerOnce) {
    const std::optional<QPoint> note = notePoint();
    ASSERT_TRUE(note.has_value());
    const QRect row = m_view.visualRect(folder());
    const int nameWidth = QFontMetrics(m_view.font()).horizontalAdvance(QStringLiteral("mnt"));
    EXPECT_GT(note->x(), row.left() + nameWidth) << "the note starts after the name";
    EXPECT_FALSE(m_delegate->noteAt(QPoint(row.left() + 2, row.center().y())).isValid());
    const QPoint below(row.center().x(), row.bottom() + 40);
    EXPECT_FALSE(m_delegate->noteAt(below).isValid());

    QWidget* viewport = m_view.viewport();
    const QPoint inside = *note + QPoint(3, 0);
    auto moveTo = [viewport](QPoint point) {
        QMouseEvent move(QEvent::MouseMove, point, viewport->mapToGlobal(point), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(viewport, &move);
    };
    moveTo(inside);
    EXPECT_EQ(viewport->cursor().shape(), Qt::PointingHandCursor);
    moveTo(QPoint(row.left() + 2, row.center().y()));
    EXPECT_EQ(viewport->cursor().shape(), Qt::ArrowCursor);

    QTest::mousePress(viewport, Qt::LeftButton, Qt::NoModifier, inside);
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::NoModifier, inside);
    ASSERT_EQ(m_clicked.size(), 1);
    EXPECT_EQ(m_clicked.front(), folder());
    EXPECT_FALSE(m_view.selectionModel()->isSelected(folder())) << "the click did not select";

    // Released elsewhere: nothing.
    QTest::mousePress(viewport, Qt::LeftButton, Qt::NoModifier, inside);
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::NoModifier, below);
    EXPECT_EQ(m_clicked.size(), 1);

    // A double click (press, release, double click, release) calls once and does not expand.
    m_clicked.clear();
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, inside);
    QTest::mouseDClick(viewport, Qt::LeftButton, Qt::NoModifier, inside);
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::NoModifier, inside);
    EXPECT_EQ(m_clicked.size(), 1);
    EXPECT_FALSE(m_view.isExpanded(folder()));

    // With Ctrl the view gets the press and selects.
    m_clicked.clear();
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, inside);
    EXPECT_TRUE(m_clicked.isEmpty());
    EXPECT_TRUE(m_view.selectionModel()->isSelected(folder()));
}

TEST_F(BindNoteDelegateTest, ANameWithoutRoomLosesItsNote) {
    ASSERT_TRUE(notePoint().has_value());
    m_view.setColumnWidth(0, m_view.visualRect(folder()).left() - m_view.indentation() + 40);
    m_view.grab();
    EXPECT_FALSE(notePoint().has_value());

    m_view.setColumnWidth(0, 300);
    m_view.grab();
    ASSERT_TRUE(notePoint().has_value());
    // A row whose note went away is no longer hit, even before it is painted again.
    m_model.setData(folder(), QString(), NoteRole);
    EXPECT_FALSE(notePoint().has_value());
}

}  // namespace
