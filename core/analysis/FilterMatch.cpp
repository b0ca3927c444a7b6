#include "core/analysis/FilterMatch.h"

#include <cmath>
#include <string_view>
#include <vector>

#include "core/analysis/CompiledFilter.h"
#include "core/analysis/Duplicates.h"
#include "core/tree/ScanTree.h"
#include "core/tree/TextConversion.h"

namespace svl {

namespace {

// Ancestor ids of the node being measured or spelled out, kept between calls.
thread_local std::vector<uint32_t> t_ancestors;

void collectAncestors(const ScanTree& tree, uint32_t id) {
    t_ancestors.clear();
    for (uint32_t at = id;; at = tree.nodes[at].parent) {
        t_ancestors.push_back(at);
        if (at == 0)
            break;
    }
}

inline size_t nameBytes(const ScanNode& node) { return node.name ? node.nameLength : 0; }

// Whether the path so far ends with "/" after a node's name was appended.
inline bool endsWithSlashAfter(const ScanNode& node) {
    const size_t n = nameBytes(node);
    // An empty name leaves the "/" just added (or already there) at the end.
    return n == 0 || node.name[n - 1] == '/';
}

inline uint32_t saturate32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : uint32_t(v); }

bool containsUnits(const std::u16string& text, const std::u16string& pattern) {
    return pattern.empty() || std::u16string_view(text).find(pattern) != std::u16string_view::npos;
}

Truth truth(bool b) { return b ? Truth::True : Truth::False; }

int64_t saturatedSigned(uint64_t v) { return v > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(v); }

}  // namespace

FilterCandidate::FilterCandidate(const ScanTree& t, uint32_t nodeId, const DuplicateIndex* dups)
    : tree(&t), id(nodeId), duplicates(dups) {
    const ScanNode& node = t.nodes[nodeId];
    name = node.name;
    nameLength = nameBytes(node);
    isFolder = node.flags & NodeFlag::Folder;
    size = node.size;
    allocated = (node.flags & NodeFlag::ExtraHardLink) ? 0 : node.allocated;
    modified = node.modified;
    sizesKnown = true;
}

FilterCandidate::FilterCandidate(const FilterEntry& entry)
    : nameLength(entry.name.size()), name(entry.name.data()), folderPathLength(entry.folderPath.size()),
      folderPath(entry.folderPath.data()), isFolder(entry.isFolder), size(entry.size), allocated(entry.allocated),
      modified(entry.modified), sizesKnown(false) {}

const std::u16string& FilterCandidate::foldedName() {
    if (!m_foldedNameReady) {
        appendUtf8AsUtf16(m_foldedName, nameLength, name, true);
        m_foldedNameReady = true;
    }
    return m_foldedName;
}

const std::u16string& FilterCandidate::plainName() {
    if (!m_plainNameReady) {
        appendUtf8AsUtf16(m_plainName, nameLength, name, false);
        replaceLoneSurrogates(m_plainName);
        m_plainNameReady = true;
    }
    return m_plainName;
}

const std::u16string& FilterCandidate::foldedPath() {
    if (!m_foldedPathReady) {
        buildFullPath(m_foldedPath, true);
        m_foldedPathReady = true;
    }
    return m_foldedPath;
}

const std::u16string& FilterCandidate::plainPath() {
    if (!m_plainPathReady) {
        buildFullPath(m_plainPath, false);
        replaceLoneSurrogates(m_plainPath);
        m_plainPathReady = true;
    }
    return m_plainPath;
}

void FilterCandidate::buildFullPath(std::u16string& out, bool fold) const {
    out.clear();
    if (tree) {
        appendNodePath(out, *tree, id, fold);
        return;
    }
    appendUtf8AsUtf16(out, folderPathLength, folderPath, fold);
    if (folderPathLength == 0 || folderPath[folderPathLength - 1] != '/')
        out += u'/';
    appendUtf8AsUtf16(out, nameLength, name, fold);
}

bool FilterCandidate::matches(const Filter& filter) {
    for (const std::vector<FilterTerm>& group : filter.groups) {
        bool passed = false;
        for (const FilterTerm& term : group) {
            const Truth t = evaluateTerm(term, filter.fullPath);
            // An unknown answer satisfies a group neither plainly nor negated.
            if (t != Truth::Unknown && (t == Truth::True) != term.negate) {
                passed = true;
                break;
            }
        }
        if (!passed)
            return false;
    }
    return true;
}

Truth FilterCandidate::evaluateTerm(const FilterTerm& term, bool fullPath) {
    if (term.isCondition)
        return evalFilterCondition(term, *this);
    if (term.regex) {
        const std::u16string& text = fullPath ? plainPath() : plainName();
        return truth(term.regex->matches(text.data(), text.size()));
    }
    if (term.foldersOnly)
        return truth(isFolder);
    if (term.filesOnly)
        return truth(!isFolder);
    if (term.isNoExtension) {
        const std::u16string& n = foldedName();
        const size_t dot = n.rfind(u'.');
        return truth(dot == std::u16string::npos || dot + 1 == n.size());
    }
    if (term.isExtension) {
        const std::u16string& n = foldedName();
        return truth(n.size() >= term.extension.size() &&
                     std::u16string_view(n).substr(n.size() - term.extension.size()) == term.extension);
    }
    const std::u16string& text = fullPath ? foldedPath() : foldedName();
    if (term.isWildcard)
        return truth(wildcardMatch(term.pattern.data(), term.pattern.size(), text.data(), text.size()));
    return truth(containsUnits(text, term.pattern));
}

Truth evalFilterCondition(const FilterTerm& term, FilterCandidate& c) {
    if (int32_t(term.op) < 0 || int32_t(term.op) > 4)
        return Truth::False;
    switch (term.kind) {
    case ConditionKind::Size:
        if (!c.sizesKnown)
            return Truth::Unknown;
        return truth(compareValues(saturatedSigned(c.size), term.op, term.value));
    case ConditionKind::Allocated:
        if (!c.sizesKnown)
            return Truth::Unknown;
        return truth(compareValues(saturatedSigned(c.allocated), term.op, term.value));
    case ConditionKind::ModifiedDay:
        return truth(compareValues(std::floor((double(c.modified) + term.utcOffset) / 86400.0), term.op,
                                   double(term.day)));
    case ConditionKind::ModifiedTime: {
        double t = double(c.modified);
        if (!term.absoluteTime) {
            t = std::fmod(t + term.utcOffset, 86400.0);
            if (t < 0)
                t += 86400.0;
        }
        return truth(compareValues(t, term.op, term.time));
    }
    case ConditionKind::NameLength:
        return truth(compareValues(int64_t(c.foldedName().size()), term.op, term.value));
    case ConditionKind::PathLength: {
        int64_t length;
        if (c.tree)
            length = int64_t(pathLength(*c.tree, c.id, nullptr));
        else
            length = int64_t(c.foldedPath().size());
        return truth(compareValues(length, term.op, term.value));
    }
    case ConditionKind::DuplicateCount:
    case ConditionKind::DuplicateSize: {
        // Duplicate numbers exist only for nodes of a tree with a duplicate index.
        if (!c.tree || !c.duplicates)
            return Truth::Unknown;
        const int64_t v = term.kind == ConditionKind::DuplicateCount
                              ? int64_t(c.duplicates->duplicateCount(c.id))
                              : saturatedSigned(c.duplicates->duplicateSize(c.id, c.size));
        return truth(compareValues(v, term.op, term.value));
    }
    }
    return Truth::False;
}

void appendNodePath(std::u16string& out, const ScanTree& tree, uint32_t id, bool fold) {
    collectAncestors(tree, id);
    const size_t start = out.size();
    const ScanNode& root = tree.nodes[0];
    appendUtf8AsUtf16(out, nameBytes(root), root.name, fold);
    for (size_t i = t_ancestors.size() - 1; i-- > 0;) {
        const ScanNode& node = tree.nodes[t_ancestors[i]];
        if (out.size() == start || out.back() != u'/')
            out += u'/';
        appendUtf8AsUtf16(out, nameBytes(node), node.name, fold);
    }
}

uint32_t pathLength(const ScanTree& tree, uint32_t id, PathLengthCache* cache) {
    const ScanNode& root = tree.nodes[0];
    const size_t rootBytes = nameBytes(root);
    const uint64_t rootLength = utf16Length(rootBytes, root.name);
    if (id == 0)
        return saturate32(rootLength);
    if (!cache) {
        collectAncestors(tree, id);
        uint64_t length = rootLength;
        bool slash = rootBytes > 0 && root.name[rootBytes - 1] == '/';
        for (size_t i = t_ancestors.size() - 1; i-- > 0;) {
            const ScanNode& node = tree.nodes[t_ancestors[i]];
            length += (slash ? 0 : 1) + utf16Length(nameBytes(node), node.name);
            slash = endsWithSlashAfter(node);
        }
        return saturate32(length);
    }

    // Walk up from the parent to the first folder the cache knows (or the root).
    const uint32_t parent = tree.nodes[id].parent;
    t_ancestors.clear();
    uint64_t length = 0;
    bool slash = false;
    for (uint32_t at = parent;; at = tree.nodes[at].parent) {
        PathLengthCache::Slot& slot = cache->entries[at % PathLengthCache::kSlots];
        if (slot.id == at) {
            length = slot.length;
            slash = slot.endsWithSlash;
            break;
        }
        if (at == 0) {
            length = rootLength;
            slash = rootBytes > 0 && root.name[rootBytes - 1] == '/';
            cache->entries[0] = {0, saturate32(length), slash};
            break;
        }
        t_ancestors.push_back(at);
    }
    // Back down, storing every folder on the way.
    for (size_t i = t_ancestors.size(); i-- > 0;) {
        const uint32_t at = t_ancestors[i];
        const ScanNode& node = tree.nodes[at];
        length += (slash ? 0 : 1) + utf16Length(nameBytes(node), node.name);
        slash = endsWithSlashAfter(node);
        cache->entries[at % PathLengthCache::kSlots] = {at, saturate32(length), slash};
    }
    const ScanNode& node = tree.nodes[id];
    return saturate32(length + (slash ? 0 : 1) + utf16Length(nameBytes(node), node.name));
}

bool wildcardMatch(const char16_t* pattern, size_t patternLength, const char16_t* text, size_t textLength) {
    return globMatch(pattern, patternLength, text, textLength);
}

bool filterMatchesNode(const ScanTree& tree, uint32_t id, const Filter& filter, PathLengthCache* cache,
                       const DuplicateIndex* duplicates) {
    if (filter.groups.empty())
        return true;
    if (filter.compiled && !filter.fullPath)
        return filter.compiled->matchesNode(tree, id, cache, duplicates);
    FilterCandidate candidate(tree, id, duplicates);
    return candidate.matches(filter);
}

bool filterMatchesNode(const ScanTree& tree, uint32_t id, const Filter& filter) {
    if (filter.groups.empty())
        return true;
    FilterCandidate candidate(tree, id);
    return candidate.matches(filter);
}

bool filterMatchesEntry(const FilterEntry& entry, const Filter& filter) {
    // An empty exclusion filter (blank or bar-only text) must not exclude everything.
    if (filter.groups.empty())
        return false;
    FilterCandidate candidate(entry);
    return candidate.matches(filter);
}

Truth FilterTerm::matchesNode(const ScanTree& tree, uint32_t id, bool fullPath,
                              const DuplicateIndex* duplicates) const {
    FilterCandidate candidate(tree, id, duplicates);
    return candidate.evaluateTerm(*this, fullPath);
}

}  // namespace svl
