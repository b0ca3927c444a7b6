// The desktop trash as the freedesktop.org trash rules lay it out, moving each
// item from the parent folder checked when it was chosen. Items on the home's file system
// go to $XDG_DATA_HOME/Trash (made with mode 0700 when missing); items on other volumes to
// $topdir/.Trash/$uid when .Trash is a real sticky folder, else to $topdir/.Trash-$uid, with
// Path= relative to the volume's top. The directorysizes cache is left alone.
// Plain file-system calls; any thread.
#pragma once

#include "integration/ItemPlace.h"

#include <string>

enum class TrashOutcome {
    Trashed,
    NotTrashable,  // no trash could take it, or moving failed: nothing was changed
    PlaceChanged,  // the way to it changed after it was chosen: left alone
    ItemReplaced,  // another object holds its name now: left alone
};

// Moves the chosen item to the trash of its volume.
TrashOutcome moveItemToTrash(const RemovalTarget& target);

// Moves `name` inside the folder open as `parentFd` to the trash: the info file first
// (O_EXCL, under a name no other item has), then the item with renameat; a failed move
// removes the info file again. `path` is the item's absolute path, written as Path= in the
// home trash. 0 or errno. `trashedAs` (may be null) gets the item's path inside the trash.
[[nodiscard]] int trashEntry(int parentFd, const std::string& name, const std::string& path, std::string* trashedAs);

// A Path= value: every byte but A-Z, a-z, 0-9, "-", ".", "_", "~" and "/" as %XX.
std::string trashPathEncoded(const std::string& bytes);
