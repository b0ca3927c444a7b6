// The two scan entry points: scanSingle reads one path, scanMultiple several paths under
// the virtual root "Select Multiple". Each decides per root between a remote source, a raw
// index and the parallel folder walk, runs it and fills the tree's figures.
//
// Threads: both run on the caller's thread (a job thread) and start their own workers,
// all joined before they return. ScanProgress is shared: the scan writes it from any of
// its threads, the caller polls it at any time and may set `cancel` at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace svl {

class Filter;
class RemoteProvider;
class ScanTree;

// How folders are listed and their entries examined.
enum class ReadMethod : uint32_t {
    Readdir = 0,          // fdopendir + readdir, one statx per entry
    Getdents = 1,         // getdents64 into a 256 KiB buffer, one statx per entry
    GetdentsIoUring = 2,  // getdents64, entries examined in batches through io_uring
};

// What a scan may do. Plain value; the pointers are not owned and must outlive the scan.
struct ScanOptions {
    uint32_t readMethod = uint32_t(ReadMethod::Getdents);  // a ReadMethod value
    int32_t threads = 0;         // walker threads; 0 or negative chooses automatically
    int32_t rotational = -1;     // spinning disk: >= 1 yes, 0 no, negative detect
    int32_t allowRaw = 0;        // non-zero: a local volume may be read from its metadata
    bool oneFileSystem = false;  // do not enter folders on another file system
    bool detectBindMounts = false;  // mark bind-mount targets counted elsewhere (resolves real paths)
    const Filter* exclude = nullptr;     // scan-time exclusion filter; an entry it matches is left out
    RemoteProvider* provider = nullptr;  // finds SMB mounts and opens remote sources; may be null
    // The roots whose bind mounts count for this walk (a rescan of one folder of an earlier
    // scan passes that scan's roots, so it sees the same bind targets); null: the scanned paths.
    const std::vector<std::string>* boundaryRoots = nullptr;
    // The processor count the automatic choices use; 0 asks std::thread::hardware_concurrency().
    // Tests set it to make the automatic thread counts reproducible.
    uint32_t hardwareThreads = 0;
};

// Progress and cancel of one scan or import, shared between the scanning threads and the
// polling thread. The counters only grow during a scan; `fraction` runs from 0 to 1 and is
// exactly 1 after a complete scan.
struct ScanProgress {
    std::atomic<uint64_t> files{0};           // non-folder entries met (files, links, unreadable entries)
    std::atomic<uint64_t> folders{0};         // folders met
    std::atomic<uint64_t> allocatedBytes{0};  // allocated bytes met
    std::atomic<uint64_t> errorCount{0};      // entries that could not be read
    std::atomic<bool> cancel{false};          // set by the caller to stop
    std::atomic<double> fraction{0.0};        // share of the work done, 0 to 1
    double reachedFraction = 0;  // the value `fraction` had when a complete scan set it to 1
    int32_t phase = 0;           // 0 scanning; the CSV import uses 1 (building tree) and 2 (totalling)
    int32_t percent = 0;         // percentage shown with the import phase

    // Adds `share` to `fraction` by compare-and-swap; safe from any thread.
    void addFraction(double share) {
        double old = fraction.load();
        while (!fraction.compare_exchange_weak(old, old + share)) {
        }
    }
    // Zeroes every field (the caller does this before starting a new scan).
    void reset() {
        files = 0;
        folders = 0;
        allocatedBytes = 0;
        errorCount = 0;
        cancel = false;
        fraction = 0.0;
        reachedFraction = 0;
        phase = 0;
        percent = 0;
    }
};

// Scans one path (a folder, a file, or a symbolic link to a folder, which is followed at the
// root only). The root is examined first within the answer limit of its mount (RootProbe).
// Always returns a tree: a path that is missing or does not answer gives a tree with no nodes,
// errors 1 and the reason in unreachedRoots; a folder the user may not list gives its root
// alone, flagged denied (and listed in unreachedRoots). Every other failure but a full
// reservation is recorded in the tree (errors, incomplete, node flags). Throws std::bad_alloc
// when the tree's reservations cannot be made or the root does not fit. `progress` may be null.
[[nodiscard]] std::unique_ptr<ScanTree> scanSingle(const std::string& path, const ScanOptions& options,
                                                   ScanProgress* progress);

// Scans several paths into one tree under the virtual root "Select Multiple" (VirtualRoot |
// Folder), one child per path in the given order, named by the path as given. An empty list
// gives a tree with no nodes. The roots are examined first, all at once, each within the
// answer limit of its mount; one that cannot be reached is a Folder | Unreadable child (with
// AccessDenied when denied) counted in errors and listed with its reason in unreachedRoots.
// Other failures as for scanSingle.
[[nodiscard]] std::unique_ptr<ScanTree> scanMultiple(const std::vector<std::string>& paths,
                                                     const ScanOptions& options, ScanProgress* progress);

}  // namespace svl
