// The program's one top-level window: builds every widget, owns the views, models and
// long-lived services, and runs every long operation on a worker thread. Its work is
// split over several sources by concern: MainWindow.cpp (construction, events, shutdown),
// MainWindowJobs.cpp (the job slot), MainWindowDisplayedTree.cpp (the displayed tree,
// filter threads and removals), MainWindowRequests.cpp (scan requests and source choices),
// MainWindowState.cpp (window state and title), MainWindowSelection.cpp (selection
// carried between the views, status-bar summary), MainWindowTreeCommands.cpp (selection and
// tree commands), MainWindowMenus.cpp (menus and shortcuts), MainWindowSettings.cpp
// (applying changed settings), MainWindowLayouts.cpp (saved column layouts),
// MainWindowExports.cpp (CSV/TSV and treemap picture exports), MainWindowElevation.cpp
// (administrator rights: restarts, the administrator-scan offer, the notices),
// MainWindowMftDump.cpp (MFT dumps), MainWindowRestart.cpp (restarts, new windows, language),
// MainWindowAbout.cpp (update notices, reset).
//
// Threads: everything here runs on the GUI thread. Workers share only the progress record,
// the job's result fields (read after the job thread ended) and the call gate.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/rawindex/MftDump.h"
#include "core/scan/ScanDriver.h"
#include "integration/FileActionBackend.h"
#include "ui/mainwindow/FileCommandPlanner.h"
#include "ui/mainwindow/GuiCallGate.h"
#include "ui/mainwindow/ScanJob.h"
#include "ui/mainwindow/UserOutputFile.h"
#include "ui/mainwindow/WindowRules.h"
#include "ui/views/FolderTreeView.h"

class Elevator;
class EmptyStateWidget;
struct CsvExportChoice;
class FileOperations;
class LiveMonitor;
class FileTypesView;
class FileViewPanel;
class FilterPanel;
class HeaderPanel;
class NodeModel;
class QMenu;
class QProcess;
class QProgressDialog;
struct NautilusPythonInstall;
struct RenamePlace;
struct TreemapImageRequest;
class PageTabs;
class QAction;
class QLabel;
class QHeaderView;
class QImage;
class QAbstractItemView;
class QKeySequence;
class QModelIndex;
class QSplitter;
class QStackedWidget;
class QThread;
class QTimer;
class QTreeView;
class RuleFrame;
struct RemovalProgress;
class SmbLoginPrompter;
class TreemapPanel;
class UpdateBanner;

namespace svl {
class Filter;
class ScanTree;
}  // namespace svl

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    using JobKind = ::JobKind;
    enum ScanState { Ready = 0, Scanning = 1, Cancelled = 2, Failed = 3 };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // --- The job slot (MainWindowJobs.cpp) ---
    // Starts one scan or import on a worker thread; ignored while a job runs.
    void startJob(const QString& path, JobKind kind, const QStringList& roots);
    // Asks the running job to stop (sets its cancel flag). A worker that shows no sign of
    // ending soon after (stuck in a dead mount, say) is left to finish on its own: the window
    // ends the job as cancelled and drops whatever that worker delivers later.
    void stopJob();
    bool isJobRunning() const { return m_jobThread != nullptr; }
    // Fills the empty-state page for a job state and shows it.
    void setScanState(int state, const QString& text);
    // The header's status line as last set.
    QString statusText() const { return m_statusText; }
    const svl::ScanProgress& scanProgress() const { return m_job->progress; }

    // --- Scan requests (MainWindowRequests.cpp) ---
    // The Scan button: the folder chooser for "<Select Folder...>", else scanRequested().
    void onScanClicked();
    void chooseFolder();
    void chooseCsvFile();
    void chooseMftFile();
    // A volume or folder item was chosen in the source combo.
    void onSourceSelected(const QString& path);
    // The several-folder dialog; scans the ticked folders.
    void chooseMultiple();
    void scanFolder(const QString& path);
    void scanMultiple(const QStringList& paths);
    void importCsvFile(const QString& path);
    void importMftFile(const QString& path);
    // Start-up path: selects the matching source and scans it.
    void scanPath(const QString& path);

    // --- Displayed tree (MainWindowDisplayedTree.cpp) ---
    // Rebuilds the displayed tree from the current one, on a filter thread when a filter is
    // active; `restore` brings the remembered view state back.
    void refreshDisplayedTree(bool restore);
    void updateFilterLabel();
    void installTree(std::shared_ptr<svl::ScanTree> tree, bool restore);
    // Takes displayed-tree nodes out of both trees in place and refreshes the views. While a
    // filter thread reads the current tree the removal waits until the threads are done.
    void removeNodes(const std::vector<uint32_t>& ids);
    void refreshAfterRemoval();
    // Watches the displayed tree for deletions when the setting allows it, the source is
    // no imported file and no job runs; otherwise stops watching.
    void restartMonitoring();
    LiveMonitor* liveMonitor() const { return m_liveMonitor; }
    // Receiver of deletions reported outside the program (absolute paths).
    void onPathsRemoved(const QStringList& paths);
    // Copies the filter texts into the window and rebuilds the displayed tree.
    void applyFilterTexts(const QString& include, const QString& exclude, bool entirePath);
    // The same with the filter panel's texts.
    void applyFilterPanel();
    // Command-line filters: fills the panel and keeps it shown whatever the setting says.
    void setFilterTexts(const QString& include, const QString& exclude);
    bool isFilterPanelShown() const;
    // Shows the header, the filter panel and the treemap as the settings and state ask.
    void applyPanelVisibility();
    const std::shared_ptr<svl::ScanTree>& currentTree() const { return m_currentTree; }
    const std::shared_ptr<svl::ScanTree>& displayedTree() const { return m_displayedTree; }
    int filterGeneration() const { return m_filterGeneration; }
    bool isFiltering() const { return !m_pendingThreads.empty(); }

    // --- Window state and title (MainWindowState.cpp) ---
    void updateWindowTitle();
    void saveWindowState();
    void restoreWindowState();
    void applyDefaultSplitterSizes();

    // --- Settings (MainWindowSettings.cpp) ---
    // Re-reads what a changed setting governs; an empty key changes nothing here.
    void applySettingChange(const QString& key);
    // Grid lines, alternating row colours and the newest-date column of every item view.
    void applyListOptions();
    // The list font of every item view, with the smaller header font.
    void applyListFont();
    // F4: collapses everything but the root row.
    void resetTreeExpansion();
    // The tree view, the file list's view and, once it exists, the file-types view.
    QList<QAbstractItemView*> itemViews() const;
    void setHeaderShown(bool shown);
    bool isHeaderShown() const { return m_headerShown; }

    // --- Selection carried between the views (MainWindowSelection.cpp) ---
    enum SelectionSource { FromTree = 0, FromTreemap = 1, FromFileView = 2, FromBoth = 3 };
    // Selects `ids` in the views other than the source and sums them up in the status bar.
    void setSelection(const std::vector<uint32_t>& ids, SelectionSource source);
    void selectNode(uint32_t id) { setSelection({id}, FromBoth); }
    void updateSelectionSummary();
    void onTabChanged();
    // Treemap hover: the path under the mouse, or the free space over the free-space strip.
    void showHoverText(int64_t id);
    void selectParent();
    void reselectChild();
    void zoomTreemapToSelection();
    // Brings back the expansion, selection and zoom remembered before the tree was replaced.
    void restoreViewState();
    QLabel* selectionLabel() const { return m_selectionLabel; }
    QLabel* hoverLabel() const { return m_hoverLabel; }
    // Names the include and exclude texts in force; hidden without a filter.
    QLabel* filterLabel() const { return m_filterLabel; }

    // --- Selection and tree commands (MainWindowTreeCommands.cpp) ---
    static constexpr uint32_t kMaxExtensionSelection = 50000;
    static constexpr uint64_t kMaxFullExpansion = 150000;
    // Rows deeper than this are not opened in the tree view: the view lays out expanded rows
    // recursively, one stack frame per level, and would overflow the stack.
    static constexpr int kMaxViewDepth = 2000;
    // The number of rows above `rowId` in the tree view, counted up to kMaxViewDepth + 1.
    int viewDepth(uint32_t rowId) const;
    // Selects (at most the first 50,000) files whose extension is `extension`.
    void selectFilesWithExtension(const QString& extension);
    void expandAll();
    // Expands `index` and the rows below it: the whole subtree when it holds up to
    // kMaxFullExpansion items, else three levels while the rows shown stay within that
    // many; never deeper than kMaxViewDepth. Expand All and the tree's '*' key come here.
    void expandBelow(const QModelIndex& index);
    // The folders of the full tree that "Rescan Selected Folder" would read again, topmost
    // only, in first-seen order; empty with `wholeRescan` set when the selection asks for
    // the whole source (a scanned root is among it).
    std::vector<uint32_t> rescanTargets(bool* wholeRescan) const;
    bool canRescanSelection() const;

    // --- Menus and shortcuts (MainWindowMenus.cpp) ---
    // The File-menu actions that need a selection, in menu order.
    const QList<QAction*>& selectionActions() const { return m_selectionActions; }
    // Enables the selection actions exactly when something is selected.
    void updateSelectionActions();
    // Enables "Rescan Selected Folder" when the selection, the tree and the job slot allow it.
    void updateRescanAction();

    // --- Column layouts (MainWindowLayouts.cpp) ---
    // Restores the header's saved layout when it was saved for the same columns, and saves
    // it 400 ms after the last move, resize or sort change.
    // Whether a saved layout was put back.
    bool restoreHeaderState(QHeaderView* header, const char* key);
    // Narrows the tree's default columns to its pane (dates stay whole).
    void fitTreeColumns();

    // --- Start-up options (MainWindow.cpp) ---
    void showFileViewPage();
    void setGrabImagePath(const QString& path) { m_grabImagePath = path; }
    void setPendingSearchText(const QString& text) { m_pendingSearchText = text; }
    // 600 ms later saves a picture of the window once it is idle, then quits.
    void scheduleGrab();
    void grabWhenIdle();

    bool isEmptyPageShown() const;
    EmptyStateWidget* emptyState() const { return m_emptyState; }
    TreemapPanel* treemapPanel() const { return m_treemapPanel; }
    FilterPanel* filterPanel() const { return m_filterPanel; }
    HeaderPanel* header() const { return m_header; }
    NodeModel* nodeModel() const { return m_nodeModel; }
    FileViewPanel* fileView() const { return m_fileView; }
    FileTypesView* fileTypes() const { return m_fileTypes; }

    QTreeView* treeView() const { return m_treeView; }
    PageTabs* tabs() const { return m_tabs; }

    // --- File commands (MainWindowFileOps.cpp, MainWindowContextMenu.cpp, MainWindowProperties.cpp) ---
    // The desktop operations the commands call; replaceable as a whole or hook by hook.
    FileActionBackend fileActions = FileActionBackend::system();
    // The row ids selected on the page in front: the file list's on the File View page,
    // else the Tree View side's.
    const std::vector<uint32_t>& currentSelection() const;
    QList<SelectedItem> collectSelection(bool includeGroupRows, bool includeRoot) const;
    // The same, collected off the GUI thread when the selection is large.
    QList<SelectedItem> collectSelectionOffGui(bool includeGroupRows, bool includeRoot);
    // Whether a confirmed trash or deletion is running on its worker. Meanwhile other file
    // commands and scans are refused, and closing the window cancels the removal and closes
    // once it stopped.
    bool isRemoving() const { return m_removal != nullptr; }
    bool askConfirmation(const QString& question, const QString& detail, const QString& acceptLabel,
                         const QString& cancelLabel);
    void showError(const QString& text, const QString& detail);
    void moveSelectionToTrash();
    void deleteSelectionImmediately();
    void collectVanished(uint32_t folder, std::vector<uint32_t>* out);
    void startRename();
    // Records where the item is as a name editor opens on it (the views call it); the next
    // commit acts there or refuses.
    void recordRenamePlace(uint32_t id);
    // Commits an edited name (the models' rename handler); true when the model takes it.
    bool renameNode(uint32_t id, const QString& newName);
    void openSelection();
    void showSelectionInFileManager();
    void openTerminalAtSelection();
    void cutSelection();
    void copySelection();
    void copySelectionPaths();
    void openSelectionInNewInstance();
    bool confirmManyWindows(int count, const QString& what);
    // A new menu for the current selection; the caller owns it.
    QMenu* buildContextMenu();
    void showContextMenu(const QPoint& globalPos);
    void showProperties();
    void copyFileAndSizeInfo();

    // --- Exports (MainWindowExports.cpp) ---
    // Writes the displayed tree's rows that `choice` names to `path`; false after showing why.
    bool exportCsvTo(const QString& path, const CsvExportChoice& choice);
    // The treemap as the window shows it (same zoom), exactly width x height pixels.
    QImage renderTreemapImage(int width, int height, bool gray, bool freeSpace);
    // Draws that picture and writes it as PNG to `path` on a worker behind a progress dialog
    // that can cancel, the window answering meanwhile; returns when it is done. False when
    // cancelled or failed (a failure is shown); no partial file is left at `path` either way.
    bool writeTreemapImage(const QString& path, int width, int height, bool gray, bool freeSpace);
    // The save dialog: (title, proposed path, filter) to the chosen path; empty cancels.
    std::function<QString(const QString&, const QString&, const QString&)> saveFileNameHook;

    // --- Start-up offers and desktop integration (MainWindowOffers.cpp) ---
    // Run in this order 600 ms after start-up (not when a picture is being captured).
    void offerPortableUse();
    void offerMenuEntry();
    void offerFileManagerMenu();
    void preparePortableCopy();
    void addToApplicationMenu();
    void removeFromApplicationMenu();
    void setFileManagerMenu(bool on);
    void installNautilusPythonSupport();
    // Runs the package installation behind a progress dialog; the end goes to
    // finishNautilusPythonInstall.
    void runNautilusPythonInstall(const NautilusPythonInstall& install);
    void finishNautilusPythonInstall(int exitCode, int exitStatus);
    void updateNautilusPythonAction();
    // Shows the portable, launcher and file-manager commands that apply to this copy.
    void updateApplicationMenuActions();
    // Whether the program runs with administrator rights for the offers (isElevated when
    // unset); replaceable, since the tests run as root.
    std::function<bool()> elevatedHook;
    // The commands for the File and Options menus.
    QAction* preparePortableAction() const { return m_preparePortableAction; }
    QAction* addToMenuAction() const { return m_addToMenuAction; }
    QAction* removeFromMenuAction() const { return m_removeFromMenuAction; }
    QAction* fileManagerMenuAction() const { return m_fileManagerMenuAction; }
    QAction* nautilusPythonAction() const { return m_nautilusPythonAction; }

    // --- Administrator rights (MainWindowElevation.cpp) ---
    // Restarts with administrator rights (no source to scan), or back as the invoking user.
    void restartAsAdministrator();
    void restartAsUser();
    // Before a normal scan of a volume that could be read directly: offers the faster
    // administrator scan. True: go on with the normal scan.
    bool offerAdminScan(const QStringList& paths);
    void reportRestartFailed(const QString& message);
    // No pkexec or sudo: shows the command to run by hand, with a button that copies it.
    void showAdministratorAccessHelp(const QString& command);
    Elevator* elevator() const { return m_elevator; }
    // "Restart as Administrator…", or "Restart without Administrator" when elevated.
    QAction* restartElevationAction() const { return m_restartElevationAction; }
    void updateRestartElevationAction();

    // --- MFT dump (MainWindowMftDump.cpp) ---
    // "Dump MFT File" for the volume the header shows.
    void dumpMftCommand();
    // Asks for the dump file, dumps and reports; also the command-line dump request.
    void dumpMft(const QString& volumePath);
    // Dumps the MFT of the NTFS volume at `volumePath` into `filePath` behind a modal progress
    // dialog; the file is private (0600) and goes to the invoking user.
    svl::MftDumpResult dumpMftTo(const QString& volumePath, const QString& filePath);
    QAction* dumpMftAction() const { return m_dumpMftAction; }
    // Enabled for an NTFS volume that is neither several roots nor an imported file.
    void updateDumpMftAction();

    // --- Restarts, new windows and language (MainWindowRestart.cpp) ---
    // Starts a second, independent copy of the program.
    void openNewWindow();
    // Starts the program again half a second later and quits this one.
    void restartApplication();
    // Clears every setting (and stops saving into the emptied store); restarts when asked.
    void resetSettingsAndRestart(bool restart);
    void switchLanguage(const QString& tag);
    QMenu* languageMenu() const { return m_languageMenu; }

    // --- About page companions (MainWindowAbout.cpp) ---
    void updateUpdateBanner();
    void reportNoUpdate();
    void reportUpdateCheckFailed(const QString& reason);
    void openUpdatePage();
    // "Reset Configuration to Default Values": asks, then resets and restarts.
    void confirmResetSettings();
    UpdateBanner* updateBanner() const { return m_banner; }

    // Operations that leave the process; when set they replace the built-in behaviour.
    std::function<void(const QUrl&)> openUrlHook;
    std::function<void()> quitHook;
    std::function<void()> restartHook;
    std::function<void()> newWindowHook;

    // --- SMB shares (MainWindowSmb.cpp) ---
    // The login prompter that scans and rescans hand to the scanner: made on first use, with
    // this window as the parent of its question, and kept for the window's life.
    SmbLoginPrompter* smbPrompter();
    // When set, makes the prompter in place of the built-in one, given this window and the
    // gate its questions must pass.
    std::function<std::shared_ptr<SmbLoginPrompter>(QWidget*, const GuiCallGate&)> makeSmbPrompterHook;

public slots:
    // F5: scans what the source combo shows (the same several folders again, the chooser
    // for a CSV or MFT item or without a path).
    void scanRequested();
    void pollProgress();
    void scanFinished(std::shared_ptr<svl::ScanTree> tree);
    // Ctrl+F5: scans the selected folders again on the job slot and splices them into the tree.
    void rescanSelectedFolders();
    void rescanFinished(std::shared_ptr<svl::ScanTree> tree, bool cancelled, QString error, double seconds);

    // Exports started from menus (MainWindowExports.cpp).
    void exportCsvFile();
    void saveTreemapImage();
    // The file-types view's rows as CSV, in the view's order.
    void exportFileTypesCsv();

    // Return and Enter over the results open the selection, elsewhere press Scan.
    bool eventFilter(QObject* watched, QEvent* event) override;

protected:
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    FileOperations fileOperations();
    // The save dialog's path with `extension` appended (only to a name without any suffix,
    // or unless it already ends in it); asks again before that other name is replaced.
    // Records the chosen file's folder, which the write that follows takes.
    QString askSaveFileName(const QString& title, const QString& start, const QString& filter,
                            const QString& extension, bool onlyWithoutSuffix);
    std::optional<ChosenOutputFolder> takeChosenOutputFolder() { return std::exchange(m_chosenOutputFolder, {}); }
    FileCommandContext fileCommandContext() const;
    NodeModel* treeModel() const;
    FileViewPanel* currentFileViewPage() const;

    void buildCentralArea();
    void buildStatusBar();
    void buildMenus();
    QAction* addMenuAction(QMenu* menu, const QString& text, const std::function<void()>& command,
                           const QList<QKeySequence>& shortcuts);
    QAction* addSettingToggle(QMenu* menu, const QString& text, const char* key, bool checked,
                              const QKeySequence& shortcut);
    void addDisplayModeGroup(QMenu* menu);
    void connectSelection();
    void selectInTreeView(const std::vector<uint32_t>& ids);
    void createJobActions();
    void rebuildDeniedFolders(const std::vector<uint32_t>& ids);
    // Stops the poll, waits for the finished job thread and takes the busy state down.
    void endJobThread();
    // Starts the job thread running `work`; its result reaches the window only while the
    // job is still the window's (same generation).
    void startJobThread(std::function<void()> work);
    // After a cancel: gives the job up once its progress stood still for a while.
    void watchCancelledJob();
    void abandonJob();
    // Cancels the job and leaves its worker to end on its own, unwaited for.
    void leaveJobThread();
    // Hands the rescan worker's result to rescanFinished.
    void takeRescanResult();
    void createIntegrationActions();
    void createElevation();
    void showInformation(const QString& text);
    bool offersElevated() const;
    bool launcherApplies() const;
    void setStatusText(const QString& text);
    void rememberViewState();
    void emptyViews();
    void startFilterThread(bool restore);
    // Starts a worker that reads the displayed tree: removals wait until the last one ends.
    void startTreeReader(QThread* thread);
    // Runs `work` as such a worker and turns the event loop without the user's input until
    // it ends: the window paints while a command reads a million items.
    void readTreesOffGui(const std::function<void()>& work);
    // Runs a confirmed removal as such a worker, the window answering and a progress dialog
    // with Cancel shown once it lasts; returns when it is done.
    void removeOffGui(const QString& label, RemovalProgress& progress, const std::function<void()>& work);
    void filterThreadFinished(QThread* thread);
    TreemapImageRequest treemapImageRequest(int width, int height, bool gray, bool freeSpace) const;
    void applyQueuedRemovals();
    void removePaths(const std::vector<std::string>& paths);
    // The scanned folders of a several-folder scan at or below a renamed item go by its new
    // path in the header, the window title, the status bar and the next scan.
    void followRenamedRoots(const std::string& oldPath, const std::string& newPath);
    void showHoveredPath(const QModelIndex& index);
    void showHoveredId(int64_t id);
    void openFromFileList(uint32_t id);
    void toggleExpanded(const QModelIndex& index);
    void selectBindSource(const QModelIndex& index);
    void buildTreeView();
    void connectHeader();
    void connectFileView();
    void showAccessDenied();
    void fillFileTypes(bool recoloured);
    void quitApplication();
    void openUrl(const QUrl& url);
    void connectUpdateChecker();
    QMenu* buildLanguageMenu(QMenu* parent);
    TitleSource titleSource() const;

    // Widgets
    UpdateBanner* m_banner = nullptr;
    HeaderPanel* m_header = nullptr;
    NodeModel* m_nodeModel = nullptr;
    FileViewPanel* m_fileView = nullptr;
    FileTypesView* m_fileTypes = nullptr;
    LiveMonitor* m_liveMonitor = nullptr;
    RuleFrame* m_headerRule = nullptr;
    FilterPanel* m_filterPanel = nullptr;
    RuleFrame* m_filterRule = nullptr;
    PageTabs* m_tabs = nullptr;
    FolderTreeView* m_treeView = nullptr;
    QStackedWidget* m_resultsStack = nullptr;
    EmptyStateWidget* m_emptyState = nullptr;
    TreemapPanel* m_treemapPanel = nullptr;
    QSplitter* m_topSplit = nullptr;
    QSplitter* m_mainSplit = nullptr;
    QLabel* m_selectionLabel = nullptr;
    QLabel* m_hoverLabel = nullptr;
    QLabel* m_filterLabel = nullptr;
    RuleFrame* m_filterLabelRule = nullptr;
    QLabel* m_fileViewSummaryLabel = nullptr;
    RuleFrame* m_fileViewRule = nullptr;
    QTimer* m_pollTimer = nullptr;
    QTimer* m_stateSaveTimer = nullptr;
    QAction* m_escapeAction = nullptr;
    QList<QAction*> m_selectionActions;
    QAction* m_rescanAction = nullptr;
    QAction* m_showHeaderAction = nullptr;
    QAction* m_dumpMftAction = nullptr;
    std::shared_ptr<void> m_dumpMftQuestion;  // whether the shown volume is NTFS, being asked
    std::optional<ChosenOutputFolder> m_chosenOutputFolder;  // see askSaveFileName
    QMenu* m_languageMenu = nullptr;
    QString m_hoverText;
    std::shared_ptr<const RenamePlace> m_renamePlace;  // of the name editor opened last
    RemovalProgress* m_removal = nullptr;  // the removal running on its worker
    bool m_closeAfterRemoval = false;      // the window was closed while it ran
    bool m_syncing = false;
    QAction* m_preparePortableAction = nullptr;
    QAction* m_addToMenuAction = nullptr;
    QAction* m_removeFromMenuAction = nullptr;
    QAction* m_fileManagerMenuAction = nullptr;
    QAction* m_nautilusPythonAction = nullptr;
    QAction* m_restartElevationAction = nullptr;
    Elevator* m_elevator = nullptr;
    QProcess* m_installProcess = nullptr;
    QProgressDialog* m_installProgress = nullptr;
    QString m_installPackage;
    bool m_resultsInstalled = false;
    bool m_headerShown = true;
    bool m_filterPanelForced = false;
    bool m_topSplitUnsaved = false;
    bool m_treeColumnsUnsaved = false;
    bool m_mainSplitUnsaved = false;
    QString m_statusText;
    std::pair<uint64_t, uint64_t> m_treemapSpace;  // the volume's total and free bytes the treemap shows

    // Trees and what the views show of them
    std::shared_ptr<svl::ScanTree> m_currentTree;
    std::shared_ptr<svl::ScanTree> m_displayedTree;
    QString m_includeText;
    QString m_excludeText;
    bool m_matchEntirePath = true;
    int m_filterGeneration = 0;
    std::vector<QThread*> m_pendingThreads;
    // Full paths removed while filter threads ran; a removal of a million files leaves as many.
    std::deque<std::string> m_queuedRemovals;
    bool m_queuedSlicePosted = false;
    std::unordered_set<uint32_t> m_expandedIds;
    std::vector<uint32_t> m_treeSelection;
    std::vector<uint32_t> m_fileViewSelection;
    std::vector<uint32_t> m_childHistory;
    QStringList m_savedExpandedPaths;
    QStringList m_savedExpandedGroupPaths;
    QStringList m_savedSelectedPaths;
    QStringList m_savedSelectedGroupPaths;
    QString m_savedZoomPath;
    QString m_pendingSearchText;

    // The job slot
    QThread* m_jobThread = nullptr;
    std::shared_ptr<JobState> m_job = std::make_shared<JobState>();  // shared with the job's worker
    int m_jobGeneration = 0;  // advanced by every job start and by giving a job up
    bool m_jobIsRescan = false;
    QElapsedTimer m_jobClock;
    qint64 m_cancelAskedMs = -1;  // on m_jobClock; -1 while no cancel was asked
    qint64 m_progressMovedMs = 0;
    std::array<double, 5> m_progressMark{};
    JobKind m_jobKind = JobKind::Folder;
    QString m_scanPathText;
    QStringList m_jobRoots;
    std::shared_ptr<svl::Filter> m_scanFilter;
    QStringList m_deniedFolders;
    QString m_grabImagePath;
    GuiCallGate m_guiCalls;
    std::shared_ptr<SmbLoginPrompter> m_smbPrompter;  // asks through m_guiCalls
    bool m_quitting = false;
};
