// The folder reading methods of the walker behind one small interface: readdir, getdents64,
// and getdents64 with entries examined in batches through io_uring. A reader lists one open
// folder into a FolderListing; examining entries one at a time is the same for every method
// (statEntry), batch examination only exists for io_uring.
//
// Threads: one reader per worker thread; a reader and its listing are never shared.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/scan/MountWatch.h"
#include "core/scan/PageAllocator.h"
#include "core/scan/ScanDriver.h"

namespace svl {

// One listed entry of the folder being read.
struct WalkEntry {
    uint64_t id = 0;          // inode from the listing, or the raw index's entry id
    uint32_t nameOffset = 0;  // offset of the NUL-terminated name in the listing's name buffer
    uint16_t nameLength = 0;  // name length in bytes, saturated at 65535
    uint16_t flags = 0;       // NodeFlag bits for the node
    uint8_t descend = 0;      // 1: a job is queued for this folder; 2: too, and it is a mount's root
    uint8_t excluded = 0;     // 1: the scan filter excludes the entry
    uint8_t linkRole = 0;     // 0 decide by the link shards, 1 primary name, 2 further name
    uint8_t foreignMount = 0;  // 1: a mount point of another file system, never examined
    int32_t bindIndex = -1;   // index into the folder's bind-source list; -1 none
    uint64_t size = 0;
    uint64_t allocated = 0;   // bytes
    int64_t modified = 0;     // seconds
};

// The entries of one folder in listing order and their names, NUL-terminated back to back.
// "." and ".." are never appended.
struct FolderListing {
    std::vector<WalkEntry, PageAllocator<WalkEntry>> entries;
    std::vector<char, PageAllocator<char>> names;

    void clear() {
        entries.clear();
        names.clear();
    }
    // Bytes the two buffers hold (their capacities).
    size_t capacityBytes() const { return entries.capacity() * sizeof(WalkEntry) + names.capacity(); }

    // Appends one entry unless it is "." or "..". May throw std::bad_alloc.
    void append(const char* name, size_t length, uint64_t id);
    const char* name(const WalkEntry& e) const { return names.data() + e.nameOffset; }
};

// What the walker needs of one examined entry (a compact statx result).
struct EntryStat {
    static constexpr int32_t kNotExamined = 1;
    int32_t result = kNotExamined;  // 0 examined; negative errno: failed; kNotExamined: not asked yet
    uint16_t mode = 0;
    uint8_t mountRoot = 0;  // 1: the root of a mount (statx's STATX_ATTR_MOUNT_ROOT)
    uint32_t nlink = 0;
    uint64_t ino = 0;
    uint64_t dev = 0;  // makedev(major, minor)
    uint64_t size = 0;
    uint64_t blocks = 0;  // 512-byte units
    int64_t mtime = 0;
};

// statx flags and mask of every examination: no-follow, don't sync; type, links, mtime, inode,
// size, blocks.
constexpr int kWalkStatxFlags = AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC;
constexpr unsigned kWalkStatxMask =
    STATX_TYPE | STATX_NLINK | STATX_MTIME | STATX_INO | STATX_SIZE | STATX_BLOCKS;

void entryStatFromStatx(const struct statx& sx, EntryStat& out);
// Examines `name` relative to `dirfd` (or an absolute path with AT_FDCWD) with the walker's flags
// and mask; fills `out` (result 0 or -errno).
// Watched on `mount`: a refused call gives -ETIMEDOUT; a call given up throws CallGivenUp.
void statEntry(int dirfd, const char* name, EntryStat& out, MountKey mount = kUnknownMount);

class DirectoryReader {
public:
    enum class ListResult {
        Complete,   // every entry was listed
        Stopped,    // the stop test said so; the folder is to be dropped
        Failed,     // the folder could not be listed at all (error in *error)
        Truncated,  // a listing error part-way; the entries read so far are in the listing
    };
    using StopTest = std::function<bool()>;

    virtual ~DirectoryReader() = default;

    // Opens a folder read-only, directory-only, no-follow, close-on-exec. Returns the
    // descriptor, or -errno.
    [[nodiscard]] virtual int open(const std::string& path);
    // Opens the folder a descriptor (O_PATH) holds, as open() does; the descriptor stays open.
    [[nodiscard]] virtual int openHandle(int handle);
    // Lists the folder opened by open() into `out` (appending). May throw std::bad_alloc.
    [[nodiscard]] virtual ListResult list(int fd, FolderListing& out, const StopTest& stop, int* error) = 0;
    // Examines entries [begin, end) of `listing` at once, filling out[i] for entry i. Returns false when
    // this method has no batch examination or it failed (then out[] is not to be trusted as a
    // whole: entries still at kNotExamined were not examined). Never leaves a request running.
    [[nodiscard]] virtual bool examineBatch(int fd, const FolderListing& listing, size_t begin, size_t end,
                                            EntryStat* out);
    // Closes a descriptor returned by open() (after list and examination).
    virtual void close(int fd);

    ReadMethod method() const { return m_method; }
    // The mount every later call is watched on (each open, listing read and examination by
    // itself): a refused call fails with ETIMEDOUT, one given up throws CallGivenUp.
    void watchOn(MountKey mount) { m_mount = mount; }

protected:
    explicit DirectoryReader(ReadMethod method) : m_method(method) {}
    MountKey m_mount = kUnknownMount;

private:
    ReadMethod m_method;
};

// Makes the reader of a method (an unknown value gives getdents64). Throws std::bad_alloc.
[[nodiscard]] std::unique_ptr<DirectoryReader> makeDirectoryReader(ReadMethod method);

}  // namespace svl
