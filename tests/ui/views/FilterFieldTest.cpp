#include "ui/views/FilterField.h"
#include "ui/views/FilterPanel.h"

#include "app/AppSettings.h"
#include "tests/ui/treemap/TreemapTestSupport.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

namespace {

QString stored(const char* key) { return AppSettings::instance()->settings()->value(QLatin1String(key)).toString(); }

QStringList menuTexts(FilterField& field) {
    field.showRecentMenu();
    QStringList texts;
    for (QAction* action : field.recentMenu()->actions())
        texts << (action->isSeparator() ? QStringLiteral("--") : action->text());
    field.recentMenu()->hide();
    return texts;
}

class FilterFieldFixture : public ::testing::Test {
protected:
    void SetUp() override {
        treemaptest::clearSettings();
        AppSettings::instance()->setSaveEnabled(true);
    }
    void TearDown() override { AppSettings::instance()->setSaveEnabled(true); }
};

}  // namespace

TEST_F(FilterFieldFixture, HistoryRule) {
    QStringList list = addRecentFilter({QStringLiteral("*.tmp"), QStringLiteral("b")}, QStringLiteral("  *.TMP  "));
    EXPECT_EQ(list, (QStringList{QStringLiteral("*.TMP"), QStringLiteral("b")})) << "newest letter case wins";
    EXPECT_EQ(addRecentFilter(list, QStringLiteral("   ")), list);

    for (int i = 0; i < 21; ++i)
        list = addRecentFilter(list, QString::number(i));
    EXPECT_EQ(list.size(), 20);
    EXPECT_EQ(list.first(), QStringLiteral("20"));
    saveRecentFilters("testHistory", list);
    EXPECT_TRUE(stored("testHistory").startsWith(QStringLiteral("[\"20\",\"19\",")));
    EXPECT_EQ(loadRecentFilters("testHistory"), list);

    AppSettings::instance()->settings()->setValue(QStringLiteral("testHistory"), QStringLiteral("[1,\"a\"]"));
    EXPECT_EQ(loadRecentFilters("testHistory"), (QStringList{QString(), QStringLiteral("a")}));
    AppSettings::instance()->settings()->setValue(QStringLiteral("testHistory"), QStringLiteral("{not json"));
    EXPECT_TRUE(loadRecentFilters("testHistory").isEmpty());

    AppSettings::instance()->setSaveEnabled(false);
    saveRecentFilters("testHistory", {QStringLiteral("x")});
    EXPECT_EQ(stored("testHistory"), QStringLiteral("{not json")) << "nothing stored while saving is off";
}

TEST_F(FilterFieldFixture, ReturnRemembersThenSubmitsAndMenuRecalls) {
    FilterField field("searchHistory", nullptr, FilterFieldStyle::Rounded);
    field.show();
    QSignalSpy submitted(&field, &FilterField::submitted);
    QSignalSpy edited(&field, &FilterField::textEdited);
    EXPECT_EQ(menuTexts(field), QStringList{QStringLiteral("Clear")}) << "no separator with an empty history";

    field.lineEdit()->setFocus();
    QTest::keyClicks(field.lineEdit(), QStringLiteral("ab"));
    EXPECT_EQ(edited.count(), 2);
    EXPECT_TRUE(field.clearButton()->isVisibleTo(&field));
    EXPECT_TRUE(loadRecentFilters("searchHistory").isEmpty()) << "typing alone records nothing";
    QTest::keyClick(field.lineEdit(), Qt::Key_Return);
    EXPECT_EQ(submitted.count(), 1);
    EXPECT_EQ(loadRecentFilters("searchHistory"), QStringList{QStringLiteral("ab")});

    field.rememberFilter(QStringLiteral("cd"));
    EXPECT_EQ(menuTexts(field), (QStringList{QStringLiteral("cd"), QStringLiteral("ab"), QStringLiteral("--"),
                                             QStringLiteral("Clear")}));
    field.showRecentMenu();
    field.recentMenu()->actions().at(1)->trigger();  // "ab"
    EXPECT_EQ(field.text(), QStringLiteral("ab"));
    EXPECT_EQ(loadRecentFilters("searchHistory").first(), QStringLiteral("ab"));
    EXPECT_EQ(submitted.count(), 1) << "choosing from the menu does not submit";

    QTest::mouseClick(field.clearButton(), Qt::LeftButton);
    EXPECT_TRUE(field.text().isEmpty());
    EXPECT_FALSE(field.clearButton()->isVisibleTo(&field));

    field.showRecentMenu();
    field.recentMenu()->actions().last()->trigger();  // "Clear"
    EXPECT_TRUE(loadRecentFilters("searchHistory").isEmpty());
}

TEST_F(FilterFieldFixture, RecentFiltersShowAmpersandsAsWritten) {
    const QStringList filters{QStringLiteral("Tom & Jerry"), QStringLiteral("R&D/*.txt"), QStringLiteral("&"),
                              QStringLiteral("&&x"), QStringLiteral("plain")};
    saveRecentFilters("testHistory", filters);
    FilterField field("testHistory", nullptr, FilterFieldStyle::Framed);
    field.showRecentMenu();
    const QList<QAction*> actions = field.recentMenu()->actions();
    ASSERT_EQ(actions.size(), filters.size() + 2);
    for (qsizetype i = 0; i < filters.size(); ++i) {
        // The shown text is the menu's text without its accelerator marks.
        EXPECT_EQ(actions[i]->iconText(), filters[i]);
        EXPECT_TRUE(QKeySequence::mnemonic(actions[i]->text()).isEmpty()) << filters[i].toStdString();
    }
    field.recentMenu()->hide();
    actions[1]->trigger();
    EXPECT_EQ(field.text(), filters[1]);
}

TEST_F(FilterFieldFixture, PanelStoresEditsAndAppliesOnRequest) {
    {
        FilterPanel fresh;
        EXPECT_TRUE(fresh.includeText().isEmpty());
        EXPECT_TRUE(fresh.matchEntirePath()) << "first start matches entire paths";
    }
    FilterPanel panel;
    panel.show();
    QSignalSpy applied(&panel, &FilterPanel::applyRequested);

    panel.setTexts(QStringLiteral("*.iso"), QStringLiteral("tmp"));
    EXPECT_TRUE(stored("includeFilterText").isEmpty()) << "texts set by the window are not stored by themselves";

    panel.includeField()->lineEdit()->setFocus();
    QTest::keyClick(panel.includeField()->lineEdit(), Qt::Key_O);
    EXPECT_EQ(stored("includeFilterText"), QStringLiteral("*.isoo"));
    EXPECT_EQ(stored("excludeFilterText"), QStringLiteral("tmp"));
    EXPECT_TRUE(loadRecentFilters("includeFilterHistoryJSON").isEmpty());

    QTest::keyClick(panel.excludeField()->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(applied.count(), 1);
    EXPECT_EQ(loadRecentFilters("includeFilterHistoryJSON"), QStringList{QStringLiteral("*.isoo")});
    EXPECT_EQ(loadRecentFilters("excludeFilterHistoryJSON"), QStringList{QStringLiteral("tmp")});

    panel.fileNameOnlyRadio()->click();
    EXPECT_EQ(AppSettings::instance()->settings()->value(QStringLiteral("filterMatchEntirePath")).toBool(), false);

    QTest::mouseClick(panel.clearButton(), Qt::LeftButton);
    EXPECT_TRUE(panel.includeText().isEmpty());
    EXPECT_TRUE(stored("excludeFilterText").isEmpty());
    EXPECT_EQ(applied.count(), 1) << "Clear does not apply";

    AppSettings::instance()->setSaveEnabled(false);
    QTest::keyClick(panel.includeField()->lineEdit(), Qt::Key_Z);
    EXPECT_TRUE(stored("includeFilterText").isEmpty());

    FilterPanel restored;
    EXPECT_FALSE(restored.matchEntirePath());
}
