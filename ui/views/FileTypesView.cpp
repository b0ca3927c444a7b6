#include "ui/views/FileTypesView.h"

#include "app/TextMetrics.h"
#include "ui/views/FileTypesModel.h"
#include "ui/views/PercentBarDelegate.h"
#include "ui/views/RowHeightDelegate.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>

namespace {

constexpr int kColumnWidths[FileTypesModel::kColumnCount] = {17, 84, 102, 50, 76, 86, 70};

}  // namespace

FileTypesView::FileTypesView(QWidget* parent) : QTreeView(parent), m_model(new FileTypesModel(this)) {
    setModel(m_model);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAlternatingRowColors(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    QHeaderView* head = header();
    head->setSortIndicator(FileTypesModel::AllocatedColumn, Qt::DescendingOrder);
    setSortingEnabled(true);
    head->setStretchLastSection(false);

    setItemDelegate(new RowHeightDelegate(this));
    setItemDelegateForColumn(FileTypesModel::PercentColumn, new PercentBarDelegate(this, true));

    head->setMinimumSectionSize(17);
    head->setFixedHeight(28);
    head->setFont(smallerFont(false));
    head->setSectionResizeMode(FileTypesModel::SwatchColumn, QHeaderView::Fixed);
    for (int column = 0; column < FileTypesModel::kColumnCount; ++column)
        setColumnWidth(column, kColumnWidths[column]);
    head->viewport()->installEventFilter(this);
}

bool FileTypesView::exportCsv(const QString& path, QString* error) const {
    return FileTypesModel::writeCsv(m_model->rows(), m_model->sortColumn() == FileTypesModel::AllocatedColumn, path,
                                    error);
}

bool FileTypesView::eventFilter(QObject* watched, QEvent* event) {
    // The swatch column can be neither clicked for sorting nor dragged elsewhere.
    if (watched == header()->viewport()) {
        const QEvent::Type type = event->type();
        if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
            type == QEvent::MouseButtonDblClick) {
            const QPoint pos = static_cast<QMouseEvent*>(event)->position().toPoint();
            if (header()->logicalIndexAt(pos) == FileTypesModel::SwatchColumn)
                return true;
        }
    }
    return QTreeView::eventFilter(watched, event);
}

void FileTypesView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    const QModelIndex index = indexAt(event->pos());
    if (index.isValid()) {
        setCurrentIndex(index);
        const std::string& extension = m_model->rows()[size_t(index.row())].extension;
        const QString ext = QString::fromUtf8(extension.data(), qsizetype(extension.size()));
        connect(menu.addAction(tr("Select")), &QAction::triggered, this,
                [this, ext] { emit selectExtensionRequested(ext); });
        connect(menu.addAction(tr("Export File Types to CSV File…")), &QAction::triggered, this,
                &FileTypesView::exportRequested);
        menu.addSeparator();
    }
    QAction* show = menu.addAction(tr("Show File Types"));
    show->setCheckable(true);
    show->setChecked(true);
    connect(show, &QAction::triggered, this, &FileTypesView::hideRequested);
    menu.exec(event->globalPos());
}
