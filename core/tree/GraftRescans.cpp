#include "core/tree/GraftRescans.h"

#include <cstring>
#include <unordered_map>

namespace svl {

namespace {

// The whole stored name; nameLength saturates at 65535 while the pool keeps longer names whole.
std::string_view storedName(const ScanNode& n) {
    if (!n.name)
        return {};
    if (n.nameLength < kMaxNameLength)
        return std::string_view(n.name, n.nameLength);
    return std::string_view(n.name);
}

// A folder's own allocated bytes: its total less what its counted children add to it.
uint64_t ownAllocated(const ScanTree& tree, uint32_t id) {
    const ScanNode& n = tree.nodes[id];
    uint64_t children = 0;
    for (uint32_t i = 0; i < n.childCount; ++i) {
        const ScanNode& c = tree.nodes[n.firstChild + i];
        if (!(c.flags & (NodeFlag::Removed | NodeFlag::ExtraHardLink)))
            children += c.allocated;
    }
    return n.allocated > children ? n.allocated - children : 0;
}

// Copies one node's own values (a folder keeps no size and only its own blocks).
void copyOwnValues(const ScanTree& tree, uint32_t id, ScanNode& out) {
    const ScanNode& n = tree.nodes[id];
    out.flags = n.flags;
    out.modified = n.modified;
    if (n.isFolder()) {
        out.size = 0;
        out.allocated = ownAllocated(tree, id);
    } else {
        out.size = n.size;
        out.allocated = n.allocated;
    }
}

// Nodes flagged Unreadable in the subtree of `id`: the errors its scan counted.
uint64_t unreadableBelow(const ScanTree& tree, uint32_t id) {
    uint64_t count = 0;
    std::vector<uint32_t> stack{id};
    while (!stack.empty()) {
        const uint32_t cur = stack.back();
        stack.pop_back();
        const ScanNode& n = tree.nodes[cur];
        if (n.flags & NodeFlag::Unreadable)
            ++count;
        for (uint32_t i = 0; i < n.childCount; ++i)
            if (n.firstChild + i > cur && n.firstChild + i < tree.nodeCount)
                stack.push_back(n.firstChild + i);
    }
    return count;
}

struct Work {
    const ScanTree* source;
    uint32_t sourceId;
    uint32_t newId;
};

}  // namespace

std::unique_ptr<ScanTree> graftRescans(const ScanTree& old, const std::vector<RescanRecord>& rescans) {
    auto tree = std::make_unique<ScanTree>();
    if (old.nodeCount == 0)
        return tree;

    std::unordered_map<uint32_t, const ScanTree*> records;
    for (const RescanRecord& r : rescans) {
        if (r.oldId == 0 || r.oldId >= old.nodeCount)
            continue;
        // A fresh scan without nodes could not examine the folder: it is gone, like a null one.
        records[r.oldId] = (r.fresh && r.fresh->nodeCount > 0) ? r.fresh.get() : nullptr;
    }

    uint64_t droppedErrors = 0;
    uint64_t freshErrors = 0;
    // A tree that was cut short stays so: a rescan of some folders does not fill in the rest.
    bool incomplete = old.incomplete;

    const uint32_t rootId = tree->allocateNodes(1);
    ScanNode& root = tree->nodes[rootId];
    root = ScanNode{};
    const std::string_view rootName = storedName(old.nodes[0]);
    root.name = tree->storeName(rootName);
    root.nameLength = old.nodes[0].nameLength;
    copyOwnValues(old, 0, root);

    std::vector<Work> work{{&old, 0, 0}};
    std::vector<uint32_t> kept;
    for (size_t next = 0; next < work.size(); ++next) {
        const Work w = work[next];
        const ScanTree& src = *w.source;
        const bool fromOld = w.source == &old;
        const ScanNode& folder = src.nodes[w.sourceId];

        kept.clear();
        uint64_t nameBytes = 0;
        for (uint32_t i = 0; i < folder.childCount; ++i) {
            const uint32_t child = folder.firstChild + i;
            const ScanNode& c = src.nodes[child];
            if (c.flags & NodeFlag::Removed)
                continue;
            if (fromOld) {
                const auto r = records.find(child);
                if (r != records.end() && !r->second) {
                    droppedErrors += unreadableBelow(old, child);
                    continue;
                }
            }
            kept.push_back(child);
            nameBytes += storedName(c).size() + 1;
        }
        if (kept.empty())
            continue;

        char* names = tree->allocateNames(nameBytes);
        const uint32_t first = tree->allocateNodes(uint32_t(kept.size()));
        for (size_t j = 0; j < kept.size(); ++j) {
            const uint32_t child = kept[j];
            const uint32_t id = first + uint32_t(j);
            const ScanNode& c = src.nodes[child];
            ScanNode& n = tree->nodes[id];
            n = ScanNode{};
            const std::string_view name = storedName(c);
            std::memcpy(names, name.data(), name.size());
            names[name.size()] = '\0';
            n.name = names;
            n.nameLength = c.nameLength;
            names += name.size() + 1;
            n.parent = w.newId;

            const auto r = fromOld ? records.find(child) : records.end();
            if (r != records.end()) {
                const ScanTree& fresh = *r->second;
                copyOwnValues(fresh, 0, n);
                const auto bind = fresh.bindSources.find(0);  // the folder itself is now a bind target
                if (bind != fresh.bindSources.end())
                    tree->bindSources.emplace(id, bind->second);
                if (const auto mount = fresh.enteredMounts.find(0); mount != fresh.enteredMounts.end())
                    tree->enteredMounts.emplace(id, mount->second);
                if (w.newId == 0)  // a root rescanned: reached now unless its fresh scan says otherwise
                    for (const auto& [freshId, reach] : fresh.unreachedRoots)
                        if (freshId == 0)
                            tree->unreachedRoots.emplace_back(id, reach);
                droppedErrors += unreadableBelow(old, child);
                freshErrors += fresh.errors;
                incomplete = incomplete || fresh.incomplete;
                if (fresh.nodes[0].childCount > 0)
                    work.push_back({&fresh, 0, id});
                continue;
            }
            copyOwnValues(src, child, n);
            if (fromOld && w.sourceId == 0)
                for (const auto& [oldId, reach] : old.unreachedRoots)
                    if (oldId == child)
                        tree->unreachedRoots.emplace_back(id, reach);
            const auto bind = src.bindSources.find(child);
            if (bind != src.bindSources.end())
                tree->bindSources.emplace(id, bind->second);
            if (const auto mount = src.enteredMounts.find(child); mount != src.enteredMounts.end())
                tree->enteredMounts.emplace(id, mount->second);
            if (c.isFolder() && c.childCount > 0)
                work.push_back({&src, child, id});
        }
        ScanNode& parent = tree->nodes[w.newId];
        parent.firstChild = first;
        parent.childCount = uint32_t(kept.size());
    }

    for (const auto& [oldId, reach] : old.unreachedRoots)
        if (oldId == 0)
            tree->unreachedRoots.emplace_back(0, reach);
    tree->finishNodeCount();
    tree->errors = (old.errors > droppedErrors ? old.errors - droppedErrors : 0) + freshErrors;
    tree->incomplete = incomplete;
    tree->remote = old.remote;
    // A rescanned top is the folder its fresh scan opened.
    tree->scannedTops = old.scannedTops;
    for (const RescanRecord& r : rescans) {
        if (!r.fresh)
            continue;
        for (const auto& [path, identity] : r.fresh->scannedTops)
            if (auto top = tree->scannedTops.find(path); top != tree->scannedTops.end())
                top->second = identity;
    }
    tree->computeTotals();
    tree->seconds = old.seconds;
    return tree;
}

}  // namespace svl
