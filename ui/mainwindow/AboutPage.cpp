#include "ui/mainwindow/AboutPage.h"

#include <QCoreApplication>
#include <QFont>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include "app/VersionInfo.h"
#include "ui/dialogs/LicenseInfoDialog.h"

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("AboutPage", text);
}

QFont scaled(const QFont& base, double factor) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * factor);
    return font;
}

QPushButton* addButton(QVBoxLayout* layout, const QString& text, const char* name) {
    auto* button = new QPushButton(text);
    button->setObjectName(QLatin1String(name));
    layout->addWidget(button, 0, Qt::AlignHCenter);
    return button;
}

void showText(QWidget* page, const QString& text, const QString& title) {
    LicenseInfoDialog dialog(text, page->window(), title);
    dialog.exec();
}

}  // namespace

QLabel* addAboutLabel(QVBoxLayout* layout, const QString& text, const QFont& font, bool dimmed) {
    auto* label = new QLabel;
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setFont(font);
    label->setObjectName(QStringLiteral("about_%1").arg(layout->count()));
    if (dimmed)
        label->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(label);
    return label;
}

QWidget* createAboutPage(QWidget* parent) {
    auto* page = new QWidget(parent);
    auto* layout = new QVBoxLayout(page);
    layout->setAlignment(Qt::AlignCenter);
    layout->setSpacing(8);

    auto* icon = new QLabel;
    icon->setPixmap(QPixmap(QStringLiteral(":/sorvale.png"))
                        .scaled(56, 56, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);

    QFont title = scaled(page->font(), 1.45);
    title.setWeight(QFont::Bold);
    const QFont small = scaled(page->font(), 0.9);
    addAboutLabel(layout, tr("Hollowmere v%1").arg(appVersion()), title, false);
    addAboutLabel(layout, tr("Version Date: %1").arg(versionDateText()), small, true);
    addAboutLabel(layout, tr("Corresponds to Sorvale %1 functionality").arg(referenceEditionVersion()), small, true);
    QPushButton* license = addButton(layout, tr("View License Info (License.txt)"), "viewLicenseButton");
    addAboutLabel(layout,
                  tr("Hollowmere uses Qt under the GNU Lesser General Public License. Its SMB helper links Samba's "
                     "libsmbclient and is therefore under the GNU General Public License, version 3 or later."),
                  small, true);
    QPushButton* notices = addButton(layout, tr("Third-Party Notices…"), "thirdPartyNoticesButton");

    QObject::connect(license, &QPushButton::clicked, page, [page] { showText(page, readLicenseText(), QString()); });
    QObject::connect(notices, &QPushButton::clicked, page,
                     [page] { showText(page, readThirdPartyNotices(), tr("Third-Party Notices")); });
    return page;
}
