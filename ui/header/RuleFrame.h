// A separator line: a frame that fills its whole rectangle with the palette's Mid
// colour of the current colour group, so it follows light and dark schemes. Used with
// no frame shape and one fixed pixel of width or height. GUI thread only.
#pragma once

#include <QFrame>

class RuleFrame : public QFrame {
    Q_OBJECT

public:
    explicit RuleFrame(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
