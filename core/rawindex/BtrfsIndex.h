// The Btrfs raw index: lists one subvolume from the metadata items the kernel hands out through
// the tree-search ioctl (administrator rights needed), keeping inode items and directory index
// items. Entry ids are the subvolume's inode numbers, the root folder is 256; a nested
// subvolume is listed under a placeholder id with bit 62 set, whose contents are not held here.
//
// Threads: open and load run on the caller's thread; load starts reader threads and joins them
// before it returns. After load the index is read-only: stat, children and isSubvolumeLink may
// be called from any number of threads at once.
#pragma once

#include "core/rawindex/RawIndex.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace svl {

class BtrfsIndex final : public RawIndex {
public:
    static constexpr uint64_t kRootId = 256;
    static constexpr uint64_t kMaxInodeId = (uint64_t(1) << 48) - 1;
    static constexpr uint64_t kPlaceholderBit = uint64_t(1) << 62;

    struct InodeRecord {
        uint64_t id = 0;
        uint64_t size = 0;
        uint64_t nbytes = 0;  // bytes allocated
        int64_t mtime = 0;    // seconds
        uint32_t mode = 0;
        uint32_t nlink = 0;
    };
    struct DirEntry {
        uint64_t parent = 0;
        uint64_t child = 0;  // inode id, or a placeholder id for a nested subvolume
        uint32_t nameOffset = 0;  // into the shard's names
        uint16_t nameLength = 0;
        uint8_t type = 0;  // the directory item's file-type code
    };
    // One range of object ids and what was read for it. Records arrive in the kernel's key
    // order: inodes by ascending id, entries by ascending parent, then directory index order.
    struct Shard {
        uint64_t first = 0;
        uint64_t last = 0;  // the search's maximum object id
        uint64_t end = 0;   // last id used for progress: min(last, highest object id)
        std::atomic<uint64_t> cursor{0};  // object id of the last item received; all ones when done
        std::vector<InodeRecord> inodes;
        std::vector<DirEntry> entries;
        std::string names;  // every entry's name followed by a NUL
    };
    // What one parsed search result added to a shard.
    struct SearchBatch {
        uint32_t items = 0;    // items whose header and data lay wholly inside the buffer
        uint64_t inodes = 0;   // inode records appended
        uint64_t folders = 0;  // of which folders
        uint64_t bytes = 0;    // header and data bytes of the items walked
        uint64_t lastObjectId = 0;  // key of the last item walked
        uint32_t lastType = 0;
        uint64_t lastOffset = 0;
    };

    // Opens the root folder of a subvolume and checks that the kernel lets this process search
    // its tree; nothing is read until load. `threads` 0 lets SVL_BTRFS_THREADS (1..16) choose,
    // else defaultThreads of the processor count. Null with the refusal text in `*error` (when
    // not null).
    [[nodiscard]] static std::unique_ptr<BtrfsIndex> open(const std::string& path, std::string* error, int threads);
    ~BtrfsIndex() override;
    BtrfsIndex(const BtrfsIndex&) = delete;
    BtrfsIndex& operator=(const BtrfsIndex&) = delete;

    const char* fsName() const override { return "Btrfs"; }
    uint64_t rootId() const override { return kRootId; }
    [[nodiscard]] bool load(const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                            std::string* error) override;
    bool stat(uint64_t id, RawStat* out) const override;
    bool children(uint64_t id, std::vector<RawChild>* out) const override;
    uint64_t entriesRead() const override;
    bool isPartial() const override;
    bool isSubvolumeLink(uint64_t id) const override { return (id & kPlaceholderBit) != 0; }
    uint64_t foldersRead() const override;
    uint64_t bytesRead() const override;

    uint64_t treeId() const;
    uint32_t sectorSize() const;
    uint32_t threadCount() const;
    size_t shardCount() const;

    // Parses `count` items of one tree-search result (a 32-byte header, then the item's data,
    // per item) and appends inode records and directory entries to `shard`. Reads only bytes
    // in [data, data + length); stops at the first item that does not fit. An inode item
    // shorter than an inode, or a directory item whose name or data run past its item, is
    // skipped. Throws std::bad_alloc when the shard can't grow.
    static SearchBatch parseSearchItems(const unsigned char* data, size_t length, uint32_t count, Shard& shard);
    // Reader threads when neither the caller nor SVL_BTRFS_THREADS chooses: one per processor,
    // at least 1 and at most 16.
    static uint32_t defaultThreads(unsigned processors);
    // Items asked for per search: SVL_BTRFS_ITEMS (1..1000000), read once per process, else 2048.
    static uint32_t itemsPerSearch();

private:
    struct State;
    BtrfsIndex();
    const InodeRecord* findInode(uint64_t id) const;
    const Shard* shardOf(uint64_t id) const;

    std::unique_ptr<State> m_state;
};

}  // namespace svl
