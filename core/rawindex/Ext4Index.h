// The ext2/3/4 raw index: lists a volume from its inode bitmaps, inode tables and folder
// blocks, read with positioned reads from the block device or an image file. Entry ids are
// inode numbers; the root folder is inode 2.
//
// Threads: open and load run on the caller's thread; after load the index is read-only and
// stat/children may be called from any number of threads at once.
#pragma once

#include "core/analysis/LargeArray.h"
#include "core/rawindex/DeviceReader.h"
#include "core/rawindex/RawIndex.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace svl {

class Ext4Index final : public RawIndex {
public:
    // Opens `path` and checks its superblock and group descriptors; nothing else is read until
    // load. Null with the refusal text in `*error` (when not null).
    [[nodiscard]] static std::unique_ptr<Ext4Index> open(const std::string& path, std::string* error);
    // The same over an already open descriptor, which the index takes over (closed also on
    // refusal). `path` only names the device in texts.
    [[nodiscard]] static std::unique_ptr<Ext4Index> openDescriptor(int fd, const std::string& path,
                                                                   std::string* error);
    ~Ext4Index() override;

    const char* fsName() const override { return "ext4"; }
    uint64_t rootId() const override { return 2; }
    [[nodiscard]] bool load(const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                            std::string* error) override;
    bool stat(uint64_t id, RawStat* out) const override;
    bool children(uint64_t id, std::vector<RawChild>* out) const override;
    uint64_t entriesRead() const override { return m_entriesReadCount.load(std::memory_order_relaxed); }
    bool isPartial() const override { return m_partial; }
    bool isSubvolumeLink(uint64_t) const override { return false; }
    uint64_t foldersRead() const override { return m_folderCount.load(std::memory_order_relaxed); }
    uint64_t bytesRead() const override { return m_device.bytesRead(); }

    // Position of inode `index` (0-based within `group`) in the group's stat array, or -1 when
    // the group has no bitmap, the index is out of range or its bit is clear.
    int64_t inodeSlot(uint32_t group, uint32_t index) const;

    uint32_t blockSize() const { return m_blockSize; }
    uint32_t groupCount() const { return m_groupCount; }
    uint32_t inodeCount() const { return m_inodeCount; }

private:
    struct Group {
        uint64_t inodeTable = 0;   // block number
        uint64_t inodeBitmap = 0;  // block number
        uint32_t flags = 0;        // bg_flags
    };
    struct Folder {
        uint32_t inode = 0;
        uint32_t flags = 0;  // i_flags
        uint64_t size = 0;
        unsigned char blockMap[60] = {};  // i_block as stored
    };
    struct Entry {
        const char* name = nullptr;
        uint32_t inode = 0;
        uint32_t folder = 0;  // slot of the containing folder
        uint8_t nameLength = 0;
        uint8_t fileType = 0;
    };
    // One planned positioned read.
    struct Read {
        uint64_t offset = 0;
        uint32_t length = 0;
        uint32_t owner = 0;  // group (passes 1, 2) or folder slot (pass 3)
        uint32_t first = 0;  // pass 2: index within the group of the stretch's first inode
    };
    struct BlockRun {
        uint64_t first = 0;
        uint32_t count = 0;
        uint32_t folder = 0;
    };
    class LoadState;

    Ext4Index() = default;
    [[nodiscard]] bool openVolume(const std::string& path, std::string* error);

    // The batched reader: sweeps `reads` (sorted by offset) in merged batches and hands each
    // read's bytes to `handle`. False with a text after a failed read, false without one when
    // `cancel` was seen.
    template <typename Handler>
    bool readBatched(LoadState& state, const std::vector<Read>& reads, const std::atomic<bool>* cancel,
                     const std::function<void(double)>* progress, double base, double span, Handler&& handle,
                     std::string* error);
    bool readInodeBitmaps(LoadState& state, const std::atomic<bool>* cancel,
                          const std::function<void(double)>& progress, std::string* error);
    bool readInodeTables(LoadState& state, const std::atomic<bool>* cancel,
                         const std::function<void(double)>& progress, std::string* error);
    bool readFolderBlocks(LoadState& state, const std::atomic<bool>* cancel,
                          const std::function<void(double)>* progress, std::string* error);
    void parseInodes(const Read& read, const unsigned char* bytes);
    void parseFolderBlocks(const Read& read, const unsigned char* bytes);
    bool collectExtentBlocks(LoadState& state, const unsigned char* node, size_t length, int level,
                             uint32_t folder);
    bool collectMappedBlocks(LoadState& state, uint64_t block, int level, uint64_t& remaining, uint32_t folder);
    bool addRun(LoadState& state, uint64_t first, uint64_t count, uint32_t folder);
    const char* storeName(const unsigned char* name, size_t length);
    void finish(bool dropUnloaded);

    // Volume geometry, set by the opener.
    DeviceReader m_device;
    uint32_t m_blockSize = 0;
    uint32_t m_inodesPerGroup = 0;
    uint32_t m_inodeSize = 0;
    uint32_t m_groupCount = 0;
    uint32_t m_inodeCount = 0;
    uint32_t m_firstDataBlock = 0;
    uint64_t m_blockCount = 0;
    bool m_hugeFile = false;

    // Tables, filled by the opener (groups) and by load (the rest).
    std::vector<Group> m_groupRecords;
    std::vector<std::vector<uint64_t>> m_inodeBitmaps;
    std::vector<std::vector<uint32_t>> m_bitmapRanks;
    // Per group, its slice of m_statStorage (null for a group without in-use inodes).
    std::vector<RawStat*> m_inodeStats;
    std::unique_ptr<LargeArray<RawStat>> m_statStorage;
    std::vector<Folder> m_folders;  // only during load
    std::vector<Entry> m_entries;
    std::vector<uint32_t> m_childOrder;
    std::vector<uint32_t> m_childStart;
    std::vector<std::unique_ptr<LargeArray<char>>> m_nameChunks;
    uint64_t m_chunkRemaining = 0;
    char* m_chunkCursor = nullptr;

    // Counters and flags.
    std::atomic<uint64_t> m_entriesReadCount{0};
    std::atomic<uint64_t> m_folderCount{0};
    bool m_unsupportedFound = false;
    std::string m_unsupportedWhat;
    bool m_partial = false;
};

}  // namespace svl
