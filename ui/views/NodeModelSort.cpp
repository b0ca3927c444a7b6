// NodeModel's ordering of child lists: each list's names ranked once (ignoring ASCII case),
// keys computed per row in parallel tasks, then a parallel merge sort with a total order
// (key, name rank, id) that never reads a name.
#include "ui/views/NodeModel.h"

#include "core/analysis/Parallel.h"
#include "core/tree/Attributes.h"
#include "core/tree/ScanTree.h"

#include <QThread>
#include <QTimer>

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

NodeModel::SortJob NodeModel::makeSortJob(uint32_t rowId, std::vector<uint32_t> ids) const {
    SortJob job;
    job.row = rowId;
    job.generation = m_sortGeneration;
    job.tree = m_tree;
    job.column = m_sortColumn;
    job.descending = m_sortOrder == Qt::DescendingOrder;
    job.newestBelow = showMaxModifiedDate;
    const uint32_t n = nodeCount();
    // A list holds at most its own folder's group row.
    for (uint32_t id : ids) {
        if (id >= n) {
            job.group = fileGroup(id - n);
            break;
        }
    }
    // All ids of a list share their parent row; its names are ranked once.
    if (m_rankedLists.count(rowId) && m_nameRank.size() == 2 * size_t(n)) {
        job.ranked = true;
        job.ranks.resize(ids.size());
        for (size_t j = 0; j < ids.size(); ++j)
            job.ranks[j] = m_nameRank[ids[j]];
    }
    job.ids = std::move(ids);
    return job;
}

void NodeModel::runSort(SortJob& job) {
    std::vector<uint32_t>& ids = job.ids;
    const uint64_t count = ids.size();
    if (count == 0 || !job.tree)
        return;
    const svl::ScanTree& tree = *job.tree;
    const uint32_t n = tree.nodeCount;
    const int column = job.column;
    const bool descending = job.descending;
    const bool newestBelow = job.newestBelow;
    const FileGroup& group = job.group;
    uint32_t groupRow = UINT32_MAX;
    for (uint32_t id : ids)
        if (id >= n)
            groupRow = id;

    if (!job.ranked) {
        job.ranks.resize(count);
        const std::string_view groupLabel = group.label;
        rankNames(
            count, [&](uint32_t slot) { return ids[slot] < n ? tree.node(ids[slot]).nameView() : groupLabel; },
            job.ranks.data());
        job.ranked = true;
    }
    const uint32_t* rank = job.ranks.data();

    auto keyOf = [&](uint32_t id) -> int64_t {
        if (id >= n) {
            switch (column) {
            case FolderColumn:
            case FoldersColumn:
            case AttributesColumn:
                return 0;
            case SizeColumn:
                return int64_t(group.size);
            case ItemsColumn:
            case FilesColumn:
                return group.presentCount;  // what the row shows
            case ModifiedColumn:
                return group.newest;
            default:
                return int64_t(group.allocated);
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
            if (svl::modifiedUnknown(node))
                return INT64_MIN;  // a date never read sorts as the oldest
            if (node.isFolder() && newestBelow && id < tree.newestTimes.size())
                return tree.newestTimes[id];
            return node.modified;
        case AttributesColumn:
            return svl::attributeBits(node, true, node.nameView());
        default:
            return int64_t(node.allocated);
        }
    };

    std::vector<uint32_t> orderedRanks(count);
    const bool byName = column == FolderColumn && std::is_sorted(ids.begin(), ids.end());
    if (byName) {
        // Ranks are dense, so counting them out over the ids in ascending order gives
        // (rank, id) in one pass; the group row goes last ascending and first descending.
        uint32_t maxRank = 0;
        for (uint64_t j = 0; j < count; ++j)
            maxRank = std::max(maxRank, rank[j]);
        std::vector<uint32_t> next(size_t(maxRank) + 2, 0);
        const auto slotOf = [&](uint64_t j) { return descending ? maxRank - rank[j] : rank[j]; };
        for (uint64_t j = 0; j < count; ++j)
            if (ids[j] < n)
                ++next[size_t(slotOf(j)) + 1];
        next[0] = groupRow != UINT32_MAX && descending ? 1 : 0;
        for (size_t k = 1; k < next.size(); ++k)
            next[k] += next[k - 1];
        std::vector<uint32_t> ordered(count);
        for (uint64_t j = 0; j < count; ++j) {
            if (ids[j] >= n) {
                const uint64_t at = descending ? 0 : count - 1;
                ordered[at] = ids[j];
                orderedRanks[at] = rank[j];
                continue;
            }
            const uint32_t at = next[slotOf(j)]++;
            ordered[at] = ids[j];
            orderedRanks[at] = rank[j];
        }
        ids.swap(ordered);
    } else {
        auto rows = std::make_unique_for_overwrite<Row[]>(count);
        svl::parallelFor((count + kKeyTaskRows - 1) / kKeyTaskRows, [&](uint64_t task) {
            const uint64_t end = std::min(count, (task + 1) * kKeyTaskRows);
            for (uint64_t j = task * kKeyTaskRows; j < end; ++j)
                rows[j] = Row{keyOf(ids[j]), ids[j], rank[j]};
        });
        // Equal names share a rank, so every order ends with the row id.
        auto tieBreak = [](const Row& a, const Row& b) {
            return a.nameRank != b.nameRank ? a.nameRank < b.nameRank : a.id < b.id;
        };
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
        for (uint64_t j = 0; j < count; ++j) {
            ids[j] = rows[j].id;
            orderedRanks[j] = rows[j].nameRank;
        }
    }
    job.ranks.swap(orderedRanks);

    // What flags() needs of each row, noted here so that laying out a million rows does
    // not touch a million scattered nodes.
    job.kinds.assign(count, 0);
    svl::parallelFor((count + kKeyTaskRows - 1) / kKeyTaskRows, [&](uint64_t task) {
        const uint64_t end = std::min(count, (task + 1) * kKeyTaskRows);
        for (uint64_t j = task * kKeyTaskRows; j < end; ++j) {
            if (ids[j] >= n)
                continue;
            const svl::ScanNode& node = tree.node(ids[j]);
            job.kinds[j] = kKnown | (node.isFolder() ? 0 : kFile) | ((node.flags & svl::NodeFlag::Removed) ? kRemoved : 0);
        }
    });
}

void NodeModel::noteSorted(const SortJob& job) const {
    const uint32_t n = nodeCount();
    if (m_nameRank.size() != 2 * size_t(n))
        m_nameRank.assign(2 * size_t(n), 0);
    if (m_rowKind.size() != n)
        m_rowKind.assign(n, 0);
    for (size_t j = 0; j < job.ids.size(); ++j) {
        const uint32_t id = job.ids[j];
        m_nameRank[id] = job.ranks[j];
        if (id < n)
            m_rowKind[id] = job.kinds[j];
    }
    m_rankedLists.insert(job.row);
}

void NodeModel::sortRows(std::vector<uint32_t>& ids) const {
    if (ids.size() < 2 || !m_tree)
        return;
    const uint32_t parent = parentId(ids.front());
    SortJob job = makeSortJob(parent, std::move(ids));
    runSort(job);
    noteSorted(job);
    ids = std::move(job.ids);
}

// ---- long lists sorted on a worker ----

bool NodeModel::heldBack(uint32_t rowId) const {
    if (m_heldBack.count(rowId))
        return true;
    if (childCount(rowId) <= kBackgroundSortRows || cachedOrder(rowId) || m_released.count(rowId))
        return false;
    m_heldBack.insert(rowId);
    return true;
}

bool NodeModel::canFetchMore(const QModelIndex& parent) const {
    return ownsIndex(parent) && parent.column() == 0 && heldBack(uint32_t(parent.internalId()));
}

void NodeModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent))
        return;
    const uint32_t rowId = uint32_t(parent.internalId());
    if (m_sortJob && m_sortJob->row == rowId && m_sortJob->generation == m_sortGeneration)
        return;  // already being sorted
    if (std::find(m_sortWanted.begin(), m_sortWanted.end(), rowId) == m_sortWanted.end())
        m_sortWanted.push_back(rowId);
    if (!m_sortThread)
        startBackgroundSort();
}

void NodeModel::startBackgroundSort() {
    while (!m_sortWanted.empty() && !m_heldBack.count(m_sortWanted.front()))
        m_sortWanted.erase(m_sortWanted.begin());
    if (m_sortWanted.empty() || !m_tree)
        return;
    const uint32_t rowId = m_sortWanted.front();
    m_sortWanted.erase(m_sortWanted.begin());
    m_sortJob = std::make_shared<SortJob>(makeSortJob(rowId, unsortedChildren(rowId)));
    const uint64_t serial = ++m_sortSerial;
    m_sortThread = QThread::create([this, serial, job = m_sortJob] {
        runSort(*job);
        // The destructor waits for this thread, so the model still exists here.
        QMetaObject::invokeMethod(this, [this, serial] { backgroundSortFinished(serial); }, Qt::QueuedConnection);
    });
    m_sortThread->start();
    if (!m_sortBusy) {
        m_sortBusy = true;
        emit backgroundSortChanged(true);
    }
}

void NodeModel::takeBackgroundSort() {
    m_sortThread->wait();
    delete m_sortThread;
    m_sortThread = nullptr;
    const std::shared_ptr<SortJob> job = std::move(m_sortJob);
    if (job->generation != m_sortGeneration) {
        // Sorted by an old column or order: sort again for a row that still waits.
        if (m_heldBack.count(job->row))
            m_sortWanted.insert(m_sortWanted.begin(), job->row);
        return;
    }
    if (!m_heldBack.count(job->row) || cachedOrder(job->row))
        return;
    noteSorted(*job);
    storeOrder(job->row, std::move(job->ids));
}

void NodeModel::settleBackgroundSort() {
    if (!m_sortThread)
        startBackgroundSort();
    if (!m_sortThread && m_sortBusy) {
        m_sortBusy = false;
        emit backgroundSortChanged(false);
    }
}

void NodeModel::backgroundSortFinished(uint64_t serial) {
    if (!m_sortThread || serial != m_sortSerial)
        return;  // already taken by waitForSorting
    takeBackgroundSort();
    settleBackgroundSort();
}

void NodeModel::waitForSorting() {
    if (!m_sortThread)
        return;
    takeBackgroundSort();
    // The caller may be about to change the tree: the next list starts from the event loop.
    QTimer::singleShot(0, this, [this] { settleBackgroundSort(); });
}

void NodeModel::dropBackgroundSorts() {
    ++m_sortGeneration;
    m_sortWanted.clear();
    m_heldBack.clear();
    m_released.clear();
}

void NodeModel::sort(int column, Qt::SortOrder order) {
    if (column == m_sortColumn && order == m_sortOrder)
        return;
    m_sortColumn = column;
    m_sortOrder = order;
    ++m_sortGeneration;  // a list still being sorted in the old order is sorted again
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
