// Where an item was when the user chose it, so that acting on it later reaches that item
// or nothing: its path, the folder the walk to it starts from (the scanned folder that
// holds it; "/" for an administrator copy), the identity its parent folder had then and
// the item's own. The walk never follows a link below its start. Plain file-system calls;
// any thread.
#pragma once

#include "integration/SafeRemoval.h"

#include <QString>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a chosen item itself was: another object under its name (a link put in its place
// included) is not the item the user chose.
struct ItemIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool link = false;
    bool operator==(const ItemIdentity&) const = default;
};

// One chosen item and the identity its parent folder had when it was chosen.
struct RemovalTarget {
    QString path;
    saferemove::FolderIdentity parent;
    QString top;  // where the walk starts, opened as given; empty: "/"
    std::optional<saferemove::FolderIdentity> topIdentity;  // set: `top` must still be this folder
    std::optional<ItemIdentity> item;  // set: the item must still be this object
    bool topWithoutLinks = false;  // `top` itself is reached from "/" without following links
    // Set: each folder below `top` stays on its mount, except into these mounts the scan entered.
    std::optional<std::vector<saferemove::EnteredMount>> mounts;
    uint64_t parentMount = 0;  // the parent's mount id when recorded (0: the kernel has none)
};

// Records the parent's identity now, walking from `top` (empty: "/"), which must be
// `topIdentity` when that is given, and the item's own identity when the item can be seen
// there. With `mounts`, no folder below `top` may be on another mount than `top` unless the
// scan entered it there (one of `mounts`). 0, or the errno of the failure: EINVAL for a path
// that isn't clean and absolute inside `top`; kNowMountPoint and more for a mount on the way.
[[nodiscard]] int captureItemPlace(const QString& path, const QString& top, RemovalTarget* out,
                                   std::optional<saferemove::FolderIdentity> topIdentity = std::nullopt,
                                   std::optional<std::vector<saferemove::EnteredMount>> mounts = std::nullopt,
                                   bool topWithoutLinks = false);

// captureItemPlace's answer for an administrator copy when a symbolic link lies on the way
// from "/" and no scanned top vouches for the folder behind it.
constexpr int kBelowSymbolicLink = -1;

// An administrator copy's place: walked from "/" without following any link, as a link a
// user may change must never steer root, through `scanTop`, which must still be
// `scanTopIdentity`, the folder the scan opened there, and below it held to `mounts` as
// captureItemPlace does. When a link is on the way to `scanTop`, the walk starts at it
// instead (links resolved) with the same checks. Without a scanned identity the walk goes
// from "/" unchecked, and a link on the way gives kBelowSymbolicLink.
[[nodiscard]] int captureAdministratorPlace(const QString& path, const QString& scanTop,
                                            std::optional<saferemove::FolderIdentity> scanTopIdentity,
                                            RemovalTarget* out,
                                            std::optional<std::vector<saferemove::EnteredMount>> mounts = std::nullopt);

// The item's identity by its path, the last name not followed: 0 or errno.
[[nodiscard]] int captureItemIdentity(const std::string& path, ItemIdentity* out);
// The same for `name` inside the folder open as `dirFd`.
[[nodiscard]] int captureItemIdentityAt(int dirFd, const std::string& name, ItemIdentity* out);

// openItemParent's code (negated) for an item that is another object than the one recorded.
constexpr int kItemReplaced = 4096;
using saferemove::kNowMountPoint;

// Reopens the parent along the same walk and checks it is the folder recorded, and the
// item in it the object recorded (when one was). Returns the parent's O_PATH descriptor
// (the caller closes it) and the item's own name, or -errno: -ESTALE when the parent is
// another folder now, -kItemReplaced when the item is another object.
[[nodiscard]] int openItemParent(const RemovalTarget& target, std::string* name);

// Whether a failed walk (errno, kItemReplaced or a kNowMountPoint code) means the way to the
// item, or the item, changed after it was chosen: another folder, a link or file where a
// folder was, or a mount the scan did not enter.
bool isPlaceChange(int code);

// The refusal that names the item whose way (or, for kItemReplaced, the item itself)
// changed, or, for a kNowMountPoint code, the folder on the way that is now a mount point.
QString placeChangedText(const QString& path, int code = ESTALE);

// The refusal that names an item an administrator copy reaches only through a link.
QString belowLinkText(const QString& path);
