#include "ui/views/FileTypesModel.h"

#include "app/TextMetrics.h"
#include "app/ValueFormat.h"
#include "core/analysis/Parallel.h"
#include "core/tree/Saturating.h"
#include "ui/views/ExtensionMimeType.h"
#include "ui/views/ItemRoles.h"

#include <QApplication>
#include <QStyle>

#include <algorithm>
#include <numeric>

namespace {

constexpr int kSwatchPixels = 12;

QString extensionText(const svl::ExtensionStat& row) {
    return QString::fromUtf8(row.extension.data(), qsizetype(row.extension.size()));
}

// Appends the text's code points, each case-folded on its own: comparing two such keys
// orders the texts as QString::compare does without case.
void appendCaseFolded(const QString& text, std::u32string& out) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text.at(i).unicode();
        if (c < 0x80) {
            out.push_back(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
            continue;
        }
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            c = QChar::surrogateToUcs4(char16_t(c), text.at(++i).unicode());
        out.push_back(QChar::toCaseFolded(c));
    }
}

}  // namespace

FileTypesModel::FileTypesModel(QObject* parent) : QAbstractTableModel(parent) {
    svl::defaultTreemapColors(m_palette);
}

int FileTypesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int FileTypesModel::columnCount(const QModelIndex&) const {
    return kColumnCount;
}

double FileTypesModel::percentOf(const svl::ExtensionStat& row) const {
    const bool bySize = m_sortColumn == SizeColumn;
    const uint64_t total = bySize ? m_totalSize : m_totalAllocated;
    if (total == 0)
        return 0.0;
    return double(bySize ? row.size : row.allocated) * 100.0 / double(total);
}

QColor FileTypesModel::swatchColor(const svl::TreemapColor& color) {
    // Each channel x 22/15 in single precision, rounded half up, at most 255.
    const auto channel = [](float c) { return std::clamp(int(c * (22.0f / 15.0f) + 0.5f), 0, 255); };
    return QColor(channel(color.r), channel(color.g), channel(color.b));
}

QString FileTypesModel::description(size_t rowIndex) const {
    if (rowIndex < m_rowDescriptions.size())
        return m_rowDescriptions[rowIndex];
    const svl::ExtensionStat& row = m_rows[rowIndex];
    const auto it = m_descriptions.find(row.extension);
    if (it != m_descriptions.end())
        return it->second;
    bool fromDatabase = false;
    QString text = FileTypeDescriber()(row, &fromDatabase);
    if (fromDatabase)
        m_descriptions.emplace(row.extension, text);
    return text;
}

const QIcon& FileTypesModel::icon(const svl::ExtensionStat& row) const {
    auto it = m_icons.find(row.extension);
    if (it != m_icons.end())
        return it->second;
    const QMimeType type = extensionMimeType(extensionText(row));
    QIcon found = QIcon::fromTheme(type.iconName());
    if (found.isNull())
        found = QIcon::fromTheme(type.genericIconName());
    if (found.isNull())
        found = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    return m_icons.emplace(row.extension, found).first->second;
}

const QPixmap& FileTypesModel::swatch(const svl::ExtensionStat& row) const {
    const auto slotIt = m_colorMap.find(row.extension);
    const size_t slot = slotIt == m_colorMap.end() ? svl::kTreemapOtherSlot
                                                   : size_t(std::clamp(slotIt->second, 0, svl::kTreemapSlots - 1));
    QPixmap& pixmap = m_swatches[slot];
    if (pixmap.isNull()) {
        pixmap = QPixmap(kSwatchPixels, kSwatchPixels);
        pixmap.fill(swatchColor(m_palette[slot]));
    }
    return pixmap;
}

QVariant FileTypesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.model() != this || size_t(index.row()) >= m_rows.size())
        return {};
    const svl::ExtensionStat& row = m_rows[size_t(index.row())];
    const int column = index.column();
    switch (role) {
    case Qt::TextAlignmentRole:
        if (column == ExtensionColumn || column == TypeColumn)
            return int(Qt::AlignLeft | Qt::AlignVCenter);
        return int(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::DecorationRole:
        if (column == SwatchColumn)
            return swatch(row);
        if (column == ExtensionColumn)
            return icon(row);
        return {};
    case PercentRole:
        return column == PercentColumn ? QVariant(percentOf(row)) : QVariant();
    case Qt::DisplayRole:
        switch (column) {
        case ExtensionColumn:
            return row.extension.empty() ? tr("(none)") : QStringLiteral(".") + extensionText(row);
        case TypeColumn:
            return description(size_t(index.row()));
        case PercentColumn:
            return formatPercent(percentOf(row));
        case SizeColumn:
            return formatSize(row.size);
        case AllocatedColumn:
            return formatSize(row.allocated);
        case FilesColumn:
            return formatNumber(row.files);
        default:
            return QString();
        }
    default:
        return {};
    }
}

QVariant FileTypesModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount)
        return {};
    switch (role) {
    case Qt::DisplayRole: {
        const QString titles[kColumnCount] = {QString(),  tr("Extension"), tr("File Type"), tr("Percent"),
                                              tr("Size"), tr("Allocated"), tr("Files")};
        return titles[section];
    }
    case Qt::FontRole:
        return section == m_sortColumn ? QVariant(smallerFont(true)) : QVariant();
    case Qt::TextAlignmentRole:
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::InitialSortOrderRole:
        return section == ExtensionColumn || section == TypeColumn ? Qt::AscendingOrder : Qt::DescendingOrder;
    default:
        return {};
    }
}

void FileTypesModel::sort(int column, Qt::SortOrder order) {
    if (column <= SwatchColumn || column >= kColumnCount || (column == m_sortColumn && order == m_sortOrder))
        return;
    m_sortColumn = column;
    m_sortOrder = order;
    emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
    emit layoutAboutToBeChanged();
    sortRows();
    emit layoutChanged();
}

void FileTypesModel::setStats(std::vector<svl::ExtensionStat> stats, svl::ExtensionColorMap colorMap) {
    beginResetModel();
    m_rows = std::move(stats);
    m_colorMap = std::move(colorMap);
    m_rowDescriptions.clear();
    m_totalSize = 0;
    m_totalAllocated = 0;
    for (const svl::ExtensionStat& row : m_rows) {
        m_totalSize = svl::saturatingAdd(m_totalSize, row.size);
        m_totalAllocated = svl::saturatingAdd(m_totalAllocated, row.allocated);
    }
    sortRows();
    endResetModel();
}

void FileTypesModel::setPalette(const svl::TreemapPalette& palette) {
    m_palette = palette;
    m_swatches = {};
    if (!m_rows.empty())
        emit dataChanged(index(0, SwatchColumn), index(int(m_rows.size()) - 1, SwatchColumn), {Qt::DecorationRole});
}

void FileTypesModel::sortRows() {
    // A stable sort of a permutation: equal keys keep their previous order in both
    // directions. Descending compares with the operands swapped, never by reversing.
    std::vector<uint32_t> order(m_rows.size());
    std::iota(order.begin(), order.end(), 0u);
    const bool descending = m_sortOrder == Qt::DescendingOrder;
    const auto sortBy = [&](auto less) {
        std::stable_sort(order.begin(), order.end(),
                         [&](uint32_t a, uint32_t b) { return descending ? less(b, a) : less(a, b); });
    };
    const auto byNumber = [&](uint64_t svl::ExtensionStat::*field) {
        sortBy([&](uint32_t a, uint32_t b) { return m_rows[a].*field < m_rows[b].*field; });
    };
    switch (m_sortColumn) {
    case ExtensionColumn:
        sortBy([&](uint32_t a, uint32_t b) { return m_rows[a].extension < m_rows[b].extension; });
        break;
    case TypeColumn: {
        // MIME lookups and case folding happen here once per row, never inside a comparison.
        // All keys in one buffer; row i's key is [ends[i], ends[i + 1]).
        fillRowDescriptions();
        std::u32string folded;
        std::vector<size_t> ends{0};
        ends.reserve(m_rows.size() + 1);
        for (const QString& text : m_rowDescriptions) {
            appendCaseFolded(text, folded);
            ends.push_back(folded.size());
        }
        const auto key = [&](uint32_t i) { return std::u32string_view(folded).substr(ends[i], ends[i + 1] - ends[i]); };
        sortBy([&](uint32_t a, uint32_t b) { return key(a) < key(b); });
        break;
    }
    case SizeColumn:
        byNumber(&svl::ExtensionStat::size);
        break;
    case FilesColumn:
        byNumber(&svl::ExtensionStat::files);
        break;
    default:
        byNumber(&svl::ExtensionStat::allocated);
        break;
    }
    std::vector<svl::ExtensionStat> sorted;
    sorted.reserve(m_rows.size());
    for (uint32_t i : order)
        sorted.push_back(std::move(m_rows[i]));
    m_rows = std::move(sorted);
    if (!m_rowDescriptions.empty()) {
        std::vector<QString> texts;
        texts.reserve(m_rowDescriptions.size());
        for (uint32_t i : order)
            texts.push_back(std::move(m_rowDescriptions[i]));
        m_rowDescriptions = std::move(texts);
    }
}

void FileTypesModel::fillRowDescriptions() {
    if (m_rowDescriptions.size() == m_rows.size())
        return;
    m_rowDescriptions.assign(m_rows.size(), QString());
    std::vector<uint32_t> missing;
    for (uint32_t i = 0; i < m_rows.size(); ++i) {
        const auto it = m_descriptions.find(m_rows[i].extension);
        if (it != m_descriptions.end())
            m_rowDescriptions[i] = it->second;
        else
            missing.push_back(i);
    }
    const FileTypeDescriber describe;
    std::vector<uint8_t> fromDatabase(missing.size());
    constexpr uint64_t kChunk = 1024;
    svl::parallelFor((missing.size() + kChunk - 1) / kChunk, [&](uint64_t chunk) {
        const size_t end = std::min<size_t>(missing.size(), (chunk + 1) * kChunk);
        for (size_t j = chunk * kChunk; j < end; ++j) {
            bool known = false;
            m_rowDescriptions[missing[j]] = describe(m_rows[missing[j]], &known);
            fromDatabase[j] = known;
        }
    });
    for (size_t j = 0; j < missing.size(); ++j)
        if (fromDatabase[j])
            m_descriptions.emplace(m_rows[missing[j]].extension, m_rowDescriptions[missing[j]]);
}
