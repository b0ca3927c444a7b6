#include "integration/LiveMonitor.h"

#include "core/tree/ScanTree.h"

#include <QElapsedTimer>
#include <QFile>
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
#include <unistd.h>

namespace {

bool s_fanotifyEnabled = true;

constexpr size_t kMaxPendingRecords = 200000;
constexpr size_t kFanotifyBufferBytes = 0x40000;
constexpr size_t kInotifyBufferBytes = 16384;
constexpr int kMaxHandleBytes = 128;
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

template <typename T>
T readAt(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
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
    m_watches.clear();
    m_pendingPaths.clear();
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
    std::vector<uint32_t> rootIds;
    const svl::ScanNode& root = tree->node(0);
    if (root.flags & svl::NodeFlag::VirtualRoot)
        forEachFolderChild(*tree, 0, [&](uint32_t child) { rootIds.push_back(child); });
    else if (root.isFolder())
        rootIds.push_back(0);
    if (rootIds.empty())
        return false;

    m_fanotifyFd = ::fanotify_init(FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_FID | FAN_REPORT_DIR_FID | FAN_REPORT_NAME,
                                   O_RDONLY | O_CLOEXEC);
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
        if (::fanotify_mark(m_fanotifyFd, kFlags, kFanotifyMask, AT_FDCWD, tree.fullPath(id).c_str()) != 0) {
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
    constexpr size_t kMetaSize = sizeof(struct fanotify_event_metadata);
    while (m_fanotifyFd >= 0) {
        const ssize_t got = ::read(m_fanotifyFd, buffer.data(), buffer.size());
        if (got <= 0)
            break;
        const char* data = buffer.data();
        const size_t total = size_t(got);
        size_t offset = 0;
        while (total - offset >= kMetaSize) {
            const auto meta = readAt<struct fanotify_event_metadata>(data + offset);
            if (meta.event_len < kMetaSize || meta.event_len > total - offset)
                break;
            if (meta.vers != FANOTIFY_METADATA_VERSION) {
                closeFanotify();
                return;
            }
            if (meta.fd >= 0)
                ::close(meta.fd);
            if ((meta.mask & (FAN_DELETE | FAN_MOVED_FROM)) && meta.metadata_len >= kMetaSize) {
                // Reads only bytes in [event + metadata_len, event + event_len).
                const char* event = data + offset;
                size_t pos = meta.metadata_len;
                while (pos + 4 <= meta.event_len) {
                    const uint8_t type = uint8_t(event[pos]);
                    const uint16_t length = readAt<uint16_t>(event + pos + 2);
                    if (length <= 3 || length > meta.event_len - pos)
                        break;
                    if (type == FAN_EVENT_INFO_TYPE_DFID_NAME && length >= 20) {
                        const char* info = event + pos;
                        const uint32_t handleBytes = readAt<uint32_t>(info + 12);
                        if (handleBytes <= kMaxHandleBytes && 20 + size_t(handleBytes) < length) {
                            const char* name = info + 20 + handleBytes;
                            const size_t room = length - 20 - handleBytes;
                            const size_t nameLength = strnlen(name, room);
                            const bool usable = nameLength > 0 && nameLength < room && !(nameLength == 1 && name[0] == '.');
                            if (usable && m_pendingRecords.size() < kMaxPendingRecords)
                                m_pendingRecords.push_back({readAt<uint64_t>(info + 4), std::string(info + 20, handleBytes),
                                                            readAt<int32_t>(info + 16), std::string(name, nameLength)});
                        }
                    }
                    pos += length;
                }
            }
            offset += meta.event_len;
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

void LiveMonitor::resolveFanotifyRecords() {
    const std::vector<FanotifyRecord> records = std::move(m_pendingRecords);
    m_pendingRecords.clear();
    std::unordered_map<std::string, std::string> folders;  // per batch: handle key -> folder path
    for (const FanotifyRecord& record : records) {
        std::string key(reinterpret_cast<const char*>(&record.fsid), sizeof record.fsid);
        key.append(reinterpret_cast<const char*>(&record.handleType), sizeof record.handleType);
        key += record.handle;
        auto it = folders.find(key);
        if (it == folders.end())
            it = folders.emplace(std::move(key), folderOfHandle(record)).first;
        if (it->second.empty())
            continue;
        std::string treePath = treePathOf(joinPath(it->second, record.name));
        if (!treePath.empty())
            m_pendingPaths.insert(std::move(treePath));
    }
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
            const std::string& folder = watch->second;
            const size_t nameLength = strnlen(name, event.len);
            if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) && nameLength > 0)
                queueRemoved(joinPath(folder, std::string_view(name, nameLength)));
            if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF))
                queueRemoved(folder);
            if (event.mask & IN_IGNORED)
                m_watches.erase(watch);
        }
    }
}

void LiveMonitor::queueRemoved(const std::string& path) {
    m_pendingPaths.insert(path);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

// Every path is checked once more here: an entry that exists again (a file an editor, make
// or a checkout replaced within the batch) stays in the tree.
void LiveMonitor::flushRemoved() {
    if (m_fanotifyFd >= 0)
        resolveFanotifyRecords();
    if (m_pendingPaths.empty())
        return;
    const std::set<std::string> pending = std::move(m_pendingPaths);
    m_pendingPaths.clear();
    std::vector<std::string> gone;
    for (const std::string& path : pending) {
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0)
            gone.push_back(path);
    }
    if (gone.empty())
        return;
    QStringList texts;
    for (const std::string& path : gone)
        texts.append(QString::fromStdString(path));
    emit pathsRemoved(texts);
    emit pathsRemovedBytes(gone);
}

void LiveMonitor::watchFolder(const QString& path, bool withSubfolders, int maxFolders) {
    if (!m_onDemand || m_inotifyFd < 0 || !m_tree)
        return;
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
    for (auto& [descriptor, folder] : m_watches)
        if (renames(folder))
            folder.replace(0, oldPath.size(), newPath);
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
            std::string path = m_tree->fullPath(id);
            const int wd = ::inotify_add_watch(m_inotifyFd, path.c_str(), kInotifyMask);
            if (wd >= 0) {
                m_watches[wd] = std::move(path);
                ++m_watchedCount;
            } else if (errno == ENOSPC) {
                m_outOfWatches = true;
            }
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
