#include "ui/mainwindow/FileCommandPlanner.h"

#include "app/DirectionalText.h"
#include "app/PathText.h"
#include "app/ValueFormat.h"
#include "core/analysis/Parallel.h"
#include "core/scan/MountTable.h"
#include "core/tree/ScanTree.h"
#include "core/tree/TextConversion.h"
#include "integration/SafeRemoval.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("MainWindow", text); }

QString nameOrCount(const QList<SelectedItem>& items, const char* one, const char* many)
{
    return items.size() == 1 ? tr(one).arg(isolateShowingControls(items.first().name))
                             : tr(many).arg(formatNumber(uint64_t(items.size())));
}

// Node ids seen so far: a byte per node when many ids are expected, else a hash set, so
// that a million selected rows cost no hashing and one row no array.
class IdSet {
public:
    IdSet(uint32_t nodeCount, size_t expected)
    {
        if (expected >= nodeCount / 64)
            m_dense.assign(nodeCount, 0);
    }
    // True when id was not in the set yet.
    bool insert(uint32_t id)
    {
        if (m_dense.empty())
            return m_sparse.insert(id).second;
        return !std::exchange(m_dense[id], 1);
    }
    bool contains(uint32_t id) const { return m_dense.empty() ? m_sparse.count(id) > 0 : m_dense[id] != 0; }

private:
    std::vector<uint8_t> m_dense;
    std::unordered_set<uint32_t> m_sparse;
};

// body(i) for every i below count, in blocks on all cores. Each call must write only what
// belongs to its own i.
template <class Body>
void forEachOnAllCores(size_t count, const Body& body)
{
    svl::parallelForRanges(count, 4096, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i)
            body(i);
    });
}

}  // namespace

QList<SelectedItem> FileCommandPlanner::collect(const std::vector<uint32_t>& ids, bool includeGroupRows,
                                                bool includeRoot) const
{
    const svl::ScanTree* tree = m_context.displayed;
    if (!tree || tree->nodeCount == 0)
        return {};
    std::vector<uint32_t> chosen;
    IdSet seen(tree->nodeCount, ids.size());
    for (uint32_t row : ids) {
        uint32_t id = row;
        if (row >= tree->nodeCount) {
            if (!includeGroupRows || row - tree->nodeCount >= tree->nodeCount)
                continue;
            id = row - tree->nodeCount;
        }
        const svl::ScanNode& node = tree->node(id);
        if ((node.flags & svl::NodeFlag::Removed) || (id == 0 && !includeRoot) || !seen.insert(id))
            continue;
        chosen.push_back(id);
    }
    // The texts are the costly part; each item is filled by one thread. A path is its
    // folder's path, "/" and its name, and an ASCII "/" ends any byte sequence, so each block
    // converts a folder's path once and its items add their converted names.
    QList<SelectedItem> items(qsizetype(chosen.size()));
    SelectedItem* out = items.data();
    const bool virtualRoot = tree->node(0).flags & svl::NodeFlag::VirtualRoot;
    constexpr size_t kBlock = 4096;
    svl::parallelFor((chosen.size() + kBlock - 1) / kBlock, [&](uint64_t block) {
        std::unordered_map<uint32_t, QString> folderTexts;  // empty: the folder's path is empty
        std::u16string units;                               // pathText's conversion, buffer reused
        const size_t end = std::min(chosen.size(), size_t(block + 1) * kBlock);
        for (size_t i = size_t(block) * kBlock; i < end; ++i) {
            const uint32_t id = chosen[i];
            const svl::ScanNode& node = tree->node(id);
            const std::string_view nameBytes = node.nameView();
            units.clear();
            svl::appendUtf8AsUtf16(units, nameBytes.size(), nameBytes.data(), false);
            SelectedItem& item = out[i];
            item.id = id;
            item.isFolder = node.isFolder();
            item.name = QString(reinterpret_cast<const QChar*>(units.data()), qsizetype(units.size()));
            if (id != 0 && !(virtualRoot && node.parent == 0)) {
                auto [folder, fresh] = folderTexts.try_emplace(node.parent);
                if (fresh) {
                    std::string bytes = tree->fullPath(node.parent);
                    if (!bytes.empty() && bytes.back() != '/')
                        bytes += '/';
                    if (!bytes.empty())
                        folder->second = pathText(bytes);
                }
                if (!folder->second.isEmpty()) {
                    item.path.reserve(folder->second.size() + item.name.size());
                    item.path.append(folder->second).append(item.name);
                    continue;
                }
            }
            item.path = pathText(tree->fullPath(id));
        }
    });
    return items;
}

QString FileCommandPlanner::changeBlockedReason() const
{
    if (m_context.imported)
        return tr("This list was imported from a file and describes files of another computer, so they can't be "
                  "changed from here.");
    if (m_context.jobRunning)
        return tr("Files can't be changed while a scan is running.");
    return {};
}

bool FileCommandPlanner::namesArePlain(uint32_t id) const
{
    const svl::ScanTree& tree = *m_context.displayed;
    const bool virtualRoot = tree.node(0).flags & svl::NodeFlag::VirtualRoot;
    for (uint32_t at = id; at != 0; at = tree.node(at).parent) {
        // Under a virtual root the top-level names are whole paths, checked with the full path.
        if (virtualRoot && tree.node(at).parent == 0)
            break;
        const std::string_view name = tree.node(at).nameView();
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
            name.find('\0') != std::string_view::npos)
            return false;
    }
    return true;
}

FileCommandPlanner::PathVerdict FileCommandPlanner::pathVerdict(const SelectedItem& item, const std::string& bytes,
                                                                PathUse use) const
{
    bool same;
    if (use == PathUse::Bytes) {
        thread_local std::string encoded;  // reused: screening a million items allocates nothing here
        encoded.clear();
        appendPathBytes(encoded, item.path);
        same = encoded == bytes;
    } else {
        same = item.path.toUtf8() == QByteArray::fromStdString(bytes);
    }
    if (!same)
        return PathVerdict::NotText;
    if (use != PathUse::Clipboard && (!saferemove::isCleanAbsolutePath(bytes) || !namesArePlain(item.id)))
        return PathVerdict::NotPlain;
    return PathVerdict::Plain;
}

QString FileCommandPlanner::pathRefusal(PathVerdict verdict)
{
    return verdict == PathVerdict::NotText
               ? tr("Its name isn't valid text, so it can't be handed on without changing it.")
               : tr("Its path isn't a plain absolute path on this computer.");
}

QList<SelectedItem> FileCommandPlanner::screenPaths(const QList<SelectedItem>& items, QList<RefusedItem>* refused,
                                                    PathUse use) const
{
    std::vector<PathVerdict> verdicts(size_t(items.size()));
    forEachOnAllCores(verdicts.size(), [&](size_t i) {
        const SelectedItem& item = items[qsizetype(i)];
        verdicts[i] = pathVerdict(item, m_context.displayed->fullPath(item.id), use);
    });
    if (std::all_of(verdicts.begin(), verdicts.end(), [](PathVerdict v) { return v == PathVerdict::Plain; }))
        return items;  // shared, not copied
    QList<SelectedItem> accepted;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (verdicts[size_t(i)] == PathVerdict::Plain)
            accepted.append(items[i]);
        else if (refused)
            refused->append({items[i], pathRefusal(verdicts[size_t(i)])});
    }
    return accepted;
}

bool FileCommandPlanner::hasMountBelow(uint32_t id) const
{
    constexpr uint16_t kMount = svl::NodeFlag::OtherDevice | svl::NodeFlag::BindMount;
    const svl::ScanTree& tree = *m_context.displayed;
    if (!tree.node(id).isFolder())
        return tree.node(id).flags & kMount;
    if (tree.node(id).flags & kMount)
        return true;
    // Only folders with children go on the stack: a folder of a million files is one pass.
    std::vector<uint32_t> stack{id};
    while (!stack.empty()) {
        const svl::ScanNode& node = tree.node(stack.back());
        stack.pop_back();
        for (uint32_t i = 0; i < node.childCount; ++i) {
            const svl::ScanNode& child = tree.node(node.firstChild + i);
            if (child.flags & kMount)
                return true;
            if (child.childCount != 0)
                stack.push_back(node.firstChild + i);
        }
    }
    return false;
}

QList<SelectedItem> FileCommandPlanner::screenForRemoval(const QList<SelectedItem>& items,
                                                         QList<RefusedItem>* refused) const
{
    const svl::ScanTree& tree = *m_context.displayed;
    IdSet chosen(tree.nodeCount, size_t(items.size()));
    for (const SelectedItem& item : items)
        chosen.insert(item.id);
    std::vector<uint8_t> inside(size_t(items.size()));
    forEachOnAllCores(inside.size(), [&](size_t i) {
        const uint32_t id = items[qsizetype(i)].id;
        bool held = id != 0 && chosen.contains(0);
        for (uint32_t at = tree.node(id).parent; at != 0 && !held; at = tree.node(at).parent)
            held = chosen.contains(at);
        inside[i] = held;
    });
    QList<SelectedItem> kept;
    if (std::find(inside.begin(), inside.end(), 1) != inside.end()) {
        for (qsizetype i = 0; i < items.size(); ++i)
            if (!inside[size_t(i)])
                kept.append(items[i]);
    }
    // Read only from here on (no detaching copies): the list itself while no item is dropped.
    const QList<SelectedItem>& outermost = kept.isEmpty() ? items : kept;
    // The scan may not have marked every mount (a bind mount of the same file system, one
    // made after the scan), so the mount table is asked as well.
    const std::vector<svl::MountEntry> mounts = svl::readMountInfo();
    auto holdsMountPoint = [&mounts](const std::string& path) {
        for (const svl::MountEntry& mount : mounts) {
            if (svl::isPathWithin(mount.mountPoint, path))
                return true;
        }
        return false;
    };
    // One pass on all cores: each path is built once, screened as screenPaths does and
    // looked for in the mount table. A path is built as the tree does, from its folder's path
    // (made once per block) and its name, in one reused buffer.
    std::vector<PathVerdict> verdicts(size_t(outermost.size()));
    std::vector<uint8_t> mounted(verdicts.size());
    const bool virtualRoot = tree.node(0).flags & svl::NodeFlag::VirtualRoot;
    constexpr size_t kBlock = 4096;
    svl::parallelFor((verdicts.size() + kBlock - 1) / kBlock, [&](uint64_t block) {
        std::unordered_map<uint32_t, std::string> folderPaths;
        std::string bytes;
        const size_t end = std::min(verdicts.size(), size_t(block + 1) * kBlock);
        for (size_t i = size_t(block) * kBlock; i < end; ++i) {
            const SelectedItem& item = outermost[qsizetype(i)];
            const svl::ScanNode& node = tree.node(item.id);
            if (item.id != 0 && !(virtualRoot && node.parent == 0)) {
                auto [folder, fresh] = folderPaths.try_emplace(node.parent);
                if (fresh)
                    folder->second = tree.fullPath(node.parent);
                bytes = folder->second;
                if (bytes.empty() || bytes.back() != '/')
                    bytes += '/';
                bytes.append(node.nameView());
            } else {
                bytes = tree.fullPath(item.id);
            }
            verdicts[i] = pathVerdict(item, bytes, PathUse::Bytes);
            mounted[i] = verdicts[i] == PathVerdict::Plain && (hasMountBelow(item.id) || holdsMountPoint(bytes));
        }
    });
    if (std::all_of(verdicts.begin(), verdicts.end(), [](PathVerdict v) { return v == PathVerdict::Plain; }) &&
        std::find(mounted.begin(), mounted.end(), 1) == mounted.end())
        return outermost;
    // Refusals in the order of the two screens: paths first, then mounts.
    QList<SelectedItem> accepted;
    for (qsizetype i = 0; i < outermost.size(); ++i)
        if (verdicts[size_t(i)] != PathVerdict::Plain && refused)
            refused->append({outermost[i], pathRefusal(verdicts[size_t(i)])});
    for (qsizetype i = 0; i < outermost.size(); ++i) {
        if (verdicts[size_t(i)] != PathVerdict::Plain)
            continue;
        if (!mounted[size_t(i)])
            accepted.append(outermost[i]);
        else if (refused)
            refused->append({outermost[i], tr("It is or holds another file system or a mount point, which is never "
                                              "removed from here.")});
    }
    return accepted;
}

QString FileCommandPlanner::scanTopOf(uint32_t id) const
{
    const svl::ScanTree& tree = *m_context.displayed;
    const bool virtualRoot = tree.node(0).flags & svl::NodeFlag::VirtualRoot;
    uint32_t top = id;
    while (top != 0 && !(virtualRoot && tree.node(top).parent == 0))
        top = tree.node(top).parent;
    const std::string path = tree.fullPath(top);
    const QString topPath = pathText(path);
    return top == id ? QFileInfo(topPath).absolutePath() : topPath;
}

uint64_t FileCommandPlanner::hiddenByFilter(const QList<SelectedItem>& items) const
{
    const svl::ScanTree* shown = m_context.displayed;
    const svl::ScanTree* full = m_context.full;
    if (!shown || !full || shown == full)
        return 0;
    uint64_t hidden = 0;
    for (const SelectedItem& item : items) {
        if (!item.isFolder)
            continue;
        const std::string path = shown->fullPath(item.id);
        const int64_t there = full->findPath(path.data(), path.size());
        if (there <= 0)
            continue;
        const svl::ScanNode& a = full->node(uint32_t(there));
        const svl::ScanNode& b = shown->node(item.id);
        const uint64_t all = uint64_t(a.filesBelow) + a.foldersBelow;
        const uint64_t seen = uint64_t(b.filesBelow) + b.foldersBelow;
        hidden += all > seen ? all - seen : 0;
    }
    return hidden;
}

QString FileCommandPlanner::trashQuestion(const QList<SelectedItem>& items)
{
    return nameOrCount(items, QT_TR_NOOP("Move \"%1\" to the Trash?"), QT_TR_NOOP("Move %1 items to the Trash?"));
}

QString FileCommandPlanner::deleteQuestion(const QList<SelectedItem>& items)
{
    return nameOrCount(items, QT_TR_NOOP("Permanently erase \"%1\"?"), QT_TR_NOOP("Permanently erase %1 items?"));
}

QString FileCommandPlanner::notTrashableQuestion(const QList<SelectedItem>& items)
{
    return nameOrCount(items, QT_TR_NOOP("\"%1\" can't be moved to the Trash."),
                       QT_TR_NOOP("%1 items can't be moved to the Trash."));
}

QString FileCommandPlanner::adminQuestion(const QList<SelectedItem>& items)
{
    return nameOrCount(items, QT_TR_NOOP("You don't have permission to delete \"%1\"."),
                       QT_TR_NOOP("You don't have permission to delete %1 of these items."));
}

QString FileCommandPlanner::adminDetail(const QList<SelectedItem>& items)
{
    return tr("Do you want to delete %1 permanently as Administrator? You will be asked for your password. You "
              "can't undo this action.")
        .arg(items.size() == 1 ? tr("it") : tr("them"));
}

QString FileCommandPlanner::withHiddenNote(const QString& detail, const QList<SelectedItem>& items,
                                           Removal removal) const
{
    const uint64_t hidden = hiddenByFilter(items);
    if (hidden == 0)
        return detail;
    const QString note = removal == Removal::Trash
                             ? tr("The filter hides %1 more items inside, which go to the Trash too.")
                             : tr("The filter hides %1 more items inside, which are deleted too.");
    return detail + "\n\n" + note.arg(formatNumber(hidden));
}

QString FileCommandPlanner::refusalText(const QList<RefusedItem>& refused)
{
    QStringList lines;
    for (const RefusedItem& r : refused)
        lines.append(tr("\"%1\": %2").arg(isolatePathShowingControls(r.item.path), r.reason));
    return lines.join('\n');
}

QList<QString> FileCommandPlanner::terminalFolders(const QList<SelectedItem>& items)
{
    QList<QString> folders;
    for (const SelectedItem& item : items) {
        const QString folder = item.isFolder ? item.path : QFileInfo(item.path).absolutePath();
        if (!folders.contains(folder))
            folders.append(folder);
    }
    return folders;
}

QString FileCommandPlanner::propertiesText(const QList<SelectedItem>& items) const
{
    const svl::ScanTree& tree = *m_context.displayed;
    QStringList lines;
    auto allocatedOf = [](const svl::ScanNode& node) {
        return (node.flags & svl::NodeFlag::ExtraHardLink) ? uint64_t(0) : node.allocated;
    };
    if (items.size() == 1) {
        const SelectedItem& item = items.first();
        const svl::ScanNode& node = tree.node(item.id);
        lines << tr("Name: %1").arg(isolateShowingControls(item.name))
              << tr("Location: %1").arg(isolatePathShowingControls(QFileInfo(item.path).absolutePath()))
              << tr("Size: %1").arg(isolateText(formatSize(node.size)))
              << tr("Allocated: %1").arg(isolateText(formatSize(allocatedOf(node))))
              << tr("Modified: %1").arg(isolateText(formatDateTime(node.modified)));
        if (item.isFolder)
            lines << tr("Contains: %1 files, %2 folders")
                         .arg(formatNumber(node.filesBelow), formatNumber(node.foldersBelow));
        return lines.join('\n');
    }
    uint64_t size = 0, allocated = 0, files = 0, folders = 0;
    for (const SelectedItem& item : items) {
        const svl::ScanNode& node = tree.node(item.id);
        size += node.size;
        allocated += allocatedOf(node);
        files += item.isFolder ? node.filesBelow : 1;
        folders += item.isFolder ? uint64_t(node.foldersBelow) + 1 : 0;
    }
    lines << tr("Selection: %1 items").arg(formatNumber(uint64_t(items.size())))
          << tr("Size: %1").arg(isolateText(formatSize(size)))
          << tr("Allocated: %1").arg(isolateText(formatSize(allocated)))
          << tr("Contains: %1 files, %2 folders").arg(formatNumber(files), formatNumber(folders));
    return lines.join('\n');
}

uint64_t FileCommandPlanner::rowSize(uint32_t row) const
{
    const svl::ScanTree& tree = *m_context.displayed;
    if (row >= tree.nodeCount)
        return tree.directFilesSummary(row - tree.nodeCount).size;
    return tree.node(row).size;
}

QString FileCommandPlanner::sizeListing(std::vector<uint32_t> ids, bool listMode, const RowAccess& rows) const
{
    const svl::ScanTree* tree = m_context.displayed;
    if (!tree || tree->nodeCount == 0)
        return {};
    auto bySize = [this](std::vector<uint32_t>& list) {
        std::stable_sort(list.begin(), list.end(),
                         [this](uint32_t a, uint32_t b) { return rowSize(a) > rowSize(b); });
    };
    auto depthOf = [tree](uint32_t row) {
        int depth = 0;
        uint32_t id = row;
        if (row >= tree->nodeCount) {
            id = row - tree->nodeCount;
            depth = 1;
        }
        for (; id != 0; id = tree->node(id).parent)
            ++depth;
        return depth;
    };
    bySize(ids);
    // Depth first without recursion: a stack of (row, depth), children pushed in reverse.
    std::vector<std::pair<uint32_t, int>> stack;
    for (auto it = ids.rbegin(); it != ids.rend(); ++it)
        stack.emplace_back(*it, listMode ? 0 : depthOf(*it));
    QStringList lines;
    while (!stack.empty()) {
        const auto [row, depth] = stack.back();
        stack.pop_back();
        const bool group = row >= tree->nodeCount;
        const uint32_t id = group ? row - tree->nodeCount : row;
        const bool folder = !group && tree->node(id).isFolder();
        QString label;
        if (group) {
            label = rows.groupLabel ? rows.groupLabel(row) : QString();
        } else if (listMode || folder) {
            const std::string path = tree->fullPath(id);
            label = QString::fromUtf8(path.data(), qsizetype(path.size()));
        } else {
            const std::string_view name = tree->node(id).nameView();
            label = QString::fromUtf8(name.data(), qsizetype(name.size()));
        }
        lines.append(formatBinarySize(rowSize(row)).rightJustified(20, ' ') + QString(2 * depth + 2, ' ') + label);
        if (!listMode && (folder || group) && rows.isExpanded && rows.childRows && rows.isExpanded(row)) {
            std::vector<uint32_t> children = rows.childRows(row);
            bySize(children);
            for (auto it = children.rbegin(); it != children.rend(); ++it)
                stack.emplace_back(*it, depth + 1);
        }
    }
    return lines.isEmpty() ? QString() : lines.join('\n') + '\n';
}
