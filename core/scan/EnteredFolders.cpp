#include "core/scan/EnteredFolders.h"

namespace svl {

bool EnteredFolders::enter(uint64_t id) {
    Shard& shard = m_shards[id & ((1u << kShardBits) - 1)];
    const uint64_t inShard = id >> kShardBits;
    const uint64_t bit = inShard & ((uint64_t(1) << kPageBits) - 1);
    std::lock_guard<std::mutex> lock(shard.mutex);
    std::unique_ptr<uint64_t[]>& page = shard.pages[inShard >> kPageBits];
    if (!page)
        page = std::make_unique<uint64_t[]>(size_t(1) << (kPageBits - 6));  // zeroed
    uint64_t& word = page[bit >> 6];
    const uint64_t mask = uint64_t(1) << (bit & 63);
    if (word & mask)
        return false;
    word |= mask;
    return true;
}

}  // namespace svl
