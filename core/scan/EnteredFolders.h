// The folder ids a raw walk has entered. A damaged volume may list a folder inside itself or
// under two parents; a walk that enters every id at most once stays finite.
//
// Threads: enter() may be called from every worker of a walk at once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace svl {

class EnteredFolders {
public:
    // True the first time `id` is given, false ever after. Throws std::bad_alloc when a page of
    // bits can't be made.
    bool enter(uint64_t id);

private:
    // Consecutive ids fall into different shards; within a shard, one bit per id in pages of
    // 32768 ids, so dense ids (inode and record numbers) cost one bit each.
    static constexpr unsigned kShardBits = 6;
    static constexpr unsigned kPageBits = 15;
    struct Shard {
        std::mutex mutex;
        std::unordered_map<uint64_t, std::unique_ptr<uint64_t[]>> pages;
    };
    Shard m_shards[1u << kShardBits];
};

}  // namespace svl
