#include "core/analysis/MatchBitmap.h"

#include <cstring>
#include <utility>

#include "core/analysis/CompiledFilter.h"
#include "core/analysis/FilterMatch.h"
#include "core/analysis/Parallel.h"
#include "core/tree/ScanTree.h"

namespace svl {

namespace {

constexpr uint32_t kPrefetchAhead = 16;

struct SliceRange {
    uint32_t begin;
    uint32_t end;
};

inline SliceRange sliceRange(uint64_t slice, uint32_t sliceSize, uint32_t count) {
    const uint64_t begin = slice * sliceSize;
    const uint64_t end = std::min<uint64_t>(count, begin + sliceSize);
    return {uint32_t(begin), uint32_t(end)};
}

// Shared by the slices of one run: whether a slice start saw a changed generation.
struct CancelState {
    const std::atomic<int>* cancel;
    int generation;
    std::atomic<bool> cancelled{false};

    bool sliceMayStart() {
        if (cancelled.load(std::memory_order_relaxed))
            return false;
        if (cancel && cancel->load() != generation) {
            cancelled.store(true);
            return false;
        }
        return true;
    }
    // Looked at every kIdsPerCheck ids inside a slice too: on deep trees one slice of
    // full paths can take seconds.
    bool mayContinue(uint32_t id) { return (id % kIdsPerCheck) != 0 || sliceMayStart(); }
    static constexpr uint32_t kIdsPerCheck = 64;
};

inline void prefetchNode(const ScanTree& tree, uint32_t id, uint32_t end) {
    if (id + kPrefetchAhead < end)
        __builtin_prefetch(&tree.nodes[id + kPrefetchAhead]);
}

}  // namespace

std::vector<uint8_t> matchBitmap(const ScanTree& tree, const FilterSource& source, const std::atomic<int>* cancel,
                                 int generation, uint32_t sliceSize, const DuplicateIndex* duplicates) {
    const uint32_t count = tree.nodeCount;
    std::vector<uint8_t> result(count, 0);
    const Filter first = source();
    if (first.groups.empty()) {
        std::fill(result.begin(), result.end(), uint8_t(1));
        return result;
    }
    if (sliceSize == 0)
        sliceSize = 1;
    const uint64_t slices = (uint64_t(count) + sliceSize - 1) / sliceSize;
    CancelState state{cancel, generation};

    if (!(first.fullPath && first.compiled)) {
        // Method A: each node on its own, compiled in name mode.
        parallelFor(slices, [&](uint64_t s) {
            if (!state.sliceMayStart())
                return;
            const Filter filter = source();
            PathLengthCache cache;
            const SliceRange r = sliceRange(s, sliceSize, count);
            for (uint32_t id = r.begin; id < r.end; ++id) {
                prefetchNode(tree, id, r.end);
                result[id] = filterMatchesNode(tree, id, filter, &cache, duplicates) ? 1 : 0;
            }
        });
        if (state.cancelled.load())
            return {};
        return result;
    }

    // Method B: full paths. Slash-free substring terms are tested once per name and
    // handed down the tree as a mask instead of searching every node's full path.
    const int32_t slotCount = first.compiled->nameSlotCount;
    std::vector<uint16_t> masks;
    if (slotCount > 0) {
        masks.assign(count, 0);
        parallelFor(slices, [&](uint64_t s) {
            if (!state.sliceMayStart())
                return;
            const Filter filter = source();
            const CompiledFilter* compiled = filter.compiled.get();
            if (!compiled || compiled->nameSlotCount != slotCount)
                return;  // the evaluation pass then takes the reference path for this slice
            const SliceRange r = sliceRange(s, sliceSize, count);
            for (uint32_t id = r.begin; id < r.end; ++id) {
                prefetchNode(tree, id, r.end);
                CompiledNodeView view(tree, id, nullptr, duplicates);
                uint16_t mask = 0;
                for (int32_t k = 0; k < slotCount; ++k)
                    if (compiled->nameSlots[size_t(k)]->nameContains(view))
                        mask |= uint16_t(1u << k);
                masks[id] = mask;
            }
        });
        if (state.cancelled.load())
            return {};
        for (uint32_t id = 1; id < count; ++id)
            masks[id] |= masks[tree.nodes[id].parent];
    }

    parallelFor(slices, [&](uint64_t s) {
        if (!state.sliceMayStart())
            return;
        const Filter filter = source();
        PathLengthCache cache;
        const SliceRange r = sliceRange(s, sliceSize, count);
        const CompiledFilter* compiled = filter.compiled.get();
        if (!compiled || compiled->nameSlotCount != slotCount || !filter.fullPath) {
            // A source that hands out a differently shaped filter is still answered correctly.
            for (uint32_t id = r.begin; id < r.end && state.mayContinue(id); ++id)
                result[id] = filterMatchesNode(tree, id, filter, &cache, duplicates) ? 1 : 0;
            return;
        }
        for (uint32_t id = r.begin; id < r.end && state.mayContinue(id); ++id) {
            prefetchNode(tree, id, r.end);
            CompiledNodeView view(tree, id, &cache, duplicates);
            const uint16_t mask = slotCount > 0 ? masks[id] : 0;
            result[id] = compiled->matchesView(view, true, true, mask) ? 1 : 0;
        }
    });
    if (state.cancelled.load())
        return {};
    return result;
}

namespace {

FilterSource sourceFor(const Filter& filter) {
    return [&filter]() { return filter.freshCopy(); };
}

// A folder's own allocation: its total minus what its counted children hold, at least 0.
uint64_t ownAllocation(const ScanTree& tree, const ScanNode& folder) {
    uint64_t children = 0;
    for (uint32_t c = folder.firstChild, e = folder.firstChild + folder.childCount; c < e && c < tree.nodeCount; ++c) {
        const ScanNode& child = tree.nodes[c];
        if (!(child.flags & (NodeFlag::ExtraHardLink | NodeFlag::Removed)))
            children += child.allocated;
    }
    return children < folder.allocated ? folder.allocated - children : 0;
}

void copyRecord(const ScanTree& source, const ScanNode& from, ScanNode& to, char*& names, uint32_t parent) {
    const size_t n = from.name ? from.nameLength : 0;
    if (n)
        std::memcpy(names, from.name, n);
    names[n] = '\0';
    to.name = names;
    names += n + 1;
    to.nameLength = uint16_t(n);
    to.flags = from.flags;
    to.modified = from.modified;
    if (from.flags & NodeFlag::Folder) {
        to.size = 0;
        to.allocated = ownAllocation(source, from);
    } else {
        to.size = from.size;
        to.allocated = from.allocated;
    }
    to.parent = parent;
    to.firstChild = 0;
    to.childCount = 0;
    to.filesBelow = 0;
    to.foldersBelow = 0;
}

}  // namespace

std::unique_ptr<ScanTree> filterTree(const ScanTree& source, const Filter* include, const Filter* exclude) {
    auto out = std::make_unique<ScanTree>();
    const uint32_t count = source.nodeCount;
    if (count == 0)
        return out;
    if (include && include->groups.empty())
        include = nullptr;
    if (exclude && exclude->groups.empty())
        exclude = nullptr;

    std::vector<uint8_t> included, excluded;
    if (include)
        included = matchBitmap(source, sourceFor(*include), nullptr, 0, kFilterSliceSize);
    if (exclude)
        excluded = matchBitmap(source, sourceFor(*exclude), nullptr, 0, kFilterSliceSize);

    // keep: bit 0 reachable, bit 1 included, bit 2 kept, bit 3 has a kept descendant.
    constexpr uint8_t kReachable = 1, kIncluded = 2, kKept = 4, kKeptBelow = 8;
    std::vector<uint8_t> state(count, 0);
    state[0] = kReachable | ((!include || included[0]) ? kIncluded : 0);
    for (uint32_t id = 1; id < count; ++id) {
        const ScanNode& node = source.nodes[id];
        if (!(state[node.parent] & kReachable) || (node.flags & NodeFlag::Removed) || (exclude && excluded[id]))
            continue;
        state[id] = kReachable | ((!include || included[id]) ? kIncluded : 0);
    }
    for (uint32_t id = count - 1; id >= 1; --id) {
        uint8_t& s = state[id];
        if (!(s & kReachable))
            continue;
        const bool folder = source.nodes[id].flags & NodeFlag::Folder;
        if ((s & kIncluded) || (folder && (s & kKeptBelow))) {
            s |= kKept;
            state[source.nodes[id].parent] |= kKeptBelow;
        }
    }
    state[0] |= kKept;

    {
        const ScanNode& root = source.nodes[0];
        char* names = out->allocateNames(uint64_t(root.name ? root.nameLength : 0) + 1);
        const uint32_t rootId = out->allocateNodes(1);
        copyRecord(source, root, out->nodes[rootId], names, 0);
    }

    std::vector<std::pair<uint32_t, uint32_t>> queue;  // (source folder, new folder)
    queue.emplace_back(0, 0);
    std::vector<uint32_t> kept;
    for (size_t q = 0; q < queue.size(); ++q) {
        const auto [from, to] = queue[q];
        const ScanNode& folder = source.nodes[from];
        kept.clear();
        uint64_t nameBytes = 0;
        for (uint32_t c = folder.firstChild, e = folder.firstChild + folder.childCount; c < e && c < count; ++c)
            if (state[c] & kKept) {
                kept.push_back(c);
                nameBytes += uint64_t(source.nodes[c].name ? source.nodes[c].nameLength : 0) + 1;
            }
        if (kept.empty())
            continue;
        char* names = out->allocateNames(nameBytes);
        const uint32_t first = out->allocateNodes(uint32_t(kept.size()));
        for (size_t i = 0; i < kept.size(); ++i) {
            const uint32_t newId = first + uint32_t(i);
            copyRecord(source, source.nodes[kept[i]], out->nodes[newId], names, to);
            if (auto bind = source.bindSources.find(kept[i]); bind != source.bindSources.end())
                out->bindSources.emplace(newId, bind->second);
            if (auto mount = source.enteredMounts.find(kept[i]); mount != source.enteredMounts.end())
                out->enteredMounts.emplace(newId, mount->second);
            if (from == 0)
                for (const auto& [id, reach] : source.unreachedRoots)
                    if (id == kept[i])
                        out->unreachedRoots.emplace_back(newId, reach);
            if (source.nodes[kept[i]].flags & NodeFlag::Folder)
                queue.emplace_back(kept[i], newId);
        }
        out->nodes[to].firstChild = first;
        out->nodes[to].childCount = uint32_t(kept.size());
    }

    out->finishNodeCount();
    out->computeTotals();
    if (source.importMismatch) {
        for (const auto& [from, to] : queue) {
            const ScanNode& s = source.nodes[from];
            ScanNode& d = out->nodes[to];
            d.size = s.size;
            d.allocated = s.allocated;
            d.filesBelow = s.filesBelow;
            d.foldersBelow = s.foldersBelow;
        }
        out->importMismatch = true;
    }
    for (const auto& [id, reach] : source.unreachedRoots)
        if (id == 0)
            out->unreachedRoots.emplace_back(0, reach);
    out->errors = source.errors;
    out->scannedTops = source.scannedTops;
    out->seconds = source.seconds;
    out->incomplete = source.incomplete;
    return out;
}

}  // namespace svl
