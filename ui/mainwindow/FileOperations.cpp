#include "ui/mainwindow/FileOperations.h"

#include "app/DirectionalText.h"
#include "app/PathText.h"
#include "app/ValueFormat.h"
#include "core/analysis/Parallel.h"
#include "core/scan/MountTable.h"
#include "core/tree/ScanTree.h"
#include "integration/FileHelpers.h"
#include "integration/SafeRemoval.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("MainWindow", text); }

enum class Presence { Present, Gone, Unknown };

// Looks at the path's own bytes, links not followed: a name that isn't valid UTF-8 is
// still the scanned item, not a look-alike.
Presence presenceOf(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0)
        return Presence::Present;
    return errno == ENOENT || errno == ENOTDIR ? Presence::Gone : Presence::Unknown;
}

QString errnoText(int code) { return QString::fromStdString(std::generic_category().message(code)); }

// The scanned tops at or below a renamed item go by its new path: an administrator copy
// starts its walks below a link at them.
void renameScannedTops(svl::ScanTree* tree, const std::string& oldPath, const std::string& newPath)
{
    std::vector<std::pair<std::string, svl::ScanTree::FolderIdentity>> moved;
    for (auto top = tree->scannedTops.begin(); top != tree->scannedTops.end();) {
        const std::string& path = top->first;
        if (svl::isPathWithin(path, oldPath)) {
            moved.emplace_back(newPath + path.substr(oldPath.size()), top->second);
            top = tree->scannedTops.erase(top);
        } else {
            ++top;
        }
    }
    for (auto& [path, identity] : moved)
        tree->scannedTops[path] = identity;
}

// The failures of one command as one message: the first few named, then their count.
class Failures {
public:
    void add(const QString& line)
    {
        if (m_named.size() < FileOperations::kFailuresNamed)
            m_named.append(line);
        ++m_count;
    }
    qsizetype count() const { return m_count; }
    QString text() const
    {
        QString text = m_named.join('\n');
        if (m_count > m_named.size())
            text += '\n' + tr("and %1 more").arg(formatNumber(uint64_t(m_count - m_named.size())));
        return text;
    }

private:
    QStringList m_named;
    qsizetype m_count = 0;
};

QString notTrashableDetail()
{
    return tr("This can happen on a network volume that doesn't support the Trash. Do you want to delete the item "
              "immediately instead? You can't undo this action.");
}

}  // namespace

FileOperations::FileOperations(svl::ScanTree* displayed, svl::ScanTree* full, const FileCommandContext& context,
                               const FileActionBackend& backend, const FileOperationHooks& hooks, bool elevated)
    : m_displayed(displayed), m_full(full), m_planner(context), m_backend(backend), m_hooks(hooks), m_elevated(elevated)
{
}

QList<QString> FileOperations::pathsOf(const QList<SelectedItem>& items) const
{
    QList<QString> paths;
    for (const SelectedItem& item : items)
        paths.append(item.path);
    return paths;
}

void FileOperations::watch(const QString& folder, bool subfolders)
{
    if (m_hooks.watchFolder)
        m_hooks.watchFolder(folder, subfolders);
}

void FileOperations::readOffGui(qsizetype count, const std::function<void()>& work) const
{
    if (count >= kChecksOffGui && m_hooks.readOffGui)
        m_hooks.readOffGui(work);
    else
        work();
}

void FileOperations::removeOffGui(const QString& label, RemovalProgress& progress,
                                  const std::function<void()>& work) const
{
    if (m_hooks.removeOffGui)
        m_hooks.removeOffGui(label, progress, work);
    else
        work();
}

QList<SelectedItem> FileOperations::acceptedForRemoval(const QList<SelectedItem>& items, const QString& failureTitle)
{
    if (items.isEmpty())
        return {};
    if (const QString reason = m_planner.changeBlockedReason(); !reason.isEmpty()) {
        m_hooks.showError(failureTitle, reason);
        return {};
    }
    QList<RefusedItem> refused;
    QList<SelectedItem> accepted;
    readOffGui(items.size(), [&] { accepted = m_planner.screenForRemoval(items, &refused); });
    if (!refused.isEmpty())
        m_hooks.showError(failureTitle, FileCommandPlanner::refusalText(refused));
    return accepted;
}

QList<SelectedItem> FileOperations::acceptedPaths(const QList<SelectedItem>& items, FileCommandPlanner::PathUse use)
{
    QList<RefusedItem> refused;
    QList<SelectedItem> accepted = m_planner.screenPaths(items, &refused, use);
    if (!refused.isEmpty())
        m_hooks.showError(tr("Some items were left out"), FileCommandPlanner::refusalText(refused));
    return accepted;
}

FileOperations::CheckedItem FileOperations::CheckedItems::at(qsizetype i) const
{
    const SelectedItem& item = m_items[i];
    RemovalTarget place = m_places[m_placeOf[size_t(i)]];
    place.path = item.path;
    place.item = m_own[size_t(i)];
    return {item, std::move(place)};
}

void FileOperations::CheckedItems::append(const CheckedItem& checked)
{
    m_items.append(checked.item);
    m_placeOf.push_back(uint32_t(m_places.size()));
    m_places.push_back(checked.place);
    m_own.push_back(checked.place.item);
}

int FileOperations::capturePlace(const SelectedItem& item, RemovalTarget* place) const
{
    const QString top = m_planner.scanTopOf(item.id);
    std::optional<saferemove::FolderIdentity> scanned;
    if (const auto found = m_displayed->scannedTops.find(pathBytes(top)); found != m_displayed->scannedTops.end())
        scanned = saferemove::FolderIdentity{found->second.device, found->second.inode};
    // The mounts the scan entered between the top and the item's parent.
    std::vector<saferemove::EnteredMount> mounts;
    const bool virtualRoot = m_displayed->node(0).flags & svl::NodeFlag::VirtualRoot;
    const bool isTop = item.id == 0 || (virtualRoot && m_displayed->node(item.id).parent == 0);
    if (!isTop) {
        for (uint32_t at = m_displayed->node(item.id).parent; at != 0 && !(virtualRoot && m_displayed->node(at).parent == 0);
             at = m_displayed->node(at).parent) {
            if (const auto m = m_displayed->enteredMounts.find(at); m != m_displayed->enteredMounts.end())
                mounts.push_back({m_displayed->fullPath(at), m->second.device, m->second.inode, m->second.mountId});
        }
    }
    if (m_elevated)
        return captureAdministratorPlace(item.path, top, scanned, place,
                                         scanned ? std::optional(std::move(mounts)) : std::nullopt);
    // A scanned top is walked from as the folder the scan opened there, or not at all; a top
    // itself is walked to from the folder above it.
    if (isTop)
        return captureItemPlace(item.path, top, place);
    if (!scanned)
        return ESTALE;
    return captureItemPlace(item.path, top, place, scanned, std::move(mounts));
}

QString FileOperations::placeRefusal(const QString& path, int code)
{
    if (code == kBelowSymbolicLink)
        return belowLinkText(path);
    return isPlaceChange(code) ? placeChangedText(path, code)
                               : tr("\"%1\": %2").arg(isolatePathShowingControls(path), errnoText(code));
}

FileOperations::CheckedItems FileOperations::checkedPlaces(const QList<SelectedItem>& items,
                                                          const QString& failureTitle)
{
    // Items of one folder share its identity: the walk to it is made once per folder and the
    // siblings are matched to it on all cores, so that the question about a million files of
    // one folder comes at once. A sibling takes it over only when its own path is clean and
    // names that very folder; any other item walks for itself. Each item's own identity is
    // recorded too: another object under its name later is not what the user chose.
    const auto folderOf = [](const QString& path) {
        return QStringView(path).left(std::max<qsizetype>(path.lastIndexOf(u'/'), 0));
    };
    const auto capture = [this](const SelectedItem& item, RemovalTarget* place) { return capturePlace(item, place); };
    constexpr uint32_t kUnsettled = UINT32_MAX;
    const size_t count = size_t(items.size());
    std::vector<RemovalTarget> places;
    std::vector<int> codes;                              // of each place's walk
    std::vector<QString> folders;                        // the folder each walk went to
    // Both sized with the rest below, off the GUI thread: a million records take a while.
    std::vector<uint32_t> placeOf;
    std::vector<std::optional<ItemIdentity>> own;  // unset: not seen
    std::unordered_map<uint32_t, uint32_t> folderPlace;  // parent node to the place of its walk
    const auto walk = [&](size_t i) {
        RemovalTarget place;
        codes.push_back(capture(items[qsizetype(i)], &place));
        own[i] = place.item;
        places.push_back(std::move(place));
        folders.push_back(folderOf(items[qsizetype(i)].path).toString());
        placeOf[i] = uint32_t(places.size() - 1);
    };
    std::vector<uint32_t> gone;
    QStringList refusals;
    QList<SelectedItem> accepted;
    // Only reads the tree and the disk; the window's changes come after.
    readOffGui(items.size(), [&] {
        placeOf.assign(count, kUnsettled);
        own.resize(count);
        // The parents are read on all cores: the items lie all over the node array.
        std::vector<uint32_t> parents(count);
        constexpr size_t kBlock = 4096;
        svl::parallelForRanges(count, kBlock, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i)
                parents[i] = m_displayed->node(items[qsizetype(i)].id).parent;
        });
        uint32_t lastParent = UINT32_MAX;  // a node's parent is never this; repeats skip the lookup
        for (size_t i = 0; i < count; ++i) {
            const uint32_t parent = parents[i];
            if (items[qsizetype(i)].id == 0 || parent == lastParent || folderPlace.count(parent))
                continue;
            walk(i);
            if (codes.back() != EINVAL) {
                folderPlace.emplace(parent, placeOf[i]);
                lastParent = parent;
            }
        }
        svl::parallelForRanges(count, kBlock, [&](size_t begin, size_t end) {
            std::string bytes;  // reused for each item's path bytes
            for (size_t i = begin; i < end; ++i) {
                const SelectedItem& item = items[qsizetype(i)];
                if (placeOf[i] != kUnsettled || item.id == 0)
                    continue;
                const auto found = folderPlace.find(parents[i]);
                if (found == folderPlace.end() || folders[found->second] != folderOf(item.path))
                    continue;
                bytes.clear();
                appendPathBytes(bytes, item.path);
                if (!saferemove::isCleanAbsolutePath(bytes))
                    continue;
                placeOf[i] = found->second;
                if (ItemIdentity id; codes[found->second] == 0 && captureItemIdentity(bytes, &id) == 0)
                    own[i] = id;
            }
        });

        for (size_t i = 0; i < count; ++i) {
            if (placeOf[i] == kUnsettled)
                walk(i);
            const SelectedItem& item = items[qsizetype(i)];
            const int code = codes[placeOf[i]];
            if (code == 0 && (own[i] || presenceOf(m_displayed->fullPath(item.id)) != Presence::Gone))
                continue;
            if (code == 0)  // the folder is there, the item is not: it alone leaves
                gone.push_back(item.id);
            else if (presenceOf(m_displayed->fullPath(item.id)) == Presence::Gone && !isPlaceChange(code))
                gone.push_back(item.id);
            else
                refusals.append(placeRefusal(item.path, code));
        }
        accepted = items;  // shared while every item may go
        if (!gone.empty() || !refusals.isEmpty()) {
            accepted.clear();
            std::vector<uint32_t> acceptedPlaces;
            std::vector<std::optional<ItemIdentity>> acceptedOwn;
            size_t next = 0;  // of `gone`, which follows the items' order
            for (size_t i = 0; i < count; ++i) {
                if (next < gone.size() && gone[next] == items[qsizetype(i)].id) {
                    ++next;
                    continue;
                }
                if (codes[placeOf[i]] == 0) {
                    accepted.append(items[qsizetype(i)]);
                    acceptedPlaces.push_back(placeOf[i]);
                    acceptedOwn.push_back(own[i]);
                }
            }
            placeOf = std::move(acceptedPlaces);
            own = std::move(acceptedOwn);
        }
    });
    if (!gone.empty())
        m_hooks.removeNodes(gone);
    if (!refusals.isEmpty())
        m_hooks.showError(failureTitle, refusals.join('\n'));
    return CheckedItems(std::move(accepted), std::move(placeOf), std::move(places), std::move(own));
}

void FileOperations::moveToTrash(const QList<SelectedItem>& selection)
{
    const QString failure = tr("Couldn't move to the Trash");
    const QList<SelectedItem> accepted = acceptedForRemoval(selection, failure);
    if (accepted.isEmpty())
        return;
    const CheckedItems items = checkedPlaces(accepted, failure);
    if (items.isEmpty())
        return;
    // An administrator copy would fill root's trash, which the user can neither see nor empty.
    if (m_elevated) {
        offerDeleteImmediately(items, tr("Hollowmere is running as Administrator, so the item would go to the "
                                         "Administrator's Trash, which you can't see or empty. Do you want to delete "
                                         "the item immediately instead? You can't undo this action."));
        return;
    }
    const QList<SelectedItem>& chosen = items.items();
    if (!m_hooks.ask(FileCommandPlanner::trashQuestion(chosen),
                     m_planner.withHiddenNote(tr("You can recover this from the Trash until it's emptied."), chosen,
                                              FileCommandPlanner::Removal::Trash),
                     tr("Move to Trash"), tr("Cancel")))
        return;
    std::vector<uint32_t> trashed;
    CheckedItems notTrashable, needsAdministrator;
    Failures changed;
    RemovalProgress progress;
    const qsizetype count = chosen.size();
    progress.total = uint64_t(count);
    // On a worker: the trees are only read meanwhile; each item's way is checked again
    // right before it moves, since the disk may have changed since the question.
    removeOffGui(tr("Moving items to the Trash…"), progress, [&] {
        for (qsizetype i = 0; i < count && !progress.cancel.load(); ++i) {
            const CheckedItem c = items.at(i);
            const TrashOutcome outcome = m_backend.moveToTrash(c.place);
            // An item that vanished meanwhile is simply gone, not a failure to ask about.
            if (outcome == TrashOutcome::Trashed ||
                (outcome == TrashOutcome::NotTrashable && presenceOf(m_displayed->fullPath(c.item.id)) == Presence::Gone))
                trashed.push_back(c.item.id);
            else if (outcome == TrashOutcome::PlaceChanged || outcome == TrashOutcome::ItemReplaced)
                changed.add(placeChangedText(c.item.path, outcome == TrashOutcome::ItemReplaced ? kItemReplaced : ESTALE));
            else if (canDeleteWithoutAdministrator(c.item.path))
                notTrashable.append(c);
            else
                needsAdministrator.append(c);
            progress.done.store(uint64_t(i + 1));
        }
    });
    if (!trashed.empty())
        m_hooks.removeNodes(trashed);
    if (changed.count() > 0)
        m_hooks.showError(failure, changed.text());
    if (progress.done.load() < progress.total)
        return;  // cancelled: what is left stays, and nothing more is asked
    offerDeleteImmediately(notTrashable, notTrashableDetail());
    offerDeleteAsAdministrator(needsAdministrator);
}

void FileOperations::offerDeleteImmediately(const QList<SelectedItem>& items)
{
    offerDeleteImmediately(checkedPlaces(items, tr("Couldn't delete")), notTrashableDetail());
}

void FileOperations::offerDeleteImmediately(const CheckedItems& checked, const QString& detail)
{
    if (checked.isEmpty())
        return;
    const QList<SelectedItem> items = checked.items();
    if (m_hooks.ask(FileCommandPlanner::notTrashableQuestion(items), m_planner.withHiddenNote(detail, items),
                    tr("Delete Immediately"), tr("Cancel")))
        deletePermanently(checked);
}

void FileOperations::deleteImmediately(const QList<SelectedItem>& selection)
{
    const QList<SelectedItem> accepted = acceptedForRemoval(selection, tr("Couldn't delete"));
    if (accepted.isEmpty())
        return;
    const CheckedItems checked = checkedPlaces(accepted, tr("Couldn't delete"));
    if (checked.isEmpty())
        return;
    const QList<SelectedItem> items = checked.items();
    if (m_hooks.ask(FileCommandPlanner::deleteQuestion(items),
                    m_planner.withHiddenNote(tr("You can't undo this action."), items), tr("Delete Immediately"),
                    tr("Cancel")))
        deletePermanently(checked);
}

void FileOperations::deletePermanently(const QList<SelectedItem>& items)
{
    deletePermanently(checkedPlaces(items, tr("Couldn't delete")));
}

void FileOperations::deletePermanently(const CheckedItems& checked)
{
    std::vector<uint32_t> removed;
    CheckedItems needsAdministrator;
    Failures failures;
    QString failedName, failedReason;  // of the first failure
    RemovalProgress progress;
    const QList<SelectedItem>& items = checked.items();
    // Counted in entries, so that one folder of a million files shows its progress too.
    for (const SelectedItem& item : items) {
        const svl::ScanNode& node = m_displayed->node(item.id);
        progress.total += item.isFolder ? uint64_t(node.filesBelow) + node.foldersBelow + 1 : 1;
    }
    bool stopped = false;
    // On a worker: the trees are only read meanwhile; each item's way is checked again
    // right before it goes, since the disk may have changed since the question.
    removeOffGui(tr("Deleting items…"), progress, [&] {
        saferemove::RemovalControl control;
        control.cancel = &progress.cancel;
        control.removed = &progress.done;
        const std::function<void(uint64_t)> beforeEntry = [&](uint64_t) { progress.beforeEntry(progress.done.load()); };
        if (progress.beforeEntry)
            control.beforeEntry = &beforeEntry;
        ItemDeleter deleter;
        for (qsizetype i = 0; i < items.size(); ++i) {
            const CheckedItem c = checked.at(i);
            const SelectedItem& item = c.item;
            QString error;
            bool denied = false;
            if (deleter.remove(c.place, &error, &denied, control)) {
                removed.push_back(item.id);
                continue;
            }
            if (progress.cancel.load()) {
                // Stopped inside the item, or before it: what went leaves the tree, the rest stays.
                stopped = true;
                if (item.isFolder)
                    collectVanished(item.id, &removed);
                else if (presenceOf(m_displayed->fullPath(item.id)) == Presence::Gone)
                    removed.push_back(item.id);
                break;
            }
            if (presenceOf(m_displayed->fullPath(item.id)) == Presence::Gone) {
                removed.push_back(item.id);
                continue;
            }
            if (item.isFolder)
                collectVanished(item.id, &removed);
            if (denied && !m_elevated) {
                needsAdministrator.append(c);
            } else {
                if (failures.count() == 0) {
                    failedName = item.name;
                    failedReason = error;
                }
                failures.add(tr("\"%1\": %2").arg(isolatePathShowingControls(item.path), error));
            }
        }
    });
    if (!removed.empty())
        m_hooks.removeNodes(removed);
    if (failures.count() == 1)
        m_hooks.showError(tr("Couldn't delete \"%1\"").arg(isolateShowingControls(failedName)), failedReason);
    else if (failures.count() > 0)
        m_hooks.showError(tr("Couldn't delete"), failures.text());
    if (!stopped)
        offerDeleteAsAdministrator(needsAdministrator);
}

void FileOperations::offerDeleteAsAdministrator(const QList<SelectedItem>& items)
{
    if (items.isEmpty() || m_elevated)
        return;
    offerDeleteAsAdministrator(checkedPlaces(items, tr("Couldn't delete as Administrator")));
}

void FileOperations::offerDeleteAsAdministrator(const CheckedItems& checked)
{
    if (checked.isEmpty() || m_elevated)
        return;
    // The root side walks from "/" and refuses any parent that changes while asked; the
    // parent must still be the one the user chose it in.
    QList<RemovalTarget> targets;
    QList<SelectedItem> kept;
    QStringList refusals;
    for (const CheckedItem& c : checked) {
        RemovalTarget target;
        QString error;
        if (!captureRemovalTarget(c.item.path, &target, &error))
            refusals.append(error);
        else if (target.parent != c.place.parent || target.parentMount != c.place.parentMount)
            refusals.append(placeChangedText(c.item.path));
        else {
            targets.append(target);
            kept.append(c.item);
        }
    }
    if (!refusals.isEmpty())
        m_hooks.showError(tr("Couldn't delete as Administrator"), refusals.join('\n'));
    if (kept.isEmpty())
        return;
    if (!m_hooks.ask(FileCommandPlanner::adminQuestion(kept),
                     m_planner.withHiddenNote(FileCommandPlanner::adminDetail(kept), kept),
                     tr("Delete as Administrator"), tr("Cancel")))
        return;
    QString error;
    const bool ok = m_backend.deleteAsAdministrator(targets, &error);
    std::vector<uint32_t> removed;
    for (const SelectedItem& item : kept) {
        const Presence presence = presenceOf(m_displayed->fullPath(item.id));
        if (presence == Presence::Gone)
            removed.push_back(item.id);
        else if (presence == Presence::Present && item.isFolder)
            collectVanished(item.id, &removed);
    }
    if (!removed.empty())
        m_hooks.removeNodes(removed);
    if (!ok && !error.isEmpty())
        m_hooks.showError(tr("Couldn't delete as Administrator"), error);
}

void FileOperations::collectVanished(uint32_t folder, std::vector<uint32_t>* out) const
{
    const svl::ScanNode& top = m_displayed->node(folder);
    if (top.flags & svl::NodeFlag::Removed)
        return;
    switch (presenceOf(m_displayed->fullPath(folder))) {
    case Presence::Gone:
        out->push_back(folder);
        return;
    case Presence::Unknown:  // unreadable is not gone
        return;
    case Presence::Present:
        break;
    }
    // Below the folder everything is looked at relative to one open folder, so neither the
    // depth nor the length of the paths matters: down by name, up by "..", checked against
    // the folder it came from so a folder moved meanwhile ends the sweep instead of misleading it.
    const std::string path = m_displayed->fullPath(folder);
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct Frame {
        uint32_t id;
        uint32_t next;  // next child to look at
        dev_t device;
        ino_t inode;
    };
    auto identity = [](int dir, Frame* frame) {
        struct stat st {};
        if (::fstat(dir, &st) != 0)
            return false;
        frame->device = st.st_dev;
        frame->inode = st.st_ino;
        return true;
    };
    std::vector<Frame> frames{{folder, 0, 0, 0}};
    if (!identity(fd, &frames.back())) {
        ::close(fd);
        return;
    }
    while (!frames.empty()) {
        Frame& frame = frames.back();
        const svl::ScanNode& node = m_displayed->node(frame.id);
        if (frame.next < node.childCount) {
            const uint32_t child = node.firstChild + frame.next++;
            const svl::ScanNode& c = m_displayed->node(child);
            if (c.flags & svl::NodeFlag::Removed)
                continue;
            const std::string name(c.nameView());
            struct stat st {};
            if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT || errno == ENOTDIR)
                    out->push_back(child);
                continue;
            }
            if (c.childCount == 0 || !S_ISDIR(st.st_mode)) {
                // A folder replaced by a file: what the tree held below it is gone, the name is not.
                for (uint32_t i = 0; c.childCount > 0 && i < c.childCount; ++i) {
                    if (!(m_displayed->node(c.firstChild + i).flags & svl::NodeFlag::Removed))
                        out->push_back(c.firstChild + i);
                }
                continue;
            }
            const int down = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (down < 0)
                continue;  // unreadable is not gone
            ::close(fd);
            fd = down;
            frames.push_back({child, 0, 0, 0});
            if (!identity(fd, &frames.back()))
                break;
            continue;
        }
        frames.pop_back();
        if (frames.empty())
            break;
        const int up = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = up;
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_dev != frames.back().device || st.st_ino != frames.back().inode)
            break;
    }
    if (fd >= 0)
        ::close(fd);
}

RenamePlace FileOperations::placeForRename(uint32_t id) const
{
    RenamePlace recorded;
    // Neither the root, a removed item nor an id past the tree is collected.
    const QList<SelectedItem> items = m_planner.collect({id}, false, false);
    if (items.isEmpty())
        return recorded;
    recorded.id = id;
    recorded.path = m_displayed->fullPath(id);
    recorded.code = capturePlace(items.first(), &recorded.place);
    return recorded;
}

bool FileOperations::rename(uint32_t id, const QString& editedText, const RenamePlace* recorded)
{
    if (!m_displayed || id == 0 || id >= m_displayed->nodeCount)
        return false;
    const QString newName = editedText.trimmed();
    // A folder scanned as one of several roots is named by its whole path; its own name is
    // the last part, and the new one takes that part's place.
    const std::string_view stored = m_displayed->node(id).nameView();
    const bool wholePath =
        m_displayed->node(id).parent == 0 && (m_displayed->node(0).flags & svl::NodeFlag::VirtualRoot);
    const size_t cut = wholePath ? stored.rfind('/') + 1 : 0;
    const std::string_view current = stored.substr(cut);
    const std::string newBytes = pathBytes(newName);
    if (newBytes == current || (wholePath && newBytes == stored))
        return false;
    const std::string newStored = std::string(stored.substr(0, cut)) + newBytes;
    const QString oldName = pathText(current);
    const QString failure = tr("Couldn't rename \"%1\"").arg(isolateShowingControls(oldName));
    if (const QString reason = m_planner.changeBlockedReason(); !reason.isEmpty()) {
        m_hooks.showError(failure, reason);
        return false;
    }
    const QList<SelectedItem> items = m_planner.collect({id}, false, false);
    QList<RefusedItem> refused;
    if (items.isEmpty() || m_planner.screenPaths(items, &refused, FileCommandPlanner::PathUse::Bytes).isEmpty()) {
        m_hooks.showError(failure, refused.isEmpty() ? QString() : refused.first().reason);
        return false;
    }
    const std::string oldPath = m_displayed->fullPath(id);
    QString error;
    bool renamed = false;
    // Only where the item was when its name was opened for editing, and never without that record.
    if (!recorded || recorded->id != id || recorded->path != oldPath)
        error = placeChangedText(items.first().path, kItemReplaced);
    else if (recorded->code != 0)
        error = placeRefusal(items.first().path, recorded->code);
    else
        renamed = renameItem(recorded->place, newName, &error);
    if (!renamed) {
        m_hooks.showError(failure, error);
        return false;
    }
    (void)m_displayed->rename(id, newStored.data(), newStored.size());
    const std::string newPath = m_displayed->fullPath(id);
    renameScannedTops(m_displayed, oldPath, newPath);
    if (m_full && m_full != m_displayed) {
        const int64_t there = m_full->findPath(oldPath.data(), oldPath.size());
        if (there > 0)
            (void)m_full->rename(uint32_t(there), newStored.data(), newStored.size());
        renameScannedTops(m_full, oldPath, newPath);
    }
    if (m_hooks.renamed)
        m_hooks.renamed(oldPath, newPath);
    if (m_hooks.refreshAfterRename)
        m_hooks.refreshAfterRename();
    return true;
}

bool FileOperations::confirmManyWindows(int count, const QString& what)
{
    if (count <= kManyWindows)
        return true;
    return m_hooks.ask(tr("You are about to open %1 %2 - are you sure?").arg(formatNumber(uint64_t(count)), what), QString(), tr("Open"),
                       tr("Cancel"));
}

void FileOperations::open(const QList<SelectedItem>& selection)
{
    const QList<SelectedItem> items = acceptedPaths(selection);
    if (items.isEmpty() || !confirmManyWindows(int(items.size()), tr("windows")))
        return;
    for (const SelectedItem& item : items)
        m_backend.open(item.path);
}

void FileOperations::showInFileManager(const QList<SelectedItem>& selection)
{
    const QList<SelectedItem> items = acceptedPaths(selection);
    if (items.isEmpty() || !confirmManyWindows(int(items.size()), tr("file manager windows")))
        return;
    m_backend.showInFileManager(pathsOf(items));
    for (const SelectedItem& item : items) {
        watch(QFileInfo(item.path).absolutePath(), false);
        if (item.isFolder)
            watch(item.path, true);
    }
}

void FileOperations::openTerminal(const QList<SelectedItem>& selection)
{
    const QList<SelectedItem> items = acceptedPaths(selection);
    if (items.isEmpty() || !confirmManyWindows(int(items.size()), tr("terminal windows")))
        return;
    for (const QString& folder : FileCommandPlanner::terminalFolders(items)) {
        if (!m_backend.openTerminal(folder)) {
            m_hooks.showError(tr("Couldn't open a terminal"),
                              tr("No terminal emulator was found. Set the TERMINAL environment variable to the one "
                                 "you use."));
            return;
        }
        watch(folder, true);
    }
}

void FileOperations::putOnClipboard(const QList<SelectedItem>& selection, bool cut)
{
    const QList<SelectedItem> items = acceptedPaths(selection);
    if (items.isEmpty())
        return;
    putFilesOnClipboard(pathsOf(items), cut);
    if (cut) {
        for (const SelectedItem& item : items)
            watch(QFileInfo(item.path).absolutePath(), false);
    }
}

void FileOperations::copyPaths(const QList<SelectedItem>& selection)
{
    // A name that isn't UTF-8 would reach the clipboard as a look-alike that names no file.
    copyPathsAsText(pathsOf(acceptedPaths(selection, FileCommandPlanner::PathUse::Clipboard)));
}

void FileOperations::startInstance(const QList<SelectedItem>& selection)
{
    const QList<SelectedItem> items = acceptedPaths(selection);
    if (items.isEmpty())
        return;
    for (const SelectedItem& item : items)
        m_backend.startInstance(item.path);
}

void FileOperations::showProperties(const QList<SelectedItem>& selection)
{
    const QList<SelectedItem> items = acceptedPaths(selection);
    if (items.isEmpty())
        return;
    if (m_backend.showProperties(pathsOf(items)))
        return;
    m_hooks.showInformation(tr("Properties"), m_planner.propertiesText(items));
}
