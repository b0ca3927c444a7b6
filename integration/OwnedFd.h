// A file descriptor that closes itself: the folder walks of the trash and the checked
// removals hold each opened folder in one, so no early return leaks it.
// Threads: one owner; not shared.
#pragma once

#include <fcntl.h>
#include <unistd.h>

// Folders on the way to an item are opened with these: never through a link.
inline constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct OwnedFd {
    int fd = -1;
    OwnedFd() = default;
    explicit OwnedFd(int f) : fd(f) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { reset(); }
    void reset(int f = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = f;
    }
};
