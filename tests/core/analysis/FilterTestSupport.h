// Helpers for the filter tests and the filter fuzz target: a small tree builder, a fixed
// clock, and a regular-expression stand-in without a real engine (the core has none).
// Header-only and free of gtest so that the fuzz target can use it too.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/analysis/Filter.h"
#include "core/tree/ScanTree.h"
#include "core/tree/TextConversion.h"

namespace hmtest {

// Nodes described by parent index; build() numbers them breadth-first like a scanner.
class TreeSpec {
public:
    struct Node {
        std::string name;
        bool folder = false;
        uint64_t size = 0;
        uint64_t allocated = 0;
        int64_t modified = 0;
        uint16_t flags = 0;
        std::vector<int> children;
    };

    explicit TreeSpec(const std::string& rootName, uint16_t rootFlags = 0) {
        Node root;
        root.name = rootName;
        root.folder = true;
        root.flags = rootFlags;
        m_nodes.push_back(root);
    }

    int add(int parent, const std::string& name, bool folder, uint64_t size = 0, uint64_t allocated = 0,
            int64_t modified = 0, uint16_t flags = 0) {
        Node n;
        n.name = name;
        n.folder = folder;
        n.size = folder ? 0 : size;
        n.allocated = allocated;
        n.modified = modified;
        n.flags = flags;
        m_nodes.push_back(n);
        const int index = int(m_nodes.size() - 1);
        m_nodes[size_t(parent)].children.push_back(index);
        return index;
    }
    int folder(int parent, const std::string& name, int64_t modified = 0) {
        return add(parent, name, true, 0, 4096, modified);
    }
    int file(int parent, const std::string& name, uint64_t size = 0, int64_t modified = 0, uint16_t flags = 0) {
        return add(parent, name, false, size, (size + 4095) / 4096 * 4096, modified, flags);
    }
    Node& at(int index) { return m_nodes[size_t(index)]; }
    size_t size() const { return m_nodes.size(); }

    // Builds the tree; idOf[spec index] gives the node id.
    std::unique_ptr<svl::ScanTree> build(std::vector<uint32_t>* idOf = nullptr) const {
        auto tree = std::make_unique<svl::ScanTree>();
        std::vector<uint32_t> ids(m_nodes.size(), 0);
        auto write = [&](const Node& n, uint32_t id, uint32_t parent) {
            svl::ScanNode& node = tree->nodes[id];
            node.name = tree->storeName(n.name);
            node.nameLength = uint16_t(n.name.size());
            node.size = n.size;
            node.allocated = n.allocated;
            node.modified = n.modified;
            node.parent = parent;
            node.flags = uint16_t(n.flags | (n.folder ? svl::NodeFlag::Folder : 0));
            node.firstChild = node.childCount = node.filesBelow = node.foldersBelow = 0;
        };
        write(m_nodes[0], tree->allocateNodes(1), 0);
        std::vector<int> queue{0};
        for (size_t q = 0; q < queue.size(); ++q) {
            const Node& n = m_nodes[size_t(queue[q])];
            if (n.children.empty())
                continue;
            const uint32_t first = tree->allocateNodes(uint32_t(n.children.size()));
            for (size_t i = 0; i < n.children.size(); ++i) {
                const int c = n.children[i];
                ids[size_t(c)] = first + uint32_t(i);
                write(m_nodes[size_t(c)], first + uint32_t(i), ids[size_t(queue[q])]);
                queue.push_back(c);
            }
            tree->nodes[ids[size_t(queue[q])]].firstChild = first;
            tree->nodes[ids[size_t(queue[q])]].childCount = uint32_t(n.children.size());
        }
        tree->finishNodeCount();
        tree->computeTotals();
        if (idOf)
            *idOf = ids;
        return tree;
    }

private:
    std::vector<Node> m_nodes;
};

// 2023-11-14 22:13:20 UTC, one hour east of UTC.
inline svl::FilterClock fixedClock(int64_t now = 1700000000, int64_t offset = 3600) {
    svl::FilterClock clock;
    clock.now = [now] { return now; };
    clock.utcOffsetAt = [offset](int64_t) { return offset; };
    return clock;
}

// A stand-in for a regular-expression engine: the pattern is a literal compared without
// regard to ASCII case, optionally anchored with a leading '^' or a trailing '$'. A
// pattern containing '[' is "invalid". It counts texts with lone surrogates it was
// handed, which a real engine would refuse.
class LiteralMatcher : public svl::RegexMatcher {
public:
    explicit LiteralMatcher(std::u16string pattern, std::atomic<int>* illFormedSeen)
        : m_seen(illFormedSeen) {
        if (!pattern.empty() && pattern.front() == u'^') {
            m_front = true;
            pattern.erase(0, 1);
        }
        if (!pattern.empty() && pattern.back() == u'$') {
            m_back = true;
            pattern.pop_back();
        }
        m_pattern = lower(pattern);
    }

    bool matches(const char16_t* text, size_t length) const override {
        int64_t s, e;
        return locate(text, length, s, e);
    }
    bool find(const char16_t* text, size_t length, int64_t& start, int64_t& end) const override {
        return locate(text, length, start, end);
    }
    bool offersFind() const override { return true; }

    static svl::RegexFactory factory(std::atomic<int>* illFormedSeen = nullptr) {
        return [illFormedSeen](const std::u16string& p) -> std::shared_ptr<svl::RegexMatcher> {
            if (p.find(u'[') != std::u16string::npos)
                return nullptr;
            return std::make_shared<LiteralMatcher>(p, illFormedSeen);
        };
    }

private:
    static std::u16string lower(std::u16string s) {
        for (char16_t& u : s)
            if (u >= u'A' && u <= u'Z')
                u = char16_t(u + 32);
        return s;
    }
    bool locate(const char16_t* text, size_t length, int64_t& start, int64_t& end) const {
        if (m_seen && svl::hasLoneSurrogates(text, length))
            m_seen->fetch_add(1);
        const std::u16string t = lower(std::u16string(text, length));
        size_t at;
        if (m_front && m_back)
            at = t == m_pattern ? 0 : std::u16string::npos;
        else if (m_front)
            at = t.compare(0, m_pattern.size(), m_pattern) == 0 ? 0 : std::u16string::npos;
        else if (m_back)
            at = t.size() >= m_pattern.size() && t.compare(t.size() - m_pattern.size(), m_pattern.size(), m_pattern) == 0
                     ? t.size() - m_pattern.size()
                     : std::u16string::npos;
        else
            at = t.find(m_pattern);
        if (at == std::u16string::npos)
            return false;
        start = int64_t(at);
        end = int64_t(at + m_pattern.size());
        return true;
    }

    std::u16string m_pattern;
    bool m_front = false, m_back = false;
    std::atomic<int>* m_seen;
};

}  // namespace hmtest
