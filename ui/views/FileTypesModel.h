// The file-types summary as a table: one row per extension of the displayed tree with
// its treemap colour swatch, extension and MIME icon, file-type text, share in percent,
// size, allocated size and file count. Holds its rows in display order (a stable sort
// that survives every setStats); MIME texts and icons are looked up once per extension
// and cached for the model's lifetime. GUI thread only.
#pragma once

#include "core/analysis/ExtensionStats.h"
#include "core/treemap/TreemapColors.h"
#include "ui/views/FileTypesCsv.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QIcon>
#include <QPixmap>

#include <array>
#include <string>
#include <unordered_map>
#include <vector>

class FileTypesModel : public QAbstractTableModel, public FileTypesCsv {
    Q_OBJECT

public:
    enum Column { SwatchColumn, ExtensionColumn, TypeColumn, PercentColumn, SizeColumn, AllocatedColumn, FilesColumn };
    static constexpr int kColumnCount = 7;

    explicit FileTypesModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // Column 0, or the column and order already in force, change nothing.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // Replaces the rows and colour map (both moved from) in one model reset and sorts the
    // rows by the sort column and order in force.
    void setStats(std::vector<svl::ExtensionStat> stats, svl::ExtensionColorMap colorMap);
    // New swatch colours; column 0 of every row reports a decoration change.
    void setPalette(const svl::TreemapPalette& palette);

    const std::vector<svl::ExtensionStat>& rows() const { return m_rows; }
    const svl::ExtensionColorMap& colorMap() const { return m_colorMap; }
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }

    // The row's share in percent: of the size total while sorted by Size, else of the
    // allocated total; 0 when that total is 0.
    double percentOf(const svl::ExtensionStat& row) const;
    // The swatch colour of a palette entry: each channel x 22/15, rounded, at most 255.
    static QColor swatchColor(const svl::TreemapColor& color);

private:
    QString description(size_t rowIndex) const;
    const QIcon& icon(const svl::ExtensionStat& row) const;
    const QPixmap& swatch(const svl::ExtensionStat& row) const;
    void sortRows();
    // Makes m_rowDescriptions hold every row's text, asking the MIME database on worker
    // threads for the extensions not yet cached.
    void fillRowDescriptions();

    std::vector<svl::ExtensionStat> m_rows;
    svl::ExtensionColorMap m_colorMap;
    svl::TreemapPalette m_palette;
    uint64_t m_totalSize = 0;
    uint64_t m_totalAllocated = 0;
    int m_sortColumn = AllocatedColumn;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
    // Texts that took a MIME database lookup, by the extension's bytes. "<EXT> File" texts
    // are cheaper to make again than to keep (hash suffixes give hundreds of thousands).
    mutable std::unordered_map<std::string, QString> m_descriptions;
    mutable std::unordered_map<std::string, QIcon> m_icons;
    // The rows' texts in row order, kept through re-sorts once a File Type sort needed
    // them; empty after setStats.
    std::vector<QString> m_rowDescriptions;
    // One swatch per palette slot, made on first use and dropped with the palette.
    mutable std::array<QPixmap, svl::kTreemapSlots> m_swatches;
};
