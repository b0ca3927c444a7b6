// Positioned reads from a block device or an image file, counting every byte read.
// A reader owns its descriptor and closes it on destruction.
//
// Threads: `read` may be called from several threads at once (pread keeps no file position);
// `bytesRead` may be read from any thread while reads are under way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace svl {

class DeviceReader {
public:
    DeviceReader() = default;
    // Takes ownership of `fd` (may be -1).
    explicit DeviceReader(int fd) : m_fd(fd) {}
    ~DeviceReader();
    DeviceReader(const DeviceReader&) = delete;
    DeviceReader& operator=(const DeviceReader&) = delete;

    // Opens `path` read-only and close-on-exec; false with errno set on failure.
    [[nodiscard]] bool open(const std::string& path);
    // Takes ownership of `fd`, closing any descriptor held before.
    void reset(int fd);
    int fd() const { return m_fd; }

    // Reads exactly `length` bytes at `offset` into `buffer`: repeats on EINTR, continues after
    // a short read, fails on any other error or at the end of the device. Every byte that
    // arrives is added to bytesRead(), also those of a read that fails later.
    [[nodiscard]] bool read(uint64_t offset, void* buffer, size_t length);

    // Asks the kernel to start reading [offset, offset + length) in the background, so that a
    // later read finds it cached. Only a hint: nothing is counted and failures are ignored.
    void prefetch(uint64_t offset, uint64_t length) const;

    // Size of the device or image in bytes, or 0 when it can't be told.
    uint64_t size() const;

    uint64_t bytesRead() const { return m_bytesRead.load(std::memory_order_relaxed); }

private:
    int m_fd = -1;
    std::atomic<uint64_t> m_bytesRead{0};
};

}  // namespace svl
