// Parses arbitrary bytes as one Btrfs tree-search result: the first two bytes give the item
// count, the rest is the result buffer, copied to the heap at its exact size so that any read
// past its end is caught. Every record kept must lie inside what the parser was given.
#include "core/rawindex/BtrfsIndex.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const uint32_t count = uint32_t(data[0]) | uint32_t(data[1]) << 8;
    const size_t length = size - 2;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[length ? length : 1]);
    if (length)
        std::memcpy(buffer.get(), data + 2, length);

    svl::BtrfsIndex::Shard shard;
    const svl::BtrfsIndex::SearchBatch batch = svl::BtrfsIndex::parseSearchItems(buffer.get(), length, count, shard);
    if (batch.items > count || batch.bytes > length || batch.inodes != shard.inodes.size() ||
        batch.folders > batch.inodes)
        __builtin_trap();
    for (const svl::BtrfsIndex::DirEntry& entry : shard.entries) {
        const size_t end = size_t(entry.nameOffset) + entry.nameLength;
        if (entry.nameLength == 0 || end >= shard.names.size() || shard.names[end] != '\0')
            __builtin_trap();
    }
    return 0;
}
