// The parallel folder walker: a pool of worker threads sharing one queue of folder jobs.
// Each job lists one folder (or one folder of a loaded raw index), examines its entries,
// writes its children into the tree as one block and queues a job for every child folder
// to enter. The scan drivers set a walk up (Shared), queue the root jobs, run the workers
// and read the figures afterwards.
//
// Threads: Shared is built and prepared on the driver's thread; runWorkers starts the pool
// and returns after joining it. During the walk the queue is guarded by one mutex, each
// hard-link shard by its own, the tree's bindSources and enteredMounts by the bind mutex; no
// lock is held while a folder is listed or examined.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/rawindex/RawIndex.h"
#include "core/scan/Boundaries.h"
#include "core/scan/DirectoryReader.h"
#include "core/scan/EnteredFolders.h"
#include "core/scan/MountWatch.h"
#include "core/scan/PageAllocator.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

struct statx;

namespace svl {

class ScanTree;

// A raw index being walked, with the mount points below the scan root (their folders in the
// index are examined on the live file system instead).
struct RawWalkContext {
    std::unique_ptr<RawIndex> index;
    uint64_t device = 0;                        // the volume's device number
    std::unordered_set<std::string> mountPaths;  // full paths of mount points below the root
    std::unordered_set<std::string> mountNames;  // their last path components
    EnteredFolders entered;                      // folder ids entered, the root's included
};

// One queued folder.
struct WalkJob {
    uint32_t nodeId = 0;
    std::string path;     // the folder's path as the walk reaches it
    double weight = 0;    // its share of the whole walk's progress fraction
    uint64_t device = 0;  // device number of the walk's root
    uint64_t id = 0;      // inode for folder walks, the raw index's entry id for raw walks
    RawWalkContext* context = nullptr;  // null for folder walks
    // A descriptor (O_PATH) of the folder, held by the driver for the whole walk: the folder is
    // listed through it instead of by `path`. A root's, so the walk reads what was examined.
    int handle = -1;
    // The device of the folder itself, whose mount every call about the folder is watched on.
    uint64_t mount = kUnknownMount;
};

// A worker's buffers for one folder: the listing, the examination results and the inode
// order. Buffers that grew for a large folder are handed between workers through the walk's
// spare buffers, so that their pages are touched once per walk, not once per thread.
struct WalkBuffers {
    FolderListing listing;
    std::vector<EntryStat, PageAllocator<EntryStat>> stats;
    std::vector<uint32_t, PageAllocator<uint32_t>> order;

    size_t capacityBytes() const {
        return listing.capacityBytes() + stats.capacity() * sizeof(EntryStat) + order.capacity() * sizeof(uint32_t);
    }
    void swap(WalkBuffers& other) noexcept {
        listing.entries.swap(other.listing.entries);
        listing.names.swap(other.listing.names);
        stats.swap(other.stats);
        order.swap(other.order);
    }
};

struct WorkerRecord;

// The state of one walk. Owned through a shared_ptr: a worker left stuck in a call to a mount
// that stopped answering keeps it until the kernel lets the worker go.
class Shared : public std::enable_shared_from_this<Shared> {
public:
    // `progress` may be null. The tree and options must outlive the walk.
    Shared(ScanTree& tree, const ScanOptions& options, ScanProgress* progress);
    ~Shared();
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    ScanTree* const tree;
    const ScanOptions* const options;
    ScanProgress* const progress;

    bool remote = false;      // the root lies on a network or FUSE file system
    bool rotational = false;  // the root lies on a spinning disk

    // Adds a raw index to walk, its root counted as entered; the returned context lives as long
    // as this state.
    RawWalkContext& addRawContext(std::unique_ptr<RawIndex> index, uint64_t device);
    bool isRawWalk() const { return !m_rawContexts.empty(); }

    // Fills the device groups, rewrite pairs and bind targets for the given roots.
    void prepareBoundaries(const std::vector<std::string>& roots);
    Boundaries& boundaries() { return m_boundaries; }

    // Queues a job before the workers run (pending += 1). May throw std::bad_alloc.
    void queueJob(WalkJob job);
    // Starts the workers (count from workerCount) and supervises them until the walk is over:
    // a worker whose call to a mount is given up (or that is stuck when the walk is cancelled)
    // is left behind, its folder marked unreadable with "does not answer" (ETIMEDOUT) and a
    // fresh worker started in its place. Never throws: a worker that fails stops the walk and
    // sets workerFailed; workers that cannot be started are done without (at least one works).
    void runWorkers(int32_t threads);
    // The automatic thread-count rule: `threads` when positive; else 2 on a spinning disk and
    // max(64, processors) otherwise for a folder walk; processors (at least 1) for a raw walk.
    static int workerCount(int32_t threads, bool rawWalk, bool rotational, unsigned processors);
    unsigned processors() const;

    // The cancel test used throughout the walk: at once for a folder walk, after a 3000 ms
    // grace (then graceExpired) for a raw walk.
    bool shouldStop();

    // Results.
    std::atomic<uint64_t> errors{0};
    std::atomic<bool> workerFailed{false};
    std::atomic<bool> graceExpired{false};
    int workersStarted = 0;  // threads that ran in the last runWorkers (the calling thread included)

    // Extra threads lent to statParallel right now (at most kMaxStatThreads).
    std::atomic<int32_t> statThreadsInUse{0};
    static constexpr int32_t kMaxStatThreads = 256;
    static constexpr int64_t kRawCancelGraceMs = 3000;

    // Makes the folder reader of each worker; tests replace it to inject faults.
    std::function<std::unique_ptr<DirectoryReader>(ReadMethod)> makeReader = makeDirectoryReader;

    // Hard-link detection: true when (device, inode) was already seen (this name is a further one).
    bool seenHardLink(uint64_t device, uint64_t inode);
    // Stores a bind source for a node under the bind mutex.
    void storeBindSource(uint32_t nodeId, std::string source);
    // Records a mount the walk enters, under the bind mutex.
    void storeEnteredMount(uint32_t nodeId, const ScanTree::MountIdentity& mount);

private:
    friend class Worker;
    friend struct WorkerSink;
    void workerLoop(const std::shared_ptr<WorkerRecord>& record);
    // Starts one worker thread; false when none could be started.
    bool startWorker();
    // Leaves a worker behind and ends its folder as not answering (queue mutex not held).
    void takeOver(WorkerRecord& record, bool noAnswer);
    // Records a folder the walk could not read for a reason worth naming.
    void storeFailedFolder(uint32_t nodeId, int error);
    // Ends a job: queues its new jobs (may be empty) and updates pending. Caller holds no lock.
    void finishJob(std::vector<WalkJob>& newJobs);
    // Ends a job that is dropped and stops the walk. Never throws.
    void dropJobAndStop();

    std::mutex m_queueMutex;
    std::condition_variable m_queueCondition;
    std::vector<std::shared_ptr<WorkerRecord>> m_workers;  // the driver's; jobs in hand under the queue mutex
    std::condition_variable m_driverWake;
    std::deque<WalkJob> m_jobs;
    int64_t m_pending = 0;
    int m_waiting = 0;
    std::atomic<bool> m_stop{false};

    using LinkKey = std::pair<uint64_t, uint64_t>;  // (device, inode)
    struct LinkKeyHash {
        size_t operator()(const LinkKey& k) const { return size_t((k.second * 0x9e3779b97f4a7c15ull) ^ k.first); }
    };
    struct LinkShard {
        std::mutex mutex;
        std::unordered_set<LinkKey, LinkKeyHash> seen;
    };
    static constexpr int kLinkShards = 64;
    LinkShard m_linkShards[kLinkShards];

    // Large-folder buffers kept between jobs (held by workers or spare), at most
    // kKeptBufferBudget bytes; the spare ones are guarded by the buffer mutex.
    std::atomic<int64_t> m_keptBufferBytes{0};
    static constexpr int64_t kKeptBufferBudget = int64_t(24) << 20;
    std::mutex m_bufferMutex;
    std::vector<WalkBuffers> m_spareBuffers;
    std::atomic<int> m_spareCount{0};
    std::atomic<int64_t> m_firstCancelMs{0};
    std::deque<RawWalkContext> m_rawContexts;
    Boundaries m_boundaries;
    std::mutex m_bindMutex;
};

// Examines entries [begin, end) of `listing` (dirfd-relative) with extra threads: at most
// min(maxThreads, 256 - threads already lent in this walk). Returns 1 when it did (entries a
// cancel cut short stay at kNotExamined), 0 when it could not get at least 2 threads (the
// caller examines them itself). A thread that cannot be started leaves its share to the
// calling thread.
// `tally`, when set, gets each examined entry added to its folders (a folder) or files
// (anything else, failures included) as the threads go.
// Every examination is watched on `mount`; the extra threads share the calling thread's watch
// (a call of theirs given up is the caller's), and one left stuck keeps what it uses.
int statParallel(Shared& shared, int dirfd, const FolderListing& listing, EntryStat* out, int maxThreads,
                 size_t begin = 0, size_t end = SIZE_MAX, ScanProgress* tally = nullptr,
                 MountKey mount = kUnknownMount);

// Fills the context's mount-point sets with the mount points strictly below `rootPath`.
void collectMountPointsBelow(RawWalkContext& context, const std::string& rootPath);

// A root as the walk takes it: its walk path and, for a folder, a descriptor (O_PATH) of it,
// which the root job lists. Owns the descriptor; move-only.
struct ScanRoot {
    std::string walkPath;
    int handle = -1;

    ScanRoot() = default;
    ScanRoot(std::string path, int fd) : walkPath(std::move(path)), handle(fd) {}
    ScanRoot(ScanRoot&& other) noexcept : walkPath(std::move(other.walkPath)), handle(std::exchange(other.handle, -1)) {}
    ScanRoot& operator=(ScanRoot&& other) noexcept;
    ScanRoot(const ScanRoot&) = delete;
    ScanRoot& operator=(const ScanRoot&) = delete;
    ~ScanRoot();
};


}  // namespace svl
