// Opening a terminal in a folder: $TERMINAL first, then a fixed list of emulators, each
// told the folder its own way. Programs start detached with an argument list, no shell.
#include "integration/FileActionBackend.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

std::vector<std::pair<QString, QList<QString>>> terminalCandidates()
{
    const QString wd = "--working-directory=%1";
    return {
        {"ptyxis", {wd}},
        {"gnome-terminal", {wd}},
        {"kgx", {wd}},
        {"cosmic-term", {}},
        {"konsole", {"--workdir", "%1"}},
        {"xfce4-terminal", {wd}},
        {"mate-terminal", {wd}},
        {"lxterminal", {wd}},
        {"tilix", {wd}},
        {"terminator", {wd}},
        {"alacritty", {"--working-directory", "%1"}},
        {"ghostty", {wd}},
        {"kitty", {"--directory", "%1"}},
        {"wezterm", {"start", "--cwd", "%1"}},
        {"foot", {wd}},
        {"x-terminal-emulator", {}},
        {"xterm", {}},
    };
}

bool startDetachedWithToken(const QString& program, const QList<QString>& arguments, const QString& workingFolder)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workingFolder);
    const QString token = activationToken();
    if (!token.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_ACTIVATION_TOKEN", token);
        env.insert("DESKTOP_STARTUP_ID", token);
        process.setProcessEnvironment(env);
    }
    return process.startDetached();
}

bool FileActionBackend::defaultOpenTerminal(const QString& folder)
{
    const QString chosen = qEnvironmentVariable("TERMINAL");
    if (!chosen.isEmpty()) {
        const QString found = QStandardPaths::findExecutable(chosen);
        if (!found.isEmpty())
            return startDetachedWithToken(found, {}, folder);
    }
    for (const auto& [name, pattern] : terminalCandidates()) {
        const QString found = QStandardPaths::findExecutable(name);
        if (found.isEmpty())
            continue;
        QList<QString> arguments;
        for (const QString& argument : pattern) {
            // One pass over the pattern, so a "%1" inside the folder name stays as it is.
            QString filled;
            for (qsizetype i = 0; i < argument.size(); ++i) {
                if (argument[i] == '%' && i + 1 < argument.size() && argument[i + 1] == '1') {
                    filled += folder;
                    ++i;
                } else {
                    filled += argument[i];
                }
            }
            arguments.append(filled);
        }
        if (startDetachedWithToken(found, arguments, folder))
            return true;
    }
    return false;
}
