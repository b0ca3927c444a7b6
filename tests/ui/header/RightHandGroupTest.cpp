// The header's narrow-width behaviour: the right-hand group hides whole parts rather than
// clipping them, and the selection detail elides in the middle.
#include "ui/header/RightHandGroup.h"

#include "tests/app/ShellTestEnv.h"
#include "ui/header/ElidingLabel.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

namespace {

// The visible direct parts of the group with their rectangles in the group.
std::vector<QRect> shownParts(const RightHandGroup& group) {
    std::vector<QRect> parts;
    for (QWidget* child : group.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (child->isVisible())
            parts.push_back(child->geometry());
    return parts;
}

}  // namespace

TEST(RightHandGroup, HidesWholePartsThatDoNotFitAndNeverOverlaps) {
    QWidget holder;
    auto* group = new RightHandGroup(&holder);
    holder.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&holder));
    const int full = group->sizeHint().width();
    EXPECT_EQ(group->minimumSizeHint().width(), 0);
    auto* title = group->findChild<QLabel*>("titleLabel");
    auto* donate = group->findChild<QPushButton*>("donateButton");
    ASSERT_TRUE(title && donate);

    struct Case {
        int width;
        bool title, donate;
        size_t parts;
    };
    // Title and link go first, then the donate button, then the icon.
    for (const Case& c : {Case{full, true, true, 3}, Case{full - 20, false, true, 2}, Case{150, false, false, 1},
                          Case{30, false, false, 0}}) {
        group->setGeometry(0, 0, c.width, group->sizeHint().height());
        QCoreApplication::processEvents();
        EXPECT_EQ(title->isVisibleTo(group), c.title) << c.width;
        EXPECT_EQ(donate->isVisibleTo(group), c.donate) << c.width;
        const std::vector<QRect> parts = shownParts(*group);
        EXPECT_EQ(parts.size(), c.parts) << c.width;
        for (size_t i = 0; i < parts.size(); ++i) {
            EXPECT_TRUE(QRect(0, 0, c.width, group->height()).contains(parts[i])) << c.width;
            for (size_t j = i + 1; j < parts.size(); ++j)
                EXPECT_FALSE(parts[i].intersects(parts[j])) << c.width;
        }
        // Its wish does not follow what it hides, so hiding never moves the header.
        EXPECT_EQ(group->sizeHint().width(), full);
    }
}

TEST(ElidingLabel, ShowsThePathsEndsWhenNarrow) {
    ElidingLabel label;
    const QString path = QStringLiteral("/home/someone/a rather long folder name/and another one/final");
    label.setText(path);
    label.resize(label.sizeHint());
    EXPECT_EQ(label.shownText(), path);
    label.resize(120, label.height());
    const QString shown = label.shownText();
    EXPECT_LE(label.fontMetrics().horizontalAdvance(shown), 120);
    EXPECT_TRUE(shown.startsWith(QStringLiteral("/h"))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("al"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
    EXPECT_EQ(label.text(), path);
}
