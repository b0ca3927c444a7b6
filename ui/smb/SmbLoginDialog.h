// The question shown when a mounted SMB share could be read directly but no working login is
// known: user name and password, whether to keep them in the keyring, or reading through the
// system's mount instead (once, or always for this server). It stores nothing itself.
//
// Threads: GUI thread only.
#pragma once

#include <QDialog>

#include "ui/smb/SmbLoginPrompter.h"

class QCheckBox;
class QLineEdit;

class SmbLoginDialog : public QDialog {
    Q_OBJECT
public:
    SmbLoginDialog(const SmbLoginPrompter::Question& question, QWidget* parent);

    // What the user chose; meaningful once the dialog has been closed.
    SmbLoginPrompter::Answer answer() const;

private:
    QLineEdit* m_user = nullptr;
    QLineEdit* m_password = nullptr;
    QCheckBox* m_remember = nullptr;  // null when no keyring is available
    QCheckBox* m_alwaysUseMount = nullptr;
};

// Shows the question modally and returns the answer. A parent that closes or goes away while
// the question is open ends it as "Use the Mount" without the "always" choice.
SmbLoginPrompter::Answer askSmbLogin(QWidget* parent, const SmbLoginPrompter::Question& question);
