// Administrator overrides: "Overrides.conf" INI files in the shared folder and the
// administrator folder force settings for every account. A file is used only when
// no ordinary account could have written it or replaced it; keys that hold
// per-user state are never taken. Read once at start on the main thread.
#pragma once

#include <QMap>
#include <QString>
#include <QVariant>

// ZRT_SHARED_DIR when set and non-empty, else "/var/lib/hollowmere".
QString sharedFolderPath();
// ZRT_ADMIN_DIR when set and non-empty, else "/etc/hollowmere".
QString adminFolderPath();

// Creates a missing shared folder with mode 01777 (set after creation, so the
// umask does not matter); an existing folder is left as it is. Returns
// isSharedFolderWritable().
bool ensureSharedFolder();

// True when the shared folder (links followed) is a directory this process may
// write to and enter.
bool isSharedFolderWritable();

// Empty when the file may be trusted, otherwise the reason it may not. Nothing is
// followed: a symbolic link is judged as a link. The trusted owner is root, or the
// account in ZRT_TRUSTED_UID when that is set.
QString checkOverrideFileTrust(const QString& filePath);

// True when `key` holds per-user state that an overrides file may not set.
bool isNeverOverriddenKey(const QString& key);

// The trusted overrides of both folders, by key; the administrator folder wins
// over the shared folder. Untrusted files are skipped with one warning per path
// and process.
QMap<QString, QVariant> loadSettingOverrides();
