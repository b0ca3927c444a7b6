#include "core/scan/DirectoryReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/scan/IoUringStatx.h"

namespace svl {

namespace {

constexpr size_t kListingBufferBytes = 262144;

// A path the kernel refuses whole (PATH_MAX bytes or more, as deep trees have) is opened in
// pieces below the limit, each relative to the folder the piece before it reached. Only the
// last piece gets `flags`; the others are resolved like the leading part of a path.
int openLongPath(const std::string& path, int flags) {
    int dir = AT_FDCWD;
    size_t at = 0;
    std::string piece;
    for (;;) {
        const bool last = path.size() - at < PATH_MAX;
        size_t cut = path.size();
        if (!last) {
            cut = path.rfind('/', at + PATH_MAX - 1);
            if (cut == std::string::npos || cut < at)
                cut = at;
        }
        piece.assign(path, at, cut - at);
        if (piece.empty() && !last) {
            if (at != 0 || path[0] != '/') {  // a name of PATH_MAX bytes or more
                if (dir != AT_FDCWD)
                    ::close(dir);
                return -ENAMETOOLONG;
            }
            piece = "/";
        }
        const int next = openat(dir, piece.c_str(), last ? flags : O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int error = errno;
        if (dir != AT_FDCWD)
            ::close(dir);
        if (next < 0)
            return -error;
        if (last)
            return next;
        dir = next;
        at = cut + 1;
    }
}

bool isDotOrDotDot(const char* name, size_t length) {
    return name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.'));
}

// Room for `needed` elements, at least doubling: a folder that takes many reads has its
// listing copied a few times in all, not once per read.
template <class Buffer>
void reserveGrowing(Buffer& buffer, size_t needed) {
    if (needed > buffer.capacity())
        buffer.reserve(std::max(needed, 2 * buffer.capacity()));
}

struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

// fdopendir + readdir. The DIR owns the descriptor from list() on, so close() goes through it.
class ReaddirReader final : public DirectoryReader {
public:
    ReaddirReader() : DirectoryReader(ReadMethod::Readdir) {}
    ~ReaddirReader() override {
        if (m_dir)
            closedir(m_dir);
    }

    ListResult list(int fd, FolderListing& out, const StopTest& stop, int* error) override {
        const auto dir = watchedOrThrow(m_mount, [fd] { return fdopendir(fd); });
        m_dir = dir ? *dir : nullptr;
        if (!m_dir) {
            *error = errno;
            return ListResult::Failed;
        }
        size_t listed = 0;
        for (;;) {
            errno = 0;
            const auto next = watchedOrThrow(m_mount, [this] { return readdir(m_dir); });
            const dirent* d = next ? *next : nullptr;
            if (!d) {
                if (errno != 0) {
                    *error = errno;
                    return ListResult::Truncated;
                }
                return ListResult::Complete;
            }
            out.append(d->d_name, std::strlen(d->d_name), d->d_ino);
            if (++listed % 1024 == 0 && stop && stop())
                return ListResult::Stopped;
        }
    }

    void close(int fd) override {
        if (m_dir) {
            closedir(m_dir);
            m_dir = nullptr;
        } else {
            ::close(fd);
        }
    }

private:
    DIR* m_dir = nullptr;
};

// getdents64 into a 256 KiB buffer, mapped on first use. Only the pages the kernel writes
// become resident; after a large folder they are given back.
class GetdentsReader : public DirectoryReader {
public:
    explicit GetdentsReader(ReadMethod method = ReadMethod::Getdents) : DirectoryReader(method) {}
    ~GetdentsReader() override {
        if (m_buffer)
            munmap(m_buffer, kListingBufferBytes);
    }

    ListResult list(int fd, FolderListing& out, const StopTest& stop, int* error) override {
        if (!m_buffer) {
            void* p = mmap(nullptr, kListingBufferBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED)
                throw std::bad_alloc();
            m_buffer = static_cast<char*>(p);
        }
        long used = 0;
        const ListResult result = listInto(fd, out, stop, error, used);
        if (used > long(kKeptBufferBytes))
            madvise(m_buffer, kListingBufferBytes, MADV_DONTNEED);
        return result;
    }

private:
    static constexpr size_t kKeptBufferBytes = size_t(32) << 10;

    ListResult listInto(int fd, FolderListing& out, const StopTest& stop, int* error, long& used) {
        for (;;) {
            if (stop && stop())
                return ListResult::Stopped;
            const long n = watchedOrThrow(m_mount, [&] { return syscall(SYS_getdents64, fd, m_buffer, kListingBufferBytes); })
                               .value_or(-1);
            if (n == 0)
                return ListResult::Complete;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                *error = errno;
                return ListResult::Truncated;
            }
            used = std::max(used, n);
            // Every record takes at least 24 bytes: room for all of them at once.
            reserveGrowing(out.entries, out.entries.size() + size_t(n) / 24);
            reserveGrowing(out.names, out.names.size() + size_t(n));
            for (long pos = 0; pos < n;) {
                const auto* d = reinterpret_cast<const LinuxDirent64*>(m_buffer + pos);
                out.append(d->d_name, std::strlen(d->d_name), d->d_ino);
                pos += d->d_reclen;
            }
        }
    }

    char* m_buffer = nullptr;
};

// getdents64 listing; entries examined in batches through io_uring.
class IoUringReader final : public GetdentsReader {
public:
    IoUringReader() : GetdentsReader(ReadMethod::GetdentsIoUring) {}

    bool examineBatch(int fd, const FolderListing& listing, size_t begin, size_t end, EntryStat* out) override {
        if (begin >= std::min(end, listing.entries.size()))
            return false;
        return m_ring.examine(fd, listing, begin, end, out, m_mount);
    }

private:
    IoUringStatx m_ring;
};

}  // namespace

void FolderListing::append(const char* name, size_t length, uint64_t id) {
    if (length == 0 || isDotOrDotDot(name, length))
        return;
    WalkEntry e;
    e.id = id;
    e.nameOffset = uint32_t(names.size());
    e.nameLength = uint16_t(length > 65535 ? 65535 : length);
    names.insert(names.end(), name, name + length);
    names.push_back('\0');
    entries.push_back(e);
}

void entryStatFromStatx(const struct statx& sx, EntryStat& out) {
    out.result = 0;
    out.mode = sx.stx_mode;
    out.mountRoot = (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;  // 0 where the kernel has no such bit
    out.nlink = sx.stx_nlink;
    out.ino = sx.stx_ino;
    out.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    out.size = sx.stx_size;
    out.blocks = sx.stx_blocks;
    out.mtime = sx.stx_mtime.tv_sec;
}

void statEntry(int dirfd, const char* name, EntryStat& out, MountKey mount) {
    struct statx sx;
    if (watchedOrThrow(mount, [&] { return statx(dirfd, name, kWalkStatxFlags, kWalkStatxMask, &sx); }).value_or(-1) == 0)
        entryStatFromStatx(sx, out);
    else
        out.result = -errno;
}

int DirectoryReader::open(const std::string& path) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int fd = watchedOrThrow(m_mount, [&] { return ::open(path.c_str(), kFlags); }).value_or(-1);
    if (fd >= 0)
        return fd;
    if (errno != ENAMETOOLONG)
        return -errno;
    return watchedOrThrow(m_mount, [&] { return openLongPath(path, kFlags); }).value_or(-ETIMEDOUT);
}

int DirectoryReader::openHandle(int handle) {
    // "." of a folder is one.
    const int fd = watchedOrThrow(m_mount, [&] { return ::openat(handle, ".", O_RDONLY | O_CLOEXEC); }).value_or(-1);
    return fd >= 0 ? fd : -errno;
}

bool DirectoryReader::examineBatch(int, const FolderListing&, size_t, size_t, EntryStat*) { return false; }

void DirectoryReader::close(int fd) { ::close(fd); }

std::unique_ptr<DirectoryReader> makeDirectoryReader(ReadMethod method) {
    switch (method) {
    case ReadMethod::Readdir:
        return std::make_unique<ReaddirReader>();
    case ReadMethod::GetdentsIoUring:
        return std::make_unique<IoUringReader>();
    case ReadMethod::Getdents:
        break;
    }
    return std::make_unique<GetdentsReader>();
}

}  // namespace svl
