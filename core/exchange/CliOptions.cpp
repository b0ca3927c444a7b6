#include "core/exchange/CliOptions.h"

#include <cstdlib>
#include <cstring>

namespace svl {

namespace {

bool switchValue(const char* value) {
    std::string upper(value);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return upper == "1" || upper == "TRUE";
}

void readSwitch(const std::vector<std::string>& args, const char* key, bool& field) {
    if (const char* value = findCliValue(args, key))
        field = switchValue(value);
}

void readNumber(const std::vector<std::string>& args, const char* key, int32_t& field) {
    const char* value = findCliValue(args, key);
    if (!value)
        return;
    char* end = nullptr;
    const long number = std::strtol(value, &end, 10);
    // At least one digit read and nothing after the number; the low 32 bits are kept.
    if (end == value || *end != '\0')
        return;
    field = int32_t(uint32_t(static_cast<unsigned long>(number)));
}

void readText(const std::vector<std::string>& args, const char* key, std::string& field) {
    if (const char* value = findCliValue(args, key))
        field = value;
}

}  // namespace

const char* findCliValue(const std::vector<std::string>& args, const char* key) {
    thread_local std::string value;
    const std::string prefix = std::string("--") + key + "=";
    for (const std::string& arg : args) {
        if (arg.size() >= prefix.size() && arg.compare(0, prefix.size(), prefix) == 0) {
            value = arg.substr(prefix.size());
            return value.c_str();
        }
    }
    return nullptr;
}

std::string convertFilterQuotes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\'') {
            out += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '\'') {
            out += '\'';
            ++i;
        } else {
            out += '"';
        }
    }
    return out;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty())
        return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::string tightenFilterBars(const std::string& text) {
    std::string out = text;
    replaceAll(out, " | ", "|");
    replaceAll(out, " |", "|");
    replaceAll(out, "| ", "|");
    return out;
}

std::string stampFileName(const std::string& name, time_t when) {
    struct tm parts = {};
    localtime_r(&when, &parts);
    char date[16] = {};
    char clock[16] = {};
    std::strftime(date, sizeof date, "%Y%m%d", &parts);
    std::strftime(clock, sizeof clock, "%H%M%S", &parts);
    std::string out = name;
    replaceAll(out, "%d", date);
    replaceAll(out, "%t", clock);
    return out;
}

CliOptions parseCliOptions(const std::vector<std::string>& args) {
    CliOptions o;
    readText(args, "export", o.exportPath);
    readText(args, "exportfiletypes", o.exportFileTypes);
    readText(args, "treemapimagefile", o.treemapImageFile);
    if (const char* value = findCliValue(args, "filter"))
        o.filter = tightenFilterBars(convertFilterQuotes(value));
    if (const char* value = findCliValue(args, "filterexclude"))
        o.filterExclude = tightenFilterBars(convertFilterQuotes(value));
    readSwitch(args, "filterfullpath", o.filterFullPath);
    readSwitch(args, "exportfolders", o.exportFolders);
    readSwitch(args, "exportfiles", o.exportFiles);
    readNumber(args, "sortby", o.sortBy);
    readNumber(args, "sortbyfiletypes", o.sortByFileTypes);
    readSwitch(args, "exportalldates", o.exportAllDates);
    readSwitch(args, "exportallsizes", o.exportAllSizes);
    readSwitch(args, "exportsplitfilename", o.exportSplitFileName);
    readSwitch(args, "exportdrivecapacity", o.exportDriveCapacity);
    readSwitch(args, "exportpercentofparent", o.exportPercentOfParent);
    readNumber(args, "exportmaxdepth", o.exportMaxDepth);
    readSwitch(args, "exportutctime", o.exportUtcTime);
    readNumber(args, "treemapimagewidth", o.treemapImageWidth);
    readNumber(args, "treemapimageheight", o.treemapImageHeight);
    readSwitch(args, "treemapimagegray", o.treemapImageGray);
    readSwitch(args, "treemapimagefreespace", o.treemapImageFreeSpace);
    readSwitch(args, "treemapimageshowallocated", o.treemapImageShowAllocated);
    for (const std::string& arg : args)
        if (!arg.empty() && arg[0] != '-')
            o.inputPaths.push_back(arg);
    return o;
}

CsvExportOptions csvOptionsFromCli(const CliOptions& options) {
    CsvExportOptions o;
    o.exportFiles = options.exportFiles;
    o.exportFolders = options.exportFolders;
    o.exportFileId = false;
    o.exportDates = options.exportAllDates;
    o.exportFolderSizes = options.exportAllSizes;
    o.splitFileName = options.exportSplitFileName;
    o.exportDriveCapacity = options.exportDriveCapacity;
    o.exportPercentOfParent = options.exportPercentOfParent;
    o.maxDepth = options.exportMaxDepth;
    const std::string& path = options.exportPath;
    o.tabSeparated = path.size() >= 4 && (path.compare(path.size() - 4, 4, ".tsv") == 0 ||
                                          path.compare(path.size() - 4, 4, ".TSV") == 0);
    o.utcTimes = options.exportUtcTime;
    o.folderNewestModified = false;
    o.sortBy = (options.sortBy >= 1 && options.sortBy <= 3) ? options.sortBy : 0;
    return o;
}

}  // namespace svl
