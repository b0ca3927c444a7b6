#include "core/scan/MountWatch.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <new>
#include <set>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "core/scan/MountTable.h"

namespace svl {

namespace mountwatch_detail {

// One thread's watch: the call it is in, if any. Slots are never freed (a thread stuck in a
// dead mount may return after everything else is gone); a thread that ends hands its slot on.
// The word: bit 0 in a call, bit 1 given up, the rest counts the calls begun.
struct alignas(64) Slot {
    std::atomic<uint64_t> word{0};
    std::atomic<MountKey> mount{kUnknownMount};
    std::atomic<int64_t> startNs{0};
    std::atomic<MountKey> answeredMount{kUnknownMount};
    std::atomic<int64_t> answeredNs{0};
    bool probe = false;  // the one call let through to a mount given up (registry lock)
    bool inUse = false;  // registry lock
    std::mutex sinkMutex;
    std::shared_ptr<GiveUpSink> sink;
};

}  // namespace mountwatch_detail

namespace {

using mountwatch_detail::Slot;
using Clock = std::chrono::steady_clock;
constexpr uint64_t kInCall = 1;
constexpr uint64_t kGivenUp = 2;
constexpr auto kTick = std::chrono::milliseconds(100);

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// What the watchdog knows of one mount.
struct MountRecord {
    bool network = false;
    int32_t mountId = -1;  // the table's, so a device number used again by a new mount starts afresh
    int64_t lastAnswerNs = 0;
    // Given up with nothing answered: one call at a time is let through as a probe (the
    // others wait for it); a probe given up refuses every call until coolUntil.
    bool dead = false;
    int64_t deadSinceNs = 0;
    int64_t coolUntilNs = 0;
    Slot* probe = nullptr;
};

// The process-wide watch: one named place (see the header). Never destroyed: stuck threads
// may still end their calls while the process exits.
struct Registry {
    std::mutex mutex;
    std::deque<Slot> slots;
    std::vector<Slot*> freeSlots;
    std::unordered_map<MountKey, MountRecord> mounts;
    std::condition_variable probeEnded;
    std::atomic<int64_t> networkMs{5000};
    std::atomic<int64_t> localMs{15000};
    bool watchdogRunning = false;
};

Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

// True while some mount is dead: only then does a call look at the records.
std::atomic<bool> g_anyDead{false};
std::atomic<bool> g_watchdogStarted{false};

struct SlotHolder {
    Slot* slot = nullptr;
    ~SlotHolder() {
        if (!slot)
            return;
        {
            std::lock_guard lock(slot->sinkMutex);
            slot->sink.reset();
        }
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        slot->inUse = false;
        r.freeSlots.push_back(slot);
    }
};
thread_local SlotHolder t_slot;
thread_local const std::atomic<bool>* t_abandoned = nullptr;

int64_t limitNs(const MountRecord& record) {
    const Registry& r = registry();
    return (record.network ? r.networkMs.load() : r.localMs.load()) * 1000000;
}

const MountEntry* entryOfDevice(MountKey mount, const std::vector<MountEntry>& table) {
    for (const MountEntry& entry : table)
        if (makedev(entry.major, entry.minor) == mount)
            return &entry;
    return nullptr;
}

void refreshAnyDead(Registry& r) {
    bool any = false;
    for (const auto& [key, record] : r.mounts)
        any = any || record.dead;
    g_anyDead.store(any, std::memory_order_release);
}

void watchdogTick(std::vector<MountEntry>& table, bool& tableRead) {
    Registry& r = registry();
    std::vector<std::shared_ptr<GiveUpSink>> toTell;
    {
        std::lock_guard lock(r.mutex);
        const int64_t now = nowNs();
        struct Outstanding {
            int64_t oldestNs = INT64_MAX;
            std::vector<std::pair<Slot*, uint64_t>> calls;
        };
        std::unordered_map<MountKey, Outstanding> outstanding;
        for (Slot& slot : r.slots) {
            const MountKey answered = slot.answeredMount.load(std::memory_order_acquire);
            if (answered != kUnknownMount) {
                auto found = r.mounts.find(answered);
                if (found != r.mounts.end())
                    found->second.lastAnswerNs = std::max(found->second.lastAnswerNs, slot.answeredNs.load());
            }
            const uint64_t word = slot.word.load(std::memory_order_acquire);
            if ((word & (kInCall | kGivenUp)) != kInCall)
                continue;
            const MountKey mount = slot.mount.load(std::memory_order_relaxed);
            Outstanding& o = outstanding[mount];
            o.oldestNs = std::min(o.oldestNs, slot.startNs.load(std::memory_order_relaxed));
            o.calls.emplace_back(&slot, word);
        }
        for (auto& [mount, o] : outstanding) {
            auto [it, created] = r.mounts.try_emplace(mount);
            MountRecord& record = it->second;
            if (created) {
                if (!tableRead) {
                    table = readMountInfo();
                    tableRead = true;
                }
                const MountEntry* entry = entryOfDevice(mount, table);
                record.network = entry && isNetworkFsType(entry->fsType);
                record.mountId = entry ? entry->mountId : -1;
            }
            const int64_t silentSince = std::max(record.lastAnswerNs, o.oldestNs);
            if (now - silentSince < limitNs(record))
                continue;
            for (auto& [slot, word] : o.calls) {
                uint64_t expected = word;
                if (!slot->word.compare_exchange_strong(expected, word | kGivenUp, std::memory_order_acq_rel))
                    continue;  // it has just come back
                if (slot->probe) {
                    slot->probe = false;
                    record.probe = nullptr;
                    record.coolUntilNs = now + limitNs(record);
                    r.probeEnded.notify_all();
                }
                std::lock_guard sinkLock(slot->sinkMutex);
                if (slot->sink)
                    toTell.push_back(slot->sink);
            }
            // Nothing answered since the oldest of them began: the mount is dead, not one
            // request held back among answered ones.
            if (record.lastAnswerNs < o.oldestNs && !record.dead) {
                record.dead = true;
                record.deadSinceNs = now;
            }
        }
        // A dead mount that answered again is alive.
        for (auto& [mount, record] : r.mounts)
            if (record.dead && record.lastAnswerNs > record.deadSinceNs) {
                record.dead = false;
                r.probeEnded.notify_all();
            }
        refreshAnyDead(r);
    }
    for (auto& sink : toTell)
        sink->givenUp();
}

void watchdogLoop() {
    std::vector<MountEntry> table;
    for (;;) {
        std::this_thread::sleep_for(kTick);
        bool tableRead = false;
        watchdogTick(table, tableRead);
    }
}

void ensureWatchdog() {
    if (g_watchdogStarted.load(std::memory_order_acquire))
        return;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.watchdogRunning)
        return;
    try {
        std::thread(watchdogLoop).detach();
        r.watchdogRunning = true;
        g_watchdogStarted.store(true, std::memory_order_release);
    } catch (const std::system_error&) {
        // Out of threads: calls go unwatched until one can be started.
    }
}

// A forked child has only the forking thread: the record starts afresh.
void renewInChild() {
    Registry& r = registry();
    new (&r.mutex) std::mutex;
    r.mounts.clear();
    r.freeSlots.clear();
    for (Slot& slot : r.slots) {
        if (&slot == t_slot.slot)
            continue;
        new (&slot.sinkMutex) std::mutex;
        slot.sink.reset();
        slot.word.store(slot.word.load() & ~(kInCall | kGivenUp));
        slot.probe = false;
        slot.inUse = false;
        r.freeSlots.push_back(&slot);
    }
    r.watchdogRunning = false;
    g_watchdogStarted.store(false);
    g_anyDead.store(false);
}

[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, renewInChild);

}  // namespace

namespace mountwatch_detail {

Slot* threadSlot() {
    if (t_slot.slot)
        return t_slot.slot;
    Registry& r = registry();
    {
        std::lock_guard lock(r.mutex);
        if (!r.freeSlots.empty()) {
            t_slot.slot = r.freeSlots.back();
            r.freeSlots.pop_back();
        } else {
            t_slot.slot = &r.slots.emplace_back();
        }
        t_slot.slot->inUse = true;
    }
    ensureWatchdog();
    return t_slot.slot;
}

bool beginCall(Slot* slot, MountKey mount) {
    if (g_anyDead.load(std::memory_order_acquire)) {
        Registry& r = registry();
        std::unique_lock lock(r.mutex);
        for (;;) {
            auto found = r.mounts.find(mount);
            if (found == r.mounts.end() || !found->second.dead)
                break;
            MountRecord& record = found->second;
            const std::vector<MountEntry> table = readMountInfo();
            const MountEntry* entry = entryOfDevice(mount, table);
            if (!entry || entry->mountId != record.mountId) {
                // Not the mount that was given up: its device number is another's now.
                r.mounts.erase(found);
                refreshAnyDead(r);
                break;
            }
            if (nowNs() < record.coolUntilNs)
                return false;
            if (!record.probe) {
                record.probe = slot;
                slot->probe = true;
                break;
            }
            // Another call is finding out whether the mount is back: its answer holds for this one.
            r.probeEnded.wait_for(lock, kTick);
        }
    }
    slot->mount.store(mount, std::memory_order_relaxed);
    slot->startNs.store(nowNs(), std::memory_order_relaxed);
    const uint64_t word = slot->word.load(std::memory_order_relaxed);
    slot->word.store((((word >> 2) + 1) << 2) | kInCall, std::memory_order_release);
    return true;
}

bool endCall(Slot* slot) {
    const uint64_t before = slot->word.fetch_and(~(kInCall | kGivenUp), std::memory_order_acq_rel);
    const MountKey mount = slot->mount.load(std::memory_order_relaxed);
    slot->answeredNs.store(nowNs(), std::memory_order_relaxed);
    slot->answeredMount.store(mount, std::memory_order_release);
    const bool answered = !(before & kGivenUp);
    if (g_anyDead.load(std::memory_order_acquire)) {
        // A call to a dead mount came back (also a late or an aborted one): it answers again.
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        auto found = r.mounts.find(mount);
        if (found != r.mounts.end() && found->second.dead) {
            found->second.dead = false;
            found->second.coolUntilNs = 0;
            found->second.lastAnswerNs = nowNs();
            refreshAnyDead(r);
            r.probeEnded.notify_all();
        }
    }
    if (slot->probe) {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        if (slot->probe) {
            slot->probe = false;
            auto found = r.mounts.find(mount);
            if (found != r.mounts.end() && found->second.probe == slot) {
                found->second.probe = nullptr;
                if (answered) {
                    found->second.dead = false;
                    found->second.lastAnswerNs = nowNs();
                }
                refreshAnyDead(r);
                r.probeEnded.notify_all();
            }
        }
    }
    return answered;
}

bool giveUpCall(Slot* slot) {
    uint64_t word = slot->word.load(std::memory_order_acquire);
    while ((word & (kInCall | kGivenUp)) == kInCall) {
        if (slot->word.compare_exchange_weak(word, word | kGivenUp, std::memory_order_acq_rel))
            return true;
    }
    return false;
}

bool threadAbandoned() { return t_abandoned && t_abandoned->load(std::memory_order_acquire); }

bool startDetached(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace mountwatch_detail

void giveUpCallsBoundTo(const GiveUpSink* sink) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (Slot& slot : r.slots) {
        {
            std::lock_guard sinkLock(slot.sinkMutex);
            if (slot.sink.get() != sink)
                continue;
        }
        mountwatch_detail::giveUpCall(&slot);
    }
}

AnswerLimits answerLimits() {
    const Registry& r = registry();
    return {std::chrono::milliseconds(r.networkMs.load()), std::chrono::milliseconds(r.localMs.load())};
}

void setAnswerLimits(AnswerLimits limits) {
    Registry& r = registry();
    r.networkMs.store(limits.network.count());
    r.localMs.store(limits.local.count());
}

bool isNetworkFsType(const std::string& type) {
    static const std::set<std::string> network = {"nfs",  "nfs4", "cifs",     "smb3",      "smbfs", "9p",
                                                  "ncpfs", "afs", "ceph",     "glusterfs", "virtiofs",
                                                  "davfs", "sshfs", "lustre", "gfs2",      "ocfs2"};
    return network.count(type) != 0 || type == "fuse" || type == "fuseblk" || type.rfind("fuse.", 0) == 0;
}

MountKey mountOfDescriptor(int fd) {
    struct statx st {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE, &st) != 0)
        return kUnknownMount;
    return makedev(st.stx_dev_major, st.stx_dev_minor);
}

std::shared_ptr<GiveUpSink> bindThreadToSink(std::shared_ptr<GiveUpSink> sink) {
    Slot* slot = mountwatch_detail::threadSlot();
    t_abandoned = sink ? &sink->abandoned : nullptr;
    std::lock_guard lock(slot->sinkMutex);
    std::swap(slot->sink, sink);
    return sink;
}

std::shared_ptr<GiveUpSink> threadSink() {
    Slot* slot = mountwatch_detail::threadSlot();
    std::lock_guard lock(slot->sinkMutex);
    return slot->sink;
}

int openWatched(const std::string& path, bool followLast) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    constexpr int kMaxLinks = 40;
    int links = 0;
    if (path.back() == '/')
        followLast = true;  // "link/" names what the link leads to
    int dir = ::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    // Names still to look up, the next one last.
    std::vector<std::string> pending;
    auto push = [&pending](const std::string& text) {
        std::vector<std::string> names;
        size_t start = 0;
        while (start <= text.size()) {
            const size_t slash = text.find('/', start);
            const size_t end = slash == std::string::npos ? text.size() : slash;
            if (end > start && text.compare(start, end - start, ".") != 0)
                names.push_back(text.substr(start, end - start));
            if (slash == std::string::npos)
                break;
            start = slash + 1;
        }
        pending.insert(pending.end(), names.rbegin(), names.rend());
    };
    push(path);
    while (!pending.empty()) {
        const std::string name = std::move(pending.back());
        pending.pop_back();
        const bool last = pending.empty();
        const MountKey mount = mountOfDescriptor(dir);
        const auto opened = watchedCall(mount, [&] { return ::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); });
        if (!opened || *opened < 0) {
            const int error = errno;
            ::close(dir);
            errno = error;
            return -1;
        }
        const int fd = *opened;
        struct statx st {};
        const bool isLink = statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE, &st) == 0 && S_ISLNK(st.stx_mode);
        if (isLink && (!last || followLast)) {
            if (++links > kMaxLinks) {
                ::close(fd);
                ::close(dir);
                errno = ELOOP;
                return -1;
            }
            std::string target(PATH_MAX, '\0');
            const auto length = watchedCall(mountOfDescriptor(fd),
                                            [&] { return ::readlinkat(fd, "", target.data(), target.size()); });
            ::close(fd);
            if (!length || *length < 0) {
                const int error = errno;
                ::close(dir);
                errno = error;
                return -1;
            }
            target.resize(size_t(*length));
            if (!target.empty() && target[0] == '/') {
                ::close(dir);
                dir = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
                if (dir < 0)
                    return -1;
            }
            push(target);
            continue;
        }
        ::close(dir);
        dir = fd;
    }
    return dir;
}

}  // namespace svl
