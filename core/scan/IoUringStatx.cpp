#include "core/scan/IoUringStatx.h"

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace svl {

namespace {

constexpr unsigned kSlotBits = 9;  // slots 0..511 fit; the ring has 256
constexpr uint64_t kSlotMask = (uint64_t(1) << kSlotBits) - 1;

int ioUringSetup(unsigned entries, io_uring_params* p) {
    return int(syscall(__NR_io_uring_setup, entries, p));
}

int ioUringEnter(int fd, unsigned toSubmit, unsigned minComplete, unsigned flags) {
    return int(syscall(__NR_io_uring_enter, fd, toSubmit, minComplete, flags, nullptr, size_t(0)));
}

unsigned loadAcquire(const unsigned* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
void storeRelease(unsigned* p, unsigned v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }

}  // namespace

IoUringStatx::~IoUringStatx() { release(); }

void IoUringStatx::leaveToTheKernel() {
    if (m_inFlight > 0) {
        // Requests still in flight write their buffers when they complete: the buffers, the
        // ring and its descriptor stay as they are for the rest of the process.
        new std::vector<struct statx>(std::move(m_buffers));
        m_fd = -1;
        m_sqes = nullptr;
        m_sqRing = m_cqRing = nullptr;
        m_inFlight = 0;
    }
    release();
    m_state = State::Failed;
}

void IoUringStatx::release() {
    if (m_sqes)
        munmap(m_sqes, m_sqesSize);
    if (m_cqRing && m_cqRing != m_sqRing)
        munmap(m_cqRing, m_cqRingSize);
    if (m_sqRing)
        munmap(m_sqRing, m_sqRingSize);
    if (m_fd >= 0)
        ::close(m_fd);
    m_sqes = nullptr;
    m_sqRing = m_cqRing = nullptr;
    m_fd = -1;
}

bool IoUringStatx::ensureReady() {
    if (m_state != State::NotTried)
        return m_state == State::Ready;
    m_state = State::Failed;
    io_uring_params p;
    std::memset(&p, 0, sizeof p);
    m_fd = ioUringSetup(kEntries, &p);
    if (m_fd < 0) {
        m_fd = -1;
        return false;
    }
    m_sqRingSize = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    m_cqRingSize = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    const bool single = p.features & IORING_FEAT_SINGLE_MMAP;
    if (single)
        m_sqRingSize = m_cqRingSize = std::max(m_sqRingSize, m_cqRingSize);
    void* sq = mmap(nullptr, m_sqRingSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, m_fd, IORING_OFF_SQ_RING);
    if (sq == MAP_FAILED) {
        release();
        return false;
    }
    m_sqRing = sq;
    if (single) {
        m_cqRing = sq;
    } else {
        void* cq =
            mmap(nullptr, m_cqRingSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, m_fd, IORING_OFF_CQ_RING);
        if (cq == MAP_FAILED) {
            release();
            return false;
        }
        m_cqRing = cq;
    }
    m_sqesSize = p.sq_entries * sizeof(io_uring_sqe);
    void* sqes = mmap(nullptr, m_sqesSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, m_fd, IORING_OFF_SQES);
    if (sqes == MAP_FAILED) {
        release();
        return false;
    }
    m_sqes = static_cast<io_uring_sqe*>(sqes);
    char* sqBase = static_cast<char*>(m_sqRing);
    char* cqBase = static_cast<char*>(m_cqRing);
    m_sqHead = reinterpret_cast<unsigned*>(sqBase + p.sq_off.head);
    m_sqTail = reinterpret_cast<unsigned*>(sqBase + p.sq_off.tail);
    m_sqMask = *reinterpret_cast<unsigned*>(sqBase + p.sq_off.ring_mask);
    m_sqEntries = *reinterpret_cast<unsigned*>(sqBase + p.sq_off.ring_entries);
    unsigned* array = reinterpret_cast<unsigned*>(sqBase + p.sq_off.array);
    for (unsigned i = 0; i < m_sqEntries; ++i)
        array[i] = i;  // slot i of the ring always names request i
    m_cqHead = reinterpret_cast<unsigned*>(cqBase + p.cq_off.head);
    m_cqTail = reinterpret_cast<unsigned*>(cqBase + p.cq_off.tail);
    m_cqMask = *reinterpret_cast<unsigned*>(cqBase + p.cq_off.ring_mask);
    m_cqes = reinterpret_cast<io_uring_cqe*>(cqBase + p.cq_off.cqes);
    const unsigned slots = std::min<unsigned>(m_sqEntries, kEntries);
    try {
        m_buffers.resize(slots);
        m_freeSlots.reserve(slots);
    } catch (...) {
        release();
        return false;
    }
    for (unsigned i = slots; i-- > 0;)
        m_freeSlots.push_back(uint16_t(i));
    m_state = State::Ready;
    return true;
}

unsigned IoUringStatx::reap(EntryStat* out) {
    unsigned head = *m_cqHead;
    const unsigned tail = loadAcquire(m_cqTail);
    unsigned n = 0;
    while (head != tail) {
        const io_uring_cqe& c = m_cqes[head & m_cqMask];
        const uint64_t index = c.user_data >> kSlotBits;
        const unsigned slot = unsigned(c.user_data & kSlotMask);
        EntryStat& e = out[index];
        if (c.res == 0) {
            entryStatFromStatx(m_buffers[slot], e);
        } else if (c.res == -EAGAIN || c.res == -EINTR || c.res == -ECANCELED) {
            // The kernel could not run the request (no worker thread): examined one by one later.
            e.result = EntryStat::kNotExamined;
            ++m_notRun;
        } else {
            e.result = c.res < 0 ? c.res : -EIO;
        }
        m_freeSlots.push_back(uint16_t(slot));
        ++head;
        ++n;
    }
    storeRelease(m_cqHead, head);
    m_inFlight -= n;
    return n;
}

void IoUringStatx::drain(EntryStat* out) {
    while (m_inFlight > 0) {
        if (reap(out) > 0)
            continue;
        const int r = ioUringEnter(m_fd, 0, 1, IORING_ENTER_GETEVENTS);
        if (r < 0 && errno != EINTR && errno != EAGAIN && errno != EBUSY) {
            // The kernel still owns our buffers: wait for the completions by looking.
            timespec ts{0, 1000000};
            nanosleep(&ts, nullptr);
        }
    }
}

bool IoUringStatx::examine(int dirfd, const FolderListing& listing, size_t begin, size_t end, EntryStat* out,
                           MountKey mount) {
    if (!ensureReady())
        return false;
    const size_t count = std::min(end, listing.entries.size());
    const char* names = listing.names.data();
    m_notRun = 0;
    size_t next = begin;  // next entry to put into the ring
    unsigned queued = 0;  // requests in the submission ring not yet taken by the kernel
    while (next < count || queued > 0 || m_inFlight > 0) {
        // Fill free slots, in entry order.
        unsigned tail = *m_sqTail;
        while (next < count && !m_freeSlots.empty()) {
            if (listing.entries[next].foreignMount) {
                ++next;
                continue;
            }
            const unsigned slot = m_freeSlots.back();
            m_freeSlots.pop_back();
            io_uring_sqe& sqe = m_sqes[tail & m_sqMask];
            std::memset(&sqe, 0, sizeof sqe);
            sqe.opcode = IORING_OP_STATX;
            sqe.fd = dirfd;
            sqe.addr = reinterpret_cast<uint64_t>(names + listing.entries[next].nameOffset);
            sqe.len = kWalkStatxMask;
            sqe.statx_flags = unsigned(kWalkStatxFlags);
            sqe.off = reinterpret_cast<uint64_t>(&m_buffers[slot]);
            sqe.user_data = (uint64_t(next) << kSlotBits) | slot;
            ++tail;
            ++next;
            ++queued;
            ++m_inFlight;
        }
        storeRelease(m_sqTail, tail);
        int r;
        try {
            r = watchedOrThrow(mount, [&] {
                    return ioUringEnter(m_fd, queued, queued > 0 || m_inFlight > 0 ? 1 : 0, IORING_ENTER_GETEVENTS);
                }).value_or(-1);
        } catch (const CallGivenUp&) {
            leaveToTheKernel();
            throw;
        }
        if (r < 0 && errno == kNoAnswerErrno) {
            // The mount does not answer: what is in flight may never complete.
            leaveToTheKernel();
            return false;
        }
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EBUSY) {
                reap(out);
                continue;
            }
            // Abandon io_uring for this folder: take back what the kernel did not consume,
            // then wait for what it did.
            const unsigned head = loadAcquire(m_sqHead);
            const unsigned unconsumed = *m_sqTail - head;
            storeRelease(m_sqTail, head);
            m_inFlight -= unconsumed;
            drain(out);
            // Nothing is in flight now: every slot is free, the taken-back ones included.
            m_freeSlots.clear();
            for (unsigned i = unsigned(m_buffers.size()); i-- > 0;)
                m_freeSlots.push_back(uint16_t(i));
            return false;
        }
        queued -= std::min<unsigned>(queued, unsigned(r));
        reap(out);
    }
    if (count > begin && m_notRun == count - begin) {
        // Nothing ran: this thread stops using io_uring (the entries are examined one by one).
        release();
        m_state = State::Failed;
        return false;
    }
    return true;
}

}  // namespace svl
