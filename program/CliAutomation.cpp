#include "program/CliAutomation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSettings>
#include <QStringList>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <new>
#include <vector>

#include "app/AppSettings.h"
#include "app/PathText.h"
#include "app/QtRegexMatcher.h"
#include "app/QuietStandardError.h"
#include "core/analysis/ExtensionStats.h"
#include "core/analysis/Filter.h"
#include "core/analysis/MatchBitmap.h"
#include "core/exchange/CliOptions.h"
#include "core/exchange/CsvExport.h"
#include "core/exchange/CsvImport.h"
#include "core/rawindex/MftDump.h"
#include "core/scan/MountTable.h"
#include "core/scan/MountWatch.h"
#include "core/scan/RootProbe.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "ui/dialogs/SelectMultipleDialog.h"
#include "ui/header/VolumeProbe.h"
#include "ui/treemap/TreemapImageRender.h"
#include "ui/views/FileTypesCsv.h"

namespace cliautomation {

namespace {

std::string utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

// Whether the file name's text after its last dot is `suffix` (lower case ASCII) in any case.
bool hasSuffix(const std::string& path, std::string_view suffix) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    const std::string_view found = std::string_view(path).substr(dot + 1);
    return found.size() == suffix.size() && std::equal(found.begin(), found.end(), suffix.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

// The absolute form of a path given on the command line, without "." and ".." steps or a
// trailing slash; its bytes are kept as they are.
std::string absolutePath(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error)
        absolute = path;
    std::string clean = absolute.lexically_normal().string();
    while (clean.size() > 1 && clean.back() == '/')
        clean.pop_back();
    return clean;
}

svl::ScanOptions scanOptions(bool allowRaw) {
    svl::ScanOptions options;
    options.readMethod = uint32_t(svl::ReadMethod::Getdents);
    options.threads = 0;
    options.rotational = -1;
    options.allowRaw = allowRaw ? 1 : 0;
    options.oneFileSystem = true;
    options.detectBindMounts = true;
    return options;
}

QSettings* settings() {
    return AppSettings::instance()->settings();
}

// The three ways a run gets its tree; each prints its own failure.
struct Source {
    std::shared_ptr<svl::ScanTree> tree;
    uint64_t capacity = 0;
    uint64_t free = 0;
};

// The words a line about an unreachable root ends with.
std::string reachText(svl::RootReach reach) {
    switch (reach) {
    case svl::RootReach::Missing:
        return "does not exist";
    case svl::RootReach::Denied:
        return "permission denied";
    case svl::RootReach::NoAnswer:
        return "does not answer";
    case svl::RootReach::Reached:
        break;
    }
    return "could not be read";
}

void printUnreached(const std::string& path, svl::RootReach reach) {
    printError("couldn't scan " + path + " - " + reachText(reach) + ".");
}

// False also when a root could not be reached: it is named with its reason in a line of its
// own, and the tree of the others is kept for the outputs (none when no root was read).
bool scanFolders(const std::vector<std::string>& folders, Source& source) {
    try {
        if (folders.size() == 1) {
            const bool raw = settings()->value(QStringLiteral("fastDiskScan"), true).toBool();
            source.tree = svl::scanSingle(folders[0], scanOptions(raw), nullptr);
        } else {
            source.tree = svl::scanMultiple(folders, scanOptions(true), nullptr);
        }
    } catch (const std::bad_alloc&) {
        source.tree.reset();
    }
    if (!source.tree) {
        printError("couldn't scan " + folders[0] + ".");
        return false;
    }
    const std::vector<std::pair<uint32_t, svl::RootReach>> unreached = source.tree->unreachedRoots;
    for (const auto& [id, reach] : unreached)
        printUnreached(folders.size() == 1 ? folders[0] : std::string(source.tree->node(id).nameView()), reach);
    // Folders below the roots that could not be read, by path; the rest is written.
    std::vector<std::string> failed;
    for (const auto& folder : source.tree->failedFolders)
        failed.push_back("couldn't read " + source.tree->fullPath(folder.id) + " - " +
                         (folder.error == svl::kNoAnswerErrno ? std::string("does not answer")
                                                              : std::string(std::strerror(folder.error))) +
                         ".");
    std::sort(failed.begin(), failed.end());
    for (const std::string& line : failed)
        printError(line);
    const size_t roots = folders.size();
    if (source.tree->nodeCount == 0 || unreached.size() == roots) {
        if (unreached.empty())
            printError("couldn't scan " + folders[0] + ".");
        source.tree.reset();  // none of them read: nothing to write
    }
    return unreached.empty() && failed.empty();
}

bool importFile(const std::string& path, Source& source) {
    svl::CsvImportResult result = svl::importCsv(path, nullptr, {});
    if (!result.tree || result.tree->nodeCount == 0) {
        printError("couldn't import " + path + (result.error.empty() ? std::string() : " - " + result.error));
        return false;
    }
    source.tree = std::move(result.tree);
    if (result.hasDriveInfo) {
        source.capacity = result.driveCapacity;
        source.free = result.driveFree;
    }
    return true;
}

bool loadDump(const std::string& path, Source& source) {
    svl::MftFileInfo info;
    std::string error;
    try {
        source.tree = svl::loadMftFile(path, scanOptions(true), nullptr, &info, &error);
    } catch (const std::bad_alloc&) {
        source.tree.reset();
        error = "Out of memory.";
    }
    if (!source.tree || source.tree->nodeCount == 0) {
        printError("couldn't read " + path + (error.empty() ? std::string() : " - " + error));
        return false;
    }
    if (info.hasVolumeData) {
        source.capacity = info.totalBytes;
        source.free = info.freeBytes;
    }
    return true;
}

bool writeExport(const svl::CliOptions& options, const Source& source, time_t started) {
    const QString path = prepareOutputPath(options.exportPath, started);
    svl::CsvExportOptions csv = svl::csvOptionsFromCli(options);
    csv.folderNewestModified = settings()->value(QStringLiteral("showMaxModifiedDate"), true).toBool();
    std::string error;
    bool written = false;
    try {
        written = svl::exportCsv(*source.tree, {0}, false, csv, source.capacity, source.free,
                                 QFile::encodeName(path).toStdString(), &error);
    } catch (const std::bad_alloc&) {
        error = "Out of memory.";
    }
    // One line: the cause that follows the message on a line of its own goes after it.
    std::replace(error.begin(), error.end(), '\n', ' ');
    if (!written)
        printError("couldn't write " + utf8(path) + (error.empty() ? std::string() : " - " + error));
    return written;
}

bool writeFileTypes(const svl::CliOptions& options, const Source& source, time_t started) {
    const QString path = prepareOutputPath(options.exportFileTypes, started);
    bool written = false;
    QString reason;
    try {
        std::vector<svl::ExtensionStat> rows = svl::computeExtensionStats(*source.tree);
        const int32_t order = options.sortByFileTypes;
        std::stable_sort(rows.begin(), rows.end(), [order](const svl::ExtensionStat& a, const svl::ExtensionStat& b) {
            if (order == 1)
                return a.size > b.size;
            if (order == 2)
                return a.allocated > b.allocated;
            return a.extension < b.extension;
        });
        written = FileTypesCsv::writeCsv(rows, order == 2, path, &reason);
    } catch (const std::bad_alloc&) {
        reason = QStringLiteral("Out of memory.");
    }
    if (!written)
        printError("couldn't write " + utf8(path) + (reason.isEmpty() ? std::string() : " - " + utf8(reason)));
    return written;
}

bool writeTreemapImage(const svl::CliOptions& options, const Source& source, time_t started) {
    QString name = QString::fromUtf8(svl::stampFileName(options.treemapImageFile, started));
    const QString suffix = QFileInfo(name).suffix();
    if (suffix.toLower() != QLatin1String("png")) {
        if (!suffix.isEmpty())
            name.chop(suffix.size() + 1);
        name += QLatin1String(".png");
    }
    QDir().mkpath(QFileInfo(name).absolutePath());
    TreemapImageRequest request;
    request.width = std::max(1, options.treemapImageWidth);
    request.height = std::max(1, options.treemapImageHeight);
    request.capacity = source.capacity;
    request.freeBytes = source.free;
    request.allocated = options.treemapImageShowAllocated;
    request.freeSpace = options.treemapImageFreeSpace;
    request.gray = options.treemapImageGray;
    const QImage image = renderTreemapImage(source.tree, request);
    QString reason;
    if (image.isNull() || !saveTreemapPng(image, name, &reason)) {
        printError("couldn't write " + utf8(name) + (reason.isEmpty() ? std::string() : " - " + utf8(reason)));
        return false;
    }
    return true;
}

}  // namespace

void printError(const std::string& message) {
    programErrorLine("Hollowmere: " + message);
}

std::unique_ptr<svl::Filter> makeFilter(std::string_view text, bool fullPath, const svl::RegexFactory& factory) {
    if (text.empty())
        return nullptr;
    auto filter = std::make_unique<svl::Filter>(svl::decodeFilterText(text, fullPath, &factory));
    if (filter->groups.empty())
        return nullptr;
    return filter;
}

QString prepareOutputPath(const std::string& name, time_t when) {
    const QString path = QString::fromUtf8(svl::stampFileName(name, when));
    QDir().mkpath(QFileInfo(path).absolutePath());
    return path;
}

int run(const svl::CliOptions& options) {
    std::vector<std::string> inputs = options.inputPaths;
    std::sort(inputs.begin(), inputs.end());
    std::vector<std::string> folders;
    // Inputs that are not there or cannot be read, with why; those that exist count as
    // folders given to scan, the missing ones only beside a folder.
    std::vector<std::pair<std::string, svl::RootReach>> missing, unreached;
    std::string csvPath, mftPath;
    bool csvGiven = false;
    // Each input is examined within the answer limit of its mount, so a dead mount given
    // here costs its limit, not the run. By the paths' own bytes: a name that is not UTF-8
    // is read like any other.
    std::vector<svl::ProbedRoot> probed = svl::probeRoots(inputs);
    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string& input = inputs[i];
        const svl::ProbedRoot& found = probed[i];
        if (found.reach == svl::RootReach::Missing) {
            missing.emplace_back(absolutePath(input), found.reach);
            continue;
        }
        if (found.reach != svl::RootReach::Reached) {
            unreached.emplace_back(absolutePath(input), found.reach);
            continue;
        }
        mode_t mode = found.st.stx_mode;
        if (S_ISLNK(mode))  // not one to a folder, which the examination followed
            mode = found.followedMode;
        if (S_ISDIR(mode)) {
            folders.push_back(absolutePath(input));
        } else if (S_ISREG(mode) && (hasSuffix(input, "csv") || hasSuffix(input, "tsv"))) {
            csvPath = absolutePath(input);
            csvGiven = true;
        } else if (S_ISREG(mode) && hasSuffix(input, "mft")) {
            mftPath = absolutePath(input);
        }
    }
    if (folders.empty() && unreached.empty() && csvPath.empty() && mftPath.empty()) {
        printError("no valid folder path given to scan.");
        return 1;
    }
    if (folders.size() > 1) {
        QStringList roots;
        for (const std::string& folder : folders)
            roots.append(pathText(folder));
        // The Select Multiple dialog's own refusal, on one line.
        const QString conflict = SelectMultipleDialog::nestingConflict(roots);
        if (!conflict.isEmpty()) {
            printError(pathBytes(conflict.split(u'\n', Qt::SkipEmptyParts).join(u' ')));
            return 1;
        }
    }
    const time_t started = time(nullptr);

    // A start folder that is missing or cannot be reached among others costs only itself: it
    // is named with its reason, the rest written.
    const bool folderRun = !folders.empty() || !unreached.empty();
    bool allRead = true;
    if (folderRun) {
        std::vector<std::pair<std::string, svl::RootReach>> named = missing;
        named.insert(named.end(), unreached.begin(), unreached.end());
        std::stable_sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [path, reach] : named)
            printUnreached(path, reach);
        allRead = named.empty();
        if (folders.empty())
            return 1;
    }
    Source source;
    const bool read = folderRun          ? scanFolders(folders, source)
                      : !csvPath.empty() ? importFile(csvPath, source)
                                         : loadDump(mftPath, source);
    if (!source.tree || source.tree->nodeCount == 0)
        return 1;
    allRead = allRead && read;

    const svl::RegexFactory factory = qtRegexFactory();
    std::unique_ptr<svl::Filter> include = makeFilter(options.filter, options.filterFullPath, factory);
    std::unique_ptr<svl::Filter> exclude = makeFilter(options.filterExclude, options.filterFullPath, factory);
    if (include || exclude) {
        try {
            source.tree = svl::filterTree(*source.tree, include.get(), exclude.get());
        } catch (const std::bad_alloc&) {
            printError("couldn't filter the tree - Out of memory.");
            return 1;
        }
    }

    if (folders.size() == 1 && !csvGiven) {
        // The figures the window's header shows, so both exports of one tree agree.
        const VolumeUsage usage = queryUsageOf(svl::readMountInfo(), folders[0]);
        if (usage.state == VolumeUsage::State::Answered && usage.total > 0) {
            source.capacity = usage.total;
            source.free = usage.available;
        }
    }

    int result = allRead ? 0 : 1;
    if (!options.exportPath.empty() && !writeExport(options, source, started))
        result = 1;
    if (!options.exportFileTypes.empty() && !writeFileTypes(options, source, started))
        result = 1;
    if (!options.treemapImageFile.empty() && !writeTreemapImage(options, source, started))
        result = 1;
    return result;
}

}  // namespace cliautomation
