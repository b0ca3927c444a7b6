// Finding the program that grants administrator rights (pkexec, else sudo), the
// folders searched for it, the program's own path and the message for a refused
// password. Shared by the relaunch as administrator and the delete as administrator.
// GUI thread or any thread: pure functions of the environment and the file system.
#pragma once

#include <QList>
#include <QString>

enum class ElevationTool { Pkexec = 0, Sudo = 1, None = 2 };

struct ElevationToolChoice {
    ElevationTool tool = ElevationTool::None;
    QString path;  // absolute; empty for None
};

// The AppImage named by APPIMAGE when that file exists, else the running executable.
QString programFilePath();
// The PATH entries (empty ones dropped) followed by the usual system folders not yet listed.
QList<QString> elevationSearchFolders();
// The system folders only, for programs that must never be taken from a PATH entry.
QList<QString> systemProgramFolders();
// Absolute path of the first regular, executable file `name` in the folders; empty when none.
QString findExecutableIn(const QString& name, const QList<QString>& folders);
ElevationToolChoice chooseElevationTool(const QList<QString>& folders);
// The text in single quotes for /bin/sh, each apostrophe written as '\''.
QString shellQuoted(const QString& text);
// "Administrator access wasn't granted, ..." for pkexec 126/127 and sudo 1; else the exit status text.
QString elevationFailureMessage(ElevationTool tool, int status);
