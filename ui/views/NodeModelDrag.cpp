// NodeModel's editing and dragging: names go to the owner's rename handler (the model
// never renames anything), dragged rows leave as file URLs, nothing is dropped in.
#include "ui/views/NodeModel.h"

#include "core/tree/ScanTree.h"
#include "ui/views/FileUrlList.h"

#include <algorithm>

Qt::ItemFlags NodeModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags result = QAbstractItemModel::flags(index);
    if (!ownsIndex(index))
        return result;
    const uint32_t id = uint32_t(index.internalId());
    if (id >= nodeCount())
        return result;
    result |= Qt::ItemIsDragEnabled;
    uint8_t kind = id < m_rowKind.size() ? m_rowKind[id] : 0;
    if (!(kind & kKnown)) {
        const svl::ScanNode& node = m_tree->node(id);
        kind = (node.isFolder() ? 0 : kFile) | ((node.flags & svl::NodeFlag::Removed) ? kRemoved : 0);
    }
    if (kind & kFile)
        result |= Qt::ItemNeverHasChildren;  // lets the view skip asking for children
    if (index.column() == FolderColumn && id != 0 && !(kind & kRemoved) && renameEnabled && renameHandler)
        result |= Qt::ItemIsEditable;
    return result;
}

bool NodeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !ownsIndex(index) || index.column() != FolderColumn || !renameHandler)
        return false;
    const uint32_t id = uint32_t(index.internalId());
    if (id == 0 || id >= nodeCount())
        return false;
    if (!renameHandler(id, value.toString()))
        return false;
    clearGroupCache();
    emit dataChanged(index, index.sibling(index.row(), AttributesColumn));
    return true;
}

QStringList NodeModel::mimeTypes() const { return {QStringLiteral("text/uri-list")}; }

QMimeData* NodeModel::mimeData(const QModelIndexList& indexes) const {
    if (!m_tree)
        return nullptr;
    std::vector<uint32_t> ids;
    for (const QModelIndex& index : indexes)
        if (ownsIndex(index) && index.column() == FolderColumn)
            ids.push_back(uint32_t(index.internalId()));
    return mimeDataOfRows(std::move(ids));
}

QMimeData* NodeModel::mimeDataOfRows(std::vector<uint32_t> rowIds) const {
    if (!m_tree)
        return nullptr;
    const uint32_t n = nodeCount();
    rowIds.erase(std::remove_if(rowIds.begin(), rowIds.end(), [n](uint32_t id) { return id >= n; }), rowIds.end());
    // Built on worker threads while the drag runs: a million rows start dragging at once.
    return rowIds.empty() ? nullptr : new FileUrlMimeData(m_tree, std::move(rowIds));
}
