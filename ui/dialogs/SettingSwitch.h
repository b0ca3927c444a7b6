// Pieces the settings dialogs share: check boxes bound to boolean settings (preset from
// the store with their default, written back through AppSettings) and the sunken
// separator line between groups. GUI thread.
#pragma once

#include <QList>

#include <functional>

class QCheckBox;
class QDialog;
class QDialogButtonBox;
class QFrame;
class QWidget;

struct SettingSwitch {
    const char* text;  // English source text, translated in the dialog's context
    const char* key;
    bool byDefault;
};

// A check box named after the key, checked from the stored value or the default.
QCheckBox* makeSwitchBox(const SettingSwitch& option, const char* context, QWidget* parent);
// Writes each box's state under its switch's key; the store announces only changes.
void storeSwitches(const SettingSwitch* options, const QList<QCheckBox*>& boxes);
QFrame* sunkenLine(QWidget* parent);
// OK and Cancel for a settings dialog: OK runs save and accepts, Cancel rejects and keeps
// the store as it was.
QDialogButtonBox* saveOrCancelButtons(QDialog* dialog, std::function<void()> save);
