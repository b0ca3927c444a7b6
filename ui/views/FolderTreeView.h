// The Tree View's item view: many rows expanded with a single layout pass, children that
// the model fetches later asked for on every expansion, and the view's own "expand
// everything below" key handed to its owner, which keeps expansion within the limits that
// keep trees of millions of rows responsive. Select All, reading the selected rows and
// dragging them cost one pass over the rows, not a search per row or per cell.
// GUI thread only; row ids are the model indexes' internal ids.
#pragma once

#include <QModelIndexList>
#include <QTreeView>

#include <cstdint>
#include <functional>
#include <vector>

class FolderTreeView : public QTreeView {
    Q_OBJECT

public:
    explicit FolderTreeView(QWidget* parent = nullptr);
    using QTreeView::edit;

    // Expands the column-0 `rows`; the view lays itself out once afterwards instead of once per row.
    void expandRows(const QModelIndexList& rows);

    // Called for the '*' key (expand the current row's whole subtree) in place of the view's
    // own unlimited expansion; without a handler the key does nothing.
    std::function<void(const QModelIndex& current)> expandBelowHandler;

    // Selects every shown row: the ranges of Qt's own Select All (one over each shown
    // parent's rows), in its order, built without asking each row for its parent.
    void selectAll() override;

    // The row ids of the wholly selected rows in selection order, each once: what
    // selectedRows(0) gives, read from the ranges instead of asking every row for its cells.
    std::vector<uint32_t> selectedRowIds() const;

signals:
    // An editor opened on `index` (F2, or edit() called), before any key reaches it.
    void editorOpened(const QModelIndex& index);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;

private:
    // Calls `take` with the parent and row of every wholly selected row, in selection order, once each.
    void forEachSelectedRow(const std::function<void(const QModelIndex& parent, int row)>& take) const;

    bool m_pressedOnSelection = false;
};
