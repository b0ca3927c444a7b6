// The header's filter toggle: a checkable tool button painted as a rounded key with a
// funnel, highlighted while the filter panel is shown. GUI thread.
#pragma once

#include <QToolButton>

class FunnelButton : public QToolButton {
    Q_OBJECT

public:
    explicit FunnelButton(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
