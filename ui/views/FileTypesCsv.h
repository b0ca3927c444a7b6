// The file-types CSV: one line per extension with its file-type text, its share in percent,
// total size, total allocated size and file count, in the order the caller gives.
// FileTypesCsv holds the static writer; the file-types model derives from it, so that the
// writer is FileTypesModel::writeCsv for the window and the headless run alike.
// GUI thread (the file-type texts come from the MIME database).
#pragma once

#include <QString>

#include <vector>

#include "core/analysis/ExtensionStats.h"

// The file-type text of a row: "(No Extension)", the MIME type's comment for "x.<ext>",
// or "<EXT> File" when the MIME database does not know the extension. Translated.
QString fileTypeDescription(const svl::ExtensionStat& row);

// fileTypeDescription for many rows: the translated texts are fetched once at construction
// (on the GUI thread); the call operator may then run on several threads at once.
class FileTypeDescriber {
public:
    FileTypeDescriber();
    // `fromDatabase` (optional) tells whether the text came from a MIME database lookup,
    // the one part worth caching.
    QString operator()(const svl::ExtensionStat& row, bool* fromDatabase = nullptr) const;

private:
    QString m_noExtension;
    QString m_unknown;
};

class FileTypesCsv {
public:
    // Writes the header "Extension,File Type,Percent,Size,Allocated,Files" and one line per
    // row; the percent is of the allocated total when `byAllocated`, else of the size total.
    // False when the file cannot be opened or any byte or the close fails, with the system's
    // text for the cause in *error (may be null).
    static bool writeCsv(const std::vector<svl::ExtensionStat>& rows, bool byAllocated, const QString& path,
                         QString* error = nullptr);
};
