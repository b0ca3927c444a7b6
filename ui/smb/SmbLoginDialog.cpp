#include "ui/smb/SmbLoginDialog.h"

#include "app/DirectionalText.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

SmbLoginDialog::SmbLoginDialog(const SmbLoginPrompter::Question& question, QWidget* parent) : QDialog(parent) {
    const QString server = QString::fromStdString(question.mount.server);
    const QString share = QString::fromStdString(question.mount.share);
    setWindowTitle(tr("Password for %1").arg(isolateText(server)));
    auto* layout = new QVBoxLayout(this);

    auto* intro = new QLabel(tr("Enter the login for \"%1\" on %2 so Hollowmere can read it directly. "
                                "This is faster than reading through the system's mount.")
                                 .arg(isolateText(share), isolateText(server)),
                             this);
    intro->setTextFormat(Qt::PlainText);
    intro->setWordWrap(true);
    intro->setMinimumWidth(380);
    layout->addWidget(intro);

    if (!question.error.empty()) {
        auto* refused = new QLabel(tr("The server did not accept it: %1").arg(QString::fromStdString(question.error)),
                                   this);
        refused->setObjectName(QStringLiteral("refusedLabel"));
        refused->setTextFormat(Qt::PlainText);
        refused->setWordWrap(true);
        refused->setStyleSheet(QStringLiteral("color: #c0392b;"));
        layout->addWidget(refused);
    }

    m_user = new QLineEdit(QString::fromStdString(question.mount.user), this);
    m_user->setObjectName(QStringLiteral("userEdit"));
    m_user->setPlaceholderText(tr("User name"));
    layout->addWidget(m_user);

    m_password = new QLineEdit(this);
    m_password->setObjectName(QStringLiteral("passwordEdit"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setPlaceholderText(tr("Password"));
    layout->addWidget(m_password);

    if (question.keyringAvailable) {
        m_remember = new QCheckBox(tr("Remember in my keyring"), this);
        m_remember->setObjectName(QStringLiteral("rememberBox"));
        m_remember->setChecked(true);
        layout->addWidget(m_remember);
    } else {
        auto* note = new QLabel(tr("To save this password, a keyring must be installed and running "
                                   "(for example GNOME Keyring or KWallet)."),
                                this);
        note->setObjectName(QStringLiteral("noKeyringLabel"));
        note->setWordWrap(true);
        note->setForegroundRole(QPalette::PlaceholderText);
        layout->addWidget(note);
    }

    m_alwaysUseMount = new QCheckBox(tr("Always use the mount for this server"), this);
    m_alwaysUseMount->setObjectName(QStringLiteral("alwaysUseMountBox"));
    layout->addWidget(m_alwaysUseMount);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* direct = buttons->addButton(tr("Scan Directly"), QDialogButtonBox::AcceptRole);
    direct->setObjectName(QStringLiteral("scanDirectlyButton"));
    direct->setDefault(true);
    QPushButton* mount = buttons->addButton(tr("Use the Mount"), QDialogButtonBox::RejectRole);
    mount->setObjectName(QStringLiteral("useMountButton"));
    mount->setAutoDefault(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    if (m_user->text().isEmpty())
        m_user->setFocus();
    else
        m_password->setFocus();
}

SmbLoginPrompter::Answer SmbLoginDialog::answer() const {
    SmbLoginPrompter::Answer answer;
    if (result() == QDialog::Accepted) {
        answer.scanDirectly = true;
        answer.user = m_user->text().toStdString();
        answer.password = m_password->text().toStdString();
        answer.remember = m_remember && m_remember->isChecked();
    } else {
        answer.alwaysUseMount = m_alwaysUseMount->isChecked();
    }
    return answer;
}

namespace {

// Closes the question without an answer when its parent window closes.
class ParentCloseWatch : public QObject {
public:
    explicit ParentCloseWatch(QDialog* dialog) : m_dialog(dialog) {}
    bool closed = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close && m_dialog) {
            closed = true;
            m_dialog->reject();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QPointer<QDialog> m_dialog;
};

}  // namespace

SmbLoginPrompter::Answer askSmbLogin(QWidget* parent, const SmbLoginPrompter::Question& question) {
    QPointer<SmbLoginDialog> dialog = new SmbLoginDialog(question, parent);
    ParentCloseWatch watch(dialog);
    if (parent)
        parent->installEventFilter(&watch);
    dialog->exec();
    if (!dialog)
        return {};
    if (parent)
        parent->removeEventFilter(&watch);
    const SmbLoginPrompter::Answer answer = watch.closed ? SmbLoginPrompter::Answer() : dialog->answer();
    delete dialog;
    return answer;
}
