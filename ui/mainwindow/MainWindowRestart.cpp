// Starting copies of the program: a second window, a restart (after a language switch or a
// reset), and the Language submenu that leads to one.
#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>

#include <algorithm>

#include "app/AppSettings.h"
#include "app/PlainText.h"
#include "app/StringsTranslator.h"
#include "ui/mainwindow/MainWindow.h"

namespace {

// Inside an AppImage the copies start from the image, not from its unpacked executable.
QString programToStart() {
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    return appImage.isEmpty() ? QCoreApplication::applicationFilePath() : appImage;
}

// Starts `program` detached; false with the reason in *error.
bool startDetached(const QString& program, const QStringList& arguments, QString* error) {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    if (process.startDetached())
        return true;
    *error = process.errorString();
    return false;
}

}  // namespace

void MainWindow::openNewWindow() {
    if (newWindowHook) {
        newWindowHook();
        return;
    }
    QString error;
    if (!startDetached(programToStart(), {}, &error))
        showError(tr("Couldn't open a new window."), error);
}

void MainWindow::restartApplication() {
    if (restartHook) {
        restartHook();
        return;
    }
    // The shell outlives this process and starts the program once this one had time to go.
    QString error;
    if (!startDetached(QStringLiteral("/bin/sh"),
                       {QStringLiteral("-c"), QStringLiteral("sleep 0.5; exec \"$0\""), programToStart()}, &error)) {
        // Quitting now would leave the user with no program at all.
        showPlainWarning(this, tr("Couldn't Restart"), error);
        return;
    }
    quitApplication();
}

void MainWindow::resetSettingsAndRestart(bool restart) {
    // Off first, so that nothing (window state, column layouts) is written into the emptied store.
    AppSettings::instance()->setSaveEnabled(false);
    AppSettings::instance()->resetAll();
    if (restart)
        restartApplication();
}

void MainWindow::switchLanguage(const QString& tag) {
    AppSettings::instance()->setValue("language", tag);
    restartApplication();
}

QMenu* MainWindow::buildLanguageMenu(QMenu* parent) {
    QMenu* menu = parent->addMenu(tr("Language"));
    auto* group = new QActionGroup(menu);
    group->setExclusive(true);
    QString current = AppSettings::instance()->settings()->value(QStringLiteral("language")).toString();
    if (current.isEmpty())
        current = QStringLiteral("system");
    const auto add = [&](const QString& text, const QString& tag) {
        QAction* action = menu->addAction(text);
        action->setCheckable(true);
        action->setData(tag);
        action->setChecked(tag == current);
        group->addAction(action);
        // Choosing the language already in use restarts too.
        connect(action, &QAction::triggered, this, [this, tag] { switchLanguage(tag); });
    };
    add(tr("System Default"), QStringLiteral("system"));
    menu->addSeparator();
    QStringList tags = localization::availableLanguages();
    if (!tags.contains(QStringLiteral("en")))
        tags << QStringLiteral("en");
    QList<QPair<QString, QString>> languages;  // display name, tag
    for (const QString& tag : tags)
        languages.append({localization::displayName(tag), tag});
    std::stable_sort(languages.begin(), languages.end(), [](const auto& a, const auto& b) {
        return QString::localeAwareCompare(a.first, b.first) < 0;
    });
    for (const auto& [name, tag] : languages)
        add(name, tag);
    return menu;
}
