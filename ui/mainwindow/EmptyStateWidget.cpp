#include "ui/mainwindow/EmptyStateWidget.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLayoutItem>
#include <QVBoxLayout>

namespace {

// Deletes every item of a layout, with the widgets of nested layouts.
void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QLayout* inner = item->layout())
            clearLayout(inner);
        delete item->widget();
        delete item;
    }
}

}  // namespace

EmptyStateWidget::EmptyStateWidget(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setAlignment(Qt::AlignCenter);
    m_iconLabel = new QLabel(this);
    m_iconLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_iconLabel);
    m_titleLabel = new QLabel(this);
    m_titleLabel->setTextFormat(Qt::PlainText);
    QFont font = m_titleLabel->font();
    font.setWeight(QFont::Bold);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    m_titleLabel->setFont(font);
    m_titleLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_titleLabel);
    m_hintLayout = new QVBoxLayout;
    m_hintLayout->setSpacing(8);
    layout->addLayout(m_hintLayout);
}

void EmptyStateWidget::setContent(const QPixmap& icon, const QString& title, const QStringList& hints) {
    m_iconLabel->setPixmap(icon);
    m_iconLabel->setVisible(!icon.isNull());
    m_titleLabel->setText(title);
    m_hintLines = hints;
    clearLayout(m_hintLayout);
    for (const QString& hint : hints) {
        auto* label = new QLabel(hint, this);
        label->setTextFormat(Qt::PlainText);  // a failure names the path
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignCenter);
        label->setMaximumWidth(860);
        label->setForegroundRole(QPalette::PlaceholderText);
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        row->addWidget(label, 20);
        row->addStretch(1);
        m_hintLayout->addLayout(row);
    }
}

QString EmptyStateWidget::text() const {
    return m_titleLabel->text();
}

QStringList EmptyStateWidget::hintText() {
    return {tr("Choose a volume or folder above, then click Scan."),
            tr("Select the 'Tree View' tab to view the scan results as a tree and treemap, or the 'File View' tab "
               "to view the scan results as a searchable list.")};
}

QPixmap EmptyStateWidget::logoPixmap() {
    const QPixmap logo(QStringLiteral(":/sorvale.png"));
    if (logo.isNull())
        return logo;
    return logo.scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QPixmap themeIconPixmap(const QString& name, QStyle::StandardPixmap fallback) {
    const QIcon icon = QIcon::fromTheme(name, QApplication::style()->standardIcon(fallback));
    return icon.pixmap(QSize(40, 40), QIcon::Normal, QIcon::Off);
}
