// A raw index lists a whole volume from its own metadata (NTFS, ext2/3/4, Btrfs) instead of
// walking its folders; loadRawIndex picks and loads the right one for a scan root.
//
// Threads: the opener and `load` run on the scan's job thread. After `load` has returned the
// index is read-only: `stat`, `children` and `isSubvolumeLink` may be called from many threads
// at once. The counters may be read while `load` runs (from its progress callback).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace svl {

struct ScanProgress;

// The stat record of one entry. Callers preset size, allocated and mtime to 0 and
// folderIndex to 0xFFFFFFFF before calling RawIndex::stat.
struct RawStat {
    uint64_t size = 0;        // bytes
    uint64_t allocated = 0;   // allocated on the volume, in 512-byte units
    int64_t mtime = 0;        // seconds since 1970-01-01 UTC
    uint32_t folderIndex = 0xFFFFFFFF;  // the reader's own folder number; 0xFFFFFFFF for non-folders
    uint16_t mode = 0;        // POSIX type and permission bits
    uint16_t links = 0;       // hard-link count, capped at 65535
};

// One entry of a folder listing. `name` is owned by the index and lives as long as it does.
struct RawChild {
    uint64_t id = 0;
    const char* name = nullptr;  // UTF-8, NUL-terminated
    uint16_t nameLength = 0;     // bytes, without the NUL
    uint8_t type = 0;            // file-type code stored in the directory entry (ext4, Btrfs); 0 for NTFS
    // Hard-link treatment when the link count is above 1: 0 decide by identity, 1 this is the
    // counted name, 2 a further name of a file counted elsewhere.
    uint8_t linkRole = 0;
};

class RawIndex {
public:
    virtual ~RawIndex() = default;

    // Names the file-system kind for the note ("NTFS", "Btrfs", "ext4").
    virtual const char* fsName() const = 0;
    // Id of the volume's root folder.
    virtual uint64_t rootId() const = 0;
    // Reads all metadata into memory, reporting a fraction 0..1 through `progress` (may be empty).
    // False on failure with a text in `error`, or with `error` empty after a cancel. A cancelled
    // load may instead return true with isPartial() set and the part read so far kept.
    // `cancel` and `error` may be null.
    [[nodiscard]] virtual bool load(const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                                    std::string* error) = 0;
    // Fills `out` and returns true when `id` names an entry of the index.
    virtual bool stat(uint64_t id, RawStat* out) const = 0;
    // Empties `out`, then appends one record per entry of folder `id`; true when `id` is a
    // folder of the index (also an empty one). Lists may contain "." and "..".
    virtual bool children(uint64_t id, std::vector<RawChild>* out) const = 0;
    // Files and folders read so far (in total after the load).
    virtual uint64_t entriesRead() const = 0;
    // The load stopped at the cancel flag and kept what it had read.
    virtual bool isPartial() const = 0;
    // True when `id` stands for another file-system tree (a Btrfs subvolume) not held here.
    virtual bool isSubvolumeLink(uint64_t id) const = 0;
    // Folders among the entries read so far.
    virtual uint64_t foldersRead() const = 0;
    // Bytes of metadata read from the device so far.
    virtual uint64_t bytesRead() const = 0;
};

// Reads the volume under scan root `path` (device `dev` as the scan saw it) from its metadata
// when the folder is the top of a whole readable volume. Returns the loaded index, or null when
// the folder is to be walked instead. `note` receives the result line or the refusal reason;
// `needsAdmin` tells that reading would take administrator rights; `cancelled` that the load
// stopped at the cancel flag without keeping anything. The load covers `weight` of the
// progress fraction; `rotationalMode` is the scan option (>= 1 yes, 0 no, negative detect).
// `progress` may be null. Counters of `progress` are restored when no index comes back. The
// volume is flushed first (flushVolume); its time counts as loading time.
[[nodiscard]] std::unique_ptr<RawIndex> loadRawIndex(const std::string& path, unsigned long dev,
                                                     ScanProgress* progress, std::string& note, bool& cancelled,
                                                     bool& needsAdmin, double weight, int rotationalMode);

// Writes out what the kernel still holds in memory for the file system of folder `path`
// (syncfs), so that a reader of the device or of the committed Btrfs trees sees files written
// just before. Blocks until done; loadRawIndex calls it before it reads anything. Returns 0, or
// -errno when the folder can't be opened or the flush fails.
[[nodiscard]] int flushVolume(const std::string& path);

// Opens (does not load) the reader that fits the block device or image at `devicePath`, chosen
// by its first bytes: NTFS or ext2/3/4. Null with a text in `*error` (when not null) otherwise.
[[nodiscard]] std::unique_ptr<RawIndex> openRawIndex(const std::string& devicePath, std::string* error);

}  // namespace svl
