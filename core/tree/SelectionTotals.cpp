#include "core/tree/SelectionTotals.h"

#include "core/analysis/Parallel.h"
#include "core/tree/Saturating.h"
#include "core/tree/ScanTree.h"

#include <atomic>
#include <unordered_map>
#include <utility>
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
// click on one row in a huge tree does not clear a byte per node. The array is read and
// written atomically, so that blocks of rows can be totalled on all cores: every bit a
// thread sets is the same whichever thread sets it first.
class NodeMarks {
public:
    NodeMarks(uint32_t nodeCount, size_t rows) {
        if (rows >= nodeCount / 64)
            m_dense.assign(nodeCount, 0);
    }
    bool dense() const { return !m_dense.empty(); }
    uint8_t get(uint32_t id) {
        if (m_dense.empty())
            return m_sparse[id];
        return std::atomic_ref<uint8_t>(m_dense[id]).load(std::memory_order_relaxed);
    }
    // Sets `bits` and returns the marks before.
    uint8_t set(uint32_t id, uint8_t bits) {
        if (m_dense.empty())
            return std::exchange(m_sparse[id], uint8_t(m_sparse[id] | bits));
        return std::atomic_ref<uint8_t>(m_dense[id]).fetch_or(bits, std::memory_order_relaxed);
    }

private:
    std::vector<uint8_t> m_dense;
    std::unordered_map<uint32_t, uint8_t> m_sparse;
};

constexpr size_t kRowsPerTask = 65536;

void add(SelectionTotals& to, const SelectionTotals& part) {
    to.size = saturatingAdd(to.size, part.size);
    to.allocated = saturatingAdd(to.allocated, part.allocated);
    to.files += part.files;
    to.rows += part.rows;
}

}  // namespace

SelectionTotals selectionTotals(const ScanTree& tree, std::span<const uint32_t> rows) {
    SelectionTotals totals;
    const uint32_t n = tree.nodeCount;
    if (n == 0 || rows.empty())
        return totals;
    NodeMarks marks(n, rows.size());
    for (uint32_t row : rows) {
        if (row < n)
            marks.set(row, Selected);
        else if (row - n < n)
            marks.set(row - n, GroupSelected);
    }

    // Whether the node's row is selected or lies below a selected row: walks up to a settled
    // node (or the root), then settles the chain on the way down.
    auto covered = [&](uint32_t id, std::vector<uint32_t>& chain) {
        chain.clear();
        uint32_t at = id;
        while (!(marks.get(at) & Known) && at != 0) {
            chain.push_back(at);
            at = tree.node(at).parent;
        }
        uint8_t mark = marks.get(at);
        if (!(mark & Known))
            mark = marks.set(at, uint8_t(Known | ((mark & Selected) ? Covered : 0)));
        bool result = (mark & Covered) || (!(mark & Known) && (mark & Selected));
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            result = result || (marks.get(*it) & Selected);
            marks.set(*it, uint8_t(Known | (result ? Covered : 0)));
        }
        return result;
    };

    // Rows [first, end) into `part`. Selected rows lie all over the node array: asking for a
    // node some rows ahead lets the memory fetch several at once.
    auto totalRows = [&](size_t first, size_t end, SelectionTotals& part) {
        constexpr size_t kAhead = 16;
        std::vector<uint32_t> chain;
        for (size_t i = first; i < end; ++i) {
            if (i + kAhead < end && rows[i + kAhead] < n)
                __builtin_prefetch(&tree.node(rows[i + kAhead]));
            const uint32_t row = rows[i];
            if (row < n) {
                const ScanNode& node = tree.node(row);
                if ((node.flags & NodeFlag::Removed) || (marks.set(row, Counted) & Counted))
                    continue;
                ++part.rows;
                if (row != 0) {
                    const uint32_t parent = node.parent;
                    const bool inGroup = !node.isFolder() && (marks.get(parent) & GroupSelected);
                    if (inGroup || covered(parent, chain))
                        continue;
                }
                part.size = saturatingAdd(part.size, node.size);
                if (!(node.flags & NodeFlag::ExtraHardLink))
                    part.allocated = saturatingAdd(part.allocated, node.allocated);
                part.files += node.isFolder() ? node.filesBelow : 1;
            } else if (row - n < n) {
                const uint32_t folder = row - n;
                if ((tree.node(folder).flags & NodeFlag::Removed) || (marks.set(folder, GroupCounted) & GroupCounted))
                    continue;
                ++part.rows;
                if (covered(folder, chain))
                    continue;
                const DirectFilesSummary files = tree.directFilesSummary(folder);
                part.size = saturatingAdd(part.size, files.size);
                part.allocated = saturatingAdd(part.allocated, files.allocated);
                part.files += files.count - files.removed;
            }
        }
    };

    if (!marks.dense() || rows.size() <= kRowsPerTask) {
        totalRows(0, rows.size(), totals);
        return totals;
    }
    const size_t tasks = (rows.size() + kRowsPerTask - 1) / kRowsPerTask;
    std::vector<SelectionTotals> parts(tasks);
    parallelFor(tasks, [&](uint64_t task) {
        totalRows(size_t(task) * kRowsPerTask, std::min(rows.size(), size_t(task + 1) * kRowsPerTask), parts[task]);
    });
    for (const SelectionTotals& part : parts)
        add(totals, part);
    return totals;
}

}  // namespace svl
