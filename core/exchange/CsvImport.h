// CSV/TSV import: reads a file written by the export (or on Windows, with backslash paths)
// and builds a scan tree from its rows without scanning again. Rows are parsed in chunks
// on worker threads and merged in file order on the calling thread.
// Threads: runs on the caller's (job) thread; its workers are joined before it returns.
// The progress record may be polled, and its cancel flag set, from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace svl {

class ScanTree;
struct ScanProgress;

struct CsvImportResult {
    std::unique_ptr<ScanTree> tree;  // null after an error or a declined question; no nodes after a cancel
    bool hasDriveInfo = false;       // the first row carried a drive capacity and free space
    uint64_t driveCapacity = 0;
    uint64_t driveFree = 0;
    std::string error;  // one of the fixed English messages; empty on success, cancel and decline
    bool declined = false;
    uint64_t memoryNeeded = 0;     // on a memory shortfall: the estimated bytes
    uint64_t memoryAvailable = 0;  // on a memory shortfall: RAM plus swap
};

// Bytes of memory the import plans with per row.
inline constexpr uint64_t kCsvImportBytesPerRow = 88;

// Reads `path` into a new tree. `progress` may be null. `memoryQuestion` may be empty; it is
// asked (bytes needed, bytes of RAM available) when the file needs more than the free RAM
// but fits with swap, and the import goes on only when it answers true.
// Every failure, running out of memory included, comes back as `error`; nothing is thrown.
[[nodiscard]] CsvImportResult importCsv(const std::string& path, ScanProgress* progress,
                                        const std::function<bool(unsigned long, unsigned long)>& memoryQuestion);

}  // namespace svl
