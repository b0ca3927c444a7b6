#include "ui/views/FileTypesCsv.h"

#include "app/DescriptorDevice.h"
#include "core/tree/Saturating.h"
#include "ui/views/ExtensionMimeType.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

FileTypeDescriber::FileTypeDescriber()
    : m_noExtension(QCoreApplication::translate("FileTypesModel", "(No Extension)")),
      m_unknown(QCoreApplication::translate("FileTypesModel", "%1 File")) {}

QString FileTypeDescriber::operator()(const svl::ExtensionStat& row, bool* fromDatabase) const {
    const QString extension = QString::fromUtf8(row.extension.data(), qsizetype(row.extension.size()));
    const bool known = !extension.isEmpty() && extensionMayHaveMimeType(extension);
    if (fromDatabase)
        *fromDatabase = known;
    if (extension.isEmpty())
        return m_noExtension;
    if (known) {
        const QMimeType type = extensionMimeType(extension);
        if (type.isValid() && !type.isDefault())
            return type.comment();
    }
    return m_unknown.arg(extension.toUpper());
}

QString fileTypeDescription(const svl::ExtensionStat& row) {
    return FileTypeDescriber()(row);
}

namespace {

QByteArray quoted(const QByteArray& text) {
    QByteArray out = text;
    out.replace('"', "\"\"");
    return '"' + out + '"';
}

}  // namespace

bool FileTypesCsv::writeCsv(const std::vector<svl::ExtensionStat>& rows, bool byAllocated, const QString& path,
                            QString* error) {
    const auto fail = [error](int code) {
        if (error)
            *error = systemErrorText(code);
        return false;
    };
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(errno);
    uint64_t totalSize = 0, totalAllocated = 0;
    for (const svl::ExtensionStat& row : rows) {
        totalSize = svl::saturatingAdd(totalSize, row.size);
        totalAllocated = svl::saturatingAdd(totalAllocated, row.allocated);
    }
    const uint64_t total = byAllocated ? totalAllocated : totalSize;
    QByteArray content = "Extension,File Type,Percent,Size,Allocated,Files\n";
    for (const svl::ExtensionStat& row : rows) {
        const uint64_t part = byAllocated ? row.allocated : row.size;
        const double percent = total == 0 ? 0.0 : double(part) * 100.0 / double(total);
        content += quoted(QByteArray(row.extension.data(), qsizetype(row.extension.size())));
        content += ',';
        content += quoted(fileTypeDescription(row).toUtf8());
        content += ',';
        content += QByteArray::number(percent, 'f', 3);
        content += ',';
        content += QByteArray::number(qulonglong(row.size));
        content += ',';
        content += QByteArray::number(qulonglong(row.allocated));
        content += ',';
        content += QByteArray::number(qulonglong(row.files));
        content += '\n';
    }
    // A failed write (a full disk) or a failed close is a failed export.
    DescriptorDevice file(fd);
    if (file.write(content) != content.size()) {
        ::close(fd);
        return fail(file.failure());
    }
    if (::close(fd) != 0)
        return fail(errno);
    return true;
}
