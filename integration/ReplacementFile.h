// A new file that takes the place of a name inside a folder held open: it is created under a
// temporary name beside that name (O_EXCL, never through a link) and renamed over it once
// complete, so the name holds either the old file or the whole new one, and a failure or a
// cancel leaves nothing behind. The rename replaces a symbolic link at the name rather than
// writing through it; commit refuses one that is there then. Plain POSIX calls; one owner,
// any thread. Errors are errno values (0 = success).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

class ReplacementFile {
public:
    ReplacementFile() = default;
    ~ReplacementFile() { discard(); }
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Creates the temporary file in the folder `folderFd` (an O_PATH descriptor will do; the
    // caller keeps it open until commit or discard) for the name `name`, with `mode` less the
    // umask.
    [[nodiscard]] int create(int folderFd, const std::string& name, mode_t mode);
    // The temporary file open for writing; -1 before create and after release or commit.
    int fd() const { return m_fd; }
    // Hands the descriptor to the caller, who closes it before commit.
    int release();
    // Writes all the bytes at the current offset.
    [[nodiscard]] int write(const char* data, size_t size);
    // Closes the file when still held and renames it over the name: ELOOP, and nothing
    // replaced, when a symbolic link stands there. On failure the temporary file is removed.
    [[nodiscard]] int commit();
    // Removes the temporary file; does nothing once committed.
    void discard();

private:
    int m_folder = -1;
    int m_fd = -1;
    std::string m_name;
    std::string m_temporary;  // empty once committed or discarded
};
