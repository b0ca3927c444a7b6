// What a copy started as root for an ordinary user does before anything else: takes the
// allow-listed variables from the user's hand-off file (and deletes it), gives itself a
// private root-owned configuration and data folder and mirrors the user's desktop look
// files into it, and, once its window is up, sends "ready" to the waiting copy.
// Runs on the main thread, the first steps before the application object exists.
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// Largest hand-off file that is read.
inline constexpr qint64 kMaxHandoffFileSize = 65535;
// Largest look file that is mirrored.
inline constexpr qint64 kMaxLookFileSize = 1048576;

// As root with PKEXEC_UID set and "--elevation-token TOKEN" among the arguments: reads
// the hand-off file of TOKEN written by the user of PKEXEC_UID.
void takeHandoffEnvironment(int argc, char** argv);
// Sets the allow-listed variables of the hand-off file in this process. The file counts
// only when it is a regular file (never reached through a link, never a FIFO) owned by
// uid, with no group or other permission bits and at most kMaxHandoffFileSize bytes; it
// is deleted once opened, accepted or not. True when it was accepted.
bool readHandoffFile(const QString& token, uid_t uid);
// Whether a hand-off file may set this variable (display, session and ZRT_USER_ names).
bool isHandoffVariable(const QByteArray& name);

// As root with ZRT_USER_UID set: points XDG_CONFIG_HOME and XDG_DATA_HOME at a private
// root-owned 0700 folder for that user, so that nothing of root's own desktop settings is
// touched, and mirrors the user's look files (ZRT_USER_CONFIG_HOME, ZRT_USER_DATA_HOME)
// into it.
void mirrorUserLookFiles();
// The private folder's parts for `uid` under `base`: base/user-<uid>/config and .../data,
// created with mode 0700 and checked to be directories owned by this process's user (not
// links). False when any of them is not.
bool preparePrivateLookFolders(const QString& base, uid_t uid, QString* configFolder, QString* dataFolder);
// Copies the KDE/GTK look files and colour schemes; the number of files copied.
int mirrorLookFilesBetween(const QString& userConfig, const QString& userData, uid_t uid, const QString& rootConfig,
                           const QString& rootData);
// Copies every file (links to files included, hidden ones not) of source/subfolder.
int mirrorFolderFiles(const QString& sourceBase, const QString& destinationBase, const QString& subfolder, uid_t uid);
// Copies `source` (links followed) when it is a regular file owned by uid of at most
// kMaxLookFileSize bytes; the bytes come from the very file that was checked.
bool copyUserOwnedFile(const QString& source, const QString& destination, uid_t uid);

// Tells the copy waiting on `token` that this one is up; silent, at most 4 s.
void sendReady(const QString& token);
