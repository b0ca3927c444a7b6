// The compiled form of a filter for fast node tests: each term becomes an instruction
// whose kind is decided once and which carries a one-byte copy of an ASCII pattern, so
// ASCII names are tested with byte operations and folded UTF-16 is built only when needed.
// Threads: read-only once compileFilter returns; any number of threads may evaluate it.
// Scratch strings are per thread; a CompiledNodeView belongs to one evaluation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/analysis/Filter.h"
#include "core/analysis/FilterMatch.h"

namespace svl {

class ScanTree;
struct ScanNode;
struct DuplicateIndex;

enum class InstructionKind : uint8_t {
    Size = 0,
    Allocated = 1,
    ModifiedDay = 2,
    ModifiedTime = 3,
    NameLength = 4,
    PathLength = 5,
    Duplicates = 6,
    Regex = 7,
    FoldersOnly = 8,
    FilesOnly = 9,
    NoExtension = 10,
    Extension = 11,
    Wildcard = 12,
    Substring = 13,
};

// The state of one evaluation of one node; derived name forms are made on first use.
struct CompiledNodeView {
    CompiledNodeView(const ScanTree& tree, uint32_t id, PathLengthCache* cache,
                     const DuplicateIndex* duplicates = nullptr);

    const ScanTree* tree;
    uint32_t id;
    const ScanNode* node;
    uint64_t nameLength;
    const char* name;
    PathLengthCache* cache;
    const DuplicateIndex* duplicates;
    int32_t asciiState = -1;  // -1 unknown, 0 has a byte >= 0x80, 1 pure ASCII
    bool loweredReady = false;
    bool foldedReady = false;      // the per-thread folded name holds this node's name
    bool foldedPathReady = false;  // the per-thread folded full path holds this node's path
    bool plainPathReady = false;   // the per-thread plain full path holds this node's path
    uint64_t loweredLength = 0;
    const char* lowered = nullptr;
    char inlineBuffer[256];

    bool isAscii();
    const char* loweredName();         // ASCII names only
    const std::u16string& foldedName();  // names with a byte >= 0x80
    const std::u16string& foldedPath();
    const std::u16string& plainPath();   // lone surrogates replaced
};

struct FilterInstruction {
    InstructionKind kind = InstructionKind::Substring;
    bool negate = false;
    bool asciiPattern = false;  // Extension, Wildcard, Substring: the matched form is ASCII
    int32_t nameSlot = -1;
    FilterTerm term;
    std::string narrowPattern;  // the matched form, one byte per unit, when asciiPattern

    // The instruction before its negation; Unknown only for duplicate conditions without
    // a duplicate index.
    [[nodiscard]] Truth evaluate(CompiledNodeView& view, bool fullPathMode) const;
    // The Substring test on the node's name.
    [[nodiscard]] bool nameContains(CompiledNodeView& view) const;
};

class CompiledFilter {
public:
    CompiledFilter() = default;
    CompiledFilter(const CompiledFilter&) = delete;  // nameSlots point into groups
    CompiledFilter& operator=(const CompiledFilter&) = delete;

    // Name mode: the filter on node `id`; cache may be null.
    [[nodiscard]] bool matchesNode(const ScanTree& tree, uint32_t id, PathLengthCache* cache,
                                   const DuplicateIndex* duplicates = nullptr) const;
    // The groups on a view. Instructions with a name slot take their result from bit
    // nameSlot of `slotMask` when `useSlots` is set.
    [[nodiscard]] bool matchesView(CompiledNodeView& view, bool fullPathMode, bool useSlots, uint16_t slotMask) const;

    bool fullPath = false;
    std::vector<std::vector<FilterInstruction>> groups;
    int32_t nameSlotCount = 0;
    std::vector<const FilterInstruction*> nameSlots;
};

// Compiles a decoded filter; null when it has no groups.
[[nodiscard]] std::shared_ptr<CompiledFilter> compileFilter(const Filter& filter);

// Glob over bytes or UTF-16 units: '*' any run, '?' one unit, the whole text.
template <class Unit>
bool globMatch(const Unit* pattern, size_t patternLength, const Unit* text, size_t textLength) {
    size_t i = 0, k = 0;
    size_t star = SIZE_MAX, starText = 0;
    while (k < textLength) {
        if (i < patternLength && pattern[i] == Unit('*')) {
            star = i++;
            starText = k;
        } else if (i < patternLength && (pattern[i] == Unit('?') || pattern[i] == text[k])) {
            ++i, ++k;
        } else if (star != SIZE_MAX) {
            i = star + 1;
            k = ++starText;
        } else {
            return false;
        }
    }
    while (i < patternLength && pattern[i] == Unit('*'))
        ++i;
    return i == patternLength;
}

}  // namespace svl
