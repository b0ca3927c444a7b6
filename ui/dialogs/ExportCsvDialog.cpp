#include "ui/dialogs/ExportCsvDialog.h"

#include "app/AppSettings.h"
#include "ui/dialogs/SettingSwitch.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const SettingSwitch kSwitches[] = {
    {QT_TRANSLATE_NOOP("ExportCsvDialog", "Export Files"), "csvExportFiles", true},
    {QT_TRANSLATE_NOOP("ExportCsvDialog", "Export Folders"), "csvExportFolders", true},
    {QT_TRANSLATE_NOOP("ExportCsvDialog", "Export File ID"), "csvExportFileId", false},
    {QT_TRANSLATE_NOOP("ExportCsvDialog", "Export \"Last Accessed\" and \"Created\" dates"), "csvExportDates", false},
    {QT_TRANSLATE_NOOP("ExportCsvDialog", "Export total size and allocated size of folders (excluding sub folders)"),
     "csvExportFolderSizes", false},
    {QT_TRANSLATE_NOOP("ExportCsvDialog", "Split file names into root, folder, filename and extension"),
     "csvSplitFilename", false},
    {QT_TRANSLATE_NOOP("ExportCsvDialog", "Export drive size information"), "csvExportDriveCapacity", true},
    {QT_TRANSLATE_NOOP("ExportCsvDialog", "Export percentage of parent value"), "csvExportPercentOfParent", false},
};

QHBoxLayout* radioRow(const QString& caption, QRadioButton* a, QRadioButton* b, QWidget* parent) {
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(caption, parent));
    auto* group = new QButtonGroup(parent);
    group->addButton(a);
    group->addButton(b);
    row->addWidget(a);
    row->addWidget(b);
    row->addStretch();
    return row;
}

}  // namespace

ExportCsvDialog::ExportCsvDialog(QWidget* parent, bool hasSelection, bool fileViewCurrent) : QDialog(parent) {
    setWindowTitle(tr("Export to CSV File"));
    const QSettings* store = AppSettings::instance()->settings();
    auto* layout = new QVBoxLayout(this);

    m_csv = new QRadioButton(tr("Comma Separated Values (.csv)"), this);
    m_tsv = new QRadioButton(tr("Tab Separated Values (.tsv)"), this);
    layout->addLayout(radioRow(tr("Format:"), m_csv, m_tsv, this));
    (store->value(QStringLiteral("csvExportFormat"), QStringLiteral("csv")).toString() == QLatin1String("tsv") ? m_tsv
                                                                                                               : m_csv)
        ->setChecked(true);

    m_treeView = new QRadioButton(tr("Tree View"), this);
    m_fileView = new QRadioButton(tr("File View"), this);
    layout->addLayout(radioRow(tr("Source:"), m_treeView, m_fileView, this));
    (fileViewCurrent ? m_fileView : m_treeView)->setChecked(true);

    m_selectedOnly = new QCheckBox(tr("Selected only"), this);
    m_selectedOnly->setEnabled(hasSelection);
    m_selectedOnly->setChecked(hasSelection);
    layout->addWidget(m_selectedOnly);

    layout->addWidget(sunkenLine(this));

    for (const SettingSwitch& option : kSwitches) {
        QCheckBox* box = makeSwitchBox(option, "ExportCsvDialog", this);
        layout->addWidget(box);
        m_switches.append(box);
    }

    auto* depthRow = new QHBoxLayout;
    depthRow->addWidget(new QLabel(tr("Max folder depth (0 = no limit):"), this));
    m_maxDepth = new QSpinBox(this);
    m_maxDepth->setObjectName(QStringLiteral("csvMaxDepth"));
    m_maxDepth->setRange(0, 999);
    m_maxDepth->setValue(std::clamp(store->value(QStringLiteral("csvMaxDepth"), 0).toInt(), 0, 999));
    depthRow->addWidget(m_maxDepth);
    depthRow->addStretch();
    layout->addLayout(depthRow);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &ExportCsvDialog::onAccepted);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

void ExportCsvDialog::onAccepted() {
    if (!m_switches[0]->isChecked() && !m_switches[1]->isChecked())
        return;
    saveSettings();
    accept();
}

void ExportCsvDialog::saveSettings() {
    AppSettings* settings = AppSettings::instance();
    settings->setValue("csvExportFormat", m_tsv->isChecked() ? QStringLiteral("tsv") : QStringLiteral("csv"));
    storeSwitches(kSwitches, m_switches);
    settings->setValue("csvMaxDepth", m_maxDepth->value());
}

CsvExportChoice ExportCsvDialog::options() const {
    CsvExportChoice choice;
    svl::CsvExportOptions& o = choice.exportOptions;
    o.exportFiles = m_switches[0]->isChecked();
    o.exportFolders = m_switches[1]->isChecked();
    o.exportFileId = m_switches[2]->isChecked();
    o.exportDates = m_switches[3]->isChecked();
    o.exportFolderSizes = m_switches[4]->isChecked();
    o.splitFileName = m_switches[5]->isChecked();
    o.exportDriveCapacity = m_switches[6]->isChecked();
    o.exportPercentOfParent = m_switches[7]->isChecked();
    o.maxDepth = m_maxDepth->value();
    o.tabSeparated = m_tsv->isChecked();
    choice.fromFileView = m_fileView->isChecked();
    choice.selectedOnly = m_selectedOnly->isEnabled() && m_selectedOnly->isChecked();
    choice.tsvFormat = m_tsv->isChecked();
    return choice;
}
