// Reading and writing the small text files that the program places in other programs'
// folders (file-manager entries, the application-menu launcher), and the quoting rules
// of the formats they are written in. GUI thread; only the file system is touched.
#pragma once

#include <QByteArray>
#include <QString>

// The whole file decoded as UTF-8; empty when it cannot be opened for reading.
QString readTextFile(const QString& path);

// Replaces the file atomically with the bytes (creating no folders). False with the save
// file's reason on failure; nothing is left behind then.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error);
// Replaces the file atomically with `text` (UTF-8), creating missing folders, then sets
// mode 0755 when `executable`, else 0644. False with the save file's reason on failure.
bool saveEntryFile(const QString& path, const QString& text, bool executable, QString* error);
// Removes the file unless it is already gone; false with the file system's reason.
bool removeFileIfPresent(const QString& path, QString* error);
// Stores `text` into `error` when that is not null; returns false for the caller to pass on.
bool failWith(QString* error, const QString& text);

// Sets the file's permission bits exactly (e.g. 0744); the outcome is not reported.
void setFileMode(const QString& path, unsigned mode);

// A program path with a line break would add lines to every entry it is written into.
bool hasLineBreak(const QString& text);

// Inside single quotes, each ' written as '\''.
QString shellQuote(const QString& text);
// & < > as entities; quotes left alone.
QString escapeXml(const QString& text);
// A desktop entry's Exec argument: % doubled; in double quotes, with " $ \ ` escaped and
// backslashes doubled again, when any reserved character is present.
QString quoteExecArgument(const QString& text);
