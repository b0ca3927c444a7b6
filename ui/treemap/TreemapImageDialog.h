// Asks for the size and style of a saved treemap picture: width and height (16 to
// 16384, with a menu of common sizes), "Shades of Gray" and "Show Free Space". The
// size and gray choice are remembered by saveSettings; free space is the caller's.
// GUI thread only.
#pragma once

#include <QDialog>
#include <QList>
#include <QSize>

class QCheckBox;
class QDialogButtonBox;
class QSpinBox;
class QToolButton;

class TreemapImageDialog : public QDialog {
    Q_OBJECT

public:
    explicit TreemapImageDialog(bool showFreeSpace, QWidget* parent = nullptr);

    int imageWidth() const;
    int imageHeight() const;
    bool shadesOfGray() const;
    bool showFreeSpace() const;
    // Stores the size and the gray choice.
    void saveSettings() const;

    // The sizes offered in the preset menu, in menu order.
    static const QList<QSize>& sizePresets();
    void setImageSize(int width, int height);

    QToolButton* presetButton() const { return m_presets; }

private:
    QSpinBox* m_width = nullptr;
    QSpinBox* m_height = nullptr;
    QToolButton* m_presets = nullptr;
    QCheckBox* m_gray = nullptr;
    QCheckBox* m_freeSpace = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};
