#include "core/scan/FolderWalker.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "core/analysis/FilterMatch.h"
#include "core/scan/MountTable.h"
#include "core/tree/ScanTree.h"
#include "core/tree/Saturating.h"

namespace svl {

namespace {

constexpr size_t kParallelStatEntries = 8192;
constexpr size_t kParallelStatEntriesRemote = 100;
constexpr int kParallelStatThreads = 8;
constexpr int kParallelStatThreadsRemote = 48;
constexpr size_t kStopCheckEntries = 32;
// A large folder is examined and classified in slices of this many entries, its counts
// reaching the progress record after each: a folder of a million entries shows its
// progress while it is read, not only once it is done.
constexpr size_t kProgressSliceEntries = 16384;
constexpr size_t kProgressSliceEntriesRemote = 512;
constexpr size_t kStatParallelStopCheck = 16;
constexpr size_t kTallyFlushEntries = 1024;

// What a mount point of another file system is listed as: a folder with no figures (asking
// the mount for them could wait for ever) on device 0, which is no file system's, so the
// one-file-system test stops there.
constexpr EntryStat kForeignMountStat{.result = 0, .mode = S_IFDIR | 0755, .nlink = 1};

int64_t steadyMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// folder + "/" + name, without doubling a trailing "/".
void joinPath(std::string& out, const std::string& folder, const char* name, size_t nameLength) {
    out.assign(folder);
    if (out.empty() || out.back() != '/')
        out.push_back('/');
    out.append(name, nameLength);
}

// Closes a folder descriptor on every way out of walkFolder.
class FolderHandle {
public:
    FolderHandle(DirectoryReader& reader, int fd) : m_reader(reader), m_fd(fd) {}
    ~FolderHandle() { close(); }
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    int fd() const { return m_fd; }
    void close() {
        if (m_fd >= 0)
            m_reader.close(m_fd);
        m_fd = -1;
    }

private:
    DirectoryReader& m_reader;
    int m_fd;
};

}  // namespace

// One worker thread as its walk's driver sees it.
struct WorkerRecord {
    enum Phase : int { Idle, Working, InSlices, Taken };
    std::thread thread;
    std::shared_ptr<struct WorkerSink> sink;
    mountwatch_detail::Slot* slot = nullptr;  // the thread's own watch, set before its first job
    std::atomic<int> phase{Idle};
    std::atomic<bool> exited{false};
    // The job in hand (queue mutex).
    uint32_t nodeId = 0;
    double weight = 0;
    bool holdsJob = false;
};

// Told by the watch when a call of a worker (or of the extra threads it lent) is given up.
struct WorkerSink final : GiveUpSink {
    std::weak_ptr<Shared> walk;
    std::atomic<bool> given{false};
    void givenUp() override {
        given = true;
        if (auto shared = walk.lock()) {
            std::lock_guard lock(shared->m_queueMutex);
            shared->m_driverWake.notify_all();
        }
    }
};

namespace {
thread_local WorkerRecord* t_record = nullptr;

// Whether an error keeps a folder unread for a reason the user is told by name: not a denial,
// which the tree shows, nor a folder gone meanwhile.
bool worthNaming(int error) { return error != 0 && error != EACCES && error != EPERM && error != ENOENT; }
}  // namespace

// The per-thread part of the walk: the reader with its buffers, the folder's listing, stat
// results and new jobs, all reused from job to job.
class Worker {
public:
    explicit Worker(Shared& shared) : m_s(shared), m_tree(*shared.tree), m_options(*shared.options) {}

    // Reads the folder of one job; appends the jobs of the subfolders to enter to `newJobs`.
    // Writes nothing when the walk is to stop. Throws std::bad_alloc when the tree is full.
    void walkFolder(const WalkJob& job, std::vector<WalkJob>& newJobs);
    // Before a job: takes spare large buffers another worker left, when there are any.
    void takeSpareBuffers() {
        if (m_kept || m_s.m_spareCount.load(std::memory_order_relaxed) == 0)
            return;
        std::lock_guard<std::mutex> lock(m_s.m_bufferMutex);
        if (m_s.m_spareBuffers.empty())
            return;
        m_buf.swap(m_s.m_spareBuffers.back());
        m_s.m_spareBuffers.pop_back();  // frees this worker's own small buffers
        m_s.m_spareCount.fetch_sub(1);
        m_kept = m_buf.capacityBytes();  // already counted in the budget
    }
    // After a job: large buffers become spare for the next large folder while the walk's
    // budget allows; otherwise they are given back.
    void trim() {
        const size_t bytes = m_buf.capacityBytes();
        if (bytes <= kFreeBufferBytes)
            return;
        const int64_t delta = int64_t(bytes) - int64_t(m_kept);
        if (m_s.m_keptBufferBytes.fetch_add(delta) + delta <= Shared::kKeptBufferBudget) {
            std::lock_guard<std::mutex> lock(m_s.m_bufferMutex);
            m_s.m_spareBuffers.emplace_back();
            m_s.m_spareBuffers.back().swap(m_buf);
            m_s.m_spareCount.fetch_add(1);
            m_kept = 0;
            return;
        }
        m_s.m_keptBufferBytes.fetch_sub(delta + int64_t(m_kept));
        m_kept = 0;
        WalkBuffers().swap(m_buf);
    }
    ~Worker() { m_s.m_keptBufferBytes.fetch_sub(int64_t(m_kept)); }
    void markUnreadable(const WalkJob& job, int error);

private:
    struct Counts {
        uint64_t files = 0;
        uint64_t folders = 0;
        uint64_t allocated = 0;
        uint64_t errors = 0;
        bool dropped = false;  // an entry was marked excluded other than by the scan filter
    };

    // Notes the mount identity of an entry that is a mount's root the walk enters (asked of
    // the folder it is in, while that is open; the tree gets it with the entry's node).
    void noteEnteredMount(const WalkJob& job, const WalkEntry& e, const EntryStat& st);
    // Marks the listed entries that are mount points of other file systems (`fd`: the folder,
    // or -1 when it is not open).
    void markForeignMounts(const WalkJob& job, int fd);
    // Examines and classifies the listed entries of a folder walk, slice by slice; false when
    // the walk is to stop.
    bool examineAndClassify(const WalkJob& job, int fd, Counts& counts);
    // Whether a folder of this many entries is examined in batches (io_uring, extra threads).
    bool batchable(size_t entries) const;
    // Examines entries [begin, end) at once where a batch method applies; false: one by one.
    // `tally`, when set, gets the files and folders examined by extra threads.
    bool examineBatch(const WalkJob& job, int fd, size_t begin, size_t end, ScanProgress* tally);
    // Adds what the folder counted since the last report to the progress record.
    void reportCounts(const Counts& counts);
    void examineRaw(const WalkJob& job, const WalkEntry& e, EntryStat& st);
    void classify(const WalkJob& job, WalkEntry& e, const EntryStat& st, Counts& counts);
    void writeNodes(const WalkJob& job, std::vector<WalkJob>& newJobs, const Counts& counts);
    DirectoryReader& reader() {
        if (!m_reader)
            m_reader = m_s.makeReader(ReadMethod(m_options.readMethod));
        return *m_reader;
    }

    Shared& m_s;
    ScanTree& m_tree;
    const ScanOptions& m_options;
    std::unique_ptr<DirectoryReader> m_reader;
    WalkBuffers m_buf;
    FolderListing& m_listing = m_buf.listing;
    std::vector<EntryStat, PageAllocator<EntryStat>>& m_stats = m_buf.stats;
    std::vector<uint32_t, PageAllocator<uint32_t>>& m_order = m_buf.order;
    std::vector<RawChild> m_rawChildren;
    std::vector<std::string> m_bindSources;
    // Mount roots among the entries: name offset and identity.
    struct EnteredMount {
        uint32_t nameOffset;
        ScanTree::MountIdentity identity;
        bool known;  // the kernel confirmed it as a mount's root
    };
    std::vector<EnteredMount> m_enteredMounts;
    int m_folderFd = -1;  // the folder being examined, -1 in a raw walk
    std::string m_path;
    std::string m_name;
    Counts m_reported;  // the current folder's counts already in the progress record
    size_t m_kept = 0;  // bytes of this worker's buffers counted in the walk's budget (taken spares)
    // Buffers up to this size are kept without counting (ordinary folders).
    static constexpr size_t kFreeBufferBytes = size_t(256) << 10;
};

void Worker::noteEnteredMount(const WalkJob& job, const WalkEntry& e, const EntryStat& st) {
    // Rare (once per mount entered), so the mount id is asked apart from the examination; of
    // what the kernel holds, as the entry was just examined.
    struct statx sx {};
    constexpr int kFlags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC;
    const char* name = m_listing.name(e);
    std::string path;
    if (m_folderFd < 0)
        joinPath(path, job.path, name, std::strlen(name));
    const int result = watchedOrThrow(job.mount, [&] {
                           return m_folderFd >= 0 ? statx(m_folderFd, name, kFlags, STATX_INO | STATX_MNT_ID, &sx)
                                                  : statx(AT_FDCWD, path.c_str(), kFlags, STATX_INO | STATX_MNT_ID, &sx);
                       }).value_or(-1);
    const bool known = result == 0 && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    m_enteredMounts.push_back(
        {e.nameOffset, {st.dev, sx.stx_ino, known && (sx.stx_mask & STATX_MNT_ID) ? sx.stx_mnt_id : 0}, known});
}

void Worker::markUnreadable(const WalkJob& job, int error) {
    ScanNode& n = m_tree.node(job.nodeId);
    n.flags |= NodeFlag::Unreadable;
    if (error == EACCES || error == EPERM)
        n.flags |= NodeFlag::AccessDenied;
    if (worthNaming(error))
        m_s.storeFailedFolder(job.nodeId, error);
    m_s.errors.fetch_add(1);
    if (m_s.progress) {
        m_s.progress->errorCount.fetch_add(1);
        m_s.progress->addFraction(job.weight);
    }
}

void Worker::markForeignMounts(const WalkJob& job, int fd) {
    const std::unordered_set<std::string>* names = m_s.boundaries().foreignMountsIn(job.path);
    if (!names)
        return;
    int own = -1;
    for (WalkEntry& e : m_listing.entries) {
        m_name.assign(m_listing.name(e));
        if (!names->count(m_name))
            continue;
        if (fd < 0 && own < 0)
            own = watchedOrThrow(job.mount, [&] { return ::open(job.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); })
                      .value_or(-1);
        // The table may be older than the folder: only a name that is a mount point now counts.
        const int in = fd >= 0 ? fd : own;
        e.foreignMount = watchedOrThrow(job.mount, [&] { return isMountPointIn(in, m_name.c_str()); }).value_or(false);
    }
    if (own >= 0)
        ::close(own);
}

bool Worker::batchable(size_t entries) const {
    return ReadMethod(m_options.readMethod) == ReadMethod::GetdentsIoUring ||
           entries >= (m_s.remote ? kParallelStatEntriesRemote : kParallelStatEntries);
}

bool Worker::examineBatch(const WalkJob& job, int fd, size_t begin, size_t end, ScanProgress* tally) {
    if (begin >= end)
        return false;
    if (ReadMethod(m_options.readMethod) == ReadMethod::GetdentsIoUring) {
        if (reader().examineBatch(fd, m_listing, begin, end, m_stats.data()))
            return true;
    }
    if (m_listing.entries.size() >= (m_s.remote ? kParallelStatEntriesRemote : kParallelStatEntries))
        return statParallel(m_s, fd, m_listing, m_stats.data(),
                            m_s.remote ? kParallelStatThreadsRemote : kParallelStatThreads, begin, end, tally,
                            job.mount) == 1;
    return false;
}

bool Worker::examineAndClassify(const WalkJob& job, int fd, Counts& counts) {
    auto& entries = m_listing.entries;
    const size_t n = entries.size();
    // On a spinning disk entries are examined one by one in inode order, keeping the head
    // moving one way; elsewhere in listing order, in batches where a method allows.
    const bool inodeOrder = m_s.rotational && n >= 2;
    if (inodeOrder) {
        m_order.resize(n);
        for (uint32_t i = 0; i < n; ++i)
            m_order[i] = i;
        std::sort(m_order.begin(), m_order.end(), [&](uint32_t a, uint32_t b) {
            return entries[a].id != entries[b].id ? entries[a].id < entries[b].id : a < b;
        });
    }
    const bool batches = !inodeOrder && batchable(n);
    if (batches)
        m_stats.assign(n, EntryStat{});
    // Extra threads examining the whole folder at once count what they examine themselves,
    // which is what classifying counts unless a scan filter leaves entries out; otherwise
    // the folder goes in slices (rounds of extra threads would each wait for the slowest).
    ScanProgress* tally = m_s.progress && !m_options.exclude && batches &&
                                  ReadMethod(m_options.readMethod) != ReadMethod::GetdentsIoUring
                              ? m_s.progress
                              : nullptr;
    const size_t slice = tally ? n : m_s.remote ? kProgressSliceEntriesRemote : kProgressSliceEntries;
    for (size_t begin = 0; begin < n; begin += slice) {
        const size_t end = std::min(n, begin + slice);
        const bool batch = batches && examineBatch(job, fd, begin, end, tally);
        if (batch && tally) {
            for (size_t i = begin; i < end; ++i) {
                const EntryStat& st = m_stats[i];
                if (st.result != EntryStat::kNotExamined)
                    ++(st.result == 0 && S_ISDIR(st.mode) ? m_reported.folders : m_reported.files);
            }
        }
        for (size_t k = begin; k < end; ++k) {
            if (k % kStopCheckEntries == 0 && m_s.shouldStop())
                return false;
            const uint32_t i = inodeOrder ? m_order[k] : uint32_t(k);
            EntryStat st;
            if (entries[i].foreignMount)
                st = kForeignMountStat;
            else if (batch && m_stats[i].result != EntryStat::kNotExamined)
                st = m_stats[i];
            else
                statEntry(fd, m_listing.name(entries[i]), st, job.mount);
            classify(job, entries[i], st, counts);
        }
        if (end < n)
            reportCounts(counts);
    }
    return true;
}

void Worker::reportCounts(const Counts& counts) {
    ScanProgress* p = m_s.progress;
    if (!p)
        return;
    p->files.fetch_add(counts.files - m_reported.files, std::memory_order_relaxed);
    p->folders.fetch_add(counts.folders - m_reported.folders, std::memory_order_relaxed);
    p->allocatedBytes.fetch_add(counts.allocated - m_reported.allocated, std::memory_order_relaxed);
    m_reported.files = counts.files;
    m_reported.folders = counts.folders;
    m_reported.allocated = counts.allocated;
}

void Worker::examineRaw(const WalkJob& job, const WalkEntry& e, EntryStat& st) {
    if (e.foreignMount) {
        st = kForeignMountStat;
        return;
    }
    const RawWalkContext& ctx = *job.context;
    RawStat rs;
    if (!ctx.index->stat(e.id, &rs)) {
        st.result = -EIO;
        return;
    }
    st.result = 0;
    st.mode = rs.mode;
    st.nlink = rs.links;
    st.ino = e.id;
    st.dev = job.device;
    st.size = rs.size;
    st.blocks = rs.allocated;
    st.mtime = rs.mtime;
    if (!S_ISDIR(rs.mode))
        return;
    const char* name = m_listing.name(e);
    bool live = ctx.index->isSubvolumeLink(e.id);
    if (!live && !ctx.mountNames.empty()) {
        m_name.assign(name);
        if (ctx.mountNames.count(m_name)) {
            joinPath(m_path, job.path, name, std::strlen(name));
            live = ctx.mountPaths.count(m_path) > 0;
        }
    }
    if (live) {
        // A mount point or subvolume: the live file system knows what is really there.
        joinPath(m_path, job.path, name, std::strlen(name));
        EntryStat now;
        statEntry(AT_FDCWD, m_path.c_str(), now, job.mount);
        if (now.result == 0)
            st = now;
    }
}

void Worker::classify(const WalkJob& job, WalkEntry& e, const EntryStat& st, Counts& counts) {
    if (st.result != 0) {
        e.flags = NodeFlag::Unreadable;
        ++counts.errors;
        ++counts.files;
        return;
    }
    const bool isDir = S_ISDIR(st.mode);
    const bool isLink = S_ISLNK(st.mode);
    const char* name = m_listing.name(e);
    if (m_options.exclude) {
        FilterEntry fe;
        fe.name = std::string_view(name);
        fe.folderPath = job.path;
        fe.isFolder = isDir;
        fe.size = isDir ? 0 : st.size;
        fe.allocated = st.blocks * 512;
        fe.modified = st.mtime;
        if (filterMatchesEntry(fe, *m_options.exclude)) {
            e.excluded = 1;
            return;
        }
    }
    if (isDir && job.context && !job.context->entered.enter(e.id)) {
        // A damaged volume lists this folder a second time (inside itself, say): entering it
        // again could go on for ever, so the entry is left out and counted as an error.
        e.excluded = 1;
        counts.dropped = true;
        ++counts.errors;
        return;
    }
    e.allocated = st.blocks * 512;
    e.modified = st.mtime;
    uint16_t base;
    if (st.mode & 0222)
        base = isDir ? NodeFlag::Folder : isLink ? NodeFlag::Symlink : 0;
    else
        base = isLink ? NodeFlag::Symlink : isDir ? (NodeFlag::Folder | NodeFlag::ReadOnly) : NodeFlag::ReadOnly;
    e.flags = base;
    if (isDir) {
        e.size = 0;
        ++counts.folders;
        counts.allocated = saturatingAdd(counts.allocated, e.allocated);
        if (m_options.oneFileSystem && m_s.boundaries().onOtherFileSystem(st.dev, job.device)) {
            e.flags |= NodeFlag::OtherDevice;
        } else if (m_s.boundaries().hasBindTargets()) {
            if (auto source = m_s.boundaries().bindSource(job.path, std::string_view(name, std::strlen(name)))) {
                e.flags |= NodeFlag::BindMount | NodeFlag::OtherDevice;
                e.bindIndex = int32_t(m_bindSources.size());
                m_bindSources.push_back(std::move(*source));
            } else {
                e.descend = st.mountRoot ? 2 : 1;
            }
        } else {
            e.descend = st.mountRoot ? 2 : 1;
        }
        if (e.descend == 2)
            noteEnteredMount(job, e, st);
        return;
    }
    e.size = st.size;
    ++counts.files;
    if (S_ISREG(st.mode) && st.nlink > 1) {
        if (e.linkRole == 2 || (e.linkRole == 0 && m_s.seenHardLink(st.dev, st.ino)))
            e.flags |= NodeFlag::ExtraHardLink;
    }
    if (!(e.flags & NodeFlag::ExtraHardLink))
        counts.allocated = saturatingAdd(counts.allocated, e.allocated);
}

void Worker::walkFolder(const WalkJob& job, std::vector<WalkJob>& newJobs) {
    m_listing.clear();
    m_bindSources.clear();
    m_enteredMounts.clear();
    m_folderFd = -1;
    newJobs.clear();
    m_reported = Counts();
    Counts counts;

    // 1. Listing.
    std::optional<FolderHandle> handle;
    int fd = -1;
    if (job.context) {
        if (!job.context->index->children(job.id, &m_rawChildren)) {
            markUnreadable(job, 0);
            return;
        }
        for (const RawChild& c : m_rawChildren) {
            const size_t before = m_listing.entries.size();
            m_listing.append(c.name, c.nameLength, c.id);
            if (m_listing.entries.size() != before)
                m_listing.entries.back().linkRole = c.linkRole;
        }
        markForeignMounts(job, -1);
        if (m_s.shouldStop())
            return;
    } else {
        DirectoryReader& r = reader();
        r.watchOn(job.mount);
        fd = job.handle >= 0 ? r.openHandle(job.handle) : r.open(job.path);
        if (fd < 0) {
            markUnreadable(job, -fd);
            return;
        }
        handle.emplace(r, fd);
        int error = 0;
        const auto result = r.list(fd, m_listing, [this] { return m_s.shouldStop(); }, &error);
        if (result == DirectoryReader::ListResult::Failed) {
            handle.reset();
            markUnreadable(job, error);
            return;
        }
        if (result == DirectoryReader::ListResult::Stopped)
            return;
        if (result == DirectoryReader::ListResult::Truncated) {
            // A listing that broke off is no folder's whole content: unread, with its error.
            handle.reset();
            markUnreadable(job, error);
            return;
        }
        m_folderFd = fd;
        markForeignMounts(job, fd);
    }

    // 2-3. Examining and classifying.
    auto& entries = m_listing.entries;
    if (job.context) {
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i % kStopCheckEntries == 0 && m_s.shouldStop())
                return;
            EntryStat st;
            examineRaw(job, entries[i], st);
            classify(job, entries[i], st, counts);
        }
    } else if (!examineAndClassify(job, fd, counts)) {
        return;
    }

    // 4. Close the folder.
    handle.reset();

    // 5. Leave out the excluded entries, keeping the order of the rest.
    if (m_options.exclude || counts.dropped)
        std::erase_if(entries, [](const WalkEntry& e) { return e.excluded != 0; });

    writeNodes(job, newJobs, counts);
}

void Worker::writeNodes(const WalkJob& job, std::vector<WalkJob>& newJobs, const Counts& counts) {
    auto& entries = m_listing.entries;
    const size_t kept = entries.size();
    if (kept > 0) {
        // Names first, then records, then the records are written at once: a failing claim never
        // leaves claimed records unwritten below the point where claims started failing.
        char* pool = m_tree.allocateNames(m_listing.names.size());
        const uint32_t first = m_tree.allocateNodes(uint32_t(kept));
        std::memcpy(pool, m_listing.names.data(), m_listing.names.size());
        for (size_t j = 0; j < kept; ++j) {
            const WalkEntry& e = entries[j];
            m_tree.node(first + uint32_t(j)) =
                ScanNode{pool + e.nameOffset, e.size, e.allocated, e.modified, job.nodeId, 0, 0, 0, 0, e.nameLength,
                         e.flags};
        }
        ScanNode& folder = m_tree.node(job.nodeId);
        folder.firstChild = first;
        folder.childCount = uint32_t(kept);

        size_t descend = 0;
        for (size_t j = 0; j < kept; ++j) {
            const WalkEntry& e = entries[j];
            if (e.bindIndex >= 0)
                m_s.storeBindSource(first + uint32_t(j), std::move(m_bindSources[size_t(e.bindIndex)]));
            descend += e.descend != 0;
        }
        if (descend > 0) {
            newJobs.reserve(descend);
            const double share = job.weight / double(descend);
            for (size_t j = 0; j < kept; ++j) {
                const WalkEntry& e = entries[j];
                if (!e.descend)
                    continue;
                WalkJob sub;
                sub.nodeId = first + uint32_t(j);
                joinPath(sub.path, job.path, pool + e.nameOffset, std::strlen(pool + e.nameOffset));
                sub.weight = share;
                sub.device = job.device;
                sub.id = e.id;
                // Nested subvolumes and mount points below the root are not held by the index:
                // their folders are walked on the live file system.
                const RawWalkContext* ctx = job.context;
                const bool live = ctx && (ctx->index->isSubvolumeLink(e.id) ||
                                          (!ctx->mountPaths.empty() && ctx->mountPaths.count(sub.path) > 0));
                sub.context = live ? nullptr : job.context;
                sub.mount = job.mount;
                if (e.descend == 2) {
                    for (const EnteredMount& m : m_enteredMounts) {
                        if (m.nameOffset != e.nameOffset)
                            continue;
                        sub.mount = m.identity.device;
                        if (m.known)
                            m_s.storeEnteredMount(sub.nodeId, m.identity);
                    }
                }
                newJobs.push_back(std::move(sub));
            }
        }
    }

    if (counts.errors)
        m_s.errors.fetch_add(counts.errors);
    if (ScanProgress* p = m_s.progress) {
        if (counts.errors)
            p->errorCount.fetch_add(counts.errors);
        if (newJobs.empty())
            p->addFraction(job.weight);
        if (!job.context)
            reportCounts(counts);
    }
}

// ---- Shared -------------------------------------------------------------------------------

Shared::Shared(ScanTree& t, const ScanOptions& o, ScanProgress* p) : tree(&t), options(&o), progress(p) {}

Shared::~Shared() = default;

RawWalkContext& Shared::addRawContext(std::unique_ptr<RawIndex> index, uint64_t device) {
    RawWalkContext& ctx = m_rawContexts.emplace_back();
    ctx.index = std::move(index);
    ctx.device = device;
    ctx.entered.enter(ctx.index->rootId());
    return ctx;
}

void Shared::prepareBoundaries(const std::vector<std::string>& roots) {
    m_boundaries.prepare(roots, options->oneFileSystem, options->detectBindMounts);
}

void Shared::queueJob(WalkJob job) {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_jobs.push_back(std::move(job));
    ++m_pending;
}

unsigned Shared::processors() const {
    return options->hardwareThreads ? options->hardwareThreads : std::thread::hardware_concurrency();
}

int Shared::workerCount(int32_t threads, bool rawWalk, bool rotational, unsigned processors) {
    if (threads > 0)
        return threads;
    if (rawWalk)
        return processors ? int(std::min<unsigned>(processors, INT_MAX)) : 1;
    if (rotational)
        return 2;
    return int(std::max<unsigned>(64, std::min<unsigned>(processors, INT_MAX)));
}

bool Shared::shouldStop() {
    if (!progress || !progress->cancel.load(std::memory_order_relaxed))
        return false;
    if (m_rawContexts.empty())
        return true;
    const int64_t now = steadyMillis() + 1;
    int64_t first = m_firstCancelMs.load();
    if (first == 0) {
        if (m_firstCancelMs.compare_exchange_strong(first, now))
            return false;
    }
    if (now - first >= kRawCancelGraceMs) {
        graceExpired = true;
        return true;
    }
    return false;
}

bool Shared::seenHardLink(uint64_t device, uint64_t inode) {
    const uint64_t mix = (inode * 0x9e3779b97f4a7c15ull) ^ (device * 0xc2b2ae3d27d4eb4full);
    LinkShard& shard = m_linkShards[mix >> 58];
    std::lock_guard<std::mutex> lock(shard.mutex);
    return !shard.seen.emplace(device, inode).second;
}

void Shared::storeBindSource(uint32_t nodeId, std::string source) {
    std::lock_guard<std::mutex> lock(m_bindMutex);
    tree->bindSources[nodeId] = std::move(source);
}

void Shared::storeEnteredMount(uint32_t nodeId, const ScanTree::MountIdentity& mount) {
    std::lock_guard<std::mutex> lock(m_bindMutex);
    tree->enteredMounts[nodeId] = mount;
}

void Shared::dropJobAndStop() {
    m_stop = true;
    try {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        --m_pending;
    } catch (...) {
        // Waiters look at the stop flag at least every 100 ms.
    }
    m_queueCondition.notify_all();
}

void Shared::finishJob(std::vector<WalkJob>& newJobs) {
    size_t wake = 0;
    bool wakeAll = false;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (newJobs.empty()) {
            wakeAll = --m_pending == 0 || m_stop;
        } else {
            for (WalkJob& j : newJobs)
                m_jobs.push_back(std::move(j));
            m_pending += int64_t(newJobs.size()) - 1;
            wake = std::min<size_t>(newJobs.size(), size_t(m_waiting));
            wakeAll = wake == size_t(m_waiting);
        }
    }
    newJobs.clear();
    if (wakeAll)
        m_queueCondition.notify_all();
    else
        for (size_t i = 0; i < wake; ++i)
            m_queueCondition.notify_one();
}

void Shared::workerLoop(const std::shared_ptr<WorkerRecord>& record) {
    t_record = record.get();
    bindThreadToSink(record->sink);
    record->slot = mountwatch_detail::threadSlot();
    struct Exit {
        Shared& walk;
        WorkerRecord& record;
        ~Exit() {
            t_record = nullptr;
            {
                std::lock_guard<std::mutex> lock(walk.m_queueMutex);
                record.exited = true;
            }
            walk.m_driverWake.notify_all();
        }
    } exit{*this, *record};
    try {
        Worker worker(*this);
        std::vector<WalkJob> newJobs;
        for (;;) {
            WalkJob job;
            {
                std::unique_lock<std::mutex> lock(m_queueMutex);
                for (;;) {
                    if (m_stop || record->phase.load() == WorkerRecord::Taken)
                        return;
                    if (!m_jobs.empty()) {
                        job = std::move(m_jobs.front());
                        m_jobs.pop_front();
                        record->nodeId = job.nodeId;
                        record->weight = job.weight;
                        record->holdsJob = true;
                        record->phase = WorkerRecord::Working;
                        break;
                    }
                    if (m_pending <= 0)
                        return;
                    ++m_waiting;
                    m_queueCondition.wait_for(lock, std::chrono::milliseconds(100));
                    --m_waiting;
                }
            }
            if (shouldStop()) {
                dropJobAndStop();
                continue;
            }
            try {
                worker.takeSpareBuffers();
                worker.walkFolder(job, newJobs);
                worker.trim();
            } catch (const CallGivenUp&) {
                throw;
            } catch (...) {
                workerFailed = true;
                dropJobAndStop();
                continue;
            }
            int working = WorkerRecord::Working;
            {
                std::lock_guard<std::mutex> lock(m_queueMutex);
                if (!record->phase.compare_exchange_strong(working, WorkerRecord::Idle))
                    throw CallGivenUp{};  // the driver has ended this job
                record->holdsJob = false;
            }
            finishJob(newJobs);
        }
    } catch (const CallGivenUp&) {
        // Left behind: the driver has ended the job; nothing of the walk is touched any more.
    } catch (...) {
        // A lock or an allocation failed outside a folder: the walk cannot go on safely.
        workerFailed = true;
        m_stop = true;
        m_queueCondition.notify_all();
    }
}

bool Shared::startWorker() {
    auto record = std::make_shared<WorkerRecord>();
    record->sink = std::make_shared<WorkerSink>();
    record->sink->walk = weak_from_this();
    try {
        std::shared_ptr<Shared> self = shared_from_this();
        record->thread = std::thread([self, record] { self->workerLoop(record); });
    } catch (...) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_workers.push_back(std::move(record));
    return true;
}

void Shared::storeFailedFolder(uint32_t nodeId, int error) {
    std::lock_guard<std::mutex> lock(m_bindMutex);
    tree->failedFolders.push_back({nodeId, error});
}

void Shared::takeOver(WorkerRecord& record, bool noAnswer) {
    record.sink->abandoned = true;
    record.thread.detach();
    if (!noAnswer)
        return;  // a cancel: the walk is incomplete anyway
    bool holdsJob = false;
    uint32_t nodeId = 0;
    double weight = 0;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        holdsJob = record.holdsJob;
        nodeId = record.nodeId;
        weight = record.weight;
        record.holdsJob = false;
    }
    if (!holdsJob)
        return;
    ScanNode& node = tree->node(nodeId);
    node.flags |= NodeFlag::Unreadable;
    storeFailedFolder(nodeId, kNoAnswerErrno);
    errors.fetch_add(1);
    if (progress) {
        progress->errorCount.fetch_add(1);
        progress->addFraction(weight);
    }
    std::vector<WalkJob> none;
    finishJob(none);
}

void Shared::runWorkers(int32_t threads) {
    workersStarted = 0;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_pending <= 0 || m_stop)
            return;
    }
    const int count = workerCount(threads, isRawWalk(), rotational, processors());
    if (weak_from_this().expired()) {
        // Not owned by a shared_ptr: the calling thread works alone and nothing is left behind.
        auto record = std::make_shared<WorkerRecord>();
        record->sink = std::make_shared<WorkerSink>();
        workersStarted = 1;
        workerLoop(record);
        bindThreadToSink(nullptr);
        return;
    }
    for (int i = 0; i < count; ++i)
        if (!startWorker())
            break;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        workersStarted = int(m_workers.size());
    }
    if (workersStarted == 0) {
        // No thread at all: the calling thread walks, unsupervised.
        auto record = std::make_shared<WorkerRecord>();
        record->sink = std::make_shared<WorkerSink>();
        record->sink->walk = weak_from_this();
        workersStarted = 1;
        workerLoop(record);
        bindThreadToSink(nullptr);
        return;
    }
    // Supervise: leave behind the workers whose calls were given up, and on a cancel those
    // still waiting in a call, until every other worker has ended.
    for (;;) {
        std::vector<std::shared_ptr<WorkerRecord>> workers;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            m_driverWake.wait_for(lock, std::chrono::milliseconds(20));
            workers = m_workers;
        }
        const bool stopping = m_stop || (progress && progress->cancel.load());
        bool running = false;
        int takenNow = 0;
        for (const auto& record : workers) {
            if (record->exited || record->phase.load() == WorkerRecord::Taken)
                continue;
            int phase = record->phase.load();
            bool leave = false;
            if (record->sink->given.load()) {
                leave = (phase == WorkerRecord::Working || phase == WorkerRecord::InSlices) &&
                        record->phase.compare_exchange_strong(phase, WorkerRecord::Taken);
            } else if (stopping && (phase == WorkerRecord::Working || phase == WorkerRecord::InSlices)) {
                // A cancel: a worker waiting in a call is left there; one at work gets to a check soon.
                record->sink->abandoned = true;
                giveUpCallsBoundTo(record->sink.get());
                const bool waiting = phase == WorkerRecord::InSlices ||
                                     (record->slot && mountwatch_detail::giveUpCall(record->slot));
                leave = waiting && record->phase.compare_exchange_strong(phase, WorkerRecord::Taken);
            }
            if (leave) {
                takeOver(*record, record->sink->given.load());
                ++takenNow;
                continue;
            }
            running = true;
        }
        if (takenNow > 0 && !stopping)
            for (int i = 0; i < takenNow; ++i)
                startWorker();
        if (!running && takenNow == 0) {
            bool anyLeft = false;
            {
                std::lock_guard<std::mutex> lock(m_queueMutex);
                for (const auto& record : m_workers)
                    anyLeft = anyLeft || (!record->exited && record->phase.load() != WorkerRecord::Taken);
            }
            if (!anyLeft)
                break;
        }
    }
    std::vector<std::shared_ptr<WorkerRecord>> workers;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        workers.swap(m_workers);
    }
    for (const auto& record : workers)
        if (record->thread.joinable())
            record->thread.join();
}

// ---- statParallel, mount points, root path ------------------------------------------------

namespace {

// One thread's share of statParallel: entries k, k + count, k + 2 count, ...
struct StatSlice {
    Shared* shared;
    int dirfd;
    const FolderListing* listing;
    EntryStat* out;
    int count;
    int k;
    size_t begin;
    size_t end;
    ScanProgress* tally;  // counts what it examines as files and folders; may be null
    MountKey mount;
    std::shared_ptr<GiveUpSink> sink;  // the calling worker's

    // False when a call was given up (the thread is then left behind with its worker).
    bool run() const {
        try {
            examine();
            return true;
        } catch (const CallGivenUp&) {
            return false;
        }
    }
    void examine() const {
        size_t done = 0;
        uint64_t files = 0, folders = 0;
        const auto flush = [&] {
            tally->files.fetch_add(files, std::memory_order_relaxed);
            tally->folders.fetch_add(folders, std::memory_order_relaxed);
            files = folders = 0;
        };
        for (size_t i = begin + size_t(k); i < end; i += size_t(count)) {
            if (mountwatch_detail::threadAbandoned())
                throw CallGivenUp{};
            if (done++ % kStatParallelStopCheck == 0 && shared->shouldStop())
                break;
            if (listing->entries[i].foreignMount)
                continue;
            statEntry(dirfd, listing->name(listing->entries[i]), out[i], mount);
            if (!tally)
                continue;
            ++(out[i].result == 0 && S_ISDIR(out[i].mode) ? folders : files);
            if (done % kTallyFlushEntries == 0)
                flush();
        }
        if (tally)
            flush();
    }
    static void* thread(void* slice) {
        const auto* self = static_cast<const StatSlice*>(slice);
        bindThreadToSink(self->sink);
        self->run();
        bindThreadToSink(nullptr);
        return nullptr;
    }
};

// The slices need little stack; small stacks are cheap to make and to keep in the C library's
// cache of thread stacks.
constexpr size_t kStatThreadStackBytes = size_t(128) << 10;

}  // namespace

int statParallel(Shared& shared, int dirfd, const FolderListing& listing, EntryStat* out, int maxThreads,
                 size_t begin, size_t end, ScanProgress* tally, MountKey mount) {
    end = std::min(end, listing.entries.size());
    int32_t inUse = shared.statThreadsInUse.load();
    int count;
    do {
        count = std::min<int>(maxThreads, Shared::kMaxStatThreads - inUse);
        if (count < 2)
            return 0;
    } while (!shared.statThreadsInUse.compare_exchange_weak(inUse, inUse + count));

    std::vector<StatSlice> slices;
    std::vector<pthread_t> threads;
    try {
        slices.reserve(size_t(count));
        threads.reserve(size_t(count));
    } catch (...) {
        shared.statThreadsInUse.fetch_sub(count);
        return 0;
    }
    const std::shared_ptr<GiveUpSink> sink = threadSink();
    for (int k = 0; k < count; ++k)
        slices.push_back(StatSlice{&shared, dirfd, &listing, out, count, k, begin, end, tally, mount, sink});
    // While the extra threads work this worker waits in no call of its own: the driver may
    // leave it behind then, and it unwinds once they are back.
    WorkerRecord* record = t_record;
    int working = WorkerRecord::Working;
    const bool lent = record && record->phase.compare_exchange_strong(working, WorkerRecord::InSlices);
    pthread_attr_t attr;
    const bool haveAttr = pthread_attr_init(&attr) == 0;
    if (haveAttr)
        pthread_attr_setstacksize(&attr, kStatThreadStackBytes);
    for (StatSlice& slice : slices) {
        pthread_t id;
        if (pthread_create(&id, haveAttr ? &attr : nullptr, &StatSlice::thread, &slice) != 0)
            break;  // the slices of threads that could not start are examined here
        threads.push_back(id);
    }
    if (haveAttr)
        pthread_attr_destroy(&attr);
    bool answered = true;
    for (size_t k = threads.size(); k < slices.size(); ++k)
        answered = slices[k].run() && answered;
    for (pthread_t id : threads)
        pthread_join(id, nullptr);
    shared.statThreadsInUse.fetch_sub(count);
    // A call of any of them given up ends this worker's folder: the driver takes it over.
    int inSlices = WorkerRecord::InSlices;
    if (!answered || mountwatch_detail::threadAbandoned() || (record && record->sink->given.load()) ||
        (lent && !record->phase.compare_exchange_strong(inSlices, WorkerRecord::Working)))
        throw CallGivenUp{};
    return 1;
}

void collectMountPointsBelow(RawWalkContext& context, const std::string& rootPath) {
    std::string prefix = rootPath;
    if (prefix.empty() || prefix.back() != '/')
        prefix.push_back('/');
    for (const MountEntry& m : readMountInfo()) {
        const std::string& p = m.mountPoint;
        if (p.size() > prefix.size() && p.compare(0, prefix.size(), prefix) == 0) {
            context.mountPaths.insert(p);
            context.mountNames.insert(p.substr(p.rfind('/') + 1));
        }
    }
}

ScanRoot& ScanRoot::operator=(ScanRoot&& other) noexcept {
    if (this != &other) {
        if (handle >= 0)
            ::close(handle);
        walkPath = std::move(other.walkPath);
        handle = std::exchange(other.handle, -1);
    }
    return *this;
}

ScanRoot::~ScanRoot() {
    if (handle >= 0)
        ::close(handle);
}

}  // namespace svl
