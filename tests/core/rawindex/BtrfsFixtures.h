// Helpers shared by the Btrfs index tests: a loop-mounted Btrfs volume made from a seed folder
// (so its first inode numbers are sparse) and filled after mounting with subvolumes, a
// snapshot, hard links, sparse and compressed files; and a canonical listing of a scan tree
// for comparing two scans.
#pragma once

#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/support/TestSupport.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace btrfstest {

// A Btrfs volume made with mkfs.btrfs --rootdir from a seed folder, mounted with compression.
// Root only; ok() tells whether it worked.
class BtrfsVolume {
public:
    explicit BtrfsVolume(const hmtest::TempDir& dir, bool fill = true)
        : m_seed(makeSeed(dir)),
          m_mount(dir.path(), "mkfs.btrfs -q -f --rootdir " + hmtest::shQuote(m_seed), 256, "btrfs",
                  "compress=zstd") {
        m_filled = m_mount.ok() && (!fill || populate(m_mount.mountPoint()));
    }
    bool ok() const { return m_mount.ok() && m_filled; }
    std::string error() const { return m_mount.ok() ? "filling the volume failed" : m_mount.error(); }
    const std::string& top() const { return m_mount.mountPoint(); }
    const std::string& device() const { return m_mount.device(); }

private:
    // Seed folder for mkfs: its files keep the inode numbers of the folder they came from.
    static std::string makeSeed(const hmtest::TempDir& dir) {
        const std::string seed = dir / "seed";
        hmtest::sh("mkdir -p " + hmtest::shQuote(seed + "/docs/deep/er") + " && cd " + hmtest::shQuote(seed) +
                   " && printf hello > docs/a.txt && head -c 70000 /dev/urandom > docs/deep/blob"
                   " && ln docs/a.txt docs/deep/er/a-again && ln -s ../a.txt docs/deep/link"
                   " && touch -d '1965-04-05 UTC' docs/deep/old && chmod 444 docs/deep/old");
        return seed;
    }
    static bool populate(const std::string& top) {
        const std::string q = hmtest::shQuote(top);
        int rc = hmtest::sh(
            "cd " + q +
            " && mkdir -p big plain/inner 'spaced name' && printf x > plain/inner/one-byte"
            " && truncate -s 50M plain/sparse && dd if=/dev/urandom of=plain/sparse bs=4096 count=3 seek=100"
            " conv=notrunc status=none"
            " && yes compressible-line | head -c 3000000 > plain/squeezed"
            " && printf 'caf\\xc3\\xa9' > plain/$(printf 'na\\xc3\\xafve') && printf bad > plain/$(printf 'x\\xff')"
            " && ln plain/squeezed plain/inner/squeezed-2 && ln plain/squeezed 'spaced name/squeezed-3'"
            " && btrfs -q subvolume create sv && mkdir sv/d && printf 12345 > sv/d/f && ln sv/d/f sv/f2"
            " && btrfs -q subvolume create sv/nested && printf nn > sv/nested/n"
            " && btrfs -q subvolume snapshot sv snap && printf more > snap/d/added"
            // The snapshot shows "nested" as an empty folder whose time is made up at each look.
            " && rmdir snap/nested"
            " && btrfs -q subvolume create plain/inner/deep-sv && head -c 9000 /dev/urandom > plain/inner/deep-sv/r"
            " && touch -d '2200-01-01 UTC' plain/inner/one-byte");
        if (rc != 0)
            return false;
        // A folder of some thousands of entries spans several searches.
        for (int i = 0; i < 3000; ++i)
            hmtest::writeFile(top + "/big/entry-" + std::to_string(i), std::string(size_t(i % 7), 'b'));
        return hmtest::sh("sync -f " + hmtest::shQuote(top)) == 0;
    }

    std::string m_seed;
    hmtest::LoopMount m_mount;
    bool m_filled = false;
};

inline std::unique_ptr<svl::ScanTree> scan(const std::string& path, bool raw, svl::ScanProgress* progress = nullptr) {
    svl::ScanOptions options;
    options.allowRaw = raw ? 1 : 0;
    options.rotational = 0;
    return svl::scanSingle(path, options, progress);
}

// One line per node, sorted by path: flags without ExtraHardLink (which name of a hard-linked
// file counts depends on timing), size, own allocated bytes, time, child count, newest time;
// then the number of further hard links and the root's totals.
inline std::vector<std::string> listing(const svl::ScanTree& tree) {
    std::vector<std::string> lines;
    uint64_t extra = 0;
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        const svl::ScanNode& n = tree.node(id);
        uint64_t own = n.allocated;
        if (n.isFolder())
            for (uint32_t c = n.firstChild; c < n.firstChild + n.childCount; ++c)
                if (!(tree.node(c).flags & svl::NodeFlag::ExtraHardLink))
                    own -= tree.node(c).allocated;
        extra += (n.flags & svl::NodeFlag::ExtraHardLink) ? 1 : 0;
        lines.push_back(tree.fullPath(id) + " | flags " +
                        std::to_string(n.flags & ~svl::NodeFlag::ExtraHardLink) + " size " +
                        std::to_string(n.size) + " own " + std::to_string(own) + " time " +
                        std::to_string(n.modified) + " children " + std::to_string(n.childCount) + " newest " +
                        std::to_string(tree.newestTimes.at(id)));
    }
    std::sort(lines.begin(), lines.end());
    if (tree.nodeCount > 0) {
        const svl::ScanNode& root = tree.node(0);
        lines.push_back("extra links " + std::to_string(extra) + " allocated " + std::to_string(root.allocated) +
                        " files " + std::to_string(root.filesBelow) + " folders " +
                        std::to_string(root.foldersBelow) + " errors " + std::to_string(tree.errors));
    }
    return lines;
}

// Expects equal listings, reporting the first lines that differ.
inline void expectSameListing(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    EXPECT_EQ(a.size(), b.size());
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        if (a[i] != b[i]) {
            ADD_FAILURE() << "first difference:\n  " << a[i] << "\n  " << b[i];
            return;
        }
    }
}

}  // namespace btrfstest
