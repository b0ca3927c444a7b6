// CSV/TSV export of a scan tree: the whole tree, parts of it or a list of nodes, one row
// per node in depth-first order with siblings sorted, in the exchange format of CsvFormat.h.
// Threads: runs on the caller's thread; sorting and row building use parallelFor workers,
// all joined before it returns. The tree is only read and must not change meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace svl {

class ScanTree;

struct CsvExportOptions {
    bool exportFiles = true;
    bool exportFolders = true;
    bool exportFileId = false;           // FILEID, PARENTFILEID (read live with statx)
    bool exportDates = false;            // LASTACCESSDATE, CREATEDDATE (read live with statx)
    bool exportFolderSizes = false;      // FOLDERSIZE, FOLDERALLOCATED
    bool splitFileName = false;          // ROOT, FOLDERNAME, FILENAME, FILEEXT
    bool exportDriveCapacity = true;     // DRIVECAPACITY, FREESPACE, USEDSPACE, RESERVEDSPACE
    bool exportPercentOfParent = false;  // PERCENTOFPARENT
    int32_t maxDepth = 0;                // deepest level written; 0 or less: all
    bool tabSeparated = false;
    bool utcTimes = false;
    bool folderNewestModified = false;  // a folder's Modified is the newest time below it
    int32_t sortBy = 0;                 // 0 name, 1 size, 2 allocated, 3 modified; others act as 0
};

// The header line (without its line feed) for these options.
[[nodiscard]] std::string csvHeaderLine(const CsvExportOptions& options, bool withBindMounts);

// Writes the rows of `ids` and, unless `listedOnly`, of everything below them to `path`
// (created or emptied). The roots the scan could not reach (ScanTree::unreachedRoots) are
// left out, as the run that names them on standard error leaves them out. `driveCapacity` 0 leaves the drive columns empty. Returns true when
// the whole file was written and closed; otherwise assigns one of the fixed English messages
// to *error (when not null) and may leave a partly written file. A file that could not be
// created or written gets its message, a line feed and the system's text for the cause.
// Throws std::bad_alloc when the working arrays cannot be allocated.
[[nodiscard]] bool exportCsv(const ScanTree& tree, const std::vector<uint32_t>& ids, bool listedOnly,
                             const CsvExportOptions& options, uint64_t driveCapacity, uint64_t driveFree,
                             const std::string& path, std::string* error);

}  // namespace svl
