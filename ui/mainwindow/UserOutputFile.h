// Files the window writes on the user's behalf (exports, MFT dumps). Each is written under
// a new temporary name in its folder and renamed over the chosen name once complete, so a
// failure or a cancel leaves no partial file and an old file as it was. An elevated copy runs
// as root in folders the user controls: it reaches the folder from "/" without following any
// symbolic link, refuses a link at the name, never replaces a file that belongs to another
// account than the invoking user's, and hands the new file to that user when ZRT_USER_UID /
// ZRT_USER_GID name them. An ordinary run reaches the folder as its path says and replaces
// the end of a link at the name, like any program the user runs. Any thread.
#pragma once

#include "integration/OwnedFd.h"
#include "integration/ReplacementFile.h"
#include "integration/SafeRemoval.h"

#include <QString>

#include <functional>
#include <optional>
#include <string>

#include <sys/types.h>

class QIODevice;

// The folder a file goes into, as it was when the user chose the file's name.
struct ChosenOutputFolder {
    QString path;
    saferemove::FolderIdentity identity;
};

// The folder that a file at `filePath` goes into, reached now as UserOutputFile reaches it;
// nothing when it can't be reached (creating the file says why).
std::optional<ChosenOutputFolder> chosenOutputFolder(const QString& filePath);

class UserOutputFile {
public:
    // Reaches the folder of `path` and creates the new file there with `mode` less the umask;
    // with `keepMode` it gets the permissions of the file it replaces. When `chosen` is that
    // folder's path, the folder must still be the one seen then. False with a text for the
    // user in *error (may be null).
    bool create(const QString& path, mode_t mode, bool keepMode, const std::optional<ChosenOutputFolder>& chosen,
                QString* error);
    // The new file, open for writing; -1 before create and after release.
    int fd() const { return m_file.fd(); }
    // Hands the descriptor to a writer that closes it itself (before commit).
    int release() { return m_file.release(); }
    // A path naming the open file, for writers that take a path: opening it reaches the very
    // file behind the descriptor.
    QString descriptorPath() const;
    // Renames the complete file over the name (never over a symbolic link put there since).
    // False with a text for the user; the new file is gone then.
    bool commit(QString* error);
    // Removes the new file (also done on destruction unless committed).
    void discard() { m_file.discard(); }

private:
    OwnedFd m_folder;
    ReplacementFile m_file;  // declared after the folder: discarded while that is still open
    QString m_path;
    std::string m_name;
};

// Writes a new file through `write` (which gets the open file and returns false on failure,
// its reason in the second argument) with UserOutputFile, keeping the replaced file's
// permissions. False with the reason in *error (may be null).
bool replaceUserFile(const QString& path, mode_t mode, const std::function<bool(QIODevice&, QString*)>& write,
                     QString* error, const std::optional<ChosenOutputFolder>& chosen = std::nullopt);
