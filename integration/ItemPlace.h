// Where an item was when the user chose it, so that acting on it later reaches that item
// or nothing: its path, the folder the walk to it starts from (the scanned folder that
// holds it; "/" for an administrator copy) and the identity its parent folder had then.
// The walk never follows a link below its start. Plain file-system calls; any thread.
#pragma once

#include "integration/SafeRemoval.h"

#include <QString>

#include <optional>
#include <string>

// One chosen item and the identity its parent folder had when it was chosen.
struct RemovalTarget {
    QString path;
    saferemove::FolderIdentity parent;
    QString top;  // where the walk starts, opened as given; empty: "/"
    std::optional<saferemove::FolderIdentity> topIdentity;  // set: `top` must still be this folder
};

// Records the parent's identity now, walking from `top` (empty: "/"), which must be
// `topIdentity` when that is given. 0, or the errno of the failure: EINVAL for a path that
// isn't clean and absolute inside `top`.
[[nodiscard]] int captureItemPlace(const QString& path, const QString& top, RemovalTarget* out,
                                   std::optional<saferemove::FolderIdentity> topIdentity = std::nullopt);

// captureItemPlace's answer for an administrator copy when a symbolic link lies on the way
// from "/" and no scanned top vouches for the folder behind it.
constexpr int kBelowSymbolicLink = -1;

// An administrator copy's place: walked from "/" without following any link, as a link a
// user may change must never steer root. When a link is on that way, the walk starts at
// `scanTop` instead (links resolved) provided that is still `scanTopIdentity`, the folder
// the scan opened there; without that, kBelowSymbolicLink.
[[nodiscard]] int captureAdministratorPlace(const QString& path, const QString& scanTop,
                                            std::optional<saferemove::FolderIdentity> scanTopIdentity,
                                            RemovalTarget* out);

// Reopens the parent along the same walk and checks it is the folder recorded. Returns
// its O_PATH descriptor (the caller closes it) and the item's own name, or -errno:
// -ESTALE when it is another folder now.
[[nodiscard]] int openItemParent(const RemovalTarget& target, std::string* name);

// Whether a failed walk (errno) means the way to the item changed after it was chosen:
// another folder, or a link or file where a folder was.
bool isPlaceChange(int code);

// The refusal that names the item whose way changed.
QString placeChangedText(const QString& path);

// The refusal that names an item an administrator copy reaches only through a link.
QString belowLinkText(const QString& path);
