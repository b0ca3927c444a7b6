// Shared by the file-types tests: one statistics row in a line, and a file's bytes.
#pragma once

#include "core/analysis/ExtensionStats.h"

#include <QFile>

#include <string>

namespace filetypestest {

inline svl::ExtensionStat row(std::string ext, uint64_t size, uint64_t allocated, uint64_t files = 1) {
    svl::ExtensionStat s;
    s.extension = std::move(ext);
    s.size = size;
    s.allocated = allocated;
    s.files = files;
    return s;
}

inline std::string readAll(const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("<unreadable>");
}

}  // namespace filetypestest
