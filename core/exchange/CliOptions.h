// The command-line keys of the windowless run ("--key=value"), the input paths, and the
// small text helpers beside them: key lookup, filter-text normalisation, the date and
// time stamps of output names, and the mapping onto the CSV export options.
// Threads: pure functions (findCliValue keeps its result in thread-local storage).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "core/exchange/CsvExport.h"

namespace svl {

struct CliOptions {
    std::string exportPath;           // --export: CSV or TSV target; "%d"/"%t" stamped
    std::string exportFileTypes;      // --exportfiletypes: file-types CSV target
    std::string treemapImageFile;     // --treemapimagefile: PNG target
    std::string filter;               // --filter: include filter, normalised
    std::string filterExclude;        // --filterexclude: exclude filter, normalised
    bool filterFullPath = true;       // --filterfullpath
    bool exportFolders = true;        // --exportfolders
    bool exportFiles = true;          // --exportfiles
    int32_t sortBy = 0;               // --sortby: 1 size, 2 allocated, 3 modified, else name
    int32_t sortByFileTypes = 1;      // --sortbyfiletypes: 1 size, 2 allocated, else extension
    bool exportAllDates = false;      // --exportalldates
    bool exportAllSizes = false;      // --exportallsizes
    bool exportSplitFileName = false; // --exportsplitfilename
    bool exportDriveCapacity = true;  // --exportdrivecapacity
    bool exportPercentOfParent = false;  // --exportpercentofparent
    int32_t exportMaxDepth = 0;          // --exportmaxdepth
    bool exportUtcTime = false;          // --exportutctime
    int32_t treemapImageWidth = 1920;    // --treemapimagewidth
    int32_t treemapImageHeight = 1080;   // --treemapimageheight
    bool treemapImageGray = false;       // --treemapimagegray
    bool treemapImageFreeSpace = false;  // --treemapimagefreespace
    bool treemapImageShowAllocated = false;  // --treemapimageshowallocated
    std::vector<std::string> inputPaths;     // every non-empty argument not starting with "-"

    // The run is windowless when any output is asked for.
    bool isHeadless() const { return !exportPath.empty() || !exportFileTypes.empty() || !treemapImageFile.empty(); }
};

// Fills the record from the arguments after the program path. Never fails: unknown keys
// and malformed values leave the defaults.
[[nodiscard]] CliOptions parseCliOptions(const std::vector<std::string>& args);

// The value of the first argument starting with "--" key "=" (letter case counts), or null.
// The text stays valid until this thread's next call.
[[nodiscard]] const char* findCliValue(const std::vector<std::string>& args, const char* key);

// '' becomes ', any other ' becomes ", so filters can be quoted with single quotes in a shell.
[[nodiscard]] std::string convertFilterQuotes(const std::string& text);
// " | ", " |" and "| " become "|" (three passes in this order).
[[nodiscard]] std::string tightenFilterBars(const std::string& text);
// Replaces every occurrence of a non-empty `from`, resuming after each inserted `to`.
void replaceAll(std::string& text, const std::string& from, const std::string& to);
// "%d" becomes the local date (YYYYMMDD) and "%t" the local time (HHMMSS) of `when`.
[[nodiscard]] std::string stampFileName(const std::string& name, time_t when);
// The export options the keys ask for (folderNewestModified stays off).
[[nodiscard]] CsvExportOptions csvOptionsFromCli(const CliOptions& options);

}  // namespace svl
