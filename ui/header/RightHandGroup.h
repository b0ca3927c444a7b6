// The header's right-hand group: program icon, title with the version, web link and
// donate button. It asks for its full width but takes whatever the header can spare:
// parts that do not fit are hidden whole, title and link first, then the donate
// button, then the icon, so nothing is ever clipped or drawn over its neighbours.
// GUI thread only.
#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

class RightHandGroup : public QWidget {
    Q_OBJECT

public:
    explicit RightHandGroup(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void donateRequested();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // Shows the parts that fit in `width`, most important first.
    void fitParts(int width);
    void showLink();

    QLabel* m_icon = nullptr;
    QWidget* m_titleColumn = nullptr;
    QLabel* m_link = nullptr;
    QPushButton* m_donate = nullptr;
};
