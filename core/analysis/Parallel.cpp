#include "core/analysis/Parallel.h"

namespace svl {

namespace {

ParallelSortTuning g_tuning;
std::atomic<int> g_hardwareOverride{-1};

}  // namespace

ParallelSortTuning& parallelSortTuning() {
    return g_tuning;
}

unsigned hardwareThreadCount() {
    const int forced = g_hardwareOverride.load();
    const unsigned reported = forced >= 0 ? unsigned(forced) : std::thread::hardware_concurrency();
    return reported == 0 ? 1 : reported;
}

void setHardwareThreadOverride(int threads) {
    g_hardwareOverride.store(threads < 0 ? -1 : threads);
}

ScopedHardwareThreads::ScopedHardwareThreads(int threads) : m_previous(detail::hardwareThreadOverride()) {
    setHardwareThreadOverride(threads);
}

ScopedHardwareThreads::~ScopedHardwareThreads() {
    setHardwareThreadOverride(m_previous);
}

namespace detail {

int hardwareThreadOverride() {
    return g_hardwareOverride.load();
}

uint64_t mergeSortChunkCount(uint64_t count, unsigned hardwareThreads, const ParallelSortTuning& tuning) {
    uint64_t chunks = 1;
    while (chunks < 2 * uint64_t(hardwareThreads) && chunks <= 63) {
        if (count / (2 * chunks) < tuning.minChunkElements)
            break;
        chunks *= 2;
    }
    return chunks;
}

uint64_t mergeTasksPerPair(uint64_t count, uint64_t pairs, unsigned hardwareThreads,
                           const ParallelSortTuning& tuning) {
    if (pairs == 0)
        return 1;
    const uint64_t perThread = std::max<uint64_t>(1, (uint64_t(hardwareThreads) + pairs - 1) / pairs);
    if (perThread == 1)
        return 1;
    for (uint64_t z = perThread; z >= 2; --z) {
        if (count / (pairs * z) >= tuning.minMergeTaskElements)
            return z;
    }
    return 1;
}

}  // namespace detail

}  // namespace svl
