// The Btrfs search-result parser on crafted buffers: inode and directory index items become
// records, placeholders stand for nested subvolumes, and no cut or lying length makes it read
// past its buffer (each case is parsed from a heap copy of exactly the given length).
#include "core/rawindex/BtrfsIndex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using Shard = svl::BtrfsIndex::Shard;
using Bytes = std::vector<unsigned char>;

namespace {

void putLe(Bytes& b, size_t at, uint64_t v, int width) {
    for (int i = 0; i < width; ++i)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// Appends one search result item: the 32-byte header in host order, then `data`.
void addItem(Bytes& out, uint64_t objectId, uint32_t type, uint64_t offset, const Bytes& data,
             uint32_t claimedLength = UINT32_MAX) {
    const uint64_t transid = 7;
    const uint32_t length = claimedLength == UINT32_MAX ? uint32_t(data.size()) : claimedLength;
    const size_t at = out.size();
    out.resize(at + 32);
    std::memcpy(&out[at], &transid, 8);
    std::memcpy(&out[at + 8], &objectId, 8);
    std::memcpy(&out[at + 16], &offset, 8);
    std::memcpy(&out[at + 24], &type, 4);
    std::memcpy(&out[at + 28], &length, 4);
    out.insert(out.end(), data.begin(), data.end());
}

Bytes inodeItem(uint64_t size, uint64_t nbytes, uint32_t nlink, uint32_t mode, int64_t mtime) {
    Bytes b(160, 0);
    putLe(b, 16, size, 8);
    putLe(b, 24, nbytes, 8);
    putLe(b, 40, nlink, 4);
    putLe(b, 52, mode, 4);
    putLe(b, 136, uint64_t(mtime), 8);
    return b;
}

// One directory item: location key, transid, lengths, type, name, then `dataLength` bytes.
Bytes dirItem(uint64_t locationId, uint8_t locationType, const std::string& name, uint8_t type,
              uint16_t dataLength = 0, int nameLengthDelta = 0) {
    Bytes b(30, 0);
    putLe(b, 0, locationId, 8);
    b[8] = locationType;
    putLe(b, 25, dataLength, 2);
    putLe(b, 27, uint16_t(int(name.size()) + nameLengthDelta), 2);
    b[29] = type;
    b.insert(b.end(), name.begin(), name.end());
    b.insert(b.end(), dataLength, 0xAB);
    return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

svl::BtrfsIndex::SearchBatch parse(const Bytes& buffer, size_t length, uint32_t count, Shard& shard) {
    // An exact-size heap copy, so that any read past `length` is a sanitizer error.
    std::unique_ptr<unsigned char[]> copy(new unsigned char[length ? length : 1]);
    if (length)
        std::memcpy(copy.get(), buffer.data(), length);
    return svl::BtrfsIndex::parseSearchItems(copy.get(), length, count, shard);
}

std::string nameOf(const Shard& shard, const svl::BtrfsIndex::DirEntry& e) {
    return std::string(shard.names.data() + e.nameOffset, e.nameLength);
}

}  // namespace

TEST(BtrfsItems, InodeAndDirectoryItemsBecomeRecords) {
    Bytes buffer;
    addItem(buffer, 256, 1, 0, inodeItem(0, 0, 1, 040755, 1700000000));
    addItem(buffer, 256, 12, 256, Bytes(12, 1));  // an inode ref: ignored
    addItem(buffer, 256, 96, 2,
            concat({dirItem(257, 1, "file", 1, 5), dirItem(258, 132, "nested", 2),
                    dirItem(uint64_t(1) << 48, 1, "too-far", 1)}));
    addItem(buffer, 257, 1, 0, inodeItem(12345, 16384, 3, 0100644, -86400));
    addItem(buffer, 257, 108, 0, Bytes(53, 2));  // file data: ignored
    addItem(buffer, uint64_t(1) << 48, 1, 0, inodeItem(1, 1, 1, 0100644, 1));  // beyond inode ids
    addItem(buffer, ~uint64_t(0) - 4, 48, 300, Bytes());                        // an orphan item

    Shard shard;
    const auto batch = parse(buffer, buffer.size(), 7, shard);
    EXPECT_EQ(batch.items, 7u);
    EXPECT_EQ(batch.bytes, buffer.size());
    EXPECT_EQ(batch.inodes, 2u);
    EXPECT_EQ(batch.folders, 1u);
    EXPECT_EQ(batch.lastObjectId, ~uint64_t(0) - 4);
    EXPECT_EQ(batch.lastType, 48u);
    EXPECT_EQ(batch.lastOffset, 300u);

    ASSERT_EQ(shard.inodes.size(), 2u);
    const auto& root = shard.inodes[0];
    EXPECT_EQ(root.id, 256u);
    EXPECT_EQ(root.mode, 040755u);
    const auto& file = shard.inodes[1];
    EXPECT_EQ(file.id, 257u);
    EXPECT_EQ(file.size, 12345u);
    EXPECT_EQ(file.nbytes, 16384u);
    EXPECT_EQ(file.nlink, 3u);
    EXPECT_EQ(file.mode, 0100644u);
    EXPECT_EQ(file.mtime, -86400);

    ASSERT_EQ(shard.entries.size(), 2u);
    EXPECT_EQ(shard.entries[0].parent, 256u);
    EXPECT_EQ(shard.entries[0].child, 257u);
    EXPECT_EQ(shard.entries[0].type, 1u);
    EXPECT_EQ(nameOf(shard, shard.entries[0]), "file");
    EXPECT_EQ(shard.entries[1].child, svl::BtrfsIndex::kPlaceholderBit | 258);
    EXPECT_EQ(nameOf(shard, shard.entries[1]), "nested");
    EXPECT_EQ(shard.names, std::string("file\0nested\0", 12));

    // The count the kernel gives limits the walk.
    Shard few;
    EXPECT_EQ(parse(buffer, buffer.size(), 2, few).items, 2u);
    EXPECT_EQ(few.inodes.size(), 1u);
    EXPECT_TRUE(few.entries.empty());
}

TEST(BtrfsItems, EveryTruncationStopsAtTheLastWholeItem) {
    Bytes buffer;
    std::vector<size_t> ends;  // end offset of each item
    addItem(buffer, 256, 1, 0, inodeItem(0, 0, 1, 040755, 5));
    ends.push_back(buffer.size());
    addItem(buffer, 256, 96, 2, concat({dirItem(300, 1, "alpha", 1), dirItem(301, 1, "beta", 2, 9)}));
    ends.push_back(buffer.size());
    addItem(buffer, 300, 1, 0, inodeItem(4, 4096, 1, 0100600, 6));
    ends.push_back(buffer.size());
    addItem(buffer, 301, 1, 0, inodeItem(0, 0, 2, 040700, 7));
    ends.push_back(buffer.size());

    for (size_t length = 0; length <= buffer.size(); ++length) {
        SCOPED_TRACE(length);
        Shard shard;
        const auto batch = parse(buffer, length, uint32_t(ends.size()), shard);
        size_t whole = 0;
        while (whole < ends.size() && ends[whole] <= length)
            ++whole;
        EXPECT_EQ(batch.items, whole);
        EXPECT_EQ(batch.bytes, whole ? ends[whole - 1] : 0u);
        EXPECT_EQ(shard.inodes.size(), whole - (whole >= 2 ? 1 : 0));
        EXPECT_EQ(shard.entries.size(), whole >= 2 ? 2u : 0u);
    }
}

TEST(BtrfsItems, ShortItemsAreSkippedNeverReadPast) {
    // An inode item of every length below an inode's: skipped; the item after it still counts.
    const Bytes inode = inodeItem(9, 4096, 1, 0100644, 1);
    for (size_t cut = 0; cut < 160; ++cut) {
        SCOPED_TRACE(cut);
        Bytes buffer;
        addItem(buffer, 400, 1, 0, Bytes(inode.begin(), inode.begin() + long(cut)));
        addItem(buffer, 401, 1, 0, inode);
        Shard shard;
        const auto batch = parse(buffer, buffer.size(), 2, shard);
        EXPECT_EQ(batch.items, 2u);
        ASSERT_EQ(shard.inodes.size(), 1u);
        EXPECT_EQ(shard.inodes[0].id, 401u);
    }

    // A directory index item cut at every length keeps only the directory items wholly inside.
    const Bytes first = dirItem(500, 1, "first-name", 1, 4);
    const Bytes second = dirItem(501, 1, "second", 1);
    const Bytes both = concat({first, second});
    for (size_t cut = 0; cut <= both.size(); ++cut) {
        SCOPED_TRACE(cut);
        Bytes buffer;
        addItem(buffer, 256, 96, 3, Bytes(both.begin(), both.begin() + long(cut)));
        Shard shard;
        EXPECT_EQ(parse(buffer, buffer.size(), 1, shard).items, 1u);
        const size_t expected = cut >= both.size() ? 2 : cut >= first.size() ? 1 : 0;
        EXPECT_EQ(shard.entries.size(), expected);
        if (expected >= 1) {
            EXPECT_EQ(nameOf(shard, shard.entries[0]), "first-name");
        }
        if (expected == 2) {
            EXPECT_EQ(nameOf(shard, shard.entries[1]), "second");
        }
    }

    // Name lengths that run past the item, and names a folder can't hold.
    Bytes buffer;
    addItem(buffer, 256, 96, 4, dirItem(600, 1, "abc", 1, 0, 1));     // name one byte longer than the item
    addItem(buffer, 256, 96, 5, dirItem(601, 1, "abc", 1, 0, 60000));  // name far longer
    addItem(buffer, 256, 96, 6, dirItem(602, 1, "", 1));               // empty name
    addItem(buffer, 256, 96, 7, dirItem(603, 1, std::string("a\0b", 3), 1));
    addItem(buffer, 256, 96, 8, dirItem(604, 1, "ok", 1));
    Shard shard;
    EXPECT_EQ(parse(buffer, buffer.size(), 5, shard).items, 5u);
    ASSERT_EQ(shard.entries.size(), 1u);
    EXPECT_EQ(shard.entries[0].child, 604u);
    EXPECT_EQ(shard.names, std::string("ok\0", 3));
}

TEST(BtrfsItems, LyingItemLengthsEndTheWalk) {
    // A header that claims more data than the buffer holds ends the walk before that item.
    Bytes buffer;
    addItem(buffer, 256, 1, 0, inodeItem(0, 0, 1, 040755, 5));
    addItem(buffer, 257, 1, 0, inodeItem(1, 1, 1, 0100644, 5), 0xFFFFFFF0);
    Shard shard;
    auto batch = parse(buffer, buffer.size(), 2, shard);
    EXPECT_EQ(batch.items, 1u);
    EXPECT_EQ(batch.lastObjectId, 256u);
    EXPECT_EQ(shard.inodes.size(), 1u);

    // A count above what the buffer holds stops at the buffer's end.
    Shard more;
    batch = parse(buffer, 192, 1000, more);
    EXPECT_EQ(batch.items, 1u);

    // Nothing at all.
    Shard none;
    batch = parse(buffer, 0, 3, none);
    EXPECT_EQ(batch.items, 0u);
    EXPECT_EQ(batch.bytes, 0u);
}
