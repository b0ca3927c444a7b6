#include "core/exchange/WriteAll.h"

#include <unistd.h>

#include <cerrno>

namespace svl {

bool writeAll(int fd, const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        at += n;
        size -= size_t(n);
    }
    return true;
}

}  // namespace svl
