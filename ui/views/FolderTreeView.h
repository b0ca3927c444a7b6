// The Tree View's item view: many rows expanded with a single layout pass, children that
// the model fetches later asked for on every expansion, and the view's own "expand
// everything below" key handed to its owner, which keeps expansion within the limits that
// keep trees of millions of rows responsive.
#pragma once

#include <QModelIndexList>
#include <QTreeView>

#include <functional>

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

signals:
    // An editor opened on `index` (F2, or edit() called), before any key reaches it.
    void editorOpened(const QModelIndex& index);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
};
