// MFT dump files: the master file table of an NTFS volume copied into a file of its own, followed
// by a volume-data trailer ("VOLDATA" and 96 bytes, or "VOLDATA2", 96 bytes and a drive letter).
// dumpMft writes one from a volume; loadMftFile loads one into a scan tree on any machine,
// without the volume.
//
// Threads: both run on the caller's worker thread. The cancel flag and the ScanProgress record
// may be touched by other threads at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace svl {

class ScanTree;
struct ScanOptions;
struct ScanProgress;

// Outcome of dumpMft.
struct MftDumpResult {
    bool done = false;       // the dump file was written
    bool cancelled = false;  // stopped at the cancel flag; no file was left
    uint64_t bytesWritten = 0;  // size of the dump file: MFT bytes + 103
    std::string error;          // empty unless a failure
};

// What a dump's trailer says about its volume; all zero without a trailer.
struct MftFileInfo {
    bool hasVolumeData = false;
    char driveLetter = 0;
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
};

// A dump's file when the caller places it: `open` creates the file the dump is written into
// and returns a descriptor open for writing (the dump closes it), or -1 with the reason;
// `place` puts the complete, closed file at its name, or returns false with the reason;
// `discard` removes it after a failure or a cancel. Called on the dump's thread.
struct MftDumpOutput {
    std::function<int(std::string* error)> open;
    std::function<bool(std::string* error)> place;
    std::function<void()> discard;
};

// A new file (never an existing one, never through a symbolic link) with `mode` less the umask.
int createDumpFile(const std::string& path, unsigned mode, std::string* error);

// Writes the MFT of the NTFS volume at `volumePath` (a block device) into `dumpPath`.
// `freeBytes` only feeds the trailer. Without `output` the dump is written under the
// temporary name ".zrt-<pid>" beside `dumpPath` (createDumpFile, mode 0666) and renamed to
// `dumpPath` at the end; with it, `output` makes and places the file and `dumpPath` only names
// it in messages. A failed or cancelled dump leaves no file at `dumpPath` (an earlier file there
// is kept); a dump file given as the volume is refused before anything is created. `cancel`
// may be null, `progress` empty.
[[nodiscard]] MftDumpResult dumpMft(const std::string& volumePath, const std::string& dumpPath, uint64_t freeBytes,
                                    const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                                    const MftDumpOutput* output = nullptr);

// Loads the MFT dump at `path` into a new tree whose root is named after the file (without its
// extension) or after the trailer's drive letter ("C:"). Never null: a dump that can't be loaded,
// or that is read whole without a root folder record, gives a tree without nodes and the reason
// in `*error`; a hostile dump gives an error text or a
// partial tree, running out of memory included ("Out of memory."). Each folder record is entered
// once, so a folder named again inside its own subtree appears there as an empty folder. Of
// `options` only the exclusion filter is used. `progress`, `info` and `error` may be null.
// Throws std::bad_alloc only when the tree's own reservations can't be made.
[[nodiscard]] std::unique_ptr<ScanTree> loadMftFile(const std::string& path, const ScanOptions& options,
                                                    ScanProgress* progress, MftFileInfo* info, std::string* error);

}  // namespace svl
