// Shared by the treemap GUI tests: the offscreen application and private settings
// (from the shell tests' environment), a settings reset per test, and an in-memory
// tree built the way scanners build one (root first, each folder's children contiguous).
#pragma once

#include "tests/app/ShellTestEnv.h"

#include "app/AppSettings.h"
#include "core/tree/ScanTree.h"

#include <memory>
#include <string>

namespace treemaptest {

inline void clearSettings() {
    QSettings* store = AppSettings::instance()->settings();
    store->clear();
    // Deterministic pictures and no transitions unless a test asks for them.
    store->setValue(QStringLiteral("animateTreemapZoom"), false);
}

class TreeBuilder {
public:
    explicit TreeBuilder(const std::string& rootName) : tree(std::make_shared<svl::ScanTree>()) {
        add(0, rootName, svl::NodeFlag::Folder, 0);
    }
    uint32_t folder(uint32_t parent, const std::string& name) { return add(parent, name, svl::NodeFlag::Folder, 0); }
    uint32_t file(uint32_t parent, const std::string& name, uint64_t size) {
        return add(parent, name, 0, size);
    }
    uint32_t add(uint32_t parent, const std::string& name, uint16_t flags, uint64_t size) {
        const char* n = tree->storeName(name);
        const uint32_t id = tree->allocateNodes(1);
        tree->node(id) = svl::ScanNode{n, size, size, 0, parent, 0, 0, 0, 0, uint16_t(name.size()), flags};
        if (id != 0) {
            svl::ScanNode& p = tree->node(parent);
            if (p.childCount == 0)
                p.firstChild = id;
            ++p.childCount;
        }
        return id;
    }
    std::shared_ptr<svl::ScanTree> finish() {
        tree->finishNodeCount();
        tree->computeTotals();
        return tree;
    }
    std::shared_ptr<svl::ScanTree> tree;
};

}  // namespace treemaptest
