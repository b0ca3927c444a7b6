// File helpers of the window's commands: files on the clipboard for a file manager
// (cut or copy), paths as text, whether this account may delete an item itself,
// deleting an item tree, and renaming an item. GUI thread (the clipboard); the others
// touch only the file system. Failures come back as bool with an optional message.
#pragma once

#include <QList>
#include <QString>

// "text/uri-list", "x-special/gnome-copied-files", "application/x-kde-cutselection" and
// plain text for the paths; an empty list leaves the clipboard alone.
void putFilesOnClipboard(const QList<QString>& paths, bool cut);
// The paths, one per line, as the clipboard's text; an empty list does nothing.
void copyPathsAsText(const QList<QString>& paths);

// The kernel's rule for unlinking: a writable, searchable parent, and in a sticky parent
// an item or parent owned by this account. Always true for root.
bool canDeleteWithoutAdministrator(const QString& path);

// Removes the item and everything below it without following links and without entering
// another device or mount; an administrator copy also resolves the parent folders without
// following links. Refuses the root, relative paths and paths not in their cleaned form.
// `permissionDenied` tells an EACCES/EPERM failure apart. Both pointers may be null.
bool deleteItems(const QString& path, QString* error, bool* permissionDenied);

// Renames the item to `newName` in the same folder, never replacing an existing item.
bool renameItem(const QString& path, const QString& newName, QString* error);
