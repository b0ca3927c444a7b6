// FilterPanel: the strip where the include and exclude filters are typed, with the
// choice between matching file names only and entire paths. It only edits and stores
// the texts; the main window reads them when it applies a filter or starts a scan.
// Every user edit is stored at once. GUI thread only.
#pragma once

#include <QWidget>

class FilterField;
class QPushButton;
class QRadioButton;

class FilterPanel : public QWidget {
    Q_OBJECT

public:
    explicit FilterPanel(QWidget* parent = nullptr);

    QString includeText() const;  // as typed, not trimmed
    QString excludeText() const;
    bool matchEntirePath() const;
    // Fills both fields (command-line filters); stores nothing and applies nothing.
    void setTexts(const QString& include, const QString& exclude);

    FilterField* includeField() const { return m_include; }
    FilterField* excludeField() const { return m_exclude; }
    QRadioButton* fileNameOnlyRadio() const { return m_nameOnly; }
    QRadioButton* entirePathRadio() const { return m_entirePath; }
    QPushButton* clearButton() const { return m_clear; }
    QPushButton* applyButton() const { return m_apply; }

signals:
    void applyRequested();

private:
    void saveSettings();
    void apply();
    void clear();

    FilterField* m_include;
    FilterField* m_exclude;
    QRadioButton* m_nameOnly;
    QRadioButton* m_entirePath;
    QPushButton* m_clear;
    QPushButton* m_apply;
};
