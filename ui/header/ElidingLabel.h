// A one-line label that shows as much of its text as fits, with "…" in the middle of a
// text too long for it (a path keeps its beginning and its end). The full text stays
// its text and its size hint. GUI thread only.
#pragma once

#include <QLabel>

class ElidingLabel : public QLabel {
    Q_OBJECT

public:
    explicit ElidingLabel(QWidget* parent = nullptr);

    // The text as drawn at the current width.
    QString shownText() const;
    // The shown text as it is drawn: isolated as a path or as any other text.
    QString drawnText() const;
    // Whether the text is a path, whose names are then isolated one by one.
    void setHoldsPath(bool holdsPath);
    // As narrow as an ellipsis: however long its text, the label never makes its window wider.
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_holdsPath = false;
};
