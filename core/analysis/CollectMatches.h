// collectMatches: the ids of a tree that pass a test, gathered in parallel chunks of
// consecutive ids and returned in ascending order. A newer request (the shared counter
// no longer equal to the run's generation) makes the chunks give up within 4096 ids.
// Threads: runs on the caller's thread plus parallelFor workers; each chunk writes only
// its own vector; the test is called concurrently for different ids.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "core/analysis/Parallel.h"

namespace svl {

constexpr uint32_t kMatchChunkSize = 65536;
constexpr uint32_t kMatchCheckInterval = 4096;  // ids between looks at the counter inside a chunk

// makeChunkTest() is called once per chunk and returns a callable `bool(uint32_t id)`
// (so each chunk owns its scratch state). Fills `out` with the kept ids and returns true;
// returns false (out cleared) when the run was superseded. Exceptions of the test
// propagate after every worker has stopped.
template <class MakeChunkTest>
[[nodiscard]] bool collectMatches(uint32_t nodeCount, const std::atomic<int>& counter, int generation,
                                  MakeChunkTest makeChunkTest, std::vector<uint32_t>& out) {
    out.clear();
    const uint64_t chunks = (uint64_t(nodeCount) + kMatchChunkSize - 1) / kMatchChunkSize;
    std::vector<std::vector<uint32_t>> kept(chunks);
    std::atomic<bool> cancelled{false};
    parallelFor(chunks, [&](uint64_t chunk) {
        if (cancelled.load(std::memory_order_relaxed))
            return;
        if (counter.load() != generation) {
            cancelled.store(true, std::memory_order_relaxed);
            return;
        }
        auto test = makeChunkTest();
        const uint32_t begin = uint32_t(chunk * kMatchChunkSize);
        const uint32_t end = uint32_t(std::min<uint64_t>(nodeCount, (chunk + 1) * kMatchChunkSize));
        std::vector<uint32_t>& mine = kept[chunk];
        for (uint32_t id = begin; id < end; ++id) {
            // Slow tests (regular expressions) take far longer than a moment per chunk.
            if ((id & (kMatchCheckInterval - 1)) == 0 && id != begin && counter.load(std::memory_order_relaxed) != generation) {
                cancelled.store(true, std::memory_order_relaxed);
                return;
            }
            if (test(id))
                mine.push_back(id);
        }
    });
    if (cancelled.load())
        return false;
    size_t total = 0;
    for (const auto& v : kept)
        total += v.size();
    out.reserve(total);
    for (auto& v : kept) {
        out.insert(out.end(), v.begin(), v.end());
        std::vector<uint32_t>().swap(v);
    }
    return true;
}

}  // namespace svl
