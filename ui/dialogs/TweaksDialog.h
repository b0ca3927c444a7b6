// The behaviour switches of the program in one modal form: the views, the scanner front
// end, the treemap and the size texts. Values are read from the settings store when the
// form is built and written back only by OK; "Forget Saved SMB Passwords" acts at once.
// GUI thread.
#pragma once

#include <QDialog>

#include <functional>

class QCheckBox;
class QRadioButton;
class QSpinBox;

class TweaksDialog : public QDialog {
    Q_OBJECT

public:
    explicit TweaksDialog(QWidget* parent = nullptr);

    // Writes all fifteen values; the store announces only those that changed.
    void save();

    // What "Forget Saved SMB Passwords" runs. The network-share code installs the
    // forgetting of its cached and keyring logins here; by default it empties the
    // remembered choice of servers read through their mounts (`smbUseMountServers`).
    static std::function<void()>& forgetSmbLoginsHook();

private:
    QList<QCheckBox*> m_checks;  // the twelve switches in table order
    QRadioButton* m_decimal = nullptr;
    QRadioButton* m_binary = nullptr;
    QSpinBox* m_decimalPlaces = nullptr;
    QSpinBox* m_groupMinSize = nullptr;
};
