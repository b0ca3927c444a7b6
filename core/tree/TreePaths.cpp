// Path questions and in-place edits on a finished scan tree.
#include "core/tree/ScanTree.h"
#include "core/tree/Saturating.h"

#include <algorithm>
#include <cstring>

namespace svl {

namespace {

void appendName(std::string& out, std::string_view name) {
    if (out.empty() || out.back() != '/')
        out += '/';
    out.append(name);
}

bool isVirtualRoot(const ScanTree& tree) {
    return tree.nodeCount > 0 && (tree.nodes[0].flags & NodeFlag::VirtualRoot);
}

// Does `name` followed by "/" (or `name` when it already ends in "/") begin the path?
// Returns the prefix length, or 0 when it does not.
size_t prefixLength(std::string_view name, std::string_view path) {
    if (name.empty() || path.size() < name.size() || path.compare(0, name.size(), name) != 0)
        return 0;
    if (name.back() == '/')
        return name.size();
    if (path.size() > name.size() && path[name.size()] == '/')
        return name.size() + 1;
    return 0;
}

}  // namespace

std::string ScanTree::fullPath(uint32_t id) const {
    std::vector<uint32_t> chain;
    for (uint32_t at = id; at != 0; at = nodes[at].parent)
        chain.push_back(at);
    std::string out;
    size_t next = chain.size();  // chain[next - 1] is the root's child on the way to id
    if (isVirtualRoot(*this)) {
        if (chain.empty())
            return out;
        out.assign(nodes[chain.back()].nameView());
        --next;
    } else {
        out.assign(nodes[0].nameView());
    }
    while (next > 0)
        appendName(out, nodes[chain[--next]].nameView());
    return out;
}

int64_t ScanTree::findChildPath(uint32_t start, const char* path, size_t length, size_t offset) const {
    if (start >= nodeCount)
        return -1;
    uint32_t at = start;
    size_t pos = std::min(offset, length);
    while (pos < length) {
        const char* end = static_cast<const char*>(std::memchr(path + pos, '/', length - pos));
        const size_t stop = end ? size_t(end - path) : length;
        const std::string_view component(path + pos, stop - pos);
        pos = stop + 1;
        if (component.empty())
            continue;
        const ScanNode& folder = nodes[at];
        bool found = false;
        for (uint32_t i = 0; i < folder.childCount; ++i) {
            const uint32_t child = folder.firstChild + i;
            if (nodes[child].nameView() == component) {
                at = child;
                found = true;
                break;
            }
        }
        if (!found)
            return -1;
    }
    return at;
}

int64_t ScanTree::findPath(const char* path, size_t length) const {
    if (nodeCount == 0)
        return -1;
    const std::string_view wanted(path, length);
    const ScanNode& root = nodes[0];
    if (!(root.flags & NodeFlag::VirtualRoot)) {
        const std::string_view name = root.nameView();
        if (wanted == name)
            return 0;
        std::string prefix(name);
        if (prefix.empty() || prefix.back() != '/')
            prefix += '/';
        if (wanted.compare(0, prefix.size(), prefix) != 0)
            return -1;
        return findChildPath(0, path, length, prefix.size());
    }
    struct Candidate {
        uint32_t id;
        size_t prefix;
    };
    std::vector<Candidate> candidates;
    for (uint32_t i = 0; i < root.childCount; ++i) {
        const uint32_t child = root.firstChild + i;
        const std::string_view name = nodes[child].nameView();
        if (name == wanted)
            return child;
        if (const size_t p = prefixLength(name, wanted))
            candidates.push_back({child, p});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.prefix > b.prefix; });
    for (const Candidate& c : candidates) {
        const int64_t found = findChildPath(c.id, path, length, c.prefix);
        if (found >= 0)
            return found;
    }
    return -1;
}

DirectFilesSummary ScanTree::directFilesSummary(uint32_t folder) const {
    DirectFilesSummary summary;
    if (folder >= nodeCount)
        return summary;
    const ScanNode& f = nodes[folder];
    for (uint32_t i = 0; i < f.childCount; ++i) {
        const ScanNode& c = nodes[f.firstChild + i];
        if (c.isFolder())
            continue;
        summary.newest = summary.count == 0 ? c.modified : std::max(summary.newest, c.modified);
        ++summary.count;
        if (c.flags & NodeFlag::Removed) {
            ++summary.removed;
            continue;
        }
        summary.size = saturatingAdd(summary.size, c.size);
        if (!(c.flags & NodeFlag::ExtraHardLink))
            summary.allocated = saturatingAdd(summary.allocated, c.allocated);
    }
    return summary;
}

bool ScanTree::markRemoved(uint32_t id) {
    if (id == 0 || id >= nodeCount || (nodes[id].flags & NodeFlag::Removed))
        return false;
    const ScanNode& n = nodes[id];
    const uint64_t size = n.size;
    const uint64_t allocated = (n.flags & NodeFlag::ExtraHardLink) ? 0 : n.allocated;
    const uint32_t files = n.isFolder() ? n.filesBelow : 1;
    const uint32_t folders = n.isFolder() ? n.foldersBelow + 1 : 0;
    auto takeOut = [](auto& field, auto amount) { field = field > amount ? field - amount : 0; };
    uint32_t at = id;
    do {
        at = nodes[at].parent;
        ScanNode& a = nodes[at];
        takeOut(a.size, size);
        takeOut(a.allocated, allocated);
        takeOut(a.filesBelow, files);
        takeOut(a.foldersBelow, folders);
    } while (at != 0);

    // Only folders with children go on the stack: a folder of a million files is one pass.
    nodes[id].flags |= NodeFlag::Removed;
    std::vector<uint32_t> stack{id};
    while (!stack.empty()) {
        const uint32_t cur = stack.back();
        stack.pop_back();
        const ScanNode& c = nodes[cur];
        for (uint32_t i = 0; i < c.childCount; ++i) {
            const uint32_t child = c.firstChild + i;
            if (child <= cur || child >= nodeCount)  // ids only grow downwards; guards a damaged tree
                continue;
            nodes[child].flags |= NodeFlag::Removed;
            if (nodes[child].childCount > 0)
                stack.push_back(child);
        }
    }
    return true;
}

bool ScanTree::rename(uint32_t id, const char* name, size_t length) {
    if (id >= nodeCount || length == 0 || length > kMaxNameLength)
        return false;
    ScanNode& n = nodes[id];
    // Never smaller than the old name, so a reader still holding the old length stays inside.
    const size_t block = std::max<size_t>(n.nameLength, length) + 1;
    char* p = allocateNames(block);
    std::memset(p, 0, block);
    std::memcpy(p, name, length);
    // The pointer goes first: (old length, new pointer) is always inside the new block,
    // whereas (new longer length, old pointer) would read past the old name.
    n.name = p;
    n.nameLength = uint16_t(length);
    return true;
}

}  // namespace svl
