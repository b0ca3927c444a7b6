#include "integration/LiveMonitor.h"

#include "integration/FanotifyEvents.h"

#include "core/scan/MountWatch.h"
#include "core/tree/ScanTree.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMetaMethod>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

bool s_fanotifyEnabled = true;

constexpr size_t kMaxPendingRecords = 200000;
constexpr size_t kFanotifyBufferBytes = 0x40000;
constexpr size_t kInotifyBufferBytes = 16384;
// A slice of a batch's check ends after this many steps or the slice time, whichever first.
constexpr int kCheckedPerSlice = 4096;
// Records and paths taken into one batch.
constexpr size_t kBatchSize = 20000;
// Folders marked one by one on a file system that refuses a whole-file-system mark.
constexpr int kDirectoryMarkBudget = 20000;
constexpr uint64_t kFanotifyMask = FAN_DELETE | FAN_MOVED_FROM | FAN_ONDIR;
constexpr uint32_t kInotifyMask = IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// Symbolic link, unreadable, other device, removed: never watched nor descended.
constexpr uint16_t kUnwatchable =
    svl::NodeFlag::Symlink | svl::NodeFlag::Unreadable | svl::NodeFlag::OtherDevice | svl::NodeFlag::Removed;

// A file_handle with room for the largest handle.
struct HandleBuffer {
    struct file_handle header;
    unsigned char bytes[kMaxHandleBytes];
};

// Paths stay bytes from the kernel to the tree: a name that is not valid UTF-8 must
// still find its node.
std::string joinPath(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (path != "/")
        path += '/';
    path += name;
    return path;
}

std::string trimmedBytes(std::string path) {
    while (path.size() >= 2 && path.back() == '/')
        path.pop_back();
    return path;
}

// Identities of objects (LiveMonitor::Removal): "i" + device + inode, "h" + handle type + handle.
std::string inodeIdentity(const struct stat& info) {
    const uint64_t numbers[2] = {uint64_t(info.st_dev), uint64_t(info.st_ino)};
    return "i" + std::string(reinterpret_cast<const char*>(numbers), sizeof numbers);
}

// Whether `path` (whose lstat is `info`) names the object `identity` names; false when the
// identity is unknown.
bool sameObject(const std::string& path, const struct stat& info, const std::string& identity) {
    if (identity.starts_with('i'))
        return identity == inodeIdentity(info);
    // A handle identity, or none (which no handle matches).
    HandleBuffer handle;
    handle.header.handle_bytes = kMaxHandleBytes;
    int mountId = 0;
    return ::name_to_handle_at(AT_FDCWD, path.c_str(), &handle.header, &mountId, 0) == 0 &&
           identity == handleIdentity(handle.header.handle_type,
                                      {reinterpret_cast<const char*>(handle.header.f_handle), handle.header.handle_bytes});
}

// Whether a mount of the device (as st_dev) may stop answering; false when the table has none.
bool deviceMayStopAnswering(const std::vector<svl::MountEntry>& mounts, uint64_t device) {
    return std::any_of(mounts.begin(), mounts.end(), [&](const svl::MountEntry& mount) {
        return mount.major == ::major(device) && mount.minor == ::minor(device) && svl::isNetworkFsType(mount.fsType);
    });
}

template <typename Visit>
void forEachFolderChild(const svl::ScanTree& tree, uint32_t id, Visit visit) {
    const svl::ScanNode& node = tree.node(id);
    for (uint32_t i = 0; i < node.childCount; ++i) {
        const uint32_t child = node.firstChild + i;
        if (child < tree.nodeCount && tree.node(child).isFolder())
            visit(child);
    }
}

}  // namespace

QString trimTrailingSlashes(QString path) {
    while (path.size() >= 2 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

int readMaxUserWatches() {
    QFile file(QStringLiteral("/proc/sys/fs/inotify/max_user_watches"));
    if (!file.open(QIODevice::ReadOnly))
        return 8192;
    bool ok = false;
    const int value = QString::fromLatin1(file.readAll()).trimmed().toInt(&ok, 10);
    return ok && value >= 1 ? value : 8192;
}

LiveMonitor::LiveMonitor(QObject* parent) : QObject(parent) {
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(500);
    connect(&m_flushTimer, &QTimer::timeout, this, &LiveMonitor::flushRemoved);
}

LiveMonitor::~LiveMonitor() { stop(); }

void LiveMonitor::setAddWatchCall(AddWatchCall call) { m_addWatchCall = std::move(call); }

// By the text of the folder's path, and, where that path goes through a link, by the device
// the scan found at its top or at the mount it entered on the way down.
bool LiveMonitor::mayNotAnswer(const svl::ScanTree& tree, uint32_t id, const std::string& path) const {
    if (pathMayNotAnswer(path))
        return true;
    const bool virtualRoot = tree.node(0).flags & svl::NodeFlag::VirtualRoot;
    uint32_t at = id;
    for (;; at = tree.node(at).parent) {
        if (const auto entered = tree.enteredMounts.find(at); entered != tree.enteredMounts.end())
            return deviceMayStopAnswering(m_mounts, entered->second.device);
        if (at == 0 || (virtualRoot && tree.node(at).parent == 0))
            break;
    }
    // A top's path is its name.
    const std::string top = trimmedBytes(std::string(tree.node(at).nameView()));
    for (const auto& [given, identity] : tree.scannedTops)
        if (trimmedBytes(given) == top)
            return deviceMayStopAnswering(m_mounts, identity.device);
    return false;
}

bool LiveMonitor::pathMayNotAnswer(const std::string& path) const {
    const svl::MountEntry* mount = svl::mountContaining(m_mounts, path);
    return mount && svl::isNetworkFsType(mount->fsType);
}

void LiveMonitor::setFanotifyEnabled(bool enabled) { s_fanotifyEnabled = enabled; }
bool LiveMonitor::fanotifyEnabled() { return s_fanotifyEnabled; }

LiveMonitor::Mode LiveMonitor::mode() const {
    if (m_fanotifyFd >= 0)
        return Mode::Fanotify;
    if (m_inotifyFd >= 0)
        return m_onDemand ? Mode::InotifyOnDemand : Mode::InotifyWholeTree;
    return Mode::Idle;
}

void LiveMonitor::start(std::shared_ptr<svl::ScanTree> tree) {
    stop();
    if (!tree || tree->nodeCount == 0)
        return;
    m_mounts = svl::readMountInfo();
    if (startFanotify(tree)) {
        m_onDemand = true;
        return;
    }
    if (!openInotify())
        return;
    m_remote = tree->remote;
    m_folderLimit = std::min(int(readMaxUserWatches() * 0.25), m_remote ? 500 : 20000);
    m_tree = std::move(tree);
    m_onDemand = true;
}

void LiveMonitor::startInotify(std::shared_ptr<svl::ScanTree> tree, int folderLimit) {
    stop();
    if (!tree || tree->nodeCount == 0 || tree->remote)
        return;
    if (!openInotify())
        return;
    m_mounts = svl::readMountInfo();
    m_folderLimit = folderLimit >= 0 ? folderLimit : int(readMaxUserWatches() * 0.6);
    m_tree = std::move(tree);
    const svl::ScanNode& root = m_tree->node(0);
    if (root.flags & svl::NodeFlag::VirtualRoot)
        forEachFolderChild(*m_tree, 0, [&](uint32_t child) {
            m_watchQueue.emplace(m_tree->node(child).allocated, child);
        });
    else if (root.isFolder())
        m_watchQueue.emplace(root.allocated, 0);
    watchSlice(m_generation);
}

void LiveMonitor::stop() {
    ++m_generation;
    closeFanotify();
    m_watchQueue = {};
    m_slicePosted = false;
    m_tree.reset();
    m_outOfWatches = false;
    if (m_inotifyNotifier) {
        m_inotifyNotifier->setEnabled(false);
        m_inotifyNotifier->deleteLater();
        m_inotifyNotifier = nullptr;
    }
    if (m_inotifyFd >= 0)
        ::close(m_inotifyFd);
    m_inotifyFd = -1;
    m_mounts.clear();
    m_watches.clear();
    m_watchOfPath.clear();
    m_lostWatches.clear();
    m_pendingPaths.clear();
    m_batch.reset();
    m_flushTimer.stop();
    m_remote = false;
    m_onDemand = false;
    const int watched = m_watchedCount;
    m_watchedCount = 0;
    m_folderLimit = 0;
    m_queued.clear();
    if (watched > 0)
        emit watchedChanged(0);
}

bool LiveMonitor::openInotify() {
    m_inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotifyFd < 0)
        return false;
    m_inotifyNotifier = new QSocketNotifier(m_inotifyFd, QSocketNotifier::Read, this);
    connect(m_inotifyNotifier, &QSocketNotifier::activated, this, &LiveMonitor::readInotifyEvents);
    return true;
}

void LiveMonitor::closeFanotify() {
    if (m_fanotifyNotifier) {
        // May run inside the notifier's own signal: let the event loop delete it.
        m_fanotifyNotifier->setEnabled(false);
        m_fanotifyNotifier->deleteLater();
        m_fanotifyNotifier = nullptr;
    }
    if (m_fanotifyFd >= 0)
        ::close(m_fanotifyFd);
    m_fanotifyFd = -1;
    for (const MarkedFileSystem& fs : m_fileSystems)
        ::close(fs.dirFd);
    m_fileSystems.clear();
    m_roots.clear();
    m_pendingRecords.clear();
    m_directoryMarks = 0;
}

// All or nothing: every root's file system must be marked (whole, or folder by folder where
// the kernel refuses a whole-file-system mark with EXDEV, as on Btrfs subvolumes) and its
// file handles must open, or nothing is kept.
bool LiveMonitor::startFanotify(const std::shared_ptr<svl::ScanTree>& tree) {
    if (!s_fanotifyEnabled || tree->remote)
        return false;
    // A root that could not be read is not watched: asking a dead mount about it would wait.
    const auto readable = [&](uint32_t id) {
        return !(tree->node(id).flags & svl::NodeFlag::Unreadable) && !mayNotAnswer(*tree, id, tree->fullPath(id));
    };
    std::vector<uint32_t> rootIds;
    const svl::ScanNode& root = tree->node(0);
    if (root.flags & svl::NodeFlag::VirtualRoot)
        forEachFolderChild(*tree, 0, [&](uint32_t child) {
            if (readable(child))
                rootIds.push_back(child);
        });
    else if (root.isFolder() && readable(0))
        rootIds.push_back(0);
    if (rootIds.empty())
        return false;

    // The removed entry's own handle tells a folder made again from the one that left.
    constexpr unsigned kInitFlags = FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_FID | FAN_REPORT_DIR_FID | FAN_REPORT_NAME;
    m_fanotifyFd = ::fanotify_init(kInitFlags | FAN_REPORT_TARGET_FID, O_RDONLY | O_CLOEXEC);
    if (m_fanotifyFd < 0 && errno == EINVAL)  // kernels before 5.17
        m_fanotifyFd = ::fanotify_init(kInitFlags, O_RDONLY | O_CLOEXEC);
    if (m_fanotifyFd < 0)
        return false;
    for (uint32_t id : rootIds) {
        const std::string path = tree->fullPath(id);
        char real[PATH_MAX];
        struct statfs info;
        if (!::realpath(path.c_str(), real) || ::statfs(real, &info) != 0) {
            closeFanotify();
            return false;
        }
        const uint64_t fsid = readAt<uint64_t>(reinterpret_cast<const char*>(&info.f_fsid));
        auto known = std::find_if(m_fileSystems.begin(), m_fileSystems.end(),
                                  [&](const MarkedFileSystem& fs) { return fs.fsid == fsid; });
        bool ok = true;
        if (known == m_fileSystems.end()) {
            const int dirFd = ::open(real, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dirFd < 0) {
                closeFanotify();
                return false;
            }
            m_fileSystems.push_back({fsid, dirFd, false});
            HandleBuffer handle;
            handle.header.handle_bytes = kMaxHandleBytes;
            int mountId = 0;
            ok = ::name_to_handle_at(AT_FDCWD, real, &handle.header, &mountId, 0) == 0;
            if (ok) {
                const int probe = ::open_by_handle_at(dirFd, &handle.header, O_PATH | O_DIRECTORY | O_CLOEXEC);
                ok = probe >= 0;
                if (ok)
                    ::close(probe);
            }
            if (ok && ::fanotify_mark(m_fanotifyFd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kFanotifyMask, AT_FDCWD, real) != 0) {
                ok = errno == EXDEV;
                m_fileSystems.back().perDirectory = ok;
                if (ok)
                    ok = markFolders(*tree, id, real);
            }
        } else if (known->perDirectory) {
            ok = markFolders(*tree, id, real);
        }
        if (!ok) {
            closeFanotify();
            return false;
        }
        m_roots.push_back({trimmedBytes(path), trimmedBytes(real)});
    }
    m_fanotifyNotifier = new QSocketNotifier(m_fanotifyFd, QSocketNotifier::Read, this);
    connect(m_fanotifyNotifier, &QSocketNotifier::activated, this, &LiveMonitor::readFanotifyEvents);
    return true;
}

// Marks the root folder (which must succeed) and then its subfolders, largest first, while
// the monitor's budget of folder marks lasts. Folders that cannot be marked are passed over.
bool LiveMonitor::markFolders(const svl::ScanTree& tree, uint32_t rootId, const char* realRoot) {
    constexpr unsigned kFlags = FAN_MARK_ADD | FAN_MARK_ONLYDIR | FAN_MARK_DONT_FOLLOW;
    if (::fanotify_mark(m_fanotifyFd, kFlags, kFanotifyMask, AT_FDCWD, realRoot) != 0)
        return false;
    ++m_directoryMarks;
    std::priority_queue<QueueEntry> heap;
    forEachFolderChild(tree, rootId, [&](uint32_t child) { heap.emplace(tree.node(child).allocated, child); });
    while (!heap.empty() && m_directoryMarks < kDirectoryMarkBudget) {
        const uint32_t id = heap.top().second;
        heap.pop();
        if (tree.node(id).flags & kUnwatchable)
            continue;
        const std::string path = tree.fullPath(id);
        if (mayNotAnswer(tree, id, path))
            continue;
        if (::fanotify_mark(m_fanotifyFd, kFlags, kFanotifyMask, AT_FDCWD, path.c_str()) != 0) {
            if (errno == ENOSPC)
                break;
            continue;
        }
        ++m_directoryMarks;
        forEachFolderChild(tree, id, [&](uint32_t child) { heap.emplace(tree.node(child).allocated, child); });
    }
    return true;
}

void LiveMonitor::readFanotifyEvents() {
    std::vector<char> buffer(kFanotifyBufferBytes);
    while (m_fanotifyFd >= 0) {
        const ssize_t got = ::read(m_fanotifyFd, buffer.data(), buffer.size());
        if (got <= 0)
            break;
        if (readFanotifyRemovals(buffer.data(), size_t(got), m_pendingRecords, kMaxPendingRecords) ==
            FanotifyRead::UnknownVersion) {
            closeFanotify();
            return;
        }
    }
    if (!m_pendingRecords.empty() && !m_flushTimer.isActive())
        m_flushTimer.start();
}

std::string LiveMonitor::folderOfHandle(const FanotifyRecord& record) {
    const MarkedFileSystem* fs = nullptr;
    for (const MarkedFileSystem& candidate : m_fileSystems)
        if (candidate.fsid == record.fsid)
            fs = &candidate;
    if (!fs && m_fileSystems.size() == 1)
        fs = &m_fileSystems.front();
    if (!fs || record.handle.size() > size_t(kMaxHandleBytes))
        return {};
    HandleBuffer handle;
    handle.header.handle_bytes = uint32_t(record.handle.size());
    handle.header.handle_type = record.handleType;
    std::memcpy(handle.header.f_handle, record.handle.data(), record.handle.size());
    const int fd = ::open_by_handle_at(fs->dirFd, &handle.header, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char link[4111];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(proc.c_str(), link, sizeof link);
    ::close(fd);
    if (length <= 0 || size_t(length) >= sizeof link)
        return {};
    std::string folder(link, size_t(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (folder.size() > kDeleted.size() && folder.ends_with(kDeleted))
        return {};  // the folder itself is gone; its own removal comes through its parent
    return folder;
}

std::string LiveMonitor::treePathOf(const std::string& fullPath) const {
    for (const Root& root : m_roots) {
        const std::string& real = root.realPath;
        const bool isRootFs = real == "/";
        if (!isRootFs && fullPath != real && !(fullPath.starts_with(real) && fullPath[real.size()] == '/'))
            continue;
        const std::string rest = isRootFs ? fullPath : fullPath.substr(real.size());
        return root.treePath == "/" ? rest : root.treePath + rest;
    }
    return {};
}

void LiveMonitor::resolveFanotifyRecord(Batch& batch, const FanotifyRecord& record) {
    std::string key(reinterpret_cast<const char*>(&record.fsid), sizeof record.fsid);
    key.append(reinterpret_cast<const char*>(&record.handleType), sizeof record.handleType);
    key += record.handle;
    auto it = batch.folders.find(key);
    if (it == batch.folders.end())
        it = batch.folders.emplace(std::move(key), folderOfHandle(record)).first;
    if (it->second.empty())
        return;
    const std::string treePath = treePathOf(joinPath(it->second, record.name));
    if (!treePath.empty())
        batch.paths.try_emplace(treePath, Removal{record.folder, record.target});
}

void LiveMonitor::readInotifyEvents() {
    alignas(struct inotify_event) char buffer[kInotifyBufferBytes];
    constexpr size_t kHeader = sizeof(struct inotify_event);
    while (m_inotifyFd >= 0) {
        const ssize_t got = ::read(m_inotifyFd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        const size_t total = size_t(got);
        size_t offset = 0;
        while (total - offset >= kHeader) {
            const auto event = readAt<struct inotify_event>(buffer + offset);
            if (event.len > total - offset - kHeader)
                break;
            const char* name = buffer + offset + kHeader;
            offset += kHeader + event.len;
            const auto watch = m_watches.find(event.wd);
            if (watch == m_watches.end())
                continue;
            const Watch self = watch->second;  // a copy: a move below may drop the watch
            const size_t nameLength = strnlen(name, event.len);
            const bool isFolder = event.mask & IN_ISDIR;
            if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) && nameLength > 0) {
                const std::string path = joinPath(self.path, std::string_view(name, nameLength));
                const auto child = isFolder ? m_watchOfPath.find(path) : m_watchOfPath.end();
                queueRemoved(path, isFolder, child != m_watchOfPath.end() ? m_watches.at(child->second).identity : std::string());
                if (isFolder && (event.mask & IN_MOVED_FROM))
                    dropMovedWatches(path);
            }
            if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
                queueRemoved(self.path, true, self.identity);
                if (event.mask & IN_MOVE_SELF)
                    dropMovedWatches(self.path);
                else
                    m_lostWatches.insert(self.path);
            }
            if (event.mask & IN_IGNORED)
                forgetWatch(event.wd);
        }
    }
}

// The first removal at a path in a batch is the one of the entry the tree shows.
void LiveMonitor::queueRemoved(const std::string& path, bool folder, const std::string& identity) {
    m_pendingPaths.try_emplace(path, Removal{folder, identity});
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

// Every path is checked once more here. A file found again (one an editor, make or a checkout
// replaced within the batch) stays in the tree; a folder found again is another folder unless
// it is the very one that left, so what the old one held leaves the tree; an entry found
// again as another kind leaves the tree.
void LiveMonitor::flushRemoved() {
    m_flushTimer.stop();
    if (m_batch)
        return;  // the batch being checked starts the timer again when it is done
    m_batch = std::make_unique<Batch>();
    // A batch holds at most kBatchSize records and paths: what a batch costs the window at
    // its end (the report, and freeing it) stays small. The rest follows in the next batch.
    const auto end = m_pendingRecords.begin() + std::min(m_pendingRecords.size(), kBatchSize);
    m_batch->records.assign(std::make_move_iterator(m_pendingRecords.begin()), std::make_move_iterator(end));
    m_pendingRecords.erase(m_pendingRecords.begin(), end);
    while (!m_pendingPaths.empty() && m_batch->paths.size() < kBatchSize)
        m_batch->paths.insert(m_pendingPaths.extract(m_pendingPaths.begin()));
    m_batch->lost = std::move(m_lostWatches);
    m_lostWatches.clear();
    m_mounts = svl::readMountInfo();
    checkSlice(m_generation);
}

void LiveMonitor::checkSlice(int generation) {
    if (generation != m_generation || !m_batch)
        return;
    Batch& batch = *m_batch;
    QElapsedTimer elapsed;
    elapsed.start();
    int steps = 0;
    // Each step checks one record or path; the rest waits for a slice posted behind the
    // window's own events.
    const auto sliceOver = [&] {
        if (++steps < kCheckedPerSlice && elapsed.elapsed() < m_sliceMs)
            return false;
        QTimer::singleShot(0, this, [this, generation] { checkSlice(generation); });
        return true;
    };
    // What is done with is freed as the slices go: freeing a whole batch at once takes long.
    while (m_fanotifyFd >= 0 && batch.resolved < batch.records.size()) {
        FanotifyRecord& record = batch.records[batch.resolved++];
        resolveFanotifyRecord(batch, record);
        record = {};
        if (sliceOver())
            return;
    }
    while (!batch.paths.empty()) {
        const auto entry = batch.paths.extract(batch.paths.begin());
        const std::string& path = entry.key();
        // A mount that may not answer, mounted over the path since, is not asked: what the
        // tree shows there is covered, gone from sight.
        struct stat info;
        if (pathMayNotAnswer(path) || ::lstat(path.c_str(), &info) != 0 ||
            bool(S_ISDIR(info.st_mode)) != entry.mapped().folder)
            batch.gone.push_back(path);
        else if (entry.mapped().folder && !sameObject(path, info, entry.mapped().identity))
            batch.replaced.push_back(path);
        if (!batch.paths.empty() && sliceOver())
            return;
    }
    // A watched folder left with its watch: the folder now at that path, if any, is watched
    // instead (a folder watched already keeps its watch).
    for (const std::string& path : batch.lost) {
        if (m_outOfWatches)
            break;
        if (!pathMayNotAnswer(path) && !addWatch(path) && errno == ENOSPC)
            m_outOfWatches = true;
    }
    // Taken before the reports: their receivers may stop or restart the monitor.
    const std::unique_ptr<Batch> done = std::move(m_batch);
    // A full batch more goes at once, behind the window's own events; less waits for the timer.
    if (m_pendingPaths.size() >= kBatchSize || m_pendingRecords.size() >= kBatchSize)
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == m_generation)
                flushRemoved();
        });
    else if ((!m_pendingPaths.empty() || !m_pendingRecords.empty()) && !m_flushTimer.isActive())
        m_flushTimer.start();
    if (!done->gone.empty()) {
        if (isSignalConnected(QMetaMethod::fromSignal(&LiveMonitor::pathsRemoved))) {
            QStringList texts;
            for (const std::string& path : done->gone)
                texts.append(QString::fromStdString(path));
            emit pathsRemoved(texts);
        }
        emit pathsRemovedBytes(std::move(done->gone));
    }
    if (!done->replaced.empty())
        emit foldersReplaced(done->replaced);
}

std::vector<std::string> LiveMonitor::contentsOf(const svl::ScanTree& tree, const std::vector<std::string>& folders) {
    std::vector<std::string> paths;
    for (const std::string& folder : folders) {
        const int64_t found = tree.findPath(folder.data(), folder.size());
        if (found < 0)
            continue;
        const svl::ScanNode& node = tree.node(uint32_t(found));
        for (uint32_t i = 0; i < node.childCount; ++i)
            if (!(tree.node(node.firstChild + i).flags & svl::NodeFlag::Removed))
                paths.push_back(tree.fullPath(node.firstChild + i));
    }
    return paths;
}

bool LiveMonitor::addWatch(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0)
        return false;
    const int descriptor = m_addWatchCall ? m_addWatchCall(m_inotifyFd, path.c_str(), kInotifyMask)
                                          : ::inotify_add_watch(m_inotifyFd, path.c_str(), kInotifyMask);
    if (descriptor == -1)
        return false;
    forgetWatch(descriptor);  // the kernel's descriptor of this folder may be known already
    m_watches[descriptor] = {path, inodeIdentity(info)};
    m_watchOfPath[path] = descriptor;
    return true;
}

void LiveMonitor::forgetWatch(int descriptor) {
    const auto watch = m_watches.find(descriptor);
    if (watch == m_watches.end())
        return;
    if (const auto byPath = m_watchOfPath.find(watch->second.path);
        byPath != m_watchOfPath.end() && byPath->second == descriptor)
        m_watchOfPath.erase(byPath);
    m_watches.erase(watch);
}

std::vector<int> LiveMonitor::watchesAtAndBelow(const std::string& folder) const {
    std::vector<int> found;
    if (const auto at = m_watchOfPath.find(folder); at != m_watchOfPath.end())
        found.push_back(at->second);
    const std::string below = folder == "/" ? folder : folder + '/';
    for (auto it = m_watchOfPath.lower_bound(below); it != m_watchOfPath.end() && it->first.starts_with(below); ++it)
        found.push_back(it->second);
    return found;
}

// The kernel keeps a watch on its folder wherever the folder goes; a watch whose path names
// the folder no longer would report another folder's changes under that path.
void LiveMonitor::dropMovedWatches(const std::string& folder) {
    const std::vector<int> descriptors = watchesAtAndBelow(folder);
    if (!descriptors.empty())
        m_mounts = svl::readMountInfo();
    for (const int descriptor : descriptors) {
        const Watch& watch = m_watches.at(descriptor);
        struct stat info;
        if (!pathMayNotAnswer(watch.path) && ::lstat(watch.path.c_str(), &info) == 0 &&
            inodeIdentity(info) == watch.identity)
            continue;  // still there: moved back, or renamed by the window, which renamed the watch too
        m_lostWatches.insert(watch.path);
        ::inotify_rm_watch(m_inotifyFd, descriptor);
        forgetWatch(descriptor);
    }
}

void LiveMonitor::watchFolder(const QString& path, bool withSubfolders, int maxFolders) {
    if (!m_onDemand || m_inotifyFd < 0 || !m_tree)
        return;
    m_mounts = svl::readMountInfo();
    if (m_remote)
        maxFolders = std::min(maxFolders, 200);
    const QByteArray utf8 = path.toUtf8();
    const int64_t found = m_tree->findPath(utf8.constData(), size_t(utf8.size()));
    if (found < 0)
        return;
    const uint32_t start = uint32_t(found);
    const svl::ScanNode& node = m_tree->node(start);
    if (!node.isFolder() || (node.flags & svl::NodeFlag::VirtualRoot))
        return;
    std::priority_queue<QueueEntry> heap;
    heap.emplace(node.allocated, start);
    int counted = 0;
    while (!heap.empty() && counted < maxFolders) {
        const uint32_t id = heap.top().second;
        heap.pop();
        const svl::ScanNode& folder = m_tree->node(id);
        if (folder.flags & kUnwatchable)
            continue;
        if (m_queued.insert(id).second)
            m_watchQueue.emplace(folder.allocated, id);
        ++counted;
        if (!withSubfolders)
            break;
        forEachFolderChild(*m_tree, id, [&](uint32_t child) { heap.emplace(m_tree->node(child).allocated, child); });
    }
    if (!m_watchQueue.empty())
        watchSlice(m_generation);
}

void LiveMonitor::renamePath(const std::string& oldPath, const std::string& newPath) {
    const auto renames = [&](const std::string& path) {
        return path.starts_with(oldPath) && (path.size() == oldPath.size() || path[oldPath.size()] == '/');
    };
    const std::vector<int> renamed = watchesAtAndBelow(oldPath);
    for (const int descriptor : renamed)
        m_watchOfPath.erase(m_watches.at(descriptor).path);
    for (const int descriptor : renamed) {
        std::string& path = m_watches.at(descriptor).path;
        path.replace(0, oldPath.size(), newPath);
        m_watchOfPath[path] = descriptor;
    }
    // fanotify reports real paths: a scanned top that moved has a new real path too.
    for (Root& root : m_roots) {
        if (!renames(root.treePath))
            continue;
        root.treePath.replace(0, oldPath.size(), newPath);
        char real[PATH_MAX];
        if (::realpath(root.treePath.c_str(), real))
            root.realPath = trimmedBytes(real);
    }
}

void LiveMonitor::watchSlice(int generation) {
    if (generation != m_generation || !m_tree)
        return;
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        if (m_watchQueue.empty()) {
            if (!m_onDemand)
                m_tree.reset();
            emit watchedChanged(m_watchedCount);
            return;
        }
        const uint32_t id = m_watchQueue.top().second;
        m_watchQueue.pop();
        const svl::ScanNode& folder = m_tree->node(id);
        if (folder.flags & kUnwatchable)
            continue;
        if (!m_outOfWatches && m_watchedCount < m_folderLimit) {
            // One that may not answer is never touched; its subfolders are decided in turn.
            const std::string path = m_tree->fullPath(id);
            const bool touched = !mayNotAnswer(*m_tree, id, path);
            if (touched && addWatch(path))
                ++m_watchedCount;
            else if (touched && errno == ENOSPC)
                m_outOfWatches = true;
        }
        if (!m_onDemand)
            forEachFolderChild(*m_tree, id, [&](uint32_t child) { m_watchQueue.emplace(m_tree->node(child).allocated, child); });
        if (elapsed.elapsed() >= m_sliceMs) {
            emit watchedChanged(m_watchedCount);
            // A slice run at once by a request while another waits leaves the rest to that one.
            if (!m_slicePosted) {
                m_slicePosted = true;
                QTimer::singleShot(0, this, [this, generation] {
                    if (generation != m_generation)
                        return;
                    m_slicePosted = false;
                    watchSlice(generation);
                });
            }
            return;
        }
    }
}
