// FileViewPanel: the File View page: a search field, a row of search options and the
// flat file list over the displayed scan tree, or an empty page while there is nothing
// to show. Every change of the inputs starts a search (runSearch) on a thread of its
// own; a shared generation counter cancels older runs and only the newest result is
// installed. GUI thread only, apart from the search threads, which share the tree (read
// only), the counter and a reused duplicate index with the panel.
//
// In-place edits of the displayed tree (rename, removal) must be preceded by
// stopSearches(), which waits until no search reads the tree, and followed by
// refreshRows(); the model's own renames do this by themselves.
#pragma once

#include <QPointer>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "ui/views/FileSearch.h"

class EmptyStateWidget;
class FileListModel;
class FilterField;
class QCheckBox;
class QComboBox;
class QLabel;
class QMimeData;
class QRadioButton;
class QStackedWidget;
class QThread;
class QTimer;
class QTreeView;

namespace svl {
class Filter;
class ScanTree;
}  // namespace svl

class FileViewPanel : public QWidget {
    Q_OBJECT

public:
    // The worker body; runSearch unless a test replaces it.
    using SearchRunner = std::function<bool(const svl::ScanTree&, const SearchParams&, const std::atomic<int>&, int,
                                            SearchResult&)>;

    explicit FileViewPanel(QWidget* parent = nullptr);
    ~FileViewPanel() override;

    // Takes the displayed tree; the list is emptied at once and refilled by a search.
    void setTree(std::shared_ptr<svl::ScanTree> tree);
    const std::shared_ptr<svl::ScanTree>& tree() const { return m_tree; }
    // Starts a search for the current inputs now.
    void refreshNow();
    // After in-place edits of the tree: drops the cached duplicate index, repaints rows and
    // totals the listed rows again.
    void refreshRows();
    // Cancels every running search and waits until none reads the tree; a search that was
    // going is started again from the event loop, after the caller's edit.
    void stopSearches();
    // Puts text into the search field (which starts the debounced search).
    void setSearchText(const QString& text);

    // The ids of all top-level rows in display order; empty while the rows belong to an
    // older tree than the panel's.
    std::vector<uint32_t> listedIds() const;
    // The ids of the selected rows, as selectedRows(0) lists them (child rows give their
    // own ids), same refusal.
    std::vector<uint32_t> selectedIds() const;
    // The selected rows as file URLs, as the list's drag carries them; null without any.
    // The caller owns the result.
    QMimeData* dragMimeData() const;
    // Starts editing the name of the first top-level row listing id.
    void renameId(uint32_t id);
    // Selects exactly the top-level rows listing the given ids, without selection signals.
    void selectIds(const std::vector<uint32_t>& ids);
    void setCurrentRow(int row);
    void setDragEnabled(bool enabled);
    // Fills the "No Scan Results" page again (its texts follow the language).
    void showEmptyState();
    bool isShowingEmptyState() const;
    // Set while a search is pending or running.
    bool isBusy() const { return m_busy.load(); }

    void setSearchRunner(SearchRunner runner) { m_runner = std::move(runner); }

    FileListModel* model() const { return m_model; }
    QTreeView* view() const { return m_view; }
    FilterField* searchField() const { return m_searchField; }
    QRadioButton* fileNameOnlyRadio() const { return m_fileNameOnlyRadio; }
    QRadioButton* entirePathRadio() const { return m_entirePathRadio; }
    QCheckBox* foldersCheck() const { return m_foldersCheck; }
    QComboBox* maxFilesCombo() const { return m_maxFilesCombo; }
    QComboBox* dupMethodCombo() const { return m_dupMethodCombo; }
    QCheckBox* dupsOnlyCheck() const { return m_dupsOnlyCheck; }
    QLabel* locatingLabel() const { return m_locatingLabel; }
    EmptyStateWidget* emptyPage() const { return m_emptyPage; }
    // The spans of a cell's display text to highlight for the installed result's filter.
    QList<QPair<int, int>> highlightSpans(const QModelIndex& index) const;

signals:
    void nodeSelected(uint32_t id);
    void selectionChanged(std::vector<uint32_t> ids);
    void nodeHovered(int64_t id);
    void contextMenuRequested(QPoint globalPos);
    void nodeDoubleClicked(uint32_t id);
    void summaryChanged(QString text);
    // A name editor opened on the row listing id (F2, or renameId), before any key reaches it.
    void nameEditorOpened(uint32_t id);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Delivery;
    void applyResult(Delivery& delivery);  // takes the ids
    void applyFailure(int generation, const QString& reason);
    // The summary line of the listed rows.
    void emitTotals(size_t listed, uint64_t size, uint64_t allocated);
    void applyDuplicateControls();
    void restoreSettings();
    void saveSettings();
    bool rowsBelongToTree() const;
    void waitForThreads();

    FilterField* m_searchField;
    QRadioButton* m_fileNameOnlyRadio;
    QRadioButton* m_entirePathRadio;
    QCheckBox* m_foldersCheck;
    QComboBox* m_maxFilesCombo;
    QComboBox* m_dupMethodCombo;
    QCheckBox* m_dupsOnlyCheck;
    QLabel* m_locatingLabel;
    QTreeView* m_view;
    QStackedWidget* m_pages;
    EmptyStateWidget* m_emptyPage;
    FileListModel* m_model;
    QTimer* m_debounceTimer;
    std::shared_ptr<svl::ScanTree> m_tree;
    std::shared_ptr<const svl::Filter> m_highlightFilter;  // of the installed result
    std::shared_ptr<const svl::Filter> m_requestFilter;    // of the newest request
    std::shared_ptr<std::atomic<int>> m_generation;
    std::vector<QPointer<QThread>> m_threads;
    std::shared_ptr<const svl::DuplicateIndex> m_cachedDuplicates;
    int m_cachedMethod = 0;
    std::shared_ptr<svl::ScanTree> m_cachedTree;
    std::atomic<bool> m_busy{false};
    bool m_showingTotals = false;  // the summary shows the listed rows' totals
    SearchRunner m_runner;
    int64_t m_lastHovered = -1;
};
