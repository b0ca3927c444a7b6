// Removal of files and folder trees that stays inside one mount: descends without
// following symbolic links, refuses to enter another device or another mount (a bind
// mount of the same file system included), and resolves parent folders without
// following links, so that a folder swapped for a link cannot steer an action elsewhere.
// Also the rename that never replaces an item, on every file system.
// Plain POSIX, no Qt: the delete-as-administrator helper runs it before any set-up.
// Any thread; every function is re-entrant. Errors are errno values (0 = success).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace saferemove {

// The identity of a folder seen earlier, compared before acting on it.
struct FolderIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FolderIdentity&) const = default;
};

// A folder below a scanned top where the scan itself went on into another mount: the folder
// and the mount as they were then.
struct EnteredMount {
    std::string path;  // clean and absolute
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t mountId = 0;  // statx mount id; 0 when the kernel has none
};

// What a walk below a top holds to besides never following a link below it.
struct WalkLimits {
    const FolderIdentity* topIdentity = nullptr;  // set: the top must be this folder once opened
    bool topWithoutLinks = false;  // the top itself is reached from "/" without following links
    // Each folder below the top stays on the mount of the folder above it (its mount id; the
    // device where the kernel has no mount ids), except where one of `entered` is, still the
    // folder (device and inode) and mount recorded.
    bool stayOnMount = false;
    const std::vector<EnteredMount>* entered = nullptr;
};

// openFolderBelow's answer (negated) for a folder on the way that is now a mount point the
// walk may not enter: this plus the number of names in that folder's path.
constexpr int kNowMountPoint = 1 << 16;

// True when `path` is absolute and equals its cleaned form: no empty, "." or ".."
// component and no trailing "/" (the root "/" itself is clean).
bool isCleanAbsolutePath(const std::string& path);

// Opens the folder `path` (clean and absolute) one component at a time from "/",
// with O_NOFOLLOW|O_DIRECTORY for each: a symbolic link anywhere in it fails with ELOOP
// or ENOTDIR. Returns an O_PATH descriptor (O_CLOEXEC; the caller closes it) or -errno.
[[nodiscard]] int openFolderNoFollow(const std::string& path);

// Opens the folder `path` by starting at `top` (opened as given, links included: the user
// chose it) and going down the rest of `path` one component at a time with
// O_NOFOLLOW|O_DIRECTORY. Both clean and absolute, `path` equal to `top` or inside it
// (EINVAL otherwise). A link or non-folder on the way below `top` fails with ELOOP or
// ENOTDIR. `limits` may ask more: the top's identity (-ESTALE when it is another folder), and
// no mount entered on the way (-(kNowMountPoint + names) for the first such folder).
// Returns an O_PATH descriptor (O_CLOEXEC; the caller closes it) or -errno.
[[nodiscard]] int openFolderBelow(const std::string& top, const std::string& path, const WalkLimits& limits = {});

// The mount an open descriptor is on: its device and mount id (0 when the kernel has none).
bool mountOf(int fd, uint64_t* device, uint64_t* mountId);

// The device and inode of an open descriptor; false when fstat fails.
bool identityOf(int fd, FolderIdentity* out);

// Splits a clean absolute path into its parent folder and last name; false for "/".
bool splitParent(const std::string& path, std::string* parent, std::string* name);

// What a removal reports as it goes and what stops it; every member optional. Each is looked
// at right before an entry (a file, a link or an emptied folder) goes.
struct RemovalControl {
    const std::atomic<bool>* cancel = nullptr;  // raised: the removal stops there with ECANCELED
    std::atomic<uint64_t>* removed = nullptr;   // one more for every entry removed
    // Called with the number removed so far (by this removal) before each next one goes.
    const std::function<void(uint64_t removed)>* beforeEntry = nullptr;
};

// Removes `name` inside the folder open as `parentFd`: a file or link is unlinked, a
// folder is emptied depth first and removed. Never follows a link, and never enters a
// folder on another device or another mount than `parentFd` (EXDEV; nothing of it is
// touched). Stops at the first failure, or at a cancel (ECANCELED), and returns its errno;
// entries removed before it stay removed. Keeps one descriptor open at any depth and no
// recursion per level: going up reopens ".." and checks it is the folder it came from
// (ESTALE otherwise).
[[nodiscard]] int removeEntry(int parentFd, const std::string& name, const RemovalControl& control = {});

// Renames `name` to `newName` inside the folder open as `parentFd`, never replacing an
// item: RENAME_NOREPLACE where the file system has it; where it hasn't (EINVAL on FUSE
// volumes such as ntfs-3g, and on NFS) a look for the new name comes first. 0 or errno
// (EEXIST when the name is taken).
[[nodiscard]] int renameEntry(int fromFd, const std::string& name, int toFd, const std::string& newName);

// removeEntry for a path: the parent is opened without following links when
// `noFollowParents` is set (as a root process must), else with an ordinary open.
// The root "/" and names "." and ".." are refused with EINVAL.
[[nodiscard]] int removePath(const std::string& path, bool noFollowParents, const RemovalControl& control = {});

}  // namespace saferemove
