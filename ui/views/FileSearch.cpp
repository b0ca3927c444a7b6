#include "ui/views/FileSearch.h"

#include "app/QtRegexMatcher.h"
#include "core/analysis/CollectMatches.h"
#include "core/analysis/FilterMatch.h"
#include "core/analysis/MatchBitmap.h"
#include "core/tree/ScanTree.h"
#include "core/tree/SelectionTotals.h"

namespace {

svl::Filter decodeRequest(const SearchParams& params, const svl::RegexFactory& factory) {
    return svl::decodeFilterText(params.text, params.matchEntirePath, &factory);
}

}  // namespace

svl::FileSortColumn fileSortColumnFor(int viewColumn) {
    switch (viewColumn) {
    case 0: return svl::FileSortColumn::Name;
    case 1: return svl::FileSortColumn::Path;
    case 4: return svl::FileSortColumn::Allocated;
    case 5: return svl::FileSortColumn::Modified;
    case 6: return svl::FileSortColumn::Attributes;
    case 7: return svl::FileSortColumn::DupCount;
    case 8: return svl::FileSortColumn::DupSize;
    default: return svl::FileSortColumn::Size;  // "% of Root", "Size", no indicator
    }
}

bool runSearch(const svl::ScanTree& tree, const SearchParams& params, const std::atomic<int>& counter, int generation,
               SearchResult& result) {
    result = SearchResult{};
    if (params.dupMethod != 0) {
        if (params.cachedDuplicates) {
            result.duplicates = params.cachedDuplicates;
        } else {
            auto index = std::make_shared<svl::DuplicateIndex>(
                svl::detectDuplicates(tree, svl::DuplicateMethod(params.dupMethod), &counter, generation));
            if (counter.load() != generation)
                return false;
            result.duplicates = std::move(index);
            result.duplicatesComputed = true;
        }
    }
    const svl::DuplicateIndex* duplicates = result.duplicates.get();
    const bool dupFilterActive = params.dupsOnly && duplicates;

    const svl::RegexFactory factory = qtRegexFactory();
    const svl::Filter probe = decodeRequest(params, factory);
    const bool matchAll = probe.empty();
    const bool useBitmap = probe.fullPath && !matchAll;

    std::vector<uint8_t> bitmap;
    if (useBitmap) {
        const svl::FilterSource source = [&probe] { return probe.freshCopy(); };
        bitmap = svl::matchBitmap(tree, source, &counter, generation, svl::kFilterSliceSize, duplicates);
        if (bitmap.size() < tree.nodeCount)
            return false;  // cancelled by a newer request
    }

    const svl::ScanNode* nodes = tree.nodes;
    const uint32_t nodeCount = tree.nodeCount;
    auto makeChunkTest = [&]() {
        svl::Filter filter = (useBitmap || matchAll) ? svl::Filter{} : probe.freshCopy();
        auto cache = std::make_unique<svl::PathLengthCache>();
        return [&, filter = std::move(filter), cache = std::move(cache)](uint32_t id) {
            if (id + 16 < nodeCount)
                __builtin_prefetch(&nodes[id + 16]);
            if (!params.folders && nodes[id].isFolder())
                return false;
            if (dupFilterActive && duplicates->duplicateCount(id) == 0)
                return false;
            if (matchAll)
                return true;
            if (useBitmap)
                return bitmap[id] != 0;
            return svl::filterMatchesNode(tree, id, filter, cache.get(), duplicates);
        };
    };
    if (!svl::collectMatches(nodeCount, counter, generation, makeChunkTest, result.ids))
        return false;

    // The sort below does not look at the generation; a newer request skips it.
    if (counter.load() != generation)
        return false;
    const uint64_t limit = std::min<uint64_t>(uint64_t(params.maxFiles), result.ids.size());
    svl::sortFileIds(tree, result.ids, fileSortColumnFor(params.sortColumn), params.sortOrder == 1, limit,
                     params.showMaxModifiedDate, duplicates);
    result.ids.resize(limit);
    const svl::SelectionTotals totals = svl::selectionTotals(tree, result.ids);
    result.totalSize = totals.size;
    result.totalAllocated = totals.allocated;
    return counter.load() == generation;
}
