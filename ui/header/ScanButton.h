// The header's split scan button: the body starts or cancels a scan (plain `clicked`),
// the rightmost 20 pixels open a one-entry menu that restarts the scan with or without
// administrator rights. Painted by itself in the accent blue; shows an orange shield
// badge while the program runs as administrator. GUI thread.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QPushButton>

class ScanButton : public QPushButton {
    Q_OBJECT

public:
    explicit ScanButton(const QString& text, QWidget* parent = nullptr);

    void setElevated(bool elevated);
    bool isElevated() const { return m_elevated; }
    // False while a job runs: the arrow zone then swallows presses and opens nothing.
    void setMenuEnabled(bool enabled);
    bool isMenuEnabled() const { return m_menuEnabled; }

    // Width of the arrow zone at the right end.
    static constexpr int kArrowZone = 20;
    bool inArrowZone(const QPointF& position) const;

    // The administrator badge, size × size pixels.
    static QPixmap adminBadge(int size);
    // The program icon with the badge in its lower right corner; empty without the icon.
    static QIcon elevatedWindowIcon();

signals:
    void scanAsAdminRequested();
    void scanAsNonAdminRequested();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void openMenu();

    bool m_elevated = false;
    bool m_menuEnabled = true;
    bool m_arrowHovered = false;
    bool m_arrowPressed = false;
};
