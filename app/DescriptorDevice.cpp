#include "app/DescriptorDevice.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

DescriptorDevice::DescriptorDevice(int fd) : m_fd(fd) {
    if (fd >= 0)
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 DescriptorDevice::writeData(const char* data, qint64 length) {
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::write(m_fd, data + done, size_t(length - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_failure = n < 0 ? errno : EIO;
            setErrorString(systemErrorText(m_failure));
            return -1;
        }
        done += n;
    }
    return done;
}

QString systemErrorText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}
