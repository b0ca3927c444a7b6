// Two groups of controls side by side when the row is wide enough for both, the second
// under the first when it is not. Its minimum width is the wider group's, so a narrow
// window can hold it without clipping either group. GUI thread only.
#pragma once

#include <QWidget>

class WrappingRow : public QWidget {
    Q_OBJECT

public:
    // Takes both groups as children.
    WrappingRow(QWidget* first, QWidget* second, QWidget* parent = nullptr);

    bool isWrapped() const { return m_wrapped; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int oneRowWidth() const;
    int heightFor(bool wrapped) const;
    // Chooses the arrangement for the current width and sets the groups' geometry.
    void arrange();

    QWidget* m_first;
    QWidget* m_second;
    bool m_wrapped = false;
};
