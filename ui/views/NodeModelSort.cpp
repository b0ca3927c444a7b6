// NodeModel's ordering of child lists: keys computed once per row in parallel tasks,
// then a parallel merge sort with a total order (key, name ignoring ASCII case, id).
#include "ui/views/NodeModel.h"

#include "core/analysis/Parallel.h"
#include "core/tree/Attributes.h"
#include "core/tree/ScanTree.h"

#include <algorithm>
#include <array>
#include <memory>

namespace {

constexpr uint64_t kKeyTaskRows = 65536;

constexpr std::array<unsigned char, 256> makeAsciiLower() {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[size_t(c)] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return table;
}
constexpr std::array<unsigned char, 256> kAsciiLower = makeAsciiLower();

constexpr size_t kPrefixBytes = 16;

// Eight bytes of a name from `offset` on, ASCII-lowered, big-endian, zero-padded: names
// contain no NUL, so prefixes order exactly as the names' bytes do.
uint64_t namePrefix(std::string_view name, size_t offset) {
    uint64_t prefix = 0;
    for (size_t i = offset; i < offset + 8; ++i) {
        prefix <<= 8;
        if (i < name.size())
            prefix |= kAsciiLower[static_cast<unsigned char>(name[i])];
    }
    return prefix;
}

int compareRowNames(const NodeModel::Row& a, const NodeModel::Row& b) {
    for (int k = 0; k < 2; ++k)
        if (a.namePrefix[k] != b.namePrefix[k])
            return a.namePrefix[k] < b.namePrefix[k] ? -1 : 1;
    // Equal prefixes: a name no longer than the prefix has a twin of the same length.
    if (a.nameLength <= kPrefixBytes || b.nameLength <= kPrefixBytes)
        return 0;
    return compareNamesAscii(std::string_view(a.name + kPrefixBytes, a.nameLength - kPrefixBytes),
                             std::string_view(b.name + kPrefixBytes, b.nameLength - kPrefixBytes));
}

}  // namespace

int compareNamesAscii(std::string_view a, std::string_view b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const unsigned char x = kAsciiLower[static_cast<unsigned char>(a[i])];
        const unsigned char y = kAsciiLower[static_cast<unsigned char>(b[i])];
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

void NodeModel::sortRows(std::vector<uint32_t>& ids) const {
    const uint64_t count = ids.size();
    if (count < 2 || !m_tree)
        return;
    const svl::ScanTree& tree = *m_tree;
    const uint32_t n = tree.nodeCount;
    const int column = m_sortColumn;
    const bool descending = m_sortOrder == Qt::DescendingOrder;
    const bool newestBelow = showMaxModifiedDate;

    // A list holds at most its own folder's group row; its record exists by now.
    const FileGroup* group = nullptr;
    uint32_t groupRow = UINT32_MAX;
    for (uint32_t id : ids) {
        if (id >= n) {
            groupRow = id;
            group = &fileGroup(id - n);
            break;
        }
    }

    auto keyOf = [&](uint32_t id) -> int64_t {
        if (id >= n) {
            const FileGroup& g = id == groupRow ? *group : m_groupCache.at(id - n);
            switch (column) {
            case FolderColumn:
            case FoldersColumn:
            case AttributesColumn:
                return 0;
            case SizeColumn:
                return int64_t(g.size);
            case ItemsColumn:
            case FilesColumn:
                return g.fileCount;
            case ModifiedColumn:
                return g.newest;
            default:
                return int64_t(g.allocated);
            }
        }
        const svl::ScanNode& node = tree.node(id);
        switch (column) {
        case FolderColumn:
            return 0;
        case SizeColumn:
            return int64_t(node.size);
        case ItemsColumn:
            return node.isFolder() ? int64_t(node.filesBelow) + node.foldersBelow : -1;
        case FilesColumn:
            return node.isFolder() ? int64_t(node.filesBelow) : -1;
        case FoldersColumn:
            return node.isFolder() ? int64_t(node.foldersBelow) : -1;
        case ModifiedColumn:
            if (node.isFolder() && newestBelow && id < tree.newestTimes.size())
                return tree.newestTimes[id];
            return node.modified;
        case AttributesColumn:
            return svl::attributeBits(node, true, node.nameView());
        default:
            return int64_t(node.allocated);
        }
    };

    auto nameOf = [&](uint32_t id) -> std::string_view {
        if (id < n)
            return tree.node(id).nameView();
        return id == groupRow ? std::string_view(group->label) : rowName(id);
    };
    auto rows = std::make_unique_for_overwrite<Row[]>(count);
    svl::parallelFor((count + kKeyTaskRows - 1) / kKeyTaskRows, [&](uint64_t task) {
        const uint64_t end = std::min(count, (task + 1) * kKeyTaskRows);
        for (uint64_t j = task * kKeyTaskRows; j < end; ++j) {
            const uint32_t id = ids[j];
            const std::string_view name = nameOf(id);
            rows[j] = Row{keyOf(id), id, uint32_t(name.size()), {namePrefix(name, 0), namePrefix(name, 8)}, name.data()};
        }
    });

    auto tieBreak = [](const Row& a, const Row& b) {
        const int names = compareRowNames(a, b);
        return names != 0 ? names < 0 : a.id < b.id;
    };
    if (column == FolderColumn) {
        svl::parallelMergeSort(rows.get(), count, [&](const Row& a, const Row& b) {
            const bool aGroup = a.id >= n;
            if (aGroup != (b.id >= n))
                return descending ? aGroup : !aGroup;
            const int names = compareRowNames(a, b);
            if (names != 0)
                return descending ? names > 0 : names < 0;
            return a.id < b.id;
        });
    } else if (descending) {
        svl::parallelMergeSort(rows.get(), count, [&](const Row& a, const Row& b) {
            return a.key != b.key ? a.key > b.key : tieBreak(a, b);
        });
    } else {
        svl::parallelMergeSort(rows.get(), count, [&](const Row& a, const Row& b) {
            return a.key != b.key ? a.key < b.key : tieBreak(a, b);
        });
    }
    for (uint64_t j = 0; j < count; ++j)
        ids[j] = rows[j].id;
}

void NodeModel::sort(int column, Qt::SortOrder order) {
    if (column == m_sortColumn && order == m_sortOrder)
        return;
    m_sortColumn = column;
    m_sortOrder = order;
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    if (nodeCount() == 0)
        return;

    emit layoutAboutToBeChanged();
    const QModelIndexList before = persistentIndexList();
    m_orderCache.clear();
    std::vector<uint32_t>().swap(m_rowOfId);
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& old : before) {
        const uint32_t id = uint32_t(old.internalId());
        const QModelIndex moved = indexForId(id);
        after.append(moved.isValid() ? createIndex(moved.row(), old.column(), quintptr(id)) : QModelIndex());
    }
    changePersistentIndexList(before, after);
    emit layoutChanged();
}

void NodeModel::resort() {
    const int column = m_sortColumn;
    m_sortColumn = -1;
    sort(column, m_sortOrder);
}
