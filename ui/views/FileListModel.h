// FileListModel: the File View's flat list of scan-tree nodes (the ids the last search
// produced, in its order) in nine columns. A listed file that has duplicates expands
// into the other members of its group as child rows: a top-level row has internal id 0,
// a child row internal id (parent row + 1). The model reads the tree in place and never
// sorts. GUI thread only; the tree and the duplicate index are shared read-only with
// search threads.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace svl {
class ScanTree;
struct DuplicateIndex;
}  // namespace svl

class FileListModel : public QAbstractItemModel {
    Q_OBJECT

public:
    enum Column { NameColumn, PathColumn, PercentColumn, SizeColumn, AllocatedColumn, ModifiedColumn,
                  AttributesColumn, DupCountColumn, DupSizeColumn, ColumnCount };

    using RenameHandler = std::function<bool(uint32_t id, const QString& name)>;

    explicit FileListModel(QObject* parent = nullptr);

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
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Installs a search result with one model reset; a null tree shows nothing.
    void setResult(std::shared_ptr<svl::ScanTree> tree, std::vector<uint32_t> ids,
                   std::shared_ptr<const svl::DuplicateIndex> duplicates);

    // The node a valid index of this model stands for.
    uint32_t nodeId(const QModelIndex& index) const;
    // Members of id's duplicate group other than id itself; the c-th of them (c below
    // duplicateCount) is found without building the list.
    uint32_t duplicateCount(uint32_t id) const;
    uint32_t duplicateAt(uint32_t id, uint32_t c) const;

    const std::shared_ptr<svl::ScanTree>& tree() const { return m_tree; }
    const std::vector<uint32_t>& ids() const { return m_ids; }
    const std::shared_ptr<const svl::DuplicateIndex>& duplicates() const { return m_duplicates; }

    void setRenameHandler(RenameHandler handler) { m_renameHandler = std::move(handler); }
    // Called before the rename handler changes the tree, so that no search reads it meanwhile.
    void setBeforeTreeEdit(std::function<void()> hook) { m_beforeTreeEdit = std::move(hook); }
    void setRenameEnabled(bool enabled) { m_renameEnabled = enabled; }
    bool renameEnabled() const { return m_renameEnabled; }
    void setShowMaxModifiedDate(bool show) { m_showMaxModifiedDate = show; }
    bool showMaxModifiedDate() const { return m_showMaxModifiedDate; }
    // The header section drawn in bold; announces the change of every section.
    void setSortColumn(int column);
    int sortColumn() const { return m_sortColumn; }

private:
    QString displayText(uint32_t id, int column, bool topLevel) const;
    bool validIndex(const QModelIndex& index) const;

    RenameHandler m_renameHandler;
    std::function<void()> m_beforeTreeEdit;
    bool m_renameEnabled = true;
    bool m_showMaxModifiedDate = true;
    std::shared_ptr<svl::ScanTree> m_tree;
    std::shared_ptr<const svl::DuplicateIndex> m_duplicates;
    std::vector<uint32_t> m_ids;
    int m_sortColumn = -1;
    QIcon m_folderIcon, m_fileIcon;
    // Where each expanded row's own id sits in its group, found once per row.
    mutable std::unordered_map<uint32_t, uint32_t> m_groupPositions;
};
