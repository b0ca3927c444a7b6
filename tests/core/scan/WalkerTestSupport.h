// Helpers of the walker tests: an in-memory raw index, and running one walk the way the scan
// drivers do (root record, Shared, root job, workers, node count, totals).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/rawindex/RawIndex.h"
#include "core/scan/FolderWalker.h"
#include "core/tree/ScanTree.h"

namespace scantest {

// A raw index held in maps. Folders list "." and ".." first, as real indexes may.
class MemoryRawIndex : public svl::RawIndex {
public:
    struct Entry {
        svl::RawStat stat;
        std::vector<svl::RawChild> children;
        bool folder = false;
    };

    explicit MemoryRawIndex(uint64_t rootId = 2) : m_root(rootId) { addFolder(rootId, 0755, 1000); }

    void addFolder(uint64_t id, uint16_t perm, int64_t mtime, uint64_t allocatedUnits = 8) {
        Entry& e = m_entries[id];
        e.folder = true;
        e.stat.mode = uint16_t(S_IFDIR | perm);
        e.stat.mtime = mtime;
        e.stat.allocated = allocatedUnits;
        e.stat.links = 2;
        e.children.push_back(child(id, ".", 0));
        e.children.push_back(child(id, "..", 0));
    }
    void addFile(uint64_t id, uint16_t mode, uint64_t size, uint64_t units, int64_t mtime, uint16_t links = 1) {
        Entry& e = m_entries[id];
        e.stat.mode = mode;
        e.stat.size = size;
        e.stat.allocated = units;
        e.stat.mtime = mtime;
        e.stat.links = links;
    }
    void link(uint64_t folder, const std::string& name, uint64_t id, uint8_t linkRole = 0) {
        m_entries[folder].children.push_back(child(id, name, linkRole));
    }
    void setSubvolumeLink(uint64_t id) { m_subvolumeLinks.insert(id); }
    void setChildrenDelay(std::chrono::milliseconds d) { m_delay = d; }
    void forgetStat(uint64_t id) { m_noStat.insert(id); }
    void failChildren(uint64_t id) { m_noChildren.insert(id); }

    const char* fsName() const override { return "memory"; }
    uint64_t rootId() const override { return m_root; }
    bool load(const std::atomic<bool>*, const std::function<void(double)>&, std::string*) override { return true; }
    bool stat(uint64_t id, svl::RawStat* out) const override {
        auto it = m_entries.find(id);
        if (it == m_entries.end() || m_noStat.count(id))
            return false;
        *out = it->second.stat;
        return true;
    }
    bool children(uint64_t id, std::vector<svl::RawChild>* out) const override {
        out->clear();
        if (m_delay.count())
            std::this_thread::sleep_for(m_delay);
        auto it = m_entries.find(id);
        if (it == m_entries.end() || !it->second.folder || m_noChildren.count(id))
            return false;
        *out = it->second.children;
        return true;
    }
    uint64_t entriesRead() const override { return m_entries.size(); }
    bool isPartial() const override { return false; }
    bool isSubvolumeLink(uint64_t id) const override { return m_subvolumeLinks.count(id) > 0; }
    uint64_t foldersRead() const override { return 0; }
    uint64_t bytesRead() const override { return 0; }

private:
    svl::RawChild child(uint64_t id, const std::string& name, uint8_t linkRole) {
        const std::string& kept = m_names.emplace_back(name);
        svl::RawChild c;
        c.id = id;
        c.name = kept.c_str();
        c.nameLength = uint16_t(kept.size());
        c.linkRole = linkRole;
        return c;
    }

    uint64_t m_root;
    std::map<uint64_t, Entry> m_entries;
    std::deque<std::string> m_names;
    std::set<uint64_t> m_subvolumeLinks, m_noStat, m_noChildren;
    std::chrono::milliseconds m_delay{0};
};

// Writes the root record of a walk (id 0, a folder named `rootName`).
inline void writeRoot(svl::ScanTree& tree, const std::string& rootName) {
    const char* name = tree.storeName(rootName);
    ASSERT_EQ(tree.allocateNodes(1), 0u);
    tree.node(0) = svl::ScanNode{name, 0, 0, 0, 0, 0, 0, 0, 0, uint16_t(rootName.size()), svl::NodeFlag::Folder};
    tree.nodeCount = 1;
}

// Ends a walk as the drivers do: node count from the reservation, figures, totals.
inline void finishWalk(svl::ScanTree& tree, svl::Shared& walk, const svl::ScanProgress* progress) {
    tree.finishNodeCount();
    tree.errors = walk.errors.load();
    tree.incomplete = walk.workerFailed || (walk.isRawWalk() ? walk.graceExpired.load()
                                                              : progress && progress->cancel.load());
    tree.computeTotals();
}

// One raw walk run as the drivers run it for a raw root.
struct RawWalk {
    static constexpr uint64_t kDevice = 0x0801;  // 8:1, any number the index does not care about

    svl::ScanTree tree;
    svl::ScanOptions options;
    svl::ScanProgress progress;
    std::shared_ptr<svl::Shared> walk;

    // Walks `index` from its root with weight `weight`.
    void run(std::unique_ptr<svl::RawIndex> index, const std::string& rootPath, double weight = 0.15,
             bool collectMounts = false) {
        writeRoot(tree, rootPath);
        walk = std::make_shared<svl::Shared>(tree, options, &progress);
        const uint64_t rootId = index->rootId();
        svl::RawWalkContext& ctx = walk->addRawContext(std::move(index), kDevice);
        if (collectMounts)
            svl::collectMountPointsBelow(ctx, rootPath);
        svl::WalkJob job;
        job.path = rootPath;
        job.weight = weight;
        job.device = kDevice;
        job.id = rootId;
        job.context = &ctx;
        walk->queueJob(job);
        walk->prepareBoundaries({rootPath});
        walk->runWorkers(options.threads);
        finishWalk(tree, *walk, &progress);
    }
};

}  // namespace scantest
