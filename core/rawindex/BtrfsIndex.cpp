#include "core/rawindex/BtrfsIndex.h"

#include "core/rawindex/LittleEndian.h"

#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace svl {

namespace {

constexpr uint64_t kAllOnes = ~uint64_t(0);
constexpr uint64_t kHighestSearchedId = kAllOnes - 255;  // above lie the orphan and cache items
// The kernel touches every page of the rest of the result buffer once per tree leaf it visits,
// so the buffer is sized to the items asked for (about 100 bytes each here) rather than always
// the largest; it always holds the largest item a 64 KiB tree node can carry.
constexpr size_t kMaxSearchBufferBytes = size_t(4) << 20;
constexpr size_t kMinSearchBufferBytes = size_t(68) << 10;
constexpr size_t kSearchBytesPerItem = 128;
constexpr size_t kProbeBufferBytes = size_t(1) << 20;
constexpr size_t kOpenProbeBufferBytes = 4096;
constexpr uint32_t kDefaultItemsPerSearch = 2048;
constexpr uint32_t kMaxItemsPerSearch = 1000000;
constexpr int kMaxEnvThreads = 16;
constexpr int kShardsPerThread = 8;
constexpr int kHighestIdDoublings = 38;
constexpr uint64_t kMaxNamesBytes = 0xFFFFFFFE;  // a name offset must fit in 32 bits
constexpr auto kProgressInterval = std::chrono::milliseconds(40);

constexpr size_t kSearchHeaderBytes = sizeof(btrfs_ioctl_search_header);
constexpr size_t kInodeItemBytes = sizeof(btrfs_inode_item);
constexpr size_t kDirItemBytes = sizeof(btrfs_dir_item);
static_assert(kSearchHeaderBytes == 32 && kInodeItemBytes == 160 && kDirItemBytes == 30);
static_assert(offsetof(btrfs_inode_item, size) == 16 && offsetof(btrfs_inode_item, nbytes) == 24 &&
              offsetof(btrfs_inode_item, nlink) == 40 && offsetof(btrfs_inode_item, mode) == 52 &&
              offsetof(btrfs_inode_item, mtime) == 136);
static_assert(offsetof(btrfs_dir_item, location) == 0 && offsetof(btrfs_dir_item, data_len) == 25 &&
              offsetof(btrfs_dir_item, name_len) == 27 && offsetof(btrfs_dir_item, type) == 29);
static_assert(offsetof(btrfs_disk_key, type) == 8 && offsetof(btrfs_disk_key, offset) == 9);
static_assert(offsetof(btrfs_ioctl_fs_info_args, sectorsize) == 36);

void setError(std::string* error, std::string text) {
    if (error)
        *error = std::move(text);
}

// A whole decimal number in [low, high], or 0 when the text is missing or anything else.
long decimalIn(const char* text, long low, long high) {
    if (!text || !*text)
        return 0;
    long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        value = value * 10 + (*p - '0');
        if (value > high)
            return 0;
    }
    return value >= low ? value : 0;
}

// One tree-search argument with its result buffer, 8-byte aligned as the kernel's struct is.
class SearchArgs {
public:
    explicit SearchArgs(size_t bufferBytes)
        : m_words(new uint64_t[(sizeof(btrfs_ioctl_search_args_v2) + bufferBytes + 7) / 8]),
          m_bufferBytes(bufferBytes) {
        std::memset(args(), 0, sizeof(btrfs_ioctl_search_args_v2));
    }
    btrfs_ioctl_search_args_v2* args() { return reinterpret_cast<btrfs_ioctl_search_args_v2*>(m_words.get()); }
    btrfs_ioctl_search_key& key() { return args()->key; }
    const unsigned char* buffer() {
        return reinterpret_cast<const unsigned char*>(m_words.get()) + sizeof(btrfs_ioctl_search_args_v2);
    }
    size_t bufferBytes() const { return m_bufferBytes; }

    // Every item of object ids [first, last] in tree `tree`.
    void setRange(uint64_t tree, uint64_t first, uint64_t last) {
        btrfs_ioctl_search_key& k = key();
        k.tree_id = tree;
        k.min_objectid = first;
        k.max_objectid = last;
        k.min_offset = 0;
        k.max_offset = kAllOnes;
        k.min_transid = 0;
        k.max_transid = kAllOnes;
        k.min_type = 0;
        k.max_type = 255;
    }
    // Runs the search asking for `items` items; the count found is then in key().nr_items.
    // False with errno set when the kernel refuses.
    bool search(int fd, uint32_t items) {
        key().nr_items = items;
        args()->buf_size = m_bufferBytes;
        return ::ioctl(fd, BTRFS_IOC_TREE_SEARCH_V2, args()) == 0;
    }

private:
    std::unique_ptr<uint64_t[]> m_words;
    size_t m_bufferBytes;
};

struct ItemKey {
    uint64_t objectId;
    uint32_t type;
    uint64_t offset;
    bool operator<(const ItemKey& o) const {
        if (objectId != o.objectId)
            return objectId < o.objectId;
        return type != o.type ? type < o.type : offset < o.offset;
    }
};

// The key right after `k`, or false when none is left.
bool nextKey(ItemKey& k) {
    if (k.offset != kAllOnes) {
        ++k.offset;
        return true;
    }
    k.offset = 0;
    if (k.type < 255) {
        ++k.type;
        return true;
    }
    k.type = 0;
    if (k.objectId == kAllOnes)
        return false;
    ++k.objectId;
    return true;
}

}  // namespace

struct BtrfsIndex::State {
    int fd = -1;
    uint64_t treeId = 0;
    uint32_t sectorSize = 4096;
    uint32_t threads = 1;
    std::unique_ptr<Shard[]> shards;
    size_t shardCount = 0;
    std::vector<uint64_t> shardFirsts;  // for the bisection by id
    std::atomic<uint64_t> entriesRead{0};
    std::atomic<uint64_t> foldersRead{0};
    std::atomic<uint64_t> bytesRead{0};
    bool partial = false;

    ~State() {
        if (fd >= 0)
            ::close(fd);
    }

    bool hasItemsFrom(SearchArgs& probe, uint64_t first) {
        probe.setRange(treeId, first, kHighestSearchedId);
        return probe.search(fd, 1) && probe.key().nr_items > 0;
    }
    uint64_t highestObjectId();
    // Reads one shard: 0 done, 1 cancelled, 2 failed with `errorNumber` set.
    int readShard(Shard& shard, const std::atomic<bool>* cancel, SearchArgs& args, int& errorNumber);
};

uint64_t BtrfsIndex::State::highestObjectId() {
    SearchArgs probe(kProbeBufferBytes);
    uint64_t lo = kRootId;
    uint64_t hi = kRootId;
    bool bounded = false;
    for (int i = 0; i < kHighestIdDoublings; ++i) {
        hi *= 2;
        if (!hasItemsFrom(probe, hi)) {
            bounded = true;
            break;
        }
    }
    if (!bounded)
        hi = uint64_t(1) << 47;
    // hasItemsFrom(lo) holds (the root folder), hasItemsFrom(hi) does not.
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (hasItemsFrom(probe, mid))
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

int BtrfsIndex::State::readShard(Shard& shard, const std::atomic<bool>* cancel, SearchArgs& args,
                                 int& errorNumber) {
    args.setRange(treeId, shard.first, shard.last);
    const uint32_t items = itemsPerSearch();
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return 1;
        if (!args.search(fd, items)) {
            errorNumber = errno;
            return 2;
        }
        btrfs_ioctl_search_key& key = args.key();
        const uint32_t found = key.nr_items;
        if (found == 0) {
            shard.cursor.store(kAllOnes, std::memory_order_relaxed);
            return 0;
        }
        const SearchBatch batch = parseSearchItems(args.buffer(), args.bufferBytes(), found, shard);
        entriesRead.fetch_add(batch.inodes, std::memory_order_relaxed);
        foldersRead.fetch_add(batch.folders, std::memory_order_relaxed);
        bytesRead.fetch_add(batch.bytes, std::memory_order_relaxed);
        // A result that can't be walked, or a key that doesn't move on, would search forever.
        if (batch.items == 0) {
            errorNumber = EIO;
            return 2;
        }
        shard.cursor.store(batch.lastObjectId, std::memory_order_relaxed);
        ItemKey next{batch.lastObjectId, batch.lastType, batch.lastOffset};
        const ItemKey from{key.min_objectid, key.min_type, key.min_offset};
        if (next < from) {
            errorNumber = EIO;
            return 2;
        }
        if (!nextKey(next) || next.objectId > shard.last) {
            shard.cursor.store(kAllOnes, std::memory_order_relaxed);
            return 0;
        }
        key.min_objectid = next.objectId;
        key.min_type = next.type;
        key.min_offset = next.offset;
    }
}

BtrfsIndex::BtrfsIndex() : m_state(std::make_unique<State>()) {}

BtrfsIndex::~BtrfsIndex() = default;

uint64_t BtrfsIndex::entriesRead() const { return m_state->entriesRead.load(std::memory_order_relaxed); }
uint64_t BtrfsIndex::foldersRead() const { return m_state->foldersRead.load(std::memory_order_relaxed); }
uint64_t BtrfsIndex::bytesRead() const { return m_state->bytesRead.load(std::memory_order_relaxed); }
bool BtrfsIndex::isPartial() const { return m_state->partial; }
uint64_t BtrfsIndex::treeId() const { return m_state->treeId; }
uint32_t BtrfsIndex::sectorSize() const { return m_state->sectorSize; }
uint32_t BtrfsIndex::threadCount() const { return m_state->threads; }
size_t BtrfsIndex::shardCount() const { return m_state->shardCount; }

uint32_t BtrfsIndex::defaultThreads(unsigned processors) {
    // A single reader waits on each search in turn and loses to the parallel folder walk on a
    // cold volume; one reader per processor keeps the device busy.
    return std::clamp<uint32_t>(processors, 1, kMaxEnvThreads);
}

uint32_t BtrfsIndex::itemsPerSearch() {
    static const uint32_t items = [] {
        const long v = decimalIn(std::getenv("SVL_BTRFS_ITEMS"), 1, kMaxItemsPerSearch);
        return v ? uint32_t(v) : kDefaultItemsPerSearch;
    }();
    return items;
}

std::unique_ptr<BtrfsIndex> BtrfsIndex::open(const std::string& path, std::string* error, int threads) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0) {
        setError(error, "can't read " + path + ": " + std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<BtrfsIndex> index(new BtrfsIndex());
    State& s = *index->m_state;
    s.fd = fd;  // closed with the index on every way out

    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_ino != kRootId) {
        setError(error, path + " isn't the root folder of a Btrfs subvolume");
        return nullptr;
    }
    btrfs_ioctl_ino_lookup_args lookup;
    std::memset(&lookup, 0, sizeof lookup);
    lookup.treeid = 0;
    lookup.objectid = kRootId;
    if (::ioctl(fd, BTRFS_IOC_INO_LOOKUP, &lookup) != 0) {
        setError(error, path + " isn't on Btrfs");
        return nullptr;
    }
    s.treeId = lookup.treeid;
    btrfs_ioctl_fs_info_args info;
    std::memset(&info, 0, sizeof info);
    if (::ioctl(fd, BTRFS_IOC_FS_INFO, &info) == 0 && info.sectorsize != 0)
        s.sectorSize = info.sectorsize;

    SearchArgs probe(kOpenProbeBufferBytes);
    probe.setRange(s.treeId, kRootId, kRootId);
    if (!probe.search(fd, 1)) {
        const int e = errno;
        if (e == EPERM || e == EACCES)
            setError(error, "reading Btrfs metadata takes administrator rights");
        else
            setError(error, std::string("Btrfs tree search failed: ") + std::strerror(e));
        return nullptr;
    }

    if (threads > 0) {
        s.threads = uint32_t(threads);
    } else {
        const long v = decimalIn(std::getenv("SVL_BTRFS_THREADS"), 1, kMaxEnvThreads);
        s.threads = v ? uint32_t(v) : defaultThreads(std::thread::hardware_concurrency());
    }
    return index;
}

BtrfsIndex::SearchBatch BtrfsIndex::parseSearchItems(const unsigned char* data, size_t length, uint32_t count,
                                                     Shard& shard) {
    SearchBatch batch;
    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (length - at < kSearchHeaderBytes)
            break;
        btrfs_ioctl_search_header header;
        std::memcpy(&header, data + at, sizeof header);  // the kernel writes it in host order
        const size_t itemLength = header.len;
        if (length - at - kSearchHeaderBytes < itemLength)
            break;
        const unsigned char* item = data + at + kSearchHeaderBytes;
        at += kSearchHeaderBytes + itemLength;
        ++batch.items;
        batch.bytes += kSearchHeaderBytes + itemLength;
        batch.lastObjectId = header.objectid;
        batch.lastType = header.type;
        batch.lastOffset = header.offset;
        if (header.objectid > kMaxInodeId)
            continue;

        if (header.type == BTRFS_INODE_ITEM_KEY) {
            if (itemLength < kInodeItemBytes)
                continue;
            InodeRecord r;
            r.id = header.objectid;
            r.size = le64(item + offsetof(btrfs_inode_item, size));
            r.nbytes = le64(item + offsetof(btrfs_inode_item, nbytes));
            r.nlink = le32(item + offsetof(btrfs_inode_item, nlink));
            r.mode = le32(item + offsetof(btrfs_inode_item, mode));
            r.mtime = int64_t(le64(item + offsetof(btrfs_inode_item, mtime)));
            shard.inodes.push_back(r);
            ++batch.inodes;
            if ((r.mode & 0xF000) == 0x4000)
                ++batch.folders;
        } else if (header.type == BTRFS_DIR_INDEX_KEY) {
            // One or more directory items, each a header, its name, then its data.
            size_t pos = 0;
            while (itemLength - pos >= kDirItemBytes) {
                const unsigned char* dir = item + pos;
                const size_t nameLength = le16(dir + offsetof(btrfs_dir_item, name_len));
                const size_t dataLength = le16(dir + offsetof(btrfs_dir_item, data_len));
                if (itemLength - pos - kDirItemBytes < nameLength + dataLength)
                    break;
                pos += kDirItemBytes + nameLength + dataLength;
                const unsigned char* location = dir + offsetof(btrfs_dir_item, location);
                const uint64_t locationId = le64(location + offsetof(btrfs_disk_key, objectid));
                const uint8_t locationType = location[offsetof(btrfs_disk_key, type)];
                const uint64_t child = locationType == BTRFS_ROOT_ITEM_KEY
                                           ? (locationId & kMaxInodeId) | kPlaceholderBit
                                           : locationId;
                if (!(child & kPlaceholderBit) && child > kMaxInodeId)
                    continue;
                if (shard.names.size() + nameLength + 1 > kMaxNamesBytes)
                    continue;
                const char* name = reinterpret_cast<const char*>(dir + kDirItemBytes);
                // A folder can't hold an empty name, and the walker reads names up to their NUL.
                if (nameLength == 0 || std::memchr(name, 0, nameLength))
                    continue;
                DirEntry e;
                e.parent = header.objectid;
                e.child = child;
                e.nameOffset = uint32_t(shard.names.size());
                e.nameLength = uint16_t(nameLength);
                e.type = dir[offsetof(btrfs_dir_item, type)];
                shard.names.append(name, nameLength);
                shard.names.push_back('\0');
                shard.entries.push_back(e);
            }
        }
    }
    return batch;
}

bool BtrfsIndex::load(const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                      std::string* error) {
    State& s = *m_state;
    if (error)
        error->clear();
    s.partial = false;
    s.entriesRead = 0;
    s.foldersRead = 0;
    s.bytesRead = 0;
    s.shards.reset();
    s.shardCount = 0;
    s.shardFirsts.clear();

    int failure = 0;
    try {
        // Plan: cut the ids up to the highest one into equal ranges; the last takes the rest.
        const uint64_t highest = s.highestObjectId();
        const size_t count = s.threads <= 1 ? 1 : size_t(kShardsPerThread) * s.threads;
        const uint64_t width = (highest - kRootId + count) / count;
        s.shards.reset(new Shard[count]);
        s.shardCount = count;
        s.shardFirsts.resize(count);
        for (size_t k = 0; k < count; ++k) {
            Shard& shard = s.shards[k];
            shard.first = kRootId + k * width;
            shard.last = k + 1 == count ? kHighestSearchedId : shard.first + width - 1;
            shard.end = std::min(shard.last, highest);
            shard.cursor = shard.first;
            s.shardFirsts[k] = shard.first;
        }

        std::atomic<size_t> nextShard{0};
        std::atomic<bool> stop{false};
        std::atomic<int> errorNumber{0};
        std::mutex mutex;
        std::condition_variable finished;
        int running = 0;
        auto work = [&] {
            try {
                SearchArgs args(std::clamp(size_t(itemsPerSearch()) * kSearchBytesPerItem, kMinSearchBufferBytes,
                                           kMaxSearchBufferBytes));
                while (!stop.load()) {
                    const size_t k = nextShard.fetch_add(1);
                    if (k >= count)
                        break;
                    int e = 0;
                    const int result = s.readShard(s.shards[k], cancel, args, e);
                    if (result == 1) {
                        stop = true;
                    } else if (result == 2) {
                        int none = 0;
                        errorNumber.compare_exchange_strong(none, e);
                        stop = true;
                    }
                }
            } catch (const std::bad_alloc&) {
                int none = 0;
                errorNumber.compare_exchange_strong(none, ENOMEM);
                stop = true;
            }
            std::lock_guard<std::mutex> lock(mutex);
            --running;
            finished.notify_all();
        };
        auto report = [&] {
            if (!progress)
                return;
            double sum = 0;
            for (size_t k = 0; k < count; ++k) {
                const Shard& shard = s.shards[k];
                const uint64_t at = std::min(shard.cursor.load(std::memory_order_relaxed), shard.end);
                if (shard.end <= shard.first)
                    sum += 1;
                else if (at > shard.first)
                    sum += double(at - shard.first) / double(shard.end - shard.first);
            }
            progress(std::min(sum / double(count), 0.999));
        };

        std::vector<std::thread> pool;
        {
            std::lock_guard<std::mutex> lock(mutex);
            try {
                pool.reserve(s.threads);
                for (uint32_t t = 0; t < s.threads; ++t) {
                    pool.emplace_back(work);
                    ++running;
                }
            } catch (...) {
                // Fewer readers than asked; those that started take every shard.
            }
        }
        if (pool.empty()) {
            ++running;
            report();
            work();
        } else {
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                lock.unlock();
                report();
                lock.lock();
                if (finished.wait_for(lock, kProgressInterval, [&] { return running == 0; }))
                    break;
            }
        }
        for (std::thread& t : pool)
            t.join();
        failure = errorNumber.load();
    } catch (const std::bad_alloc&) {
        failure = ENOMEM;
    }

    if (cancel && cancel->load()) {
        if (s.entriesRead.load() == 0)
            return false;
        s.partial = true;
        // Drop the names of inodes whose range was never read.
        for (size_t k = 0; k < s.shardCount; ++k)
            std::erase_if(s.shards[k].entries, [this](const DirEntry& e) {
                return !(e.child & kPlaceholderBit) && (e.child > kMaxInodeId || !findInode(e.child));
            });
        return true;
    }
    if (failure != 0) {
        setError(error, std::string("Btrfs tree search failed: ") + std::strerror(failure));
        return false;
    }
    if (progress)
        progress(1.0);
    return true;
}

const BtrfsIndex::Shard* BtrfsIndex::shardOf(uint64_t id) const {
    const auto& firsts = m_state->shardFirsts;
    auto it = std::upper_bound(firsts.begin(), firsts.end(), id);
    if (it == firsts.begin())
        return nullptr;
    return &m_state->shards[size_t(it - firsts.begin()) - 1];
}

const BtrfsIndex::InodeRecord* BtrfsIndex::findInode(uint64_t id) const {
    const Shard* shard = shardOf(id);
    if (!shard)
        return nullptr;
    auto it = std::lower_bound(shard->inodes.begin(), shard->inodes.end(), id,
                               [](const InodeRecord& r, uint64_t v) { return r.id < v; });
    return it != shard->inodes.end() && it->id == id ? &*it : nullptr;
}

bool BtrfsIndex::stat(uint64_t id, RawStat* out) const {
    if (id & kPlaceholderBit) {
        // A nested subvolume; the scanner asks the live file system for its figures.
        out->size = 0;
        out->allocated = 0;
        out->mtime = 0;
        out->folderIndex = 0xFFFFFFFF;
        out->mode = 040755;
        out->links = 1;
        return true;
    }
    if (id > kMaxInodeId)
        return false;
    const InodeRecord* r = findInode(id);
    if (!r)
        return false;
    const unsigned __int128 sector = m_state->sectorSize;
    const unsigned __int128 rounded = (r->nbytes + sector - 1) / sector * sector;
    out->size = r->size;
    out->allocated = uint64_t(rounded / 512);
    out->mtime = r->mtime;
    out->mode = uint16_t(r->mode);
    out->links = uint16_t(std::min<uint32_t>(r->nlink, 65535));
    return out->mode != 0;
}

bool BtrfsIndex::children(uint64_t id, std::vector<RawChild>* out) const {
    out->clear();
    if (id > kMaxInodeId)
        return false;
    const InodeRecord* r = findInode(id);
    if (!r || (r->mode & 0xF000) != 0x4000)
        return false;
    const Shard* shard = shardOf(id);
    if (!shard)
        return true;
    auto it = std::lower_bound(shard->entries.begin(), shard->entries.end(), id,
                               [](const DirEntry& e, uint64_t v) { return e.parent < v; });
    for (; it != shard->entries.end() && it->parent == id; ++it) {
        RawChild c;
        c.id = it->child;
        c.name = shard->names.data() + it->nameOffset;
        c.nameLength = it->nameLength;
        c.type = it->type;
        c.linkRole = 0;
        out->push_back(c);
    }
    return true;
}

}  // namespace svl
