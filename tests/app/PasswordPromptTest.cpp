// The password dialog that sudo shows through the program: its texts, hidden echo and answer.
#include "app/PasswordPrompt.h"
#include "tests/app/ShellTestEnv.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QTimer>

TEST(PasswordPrompt, ShowsSudosPromptUnderTheSentenceAndReturnsTheAnswer) {
    struct Case {
        QString typed;
        bool accept;
    } cases[] = {{"s3cret pass", true}, {"", true}, {"ignored", false}};
    for (const Case& c : cases) {
        QString title, label;
        QLineEdit::EchoMode echo = QLineEdit::Normal;
        bool onTop = false;
        QTimer::singleShot(50, [&] {
            auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            label = dialog->labelText();
            echo = dialog->textEchoMode();
            onTop = dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
            dialog->setTextValue(c.typed);
            c.accept ? dialog->accept() : dialog->reject();
        });
        bool ok = !c.accept;
        const QString answer = promptForPassword("[sudo] password for ann: ", &ok);
        EXPECT_EQ(title, "Administrator Password");
        EXPECT_EQ(label, "Hollowmere needs administrator access to read every folder.\n\n[sudo] password for ann: ");
        EXPECT_EQ(echo, QLineEdit::Password);
        EXPECT_TRUE(onTop);
        EXPECT_EQ(ok, c.accept);
        if (c.accept) {
            EXPECT_EQ(answer, c.typed);
        }
    }
}
