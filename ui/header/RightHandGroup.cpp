#include "ui/header/RightHandGroup.h"

#include "app/UpdateChecker.h"
#include "app/VersionInfo.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kIconGap = 6;    // between the icon and the text column
constexpr int kTitleGap = 12;  // between the title column and the donate button

constexpr char kDonateStyle[] =
    "QPushButton { background-color: #ff9500; color: white; font-weight: bold; border: 0; border-radius: 6px; "
    "padding: 4px 12px; }QPushButton:pressed { background-color: #bf7000; }";

}  // namespace

RightHandGroup::RightHandGroup(QWidget* parent) : QWidget(parent) {
    auto* box = new QHBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(kIconGap);
    m_icon = new QLabel(this);
    m_icon->setPixmap(
        QPixmap(QStringLiteral(":/sorvale.png")).scaled(56, 56, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    box->addWidget(m_icon, 0, Qt::AlignTop);

    auto* textColumn = new QVBoxLayout;
    textColumn->setSpacing(1);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(kTitleGap);
    m_titleColumn = new QWidget(this);
    auto* titleBox = new QVBoxLayout(m_titleColumn);
    titleBox->setContentsMargins(0, 0, 0, 0);
    titleBox->setSpacing(1);
    QFont bold = font();
    bold.setWeight(QFont::Bold);
    auto* title = new QLabel(tr("Hollowmere v%1").arg(appVersion()), m_titleColumn);
    title->setObjectName(QStringLiteral("titleLabel"));
    title->setFont(bold);
    m_link = new QLabel(m_titleColumn);
    m_link->setTextFormat(Qt::RichText);
    m_link->setOpenExternalLinks(true);
    QFont linkFont = font();
    linkFont.setPointSizeF(font().pointSizeF() * 0.85);
    m_link->setFont(linkFont);
    showLink();
    titleBox->addWidget(title);
    titleBox->addWidget(m_link);
    titleRow->addWidget(m_titleColumn);

    m_donate = new QPushButton(tr("Donate") + QStringLiteral("  "), this);
    m_donate->setObjectName(QStringLiteral("donateButton"));
    m_donate->setIcon(QIcon(QStringLiteral(":/DonateCardLogos.png")));
    m_donate->setIconSize(QSize(26, 36));
    m_donate->setLayoutDirection(QApplication::layoutDirection() == Qt::LeftToRight ? Qt::RightToLeft
                                                                                     : Qt::LeftToRight);
    m_donate->setCursor(Qt::PointingHandCursor);
    m_donate->setFlat(true);
    m_donate->setStyleSheet(QLatin1String(kDonateStyle));
    connect(m_donate, &QPushButton::clicked, this, &RightHandGroup::donateRequested);
    titleRow->addWidget(m_donate, 0, Qt::AlignVCenter);
    textColumn->addLayout(titleRow);
    textColumn->addStretch(1);
    box->addLayout(textColumn);
}

QSize RightHandGroup::sizeHint() const {
    // Constant whatever is hidden, so hiding a part never moves the header's layout.
    const int width = m_icon->sizeHint().width() + kIconGap + m_titleColumn->sizeHint().width() + kTitleGap +
                      m_donate->sizeHint().width();
    const int height = std::max({m_icon->sizeHint().height(), m_titleColumn->sizeHint().height(),
                                 m_donate->sizeHint().height()});
    return QSize(width, height);
}

QSize RightHandGroup::minimumSizeHint() const {
    return QSize(0, sizeHint().height());
}

// A link's colour is fixed when its text is read, so the text is set again in the
// palette's link colour whenever the palette changes.
void RightHandGroup::showLink() {
    const QUrl site = makerServer();
    m_link->setText(QStringLiteral("<a href=\"%1\" style=\"color:%3\">%2</a>")
                        .arg(site.toString(), site.host(), palette().color(QPalette::Link).name()));
}

void RightHandGroup::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && m_link)
        showLink();
}

void RightHandGroup::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitParts(width());
}

void RightHandGroup::fitParts(int width) {
    const int icon = m_icon->sizeHint().width();
    const int donate = m_donate->sizeHint().width();
    const int title = m_titleColumn->sizeHint().width();
    const bool showIcon = icon <= width;
    const bool showDonate = showIcon && icon + kIconGap + donate <= width;
    const int besideIcon = showDonate ? donate + kTitleGap : 0;
    const bool showTitle = showIcon && icon + kIconGap + title + besideIcon <= width;
    m_icon->setVisible(showIcon);
    m_donate->setVisible(showDonate);
    m_titleColumn->setVisible(showTitle);
}
