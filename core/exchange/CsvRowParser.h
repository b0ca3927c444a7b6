// Reading the rows of a CSV/TSV export: the header search, the first valid row, the row
// estimate, the chunk boundaries and the parsing of one chunk into row records.
// Every reader takes a byte range [begin, end) of a mapped file (no terminating NUL) and
// reads only inside it. Threads: a CsvChunkParser belongs to one thread; several parse
// chunks of the same file at once, appending names to the tree's pool by atomic bumps.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace svl {

class ScanTree;

// What a column of the file feeds; column 0 is always the path.
enum class CsvColumn : uint8_t { Ignored = 0, Size = 1, Allocated = 2, Modified = 3, Attributes = 4, BindSource = 5 };

struct CsvLayout {
    std::vector<CsvColumn> columns;  // trailing ignored columns cut off
    size_t sizeColumn = 1;
    size_t rowStart = 0;  // offset of the first row in the searched range
    int filesColumn = -1;
    int foldersColumn = -1;
    int capacityColumn = -1;
    int freeColumn = -1;
};

struct CsvFirstRow {
    bool backslash = false;  // "\" separates path parts too (files written on Windows)
    uint64_t declaredFiles = 0;
    uint64_t declaredFolders = 0;
    bool hasDrive = false;
    uint64_t driveCapacity = 0;
    uint64_t driveFree = 0;
};

// Looks at the first five lines for the header; without one, rows start at `begin` and the
// default layout (path, size, allocated, modified, attributes) holds.
[[nodiscard]] CsvLayout findCsvHeader(const char* begin, const char* end, char separator);
// The first line from `begin` with a path and a whole unsigned size; none when no line has.
[[nodiscard]] std::optional<CsvFirstRow> findFirstCsvRow(const char* begin, const char* end, char separator,
                                                         const CsvLayout& layout);
// Rows in [begin, end): counted exactly up to 768 KiB, else estimated from three samples.
[[nodiscard]] uint64_t estimateCsvRows(const char* begin, const char* end);
// Chunk limits (offsets from begin, first 0, last end - begin): about 4 MiB each, every
// inner limit just after a line feed.
[[nodiscard]] std::vector<uint64_t> csvChunkBounds(const char* begin, const char* end);

// One parsed row, in file order.
struct CsvRow {
    uint64_t size;
    uint64_t allocated;
    int64_t modified;
    const char* name;  // in the tree's name pool; null when the path has no separator
    uint16_t nameLength;
    uint16_t flags;  // NodeFlag bits
};

// Where a row's path text lies: in the mapped file or in the chunk's text buffer (then with
// "\" stored as "/" in backslash mode). `length` leaves out a folder's final separator.
struct CsvRowPath {
    uint64_t offset;
    uint32_t length;
    int32_t nameStart;  // -1 when the path has no separator
    bool inBuffer;
};

struct CsvChunk {
    std::vector<CsvRow> rows;
    std::vector<CsvRowPath> paths;
    std::string text;
    std::vector<std::pair<uint32_t, std::string>> bindSources;  // row index, source path
    uint64_t bytes = 0;
    uint64_t fileRows = 0;
    uint64_t folderRows = 0;
    bool outOfMemory = false;  // set instead of throwing across the worker thread

    const char* pathText(const CsvRowPath& p, const char* file) const {
        return p.inBuffer ? text.data() + p.offset : file + p.offset;
    }
};

// Local times by (year, month, day, hour), shared by the parsing threads of one import: the
// C library's conversion reads the zone file and takes a process lock on every call, so each
// distinct hour is converted once per import. Any thread.
class CsvHourCache {
public:
    bool find(uint64_t key, int64_t& time) const;
    void insert(uint64_t key, int64_t time);

private:
    mutable std::mutex m_mutex;
    std::unordered_map<uint64_t, int64_t> m_times;
};

class CsvChunkParser {
public:
    // `hours` is shared with the other parsers of the import and may be null.
    CsvChunkParser(ScanTree& tree, const CsvLayout& layout, char separator, bool backslash,
                   const std::atomic<bool>* cancel, CsvHourCache* hours);

    // Parses [begin, end) of `file` into `out`; rows that cannot be read are skipped.
    // Stops early, keeping what it read, when the cancel flag is seen set (checked every
    // 16384 lines). Throws std::bad_alloc when the name pool or memory runs out.
    void parse(const char* file, uint64_t begin, uint64_t end, CsvChunk& out, uint64_t expectedRows);

private:
    const char* storeName(const char* name, size_t length, uint16_t& storedLength);
    bool parseLine(const char* file, const char* line, const char* lineEnd, CsvChunk& out);
    int64_t parseTime(const char* begin, const char* end);

    ScanTree& m_tree;
    const CsvLayout& m_layout;
    char m_separator;
    bool m_backslash;
    const std::atomic<bool>* m_cancel;
    // The hours this parser met, before the shared cache is asked.
    std::unordered_map<uint64_t, int64_t> m_hours;
    CsvHourCache* m_sharedHours;
    // Names are placed in blocks claimed from the pool, so that parsing threads do not
    // contend for the pool's counter on every row.
    char* m_nameBlock = nullptr;
    size_t m_nameBlockLeft = 0;
    std::string m_field;
};

// Appends up to 65535 bytes of `name` and a NUL to the tree's name pool; returns where.
// Throws std::bad_alloc when the pool is full.
const char* appendCsvName(ScanTree& tree, const char* name, size_t length, uint16_t& storedLength);

// Whether a path (after a folder's final separator is dropped) may name a node: no NUL, and
// after the leading separator (two for a share) no empty, "." or ".." part. The empty path
// is the "/" row.
[[nodiscard]] bool isAcceptableCsvPath(const char* path, size_t length, bool backslash);

}  // namespace svl
