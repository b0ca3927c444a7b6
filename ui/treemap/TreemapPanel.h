// The treemap page of the main window: a slim header with two unzoom buttons and a
// centred title naming the zoom root and its size, a one-pixel rule, and the
// TreemapWidget filling the rest. GUI thread only.
#pragma once

#include <QWidget>

#include <memory>

class QLabel;
class QToolButton;
class TreemapWidget;

namespace svl {
class ScanTree;
}

class TreemapPanel : public QWidget {
    Q_OBJECT

public:
    explicit TreemapPanel(QWidget* parent = nullptr);

    // Keeps a reference, hands the tree to the widget and renames the title.
    void setTree(std::shared_ptr<svl::ScanTree> tree);
    TreemapWidget* treemap() const { return m_treemap; }
    // Title "path — size" of the zoom root (or "Treemap"); buttons only while zoomed.
    void updateTitle();

    QLabel* titleLabel() const { return m_title; }
    QToolButton* upButton() const { return m_up; }
    QToolButton* topButton() const { return m_top; }

private:
    void settingChanged(const QString& key);

    TreemapWidget* m_treemap = nullptr;
    QLabel* m_title = nullptr;
    QToolButton* m_up = nullptr;
    QToolButton* m_top = nullptr;
    std::shared_ptr<svl::ScanTree> m_tree;
};
