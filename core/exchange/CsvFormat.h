// The CSV/TSV exchange format shared by the writer and the reader: column names, the
// separator choice, quoting, date texts and the split-name parts of a row.
// A file holds a header line and one row per node; paths are written as the tree holds
// their bytes. Threads: pure functions; call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace svl {

// The column names in header order; the optional groups follow the seven fixed columns.
inline constexpr const char* kCsvFixedColumns[] = {"File Name", "Size", "Allocated", "Modified",
                                                   "Attributes", "Files", "Folders"};

// Tab for a file name ending in ".tsv" in any letter case, else comma.
[[nodiscard]] char csvSeparatorForPath(std::string_view path);

// Appends `text` between double quotes, every double quote inside doubled.
void appendCsvQuoted(std::string& out, std::string_view text);

// Appends an unsigned decimal without grouping.
void appendCsvNumber(std::string& out, uint64_t value);

// Civil date (proleptic Gregorian) of a day count from 1970-01-01.
struct CivilDate {
    int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};
[[nodiscard]] CivilDate civilFromDays(int64_t days);

// Appends "%04d/%02d/%02d %02d:%02d:%02d" of `seconds` read as a UTC wall-clock time
// (a local time already shifted by its offset works the same way). Years outside
// 0..9999 print with as many digits as they need.
void appendCsvDate(std::string& out, int64_t seconds);

// The name split as the split-name columns show it: the part before the last ".", and
// the part after it with ASCII A-Z lower-cased.
[[nodiscard]] std::string_view csvFileNamePart(std::string_view name);
void appendCsvFileExtension(std::string& out, std::string_view name);
// The folder part of a row's path (without a folder row's own trailing "/"): up to the
// last "/", "/" when that is the first byte, empty without a "/".
[[nodiscard]] std::string_view csvFolderPart(std::string_view path);

}  // namespace svl
