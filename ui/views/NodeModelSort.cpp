// NodeModel's ordering of child lists: each list's names ranked once (ignoring ASCII case),
// keys computed per row in parallel tasks, then a parallel merge sort with a total order
// (key, name rank, id) that never reads a name.
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

// One name while names are ranked: sixteen of its bytes from the span's depth on (ASCII
// lowered, big-endian, zero-padded) and how many bytes it has from there, capped at 17 so
// that all names running past the chunk tie.
struct NameEntry {
    uint64_t high;
    uint64_t low;
    uint32_t slot;  // position in the list
    uint32_t rest;
};

bool entryLess(const NameEntry& a, const NameEntry& b) {
    if (a.high != b.high)
        return a.high < b.high;
    if (a.low != b.low)
        return a.low < b.low;
    return a.rest < b.rest;
}

bool sameEntry(const NameEntry& a, const NameEntry& b) {
    return a.high == b.high && a.low == b.low && a.rest == b.rest;
}

// Eight bytes of a name from `offset` on, ASCII-lowered, big-endian, zero-padded: names
// contain no NUL, so chunks order exactly as the names' bytes do.
uint64_t nameChunk(std::string_view name, size_t offset) {
    uint64_t chunk = 0;
    for (size_t i = offset; i < offset + 8; ++i) {
        chunk <<= 8;
        if (i < name.size())
            chunk |= kAsciiLower[static_cast<unsigned char>(name[i])];
    }
    return chunk;
}

// Names of one list that agree (ignoring ASCII case) on their first `depth` bytes and all
// have at least that many: entries[begin, end).
struct NameSpan {
    uint64_t begin;
    uint64_t end;
    size_t depth;
};

constexpr uint64_t kBigSpan = 65536;

// Sorts one span by the chunk after the bytes all its names share, marks where a new name
// starts, and queues the runs whose names all go past the chunk.
template <class NameOf>
void refineSpan(std::vector<NameEntry>& entries, std::vector<uint8_t>& startsName, NameSpan span,
                const NameOf& nameOf, std::vector<NameSpan>& deeper) {
    NameEntry* e = entries.data() + span.begin;
    const uint64_t count = span.end - span.begin;
    // Skip the bytes every name of the span shares: names with long common starts
    // ("Screenshot from 2024-...") then settle in one chunk.
    const std::string_view first = nameOf(e[0].slot);
    size_t common = first.size();
    for (uint64_t j = 1; j < count && common > span.depth; ++j) {
        const std::string_view name = nameOf(e[j].slot);
        common = std::min(common, name.size());
        for (size_t i = span.depth; i < common; ++i)
            if (kAsciiLower[static_cast<unsigned char>(name[i])] != kAsciiLower[static_cast<unsigned char>(first[i])]) {
                common = i;
                break;
            }
    }
    const size_t depth = std::max(common, span.depth);
    const auto fill = [&](uint64_t from, uint64_t to) {
        for (uint64_t j = from; j < to; ++j) {
            const std::string_view name = nameOf(e[j].slot);
            e[j].high = nameChunk(name, depth);
            e[j].low = nameChunk(name, depth + 8);
            e[j].rest = uint32_t(std::min<size_t>(name.size() - depth, 17));
        }
    };
    if (count >= kBigSpan) {
        svl::parallelFor((count + kBigSpan - 1) / kBigSpan,
                         [&](uint64_t task) { fill(task * kBigSpan, std::min(count, (task + 1) * kBigSpan)); });
        svl::parallelMergeSort(e, count, entryLess);
    } else {
        fill(0, count);
        std::sort(e, e + count, entryLess);
    }
    uint64_t run = 0;
    for (uint64_t j = 1; j <= count; ++j) {
        if (j < count && sameEntry(e[j], e[run]))
            continue;  // equal chunks: the same name when it ends inside, else decided deeper
        if (j < count)
            startsName[span.begin + j] = 1;
        if (j - run > 1 && e[run].rest > 16)
            deeper.push_back({span.begin + run, span.begin + j, depth + 16});
        run = j;
    }
}

}  // namespace

void rankNames(uint64_t count, const std::function<std::string_view(uint32_t)>& nameOf, uint32_t* ranks) {
    if (count == 0)
        return;
    std::vector<NameEntry> entries(count);
    for (uint64_t j = 0; j < count; ++j)
        entries[j].slot = uint32_t(j);
    std::vector<uint8_t> startsName(count, 0);
    std::vector<NameSpan> spans{{0, count, 0}};
    while (!spans.empty()) {
        std::vector<NameSpan> deeper;
        std::vector<NameSpan> small;
        for (const NameSpan& span : spans) {
            if (span.end - span.begin >= kBigSpan)
                refineSpan(entries, startsName, span, nameOf, deeper);
            else
                small.push_back(span);
        }
        // Small spans are refined side by side, a batch of spans per task.
        std::vector<std::vector<NameSpan>> found(std::max<size_t>(1, (small.size() + 255) / 256));
        svl::parallelFor(found.size(), [&](uint64_t task) {
            const size_t end = std::min(small.size(), size_t(task + 1) * 256);
            for (size_t k = size_t(task) * 256; k < end; ++k)
                refineSpan(entries, startsName, small[k], nameOf, found[task]);
        });
        for (const std::vector<NameSpan>& more : found)
            deeper.insert(deeper.end(), more.begin(), more.end());
        spans.swap(deeper);
    }
    uint32_t rank = 0;
    for (uint64_t j = 0; j < count; ++j) {
        rank += startsName[j];
        ranks[entries[j].slot] = rank;
    }
}

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

    const uint32_t* rank = nameRanks(ids);
    if (m_rowKind.size() != n)
        m_rowKind.assign(n, 0);
    uint8_t* kind = m_rowKind.data();
    const bool byName = column == FolderColumn && std::is_sorted(ids.begin(), ids.end());
    auto rows = std::make_unique_for_overwrite<Row[]>(byName ? 0 : count);
    svl::parallelFor((count + kKeyTaskRows - 1) / kKeyTaskRows, [&](uint64_t task) {
        const uint64_t end = std::min(count, (task + 1) * kKeyTaskRows);
        for (uint64_t j = task * kKeyTaskRows; j < end; ++j) {
            const uint32_t id = ids[j];
            if (!byName)
                rows[j] = Row{keyOf(id), id, rank[id]};
            if (id < n) {
                const svl::ScanNode& node = tree.node(id);
                kind[id] = kKnown | (node.isFolder() ? 0 : kFile) | ((node.flags & svl::NodeFlag::Removed) ? kRemoved : 0);
            }
        }
    });

    if (byName) {
        // Ranks are dense, so counting them out over the ids in ascending order gives
        // (rank, id) in one pass; the group row goes last ascending and first descending.
        uint32_t maxRank = 0;
        for (uint32_t id : ids)
            maxRank = std::max(maxRank, rank[id]);
        std::vector<uint32_t> next(size_t(maxRank) + 2, 0);
        const auto slotOf = [&](uint32_t id) { return descending ? maxRank - rank[id] : rank[id]; };
        for (uint32_t id : ids)
            if (id < n)
                ++next[size_t(slotOf(id)) + 1];
        const uint32_t first = groupRow != UINT32_MAX && descending ? 1 : 0;
        next[0] = first;
        for (size_t k = 1; k < next.size(); ++k)
            next[k] += next[k - 1];
        std::vector<uint32_t> ordered(count);
        for (uint32_t id : ids)
            if (id < n)
                ordered[next[slotOf(id)]++] = id;
        if (groupRow != UINT32_MAX)
            ordered[descending ? 0 : count - 1] = groupRow;
        ids.swap(ordered);
        return;
    }

    // Equal names share a rank, so every order ends with the row id.
    auto tieBreak = [](const Row& a, const Row& b) { return a.nameRank != b.nameRank ? a.nameRank < b.nameRank : a.id < b.id; };
    if (column == FolderColumn) {
        svl::parallelMergeSort(rows.get(), count, [&](const Row& a, const Row& b) {
            const bool aGroup = a.id >= n;
            if (aGroup != (b.id >= n))
                return descending ? aGroup : !aGroup;
            if (a.nameRank != b.nameRank)
                return descending ? a.nameRank > b.nameRank : a.nameRank < b.nameRank;
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

const uint32_t* NodeModel::nameRanks(const std::vector<uint32_t>& ids) const {
    const uint32_t n = nodeCount();
    if (m_nameRank.size() != 2 * size_t(n))
        m_nameRank.assign(2 * size_t(n), 0);
    // All ids of a list share their parent row; its names are ranked once.
    if (!m_rankedLists.insert(parentId(ids.front())).second)
        return m_nameRank.data();
    const svl::ScanTree& tree = *m_tree;
    std::string_view groupLabel;
    for (uint32_t id : ids)
        if (id >= n)
            groupLabel = fileGroup(id - n).label;  // made here, on this thread, before the workers read it
    std::vector<uint32_t> ranks(ids.size());
    rankNames(
        ids.size(),
        [&](uint32_t slot) { return ids[slot] < n ? tree.node(ids[slot]).nameView() : groupLabel; }, ranks.data());
    for (size_t j = 0; j < ids.size(); ++j)
        m_nameRank[ids[j]] = ranks[j];
    return m_nameRank.data();
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
    m_lastOrder = nullptr;
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
