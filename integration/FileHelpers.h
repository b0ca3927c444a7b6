// File helpers of the window's commands: files on the clipboard for a file manager
// (cut or copy), paths as text, whether this account may delete an item itself,
// deleting an item tree, and renaming an item. GUI thread (the clipboard); the others
// touch only the file system. Failures come back as bool with an optional message.
#pragma once

#include "integration/ItemPlace.h"
#include "integration/OwnedFd.h"

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
// The same for an item chosen earlier: it is removed through its parent folder only when
// that is still the folder it was chosen in, reached without a link below the walk's start.
// `control` counts the entries removed and can stop the removal between them (then false,
// with nothing said about permission).
bool deleteItems(const RemovalTarget& target, QString* error, bool* permissionDenied,
                 const saferemove::RemovalControl& control = {});

// deleteItems for many items in a row: items of one folder in a row share one walk to it,
// made again every kWalkEvery items, each item still checked to be the object chosen.
class ItemDeleter {
public:
    static constexpr int kWalkEvery = 256;
    bool remove(const RemovalTarget& target, QString* error, bool* permissionDenied,
                const saferemove::RemovalControl& control = {});

private:
    OwnedFd m_parent;  // the folder walked to last
    QString m_folder;  // its path
    saferemove::FolderIdentity m_identity;
    QString m_top;
    int m_uses = 0;
};

// Renames an item whose place was recorded to `newName` in the same folder: only while
// the folder is the one it was in and the item the object it was. Never replaces an
// existing item, also on volumes without RENAME_NOREPLACE.
bool renameItem(const RemovalTarget& target, const QString& newName, QString* error);
