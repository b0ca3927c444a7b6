// Deleting as administrator: the items go to a root copy of this program (through
// pkexec, else sudo with the program as its password prompt) that reopens each parent
// folder from "/" without following links, checks it is the folder seen before the user
// was asked, and runs the system rm inside it with --one-file-system. The user side runs
// on the GUI thread; the root side (runAdminRemoval) is plain POSIX and runs before
// anything else of the program starts.
#pragma once

#include "integration/ItemPlace.h"

#include <QList>
#include <QString>

// The program switch of the root side, followed by pairs "device:inode:mount id" of the
// parent folder, and path.
inline constexpr char kAdminRemovalSwitch[] = "--zrt-remove-as-administrator";

// Records the parent's identity now, resolving it from "/" without following links.
// False with a message for a path not clean and absolute, or below a link or missing folder.
bool captureRemovalTarget(const QString& path, RemovalTarget* out, QString* error);

// Hands every target to the root side in one run; true when all were removed. On false
// the message goes through `error` when it is not null (empty when there is nothing to say).
bool deleteAsAdministrator(const QList<RemovalTarget>& targets, QString* error);

// "sudo rm -rf --one-file-system -- 'path' ...": the command the user can run by hand.
QString manualDeleteCommand(const QList<QString>& paths);

// The root side: argv holds the pairs after the switch. Refuses (and reports on standard
// error) an item whose parent changed or is seen through another mount, lies below a link,
// or that holds a mount point;
// removes the others with the system rm. 0 when every item went, else 1.
int runAdminRemoval(int argc, char** argv);
