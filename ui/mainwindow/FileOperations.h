// The window's file commands as plain steps: trash, delete immediately, delete as
// administrator with their fall-backs, the sweep for vanished nodes, rename, and the
// commands that hand items to other programs (open, file manager, terminal, clipboard,
// another instance, Properties). Questions, error boxes, removals and view refreshes go
// through hooks the window fills, so the steps run in tests without a window.
// GUI thread only; one command at a time.
#pragma once

#include "integration/FileActionBackend.h"
#include "ui/mainwindow/FileCommandPlanner.h"

#include <QList>
#include <QString>

#include <atomic>
#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace svl {
class ScanTree;
}

// Where an item was when its name editor opened: FileOperations::rename acts on that
// object in that folder or on nothing.
struct RenamePlace {
    uint32_t id = 0;
    std::string path;   // the item's path then
    int code = EINVAL;  // capturePlace's answer: 0 when `place` holds where the item was
    RemovalTarget place;
};

// A confirmed removal as it goes: the worker counts its steps (entries removed, or items
// moved to the Trash) and looks at `cancel` before each next one, also inside a folder; the
// window reads both while it waits.
struct RemovalProgress {
    uint64_t total = 0;  // steps expected
    std::atomic<uint64_t> done{0};
    std::atomic<bool> cancel{false};
    // Optional: called on the worker with the entries removed so far before each next one goes.
    std::function<void(uint64_t removed)> beforeEntry;
};

struct FileOperationHooks {
    // A modal question; true only when the accept button was pressed.
    std::function<bool(const QString& question, const QString& detail, const QString& accept, const QString& cancel)>
        ask;
    std::function<void(const QString& text, const QString& detail)> showError;
    std::function<void(const QString& title, const QString& text)> showInformation;
    // The window's removal step over displayed-tree ids.
    std::function<void(const std::vector<uint32_t>& ids)> removeNodes;
    // Views repaint after a name changed in the trees.
    std::function<void()> refreshAfterRename;
    // An item got a new name on disk and in the trees (optional).
    std::function<void(const std::string& oldPath, const std::string& newPath)> renamed;
    // Asks the live monitor to watch a folder closely (optional).
    std::function<void(const QString& folder, bool subfolders)> watchFolder;
    // Runs `work`, which reads the trees and the disk and changes neither, on a worker while
    // the window keeps painting and holds back the user's input and its own tree changes;
    // returns when it is done (optional: without it the work runs on the calling thread).
    std::function<void(const std::function<void()>& work)> readOffGui;
    // Runs `work`, a confirmed removal that reads the trees and changes only the disk, on a
    // worker while the window answers, showing `progress` under `label` while it lasts, with
    // a Cancel that sets its flag; returns when `work` is done (optional: without it the work
    // runs on the calling thread).
    std::function<void(const QString& label, RemovalProgress& progress, const std::function<void()>& work)>
        removeOffGui;
};

class FileOperations {
public:
    // Above this many items, commands that open windows ask first.
    static constexpr int kManyWindows = 5;
    // From this many items on, the checks before a question run through readOffGui: a
    // million of them take about a second.
    static constexpr qsizetype kChecksOffGui = 20000;
    // A message about failed items names this many, then counts the rest.
    static constexpr qsizetype kFailuresNamed = 5;

    FileOperations(svl::ScanTree* displayed, svl::ScanTree* full, const FileCommandContext& context,
                   const FileActionBackend& backend, const FileOperationHooks& hooks, bool elevated);

    const FileCommandPlanner& planner() const { return m_planner; }
    // `work` through readOffGui for `count` items from kChecksOffGui on, else at once.
    void readOffGui(qsizetype count, const std::function<void()>& work) const;

    void moveToTrash(const QList<SelectedItem>& items);
    void deleteImmediately(const QList<SelectedItem>& items);
    void offerDeleteImmediately(const QList<SelectedItem>& items);
    void deletePermanently(const QList<SelectedItem>& items);
    void offerDeleteAsAdministrator(const QList<SelectedItem>& items);
    // Appends the ids below (and including) `folder` whose paths no longer exist; only
    // ENOENT and ENOTDIR count as gone, other failures keep the node.
    void collectVanished(uint32_t folder, std::vector<uint32_t>* out) const;
    // Records where the item is, as its name editor opens.
    RenamePlace placeForRename(uint32_t id) const;
    // Commits an edited name; true when the item was renamed on disk and in both trees. Only
    // with the record of `id` made when its editor opened, and only while the item is still
    // the one recorded there: otherwise the refusal names it.
    bool rename(uint32_t id, const QString& editedText, const RenamePlace* recorded);

    bool confirmManyWindows(int count, const QString& what);
    void open(const QList<SelectedItem>& items);
    void showInFileManager(const QList<SelectedItem>& items);
    void openTerminal(const QList<SelectedItem>& items);
    void putOnClipboard(const QList<SelectedItem>& items, bool cut);
    void copyPaths(const QList<SelectedItem>& items);
    void startInstance(const QList<SelectedItem>& items);
    void showProperties(const QList<SelectedItem>& items);

private:
    // An item and where it was when the user was asked about it.
    struct CheckedItem {
        SelectedItem item;
        RemovalTarget place;
    };
    // Checked items in order. Items of one folder share one recorded place, and the list of
    // items is handed out without copying, so a million of them cost no per-item records.
    class CheckedItems {
    public:
        CheckedItems() = default;
        // `places[placeOf[i]]` is where items[i] was (its path and own identity aside, which
        // are the item's: `own[i]`).
        CheckedItems(QList<SelectedItem> items, std::vector<uint32_t> placeOf, std::vector<RemovalTarget> places,
                     std::vector<std::optional<ItemIdentity>> own)
            : m_items(std::move(items)), m_placeOf(std::move(placeOf)), m_places(std::move(places)),
              m_own(std::move(own)) {}
        bool isEmpty() const { return m_items.isEmpty(); }
        const QList<SelectedItem>& items() const { return m_items; }
        CheckedItem at(qsizetype i) const;
        void append(const CheckedItem& checked);

        struct Iterator {
            const CheckedItems* owner;
            qsizetype i;
            CheckedItem operator*() const { return owner->at(i); }
            Iterator& operator++() { ++i; return *this; }
            bool operator!=(const Iterator& other) const { return i != other.i; }
        };
        Iterator begin() const { return {this, 0}; }
        Iterator end() const { return {this, m_items.size()}; }

    private:
        QList<SelectedItem> m_items;
        std::vector<uint32_t> m_placeOf;
        std::vector<RemovalTarget> m_places;
        std::vector<std::optional<ItemIdentity>> m_own;
    };

    // Where the item is now: the walk starts at its scanned folder, which must still be the
    // one the scan opened (an administrator copy reaches it from "/", through a link only when
    // one is on the way), and below it enters no mount the scan did not enter there. 0 or a
    // captureItemPlace code.
    int capturePlace(const SelectedItem& item, RemovalTarget* place) const;
    // The refusal for a capturePlace failure.
    static QString placeRefusal(const QString& path, int code);
    // Records where each item is, before the question: an item whose way can't be walked now
    // is refused, naming it; one already gone leaves the tree.
    CheckedItems checkedPlaces(const QList<SelectedItem>& items, const QString& failureTitle);
    void offerDeleteImmediately(const CheckedItems& checked, const QString& detail);
    void deletePermanently(const CheckedItems& checked);
    void offerDeleteAsAdministrator(const CheckedItems& checked);

    // Screens items for a command that changes files; reports refusals; empty when none may go.
    QList<SelectedItem> acceptedForRemoval(const QList<SelectedItem>& items, const QString& failureTitle);
    QList<SelectedItem> acceptedPaths(const QList<SelectedItem>& items,
                                      FileCommandPlanner::PathUse use = FileCommandPlanner::PathUse::Text);
    QList<QString> pathsOf(const QList<SelectedItem>& items) const;
    // `work` through removeOffGui, else at once.
    void removeOffGui(const QString& label, RemovalProgress& progress, const std::function<void()>& work) const;
    void watch(const QString& folder, bool subfolders);

    svl::ScanTree* m_displayed;
    svl::ScanTree* m_full;
    FileCommandPlanner m_planner;
    FileActionBackend m_backend;
    FileOperationHooks m_hooks;
    bool m_elevated;
};
