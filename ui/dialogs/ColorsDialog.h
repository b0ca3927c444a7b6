// The appearance (system, light, dark), the treemap's colouring by size or by
// extension, its thirteen colours and the extension lists of each colour. Edits live
// in the dialog until OK stores them; the main window applies them when the store
// announces the changed keys. GUI thread.
#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>

#include <functional>

class QColor;
class QLineEdit;
class QPushButton;
class QRadioButton;

class ColorsDialog : public QDialog {
    Q_OBJECT

public:
    explicit ColorsDialog(QWidget* parent = nullptr);

    // Stores the colour settings (raising their revision) and the appearance.
    void save();

    // Opens the colour picker; an invalid colour means cancelled. Replaceable for tests.
    static std::function<QColor(const QColor& initial, QWidget* parent, const QString& title)>& colorPicker();

private:
    void showColor(int slot);
    void pickColor(int slot);
    void updateExtensionsEnabled();

    QRadioButton* m_system = nullptr;
    QRadioButton* m_light = nullptr;
    QRadioButton* m_dark = nullptr;
    QRadioButton* m_bySize = nullptr;
    QRadioButton* m_byExtension = nullptr;
    QList<QPushButton*> m_colorButtons;
    QList<QLineEdit*> m_extensionFields;
    QPushButton* m_defaultExtensions = nullptr;
    QStringList m_paletteTexts;
};
