// Files the window writes on the user's behalf (exports, MFT dumps). An elevated copy runs
// as root in folders the user controls, so its file is never reached through a symbolic
// link planted at its name, and when ZRT_USER_UID / ZRT_USER_GID name the invoking user
// the file is handed to that user through the open descriptor. An ordinary run writes
// through a link like any program the user runs. Any thread.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

#include <sys/types.h>

class QIODevice;

// Opens `path` for writing (created with `mode` less the umask, with `exclusive` only when
// it does not exist yet; in an elevated copy never through a symbolic link) and hands it
// to the invoking user. The descriptor, or -1 with the reason in *error (may be null).
// Existing contents are kept; the caller truncates once it knows the new length.
int openUserOutputFile(const QString& path, mode_t mode, bool exclusive, QString* error);

// Writes a new file through `write` (which gets the open file and returns false on
// failure, its reason in the second argument) beside the one that `path` names and renames
// it over that one once complete, so a failure or a cancel leaves no partial file and an
// old file as it was. In an ordinary run a symbolic link at `path` leads to the file that
// is replaced; an elevated copy refuses it. False with the reason in *error (may be null).
bool replaceUserFile(const QString& path, mode_t mode, const std::function<bool(QIODevice&, QString*)>& write,
                     QString* error);

// A path naming the open descriptor `fd`, for writers that take a path: opening it reaches
// the very file behind the descriptor.
QString descriptorPath(int fd);

// Writes `bytes` as the whole content of `path` through openUserOutputFile.
bool writeUserFile(const QString& path, const QByteArray& bytes, mode_t mode, QString* error);
