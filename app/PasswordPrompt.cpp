#include "app/PasswordPrompt.h"

#include "app/Elevation.h"

#include <QApplication>
#include <QIcon>
#include <QInputDialog>

#include <cstdio>

bool isPasswordPromptMode() {
    return envSwitchIsOne("ZRT_ASKPASS");
}

QString promptForPassword(const QString& prompt, bool* ok) {
    return QInputDialog::getText(
        nullptr, QCoreApplication::translate("PasswordPrompt", "Administrator Password"),
        QCoreApplication::translate("PasswordPrompt", "Hollowmere needs administrator access to read every folder.\n\n%1")
            .arg(prompt),
        QLineEdit::Password, QString(), ok, Qt::Dialog | Qt::WindowStaysOnTopHint, Qt::ImhNone);
}

int runPasswordPrompt(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Hollowmere"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/sorvale.png")));
    const QString prompt = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("Password:");
    bool ok = false;
    const QString password = promptForPassword(prompt, &ok);
    if (!ok)
        return 1;
    const QByteArray bytes = password.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    return 0;
}
