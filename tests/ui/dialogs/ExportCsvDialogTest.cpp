#include "ui/dialogs/ExportCsvDialog.h"

#include "tests/ui/dialogs/DialogTestSupport.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>

using dialogtest::store;
using dialogtest::stored;

namespace {

class ExportCsvDialogTest : public ::testing::Test {
protected:
    void SetUp() override { AppSettings::instance()->settings()->clear(); }
    static QAbstractButton* find(const QDialog& d, const char* text) {
        for (QAbstractButton* b : d.findChildren<QAbstractButton*>())
            if (b->text() == QLatin1String(text))
                return b;
        return nullptr;
    }
    static void press(QDialog& d, QDialogButtonBox::StandardButton which) {
        d.findChild<QDialogButtonBox*>()->button(which)->click();
    }
};

}  // namespace

TEST_F(ExportCsvDialogTest, PresetsFromSettingsAndCaller) {
    struct Case {
        QVariant format, depth;
        bool hasSelection, fileView;
        bool tsv;
        int shownDepth;
    };
    const Case cases[] = {
        {QVariant(), QVariant(), true, false, false, 0},
        {"tsv", 5000, false, true, true, 999},
        {"TSV", -3, true, true, false, 0},  // the format test is exact
    };
    for (const Case& c : cases) {
        AppSettings::instance()->settings()->clear();
        if (c.format.isValid())
            store("csvExportFormat", c.format);
        if (c.depth.isValid())
            store("csvMaxDepth", c.depth);
        const ExportCsvDialog dialog(nullptr, c.hasSelection, c.fileView);
        const CsvExportChoice choice = dialog.options();
        EXPECT_EQ(choice.tsvFormat, c.tsv);
        EXPECT_EQ(choice.exportOptions.tabSeparated, c.tsv);
        EXPECT_EQ(choice.fromFileView, c.fileView);
        EXPECT_EQ(choice.selectedOnly, c.hasSelection);
        EXPECT_EQ(find(dialog, "Selected only")->isEnabled(), c.hasSelection);
        EXPECT_EQ(dialog.findChild<QSpinBox*>()->value(), c.shownDepth);
        EXPECT_EQ(choice.exportOptions.maxDepth, c.shownDepth);
        // Switch defaults match the exporter's own.
        const svl::CsvExportOptions defaults;
        EXPECT_EQ(choice.exportOptions.exportFiles, defaults.exportFiles);
        EXPECT_EQ(choice.exportOptions.exportDriveCapacity, defaults.exportDriveCapacity);
        EXPECT_EQ(choice.exportOptions.exportFileId, defaults.exportFileId);
    }
}

TEST_F(ExportCsvDialogTest, OkNeedsFilesOrFoldersAndStoresOnlyThen) {
    ExportCsvDialog dialog(nullptr, true, false);
    dialog.show();
    find(dialog, "Export Files")->click();
    find(dialog, "Export Folders")->click();
    QSignalSpy changed(AppSettings::instance(), &AppSettings::changed);
    press(dialog, QDialogButtonBox::Ok);
    EXPECT_TRUE(dialog.isVisible()) << "nothing to export: OK does nothing";
    EXPECT_EQ(changed.count(), 0);

    find(dialog, "Export Folders")->click();
    find(dialog, "Tab Separated Values (.tsv)")->click();
    find(dialog, "Export percentage of parent value")->click();
    dialog.findChild<QSpinBox*>()->setValue(3);
    press(dialog, QDialogButtonBox::Ok);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(stored("csvExportFormat").toString(), QStringLiteral("tsv"));
    EXPECT_FALSE(stored("csvExportFiles").toBool());
    EXPECT_TRUE(stored("csvExportFolders").toBool());
    EXPECT_TRUE(stored("csvExportPercentOfParent").toBool());
    EXPECT_EQ(stored("csvMaxDepth").toInt(), 3);
    const CsvExportChoice choice = dialog.options();
    EXPECT_FALSE(choice.exportOptions.exportFiles);
    EXPECT_TRUE(choice.exportOptions.exportPercentOfParent);

    // Unchanged controls write nothing; Cancel stores nothing.
    changed.clear();
    ExportCsvDialog again(nullptr, false, false);
    press(again, QDialogButtonBox::Ok);
    EXPECT_EQ(changed.count(), 0);
    ExportCsvDialog cancelled(nullptr, false, false);
    find(cancelled, "Export File ID")->click();
    press(cancelled, QDialogButtonBox::Cancel);
    EXPECT_FALSE(stored("csvExportFileId").toBool());
}
