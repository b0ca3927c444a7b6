#include "core/analysis/FileSort.h"

#include <cstring>
#include <string>
#include <string_view>

#include "core/analysis/Duplicates.h"
#include "core/tree/Attributes.h"
#include "core/tree/ScanTree.h"

namespace svl {

namespace {

// The records' array new and delete serve the parallel sort's scratch array (new T[n]):
// fresh pages of a large array cost more to fault in than the merge passes themselves.
struct NumberRecord {
    int64_t key;  // already inverted for descending order
    uint32_t id;

    static void* operator new[](size_t bytes) { return allocateLargeArray(bytes); }
    static void operator delete[](void* p, size_t bytes) noexcept { freeLargeArray(p, bytes); }
};

struct NameRecord {
    uint64_t prefix[3];  // first 24 name bytes, big-endian words, zero-filled
    uint32_t id;
    bool longName;  // more than 24 bytes: equal prefixes need the whole names

    static void* operator new[](size_t bytes) { return allocateLargeArray(bytes); }
    static void operator delete[](void* p, size_t bytes) noexcept { freeLargeArray(p, bytes); }
};

struct IdRecord {
    uint32_t id;

    static void* operator new[](size_t bytes) { return allocateLargeArray(bytes); }
    static void operator delete[](void* p, size_t bytes) noexcept { freeLargeArray(p, bytes); }
};

// The depth is walked once per id instead of twice per comparison.
struct PathRecord {
    uint32_t id;
    uint32_t depth;

    static void* operator new[](size_t bytes) { return allocateLargeArray(bytes); }
    static void operator delete[](void* p, size_t bytes) noexcept { freeLargeArray(p, bytes); }
};

std::string_view nameOf(const ScanTree& tree, uint32_t id) { return tree.nodes[id].nameView(); }

// Byte-wise, unsigned, shorter first on a common prefix.
int compareBytes(std::string_view x, std::string_view y) {
    const size_t common = std::min(x.size(), y.size());
    if (common != 0) {
        const int c = std::memcmp(x.data(), y.data(), common);
        if (c != 0)
            return c < 0 ? -1 : 1;
    }
    if (x.size() == y.size())
        return 0;
    return x.size() < y.size() ? -1 : 1;
}

NameRecord makeNameRecord(const ScanTree& tree, uint32_t id) {
    const std::string_view name = nameOf(tree, id);
    NameRecord r{{0, 0, 0}, id, name.size() > 24};
    const size_t len = std::min<size_t>(name.size(), 24);
    for (size_t i = 0; i < len; ++i)
        r.prefix[i / 8] |= uint64_t(static_cast<unsigned char>(name[i])) << (56 - 8 * (i % 8));
    return r;
}

int64_t numberValue(const ScanTree& tree, uint32_t id, FileSortColumn column, bool folderUsesNewest,
                    const DuplicateIndex* duplicates) {
    const ScanNode& node = tree.nodes[id];
    switch (column) {
    case FileSortColumn::Allocated:
        return (node.flags & NodeFlag::ExtraHardLink) ? 0 : int64_t(node.allocated);
    case FileSortColumn::Modified:
        if (modifiedUnknown(node))
            return INT64_MIN;  // a date never read sorts as the oldest
        if (folderUsesNewest && (node.flags & NodeFlag::Folder) && id < tree.newestTimes.size())
            return tree.newestTimes[id];
        return node.modified;
    case FileSortColumn::Attributes:
        return int64_t(attributeBits(node, true, node.nameView()));
    case FileSortColumn::DupCount:
        return duplicates ? int64_t(duplicates->duplicateCount(id)) : 0;
    case FileSortColumn::DupSize:
        return duplicates ? int64_t(duplicates->duplicateSize(id, node.size)) : 0;
    default:
        return int64_t(node.size);
    }
}

// Depth below the root (root id 0, depth 0).
uint32_t depthOf(const ScanTree& tree, uint32_t id) {
    uint32_t depth = 0;
    while (id != 0) {
        id = tree.nodes[id].parent;
        ++depth;
    }
    return depth;
}

int compareFullPaths(const ScanTree& tree, uint32_t a, uint32_t b) {
    return compareBytes(tree.fullPath(a), tree.fullPath(b));
}

// comparePaths with the depths of a and b already known.
int comparePathsAtDepths(const ScanTree& tree, uint32_t a, uint32_t da, uint32_t b, uint32_t db) {
    if (a == b)
        return 0;
    uint32_t ea = a, eb = b;
    for (; da > db; --da)
        ea = tree.nodes[ea].parent;
    for (; db > da; --db)
        eb = tree.nodes[eb].parent;
    if (ea == eb)
        return ea == a ? -1 : 1;  // one is the other's ancestor, whose path is a prefix
    while (tree.nodes[ea].parent != tree.nodes[eb].parent) {
        ea = tree.nodes[ea].parent;
        eb = tree.nodes[eb].parent;
    }
    const std::string_view na = nameOf(tree, ea), nb = nameOf(tree, eb);
    // Empty names and names ending in '/' change how the separator is added; equal names
    // leave nothing to decide here.
    if (na.empty() || nb.empty() || na.back() == '/' || nb.back() == '/' || na == nb)
        return compareFullPaths(tree, a, b);
    const size_t common = std::min(na.size(), nb.size());
    const int c = std::memcmp(na.data(), nb.data(), common);
    if (c != 0)
        return c < 0 ? -1 : 1;
    // One name is a proper prefix of the other; the shorter side's path ends or goes on with '/'.
    if (na.size() < nb.size()) {
        if (ea == a)
            return -1;
        const unsigned char next = static_cast<unsigned char>(nb[common]);
        if (next == '/')
            return compareFullPaths(tree, a, b);
        return next > '/' ? -1 : 1;
    }
    if (eb == b)
        return 1;
    const unsigned char next = static_cast<unsigned char>(na[common]);
    if (next == '/')
        return compareFullPaths(tree, a, b);
    return next > '/' ? 1 : -1;
}

}  // namespace

int comparePaths(const ScanTree& tree, uint32_t a, uint32_t b) {
    return a == b ? 0 : comparePathsAtDepths(tree, a, depthOf(tree, a), b, depthOf(tree, b));
}

void sortFileIds(const ScanTree& tree, std::vector<uint32_t>& ids, FileSortColumn column, bool descending,
                 uint64_t limit, bool folderUsesNewest, const DuplicateIndex* duplicates) {
    const uint64_t n = ids.size();
    if (n < 2) {
        if (limit < n)
            ids.resize(limit);
        return;
    }
    if (column == FileSortColumn::Path) {
        selectAndSort(
            ids, limit, [&tree](uint32_t id) { return PathRecord{id, depthOf(tree, id)}; },
            [&tree, descending](const PathRecord& x, const PathRecord& y) {
                const int r = comparePathsAtDepths(tree, x.id, x.depth, y.id, y.depth);
                if (r != 0)
                    return descending ? r > 0 : r < 0;
                return x.id < y.id;
            });
        return;
    }
    if (column == FileSortColumn::Name) {
        const uint64_t k = std::min(limit, n);
        if (8 * k < n) {
            selectAndSort(
                ids, limit, [](uint32_t id) { return IdRecord{id}; },
                [&tree, descending](const IdRecord& x, const IdRecord& y) {
                    const int r = compareBytes(nameOf(tree, x.id), nameOf(tree, y.id));
                    if (r != 0)
                        return descending ? r > 0 : r < 0;
                    return x.id < y.id;
                });
        } else {
            selectAndSort(
                ids, limit, [&tree](uint32_t id) { return makeNameRecord(tree, id); },
                [&tree, descending](const NameRecord& x, const NameRecord& y) {
                    for (int w = 0; w < 3; ++w)
                        if (x.prefix[w] != y.prefix[w])
                            return descending ? x.prefix[w] > y.prefix[w] : x.prefix[w] < y.prefix[w];
                    if (x.longName || y.longName) {
                        const int r = compareBytes(nameOf(tree, x.id), nameOf(tree, y.id));
                        if (r != 0)
                            return descending ? r > 0 : r < 0;
                    }
                    return x.id < y.id;
                });
        }
        return;
    }
    const int64_t mask = descending ? -1 : 0;
    selectAndSort(
        ids, limit,
        [&tree, column, folderUsesNewest, duplicates, mask](uint32_t id) {
            return NumberRecord{numberValue(tree, id, column, folderUsesNewest, duplicates) ^ mask, id};
        },
        [](const NumberRecord& x, const NumberRecord& y) { return x.key != y.key ? x.key < y.key : x.id < y.id; });
}

}  // namespace svl
