#include "ui/views/NodeModel.h"

#include "app/DirectionalText.h"
#include "app/ListFont.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "app/TextMetrics.h"
#include "app/ValueFormat.h"
#include "core/tree/Attributes.h"
#include "core/tree/ScanTree.h"
#include "ui/views/DimmedTextColor.h"
#include "ui/views/ItemRoles.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>

#include <algorithm>

namespace {

constexpr Qt::Alignment kLeft = Qt::AlignLeft | Qt::AlignVCenter;
constexpr Qt::Alignment kRight = Qt::AlignRight | Qt::AlignVCenter;

Qt::Alignment columnAlignment(int column) {
    return (column == NodeModel::FolderColumn || column == NodeModel::ModifiedColumn ||
            column == NodeModel::AttributesColumn)
               ? kLeft
               : kRight;
}

QString fromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

QString percentOf(uint64_t part, uint64_t whole) {
    if (whole == 0)
        return formatPercent(0);
    return formatPercent(static_cast<double>(part) * 100.0 / static_cast<double>(whole));
}

uint32_t attributesOf(const svl::ScanNode& node) { return svl::attributeBits(node, true, node.nameView()); }

}  // namespace

NodeModel::NodeModel(QObject* parent) : QAbstractItemModel(parent) {
    QStyle* style = QApplication::style();
    m_folderIcon = QIcon::fromTheme(QStringLiteral("folder"), style->standardIcon(QStyle::SP_DirIcon));
    m_fileIcon = QIcon::fromTheme(QStringLiteral("text-x-generic"), style->standardIcon(QStyle::SP_FileIcon));
    m_warningIcon =
        QIcon::fromTheme(QStringLiteral("dialog-warning"), style->standardIcon(QStyle::SP_MessageBoxWarning));
}

NodeModel::~NodeModel() {
    dropBackgroundSorts();
    if (m_sortThread)
        takeBackgroundSort();
    if (m_sortBusy)
        emit backgroundSortChanged(false);
}

bool NodeModel::isVirtual() const {
    return m_tree && m_tree->nodeCount > 0 && (m_tree->node(0).flags & svl::NodeFlag::VirtualRoot);
}

uint32_t NodeModel::nodeCount() const { return m_tree ? m_tree->nodeCount : 0; }

bool NodeModel::ownsIndex(const QModelIndex& index) const {
    return index.isValid() && index.model() == this && index.row() >= 0 && index.column() >= 0 && m_tree &&
           index.internalId() < 2 * quintptr(nodeCount());
}

void NodeModel::resetRows() {
    beginResetModel();
    endResetModel();
}

void NodeModel::setTree(std::shared_ptr<svl::ScanTree> tree) {
    beginResetModel();
    dropBackgroundSorts();
    m_tree = std::move(tree);
    m_orderCache.clear();
    m_lastOrder = nullptr;
    m_groupCache.clear();
    m_rankedLists.clear();
    std::vector<uint32_t>().swap(m_nameRank);
    std::vector<uint8_t>().swap(m_rowKind);
    std::vector<uint32_t>().swap(m_rowOfId);
    endResetModel();
}

// ---- structure ----

uint32_t NodeModel::parentId(uint32_t rowId) const {
    const uint32_t n = nodeCount();
    if (rowId >= n)
        return rowId - n;
    const svl::ScanNode& node = m_tree->node(rowId);
    const uint32_t p = node.parent;
    if (rowId == 0 || node.isFolder() || !fileGroup(p).grouped)
        return p;
    return n + p;
}

uint32_t NodeModel::childCount(uint32_t rowId) const {
    const uint32_t n = nodeCount();
    if (rowId >= 2 * uint64_t(n))
        return 0;
    if (rowId >= n)
        return fileGroup(rowId - n).fileCount;
    const svl::ScanNode& node = m_tree->node(rowId);
    if (!node.isFolder() || node.childCount == 0)
        return 0;
    const FileGroup& group = fileGroup(rowId);
    return group.grouped ? node.childCount - group.fileCount + 1 : node.childCount;
}

const std::vector<uint32_t>* NodeModel::cachedOrder(uint32_t rowId) const {
    if (m_lastOrder && m_lastOrderRow == rowId)
        return m_lastOrder;
    const auto cached = m_orderCache.find(rowId);
    if (cached == m_orderCache.end())
        return nullptr;
    m_lastOrderRow = rowId;
    m_lastOrder = &cached->second;
    return m_lastOrder;
}

const std::vector<uint32_t>& NodeModel::childOrder(uint32_t rowId) const {
    if (const std::vector<uint32_t>* cached = cachedOrder(rowId))
        return *cached;
    if (m_sortJob && m_sortJob->row == rowId && m_sortJob->generation == m_sortGeneration) {
        // Being sorted on the worker: waiting is shorter than starting over.
        const_cast<NodeModel*>(this)->waitForSorting();
        if (const std::vector<uint32_t>* cached = cachedOrder(rowId))
            return *cached;
    }
    std::vector<uint32_t> list = unsortedChildren(rowId);
    sortRows(list);
    return storeOrder(rowId, std::move(list));
}

std::vector<uint32_t> NodeModel::unsortedChildren(uint32_t rowId) const {
    const uint32_t n = nodeCount();
    std::vector<uint32_t> list;
    if (rowId < 2 * uint64_t(n)) {
        const uint32_t folder = rowId >= n ? rowId - n : rowId;
        const svl::ScanNode& f = m_tree->node(folder);
        if (f.isFolder()) {
            const bool grouped = fileGroup(folder).grouped;
            const uint32_t first = f.firstChild;
            if (rowId >= n) {
                list.reserve(fileGroup(folder).fileCount);
                for (uint32_t i = 0; i < f.childCount; ++i)
                    if (!m_tree->node(first + i).isFolder())
                        list.push_back(first + i);
            } else if (grouped) {
                list.reserve(f.childCount - fileGroup(folder).fileCount + 1);
                for (uint32_t i = 0; i < f.childCount; ++i)
                    if (m_tree->node(first + i).isFolder())
                        list.push_back(first + i);
                list.push_back(n + folder);
            } else {
                list.resize(f.childCount);
                for (uint32_t i = 0; i < f.childCount; ++i)
                    list[i] = first + i;
            }
        }
    }
    return list;
}

const std::vector<uint32_t>& NodeModel::storeOrder(uint32_t rowId, std::vector<uint32_t> order) const {
    const uint32_t n = nodeCount();
    if (m_rowOfId.size() != 2 * size_t(n))
        m_rowOfId.assign(2 * size_t(n), 0);
    for (size_t j = 0; j < order.size(); ++j)
        m_rowOfId[order[j]] = uint32_t(j);
    if (order.size() <= kBackgroundSortRows || !m_heldBack.count(rowId)) {
        if (order.size() > kBackgroundSortRows)
            m_released.insert(rowId);
        return m_orderCache.emplace(rowId, std::move(order)).first->second;
    }
    // The views were shown no children here: they learn of the rows now.
    auto* self = const_cast<NodeModel*>(this);
    const QModelIndex parent = indexForId(rowId);
    const int last = int(std::min<size_t>(order.size(), INT32_MAX)) - 1;
    if (parent.isValid())
        self->beginInsertRows(parent, 0, last);
    m_heldBack.erase(rowId);
    m_released.insert(rowId);
    const std::vector<uint32_t>& stored = m_orderCache.emplace(rowId, std::move(order)).first->second;
    if (parent.isValid())
        self->endInsertRows();
    return stored;
}

QModelIndex NodeModel::index(int row, int column, const QModelIndex& parent) const {
    if (nodeCount() == 0 || row < 0 || column < 0 || column >= ColumnCount)
        return {};
    uint32_t parentRow = 0;
    if (!parent.isValid()) {
        if (!isVirtual())
            return row == 0 ? createIndex(0, column, quintptr(0)) : QModelIndex();
    } else {
        if (!ownsIndex(parent) || parent.column() != 0)
            return {};
        parentRow = uint32_t(parent.internalId());
    }
    // A view lays out a million rows through here: a cached order answers alone.
    const std::vector<uint32_t>* order = cachedOrder(parentRow);
    if (!order) {
        if (uint32_t(row) >= childCount(parentRow) || (parent.isValid() && heldBack(parentRow)))
            return {};
        order = &childOrder(parentRow);
    }
    if (size_t(row) >= order->size())
        return {};
    return createIndex(row, column, quintptr((*order)[size_t(row)]));
}

QModelIndex NodeModel::parent(const QModelIndex& index) const {
    if (!ownsIndex(index) || index.internalId() == 0)
        return {};
    const uint32_t p = parentId(uint32_t(index.internalId()));
    if (p == 0)
        return isVirtual() ? QModelIndex() : createIndex(0, 0, quintptr(0));
    // Makes sure rowOfId[p] is recorded, also for an index that outlived a sort.
    childOrder(parentId(p));
    return createIndex(int(m_rowOfId[p]), 0, quintptr(p));
}

int NodeModel::rowCount(const QModelIndex& parent) const {
    if (nodeCount() == 0)
        return 0;
    if (parent.isValid()) {
        if (!ownsIndex(parent) || parent.column() != 0)
            return 0;
        const uint32_t rowId = uint32_t(parent.internalId());
        if (heldBack(rowId))
            return 0;
        return int(std::min<uint32_t>(childCount(rowId), INT32_MAX));
    }
    return isVirtual() ? int(std::min<uint32_t>(childCount(0), INT32_MAX)) : 1;
}

int NodeModel::columnCount(const QModelIndex&) const { return ColumnCount; }

bool NodeModel::hasChildren(const QModelIndex& parent) const {
    // A row held back until its list is sorted still shows that it can be expanded.
    if (parent.isValid())
        return ownsIndex(parent) && parent.column() == 0 && childCount(uint32_t(parent.internalId())) > 0;
    return rowCount(parent) > 0;
}

QModelIndex NodeModel::indexForId(uint32_t rowId) const {
    const uint32_t n = nodeCount();
    if (rowId >= 2 * uint64_t(n) || (rowId == 0 && isVirtual()))
        return {};
    if (rowId >= n && !fileGroup(rowId - n).grouped)
        return {};
    if (rowId == 0)
        return createIndex(0, 0, quintptr(0));
    std::vector<uint32_t> chain;
    for (uint32_t at = parentId(rowId);; at = parentId(at)) {
        chain.push_back(at);
        if (at == 0)
            break;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        childOrder(*it);
    return createIndex(int(m_rowOfId[rowId]), 0, quintptr(rowId));
}

QString NodeModel::pathOf(uint32_t rowId) const {
    const uint32_t n = nodeCount();
    if (!m_tree || rowId >= 2 * uint64_t(n))
        return {};
    if (rowId < n)
        return QString::fromStdString(m_tree->fullPath(rowId));
    return QString::fromStdString(fileGroup(rowId - n).label);
}

// ---- file groups ----

const NodeModel::FileGroup& NodeModel::fileGroup(uint32_t folder) const {
    const auto cached = m_groupCache.find(folder);
    if (cached != m_groupCache.end())
        return cached->second;
    const svl::DirectFilesSummary summary = m_tree->directFilesSummary(folder);
    FileGroup group;
    group.fileCount = summary.count;
    group.presentCount = summary.count - summary.removed;
    group.size = summary.size;
    group.allocated = summary.allocated;
    group.newest = summary.newest;
    group.grouped = m_fileGroupMinSize >= 1 && summary.count >= uint32_t(m_fileGroupMinSize);
    if (group.grouped) {
        const QString pattern = group.presentCount == 1 ? tr("[%1 File in %2]") : tr("[%1 Files in %2]");
        const QString folderPath = isolatePath(QString::fromStdString(m_tree->fullPath(folder)));
        group.label = pattern.arg(formatNumber(group.presentCount), folderPath).toStdString();
    }
    return m_groupCache.emplace(folder, std::move(group)).first->second;
}

void NodeModel::setFileGroupMinSize(int minimum) {
    minimum = std::max(minimum, 0);
    if (minimum == m_fileGroupMinSize)
        return;
    beginResetModel();
    dropBackgroundSorts();
    m_fileGroupMinSize = minimum;
    m_orderCache.clear();
    m_lastOrder = nullptr;
    m_groupCache.clear();
    m_rankedLists.clear();
    std::vector<uint32_t>().swap(m_nameRank);
    std::vector<uint8_t>().swap(m_rowKind);
    std::vector<uint32_t>().swap(m_rowOfId);
    endResetModel();
}

void NodeModel::clearGroupCache() {
    m_groupCache.clear();
    m_rankedLists.clear();  // renamed or removed names rank anew
    std::fill(m_rowKind.begin(), m_rowKind.end(), 0);
}

QVariant NodeModel::groupRowData(const QModelIndex& index, int role) const {
    const uint32_t folder = uint32_t(index.internalId()) - nodeCount();
    const FileGroup& group = fileGroup(folder);
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case FolderColumn:
            return QString::fromStdString(group.label);
        case PercentColumn:
            return percentOf(group.allocated, m_tree->node(folder).allocated);
        case SizeColumn:
            return formatSize(group.size);
        case AllocatedColumn:
            return formatSize(group.allocated);
        case ItemsColumn:
        case FilesColumn:
            return formatNumber(group.presentCount);
        case FoldersColumn:
            return formatNumber(0);
        case ModifiedColumn:
            return formatDateTime(group.newest);
        default:
            return {};
        }
    case Qt::DecorationRole:
        return column == FolderColumn ? QVariant(m_fileIcon) : QVariant();
    case Qt::ToolTipRole:
        return column == FolderColumn ? QVariant(plainToolTip(QString::fromStdString(group.label))) : QVariant();
    case Qt::TextAlignmentRole:
        return int(columnAlignment(column));
    case BarLevelRole:
        return column == PercentColumn ? QVariant(barLevel(folder) + 1) : QVariant();
    default:
        return {};
    }
}

// ---- cells ----

int NodeModel::barLevel(uint32_t nodeId) const {
    int steps = 0;
    for (uint32_t at = nodeId; at != 0; at = m_tree->node(at).parent)
        ++steps;
    return isVirtual() ? steps - 1 : steps;
}

QString NodeModel::percentText(uint32_t id) const {
    if (id == 0)
        return formatPercent(100);
    const svl::ScanNode& node = m_tree->node(id);
    // A further hard link's allocation is not counted by its parent: its share is 0.
    if (node.flags & (svl::NodeFlag::Removed | svl::NodeFlag::ExtraHardLink))
        return formatPercent(0);
    return percentOf(node.allocated, m_tree->node(node.parent).allocated);
}

QString NodeModel::displayText(uint32_t id, int column) const {
    const svl::ScanNode& node = m_tree->node(id);
    switch (column) {
    case FolderColumn:
        return fromUtf8(node.nameView());
    case PercentColumn:
        return percentText(id);
    case SizeColumn:
        return formatSize(node.size);
    case AllocatedColumn:
        if (node.flags & svl::NodeFlag::ExtraHardLink)
            return QStringLiteral("(%1)").arg(formatSize(node.allocated));
        return formatSize(node.allocated);
    case ItemsColumn:
        return node.isFolder() ? formatNumber(uint64_t(node.filesBelow) + node.foldersBelow) : QString();
    case FilesColumn:
        return node.isFolder() ? formatNumber(node.filesBelow) : QString();
    case FoldersColumn:
        return node.isFolder() ? formatNumber(node.foldersBelow) : QString();
    case ModifiedColumn:
        if (svl::modifiedUnknown(node))
            return QString();  // never read: no date to show
        if (node.isFolder() && showMaxModifiedDate && id < m_tree->newestTimes.size())
            return formatDateTime(m_tree->newestTimes[id]);
        return formatDateTime(node.modified);
    case AttributesColumn:
        return QString::fromStdString(svl::attributeLetters(uint16_t(attributesOf(node))));
    default:
        return {};
    }
}

QVariant NodeModel::nodeData(uint32_t id, int column, int role) const {
    const svl::ScanNode& node = m_tree->node(id);
    const bool removed = node.flags & svl::NodeFlag::Removed;
    if (role == Qt::EditRole)
        // The exact bytes, so that an edit keeps what it does not change.
        return column == FolderColumn ? QVariant(pathText(node.nameView())) : QVariant();
    if (role == Qt::TextAlignmentRole)
        return int(columnAlignment(column));
    // A scanned top is named by its whole path.
    if (role == HoldsPathRole)
        return column == FolderColumn && (id == 0 || (isVirtual() && node.parent == 0));
    if (role == Qt::ForegroundRole && removed)
        return QColor(Qt::red);
    if (role == Qt::FontRole && removed) {
        QFont font = listfont::font();
        font.setStrikeOut(true);
        return font;
    }
    if (role == Qt::DisplayRole) {
        const QString text = displayText(id, column);
        return text.isNull() ? QVariant() : QVariant(text);
    }
    if (role == Qt::DecorationRole && column == FolderColumn) {
        if (node.flags & (svl::NodeFlag::AccessDenied | svl::NodeFlag::Unreadable))
            return m_warningIcon;
        return node.isFolder() ? m_folderIcon : m_fileIcon;
    }
    const auto bindSource = [&]() -> const std::string* {
        const auto found = m_tree->bindSources.find(id);
        return found == m_tree->bindSources.end() ? nullptr : &found->second;
    };
    if (role == Qt::ToolTipRole && column == FolderColumn) {
        QString tip = isolatePath(QString::fromStdString(m_tree->fullPath(id)));
        if (node.flags & svl::NodeFlag::BindMount) {
            const std::string* source = bindSource();
            tip += QStringLiteral("\n\n");
            tip += source ? tr("A bind mount of %1, which is counted elsewhere in this scan. Its contents are not "
                               "counted again here.")
                                .arg(isolatePath(QString::fromStdString(*source)))
                          : tr("A bind mount of a folder that is counted elsewhere in this scan. Its contents are "
                               "not counted again here.");
        }
        return plainToolTip(tip);
    }
    if (role == Qt::ForegroundRole && column == FolderColumn) {
        const uint32_t bits = attributesOf(node);
        if (bits & 0x2)
            return dimmedTextColor();
        if (bits & 0x800) {
            const QPalette palette = QGuiApplication::palette();
            if (palette.color(QPalette::Window).lightness() > 127)
                return palette.color(QPalette::Highlight);
            return QColor::fromHslF(0.5f, 1.0f, 0.390625f, 1.0f);
        }
        return {};
    }
    if (role == Qt::ForegroundRole && column == AllocatedColumn && (node.flags & svl::NodeFlag::ExtraHardLink))
        return dimmedTextColor();
    if (role == BarLevelRole && column == PercentColumn)
        return barLevel(id);
    if (role == NoteRole && column == FolderColumn && (node.flags & svl::NodeFlag::BindMount)) {
        if (const std::string* source = bindSource())
            return QStringLiteral("(>>%1)").arg(isolatePath(QString::fromStdString(*source)));
    }
    return {};
}

QVariant NodeModel::data(const QModelIndex& index, int role) const {
    if (!ownsIndex(index) || index.column() >= ColumnCount)
        return {};
    const uint32_t id = uint32_t(index.internalId());
    if (id >= nodeCount())
        return groupRowData(index, role);
    return nodeData(id, index.column(), role);
}

QVariant NodeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    switch (role) {
    case Qt::DisplayRole: {
        static const char* const titles[ColumnCount] = {
            QT_TR_NOOP("Folder"), QT_TR_NOOP("% of Parent"), QT_TR_NOOP("Size"),   QT_TR_NOOP("Allocated"),
            QT_TR_NOOP("Items"),  QT_TR_NOOP("Files"),       QT_TR_NOOP("Folders"), QT_TR_NOOP("Modified"),
            QT_TR_NOOP("Attr.")};
        return tr(titles[section]);
    }
    case Qt::TextAlignmentRole:
        return int(kLeft);
    case Qt::FontRole:
        return section == m_sortColumn ? QVariant(smallerFont(true)) : QVariant();
    case Qt::InitialSortOrderRole:
        return section == FolderColumn ? 0 : 1;
    default:
        return {};
    }
}

std::string_view NodeModel::rowName(uint32_t rowId) const {
    const uint32_t n = nodeCount();
    if (rowId < n)
        return m_tree->node(rowId).nameView();
    const auto found = m_groupCache.find(rowId - n);
    return found == m_groupCache.end() ? std::string_view() : std::string_view(found->second.label);
}
