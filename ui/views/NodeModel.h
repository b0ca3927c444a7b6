// The folder tree's item model: the displayed scan tree read in place, nine columns,
// every text computed when a view asks. Row ids (the indexes' internal ids) below the
// node count n are node ids; n + f is the file-group row that gathers the loose files
// of folder f once there are fileGroupMinSize of them. Each folder's child order is
// sorted once, on all cores for long lists, and kept until the sort or the tree changes.
// A list too long to sort within a frame is sorted on a worker thread when a view expands
// its row: the row shows no children until the sorted list arrives and its rows are
// inserted. GUI thread only; the sorting threads read the tree and copies of the switches.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace svl {
class ScanTree;
}

class QThread;

class NodeModel : public QAbstractItemModel {
    Q_OBJECT

public:
    // Child lists longer than this are sorted away from the GUI thread when a view shows them.
    static constexpr uint32_t kBackgroundSortRows = 100000;

    enum Column { FolderColumn, PercentColumn, SizeColumn, AllocatedColumn, ItemsColumn, FilesColumn,
                  FoldersColumn, ModifiedColumn, AttributesColumn, ColumnCount };

    // The loose files of one folder, as its group row shows them.
    struct FileGroup {
        uint32_t fileCount = 0;     // removed files included: their rows stay under the group
        uint32_t presentCount = 0;  // removed files excluded: what the row says it holds
        uint64_t size = 0;       // removed files excluded
        uint64_t allocated = 0;  // removed files and further hard links excluded
        int64_t newest = 0;
        bool grouped = false;
        std::string label;  // UTF-8, empty when not grouped
    };

    // One entry of a child list while it is sorted: the sort key, the row id and the name's
    // place among its siblings' names, so that comparing never touches the tree.
    struct Row {
        int64_t key;
        uint32_t id;
        uint32_t nameRank;
    };

    // One child list sorted apart from the model: the inputs are copied on the GUI thread,
    // so that sorting reads only the tree and this record.
    struct SortJob {
        uint32_t row = 0;  // the parent row
        uint64_t generation = 0;
        std::shared_ptr<svl::ScanTree> tree;
        int column = 0;
        bool descending = false;
        bool newestBelow = false;
        FileGroup group;  // the record of the list's group row, if it has one
        bool ranked = false;
        std::vector<uint32_t> ids;    // the children; sorted, in display order
        std::vector<uint32_t> ranks;  // name ranks by position in ids (given when ranked)
        std::vector<uint8_t> kinds;   // flags() facts by position in the sorted ids
    };

    using RenameHandler = std::function<bool(uint32_t nodeId, const QString& newName)>;

    explicit NodeModel(QObject* parent = nullptr);
    ~NodeModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    // The drag data of these rows in this order (group rows add nothing); null when none is a node.
    QMimeData* mimeDataOfRows(std::vector<uint32_t> rowIds) const;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // A long child list that is not sorted yet: its row shows no children until fetchMore
    // has had it sorted on a worker.
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;
    // Re-sorts every cached child list that a persistent index needs, keeping those
    // indexes (expansion, selection) on their rows; the rest are sorted when shown.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // A model reset that keeps the tree and every cache: views drop all the indexes they
    // hold (expanded rows, selection) in one step.
    void resetRows();
    // Installs a tree (null empties the view) inside a model reset; sort order is kept.
    void setTree(std::shared_ptr<svl::ScanTree> tree);
    const std::shared_ptr<svl::ScanTree>& tree() const { return m_tree; }

    // The parent row id: a group row's folder, a grouped file's group row, else the node's parent.
    uint32_t parentId(uint32_t rowId) const;
    uint32_t childCount(uint32_t rowId) const;
    // The children in display order, built and sorted on first request.
    const std::vector<uint32_t>& childOrder(uint32_t rowId) const;
    // The column-0 index of a row id, building the child orders along the way; invalid for
    // ids that name no row.
    QModelIndex indexForId(uint32_t rowId) const;
    // A node's full path, or a group row's label; null without a tree.
    QString pathOf(uint32_t rowId) const;

    // The folder's group record, computed on first use. Requires folder < node count.
    const FileGroup& fileGroup(uint32_t folder) const;
    // Least number of loose files that groups them (negative counts as 0, 0 = never).
    void setFileGroupMinSize(int minimum);
    int fileGroupMinSize() const { return m_fileGroupMinSize; }
    // Drops the group records after renames and removals; no signal.
    void clearGroupCache();
    QVariant groupRowData(const QModelIndex& index, int role) const;

    // Puts the row ids of one parent into display order.
    void sortRows(std::vector<uint32_t>& ids) const;
    // Sorts again by the current column and order (after showMaxModifiedDate changed).
    void resort();
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }
    // Waits for the worker sorting a child list and inserts its rows; the owner calls it
    // before it changes the tree in place (renames, removals).
    void waitForSorting();
    bool sortingInBackground() const { return m_sortThread != nullptr; }

signals:
    // A list is being sorted on a worker (true) or the last one arrived or was dropped (false).
    void backgroundSortChanged(bool running);

public:
    // Set directly by the owner.
    bool renameEnabled = true;
    bool showMaxModifiedDate = true;
    RenameHandler renameHandler;

private:
    static constexpr uint8_t kKnown = 1, kFile = 2, kRemoved = 4;
    bool isVirtual() const;
    uint32_t nodeCount() const;
    bool ownsIndex(const QModelIndex& index) const;
    int barLevel(uint32_t nodeId) const;
    QVariant nodeData(uint32_t id, int column, int role) const;
    QString displayText(uint32_t id, int column) const;
    QString percentText(uint32_t id) const;
    std::string_view rowName(uint32_t rowId) const;
    // The cached child order of a row, or null when it has not been built.
    const std::vector<uint32_t>* cachedOrder(uint32_t rowId) const;
    // The children of a row in tree order (not yet sorted).
    std::vector<uint32_t> unsortedChildren(uint32_t rowId) const;
    SortJob makeSortJob(uint32_t rowId, std::vector<uint32_t> ids) const;
    // Ranks (when not given) and sorts the job's ids; any thread.
    static void runSort(SortJob& job);
    // Keeps the ranks and row kinds of a sorted job.
    void noteSorted(const SortJob& job) const;
    // Caches a row's sorted list; a row held back from the views gets its rows inserted.
    const std::vector<uint32_t>& storeOrder(uint32_t rowId, std::vector<uint32_t> order) const;
    // True when the views were, or now are, shown no children for this row until its long
    // list is sorted.
    bool heldBack(uint32_t rowId) const;
    void startBackgroundSort();
    void backgroundSortFinished(uint64_t serial);
    // Joins the worker and installs its list when it is still wanted.
    void takeBackgroundSort();
    // Starts the next wanted list, or tells that none is being sorted any more.
    void settleBackgroundSort();
    // Drops every held-back row and the worker's coming result (a reset).
    void dropBackgroundSorts();

    std::shared_ptr<svl::ScanTree> m_tree;
    mutable std::unordered_map<uint32_t, std::vector<uint32_t>> m_orderCache;
    // The order last found in m_orderCache (its entries stay put until the cache is emptied).
    mutable uint32_t m_lastOrderRow = 0;
    mutable const std::vector<uint32_t>* m_lastOrder = nullptr;
    mutable std::unordered_map<uint32_t, FileGroup> m_groupCache;
    mutable std::vector<uint32_t> m_rowOfId;
    // Name ranks by row id, valid for the children of the rows in m_rankedLists; kept across
    // sorts, dropped with the group records (renames, removals) and with the tree.
    mutable std::vector<uint32_t> m_nameRank;
    mutable std::unordered_set<uint32_t> m_rankedLists;
    // What flags() needs of a node, noted while its list is sorted (kKnown, kFile, kRemoved),
    // so that laying out a million rows does not touch a million scattered nodes.
    mutable std::vector<uint8_t> m_rowKind;
    // Rows shown without children until their list arrives, rows whose long list has been
    // shown once (they never go back to no children before a reset), rows waiting for the worker.
    mutable std::unordered_set<uint32_t> m_heldBack;
    mutable std::unordered_set<uint32_t> m_released;
    std::vector<uint32_t> m_sortWanted;
    QThread* m_sortThread = nullptr;
    std::shared_ptr<SortJob> m_sortJob;
    uint64_t m_sortSerial = 0;
    bool m_sortBusy = false;
    // Raised by every change that makes a running sort's result stale.
    uint64_t m_sortGeneration = 0;
    int m_fileGroupMinSize = 4;
    int m_sortColumn = AllocatedColumn;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
    QIcon m_folderIcon;
    QIcon m_fileIcon;
    QIcon m_warningIcon;
};

// Compares two names byte by byte with only ASCII letters lowered (no locale): negative
// when a sorts first ascending, the shorter first when one is a prefix of the other.
int compareNamesAscii(std::string_view a, std::string_view b);
// Ranks `count` names in the order of compareNamesAscii: ranks[slot] is the number of
// distinct names before nameOf(slot), so equal names share a rank. Runs on all cores for
// long lists; nameOf is called from several threads at once.
void rankNames(uint64_t count, const std::function<std::string_view(uint32_t slot)>& nameOf, uint32_t* ranks);
