// A small io_uring instance (through syscall, no library) that examines a folder's entries
// with batched statx requests: 256 ring entries, up to 256 requests per system call.
//
// Threads: one instance per worker thread. Set up on first use; a failed set-up is never
// retried on that instance. The destructor releases the ring mappings and descriptor.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/scan/DirectoryReader.h"
#include "core/scan/MountWatch.h"

struct io_uring_sqe;
struct io_uring_cqe;

namespace svl {

class IoUringStatx {
public:
    enum class State { NotTried, Ready, Failed };
    static constexpr unsigned kEntries = 256;

    IoUringStatx() = default;
    ~IoUringStatx();
    IoUringStatx(const IoUringStatx&) = delete;
    IoUringStatx& operator=(const IoUringStatx&) = delete;

    // Sets the ring up when not tried yet; true when it is ready.
    bool ensureReady();
    State state() const { return m_state; }

    // Examines entries [begin, end) of `listing` relative to `dirfd`: out[i].result becomes 0, -errno, or
    // kNotExamined for a request the kernel could not run (the caller examines those itself).
    // Returns false when io_uring failed for this folder (when no request could run at all,
    // the ring is given up for good); every request already submitted has completed (its
    // buffer is no longer written) when this returns, whatever the answer.
    // Each wait for completions is watched on `mount`; when one is given up (CallGivenUp is
    // thrown) the ring and its buffers are left to the kernel, which may still write them.
    [[nodiscard]] bool examine(int dirfd, const FolderListing& listing, size_t begin, size_t end, EntryStat* out,
                               MountKey mount = kUnknownMount);

private:
    void release();
    // Stops using the ring for good without waiting for what is in flight.
    void leaveToTheKernel();
    // Takes every available completion; returns how many.
    unsigned reap(EntryStat* out);
    // Waits until no request of ours is in flight (used when abandoning a folder).
    void drain(EntryStat* out);

    State m_state = State::NotTried;
    int m_fd = -1;
    void* m_sqRing = nullptr;
    size_t m_sqRingSize = 0;
    void* m_cqRing = nullptr;  // equal to m_sqRing with a single mapping
    size_t m_cqRingSize = 0;
    io_uring_sqe* m_sqes = nullptr;
    size_t m_sqesSize = 0;
    unsigned* m_sqHead = nullptr;
    unsigned* m_sqTail = nullptr;
    unsigned m_sqMask = 0;
    unsigned m_sqEntries = 0;
    unsigned* m_cqHead = nullptr;
    unsigned* m_cqTail = nullptr;
    unsigned m_cqMask = 0;
    io_uring_cqe* m_cqes = nullptr;
    unsigned m_inFlight = 0;
    size_t m_notRun = 0;  // requests of the current folder the kernel could not run
    // One statx buffer per ring slot; a request carries (entry index << 9 | slot) as user data.
    std::vector<struct statx> m_buffers;
    std::vector<uint16_t> m_freeSlots;
};

}  // namespace svl
