#include "ui/dialogs/AccessDeniedDialog.h"

#include "ui/views/DirectionalText.h"
#include "ui/views/ItemRoles.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

AccessDeniedDialog::AccessDeniedDialog(const QStringList& folders, bool elevated, QWidget* parent)
    : QDialog(parent), m_folders(folders), m_elevated(elevated) {
    setWindowTitle(tr("Folders Access Was Denied"));
    resize(760, 460);
    auto* layout = new QVBoxLayout(this);

    auto* heading = new QLabel(tr("Folders Access Was Denied"), this);
    QFont headingFont = heading->font();
    headingFont.setWeight(QFont::Bold);
    heading->setFont(headingFont);
    layout->addWidget(heading);

    auto* text = new QLabel(explanation(), this);
    text->setObjectName(QStringLiteral("explanation"));
    text->setWordWrap(true);
    text->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(text);

    auto* list = new QListWidget(this);
    list->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setItemDelegate(new OwnDirectionDelegate(list));
    list->addItems(folders);
    for (int i = 0; i < list->count(); ++i)
        list->item(i)->setData(HoldsPathRole, true);
    layout->addWidget(list, 1);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* done = buttons->addButton(tr("Done"), QDialogButtonBox::AcceptRole);
    done->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

QString AccessDeniedDialog::explanation() const {
    const bool one = m_folders.size() == 1;
    if (m_elevated) {
        return one ? tr("Hollowmere couldn't read the following folder during the scan, even with administrator "
                        "rights. It is likely a special system location rather than a real problem with the folder "
                        "itself.")
                   : tr("Hollowmere couldn't read the following folders during the scan, even with administrator "
                        "rights. They are likely special system locations rather than a real problem with the "
                        "folders themselves.");
    }
    return one ? tr("Hollowmere couldn't read the following folder during the scan - likely a permission "
                    "restriction, not a real problem with the folder itself. Restarting with administrator rights "
                    "(File \u2192 Restart as Administrator\u2026) lets it read protected folders.")
               : tr("Hollowmere couldn't read the following folders during the scan - likely a permission "
                    "restriction, not a real problem with the folders themselves. Restarting with administrator "
                    "rights (File \u2192 Restart as Administrator\u2026) lets it read protected folders.");
}
