// What the window's file commands act on and what they say: the selected-item collector,
// the safety screening (imported trees, running jobs, names that are not plain, paths that
// are not valid text, mount points, items inside another selected folder), the question
// texts, the Properties summary and the size listing for the clipboard.
// Plain class over the trees, no widgets; GUI thread (it reads the trees the views show).
#pragma once

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace svl {
class ScanTree;
}

// One item a command acts on, built fresh for every command.
struct SelectedItem {
    uint32_t id = 0;  // node id in the displayed tree
    QString path;     // full path as pathText: invalid UTF-8 bytes kept as 0xDC00 + byte
    QString name;
    bool isFolder = false;
};

struct FileCommandContext {
    const svl::ScanTree* displayed = nullptr;
    const svl::ScanTree* full = nullptr;  // the unfiltered tree; may be `displayed` itself
    bool imported = false;                // read from a CSV/TSV or MFT dump: another machine's files
    bool jobRunning = false;              // a scan or rescan is writing a tree
};

struct RefusedItem {
    SelectedItem item;
    QString reason;
};

class FileCommandPlanner {
public:
    explicit FileCommandPlanner(const FileCommandContext& context) : m_context(context) {}

    // The items for row ids in selection order: group rows stand for their folder only when
    // included, the root only when included; removed nodes and repeats are skipped.
    QList<SelectedItem> collect(const std::vector<uint32_t>& ids, bool includeGroupRows, bool includeRoot) const;

    // Why nothing may be trashed, deleted or renamed now; empty when it may.
    QString changeBlockedReason() const;
    bool canChangeFiles() const { return changeBlockedReason().isEmpty(); }

    // How a command passes paths on: as text to other programs, which must be valid UTF-8,
    // or as the exact bytes to the file actions of this program (pathBytes of the path), or
    // as text for the user to read or paste (valid UTF-8, in any form: an imported tree's
    // paths included).
    enum class PathUse { Text, Bytes, Clipboard };
    // Items whose path can be passed on as it is: absolute, already in its cleaned form,
    // every name plain (no "/", ".", ".."), and the scanned bytes exactly, so that no
    // look-alike of the scanned item is ever acted on. The others go to `refused`.
    QList<SelectedItem> screenPaths(const QList<SelectedItem>& items, QList<RefusedItem>* refused,
                                    PathUse use = PathUse::Text) const;
    // screenPaths plus what removal needs: no item that is, or holds, another device or a
    // bind mount, and items inside another selected folder dropped (the folder takes them).
    QList<SelectedItem> screenForRemoval(const QList<SelectedItem>& items, QList<RefusedItem>* refused) const;

    // Where a walk to the item starts: the scanned folder that holds it, or for a scanned
    // folder itself the folder above it.
    QString scanTopOf(uint32_t id) const;

    // Items (files and folders) inside the folder items that the displayed, filtered tree
    // hides but that a removal takes with it. 0 without a filter.
    uint64_t hiddenByFilter(const QList<SelectedItem>& items) const;

    // The window's questions: the name in quotes for one item, else the count.
    static QString trashQuestion(const QList<SelectedItem>& items);
    static QString deleteQuestion(const QList<SelectedItem>& items);
    static QString notTrashableQuestion(const QList<SelectedItem>& items);
    static QString adminQuestion(const QList<SelectedItem>& items);
    static QString adminDetail(const QList<SelectedItem>& items);
    // The detail line with the filter note appended when the filter hides something inside;
    // the note says whether those items go to the trash or are deleted.
    enum class Removal { Trash, Delete };
    QString withHiddenNote(const QString& detail, const QList<SelectedItem>& items,
                           Removal removal = Removal::Delete) const;
    static QString refusalText(const QList<RefusedItem>& refused);

    // A folder item's own path, a file item's folder; each folder once, in first-seen order.
    static QList<QString> terminalFolders(const QList<SelectedItem>& items);

    // The lines of the window's own Properties box, joined by line feeds.
    QString propertiesText(const QList<SelectedItem>& items) const;

    // The size listing of "Copy File and Size Info": ids largest first, indented like the
    // tree, following expanded rows (none in list mode). Empty when there is nothing to write.
    struct RowAccess {
        std::function<bool(uint32_t row)> isExpanded;
        std::function<std::vector<uint32_t>(uint32_t row)> childRows;
        std::function<QString(uint32_t row)> groupLabel;
    };
    QString sizeListing(std::vector<uint32_t> ids, bool listMode, const RowAccess& rows) const;

    // Size of a row id: a node's size, or a file-group row's loose-file total.
    uint64_t rowSize(uint32_t row) const;

private:
    enum class PathVerdict : uint8_t { Plain, NotText, NotPlain };
    // Whether the item's path, given as the tree's bytes, may be handed to the system.
    PathVerdict pathVerdict(const SelectedItem& item, const std::string& bytes, PathUse use) const;
    static QString pathRefusal(PathVerdict verdict);
    bool hasMountBelow(uint32_t id) const;
    bool namesArePlain(uint32_t id) const;

    FileCommandContext m_context;
};
