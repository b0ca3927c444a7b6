#include "ui/views/FileListModel.h"

#include "app/DirectionalText.h"
#include "app/ListFont.h"
#include "app/PathText.h"
#include "app/TextMetrics.h"
#include "app/ValueFormat.h"
#include "core/analysis/Duplicates.h"
#include "core/tree/Attributes.h"
#include "core/tree/ScanTree.h"
#include "ui/views/DimmedTextColor.h"
#include "ui/views/FileUrlList.h"
#include "ui/views/ItemRoles.h"

#include <QApplication>
#include <QStyle>

#include <algorithm>

namespace {

constexpr Qt::Alignment kLeft = Qt::AlignLeft | Qt::AlignVCenter;
constexpr Qt::Alignment kRight = Qt::AlignRight | Qt::AlignVCenter;

bool rightAligned(int column) {
    return column == FileListModel::PercentColumn || column == FileListModel::SizeColumn ||
           column == FileListModel::AllocatedColumn || column == FileListModel::DupCountColumn ||
           column == FileListModel::DupSizeColumn;
}

QString nameOf(const svl::ScanNode& node) { return QString::fromUtf8(node.name, node.nameLength); }

}  // namespace

FileListModel::FileListModel(QObject* parent) : QAbstractItemModel(parent) {
    m_folderIcon = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
    m_fileIcon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
}

bool FileListModel::validIndex(const QModelIndex& index) const {
    return m_tree && index.isValid() && index.model() == this && index.row() >= 0 && index.column() >= 0 &&
           index.column() < ColumnCount;
}

uint32_t FileListModel::duplicateCount(uint32_t id) const { return m_duplicates ? m_duplicates->duplicateCount(id) : 0; }

uint32_t FileListModel::duplicateAt(uint32_t id, uint32_t c) const {
    const std::vector<uint32_t>& members = m_duplicates->groups[m_duplicates->groupOf[id]];
    auto found = m_groupPositions.find(id);
    if (found == m_groupPositions.end()) {
        const auto at = std::find(members.begin(), members.end(), id);
        found = m_groupPositions.emplace(id, uint32_t(at - members.begin())).first;
    }
    return members[c < found->second ? c : c + 1];
}

QModelIndex FileListModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= ColumnCount || !m_tree)
        return {};
    if (parent.isValid()) {
        if (parent.model() != this || parent.internalId() != 0 || parent.column() != 0 ||
            size_t(parent.row()) >= m_ids.size() || uint32_t(row) >= duplicateCount(m_ids[parent.row()]))
            return {};
        return createIndex(row, column, quintptr(parent.row()) + 1);
    }
    if (size_t(row) >= m_ids.size())
        return {};
    return createIndex(row, column, quintptr(0));
}

QModelIndex FileListModel::parent(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this || index.internalId() == 0)
        return {};
    return createIndex(int(index.internalId() - 1), 0, quintptr(0));
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid())
        return int(m_ids.size());
    if (!validIndex(parent) || parent.internalId() != 0 || parent.column() != 0 || size_t(parent.row()) >= m_ids.size())
        return 0;
    return int(duplicateCount(m_ids[parent.row()]));
}

int FileListModel::columnCount(const QModelIndex&) const { return ColumnCount; }

bool FileListModel::hasChildren(const QModelIndex& parent) const { return rowCount(parent) > 0; }

uint32_t FileListModel::nodeId(const QModelIndex& index) const {
    if (index.internalId() == 0)
        return m_ids[index.row()];
    return duplicateAt(m_ids[index.internalId() - 1], uint32_t(index.row()));
}

QString FileListModel::displayText(uint32_t id, int column, bool topLevel) const {
    const svl::ScanNode& node = m_tree->node(id);
    switch (column) {
    case NameColumn: return nameOf(node);
    case PathColumn: return QString::fromUtf8(m_tree->fullPath(id));
    case PercentColumn: {
        // A removed node's size is no longer part of the root's: it has no share.
        if (node.flags & svl::NodeFlag::Removed)
            return {};
        const uint64_t root = m_tree->node(0).size;
        const double percent = root == 0 ? 0.0 : std::min(double(node.size) * 100.0 / double(root), 100.0);
        return formatPercent(percent);
    }
    case SizeColumn: return formatSize(node.size);
    case AllocatedColumn: {
        const QString text = formatSize(node.allocated);
        return (node.flags & svl::NodeFlag::ExtraHardLink) ? QStringLiteral("(%1)").arg(text) : text;
    }
    case ModifiedColumn: {
        if (svl::modifiedUnknown(node))
            return QString();  // never read: no date to show
        int64_t time = node.modified;
        if (node.isFolder() && m_showMaxModifiedDate && id < m_tree->newestTimes.size())
            time = m_tree->newestTimes[id];
        return formatDateTime(time);
    }
    case AttributesColumn:
        return QString::fromStdString(svl::attributeLetters(uint16_t(svl::attributeBits(node, true, node.nameView()))));
    case DupCountColumn:
        return topLevel && m_duplicates ? formatNumber(duplicateCount(id)) : QString();
    case DupSizeColumn:
        return topLevel && m_duplicates ? formatSize(m_duplicates->duplicateSize(id, node.size)) : QString();
    }
    return {};
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!validIndex(index))
        return {};
    const uint32_t id = nodeId(index);
    if (id >= m_tree->nodeCount)
        return {};
    const svl::ScanNode& node = m_tree->node(id);
    const bool removed = node.flags & svl::NodeFlag::Removed;
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole: return displayText(id, column, index.internalId() == 0);
    // The exact bytes, so that an edit keeps what it does not change.
    case Qt::EditRole: return column == NameColumn ? QVariant(pathText(node.nameView())) : QVariant();
    case Qt::TextAlignmentRole: return QVariant::fromValue(rightAligned(column) ? kRight : kLeft);
    case HoldsPathRole: return column == PathColumn;
    case Qt::FontRole:
        if (removed) {
            QFont font = listfont::font();
            font.setStrikeOut(true);
            return font;
        }
        return {};
    case Qt::DecorationRole:
        if (column == NameColumn)
            return node.isFolder() ? m_folderIcon : m_fileIcon;
        return {};
    case Qt::ForegroundRole:
        if (removed)
            return QColor(Qt::red);
        if (column == NameColumn) {
            const uint32_t bits = svl::attributeBits(node, true, node.nameView());
            if (bits & 0x2)
                return dimmedTextColor();
            if (bits & 0x800) {
                const QPalette palette = QApplication::palette();
                return palette.color(QPalette::Window).lightness() > 127 ? palette.color(QPalette::Highlight)
                                                                         : QColor::fromHslF(0.5, 1.0, 0.390625);
            }
        } else if (column == AllocatedColumn && (node.flags & svl::NodeFlag::ExtraHardLink)) {
            return dimmedTextColor();
        }
        return {};
    case BarLevelRole:
        if (column == PercentColumn)
            return index.internalId() == 0 ? 0 : 1;
        return {};
    case NoteRole:
        if (column == NameColumn && (node.flags & svl::NodeFlag::BindMount)) {
            const auto bind = m_tree->bindSources.find(id);
            if (bind != m_tree->bindSources.end())
                return QStringLiteral("(>>%1)").arg(isolatePath(QString::fromStdString(bind->second)));
        }
        return {};
    }
    return {};
}

bool FileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !validIndex(index) || index.column() != NameColumn || !m_renameHandler)
        return false;
    const uint32_t id = nodeId(index);
    if (id == 0)
        return false;
    if (m_beforeTreeEdit)
        m_beforeTreeEdit();
    if (!m_renameHandler(id, value.toString()))
        return false;
    emit dataChanged(index, index.siblingAtColumn(DupSizeColumn));
    return true;
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    switch (role) {
    case Qt::DisplayRole: {
        static const char* const kHeaders[ColumnCount] = {
            QT_TR_NOOP("File Name"), QT_TR_NOOP("Path"),     QT_TR_NOOP("% of Root"),
            QT_TR_NOOP("Size"),      QT_TR_NOOP("Allocated"), QT_TR_NOOP("Modified"),
            QT_TR_NOOP("Attr."),     QT_TR_NOOP("Dup Count"), QT_TR_NOOP("Dup Size")};
        return tr(kHeaders[section]);
    }
    case Qt::TextAlignmentRole: return QVariant::fromValue(kLeft);
    case Qt::FontRole: return section == m_sortColumn ? QVariant(smallerFont(true)) : QVariant();
    case Qt::InitialSortOrderRole: return section <= PathColumn ? Qt::AscendingOrder : Qt::DescendingOrder;
    }
    return {};
}

QStringList FileListModel::mimeTypes() const { return {QStringLiteral("text/uri-list")}; }

QMimeData* FileListModel::mimeData(const QModelIndexList& indexes) const {
    if (!m_tree)
        return nullptr;
    std::vector<uint32_t> ids;
    ids.reserve(size_t(indexes.size()) / ColumnCount + 1);
    for (const QModelIndex& index : indexes)
        if (index.column() == NameColumn && validIndex(index))
            ids.push_back(nodeId(index));
    return fileUrlMimeData(*m_tree, ids);
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractItemModel::flags(index);
    if (!validIndex(index))
        return flags;
    flags |= Qt::ItemIsDragEnabled;
    const uint32_t id = nodeId(index);
    if (index.column() == NameColumn && id != 0 && id < m_tree->nodeCount &&
        !(m_tree->node(id).flags & svl::NodeFlag::Removed) && m_renameEnabled && m_renameHandler)
        flags |= Qt::ItemIsEditable;
    return flags;
}

void FileListModel::setResult(std::shared_ptr<svl::ScanTree> tree, std::vector<uint32_t> ids,
                              std::shared_ptr<const svl::DuplicateIndex> duplicates) {
    beginResetModel();
    m_tree = std::move(tree);
    m_ids = std::move(ids);
    m_duplicates = std::move(duplicates);
    m_groupPositions.clear();
    endResetModel();
}

void FileListModel::setSortColumn(int column) {
    m_sortColumn = column;
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}
