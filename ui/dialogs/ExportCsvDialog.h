// The choices of a CSV or TSV export: format, source view, "Selected only", the eight
// column and row switches and a maximum folder depth, preset from the settings and
// stored again by OK. OK does nothing while neither files nor folders are exported.
// GUI thread.
#pragma once

#include "core/exchange/CsvExport.h"

#include <QDialog>
#include <QList>

class QCheckBox;
class QRadioButton;
class QSpinBox;

// What the user chose.
struct CsvExportChoice {
    svl::CsvExportOptions exportOptions;
    bool fromFileView = false;
    bool selectedOnly = false;
    bool tsvFormat = false;
};

class ExportCsvDialog : public QDialog {
    Q_OBJECT

public:
    ExportCsvDialog(QWidget* parent, bool hasSelection, bool fileViewCurrent);

    CsvExportChoice options() const;
    void saveSettings();
    void onAccepted();

private:
    QRadioButton* m_csv = nullptr;
    QRadioButton* m_tsv = nullptr;
    QRadioButton* m_treeView = nullptr;
    QRadioButton* m_fileView = nullptr;
    QCheckBox* m_selectedOnly = nullptr;
    QList<QCheckBox*> m_switches;  // in the order of the settings table
    QSpinBox* m_maxDepth = nullptr;
};
