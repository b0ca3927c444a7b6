// The strip above the header that announces a newer version: a message, "View Update"
// and a dismiss button on a white-to-yellow gradient. Hidden until a newer version is
// known. GUI thread only.
#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QToolButton;

class UpdateBanner : public QWidget {
    Q_OBJECT

public:
    explicit UpdateBanner(QWidget* parent = nullptr);
    QLabel* messageLabel() const { return m_message; }
    QPushButton* viewButton() const { return m_view; }
    QToolButton* dismissButton() const { return m_dismiss; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* m_message = nullptr;
    QPushButton* m_view = nullptr;
    QToolButton* m_dismiss = nullptr;
};
