// The MIME type the desktop's database gives a file extension, by name only. Names that
// none of the database's glob patterns can match get the default type at once: the
// database's own lookup costs tens of microseconds per name, which hundreds of thousands
// of distinct hash suffixes (Maildir, caches) turn into many seconds. Any thread.
#pragma once

#include <QMimeType>
#include <QString>

// False when none of the database's glob patterns can match the name "x.<extension>", so
// that the database would give its default type. Cheap; shares no counters between threads.
bool extensionMayHaveMimeType(const QString& extension);

// The MIME type of the name "x.<extension>" (never the file's content); the database's
// default type when the extension is unknown.
QMimeType extensionMimeType(const QString& extension);
