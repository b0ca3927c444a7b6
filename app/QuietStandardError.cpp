#include "app/QuietStandardError.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

int g_errorFd = STDERR_FILENO;

}  // namespace

void quietLibraryMessages() {
    std::fflush(stderr);
    const int copy = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (copy < 0)
        return;
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDERR_FILENO) < 0) {
        if (null >= 0)
            close(null);
        close(copy);
        return;
    }
    close(null);
    g_errorFd = copy;
#if defined(__SANITIZE_ADDRESS__)
    // Sanitizer reports are the program's own faults: they stay visible.
    __sanitizer_set_report_fd(reinterpret_cast<void*>(intptr_t(copy)));
#endif
}

void programErrorLine(std::string_view text) {
    std::string line(text);
    if (line.empty() || line.back() != '\n')
        line += '\n';
    std::fflush(stderr);
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(g_errorFd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}
