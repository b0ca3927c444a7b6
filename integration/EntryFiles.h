// Reading and writing the small text files that the program places in other programs'
// folders (file-manager entries, the application-menu launcher), and the quoting rules
// of the formats they are written in. A file is never written or removed through a
// symbolic link: below the user's data or configuration folder that holds it, every
// folder on the way is opened without following links, and a link at the file's own name
// is never read, written or replaced. GUI thread; only the file system is touched.
#pragma once

#include <QByteArray>
#include <QString>

// The whole file; empty when it is missing or unreadable, or a symbolic link (so a link is
// never taken for one of the program's files).
QByteArray readFileBytes(const QString& path);
// readFileBytes decoded as UTF-8.
QString readTextFile(const QString& path);
// Something stands at the path: a file, a folder, or a symbolic link, dangling ones too.
bool entryExists(const QString& path);

// Replaces the file atomically with the bytes: a new file beside it, given `mode` exactly
// (-1: the replaced file's permissions, or the umask's for a new file), renamed over it.
// Missing folders are made. False with the reason on failure (a symbolic link at the name
// or on the way is named); nothing is left behind then.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, int mode, QString* error);
// writeFileAtomically with `text` (UTF-8) and mode 0755 when `executable`, else 0644.
bool saveEntryFile(const QString& path, const QString& text, bool executable, QString* error);
// Removes the file (a link at the name itself, not what it points to) unless it is already
// gone; false with the file system's reason, or naming a symbolic link on the way.
bool removeFileIfPresent(const QString& path, QString* error);
// Stores `text` into `error` when that is not null; returns false for the caller to pass on.
bool failWith(QString* error, const QString& text);

// A program path with a line break would add lines to every entry it is written into.
bool hasLineBreak(const QString& text);

// Inside single quotes, each ' written as '\''.
QString shellQuote(const QString& text);
// & < > as entities; quotes left alone.
QString escapeXml(const QString& text);
// A desktop entry's Exec argument: % doubled; in double quotes, with " $ \ ` escaped and
// backslashes doubled again, when any reserved character is present.
QString quoteExecArgument(const QString& text);
