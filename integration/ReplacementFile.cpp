#include "integration/ReplacementFile.h"

#include "core/exchange/WriteAll.h"

#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Short enough that any name still fits: the name's first bytes and eight hex digits.
std::string temporaryNameFor(const std::string& name) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x", unsigned(QRandomGenerator::global()->generate()));
    return "." + name.substr(0, 200) + suffix;
}

}  // namespace

int ReplacementFile::create(int folderFd, const std::string& name, mode_t mode) {
    discard();
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string temporary = temporaryNameFor(name);
        const int fd = ::openat(folderFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            m_folder = folderFd;
            m_fd = fd;
            m_name = name;
            m_temporary = temporary;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

int ReplacementFile::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

int ReplacementFile::write(const char* data, size_t size) {
    return svl::writeAll(m_fd, data, size) ? 0 : errno;
}

int ReplacementFile::commit() {
    if (m_temporary.empty())
        return EBADF;
    int code = 0;
    if (m_fd >= 0 && (::fsync(m_fd) != 0 || ::close(release()) != 0))
        code = errno;
    struct stat st {};
    if (code == 0 && ::fstatat(m_folder, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        code = ELOOP;
    if (code == 0 && ::renameat(m_folder, m_temporary.c_str(), m_folder, m_name.c_str()) != 0)
        code = errno;
    if (code != 0) {
        discard();
        return code;
    }
    m_temporary.clear();
    return 0;
}

void ReplacementFile::discard() {
    if (m_fd >= 0)
        ::close(release());
    if (!m_temporary.empty())
        (void)::unlinkat(m_folder, m_temporary.c_str(), 0);
    m_temporary.clear();
}
