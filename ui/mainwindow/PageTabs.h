// The window's quiet page tabs: a tab widget whose bar draws no frame, rounds only the
// current tab's top corners on a faint grey and greys the text of tabs that are neither
// current nor under the mouse. GUI thread only.
#pragma once

#include <QTabBar>
#include <QTabWidget>

class RestingTabBar : public QTabBar {
    Q_OBJECT

public:
    explicit RestingTabBar(QWidget* parent = nullptr);
    int hoverIndex() const { return m_hoverIndex; }

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    QSize tabSizeHint(int index) const override;
    QSize minimumTabSizeHint(int index) const override;

private:
    int m_hoverIndex = -1;
};

class PageTabs : public QTabWidget {
    Q_OBJECT

public:
    explicit PageTabs(QWidget* parent = nullptr);
    RestingTabBar* restingBar() const { return m_bar; }

private:
    RestingTabBar* m_bar = nullptr;
};
