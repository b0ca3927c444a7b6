#include "core/tree/SelectionTotals.h"

#include "core/tree/Saturating.h"
#include "core/tree/ScanTree.h"

#include <unordered_map>
#include <vector>

namespace svl {

namespace {

enum : uint8_t {
    Selected = 1,       // the node's own row is selected
    GroupSelected = 2,  // the folder's file-group row is selected
    Known = 4,          // Covered below is settled
    Covered = 8,        // the node's row is selected or lies below a selected row
    Counted = 16,       // the node's row was added already
    GroupCounted = 32,  // the folder's group row was added already
};

// One byte of marks per node: an array when many rows are selected, else a map, so that a
// click on one row in a huge tree does not clear a byte per node.
class NodeMarks {
public:
    NodeMarks(uint32_t nodeCount, size_t rows) {
        if (rows >= nodeCount / 64)
            m_dense.assign(nodeCount, 0);
    }
    uint8_t& operator[](uint32_t id) { return m_dense.empty() ? m_sparse[id] : m_dense[id]; }

private:
    std::vector<uint8_t> m_dense;
    std::unordered_map<uint32_t, uint8_t> m_sparse;
};

}  // namespace

SelectionTotals selectionTotals(const ScanTree& tree, std::span<const uint32_t> rows) {
    SelectionTotals totals;
    const uint32_t n = tree.nodeCount;
    if (n == 0 || rows.empty())
        return totals;
    NodeMarks marks(n, rows.size());
    for (uint32_t row : rows) {
        if (row < n)
            marks[row] |= Selected;
        else if (row - n < n)
            marks[row - n] |= GroupSelected;
    }

    std::vector<uint32_t> chain;
    // Whether the node's row is selected or lies below a selected row: walks up to a settled
    // node (or the root), then settles the chain on the way down.
    auto covered = [&](uint32_t id) {
        chain.clear();
        uint32_t at = id;
        while (!(marks[at] & Known) && at != 0) {
            chain.push_back(at);
            at = tree.node(at).parent;
        }
        if (!(marks[at] & Known))
            marks[at] |= Known | ((marks[at] & Selected) ? Covered : 0);
        bool result = marks[at] & Covered;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            result = result || (marks[*it] & Selected);
            marks[*it] |= Known | (result ? Covered : 0);
        }
        return result;
    };

    // Selected rows lie all over the node array; asking for a node some rows ahead lets the
    // memory fetch several at once instead of waiting for each in turn.
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i + kAhead < rows.size() && rows[i + kAhead] < n)
            __builtin_prefetch(&tree.node(rows[i + kAhead]));
        const uint32_t row = rows[i];
        if (row < n) {
            const ScanNode& node = tree.node(row);
            uint8_t& mark = marks[row];
            if ((node.flags & NodeFlag::Removed) || (mark & Counted))
                continue;
            mark |= Counted;
            ++totals.rows;
            if (row != 0) {
                const uint32_t parent = node.parent;
                const bool inGroup = !node.isFolder() && (marks[parent] & GroupSelected);
                if (inGroup || covered(parent))
                    continue;
            }
            totals.size = saturatingAdd(totals.size, node.size);
            if (!(node.flags & NodeFlag::ExtraHardLink))
                totals.allocated = saturatingAdd(totals.allocated, node.allocated);
            totals.files += node.isFolder() ? node.filesBelow : 1;
        } else if (row - n < n) {
            const uint32_t folder = row - n;
            uint8_t& mark = marks[folder];
            if ((tree.node(folder).flags & NodeFlag::Removed) || (mark & GroupCounted))
                continue;
            mark |= GroupCounted;
            ++totals.rows;
            if (covered(folder))
                continue;
            const DirectFilesSummary files = tree.directFilesSummary(folder);
            totals.size = saturatingAdd(totals.size, files.size);
            totals.allocated = saturatingAdd(totals.allocated, files.allocated);
            totals.files += files.count - files.removed;
        }
    }
    return totals;
}

}  // namespace svl
