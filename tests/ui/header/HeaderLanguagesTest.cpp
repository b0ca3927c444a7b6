// The window in the shipped German, Japanese and Arabic tables: the header's captions and
// buttons get the width their texts ask for, the column headings show whole, the percentages
// stay next to their values, and Arabic lays the window out right to left.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QAbstractButton>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QStyleOptionHeader>
#include <QTest>
#include <QTreeView>

#include "app/ProgramResources.h"
#include "app/StringsTranslator.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/views/FileViewPanel.h"

using windowtest::waitUntil;

namespace {

// Shown labels and buttons narrower than their texts ask for; texts that elide on purpose
// (an ignored horizontal size policy) and wrapping labels do not count.
QStringList squeezedTexts(const QWidget* root) {
    QStringList squeezed;
    for (const QWidget* widget : root->findChildren<QWidget*>()) {
        const auto* label = qobject_cast<const QLabel*>(widget);
        const auto* button = qobject_cast<const QAbstractButton*>(widget);
        const QString text = label ? label->text() : button ? button->text() : QString();
        if (text.isEmpty() || !widget->isVisible() || (label && label->wordWrap()) ||
            widget->sizePolicy().horizontalPolicy() == QSizePolicy::Ignored)
            continue;
        if (widget->width() < widget->sizeHint().width())
            squeezed << text;
    }
    return squeezed;
}

// The columns [first, last] of a label's picture that differ from its background.
std::pair<int, int> inkColumns(QWidget* label) {
    const QImage image = label->grab().toImage();
    const QRgb background = image.pixel(0, 0);
    int first = image.width(), last = -1;
    for (int x = 0; x < image.width(); ++x)
        for (int y = 0; y < image.height(); ++y)
            if (image.pixel(x, y) != background) {
                first = std::min(first, x);
                last = std::max(last, x);
            }
    return {first, last};
}

// Column headings whose text is wider than the room the style leaves it in the section.
QStringList cutHeadings(const QHeaderView* header) {
    QStringList cut;
    for (int section = 0; section < header->count(); ++section) {
        QStyleOptionHeader option;
        option.initFrom(header);
        option.rect = QRect(0, 0, header->sectionSize(section), header->height());
        option.text = header->model()->headerData(section, Qt::Horizontal).toString();
        const QRect label = header->style()->subElementRect(QStyle::SE_HeaderLabel, &option, header);
        if (!header->isSectionHidden(section) && header->fontMetrics().horizontalAdvance(option.text) > label.width())
            cut << option.text;
    }
    return cut;
}

}  // namespace

TEST(HeaderLanguages, CaptionsFitPercentagesStayByTheirValuesArabicIsRightToLeft) {
    initProgramResources();
    hmtest::TempDir dir("hm-languages");
    windowtest::makeFolder(dir.path(), 2, 2);
    for (const QString& tag : {QStringLiteral("de"), QStringLiteral("ja"), QStringLiteral("ar")}) {
        SCOPED_TRACE(tag.toStdString());
        windowtest::clearSettings();
        AppSettings::instance()->setSaveEnabled(false);
        ASSERT_EQ(installTranslator(tag), tag);
        const bool rtl = tag == QLatin1String("ar");
        {
            MainWindow window;
            window.resize(1280, 800);
            window.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
            window.scanFolder(QString::fromStdString(dir.path()));
            ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
            auto* used = window.header()->findChild<QLabel*>(QStringLiteral("usedSpaceLabel"));
            auto* percent = window.header()->findChild<QLabel*>(QStringLiteral("usedPercentLabel"));
            ASSERT_TRUE(used && percent);
            ASSERT_TRUE(waitUntil([&] { return !percent->text().isEmpty(); }, 5000));
            QCoreApplication::processEvents();

            EXPECT_EQ(window.layoutDirection(), rtl ? Qt::RightToLeft : Qt::LeftToRight);
            EXPECT_EQ(squeezedTexts(window.header()), QStringList());
            EXPECT_EQ(cutHeadings(window.treeView()->header()), QStringList());
            EXPECT_EQ(cutHeadings(window.fileView()->view()->header()), QStringList());
            // The percentage follows its value: after it in reading order, drawn at the edge
            // that faces it.
            const auto [first, last] = inkColumns(percent);
            ASSERT_LE(first, last);
            if (rtl) {
                EXPECT_LT(percent->geometry().right(), used->geometry().left());
                EXPECT_GE(last, percent->width() - 8);
            } else {
                EXPECT_GT(percent->geometry().left(), used->geometry().right());
                EXPECT_LE(first, 8);
            }
        }
        localization::removeTranslator();
    }
    EXPECT_EQ(QApplication::layoutDirection(), Qt::LeftToRight);
}
