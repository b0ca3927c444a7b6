// Notices entries under the current scan that other programs delete or move away and
// reports their paths in batches. fanotify watches whole file systems (administrator
// rights; per folder where a whole-file-system mark is refused); otherwise inotify watches
// the folders the window asks for, largest first, within a share of the per-user limit.
// A folder that left and is found at its path again is another folder: its old contents
// are reported, and inotify watches follow the folders themselves, not their old names.
//
// Folders on network and FUSE mounts (by the mount table, which asks no file system) are
// never watched nor touched: such a mount may stop answering, and the GUI thread would wait.
//
// Threads: GUI thread only. Socket notifiers, the flush timer and posted slices drive it; a
// batch (a deleted folder of a million files gives hundreds of thousands of paths) is
// resolved and checked a slice at a time, so the window goes on answering meanwhile.
#pragma once

#include "core/scan/MountTable.h"
#include "integration/FanotifyEvents.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <queue>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

class QSocketNotifier;

namespace svl {
class ScanTree;
}

// Removes trailing '/' while the length is at least 2 ("/" stays).
QString trimTrailingSlashes(QString path);
// /proc/sys/fs/inotify/max_user_watches, or 8192 when unreadable, not a number or below 1.
int readMaxUserWatches();

class LiveMonitor : public QObject {
    Q_OBJECT

public:
    enum class Mode { Idle, Fanotify, InotifyOnDemand, InotifyWholeTree };

    explicit LiveMonitor(QObject* parent = nullptr);
    ~LiveMonitor() override;

    // Whether fanotify may be tried (process-wide; on at start).
    static void setFanotifyEnabled(bool enabled);
    static bool fanotifyEnabled();

    // Watches the tree: fanotify when it can be set up completely, else inotify for the
    // folders later asked for through watchFolder. A null or empty tree leaves it idle.
    void start(std::shared_ptr<svl::ScanTree> tree);
    // Watches every folder of a local tree with inotify, largest first, up to folderLimit
    // watches (negative: 60% of the per-user limit).
    void startInotify(std::shared_ptr<svl::ScanTree> tree, int folderLimit);
    void stop();
    // Asks for inotify watches on a folder of the tree and, with withSubfolders, on up to
    // maxFolders folders of its subtree, largest first. Only in the on-demand inotify mode.
    void watchFolder(const QString& path, bool withSubfolders, int maxFolders);
    // An entry of the tree got a new name from the window: the watches at and below its old
    // path (which the kernel keeps on the renamed folders), and a scanned top at or below it,
    // report under the new path.
    void renamePath(const std::string& oldPath, const std::string& newPath);

    Mode mode() const;
    int watchedCount() const { return m_watchedCount; }
    int folderLimit() const { return m_folderLimit; }
    // Folders marked one by one on file systems that refuse a whole-file-system mark.
    int directoryMarkCount() const { return m_directoryMarks; }
    // The kernel refused a watch for want of watches: folders asked for since are not watched,
    // nor folders made again where watched ones left, until the next start.
    bool outOfWatches() const { return m_outOfWatches; }

    // The call that adds an inotify watch (inotify_add_watch unless replaced): tests run out
    // of watches through it without touching the per-user limit.
    using AddWatchCall = std::function<int(int descriptor, const char* path, uint32_t mask)>;
    void setAddWatchCall(AddWatchCall call);

    // The paths of the entries directly inside these folders that the tree still shows:
    // what leaves the tree when foldersReplaced names the folders.
    static std::vector<std::string> contentsOf(const svl::ScanTree& tree, const std::vector<std::string>& folders);

signals:
    // The same batch twice: as text (invalid UTF-8 replaced) and as the paths' own bytes,
    // which is what finds nodes whose names are not valid UTF-8.
    void pathsRemoved(QStringList paths);
    void pathsRemovedBytes(std::vector<std::string> paths);
    // Folders that left and were made again: the folder at each path is another, and what the
    // old one held (contentsOf) is gone from there.
    void foldersReplaced(std::vector<std::string> folders);
    void watchedChanged(int folders);

private:
    struct MarkedFileSystem {
        uint64_t fsid = 0;
        int dirFd = -1;
        bool perDirectory = false;  // marks on single folders, not on the whole file system
    };
    struct Root {
        std::string treePath;
        std::string realPath;
    };
    // What left a queued path. The identity names the object itself: "i" with device and
    // inode under inotify, "h" with handle type and bytes under fanotify; empty when unknown.
    struct Removal {
        bool folder = false;
        std::string identity;
    };
    // A batch being checked: taken when the flush timer fires, so that what comes in
    // meanwhile waits for the next one.
    struct Batch {
        std::vector<FanotifyRecord> records;
        size_t resolved = 0;
        std::unordered_map<std::string, std::string> folders;  // handle key -> folder path
        std::map<std::string, Removal> paths;  // left to check
        std::set<std::string> lost;
        std::vector<std::string> gone, replaced;
    };
    struct Watch {
        std::string path;
        std::string identity;
    };
    // (allocated size, node id): the largest first, of equal sizes the larger id.
    using QueueEntry = std::pair<uint64_t, uint32_t>;

    bool startFanotify(const std::shared_ptr<svl::ScanTree>& tree);
    // Whether a folder of the tree, or a path, lies on a network or FUSE mount (see the
    // header's note).
    bool mayNotAnswer(const svl::ScanTree& tree, uint32_t id, const std::string& path) const;
    bool pathMayNotAnswer(const std::string& path) const;
    bool markFolders(const svl::ScanTree& tree, uint32_t rootId, const char* realRoot);
    void closeFanotify();
    void readFanotifyEvents();
    void resolveFanotifyRecord(Batch& batch, const FanotifyRecord& record);
    std::string folderOfHandle(const FanotifyRecord& record);
    std::string treePathOf(const std::string& fullPath) const;
    void readInotifyEvents();
    bool openInotify();
    void queueRemoved(const std::string& path, bool folder, const std::string& identity);
    void flushRemoved();
    // Resolves and checks the batch for one slice; reports it once it is all checked.
    void checkSlice(int generation);
    void watchSlice(int generation);
    // inotify_add_watch with the folder's identity kept; false with errno set on failure.
    bool addWatch(const std::string& path);
    void forgetWatch(int descriptor);
    std::vector<int> watchesAtAndBelow(const std::string& folder) const;
    // Drops the watches at and below a folder that moved whose paths no longer name their
    // folders; the flush watches the folders standing at those paths then.
    void dropMovedWatches(const std::string& folder);

    int m_fanotifyFd = -1;
    QSocketNotifier* m_fanotifyNotifier = nullptr;
    std::vector<MarkedFileSystem> m_fileSystems;
    std::vector<Root> m_roots;
    std::vector<FanotifyRecord> m_pendingRecords;
    int m_directoryMarks = 0;

    int m_inotifyFd = -1;
    QSocketNotifier* m_inotifyNotifier = nullptr;
    std::unordered_map<int, Watch> m_watches;
    std::map<std::string, int> m_watchOfPath;
    std::set<std::string> m_lostWatches;  // paths whose folder left with its watch in this batch
    std::map<std::string, Removal> m_pendingPaths;
    std::unique_ptr<Batch> m_batch;
    QTimer m_flushTimer;
    int m_watchedCount = 0;
    std::shared_ptr<svl::ScanTree> m_tree;
    std::priority_queue<QueueEntry> m_watchQueue;
    int m_folderLimit = 0;
    bool m_remote = false;
    bool m_outOfWatches = false;
    bool m_onDemand = false;
    std::unordered_set<uint32_t> m_queued;
    int m_generation = 0;
    bool m_slicePosted = false;  // a slice of this generation waits in the event queue
    int m_sliceMs = 10;
    std::vector<svl::MountEntry> m_mounts;  // read afresh before the folders it decides on are touched
    AddWatchCall m_addWatchCall;
};
