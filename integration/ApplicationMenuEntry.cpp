#include "integration/ApplicationMenuEntry.h"

#include "integration/EntryFiles.h"
#include "integration/ProgramLocation.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("ApplicationMenuEntry", text);
}

const QString kLauncherTemplate = QStringLiteral(R"TXT([Desktop Entry]
Type=Application
Version=1.0
Name=Hollowmere
GenericName=Disk Space Analyzer
Comment=Find what is using the space on a drive or in a folder
Exec=%1 %f
Icon=hollowmere
Terminal=false
Categories=System;Filesystem;
MimeType=inode/directory;
Keywords=disk;space;usage;analyzer;treemap;files;folders;size;
StartupWMClass=hollowmere
%2
)TXT");

uint32_t crc32(const QByteArray& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= uint8_t(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray bigEndian32(uint32_t value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return QByteArray(bytes, 4);
}

// A PNG text chunk holding the marker: an icon has no other place for one, and image
// readers skip text chunks.
QByteArray iconMarkerChunk() {
    const QByteArray typeAndData = QByteArrayLiteral("tEXtX-Hollowmere-MenuEntry") + '\0' + '1';
    return bigEndian32(uint32_t(typeAndData.size() - 4)) + typeAndData + bigEndian32(crc32(typeAndData));
}

// The PNG with the marker chunk right after its header chunk; other bytes come back unmarked.
QByteArray markedIcon(const QByteArray& png) {
    constexpr qsizetype kHeaderEnd = 8 + 8 + 13 + 4;  // signature, IHDR chunk
    if (!png.startsWith("\x89PNG\r\n\x1a\n") || png.size() < kHeaderEnd || png.mid(12, 4) != "IHDR")
        return png;
    return png.left(kHeaderEnd) + iconMarkerChunk() + png.mid(kHeaderEnd);
}

}  // namespace

QString menuEntryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/applications/hollowmere.desktop");
}

QString menuIconPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/icons/hicolor/128x128/apps/hollowmere.png");
}

QString menuEntryText(const QString& program) {
    return kLauncherTemplate.arg(quoteExecArgument(program), kMenuEntryMarker);
}

bool createMenuEntry(QString* error, const QString& iconResource) {
    const QString program = appImagePath();
    if (program.isEmpty())
        return failWith(error, tr("Not running from an AppImage"));
    if (hasLineBreak(program))
        return failWith(error, tr("The program's path contains a line break"));
    if (menuEntryIsForeign())
        return failWith(error, tr("The launcher was not created by Hollowmere"));
    QFile icon(iconResource);
    if (!icon.open(QIODevice::ReadOnly))
        return failWith(error, icon.errorString());
    // An icon that is someone else's, a symbolic link included, is left as it is.
    const bool iconIsFree = !entryExists(menuIconPath()) || menuIconIsOurs();
    return (!iconIsFree || writeFileAtomically(menuIconPath(), markedIcon(icon.readAll()), -1, error)) &&
           writeFileAtomically(menuEntryPath(), menuEntryText(program).toUtf8(), 0744, error);
}

bool removeMenuEntry(QString* error) {
    if (menuEntryIsForeign())
        return failWith(error, tr("The launcher was not created by Hollowmere"));
    if (!removeFileIfPresent(menuEntryPath(), error))
        return false;
    return !menuIconIsOurs() || removeFileIfPresent(menuIconPath(), error);
}

bool menuEntryIsOurs() {
    return readTextFile(menuEntryPath()).contains(kMenuEntryMarker);
}

bool menuIconIsOurs() {
    return readFileBytes(menuIconPath()).contains(iconMarkerChunk());
}

bool menuEntryIsForeign() {
    // A symbolic link there, dangling or not, is never the program's own launcher.
    return entryExists(menuEntryPath()) && !menuEntryIsOurs();
}

QString menuEntryProgram() {
    if (!menuEntryIsOurs())
        return {};
    for (const QString& line : readTextFile(menuEntryPath()).split(QLatin1Char('\n')))
        if (line.startsWith(QStringLiteral("Exec=")))
            return parseExecProgram(line.mid(5));
    return {};
}

bool menuEntryPointsHere() {
    const QString program = appImagePath();
    return !program.isEmpty() && menuEntryProgram() == program;
}

bool refreshMenuEntry() {
    if (!menuEntryIsOurs() || appImagePath().isEmpty() || menuEntryPointsHere())
        return false;
    if (!preferRunningProgram(menuEntryProgram(), appImagePath()))
        return false;
    return createMenuEntry(nullptr, QStringLiteral(":/sorvale.png"));
}

QString parseExecProgram(const QString& exec) {
    const QString text = exec.trimmed();
    QString program;
    if (text.startsWith(QLatin1Char('"'))) {
        // Undo the desktop file's string escape (\\ -> \), then read the quoted argument.
        QString unescaped;
        for (qsizetype i = 1; i < text.size(); ++i) {
            if (text.at(i) == QLatin1Char('\\') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\\'))
                ++i;
            unescaped += text.at(i);
        }
        for (qsizetype i = 0; i < unescaped.size(); ++i) {
            const QChar c = unescaped.at(i);
            if (c == QLatin1Char('"'))
                break;
            if (c == QLatin1Char('\\') && i + 1 < unescaped.size())
                program += unescaped.at(++i);
            else
                program += c;
        }
    } else {
        program = text.section(QLatin1Char(' '), 0, 0);
    }
    return program.replace(QStringLiteral("%%"), QStringLiteral("%"));
}
