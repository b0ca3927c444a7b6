// Files the window writes on the user's behalf (exports, MFT dumps). An elevated copy runs
// as root in folders the user controls, so the file is never reached through a symbolic
// link planted at its name, and when ZRT_USER_UID / ZRT_USER_GID name the invoking user
// the file is handed to that user through the open descriptor. Any thread.
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// Opens `path` for writing (created with `mode` less the umask, never through a symbolic
// link, with `exclusive` only when it does not exist yet) and hands it to the invoking
// user. The descriptor, or -1 with the reason in *error (may be null). Existing contents
// are kept; the caller truncates once it knows the new length.
int openUserOutputFile(const QString& path, mode_t mode, bool exclusive, QString* error);

// A path naming the open descriptor `fd`, for writers that take a path: opening it reaches
// the very file behind the descriptor.
QString descriptorPath(int fd);

// Writes `bytes` as the whole content of `path` through openUserOutputFile.
bool writeUserFile(const QString& path, const QByteArray& bytes, mode_t mode, QString* error);
