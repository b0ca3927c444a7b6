// The ext4 index's load: three sorted sweeps over the device (inode bitmaps, the inode-table
// blocks that hold in-use inodes, every folder block), with the folders' block maps walked
// between the second and the third. Reads only bytes the device returned, checking every
// offset and length taken from the volume before use.
#include "core/rawindex/Ext4Index.h"

#include "core/analysis/LargeArray.h"
#include "core/rawindex/LittleEndian.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <unordered_set>

namespace svl {

namespace {

constexpr uint32_t kGroupInodeUninit = 0x1;
constexpr uint32_t kInodeHugeFile = 0x40000;
constexpr uint32_t kInodeExtents = 0x80000;
constexpr uint32_t kInodeInlineData = 0x10000000;
constexpr uint16_t kExtentMagic = 0xF30A;
constexpr uint32_t kUnwrittenExtent = 32768;

constexpr uint64_t kMaxGap = 0x100000;        // merge reads across gaps of up to 1 MiB
constexpr uint64_t kMaxBatch = 0x800000;      // into batches of up to 8 MiB
constexpr uint64_t kMaxPlannedRead = 0x400000;  // single planned reads are at most 4 MiB
constexpr uint64_t kNameChunk = 8388608;
constexpr auto kGrace = std::chrono::seconds(5);
// Offsets that can't exist on any device; a read there fails.
constexpr uint64_t kBeyondDevice = uint64_t(1) << 62;

bool isSet(const std::atomic<bool>* flag) { return flag && flag->load(std::memory_order_relaxed); }

}  // namespace

class Ext4Index::LoadState {
public:
    std::vector<Read> reads;
    std::vector<BlockRun> runs;
    std::vector<unsigned char> buffer;
    std::chrono::steady_clock::time_point graceDeadline;
    std::atomic<bool> stop{false};
    // Block-map blocks (extent index nodes, indirect blocks) read so far. A real volume never
    // shares them; a second visit means a cycle or a crafted fan-in, so the map is damaged.
    std::unordered_set<uint64_t> mapBlocks;

    void startGrace() { graceDeadline = std::chrono::steady_clock::now() + kGrace; }
    bool graceOver() const { return std::chrono::steady_clock::now() >= graceDeadline; }
};

static uint64_t blockOffset(uint64_t block, uint64_t blockSize) {
    return block < kBeyondDevice / blockSize ? block * blockSize : kBeyondDevice;
}

template <typename Handler>
bool Ext4Index::readBatched(LoadState& state, const std::vector<Read>& reads, const std::atomic<bool>* cancel,
                            const std::function<void(double)>* progress, double base, double span,
                            Handler&& handle, std::string* error) {
    uint64_t total = 0;
    for (const Read& read : reads)
        total += read.length;
    // Batch boundaries first, so that the next batch can be asked for while this one is parsed.
    std::vector<size_t> batchStarts;
    for (size_t next = 0; next < reads.size();) {
        batchStarts.push_back(next);
        uint64_t start = reads[next].offset;
        uint64_t end = start + reads[next].length;
        ++next;
        while (next < reads.size()) {
            const Read& read = reads[next];
            if (read.offset < end || read.offset - end > kMaxGap || read.offset + read.length - start > kMaxBatch)
                break;
            end = read.offset + read.length;
            ++next;
        }
    }
    batchStarts.push_back(reads.size());
    auto batchSpan = [&](size_t b) {
        uint64_t start = reads[batchStarts[b]].offset;
        const Read& last = reads[batchStarts[b + 1] - 1];
        return std::pair<uint64_t, uint64_t>(start, last.offset + last.length);
    };

    uint64_t done = 0;
    for (size_t b = 0; b + 1 < batchStarts.size(); ++b) {
        if (isSet(cancel))
            return false;
        auto [start, end] = batchSpan(b);
        size_t next = batchStarts[b];
        size_t last = batchStarts[b + 1];
        if (b + 2 < batchStarts.size()) {
            auto [aheadStart, aheadEnd] = batchSpan(b + 1);
            m_device.prefetch(aheadStart, aheadEnd - aheadStart);
        }
        if (state.buffer.size() < end - start)
            state.buffer.resize(end - start);
        if (!m_device.read(start, state.buffer.data(), end - start)) {
            if (error)
                *error = "a read from the device failed (offset " + std::to_string(start) + ")";
            return false;
        }
        for (size_t k = next; k < last; ++k) {
            handle(reads[k], state.buffer.data() + (reads[k].offset - start));
            done += reads[k].length;
        }
        if (progress && *progress && total > 0)
            (*progress)(base + span * double(done) / double(total));
    }
    return true;
}

bool Ext4Index::readInodeBitmaps(LoadState& state, const std::atomic<bool>* cancel,
                                 const std::function<void(double)>& progress, std::string* error) {
    m_inodeBitmaps.assign(m_groupCount, {});
    state.reads.clear();
    for (uint32_t g = 0; g < m_groupCount; ++g) {
        if (m_groupRecords[g].flags & kGroupInodeUninit)
            continue;
        state.reads.push_back({blockOffset(m_groupRecords[g].inodeBitmap, m_blockSize), m_inodesPerGroup / 8, g, 0});
    }
    std::stable_sort(state.reads.begin(), state.reads.end(),
                     [](const Read& a, const Read& b) { return a.offset < b.offset; });
    uint32_t words = (m_inodesPerGroup / 8 + 7) / 8;
    auto handle = [&](const Read& read, const unsigned char* bytes) {
        std::vector<uint64_t>& bitmap = m_inodeBitmaps[read.owner];
        bitmap.assign(words, 0);
        std::memcpy(bitmap.data(), bytes, read.length);
        for (uint64_t& word : bitmap)
            word = le64(reinterpret_cast<const unsigned char*>(&word));
        // Bits past the last inode of the volume name no inode; clear them so that every
        // record the index keeps has a valid inode number.
        uint64_t firstInode = uint64_t(read.owner) * m_inodesPerGroup;
        if (firstInode + m_inodesPerGroup > m_inodeCount) {
            uint64_t valid = m_inodeCount > firstInode ? m_inodeCount - firstInode : 0;
            for (uint64_t i = valid; i < m_inodesPerGroup; ++i)
                bitmap[i / 64] &= ~(uint64_t(1) << (i % 64));
        }
    };
    return readBatched(state, state.reads, cancel, &progress, 0.0, 0.05, handle, error);
}

void Ext4Index::parseInodes(const Read& read, const unsigned char* bytes) {
    uint32_t group = read.owner;
    if (m_inodeBitmaps[group].empty())
        return;
    RawStat* stats = m_inodeStats[group];
    for (uint64_t k = 0; (k + 1) * m_inodeSize <= read.length; ++k) {
        uint64_t index = uint64_t(read.first) + k;
        if (index >= m_inodesPerGroup)
            break;
        int64_t slot = inodeSlot(group, uint32_t(index));
        if (slot < 0)
            continue;
        const unsigned char* inode = bytes + k * m_inodeSize;
        uint16_t mode = le16(inode + 0x00);
        if (mode == 0)
            continue;
        RawStat& record = stats[slot];
        uint32_t flags = le32(inode + 0x20);
        record.size = uint64_t(le32(inode + 0x04)) | uint64_t(le32(inode + 0x6C)) << 32;
        record.allocated = le32(inode + 0x1C);
        if (m_hugeFile) {
            record.allocated |= uint64_t(le16(inode + 0x74)) << 32;
            if (flags & kInodeHugeFile)
                record.allocated *= m_blockSize >> 9;
        }
        record.mtime = int32_t(le32(inode + 0x10));
        if (m_inodeSize > 139 && le16(inode + 0x80) > 11)
            record.mtime += int64_t(le32(inode + 0x88) & 3) << 32;
        record.mode = mode;
        record.links = le16(inode + 0x1A);
        record.folderIndex = 0xFFFFFFFF;
        if ((mode & 0xF000) == 0x4000) {
            if (flags & kInodeInlineData) {
                m_unsupportedFound = true;
                m_unsupportedWhat = "a folder with its entries inline in the inode";
            }
            Folder folder;
            folder.inode = uint32_t(uint64_t(group) * m_inodesPerGroup + index + 1);
            folder.flags = flags;
            folder.size = record.size;
            std::memcpy(folder.blockMap, inode + 0x28, sizeof folder.blockMap);
            record.folderIndex = uint32_t(m_folders.size());
            m_folders.push_back(folder);
            m_folderCount.fetch_add(1, std::memory_order_relaxed);
        }
        m_entriesReadCount.fetch_add(1, std::memory_order_relaxed);
    }
}

bool Ext4Index::readInodeTables(LoadState& state, const std::atomic<bool>* cancel,
                                const std::function<void(double)>& progress, std::string* error) {
    m_inodeStats.assign(m_groupCount, nullptr);
    m_statStorage.reset();
    m_bitmapRanks.assign(m_groupCount, {});
    state.reads.clear();
    uint32_t perBlock = m_blockSize / m_inodeSize;
    uint64_t maxBlocks = std::max<uint64_t>(1, kMaxPlannedRead / m_blockSize);

    // Ranks first; then one array holds every group's records, a slice per group.
    std::vector<int64_t> highest(m_groupCount, -1);
    std::vector<uint32_t> used(m_groupCount, 0);
    uint64_t totalUsed = 0;
    for (uint32_t g = 0; g < m_groupCount; ++g) {
        const std::vector<uint64_t>& bitmap = m_inodeBitmaps[g];
        std::vector<uint32_t>& ranks = m_bitmapRanks[g];
        ranks.resize(bitmap.size());
        for (size_t w = 0; w < bitmap.size(); ++w) {
            ranks[w] = used[g];
            used[g] += uint32_t(std::popcount(bitmap[w]));
            if (bitmap[w])
                highest[g] = int64_t(w * 64 + 63 - std::countl_zero(bitmap[w]));
        }
        totalUsed += used[g];
    }
    if (totalUsed > 0) {
        m_statStorage = std::make_unique<LargeArray<RawStat>>(totalUsed);
        RawStat* next = m_statStorage->get();
        std::uninitialized_fill_n(next, totalUsed, RawStat{});
        for (uint32_t g = 0; g < m_groupCount; ++g)
            if (used[g] > 0) {
                m_inodeStats[g] = next;
                next += used[g];
            }
    }

    for (uint32_t g = 0; g < m_groupCount; ++g) {
        if (used[g] == 0)
            continue;
        const std::vector<uint64_t>& bitmap = m_inodeBitmaps[g];
        auto live = [&](uint64_t block) {
            for (uint64_t i = block * perBlock; i < block * perBlock + perBlock && i < m_inodesPerGroup; ++i)
                if ((bitmap[i / 64] >> (i % 64)) & 1)
                    return true;
            return false;
        };
        uint64_t lastBlock = uint64_t(highest[g]) / perBlock;
        uint64_t block = 0;
        while (block <= lastBlock) {
            if (!live(block)) {
                ++block;
                continue;
            }
            uint64_t end = block + 1;
            while (end <= lastBlock && live(end))
                ++end;
            for (uint64_t s = block; s < end; s += maxBlocks) {
                uint64_t n = std::min(maxBlocks, end - s);
                uint64_t table = m_groupRecords[g].inodeTable;
                uint64_t offset = table + s < table ? kBeyondDevice : blockOffset(table + s, m_blockSize);
                state.reads.push_back({offset, uint32_t(n * m_blockSize), g, uint32_t(s * perBlock)});
            }
            block = end;
        }
    }
    std::stable_sort(state.reads.begin(), state.reads.end(),
                     [](const Read& a, const Read& b) { return a.offset < b.offset; });
    if (m_folders.capacity() < 65536)
        m_folders.reserve(65536);
    auto handle = [&](const Read& read, const unsigned char* bytes) { parseInodes(read, bytes); };
    return readBatched(state, state.reads, cancel, &progress, 0.05, 0.70, handle, error);
}

bool Ext4Index::addRun(LoadState& state, uint64_t first, uint64_t count, uint32_t folder) {
    if (first >= m_blockCount || count > m_blockCount - first)
        return false;
    state.runs.push_back({first, uint32_t(count), folder});
    return true;
}

bool Ext4Index::collectExtentBlocks(LoadState& state, const unsigned char* node, size_t length, int level,
                                    uint32_t folder) {
    if (length <= 11 || le16(node) != kExtentMagic || level == 7)
        return false;
    uint32_t count = le16(node + 2);
    if (length < 12 * uint64_t(count) + 12)
        return false;
    uint16_t depth = le16(node + 6);
    for (uint32_t k = 0; k < count; ++k) {
        const unsigned char* entry = node + 12 + 12 * k;
        if (depth != 0) {
            uint64_t leaf = uint64_t(le32(entry + 4)) | uint64_t(le16(entry + 8)) << 32;
            if (leaf >= m_blockCount || !state.mapBlocks.insert(leaf).second)
                return false;
            std::vector<unsigned char> block(m_blockSize);
            if (!m_device.read(blockOffset(leaf, m_blockSize), block.data(), block.size()))
                return false;
            if (!collectExtentBlocks(state, block.data(), block.size(), level + 1, folder))
                return false;
        } else {
            uint32_t blocks = le16(entry + 4);
            if (blocks == 0)
                continue;
            if (blocks > kUnwrittenExtent)
                blocks -= kUnwrittenExtent;
            uint64_t start = uint64_t(le32(entry + 8)) | uint64_t(le16(entry + 6)) << 32;
            if (!addRun(state, start, blocks, folder))
                return false;
        }
    }
    return true;
}

bool Ext4Index::collectMappedBlocks(LoadState& state, uint64_t block, int level, uint64_t& remaining,
                                    uint32_t folder) {
    if (block == 0 || remaining == 0)
        return true;
    if (block >= m_blockCount || !state.mapBlocks.insert(block).second)
        return false;
    uint32_t perBlock = m_blockSize / 4;
    std::vector<unsigned char> pointers(m_blockSize);
    if (!m_device.read(blockOffset(block, m_blockSize), pointers.data(), pointers.size()))
        return false;
    for (uint32_t k = 0; k < perBlock && remaining > 0; ++k) {
        uint32_t p = le32(pointers.data() + 4 * k);
        if (level == 1) {
            if (p != 0 && !addRun(state, p, 1, folder))
                return false;
            --remaining;
        } else if (level == 2) {
            if (p == 0)
                continue;
            if (p >= m_blockCount || !state.mapBlocks.insert(p).second)
                return false;
            std::vector<unsigned char> inner(m_blockSize);
            if (!m_device.read(blockOffset(p, m_blockSize), inner.data(), inner.size()))
                return false;
            for (uint32_t j = 0; j < perBlock && remaining > 0; ++j) {
                uint32_t q = le32(inner.data() + 4 * j);
                if (q != 0 && !addRun(state, q, 1, folder))
                    return false;
                --remaining;
            }
        } else {
            if (p == 0)
                continue;
            if (p >= m_blockCount || !state.mapBlocks.insert(p).second)
                return false;
            std::vector<unsigned char> inner(m_blockSize);
            if (!m_device.read(blockOffset(p, m_blockSize), inner.data(), inner.size()))
                return false;
            for (uint32_t j = 0; j < perBlock && remaining > 0; ++j)
                if (!collectMappedBlocks(state, le32(inner.data() + 4 * j), 1, remaining, folder))
                    return false;
        }
    }
    return true;
}

const char* Ext4Index::storeName(const unsigned char* name, size_t length) {
    if (m_chunkRemaining < length + 1) {
        m_nameChunks.push_back(std::make_unique<LargeArray<char>>(kNameChunk));
        m_chunkCursor = m_nameChunks.back()->get();
        m_chunkRemaining = kNameChunk;
    }
    char* stored = m_chunkCursor;
    std::memcpy(stored, name, length);
    stored[length] = '\0';
    m_chunkCursor += length + 1;
    m_chunkRemaining -= length + 1;
    return stored;
}

void Ext4Index::parseFolderBlocks(const Read& read, const unsigned char* bytes) {
    for (uint64_t b = 0; (b + 1) * m_blockSize <= read.length; ++b) {
        const unsigned char* block = bytes + b * m_blockSize;
        uint64_t p = 0;
        while (p + 8 <= m_blockSize) {
            const unsigned char* entry = block + p;
            uint32_t inode = le32(entry);
            uint64_t recordLength = le16(entry + 4);
            uint8_t nameLength = entry[6];
            if (m_blockSize == 65536 && (recordLength == 0 || recordLength == 65535)) {
                // On 64 KiB blocks these stand for a record covering the whole block.
                if (p != 0)
                    break;
                recordLength = 65536;
            } else if (recordLength < 8 || recordLength % 4 != 0 || p + recordLength > m_blockSize ||
                       recordLength < uint64_t(nameLength) + 8) {
                break;
            }
            const unsigned char* name = entry + 8;
            bool dots = (nameLength == 1 && name[0] == '.') || (nameLength == 2 && name[0] == '.' && name[1] == '.');
            if (inode != 0 && nameLength != 0 && !dots) {
                Entry kept;
                kept.name = storeName(name, nameLength);
                kept.inode = inode;
                kept.folder = read.owner;
                kept.nameLength = nameLength;
                kept.fileType = entry[7];
                m_entries.push_back(kept);
            }
            p += recordLength;
        }
    }
}

bool Ext4Index::readFolderBlocks(LoadState& state, const std::atomic<bool>* cancel,
                                 const std::function<void(double)>* progress, std::string* error) {
    std::stable_sort(state.runs.begin(), state.runs.end(),
                     [](const BlockRun& a, const BlockRun& b) { return a.first < b.first; });
    uint64_t maxBlocks = std::max<uint64_t>(1, kMaxPlannedRead / m_blockSize);
    state.reads.clear();
    uint64_t keptEnd = 0;
    for (const BlockRun& run : state.runs) {
        for (uint64_t k = 0; k < run.count; k += maxBlocks) {
            uint64_t n = std::min<uint64_t>(maxBlocks, run.count - k);
            uint64_t offset = blockOffset(run.first + k, m_blockSize);
            // Two folders claiming one block list it once, under the first that sorted there.
            if (!state.reads.empty() && offset < keptEnd)
                continue;
            state.reads.push_back({offset, uint32_t(n * m_blockSize), run.folder, 0});
            keptEnd = offset + n * m_blockSize;
        }
    }
    std::vector<BlockRun>().swap(state.runs);
    uint64_t wanted = m_entriesReadCount.load(std::memory_order_relaxed) + 1024;
    if (m_entries.capacity() < wanted)
        m_entries.reserve(wanted);
    auto handle = [&](const Read& read, const unsigned char* bytes) {
        parseFolderBlocks(read, bytes);
        if (m_partial && !state.stop.load(std::memory_order_relaxed) && state.graceOver())
            state.stop.store(true, std::memory_order_relaxed);
    };
    return readBatched(state, state.reads, cancel, progress, 0.75, 0.23, handle, error);
}

bool Ext4Index::load(const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                     std::string* error) {
    if (error)
        error->clear();
    LoadState state;
    std::string failure;

    if (!readInodeBitmaps(state, cancel, progress, &failure)) {
        if (error)
            *error = failure;
        return false;
    }

    if (!readInodeTables(state, cancel, progress, &failure)) {
        if (!failure.empty() || !isSet(cancel)) {
            if (error)
                *error = failure;
            return false;
        }
        m_partial = true;
        state.startGrace();
    }
    if (m_unsupportedFound) {
        if (error)
            *error = "this filesystem has " + m_unsupportedWhat;
        return false;
    }

    for (size_t slot = 0; slot < m_folders.size(); ++slot) {
        if (slot % 1024 == 0) {
            if (!m_partial && isSet(cancel)) {
                m_partial = true;
                state.startGrace();
            }
            if (m_partial) {
                if (!state.stop.load(std::memory_order_relaxed) && state.graceOver())
                    state.stop.store(true, std::memory_order_relaxed);
                if (state.stop.load(std::memory_order_relaxed))
                    break;
            }
        }
        const Folder& folder = m_folders[slot];
        bool intact = true;
        if (folder.flags & kInodeExtents) {
            intact = collectExtentBlocks(state, folder.blockMap, sizeof folder.blockMap, 0, uint32_t(slot));
        } else {
            uint64_t remaining = folder.size / m_blockSize + (folder.size % m_blockSize != 0);
            for (int k = 0; k < 12 && remaining > 0; ++k, --remaining) {
                uint32_t pointer = le32(folder.blockMap + 4 * k);
                if (pointer != 0 && !addRun(state, pointer, 1, uint32_t(slot))) {
                    intact = false;
                    break;
                }
            }
            for (int level = 1; intact && level <= 3 && remaining > 0; ++level)
                intact = collectMappedBlocks(state, le32(folder.blockMap + 4 * (11 + level)), level, remaining,
                                             uint32_t(slot));
        }
        if (!intact) {
            if (error)
                *error = "a folder's block map is damaged (inode " + std::to_string(folder.inode) + ")";
            return false;
        }
    }

    bool read = m_partial ? readFolderBlocks(state, &state.stop, nullptr, &failure)
                          : readFolderBlocks(state, cancel, &progress, &failure);
    if (!read) {
        if (!failure.empty()) {
            if (error)
                *error = failure;
            return false;
        }
        if (!m_partial) {
            if (!isSet(cancel))
                return false;
            m_partial = true;
        }
    }

    if (m_partial) {
        // Keep only children that have a loaded record, so every listed entry can be examined.
        std::erase_if(m_entries, [this](const Entry& entry) {
            RawStat record;
            return !stat(entry.inode, &record);
        });
    }
    if (m_entries.size() > 0xFFFFFFFEull) {
        if (error)
            *error = "too many entries";
        return false;
    }
    size_t folderSlots = m_folders.size();
    m_childStart.assign(folderSlots + 1, 0);
    for (const Entry& entry : m_entries)
        ++m_childStart[entry.folder + 1];
    for (size_t s = 0; s < folderSlots; ++s)
        m_childStart[s + 1] += m_childStart[s];
    m_childOrder.resize(m_entries.size());
    std::vector<uint32_t> next(m_childStart.begin(), m_childStart.end() - 1);
    for (size_t k = 0; k < m_entries.size(); ++k)
        m_childOrder[next[m_entries[k].folder]++] = uint32_t(k);
    std::vector<Folder>().swap(m_folders);

    if (!m_partial && progress)
        progress(1.0);
    return true;
}

}  // namespace svl
