// The synthetic tree of the analysis benchmarks: a root, 100 folders, 20 subfolders each,
// 20 below each of those, and files below the last level, about `target` nodes in all,
// with names, sizes and times that vary by a running number. With `copies` above 1 that
// many consecutive files share one number (name, size and time), so they are duplicates.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/tree/ScanTree.h"

namespace bench {

const char* const kExtensions[] = {".txt", ".jpg", ".png", ".cpp", ".h", ".mp4", ".pdf", ".gz", ".JPG", ""};
const char* const kStems[] = {"file_", "IMG_", "report-", "notes ", "caf\xC3\xA9_", "\xD0\xB6\xD1\x83\xD0\xBA_",
                              "data", "Backup.", "x"};

// Root, 100 folders, 20 subfolders each, 20 below each of those, files below the last level.
inline std::unique_ptr<svl::ScanTree> syntheticTree(uint64_t target, uint64_t copies = 1) {
    auto tree = std::make_unique<svl::ScanTree>();
    const uint32_t root = tree->allocateNodes(1);
    svl::ScanNode& r = tree->nodes[root];
    r = svl::ScanNode{};
    r.name = tree->storeName("/bench/root");
    r.nameLength = 11;
    r.flags = svl::NodeFlag::Folder;
    const uint64_t leafFolders = 100 * 20 * 20;
    const uint64_t filesPerLeaf = target > leafFolders * 2 ? (target - leafFolders * 1.06) / leafFolders : 1;
    std::vector<uint32_t> level{root};
    uint64_t serial = 0;
    for (int depth = 0; depth < 4; ++depth) {
        std::vector<uint32_t> next;
        for (uint32_t folder : level) {
            const bool leaf = depth == 3;
            const uint32_t count = leaf ? uint32_t(filesPerLeaf) : depth == 0 ? 100 : 20;
            std::vector<std::string> names(count);
            uint64_t bytes = 0;
            for (uint32_t i = 0; i < count; ++i, ++serial) {
                const uint64_t key = serial / copies;
                names[i] = leaf ? std::string(kStems[key % 9]) + std::to_string(key) + kExtensions[key % 10]
                                : "d" + std::to_string(i) + (serial % 7 == 0 ? " Photos" : "");
                bytes += names[i].size() + 1;
            }
            char* pool = tree->allocateNames(bytes);
            const uint32_t first = tree->allocateNodes(count);
            for (uint32_t i = 0; i < count; ++i) {
                const uint64_t key = (serial - count + i) / copies;
                svl::ScanNode& n = tree->nodes[first + i];
                n = svl::ScanNode{};
                std::memcpy(pool, names[i].c_str(), names[i].size() + 1);
                n.name = pool;
                n.nameLength = uint16_t(names[i].size());
                pool += names[i].size() + 1;
                n.parent = folder;
                n.modified = 1600000000 + int64_t(key * 7919 % 100000000);
                n.flags = leaf ? 0 : svl::NodeFlag::Folder;
                n.size = leaf ? (key * 2654435761u) % 10000000 : 0;
                n.allocated = (n.size + 4095) / 4096 * 4096;
                if (!leaf)
                    next.push_back(first + i);
            }
            tree->nodes[folder].firstChild = first;
            tree->nodes[folder].childCount = count;
        }
        level.swap(next);
    }
    tree->finishNodeCount();
    tree->computeTotals();
    return tree;
}

}  // namespace bench
