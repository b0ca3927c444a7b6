// Builds small scan trees from a nested description, breadth-first, for the tree tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/tree/ScanTree.h"

namespace treetest {

struct Spec {
    std::string name;
    bool folder = false;
    uint64_t size = 0;
    uint64_t allocated = 0;
    int64_t modified = 0;
    uint16_t flags = 0;
    std::vector<Spec> children;
};

inline Spec file(std::string name, uint64_t size, uint64_t allocated = 0, int64_t modified = 0, uint16_t flags = 0) {
    return Spec{std::move(name), false, size, allocated, modified, flags, {}};
}
inline Spec dir(std::string name, std::vector<Spec> children, uint64_t allocated = 0, int64_t modified = 0,
                uint16_t flags = 0) {
    return Spec{std::move(name), true, 0, allocated, modified, uint16_t(flags | svl::NodeFlag::Folder),
                std::move(children)};
}

// Writes the spec as a freshly built tree and runs computeTotals.
inline std::unique_ptr<svl::ScanTree> build(const Spec& root) {
    auto tree = std::make_unique<svl::ScanTree>();
    auto write = [&](const Spec& s, uint32_t id, uint32_t parent) {
        svl::ScanNode& n = tree->node(id);
        n = svl::ScanNode{};
        n.name = tree->storeName(s.name);
        n.nameLength = uint16_t(std::min<size_t>(s.name.size(), svl::kMaxNameLength));
        n.size = s.folder ? 0 : s.size;
        n.allocated = s.allocated;
        n.modified = s.modified;
        n.flags = s.flags;
        n.parent = parent;
    };
    write(root, tree->allocateNodes(1), 0);
    std::vector<std::pair<const Spec*, uint32_t>> work{{&root, 0}};
    for (size_t i = 0; i < work.size(); ++i) {
        const Spec* s = work[i].first;
        const uint32_t id = work[i].second;
        if (s->children.empty())
            continue;
        const uint32_t first = tree->allocateNodes(uint32_t(s->children.size()));
        for (size_t j = 0; j < s->children.size(); ++j) {
            write(s->children[j], first + uint32_t(j), id);
            work.push_back({&s->children[j], first + uint32_t(j)});
        }
        tree->node(id).firstChild = first;
        tree->node(id).childCount = uint32_t(s->children.size());
    }
    tree->finishNodeCount();
    tree->computeTotals();
    return tree;
}

inline int64_t find(const svl::ScanTree& tree, const std::string& path) {
    return tree.findPath(path.data(), path.size());
}

}  // namespace treetest
