// Remote sources: the interfaces through which the scanner reads a mounted SMB share
// directly from its server instead of through the mount, and scanRemoteInto, which turns
// one remote walk into nodes of a scan tree below a given folder node.
//
// Threads: a RemoteProvider is called on scan threads (findSmbMount, open); open may block
// while it asks the user on the GUI thread. RemoteSource::walk calls its visitor from one
// thread at a time; scanRemoteInto runs on the thread that calls it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace svl {

class ScanTree;
struct ScanOptions;
struct ScanProgress;

// One SMB share mounted on this machine, and the folder inside it behind a local path.
struct SmbMountInfo {
    std::string server;
    std::string address;     // empty when the mount names none
    std::string share;
    std::string path;        // inside the share, no leading or trailing "/", "" for the root
    std::string mountPoint;  // local folder where the share is mounted
    std::string user;
    std::string domain;

    bool operator==(const SmbMountInfo&) const = default;
};

// One entry of a listed remote folder; valid only during the visitor call receiving it.
struct RemoteEntry {
    const char* name = nullptr;  // NUL-terminated UTF-8, never "." or ".."
    bool isDir = false;
    bool isLink = false;
    uint32_t attributes = 0;  // Windows-style bits: 0x1 R, 0x2 H, 0x4 S, 0x20 A, 0x40 D, 0x800 compressed
    uint64_t size = 0;
    uint64_t allocated = 0;
    double mtime = 0;  // seconds since 1970-01-01 UTC
};

// Called once per listed folder: (folder path, entries, count, descend flags, error).
// The descend flags (one per entry, preset non-zero for folders) may be cleared by the
// visitor; the source lists only folders whose flag is still set, at folder + "/" + name
// (the bare name under an empty folder path). A folder that cannot be listed comes with
// no entries and a positive errno-style code.
using RemoteVisitor =
    std::function<void(const std::string& folder, const RemoteEntry* entries, int count,
                       unsigned char* descend, int error)>;

// Walks a remote folder tree. Owned by the scan driver, destroyed right after the walk.
class RemoteSource {
public:
    virtual ~RemoteSource() = default;
    // Lists `start` (a path inside the share, no leading or trailing "/") and the folders
    // below it. Returns a negative value with a reason in `error` when the walk could not
    // be carried out at all; zero or more otherwise, also after a cancel. Exceptions thrown
    // by the visitor leave walk.
    virtual int walk(const std::string& start, const RemoteVisitor& visitor,
                     const std::function<bool()>& cancelled, std::string& error) = 0;
    // Entries the walks so far left out as unusable (a name no folder may hold); the scan
    // counts them as errors.
    virtual unsigned long droppedEntries() const { return 0; }
};

// Recognises folders on mounted SMB shares and opens sources for them. Owned by the
// caller of the scan; ScanOptions holds a non-owning pointer.
class RemoteProvider {
public:
    virtual ~RemoteProvider() = default;
    // Takes a canonical absolute path; describes the SMB share it lies on, if any. The
    // default reads the mount table afresh: a cifs or smb3 mount covering the path, else a
    // gvfs share folder on a gvfs mount. Reports no error besides std::bad_alloc.
    virtual std::optional<SmbMountInfo> findSmbMount(const std::string& path);
    // A source reading that share directly, or null when the share is to be read through
    // its local mount. May block for a long time (asks for a login).
    virtual std::unique_ptr<RemoteSource> open(const SmbMountInfo& mount) = 0;
};

// Reads the remote walk of `start` into `tree` below the existing folder node `parentId`,
// with the walker's node layout, flags, counters and scan-time exclusion (options.exclude).
// `localPath` is the folder's path as the user gave it (used for the exclusion filter's
// folder paths). `weight` is this walk's share of progress->fraction. Folders that cannot
// be listed are flagged on their nodes and counted in `errorCounter`. Returns what walk
// returned (negative: nothing usable was read, scan locally instead). Throws std::bad_alloc
// when the tree's reservations are full; what was built stays in the tree.
[[nodiscard]] int scanRemoteInto(ScanTree& tree, uint32_t parentId, const std::string& localPath,
                                 const std::string& start, RemoteSource& source, const ScanOptions& options,
                                 ScanProgress* progress, double weight,
                                 std::atomic<unsigned long>& errorCounter);

}  // namespace svl
