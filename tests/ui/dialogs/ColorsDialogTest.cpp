#include "ui/dialogs/ColorsDialog.h"

#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/treemap/TreemapColorSettings.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>

using dialogtest::store;
using dialogtest::stored;

namespace {

class ColorsDialogTest : public ::testing::Test {
protected:
    void SetUp() override { AppSettings::instance()->settings()->clear(); }
    void TearDown() override {
        ColorsDialog::colorPicker() = [](const QColor&, QWidget*, const QString&) { return QColor(); };
    }
    static QRadioButton* radio(const QDialog& d, const char* text) {
        for (QRadioButton* r : d.findChildren<QRadioButton*>())
            if (r->text() == QLatin1String(text))
                return r;
        return nullptr;
    }
    static QPushButton* button(const QDialog& d, const char* text) {
        for (QPushButton* b : d.findChildren<QPushButton*>())
            if (b->text() == QLatin1String(text))
                return b;
        return nullptr;
    }
    // The 13 colour buttons, in slot order.
    static QList<QPushButton*> swatches(const QDialog& d) {
        QList<QPushButton*> result;
        for (QPushButton* b : d.findChildren<QPushButton*>())
            if (b->text().isEmpty() && b->size() == QSize(44, 22))
                result.append(b);
        return result;
    }
    static void ok(QDialog& d) { d.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); }
};

}  // namespace

TEST_F(ColorsDialogTest, EmptyStoreShowsSystemSizeAndTheBuiltInPalette) {
    ColorsDialog dialog;
    EXPECT_TRUE(radio(dialog, "System Default")->isChecked());
    EXPECT_TRUE(radio(dialog, "Size")->isChecked());
    const QList<QLineEdit*> fields = dialog.findChildren<QLineEdit*>();
    ASSERT_EQ(fields.size(), 13);
    for (const QLineEdit* field : fields)
        EXPECT_FALSE(field->isEnabled());
    EXPECT_FALSE(button(dialog, "Default Extensions")->isEnabled());
    const QList<QPushButton*> colors = swatches(dialog);
    ASSERT_EQ(colors.size(), 13);
    EXPECT_EQ(colors[0]->toolTip(), QLatin1Char('#') + defaultPaletteTexts()[0]);
    EXPECT_TRUE(colors[12]->styleSheet().contains(defaultPaletteTexts()[12]));

    radio(dialog, "Extension")->click();
    EXPECT_TRUE(fields[3]->isEnabled());
    EXPECT_TRUE(button(dialog, "Default Extensions")->isEnabled());
    fields[3]->setText(QStringLiteral("kept"));
    radio(dialog, "Size")->click();
    EXPECT_FALSE(fields[3]->isEnabled());
    EXPECT_EQ(fields[3]->text(), QStringLiteral("kept"));
}

TEST_F(ColorsDialogTest, PickedColoursAndPresetsAreStoredOnlyByOk) {
    QColor answer;
    ColorsDialog::colorPicker() = [&answer](const QColor&, QWidget*, const QString&) { return answer; };
    {
        ColorsDialog dialog;
        const QList<QPushButton*> colors = swatches(dialog);
        colors[2]->click();  // cancelled picker
        EXPECT_EQ(colors[2]->toolTip(), QLatin1Char('#') + defaultPaletteTexts()[2]);
        button(dialog, "Color Blind")->click();
        dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
    }
    EXPECT_FALSE(stored("treemapPaletteColors").isValid());
    EXPECT_FALSE(stored("appearance").isValid());

    ColorsDialog dialog;
    button(dialog, "Color Blind")->click();
    answer = QColor(255, 0, 0);
    swatches(dialog)[4]->click();
    EXPECT_EQ(swatches(dialog)[4]->toolTip(), QStringLiteral("#FF0000"));
    radio(dialog, "Dark")->click();
    radio(dialog, "Extension")->click();
    dialog.findChildren<QLineEdit*>()[0]->setText(QStringLiteral(" JPG , png"));
    QSignalSpy changed(AppSettings::instance(), &AppSettings::changed);
    ok(dialog);

    QStringList expected = colorBlindPalette();
    expected[4] = QStringLiteral("FF0000");
    EXPECT_EQ(loadTreemapPaletteTexts(), expected);
    EXPECT_FALSE(loadTreemapColorBySize());
    EXPECT_EQ(loadTreemapExtensionLists()[0], QStringLiteral(" JPG , png")) << "stored as typed";
    EXPECT_EQ(stored("appearance").toInt(), 2);
    QStringList keys;
    for (const QList<QVariant>& call : changed)
        keys.append(call[0].toString());
    EXPECT_TRUE(keys.contains(QStringLiteral("treemapColorsRevision")));
    EXPECT_TRUE(keys.contains(QStringLiteral("appearance")));
}

TEST_F(ColorsDialogTest, StoredChoicesArePresetAndDefaultExtensionsRefill) {
    store("appearance", 1);
    store("treemapColorBySize", false);
    ColorsDialog dialog;
    EXPECT_TRUE(radio(dialog, "Light")->isChecked());
    EXPECT_TRUE(radio(dialog, "Extension")->isChecked());
    const QList<QLineEdit*> fields = dialog.findChildren<QLineEdit*>();
    for (QLineEdit* field : fields)
        field->clear();
    button(dialog, "Default Extensions")->click();
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(fields[i]->text(), defaultExtensionLists()[i]);
        EXPECT_EQ(fields[i]->cursorPosition(), 0);
    }
    store("appearance", 7);
    const ColorsDialog unknown;
    EXPECT_TRUE(radio(unknown, "System Default")->isChecked());
}
