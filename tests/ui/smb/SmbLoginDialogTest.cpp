// The login question: what it shows for a question, and the answer each way of closing it gives.
#include "ui/smb/SmbLoginDialog.h"

#include "tests/app/ShellTestEnv.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

namespace {

SmbLoginPrompter::Question question(const std::string& user, const std::string& error, bool keyring) {
    SmbLoginPrompter::Question q;
    q.mount.server = "nas";
    q.mount.share = "media files";
    q.mount.user = user;
    q.error = error;
    q.keyringAvailable = keyring;
    return q;
}

template <class T>
T* child(const QWidget& dialog, const char* name) {
    return dialog.findChild<T*>(QString::fromLatin1(name));
}

}  // namespace

TEST(SmbLoginDialog, ShowsTheShareTheRefusalAndTheKeyringChoice) {
    struct Case {
        std::string user, error;
        bool keyring;
        const char* focused;
    };
    const Case cases[] = {
        {"bob", "", true, "passwordEdit"},
        {"", "could not log in", false, "userEdit"},
    };
    for (const Case& c : cases) {
        SmbLoginDialog dialog(question(c.user, c.error, c.keyring), nullptr);
        EXPECT_EQ(dialog.windowTitle(), "Password for nas");
        bool introNamesShare = false;
        for (const QLabel* label : dialog.findChildren<QLabel*>())
            introNamesShare |= label->text().startsWith("Enter the login for \"media files\" on nas so Hollowmere");
        EXPECT_TRUE(introNamesShare);
        const QLabel* refused = child<QLabel>(dialog, "refusedLabel");
        if (c.error.empty()) {
            EXPECT_EQ(refused, nullptr);
        } else {
            ASSERT_NE(refused, nullptr);
            EXPECT_EQ(refused->text(), "The server did not accept it: could not log in");
        }
        EXPECT_EQ(child<QLineEdit>(dialog, "userEdit")->text(), QString::fromStdString(c.user));
        EXPECT_EQ(child<QLineEdit>(dialog, "passwordEdit")->echoMode(), QLineEdit::Password);
        const QCheckBox* remember = child<QCheckBox>(dialog, "rememberBox");
        EXPECT_EQ(remember != nullptr, c.keyring);
        EXPECT_EQ(child<QLabel>(dialog, "noKeyringLabel") != nullptr, !c.keyring);
        if (remember) {
            EXPECT_TRUE(remember->isChecked());
        }
        EXPECT_FALSE(child<QCheckBox>(dialog, "alwaysUseMountBox")->isChecked());
        EXPECT_TRUE(child<QPushButton>(dialog, "scanDirectlyButton")->isDefault());
        dialog.show();
        ASSERT_NE(dialog.focusWidget(), nullptr);
        EXPECT_EQ(dialog.focusWidget()->objectName(), c.focused) << c.user;
    }
}

TEST(SmbLoginDialog, EachWayOfClosingGivesItsAnswer) {
    enum Close { ScanDirectly, Enter, UseMount, Escape };
    struct Case {
        Close close;
        bool keyring, untickRemember, tickAlways;
        SmbLoginPrompter::Answer expected;
    };
    const Case cases[] = {
        // "Always" is ignored when scanning directly; remember follows the box.
        {ScanDirectly, true, false, true, {true, false, true, "bob", "pä ss"}},
        {Enter, true, true, false, {true, false, false, "bob", "pä ss"}},
        // Without a keyring there is nothing to remember in.
        {ScanDirectly, false, false, false, {true, false, false, "bob", "pä ss"}},
        // Using the mount drops what was typed.
        {UseMount, true, false, true, {false, true, false, "", ""}},
        {UseMount, true, false, false, {false, false, false, "", ""}},
        {Escape, false, false, true, {false, true, false, "", ""}},
    };
    for (const Case& c : cases) {
        SmbLoginDialog dialog(question("bob", "", c.keyring), nullptr);
        dialog.show();
        child<QLineEdit>(dialog, "passwordEdit")->setText(QString::fromUtf8("pä ss"));
        if (c.untickRemember)
            child<QCheckBox>(dialog, "rememberBox")->setChecked(false);
        if (c.tickAlways)
            child<QCheckBox>(dialog, "alwaysUseMountBox")->setChecked(true);
        switch (c.close) {
        case ScanDirectly:
            child<QPushButton>(dialog, "scanDirectlyButton")->click();
            break;
        case Enter:
            QTest::keyClick(child<QLineEdit>(dialog, "passwordEdit"), Qt::Key_Return);
            break;
        case UseMount:
            child<QPushButton>(dialog, "useMountButton")->click();
            break;
        case Escape:
            QTest::keyClick(&dialog, Qt::Key_Escape);
            break;
        }
        EXPECT_FALSE(dialog.isVisible());
        const SmbLoginPrompter::Answer a = dialog.answer();
        const SmbLoginPrompter::Answer& e = c.expected;
        EXPECT_EQ(a.scanDirectly, e.scanDirectly) << int(c.close);
        EXPECT_EQ(a.alwaysUseMount, e.alwaysUseMount) << int(c.close);
        EXPECT_EQ(a.remember, e.remember) << int(c.close);
        EXPECT_EQ(a.user, e.user) << int(c.close);
        EXPECT_EQ(a.password, e.password) << int(c.close);
    }
}

TEST(SmbLoginDialog, ParentClosingOrGoingAwayWhileAskingGivesTheMountWithoutAlways) {
    for (const bool destroy : {false, true}) {
        auto* parent = new QWidget;
        parent->show();
        QTimer::singleShot(50, parent, [parent, destroy] {
            if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                box->findChild<QCheckBox*>("alwaysUseMountBox")->setChecked(true);
                box->findChild<QLineEdit*>("passwordEdit")->setText("typed");
            }
            if (destroy)
                parent->deleteLater();
            else
                parent->close();
        });
        const SmbLoginPrompter::Answer a = askSmbLogin(parent, question("bob", "", true));
        EXPECT_FALSE(a.scanDirectly) << destroy;
        EXPECT_FALSE(a.alwaysUseMount) << destroy;
        EXPECT_TRUE(a.user.empty() && a.password.empty()) << destroy;
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        if (!destroy)
            delete parent;
    }
}

TEST(SmbLoginDialog, AnsweredQuestionReturnsTheTypedLogin) {
    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        box->findChild<QLineEdit*>("userEdit")->setText("alice");
        box->findChild<QPushButton*>("scanDirectlyButton")->click();
    });
    const SmbLoginPrompter::Answer a = askSmbLogin(nullptr, question("", "", false));
    EXPECT_TRUE(a.scanDirectly);
    EXPECT_EQ(a.user, "alice");
    EXPECT_EQ(a.password, "");
}
