#include "ui/mainwindow/UpdateBanner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>

UpdateBanner::UpdateBanner(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("updateBanner"));
    setFixedHeight(36);
    // Dark text on the light gradient, whatever the colour scheme.
    QPalette pal = palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::WindowText, Qt::black);
        pal.setColor(group, QPalette::ButtonText, Qt::black);
        pal.setColor(group, QPalette::Button, QColor(255, 255, 255, 200));
    }
    setPalette(pal);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 0, 16, 0);
    layout->setSpacing(12);
    m_message = new QLabel(this);
    m_message->setTextFormat(Qt::PlainText);
    layout->addWidget(m_message, 1);
    m_view = new QPushButton(tr("View Update"), this);
    m_view->setObjectName(QStringLiteral("viewUpdateButton"));
    layout->addWidget(m_view);
    m_dismiss = new QToolButton(this);
    m_dismiss->setText(QStringLiteral("✕"));
    m_dismiss->setObjectName(QStringLiteral("dismissUpdateButton"));
    m_dismiss->setAutoRaise(true);
    layout->addWidget(m_dismiss);
}

void UpdateBanner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0, Qt::white);
    gradient.setColorAt(1, Qt::yellow);
    painter.fillRect(rect(), gradient);
}
