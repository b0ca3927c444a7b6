#include "ui/dialogs/SettingSwitch.h"

#include "app/AppSettings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFrame>

QCheckBox* makeSwitchBox(const SettingSwitch& option, const char* context, QWidget* parent) {
    auto* box = new QCheckBox(QCoreApplication::translate(context, option.text), parent);
    box->setObjectName(QLatin1String(option.key));
    box->setChecked(AppSettings::instance()->settings()->value(QLatin1String(option.key), option.byDefault).toBool());
    return box;
}

void storeSwitches(const SettingSwitch* options, const QList<QCheckBox*>& boxes) {
    for (qsizetype i = 0; i < boxes.size(); ++i)
        AppSettings::instance()->setValue(options[i].key, boxes[i]->isChecked());
}

QFrame* sunkenLine(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QDialogButtonBox* saveOrCancelButtons(QDialog* dialog, std::function<void()> save) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, [dialog, save = std::move(save)] {
        save();
        dialog->accept();
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}
