// Scan trees built directly in memory for the analysis tests (no file system involved).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/tree/ScanTree.h"

namespace analysistest {

// The largest tree of the threshold tests. The sanitizer build runs unoptimised and many
// times slower, so there it stays just above the parallel-sort threshold of 200000 elements.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kLargeNodes = 300000;
#else
constexpr uint32_t kLargeNodes = 1000000;
#endif

struct Entry {
    int parent;  // index of the parent entry (-1 for the root, entry 0); parents come first
    std::string name;
    uint64_t size = 0;
    uint64_t allocated = 0;
    int64_t modified = 0;
    uint16_t flags = 0;
};

struct BuiltTree {
    std::unique_ptr<svl::ScanTree> tree;
    std::vector<uint32_t> idOf;  // entry index -> node id
};

// Numbers the entries the way builders do: the root first, then one contiguous block of
// children per folder (breadth-first). Runs computeTotals unless told not to.
inline BuiltTree buildTree(const std::vector<Entry>& entries, bool totals = true) {
    BuiltTree built;
    built.tree = std::make_unique<svl::ScanTree>();
    svl::ScanTree& tree = *built.tree;
    built.idOf.assign(entries.size(), 0);
    if (entries.empty()) {
        tree.finishNodeCount();
        return built;
    }
    // Children per entry as one array in entry order (counting sort by parent).
    std::vector<size_t> start(entries.size() + 1, 0);
    for (size_t i = 1; i < entries.size(); ++i)
        ++start[size_t(entries[i].parent) + 1];
    for (size_t i = 0; i < entries.size(); ++i)
        start[i + 1] += start[i];
    std::vector<size_t> children(entries.size());
    std::vector<size_t> fill(start.begin(), start.end() - 1);
    for (size_t i = 1; i < entries.size(); ++i)
        children[fill[size_t(entries[i].parent)]++] = i;
    auto write = [&](size_t e, uint32_t id, uint32_t parent) {
        const Entry& src = entries[e];
        svl::ScanNode& node = tree.nodes[id];
        node = svl::ScanNode{};
        node.name = tree.storeName(src.name);
        node.nameLength = uint16_t(src.name.size());
        node.size = src.size;
        node.allocated = src.allocated;
        node.modified = src.modified;
        node.parent = parent;
        node.flags = src.flags;
        built.idOf[e] = id;
    };
    write(0, tree.allocateNodes(1), 0);
    std::vector<size_t> queue{0};
    queue.reserve(entries.size());
    for (size_t q = 0; q < queue.size(); ++q) {
        const size_t e = queue[q];
        const size_t count = start[e + 1] - start[e];
        if (count == 0)
            continue;
        const uint32_t parentId = built.idOf[e];
        const uint32_t first = tree.allocateNodes(uint32_t(count));
        for (size_t k = 0; k < count; ++k) {
            const size_t child = children[start[e] + k];
            write(child, first + uint32_t(k), parentId);
            queue.push_back(child);
        }
        tree.nodes[parentId].firstChild = first;
        tree.nodes[parentId].childCount = uint32_t(count);
    }
    tree.finishNodeCount();
    if (totals)
        tree.computeTotals();
    return built;
}

inline Entry folder(int parent, std::string name, uint16_t extraFlags = 0) {
    return Entry{parent, std::move(name), 0, 4096, 0, uint16_t(svl::NodeFlag::Folder | extraFlags)};
}

inline Entry file(int parent, std::string name, uint64_t size, int64_t modified = 0, uint16_t flags = 0) {
    return Entry{parent, std::move(name), size, (size + 4095) / 4096 * 4096, modified, flags};
}

}  // namespace analysistest

namespace analysistest {

// A tree of exactly `nodes` nodes: a root folder, a few levels of subfolders and files whose
// names, sizes and times come from small sets, so that duplicates, equal keys and shared
// extensions are common. Deterministic for a given seed.
inline BuiltTree makeLargeTree(uint32_t nodes, uint64_t seed = 1) {
    static const char* const kStems[] = {"photo", "Photo (2)", "notes - Copy", "report copy 3", "a", "B", "README",
                                         ".profile", "x.tar", "longer name of a file that passes 24 bytes",
                                         "longer name of a file that passes 24 bytez", "\xc3\xa9t\xc3\xa9", ""};
    static const char* const kExtensions[] = {".jpg", ".JPG", ".txt", ".gz", "", ".", ".abcdefghijklmnop",
                                              ".abcdefghijklmnopq", ".Tx\xc3\x89"};
    uint64_t state = seed * 0x9e3779b97f4a7c15ULL + 1;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::vector<Entry> entries;
    if (nodes == 0)
        return buildTree(entries);
    entries.reserve(nodes);
    entries.push_back(folder(-1, "/data"));
    std::vector<int> folders{0};
    const uint32_t folderCount = nodes > 2 ? (nodes - 1) / 1000 + 1 : 0;
    const uint32_t files = nodes - 1 - folderCount;
    for (uint32_t f = 0; f < folderCount; ++f) {
        const int parent = folders[next() % folders.size()];
        entries.push_back(folder(parent, "dir" + std::to_string(f)));
        folders.push_back(int(entries.size() - 1));
    }
    // Names stay unique inside a folder, as on a real file system: a name already used there
    // gets a number in front (per folder), while equal names in different folders stay common.
    const size_t combos = std::size(kStems) * std::size(kExtensions);
    std::vector<std::vector<bool>> used(folders.size(), std::vector<bool>(combos));
    std::vector<uint32_t> renamed(folders.size());
    for (uint32_t i = 0; i < files; ++i) {
        const uint64_t r = next();
        const size_t stem = r % std::size(kStems);
        const size_t ext = (r >> 8) % std::size(kExtensions);
        const size_t where = (r >> 16) % folders.size();
        std::string name;
        if (used[where][stem * std::size(kExtensions) + ext])
            name = std::to_string(renamed[where]++) + " ";
        used[where][stem * std::size(kExtensions) + ext] = true;
        name += kStems[stem];
        name += kExtensions[ext];
        Entry e = file(folders[where], std::move(name), (r >> 24) % 7, int64_t((r >> 32) % 3) - 1);
        const uint64_t kind = (r >> 40) % 100;
        if (kind == 0)
            e.flags |= svl::NodeFlag::Removed;
        else if (kind == 1)
            e.flags |= svl::NodeFlag::ExtraHardLink;
        else if (kind == 2)
            e.flags |= svl::NodeFlag::Hidden;
        entries.push_back(std::move(e));
    }
    return buildTree(entries);
}

}  // namespace analysistest
