// Readers of NTFS on-disk structures: little-endian fields, the update sequence of an MFT
// record, the attribute walk of a record, data-run lists and UTF-16 names. Every reader takes
// a pointer and a limit (or a size) and reads only bytes in [p, limit); damage shows in its
// result, never as a read past the limit.
//
// Threads: pure functions and small cursor objects without shared state; safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace svl {

constexpr uint32_t kNtfsRecordMagic = 0x454C4946;  // "FILE"
constexpr uint32_t kNtfsAttributeEnd = 0xFFFFFFFF;

namespace NtfsAttributeType {
constexpr uint32_t StandardInformation = 0x10;
constexpr uint32_t FileName = 0x30;
constexpr uint32_t Data = 0x80;
constexpr uint32_t IndexAllocation = 0xA0;
constexpr uint32_t ReparsePoint = 0xC0;
}  // namespace NtfsAttributeType

namespace NtfsReparseTag {
constexpr uint32_t Symlink = 0xA000000C;
constexpr uint32_t MountPoint = 0xA0000003;
}  // namespace NtfsReparseTag

// Little-endian fields at p; the caller has checked that the bytes lie inside its buffer.
inline uint16_t ntfsLe16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t ntfsLe32(const uint8_t* p) { return uint32_t(ntfsLe16(p)) | (uint32_t(ntfsLe16(p + 2)) << 16); }
inline uint64_t ntfsLe64(const uint8_t* p) { return uint64_t(ntfsLe32(p)) | (uint64_t(ntfsLe32(p + 4)) << 32); }
inline void ntfsPut16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Checks and undoes the update sequence of the record in [record, record + size) in place.
// Strict (volume records): every sector's last word must hold the sequence number. Lenient
// (dump records): the saved words are put back without checking. False when the array does not
// fit the record, or in strict mode on a mismatch; an array of 0 entries passes only leniently.
[[nodiscard]] bool applyUpdateSequence(uint8_t* record, size_t size, bool lenient);

// One data run: `start` is the first cluster, -1 for a sparse run.
struct NtfsRun {
    int64_t start = 0;
    uint64_t count = 0;
};

// Walks a data-run list in [p, limit). Starts are decoded as signed deltas from the previous
// run's start; a run without delta bytes is sparse.
class NtfsRunReader {
public:
    enum class Step { Run, End, Bad };

    NtfsRunReader(const uint8_t* p, const uint8_t* limit) : m_p(p), m_limit(limit) {}
    // Run: `run` holds the next run. End: a 0 header byte or the limit was reached. Bad: a
    // header with a length count outside 1..8 or a delta count above 8, or a run that would
    // reach past the limit.
    Step next(NtfsRun* run);

private:
    const uint8_t* m_p;
    const uint8_t* m_limit;
    int64_t m_start = 0;
};

// One attribute found by NtfsAttributeWalker. Resident value and non-resident fields are
// read through the helpers below, which check the attribute's own length.
struct NtfsAttribute {
    const uint8_t* p = nullptr;  // first byte of the header
    uint32_t type = 0;
    uint32_t length = 0;  // at least 16, a multiple of 8, inside the record's bytes in use
    bool nonResident = false;
    uint8_t nameLength = 0;
    uint16_t flags = 0;  // 0x0001 compressed, 0x8000 sparse

    // Resident value in [value, value + valueLength); false when it would end past the attribute.
    bool residentValue(const uint8_t** value, uint32_t* valueLength) const;
    // Non-resident header fields; valid only when nonResident and length >= 64.
    uint64_t firstVcn() const { return ntfsLe64(p + 16); }
    uint64_t lastVcn() const { return ntfsLe64(p + 24); }
    uint16_t runListOffset() const { return ntfsLe16(p + 32); }
    uint16_t compressionUnit() const { return ntfsLe16(p + 34); }
    uint64_t allocatedSize() const { return ntfsLe64(p + 40); }
    uint64_t dataSize() const { return ntfsLe64(p + 48); }
    uint64_t initializedSize() const { return ntfsLe64(p + 56); }
    // The total-allocated field; valid only when length >= 72.
    uint64_t totalAllocated() const { return ntfsLe64(p + 64); }
};

// Walks the attributes of the MFT record in [record, record + size), using the record's bytes
// in use capped at `size`. Stops when fewer than 16 bytes remain, at the end marker, at a length
// below 16 or not a multiple of 8, or at an attribute that would end past the bytes in use.
class NtfsAttributeWalker {
public:
    NtfsAttributeWalker(const uint8_t* record, size_t size);
    bool next(NtfsAttribute* attribute);
    // Bytes in use (capped) and the first attribute's offset, as the walk saw them.
    size_t used() const { return m_used; }
    size_t firstOffset() const { return m_first; }

private:
    const uint8_t* m_record;
    size_t m_used = 0;
    size_t m_first = 0;
    size_t m_offset = 0;
};

// Converts `count` UTF-16LE units starting at `units` (2 * count bytes) to UTF-8 in `out`,
// which must hold 3 * count bytes, or only counts the bytes when `out` is null. Unpaired
// surrogates become U+FFFD. Returns the byte count.
size_t utf16ToUtf8(const uint8_t* units, size_t count, char* out);

}  // namespace svl
