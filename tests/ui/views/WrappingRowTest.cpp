// Two groups side by side when they fit, the second under the first when they do not.
#include "ui/views/WrappingRow.h"

#include "tests/app/ShellTestEnv.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

namespace {

QWidget* group(int buttons) {
    auto* widget = new QWidget;
    auto* box = new QHBoxLayout(widget);
    box->setContentsMargins(0, 0, 0, 0);
    for (int i = 0; i < buttons; ++i)
        box->addWidget(new QPushButton(QStringLiteral("Button %1").arg(i)));
    return widget;
}

}  // namespace

TEST(WrappingRow, WrapsBelowTheWidthOfOneRowAndNeverClipsAGroup) {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    QWidget* first = group(3);
    QWidget* second = group(2);
    auto* row = new WrappingRow(first, second);
    layout->addWidget(row);
    layout->addStretch();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const int oneRow = row->sizeHint().width();
    EXPECT_EQ(row->minimumSizeHint().width(),
              std::max(first->minimumSizeHint().width(), second->minimumSizeHint().width()));

    struct Case {
        int width;
        bool wrapped;
    };
    for (const Case& c : {Case{oneRow + 100, false}, Case{oneRow - 1, true}, Case{oneRow, false}}) {
        window.resize(c.width + layout->contentsMargins().left() + layout->contentsMargins().right(), 300);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        EXPECT_EQ(row->isWrapped(), c.wrapped) << c.width;
        const QRect a = first->geometry(), b = second->geometry();
        EXPECT_FALSE(a.intersects(b)) << c.width;
        EXPECT_GE(a.width(), first->sizeHint().width()) << c.width;
        EXPECT_TRUE(row->rect().contains(a)) << c.width;
        EXPECT_TRUE(row->rect().contains(QRect(b.topLeft(), QSize(second->sizeHint().width(), b.height()))))
            << c.width;
        // The row is as tall as its arrangement, so the second line is not cut off.
        EXPECT_GE(row->height(), b.bottom() + 1) << c.width;
        EXPECT_EQ(b.top() > a.top(), c.wrapped) << c.width;
    }
}
