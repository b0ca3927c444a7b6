// Whether one candidate passes a decoded filter: a node of a finished tree (views,
// search, filtered copies) or an entry a scan has just met (the scan-time exclusion).
// Terms whose answer cannot be known (sizes of scan entries, duplicate conditions
// without a duplicate index) count as unknown: a filter matches only when its answer
// is certainly true, so an unknown never excludes an entry nor selects a node.
// Threads: evaluation only reads the filter; candidates and caches belong to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/analysis/Filter.h"

namespace svl {

class ScanTree;
struct DuplicateIndex;

// What a scanner hands in for an entry that is not in the tree yet.
struct FilterEntry {
    std::string_view name;        // UTF-8
    std::string_view folderPath;  // full path of the holding folder (may end with "/")
    bool isFolder = false;
    uint64_t size = 0;
    uint64_t allocated = 0;
    int64_t modified = 0;
};

// Lengths of folders' full paths, one slot per id modulo 512. One thread, one tree.
struct PathLengthCache {
    struct Slot {
        uint32_t id;
        uint32_t length;
        bool endsWithSlash;
    };
    static constexpr uint32_t kSlots = 512;
    static constexpr uint32_t kEmpty = 0xFFFFFFFF;
    Slot entries[kSlots];

    PathLengthCache() { clear(); }
    void clear() {
        for (Slot& s : entries)
            s = Slot{kEmpty, 0, false};
    }
};

// One evaluation's view of a candidate; its text forms are built on first use.
class FilterCandidate {
public:
    FilterCandidate(const ScanTree& tree, uint32_t id, const DuplicateIndex* duplicates = nullptr);
    explicit FilterCandidate(const FilterEntry& entry);

    // True when every group has a term that is certainly true after its negation.
    [[nodiscard]] bool matches(const Filter& filter);
    // One term before its negation.
    [[nodiscard]] Truth evaluateTerm(const FilterTerm& term, bool fullPath);

    // Full path in UTF-16, folded or not (entries: folder path + "/" + name).
    void buildFullPath(std::u16string& out, bool fold) const;

    const std::u16string& foldedName();
    const std::u16string& plainName();  // lone surrogates replaced, for regular expressions
    const std::u16string& foldedPath();
    const std::u16string& plainPath();  // lone surrogates replaced, for regular expressions

    const ScanTree* tree = nullptr;
    uint32_t id = 0;
    size_t nameLength = 0;
    const char* name = nullptr;
    size_t folderPathLength = 0;
    const char* folderPath = nullptr;
    bool isFolder = false;
    uint64_t size = 0;
    uint64_t allocated = 0;
    int64_t modified = 0;
    bool sizesKnown = false;
    const DuplicateIndex* duplicates = nullptr;

private:
    std::u16string m_foldedName, m_plainName, m_foldedPath, m_plainPath;
    bool m_foldedNameReady = false, m_plainNameReady = false, m_foldedPathReady = false, m_plainPathReady = false;
};

// A node against a filter. With a compiled form and name mode, the compiled evaluator
// answers (cache may be null). `duplicates` feeds duplicate conditions; without it they
// are unknown.
[[nodiscard]] bool filterMatchesNode(const ScanTree& tree, uint32_t id, const Filter& filter, PathLengthCache* cache,
                                     const DuplicateIndex* duplicates = nullptr);
// The reference evaluator: never takes the compiled path.
[[nodiscard]] bool filterMatchesNode(const ScanTree& tree, uint32_t id, const Filter& filter);

// A scan entry against the exclusion filter: true means leave the entry out. Size and
// allocated-size conditions are unknown for entries, so they never cause an exclusion;
// a filter without groups (blank or bar-only text) excludes nothing.
[[nodiscard]] bool filterMatchesEntry(const FilterEntry& entry, const Filter& filter);

// One condition term on a candidate, before `negate`.
[[nodiscard]] Truth evalFilterCondition(const FilterTerm& term, FilterCandidate& candidate);

// Appends a node's full path in UTF-16 (root name, then "/" unless the path so far ends
// with "/", then each name); uses a thread-local ancestor list.
void appendNodePath(std::u16string& out, const ScanTree& tree, uint32_t id, bool fold);
// UTF-16 length of a node's full path without building it; equals appendNodePath's length.
[[nodiscard]] uint32_t pathLength(const ScanTree& tree, uint32_t id, PathLengthCache* cache);

// '*' any run, '?' one unit, all of text; compared unit by unit (callers fold both sides).
[[nodiscard]] bool wildcardMatch(const char16_t* pattern, size_t patternLength, const char16_t* text, size_t textLength);

// c op r, with any other op false.
template <typename T>
[[nodiscard]] inline bool compareValues(T c, CompareOp op, T r) {
    switch (op) {
    case CompareOp::Equal: return c == r;
    case CompareOp::Greater: return c > r;
    case CompareOp::GreaterEqual: return c >= r;
    case CompareOp::Less: return c < r;
    case CompareOp::LessEqual: return c <= r;
    }
    return false;
}

}  // namespace svl
