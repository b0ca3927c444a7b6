// The raw index of an NTFS volume: reads the master file table straight from the block device
// (or from an MFT dump file) and keeps one small entry per record and one per file name, so that
// `stat` and `children` answer from memory. Ids are MFT record numbers; the root is record 5.
//
// Threads: `open`, `load` and `writeDump` run on the caller's thread. After `load` the index is
// read-only and `stat`, `children`, `attributes` and the counters may be called from any thread.
#pragma once

#include "core/rawindex/RawIndex.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace svl {

struct MftDumpOutput;

// The NTFS attribute bits and reparse tag of one entry.
struct NtfsEntryAttributes {
    uint32_t attributes = 0;
    uint32_t reparseTag = 0;
};

// What a dump file's trailer said; all zero for a volume.
struct NtfsVolumeInfo {
    bool isDump = false;
    bool hasVolumeData = false;  // the dump has a trailer
    char driveLetter = 0;
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
    uint64_t serialNumber = 0;
    uint32_t clusterSize = 0;
    uint32_t recordSize = 0;
};

class NtfsIndex final : public RawIndex {
public:
    struct State;

    // Opens a block device (or volume image) or an MFT dump file; nothing is read beyond the
    // boot sector and the MFT's first record (for a dump: its first bytes and trailer). Null with
    // the reason in `*error` (when not null) on failure.
    [[nodiscard]] static std::unique_ptr<NtfsIndex> open(const std::string& path, std::string* error);

    ~NtfsIndex() override;
    NtfsIndex(const NtfsIndex&) = delete;
    NtfsIndex& operator=(const NtfsIndex&) = delete;

    const char* fsName() const override { return "NTFS"; }
    uint64_t rootId() const override { return 5; }
    // Reads every MFT record in device order. Allocation failures come back as "Out of memory.".
    [[nodiscard]] bool load(const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                            std::string* error) override;
    bool stat(uint64_t id, RawStat* out) const override;
    bool children(uint64_t id, std::vector<RawChild>* out) const override;
    uint64_t entriesRead() const override;
    bool isPartial() const override;
    bool isSubvolumeLink(uint64_t) const override { return false; }
    uint64_t foldersRead() const override;
    uint64_t bytesRead() const override;

    // False when `id` is no in-use entry; else its attribute bits and reparse tag.
    bool attributes(uint64_t id, NtfsEntryAttributes* out) const;
    NtfsVolumeInfo volumeInfo() const;
    // Data size of the MFT (for a dump: the whole records before the trailer).
    uint64_t mftBytes() const;

    // Copies the MFT of a volume into `dumpPath` followed by the volume-data trailer ("VOLDATA",
    // or "VOLDATA2" and the letter when `driveLetter` is not 0). True when the file is complete;
    // false with a text, or with an empty text when cancelled. The file is written under a
    // temporary name beside `dumpPath` and renamed at the end, so a failed or cancelled dump
    // leaves neither a partial file nor a damaged earlier one. Refuses an index opened from a
    // dump before creating anything. `output` makes and places the file (see svl::dumpMft).
    // `cancel`, `error` and `output` may be null; `progress` may be empty.
    [[nodiscard]] bool writeDump(const std::string& dumpPath, uint64_t freeBytes, char driveLetter,
                                 const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                                 std::string* error, const MftDumpOutput* output = nullptr);

private:
    explicit NtfsIndex(std::unique_ptr<State> state);
    // Reads a dump's trailer and sets its geometry (the first 512 bytes are already read).
    [[nodiscard]] static bool openDump(State& s, const std::string& path, const uint8_t* first, std::string* error);
    [[nodiscard]] bool readAll(const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                               std::string* error);
    void parseRecord(uint8_t* record, uint32_t number);
    void finishNames();

    std::unique_ptr<State> m_state;
};

}  // namespace svl
