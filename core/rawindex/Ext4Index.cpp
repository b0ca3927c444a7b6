// The ext4 index's opener (superblock and group descriptors) and its queries. The load is in
// Ext4Walk.cpp.
#include "core/rawindex/Ext4Index.h"

#include "core/rawindex/LittleEndian.h"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace svl {

namespace {

constexpr uint32_t kSuperblockOffset = 1024;
constexpr uint32_t kSuperblockSize = 1024;
constexpr uint16_t kExt4Magic = 0xEF53;

constexpr uint32_t kIncompatFiletype = 0x2;
constexpr uint32_t kIncompat64Bit = 0x80;
// FILETYPE, RECOVER, EXTENTS, 64BIT, MMP, FLEX_BG, EA_INODE, CSUM_SEED, LARGEDIR, CASEFOLD.
constexpr uint32_t kIncompatReadable = 0x267C6;
constexpr uint32_t kRoCompatHugeFile = 0x8;
constexpr uint32_t kRoCompatBigalloc = 0x200;
constexpr uint64_t kMaxGroups = 0x400000;

void setError(std::string* error, std::string text) {
    if (error)
        *error = std::move(text);
}

}  // namespace

Ext4Index::~Ext4Index() = default;

std::unique_ptr<Ext4Index> Ext4Index::open(const std::string& path, std::string* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        setError(error, "can't read " + path + ": " + std::strerror(errno));
        return nullptr;
    }
    return openDescriptor(fd, path, error);
}

std::unique_ptr<Ext4Index> Ext4Index::openDescriptor(int fd, const std::string& path, std::string* error) {
    std::unique_ptr<Ext4Index> index(new Ext4Index);
    index->m_device.reset(fd);
    if (!index->openVolume(path, error))
        return nullptr;
    return index;
}

bool Ext4Index::openVolume(const std::string& path, std::string* error) {
    unsigned char sb[kSuperblockSize];
    if (!m_device.read(kSuperblockOffset, sb, sizeof sb)) {
        setError(error, "can't read the superblock of " + path);
        return false;
    }
    if (le16(sb + 0x38) != kExt4Magic) {
        setError(error, path + " doesn't hold an ext2/3/4 filesystem");
        return false;
    }
    uint32_t logBlockSize = le32(sb + 0x18);
    if (logBlockSize > 6) {
        setError(error, "odd block size");
        return false;
    }
    m_blockSize = 1024u << logBlockSize;
    if (le32(sb + 0x4C) == 0) {
        // The first revision has no feature words and so no file types in folder entries.
        m_inodeSize = 128;
        setError(error, "folder entries without file types");
        return false;
    }
    m_inodeSize = le16(sb + 0x58);

    uint32_t incompat = le32(sb + 0x60);
    if (incompat & ~kIncompatReadable) {
        char text[96];
        std::snprintf(text, sizeof text, "ext4 features this doesn't read (incompat 0x%x)",
                      incompat & ~kIncompatReadable);
        setError(error, text);
        return false;
    }
    if (!(incompat & kIncompatFiletype)) {
        setError(error, "folder entries without file types");
        return false;
    }
    uint32_t roCompat = le32(sb + 0x64);
    if (roCompat & kRoCompatBigalloc) {
        setError(error, "bigalloc");
        return false;
    }
    m_hugeFile = roCompat & kRoCompatHugeFile;

    m_inodeCount = le32(sb + 0x00);
    m_firstDataBlock = le32(sb + 0x14);
    m_inodesPerGroup = le32(sb + 0x28);
    uint32_t blocksPerGroup = le32(sb + 0x20);
    if (m_blockSize < m_inodeSize || m_inodeSize < 128 || m_inodesPerGroup == 0 || m_inodesPerGroup % 8 != 0 ||
        m_blockSize < m_inodesPerGroup / 8 || blocksPerGroup == 0) {
        setError(error, "odd filesystem geometry");
        return false;
    }

    uint32_t descSize = 32;
    m_blockCount = le32(sb + 0x04);
    if (incompat & kIncompat64Bit) {
        descSize = le16(sb + 0xFE);
        if (descSize < 64 || descSize > 1024) {
            setError(error, "odd group descriptor size");
            return false;
        }
        m_blockCount |= uint64_t(le32(sb + 0x150)) << 32;
    }

    uint64_t groups = 0;
    if (m_blockCount > m_firstDataBlock)
        groups = (m_blockCount - m_firstDataBlock + blocksPerGroup - 1) / blocksPerGroup;
    if (groups < 1 || groups > kMaxGroups || groups * m_inodesPerGroup < m_inodeCount) {
        setError(error, "odd group count");
        return false;
    }
    m_groupCount = uint32_t(groups);

    // A volume never claims more blocks than its device holds, and its inode tables lie inside
    // it; checking both keeps a damaged superblock from sizing tables and reads past the device.
    uint64_t deviceSize = m_device.size();
    if (deviceSize > 0 && (m_blockCount > deviceSize / m_blockSize ||
                           groups * m_inodesPerGroup > deviceSize / m_inodeSize)) {
        setError(error, "odd filesystem geometry");
        return false;
    }

    uint64_t tableOffset = (uint64_t(m_firstDataBlock) + 1) * m_blockSize;
    uint64_t tableBytes = groups * descSize;
    if (deviceSize > 0 && (tableOffset > deviceSize || tableBytes > deviceSize - tableOffset)) {
        setError(error, "can't read the group descriptors");
        return false;
    }
    std::vector<unsigned char> table(tableBytes);
    if (!m_device.read(tableOffset, table.data(), table.size())) {
        setError(error, "can't read the group descriptors");
        return false;
    }
    m_groupRecords.resize(m_groupCount);
    for (uint32_t g = 0; g < m_groupCount; ++g) {
        const unsigned char* d = table.data() + uint64_t(g) * descSize;
        Group& group = m_groupRecords[g];
        group.inodeBitmap = le32(d + 0x04);
        group.inodeTable = le32(d + 0x08);
        group.flags = le16(d + 0x12);
        if (descSize >= 64) {
            group.inodeBitmap |= uint64_t(le32(d + 0x24)) << 32;
            group.inodeTable |= uint64_t(le32(d + 0x28)) << 32;
        }
    }
    return true;
}

int64_t Ext4Index::inodeSlot(uint32_t group, uint32_t index) const {
    if (group >= m_inodeBitmaps.size() || index >= m_inodesPerGroup)
        return -1;
    const std::vector<uint64_t>& bitmap = m_inodeBitmaps[group];
    if (bitmap.empty() || group >= m_bitmapRanks.size() || m_bitmapRanks[group].size() != bitmap.size())
        return -1;
    uint64_t word = bitmap[index / 64];
    unsigned bit = index % 64;
    if (!((word >> bit) & 1))
        return -1;
    return int64_t(m_bitmapRanks[group][index / 64]) + std::popcount(word & ((uint64_t(1) << bit) - 1));
}

bool Ext4Index::stat(uint64_t id, RawStat* out) const {
    if (id == 0 || id > m_inodeCount)
        return false;
    uint64_t group = (id - 1) / m_inodesPerGroup;
    if (group >= m_groupCount || group >= m_inodeStats.size() || !m_inodeStats[group])
        return false;
    int64_t slot = inodeSlot(uint32_t(group), uint32_t((id - 1) % m_inodesPerGroup));
    if (slot < 0)
        return false;
    *out = m_inodeStats[group][size_t(slot)];
    return out->mode != 0;
}

bool Ext4Index::children(uint64_t id, std::vector<RawChild>* out) const {
    out->clear();
    RawStat record;
    if (!stat(id, &record))
        return false;
    size_t folders = m_childStart.empty() ? 0 : m_childStart.size() - 1;
    if (record.folderIndex >= folders)
        return false;
    for (uint32_t k = m_childStart[record.folderIndex]; k < m_childStart[record.folderIndex + 1]; ++k) {
        const Entry& entry = m_entries[m_childOrder[k]];
        RawChild child;
        child.id = entry.inode;
        child.name = entry.name;
        child.nameLength = entry.nameLength;
        child.type = entry.fileType;
        child.linkRole = 0;
        out->push_back(child);
    }
    return true;
}

}  // namespace svl
