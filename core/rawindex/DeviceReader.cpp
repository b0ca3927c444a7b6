#include "core/rawindex/DeviceReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace svl {

DeviceReader::~DeviceReader() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool DeviceReader::open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    reset(fd);
    return true;
}

void DeviceReader::reset(int fd) {
    if (m_fd >= 0 && m_fd != fd)
        ::close(m_fd);
    m_fd = fd;
}

bool DeviceReader::read(uint64_t offset, void* buffer, size_t length) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        // pread takes a signed offset; anything past it is past every device.
        if (offset > uint64_t(INT64_MAX) || length > uint64_t(INT64_MAX) - offset)
            return false;
        ssize_t got = ::pread(m_fd, out, length, off_t(offset));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            return false;
        m_bytesRead.fetch_add(uint64_t(got), std::memory_order_relaxed);
        out += got;
        offset += uint64_t(got);
        length -= size_t(got);
    }
    return true;
}

void DeviceReader::prefetch(uint64_t offset, uint64_t length) const {
    if (offset <= uint64_t(INT64_MAX) && length <= uint64_t(INT64_MAX) - offset)
        (void)::posix_fadvise(m_fd, off_t(offset), off_t(length), POSIX_FADV_WILLNEED);
}

uint64_t DeviceReader::size() const {
    // SEEK_END gives the size of regular files and of block devices alike.
    off_t end = ::lseek(m_fd, 0, SEEK_END);
    return end > 0 ? uint64_t(end) : 0;
}

}  // namespace svl
