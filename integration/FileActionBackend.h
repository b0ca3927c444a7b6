// The table of desktop operations through which the window acts on files outside its
// tree: open, show in the file manager, properties, terminal, trash, delete as
// administrator and another instance of the program. Each is a replaceable function
// object; system() fills the defaults. GUI thread only; the defaults block it for at
// most a few seconds (dbus-send) or while the administrator password is asked.
#pragma once

#include "integration/AdminDelete.h"
#include "integration/DesktopTrash.h"

#include <QList>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

struct FileActionBackend {
    std::function<bool(const QString& path)> open;
    std::function<bool(const QList<QString>& paths)> showInFileManager;
    std::function<bool(const QList<QString>& paths)> showProperties;
    std::function<bool(const QString& folder)> openTerminal;
    // The targets carry the parent folders' identities seen before the user was asked.
    std::function<TrashOutcome(const RemovalTarget& target)> moveToTrash;
    std::function<bool(const QList<RemovalTarget>& targets, QString* error)> deleteAsAdministrator;
    std::function<bool(const QString& path)> startInstance;

    // The defaults: Qt's URL handler, FileManager1 over dbus-send, the terminal table,
    // the freedesktop.org trash, pkexec/sudo, and the program's own file (the AppImage when there is one).
    static FileActionBackend system();

    // Starts a terminal whose shell begins in `folder`: $TERMINAL, else the first
    // program of terminalCandidates() that starts. True when one started.
    static bool defaultOpenTerminal(const QString& folder);
};

// One org.freedesktop.FileManager1 call through dbus-send: true when it ended with status
// 0 within 4 seconds.
bool callFileManager1(const QString& method, const QList<QString>& paths, const QString& token);
// The URI FileManager1 gets for a path: smb:// inside a gvfs share folder, else file://;
// fully encoded, with "," as "%2C" so it cannot split dbus-send's array.
QString fileUriFor(const QString& path);
// A Wayland activation token for the focused window; empty elsewhere.
QString activationToken();

// The terminal programs tried in order, with their arguments ("%1" = the folder).
std::vector<std::pair<QString, QList<QString>>> terminalCandidates();
// Starts the program detached in the folder, with the activation token in its environment
// when there is one. Never through a shell.
bool startDetachedWithToken(const QString& program, const QList<QString>& arguments, const QString& workingFolder);
