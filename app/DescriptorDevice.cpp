#include "app/DescriptorDevice.h"

#include "core/exchange/WriteAll.h"

#include <cerrno>
#include <cstring>

DescriptorDevice::DescriptorDevice(int fd) : m_fd(fd) {
    if (fd >= 0)
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 DescriptorDevice::writeData(const char* data, qint64 length) {
    if (!svl::writeAll(m_fd, data, size_t(length))) {
        m_failure = errno;
        setErrorString(systemErrorText(m_failure));
        return -1;
    }
    return length;
}

QString systemErrorText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}
