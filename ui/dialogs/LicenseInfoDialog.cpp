#include "ui/dialogs/LicenseInfoDialog.h"

#include "app/ProgramResources.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString readResourceText(const QString& name) {
    initProgramResources();
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

}  // namespace

QString readLicenseText() {
    return readResourceText(QStringLiteral(":/License.txt"));
}

QString readThirdPartyNotices() {
    return readResourceText(QStringLiteral(":/ThirdPartyNotices.txt"));
}

LicenseInfoDialog::LicenseInfoDialog(const QString& text, QWidget* parent, const QString& title) : QDialog(parent) {
    const QString shownTitle = title.isEmpty() ? tr("License Info") : title;
    setWindowTitle(shownTitle);
    resize(680, 560);
    auto* layout = new QVBoxLayout(this);

    auto* heading = new QLabel(shownTitle, this);
    QFont headingFont = heading->font();
    headingFont.setWeight(QFont::Bold);
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.15);
    heading->setFont(headingFont);
    layout->addWidget(heading);

    m_text = new QPlainTextEdit(this);
    m_text->setReadOnly(true);
    m_text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_text->setPlainText(text);
    layout->addWidget(m_text, 1);

    // Room for about 84 digits of the fixed-pitch text.
    const int digit = m_text->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    resize(std::max(84 * digit + 60, 680), 560);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* done = buttons->addButton(tr("Done"), QDialogButtonBox::AcceptRole);
    done->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}
