// Helpers of the scanner tests: paths of tree nodes, the fixture folder tree, and the
// reference answers of find -printf and du for the same folders.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/scan/MountWatch.h"
#include "core/tree/ScanTree.h"
#include "tests/support/TestSupport.h"

namespace scantest {


// Path of a node relative to the root ("" for the root), names joined by "/".
inline std::string relPath(const svl::ScanTree& tree, uint32_t id) {
    std::vector<uint32_t> chain;
    while (id != 0) {
        chain.push_back(id);
        id = tree.node(id).parent;
    }
    std::string out;
    for (size_t i = chain.size(); i-- > 0;) {
        if (!out.empty())
            out += '/';
        out += std::string(tree.node(chain[i]).nameView());
    }
    return out;
}

// Every node by its relative path.
inline std::map<std::string, uint32_t> nodesByPath(const svl::ScanTree& tree) {
    std::map<std::string, uint32_t> m;
    for (uint32_t id = 0; id < tree.nodeCount; ++id)
        m[relPath(tree, id)] = id;
    return m;
}

// The node at a relative path, or UINT32_MAX.
inline uint32_t nodeAt(const svl::ScanTree& tree, const std::string& rel) {
    for (uint32_t id = 0; id < tree.nodeCount; ++id)
        if (relPath(tree, id) == rel)
            return id;
    return UINT32_MAX;
}

// The structural rules every built tree keeps: children contiguous and after their parent,
// every record written (a name), counts consistent.
inline void expectWellFormed(const svl::ScanTree& tree) {
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        const svl::ScanNode& n = tree.node(id);
        ASSERT_NE(n.name, nullptr) << "record " << id << " was never written";
        if (id > 0) {
            ASSERT_LT(n.parent, id);
            const svl::ScanNode& p = tree.node(n.parent);
            ASSERT_TRUE(p.isFolder());
            ASSERT_GE(id, p.firstChild);
            ASSERT_LT(id, p.firstChild + p.childCount) << "node " << id << " not among its parent's children";
        }
        if (n.childCount > 0) {
            ASSERT_GT(n.firstChild, id);
            ASSERT_LE(uint64_t(n.firstChild) + n.childCount, tree.nodeCount);
        }
    }
}

struct FindRecord {
    uint64_t size = 0;
    uint64_t blocks = 0;
    int64_t mtime = 0;
    char type = '?';
    uint64_t inode = 0;
    uint64_t links = 0;
};

// find ROOT -mindepth 1 -printf ... as the current user; records by relative path (raw bytes).
inline std::map<std::string, FindRecord> findPrintf(const std::string& root) {
    const std::string out = hmtest::shOutput("find " + hmtest::shQuote(root) +
                                             " -mindepth 1 -printf '%P\\0%s\\0%b\\0%T@\\0%y\\0%i\\0%n\\0' 2>/dev/null");
    std::map<std::string, FindRecord> m;
    std::vector<std::string> f;
    size_t pos = 0;
    while (pos < out.size()) {
        const size_t z = out.find('\0', pos);
        if (z == std::string::npos)
            break;
        f.push_back(out.substr(pos, z - pos));
        pos = z + 1;
        if (f.size() == 7) {
            FindRecord r;
            r.size = std::stoull(f[1]);
            r.blocks = std::stoull(f[2]);
            r.mtime = int64_t(std::floor(std::stold(f[3])));
            r.type = f[4].empty() ? '?' : f[4][0];
            r.inode = std::stoull(f[5]);
            r.links = std::stoull(f[6]);
            m[f[0]] = r;
            f.clear();
        }
    }
    return m;
}

// du -sxB1 ROOT: allocated bytes, each file counted once, as the current user.
inline uint64_t duAllocated(const std::string& root) {
    const std::string out = hmtest::shOutput("du -sxB1 " + hmtest::shQuote(root) + " 2>/dev/null");
    return std::strtoull(out.c_str(), nullptr, 10);
}

// Own allocated bytes of a folder node after totals: its total less what its children added.
inline uint64_t ownAllocated(const svl::ScanTree& tree, uint32_t id) {
    const svl::ScanNode& n = tree.node(id);
    uint64_t a = n.allocated;
    for (uint32_t c = n.firstChild; c < n.firstChild + n.childCount; ++c)
        if (!(tree.node(c).flags & svl::NodeFlag::ExtraHardLink))
            a -= tree.node(c).allocated;
    return a;
}

// Compares a scanned tree with find and du of the same folder as the same user: every
// entry find could examine is a node with its size, allocated bytes, time and type; the
// root's totals equal du's allocated bytes and the sum of find's non-folder sizes. Entries
// find could not examine must be Unreadable nodes; nothing else may be in the tree.
inline void expectMatchesFindAndDu(const svl::ScanTree& tree, const std::string& root) {
    const auto found = findPrintf(root);
    const auto nodes = nodesByPath(tree);
    uint64_t sizeSum = 0;
    uint32_t files = 0, folders = 0;
    for (const auto& [rel, r] : found) {
        auto it = nodes.find(rel);
        ASSERT_NE(it, nodes.end()) << "missing node for " << rel;
        const svl::ScanNode& n = tree.node(it->second);
        EXPECT_EQ(n.modified, r.mtime) << rel;
        if (r.type == 'd') {
            EXPECT_TRUE(n.isFolder()) << rel;
            EXPECT_EQ(ownAllocated(tree, it->second), r.blocks * 512) << rel;
            ++folders;
        } else {
            EXPECT_FALSE(n.isFolder()) << rel;
            EXPECT_EQ(n.size, r.size) << rel;
            EXPECT_EQ(n.allocated, r.blocks * 512) << rel;
            EXPECT_EQ(bool(n.flags & svl::NodeFlag::Symlink), r.type == 'l') << rel;
            sizeSum += r.size;
            ++files;
        }
    }
    const svl::ScanNode& rootNode = tree.node(0);
    EXPECT_EQ(rootNode.allocated, duAllocated(root));
    EXPECT_EQ(rootNode.size, sizeSum);
    // Nodes find could not examine are Unreadable files without sizes; everything else matches.
    uint32_t unreadable = 0;
    for (uint32_t id = 1; id < tree.nodeCount; ++id)
        if ((tree.node(id).flags & svl::NodeFlag::Unreadable) && !found.count(relPath(tree, id)))
            ++unreadable;
    EXPECT_EQ(tree.nodeCount, 1 + found.size() + unreadable);
    EXPECT_EQ(rootNode.filesBelow, files + unreadable);
    EXPECT_EQ(rootNode.foldersBelow, folders);
}

// A temporary folder on tmpfs (/dev/shm) when there is one, where creating many files is fast.
class FastTempDir {
public:
    FastTempDir() : m_dir(make()) {}
    const std::string& path() const { return m_dir->path(); }
    std::string operator/(const std::string& rel) const { return *m_dir / rel; }

private:
    static std::unique_ptr<hmtest::TempDir> make() {
        const char* old = std::getenv("TMPDIR");
        const std::string saved = old ? old : "";
        struct stat st;
        if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
            setenv("TMPDIR", "/dev/shm", 1);
        auto dir = std::make_unique<hmtest::TempDir>("hm-scan");
        if (old)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
        return dir;
    }
    std::unique_ptr<hmtest::TempDir> m_dir;
};

inline void makeFile(const std::string& path, size_t bytes, long long mtime) {
    hmtest::writeFile(path, std::string(bytes, 'x'));
    hmtest::setMtime(path, mtime);
}

// The mixed fixture tree below `root`, with `outside` a folder beside it (not scanned) that
// holds the second name of one hard-linked file.
inline void makeFixtureTree(const std::string& root, const std::string& outside) {
    using hmtest::sh;
    using hmtest::shQuote;
    const auto q = [&](const std::string& rel) { return shQuote(root + "/" + rel); };
    ASSERT_EQ(sh("mkdir -p " + q("sub/deep") + " " + q("links") + " " + q("names") + " " + q("empty") + " " +
                 q("a/b/c/d/e/f/g/h") + " " + shQuote(outside)),
              0);
    makeFile(root + "/small.txt", 1000, 1600000000);
    makeFile(root + "/zero", 0, 1500000000);
    ASSERT_EQ(sh("truncate -s 10M " + q("sparse.bin")), 0);
    ASSERT_EQ(sh("fallocate -l 1M " + q("prealloc.bin")), 0);
    // 3 names inside the tree, and one file with its other name outside.
    makeFile(root + "/sub/hl1", 5000, 1650000000);
    ASSERT_EQ(sh("ln " + q("sub/hl1") + " " + q("sub/hl2") + " && ln " + q("sub/hl1") + " " + q("sub/deep/hl3")), 0);
    makeFile(outside + "/shared", 3000, 1650000001);
    ASSERT_EQ(sh("ln " + shQuote(outside + "/shared") + " " + q("sharedname")), 0);
    // Symbolic links: to a folder, dangling, and loops.
    ASSERT_EQ(sh("ln -s ../sub " + q("links/tofolder") + " && ln -s nowhere " + q("links/dangling") + " && ln -s self " +
                 q("links/self") + " && ln -s loopb " + q("links/loopa") + " && ln -s loopa " + q("links/loopb")),
              0);
    // Names as bytes: invalid UTF-8, a newline, a tab, UTF-8.
    makeFile(root + "/names/bad\xff\xfename", 11, 1600000000);
    makeFile(root + "/names/new\nline", 12, 1600000000);
    makeFile(root + "/names/tab\tname", 13, 1600000000);
    makeFile(root + "/names/\xc3\xbcn\xc3\xaf" "code", 14, 1600000000);
    makeFile(root + "/a/b/c/d/e/f/g/h/bottom", 77, 1700000000);
    makeFile(root + "/readonly", 10, 1600000000);
    chmod((root + "/readonly").c_str(), 0444);
    hmtest::setMtime(root + "/sub", 1400000000);
}

}  // namespace scantest
