// Removal of files and folder trees that stays inside one mount: descends without
// following symbolic links, refuses to enter another device or another mount (a bind
// mount of the same file system included), and resolves parent folders without
// following links where a root process must not be steered elsewhere.
// Plain POSIX, no Qt: the delete-as-administrator helper runs it before any set-up.
// Any thread; every function is re-entrant. Errors are errno values (0 = success).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace saferemove {

// The identity of a folder seen earlier, compared before acting on it.
struct FolderIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FolderIdentity&) const = default;
};

// True when `path` is absolute and equals its cleaned form: no empty, "." or ".."
// component and no trailing "/" (the root "/" itself is clean).
bool isCleanAbsolutePath(const std::string& path);

// Opens the folder `path` (clean and absolute) one component at a time from "/",
// with O_NOFOLLOW|O_DIRECTORY for each: a symbolic link anywhere in it fails with ELOOP
// or ENOTDIR. Returns an O_PATH descriptor (O_CLOEXEC; the caller closes it) or -errno.
[[nodiscard]] int openFolderNoFollow(const std::string& path);

// The device and inode of an open descriptor; false when fstat fails.
bool identityOf(int fd, FolderIdentity* out);

// Splits a clean absolute path into its parent folder and last name; false for "/".
bool splitParent(const std::string& path, std::string* parent, std::string* name);

// Removes `name` inside the folder open as `parentFd`: a file or link is unlinked, a
// folder is emptied depth first and removed. Never follows a link, and never enters a
// folder on another device or another mount than `parentFd` (EXDEV; nothing of it is
// touched). Stops at the first failure and returns its errno; entries removed before it
// stay removed. Keeps one descriptor open at any depth and no recursion per level: going
// up reopens ".." and checks it is the folder it came from (ESTALE otherwise).
[[nodiscard]] int removeEntry(int parentFd, const std::string& name);

// removeEntry for a path: the parent is opened without following links when
// `noFollowParents` is set (as a root process must), else with an ordinary open.
// The root "/" and names "." and ".." are refused with EINVAL.
[[nodiscard]] int removePath(const std::string& path, bool noFollowParents);

}  // namespace saferemove
