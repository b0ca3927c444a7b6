// The window's file commands over real scanned folders: which items they act on, what
// they refuse, what they ask, and that the tree follows the disk. Questions and boxes are
// recorded by hooks; the trash is the real XDG trash of a private XDG_DATA_HOME.
#include "ui/mainwindow/FileOperations.h"

#include "app/PathText.h"
#include "app/QtRegexMatcher.h"
#include "core/analysis/Filter.h"
#include "core/analysis/MatchBitmap.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/app/ShellTestEnv.h"
#include "integration/FileHelpers.h"
#include "tests/integration/FileTestSupport.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>

#include <filesystem>
#include <map>
#include <numeric>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using filetest::exists;
using filetest::put;
using hmtest::TempDir;
using shelltest::qs;

namespace {

// A scanned folder, the hooks' record, and FileOperations over it.
struct Fixture {
    TempDir dir;
    std::unique_ptr<svl::ScanTree> tree;
    std::unique_ptr<svl::ScanTree> filtered;
    QStringList asked;       // "question | detail"
    QStringList errors;      // "text | detail"
    QStringList information;
    bool answer = true;
    std::function<void()> whileAsked;  // runs while a question is open
    std::function<void()> whileEditing;  // runs while a name editor is open
    std::string mountedRoot;           // the scanned folder when it is not dir/root
    std::vector<uint32_t> removedIds;
    int offGuiRuns = 0;  // checks handed to readOffGui, run on a thread of their own
    int removalRuns = 0;  // removals handed to removeOffGui, run on a thread of their own
    RemovalProgress* removal = nullptr;  // of the removal running
    std::function<void(uint64_t removed, RemovalProgress&)> beforeEntry;  // inside removals, per entry
    uint64_t removalTotal = 0, removalDone = 0;  // the last removal's steps
    FileActionBackend backend = FileActionBackend::system();
    FileCommandContext context;

    // Root inside the data home, so the XDG trash lies on the same file system.
    Fixture() { QDir().mkpath(qEnvironmentVariable("XDG_DATA_HOME")); }

    std::string root() const { return mountedRoot.empty() ? dir.path() + "/root" : mountedRoot; }
    void scan(const svl::ScanOptions& options = {})
    {
        tree = svl::scanSingle(root(), options, nullptr);
        ASSERT_TRUE(tree && tree->nodeCount > 0);
        context.displayed = tree.get();
        context.full = tree.get();
    }
    void filter(const std::string& include)
    {
        const svl::RegexFactory factory = qtRegexFactory();
        const svl::Filter f = svl::decodeFilterText(include, false, &factory);
        filtered = svl::filterTree(*tree, &f, nullptr);
        ASSERT_TRUE(filtered);
        context.displayed = filtered.get();
    }
    svl::ScanTree* shown() const { return const_cast<svl::ScanTree*>(context.displayed); }
    uint32_t id(const std::string& rel) const
    {
        const std::string path = root() + (rel.empty() ? "" : "/" + rel);
        const int64_t found = context.displayed->findPath(path.data(), path.size());
        EXPECT_GE(found, 0) << rel;
        return uint32_t(found);
    }
    FileOperations ops(bool elevated = false)
    {
        FileOperationHooks hooks;
        hooks.ask = [this](const QString& q, const QString& d, const QString&, const QString&) {
            asked.append(q + " | " + d);
            if (whileAsked)
                whileAsked();
            return answer;
        };
        hooks.showError = [this](const QString& t, const QString& d) { errors.append(t + " | " + d); };
        hooks.showInformation = [this](const QString& t, const QString& d) { information.append(t + " | " + d); };
        hooks.removeNodes = [this](const std::vector<uint32_t>& ids) {
            for (uint32_t i : ids) {
                removedIds.push_back(i);
                (void)shown()->markRemoved(i);
            }
        };
        hooks.readOffGui = [this](const std::function<void()>& work) {
            ++offGuiRuns;
            std::thread(work).join();
        };
        hooks.removeOffGui = [this](const QString&, RemovalProgress& progress, const std::function<void()>& work) {
            ++removalRuns;
            removal = &progress;
            if (beforeEntry)
                progress.beforeEntry = [this, &progress](uint64_t removed) { beforeEntry(removed, progress); };
            std::thread(work).join();
            removal = nullptr;
            removalTotal = progress.total;
            removalDone = progress.done;
        };
        return FileOperations(shown(), tree.get(), context, backend, hooks, elevated);
    }
    // A name editor opened on the item, then the new name committed.
    bool rename(uint32_t item, const QString& name, bool elevated = false)
    {
        FileOperations operations = ops(elevated);
        const RenamePlace place = operations.placeForRename(item);
        if (whileEditing)
            whileEditing();
        return operations.rename(item, name, &place);
    }
    QList<SelectedItem> items(std::initializer_list<const char*> rels, bool groups = false, bool withRoot = false)
    {
        std::vector<uint32_t> ids;
        for (const char* rel : rels)
            ids.push_back(id(rel));
        return FileCommandPlanner(context).collect(ids, groups, withRoot);
    }
};

// The items a trash folder holds: the decoded Path= of each info file, to the name in files/.
std::map<QByteArray, QByteArray> trashedItems(const std::string& trash)
{
    std::map<QByteArray, QByteArray> items;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(trash + "/info", error)) {
        const std::string name = entry.path().filename().string();  // the bytes, whatever they are
        for (const QByteArray& line : QByteArray::fromStdString(hmtest::readText(entry.path().string())).split('\n')) {
            if (line.startsWith("Path="))
                items[QByteArray::fromPercentEncoding(line.mid(5))] = QByteArray::fromStdString(name).chopped(10);
        }
    }
    return items;
}

// Hands the folder to the ordinary test account.
void giveToTestUser(const std::string& path)
{
    hmtest::sh("chown -R " + std::to_string(hmtest::testUserUid()) + ":" + std::to_string(hmtest::testUserGid()) +
               " " + hmtest::shQuote(path));
}

}  // namespace

TEST(FileCommandPlanner, CollectsNodesOnceAndGroupRowsOnlyWhenAsked)
{
    Fixture f;
    put(f.root() + "/a/one");
    put(f.root() + "/a/two");
    put(f.root() + "/b");
    f.scan();
    const uint32_t n = f.tree->nodeCount;
    const uint32_t a = f.id("a"), one = f.id("a/one"), b = f.id("b");
    const FileCommandPlanner planner(f.context);
    auto ids = [](const QList<SelectedItem>& items) {
        std::vector<uint32_t> out;
        for (const SelectedItem& i : items)
            out.push_back(i.id);
        return out;
    };
    const std::vector<uint32_t> selection{0, one, a + n, a, one, b};
    EXPECT_EQ(ids(planner.collect(selection, false, false)), (std::vector<uint32_t>{one, a, b}));
    EXPECT_EQ(ids(planner.collect(selection, true, true)), (std::vector<uint32_t>{0, one, a, b}));
    (void)f.tree->markRemoved(b);
    EXPECT_EQ(ids(planner.collect({b, a}, false, false)), (std::vector<uint32_t>{a}));
    const QList<SelectedItem> items = planner.collect({one}, false, false);
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0].path, qs(f.root() + "/a/one"));
    EXPECT_EQ(items[0].name, "one");
    EXPECT_FALSE(items[0].isFolder);

    // Items take their folder's converted path: each is still the text of its own path, also
    // below a name that isn't UTF-8, under a root named "/" and under a virtual root.
    put(f.root() + "/bad\xC3/x");
    f.scan();
    (void)f.tree->rename(f.id("a"), "b\xE2\x82", 3);
    for (const char* root : {"", "/", "virtual"}) {
        if (root == std::string("virtual")) {
            f.tree->node(0).flags |= svl::NodeFlag::VirtualRoot;
            (void)f.tree->rename(f.tree->node(0).firstChild, "/top/b\xE2\x82", 8);
        } else if (*root) {
            (void)f.tree->rename(0, root, 1);
        }
        std::vector<uint32_t> every(f.tree->nodeCount);
        std::iota(every.begin(), every.end(), 0);
        for (const SelectedItem& item : FileCommandPlanner(f.context).collect(every, false, true)) {
            EXPECT_EQ(item.path, pathText(f.tree->fullPath(item.id))) << root << item.id;
            EXPECT_EQ(item.name, pathText(f.tree->node(item.id).nameView())) << root << item.id;
        }
    }
}

TEST(FileOperations, TrashAsksWithTheNameOrCountAndTakesAFolderOnceWithItsContents)
{
    Fixture f;
    put(f.root() + "/dir/inner");
    put(f.root() + "/file");
    f.scan();
    FileOperations ops = f.ops();
    ops.moveToTrash(f.items({"file"}));
    ASSERT_EQ(f.asked.size(), 1);
    EXPECT_EQ(f.asked[0], "Move \"file\" to the Trash? | You can recover this from the Trash until it's emptied.");
    EXPECT_FALSE(exists(f.root() + "/file"));
    EXPECT_TRUE(QFile::exists(qEnvironmentVariable("XDG_DATA_HOME") + "/Trash/files/file"));

    // The folder and an item inside it: the folder goes once, the inner item is no failure.
    ops.moveToTrash(f.items({"dir/inner", "dir"}));
    EXPECT_EQ(f.asked.last(), "Move \"dir\" to the Trash? | You can recover this from the Trash until it's emptied.");
    EXPECT_TRUE(f.errors.isEmpty()) << f.errors.join('\n').toStdString();
    EXPECT_FALSE(exists(f.root() + "/dir"));
    EXPECT_EQ(f.removedIds, (std::vector<uint32_t>{f.id("file"), f.id("dir")}));

    // Declined: nothing happens.
    put(f.root() + "/x");
    put(f.root() + "/y");
    f.scan();
    f.answer = false;
    FileOperations again = f.ops();
    again.moveToTrash(f.items({"x", "y"}));
    EXPECT_TRUE(f.asked.last().startsWith("Move 2 items to the Trash?"));
    EXPECT_TRUE(exists(f.root() + "/x"));

    // Many files of one folder: the count is written with the locale's digit grouping, and
    // the checks before the question leave the window's thread.
    put(f.root() + "/many/f0");
    for (int i = 1; i < FileOperations::kChecksOffGui + 1; ++i)
        hmtest::writeFile(f.root() + "/many/f" + std::to_string(i), "x");
    f.scan();
    const svl::ScanNode& many = f.tree->node(f.id("many"));
    std::vector<uint32_t> files(many.childCount);
    std::iota(files.begin(), files.end(), many.firstChild);
    // One of them named ".." in the tree (as an import could): refused on its own, while its
    // siblings share the folder's checks.
    const std::string kept(f.tree->node(files[7]).nameView()), sibling(f.tree->node(files[8]).nameView());
    (void)f.tree->rename(files[7], "..", 2);
    f.answer = true;
    f.ops().moveToTrash(FileCommandPlanner(f.context).collect(files, false, false));
    static_assert(FileOperations::kChecksOffGui == 20000);
    EXPECT_TRUE(f.asked.last().startsWith("Move 20,000 items to the Trash?")) << f.asked.last().toStdString();
    EXPECT_EQ(f.offGuiRuns, 2);
    ASSERT_EQ(f.errors.size(), 1);
    EXPECT_TRUE(f.errors[0].contains("isn't a plain absolute path")) << f.errors[0].toStdString();
    EXPECT_TRUE(exists(f.root() + "/many/" + kept));
    EXPECT_FALSE(exists(f.root() + "/many/" + sibling));
}

TEST(FileOperations, TopsOfSeveralScannedFoldersInDifferentParentsGoInOneCommand)
{
    // Each top is walked to from its own parent: one must not take over another's walk.
    for (const bool trash : {false, true}) {
        Fixture f;
        put(f.dir / "p1/top/a");
        put(f.dir / "p2/top/b");
        f.tree = svl::scanMultiple({f.dir / "p1/top", f.dir / "p2/top"}, {}, nullptr);
        f.context.displayed = f.context.full = f.tree.get();
        const uint32_t first = f.tree->node(0).firstChild;
        const QList<SelectedItem> tops = FileCommandPlanner(f.context).collect({first, first + 1}, false, false);
        if (trash)
            f.ops().moveToTrash(tops);
        else
            f.ops().deleteImmediately(tops);
        EXPECT_EQ(f.errors, QStringList());
        EXPECT_EQ(f.asked.size(), 1);
        EXPECT_FALSE(exists(f.dir / "p1/top"));
        EXPECT_FALSE(exists(f.dir / "p2/top"));
        EXPECT_EQ(f.removedIds, (std::vector<uint32_t>{first, first + 1}));
    }
}

TEST(FileOperations, RefusesImportedTreesRunningJobsAndLookAlikeNames)
{
    Fixture f;
    put(f.root() + "/plain");
    put(f.root() + "/bad\xff name");
    f.scan();
    f.context.imported = true;
    f.ops().deleteImmediately(f.items({"plain"}));
    f.context.imported = false;
    f.context.jobRunning = true;
    f.ops().moveToTrash(f.items({"plain"}));
    f.rename(f.id("plain"), "other");
    f.context.jobRunning = false;
    EXPECT_TRUE(f.asked.isEmpty());
    ASSERT_EQ(f.errors.size(), 3);
    EXPECT_TRUE(f.errors[0].contains("imported from a file"));
    EXPECT_TRUE(f.errors[1].contains("while a scan is running"));
    EXPECT_TRUE(f.errors[2].startsWith("Couldn't rename \"plain\""));
    EXPECT_TRUE(exists(f.root() + "/plain"));
    EXPECT_TRUE(exists(f.root() + "/bad\xff name"));

    // A name that isn't valid UTF-8 would reach another program or the clipboard as a
    // look-alike that names no file: no command hands it on.
    QStringList handedOn;
    f.backend.open = f.backend.openTerminal = f.backend.startInstance = [&](const QString& path) {
        return handedOn.append(path), true;
    };
    f.backend.showInFileManager = f.backend.showProperties = [&](const QList<QString>& paths) {
        return handedOn.append(paths), true;
    };
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    using Items = const QList<SelectedItem>&;
    const std::pair<const char*, std::function<void(FileOperations&&, Items)>> commands[] = {
        {"Open", [](FileOperations&& o, Items i) { o.open(i); }},
        {"Show in File Manager", [](FileOperations&& o, Items i) { o.showInFileManager(i); }},
        {"New Terminal", [](FileOperations&& o, Items i) { o.openTerminal(i); }},
        {"Cut", [](FileOperations&& o, Items i) { o.putOnClipboard(i, true); }},
        {"Copy", [](FileOperations&& o, Items i) { o.putOnClipboard(i, false); }},
        {"Properties", [](FileOperations&& o, Items i) { o.showProperties(i); }},
        {"Another instance", [](FileOperations&& o, Items i) { o.startInstance(i); }},
        {"Copy Path", [](FileOperations&& o, Items i) { o.copyPaths(i); }},
    };
    for (const auto& [name, run] : commands) {
        f.errors.clear();
        run(f.ops(), f.items({"bad\xff name"}));
        ASSERT_EQ(f.errors.size(), 1) << name;
        EXPECT_TRUE(f.errors[0].contains("isn't valid text")) << name << ": " << f.errors[0].toStdString();
    }
    EXPECT_TRUE(handedOn.isEmpty()) << handedOn.join('|').toStdString();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
    f.ops().copyPaths(f.items({"plain", "bad\xff name"}));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), qs(f.root() + "/plain")) << "the others still go";

    // Items that vanished meanwhile leave the tree without a question or an error.
    put(f.root() + "/gone");
    f.scan();
    const QList<SelectedItem> gone = f.items({"gone"});
    ::unlink((f.root() + "/gone").c_str());
    f.asked.clear();
    f.errors.clear();
    f.answer = true;
    f.ops().deleteImmediately(gone);
    EXPECT_EQ(f.removedIds, std::vector<uint32_t>{gone[0].id});
    EXPECT_TRUE(f.errors.isEmpty());
    EXPECT_TRUE(f.asked.isEmpty());

    // An imported tree's relative root is no path on this computer.
    (void)f.tree->rename(0, "C:\\data", 7);
    EXPECT_TRUE(FileCommandPlanner(f.context).screenPaths(FileCommandPlanner(f.context).collect({0}, false, true), nullptr).isEmpty());
    f.ops().copyPaths(FileCommandPlanner(f.context).collect({0}, false, true));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "C:\\data") << "yet its path can be copied as text";
    f.scan();

    // A name holding "/" or ".." (from a share or an import) would clean to another path.
    const QList<SelectedItem> plain = f.items({"plain"});
    EXPECT_EQ(FileCommandPlanner(f.context).screenPaths(plain, nullptr).size(), 1);
    (void)f.tree->rename(plain[0].id, "../plain", 8);
    const QList<SelectedItem> odd = FileCommandPlanner(f.context).collect({plain[0].id}, false, false);
    EXPECT_TRUE(FileCommandPlanner(f.context).screenPaths(odd, nullptr).isEmpty());
    (void)f.tree->rename(plain[0].id, "a/b", 3);
    EXPECT_TRUE(FileCommandPlanner(f.context).screenPaths(odd, nullptr).isEmpty());

    // The offer after a failed trash takes items as they come: one whose path names its
    // folder's ".." must neither ride on a sibling's checked folder into the question nor,
    // checked first, lend its refused walk to the siblings.
    put(f.root() + "/p1");
    put(f.root() + "/p2");
    put(f.root() + "/p3");
    f.scan();
    QList<SelectedItem> offered = f.items({"p1", "p2", "p3"});
    offered[0].path = offered[2].path = QString::fromStdString(f.root()) + "/..";
    f.asked.clear();
    f.errors.clear();
    f.answer = false;
    f.ops().offerDeleteImmediately(offered);
    ASSERT_EQ(f.asked.size(), 1);
    EXPECT_TRUE(f.asked[0].startsWith("\"p2\"")) << f.asked[0].toStdString();
    ASSERT_EQ(f.errors.size(), 1);
    EXPECT_TRUE(f.errors[0].contains("..")) << f.errors[0].toStdString();
}

TEST(FileOperations, NeverRemovesMountsAndSaysWhatTheFilterHides)
{
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting needs root";
    Fixture f;
    TempDir outside;
    put(outside / "precious");
    put(f.root() + "/holder/mnt/.keep");
    put(f.root() + "/holder/loose");
    put(f.root() + "/marked/sub/deep/f");
    put(f.root() + "/shown/a.txt");
    put(f.root() + "/shown/b.dat");
    put(f.root() + "/shown/c.dat");
    put(f.root() + "/plain/f");
    hmtest::Mounts mounts;
    ASSERT_TRUE(mounts.bind(outside.path(), f.root() + "/holder/mnt"));
    ::mkdir((f.root() + "/vol").c_str(), 0755);
    hmtest::LoopMount loop(f.root() + "/vol", "mkfs.ext4 -q -F", 8);
    if (!loop.ok())
        GTEST_SKIP() << "no loop-mounted ext4: " << loop.error();
    put(loop.mountPoint() + "/onloop");
    // Scanned without looking for mounts, so nothing in the tree marks them: the mount
    // table still keeps trash and deletion away from both.
    f.scan();
    f.ops().deleteImmediately(f.items({"holder"}));
    f.ops().moveToTrash(f.items({"holder/mnt"}));
    f.ops().moveToTrash(f.items({"vol"}));
    EXPECT_TRUE(f.asked.isEmpty());
    ASSERT_EQ(f.errors.size(), 3);
    for (const QString& error : f.errors)
        EXPECT_TRUE(error.contains("mount point")) << error.toStdString();
    EXPECT_TRUE(exists(outside / "precious"));
    EXPECT_TRUE(exists(loop.mountPoint() + "/onloop"));
    EXPECT_TRUE(exists(f.root() + "/holder/loose"));
    // A mount the scan saw, at or below a folder, keeps the folder though the mount is gone now.
    f.shown()->nodes[f.id("marked/sub/deep")].flags |= svl::NodeFlag::OtherDevice;
    f.ops().deleteImmediately(f.items({"marked"}));
    f.ops().deleteImmediately(f.items({"marked/sub/deep"}));
    ASSERT_EQ(f.errors.size(), 5);
    EXPECT_TRUE(exists(f.root() + "/marked/sub/deep/f"));
    // A mount the scan saw in the node just past a folder's last child is not the folder's
    // (at most one of the two blocks is the tree's last).
    for (const char* folder : {"shown", "plain"}) {
        const svl::ScanNode& node = f.shown()->node(f.id(folder));
        const uint32_t past = node.firstChild + node.childCount;
        if (past >= f.shown()->nodeCount)
            continue;
        const uint16_t pastFlags = f.shown()->nodes[past].flags;
        f.shown()->nodes[past].flags |= svl::NodeFlag::OtherDevice;
        EXPECT_EQ(FileCommandPlanner(f.context).screenForRemoval(f.items({folder}), nullptr).size(), 1) << folder;
        f.shown()->nodes[past].flags = pastFlags;
    }
    // A plain item beside the mounts still goes, and so do items inside the mounts the scan
    // entered, also from a filtered view.
    f.ops().deleteImmediately(f.items({"holder/loose"}));
    EXPECT_FALSE(exists(f.root() + "/holder/loose"));
    EXPECT_TRUE(f.rename(f.id("holder/mnt/precious"), "renamed"));
    f.filter("onloop");
    const std::string onLoop = loop.mountPoint().substr(f.root().size() + 1) + "/onloop";
    f.ops().deleteImmediately(f.items({onLoop.c_str()}));
    EXPECT_EQ(f.errors.size(), 5) << f.errors.join('\n').toStdString();
    EXPECT_TRUE(exists(outside / "renamed"));
    EXPECT_FALSE(exists(loop.mountPoint() + "/onloop"));
    f.asked.clear();

    f.filter("*.txt");
    f.answer = false;
    f.ops().deleteImmediately(f.items({"shown"}));
    f.ops().moveToTrash(f.items({"shown"}));
    ASSERT_EQ(f.asked.size(), 2);
    EXPECT_EQ(f.asked[0], "Permanently erase \"shown\"? | You can't undo this action.\n\nThe filter hides 2 more "
                          "items inside, which are deleted too.");
    EXPECT_EQ(f.asked[1], "Move \"shown\" to the Trash? | You can recover this from the Trash until it's emptied."
                          "\n\nThe filter hides 2 more items inside, which go to the Trash too.");

    // The same below a top of several.
    put(loop.mountPoint() + "/second");
    TempDir apart;
    f.tree = svl::scanMultiple({f.root(), apart.path()}, {}, nullptr);
    f.context.displayed = f.context.full = f.tree.get();
    f.answer = true;
    f.ops().deleteImmediately(f.items({(loop.mountPoint().substr(f.root().size() + 1) + "/second").c_str()}));
    EXPECT_FALSE(exists(loop.mountPoint() + "/second")) << f.errors.join('\n').toStdString();
}

TEST(FileOperations, ElevatedCopyDeletesInsteadOfFillingRootsTrash)
{
    Fixture f;
    put(f.root() + "/f");
    f.scan();
    f.ops(true).moveToTrash(f.items({"f"}));
    ASSERT_EQ(f.asked.size(), 1);
    EXPECT_EQ(f.asked[0], "\"f\" can't be moved to the Trash. | Hollowmere is running as Administrator, so the item "
                          "would go to the Administrator's Trash, which you can't see or empty. Do you want to delete "
                          "the item immediately instead? You can't undo this action.");
    EXPECT_FALSE(exists(f.root() + "/f"));
    EXPECT_FALSE(QFile::exists(qEnvironmentVariable("XDG_DATA_HOME") + "/Trash/files/f"));
    EXPECT_EQ(f.removedIds, std::vector<uint32_t>{f.id("f")});
}

TEST(FileOperations, ATrashDenialLeadsToTheAdministratorOfferAndTheTreeFollowsTheDisk)
{
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1))
        GTEST_SKIP() << "needs root and the ordinary test account";
    Fixture f;
    put(f.root() + "/locked/f");
    put(f.root() + "/locked/g");
    hmtest::sh("chmod -R a+rX " + hmtest::shQuote(f.dir.path()) + " && chmod a+x " +
               hmtest::shQuote(qEnvironmentVariable("XDG_DATA_HOME").toStdString()) + " " +
               hmtest::shQuote(qEnvironmentVariable("HOME").toStdString()));
    f.scan();
    QList<RemovalTarget> handed;
    f.backend.deleteAsAdministrator = [&](const QList<RemovalTarget>& targets, QString*) {
        handed = targets;
        return true;  // reports success, yet the file is still there
    };
    // The ordinary user cannot trash or delete in a root-owned folder.
    const int rc = hmtest::runAsTestUser([&] {
        f.ops().moveToTrash(f.items({"locked/f"}));
        if (f.asked.size() != 2 || !f.asked[1].startsWith("You don't have permission to delete \"f\". | Do you want "
                                                          "to delete it permanently as Administrator?"))
            return 1;
        if (handed.size() != 1 || handed[0].path != qs(f.root() + "/locked/f"))
            return 2;
        // Only what is really gone leaves the tree, whatever the back end said.
        return f.removedIds.empty() ? 0 : 3;
    });
    EXPECT_EQ(rc, 0);
    // Marked as an administrator copy, a permission failure is shown at once: there is no
    // one further up to offer it to.
    const int elevated = hmtest::runAsTestUser([&] {
        f.ops(true).deleteImmediately(f.items({"locked/f"}));
        return f.asked.size() == 1 && f.errors == QStringList("Couldn't delete \"f\" | Permission denied") ? 0 : 1;
    });
    EXPECT_EQ(elevated, 0);

    // A folder of the user's own holding a root-owned one: what could go leaves the tree, also
    // when the administrator offer that follows the deletion is declined.
    put(f.root() + "/own/loose");
    put(f.root() + "/own/kept/x");
    giveToTestUser(f.root() + "/own");
    ASSERT_EQ(::chown((f.root() + "/own/kept").c_str(), 0, 0), 0);
    f.scan();
    const int partial = hmtest::runAsTestUser([&] {
        f.whileAsked = [&] { f.answer = f.asked.size() < 2; };
        f.ops().deleteImmediately(f.items({"own"}));
        if (f.asked.size() != 2 || !f.asked[1].startsWith("You don't have permission to delete \"own\"."))
            return 1;
        if (!f.errors.isEmpty() || !handed.isEmpty())
            return 2;
        return f.removedIds == std::vector<uint32_t>{f.id("own/loose")} ? 0 : 3;
    });
    EXPECT_EQ(partial, 0);
    EXPECT_TRUE(exists(f.root() + "/own/kept/x"));

    // The vanished sweep: only what is really gone leaves the tree; a folder the user may
    // not open, or may list but not look into, keeps its nodes (EACCES is not "gone").
    ::unlink((f.root() + "/locked/g").c_str());
    put(f.root() + "/locked/closed/h");
    put(f.root() + "/locked/listed/h");
    f.scan();
    ::chmod((f.root() + "/locked/closed").c_str(), 0700);
    ::chmod((f.root() + "/locked/listed").c_str(), 0744);
    std::vector<uint32_t> gone;
    const int sweep = hmtest::runAsTestUser([&] {
        f.ops().collectVanished(f.id("locked"), &gone);
        return gone.empty() ? 0 : 1;
    });
    EXPECT_EQ(sweep, 0);
    put(f.root() + "/locked/g");
    f.scan();
    ::unlink((f.root() + "/locked/g").c_str());
    f.ops().collectVanished(f.id("locked"), &gone);
    EXPECT_EQ(gone, std::vector<uint32_t>{f.id("locked/g")});

    // The item's folder replaced by another (root's too) after the failed trash: the offer
    // refuses the item by name, and nothing reaches the root side.
    put(f.root() + "/other/f", "someone else's");
    ASSERT_EQ(::chown(f.root().c_str(), hmtest::testUserUid(), hmtest::testUserGid()), 0);
    handed.clear();
    f.asked.clear();
    f.errors.clear();
    f.backend.moveToTrash = [&](const RemovalTarget& target) {
        const TrashOutcome outcome = moveItemToTrash(target);
        ::rename((f.root() + "/locked").c_str(), (f.root() + "/locked.moved").c_str());
        ::rename((f.root() + "/other").c_str(), (f.root() + "/locked").c_str());
        return outcome;
    };
    const int swapped = hmtest::runAsTestUser([&] {
        f.ops().moveToTrash(f.items({"locked/f"}));
        const QString refusal = "Couldn't delete as Administrator | " + placeChangedText(qs(f.root() + "/locked/f"));
        return f.asked.size() == 1 && handed.isEmpty() && f.errors == QStringList(refusal) ? 0 : 1;
    });
    EXPECT_EQ(swapped, 0);
    EXPECT_EQ(hmtest::readText(f.root() + "/locked/f"), "someone else's");

    // The same folder seen through a bind mount made after the failed trash (by root, on the
    // user's signal) is not where the item was chosen: refused, nothing handed on.
    put(f.root() + "/shut/f");
    ::chmod((f.root() + "/shut").c_str(), 0755);
    f.scan();
    int ready[2], mounted[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(mounted), 0);
    hmtest::Mounts self;
    std::thread mounter([&] {
        char c = 0;
        if (::read(ready[0], &c, 1) == 1)
            c = self.bind(f.root() + "/shut", f.root() + "/shut") ? 1 : 0;
        (void)!::write(mounted[1], &c, 1);
    });
    handed.clear();
    f.asked.clear();
    f.errors.clear();
    f.backend.moveToTrash = [&](const RemovalTarget& target) {
        const TrashOutcome outcome = moveItemToTrash(target);
        char c = 1;
        (void)!::write(ready[1], &c, 1);
        (void)!::read(mounted[0], &c, 1);
        return outcome;
    };
    const int rebound = hmtest::runAsTestUser([&] {
        f.ops().moveToTrash(f.items({"shut/f"}));
        const QString refusal = "Couldn't delete as Administrator | " + placeChangedText(qs(f.root() + "/shut/f"));
        return f.asked.size() == 1 && handed.isEmpty() && f.errors == QStringList(refusal) ? 0 : 1;
    });
    ::close(ready[1]);  // a child that never signalled leaves the mounter at the end of the pipe
    mounter.join();
    for (const int fd : {ready[0], mounted[0], mounted[1]})
        ::close(fd);
    EXPECT_EQ(rebound, 0);
    EXPECT_TRUE(exists(f.root() + "/shut/f"));
}

TEST(FileOperations, VanishedSweepCopesWithAHundredThousandLevels)
{
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs a tmpfs mount for a quick deep tree";
    Fixture f;
    hmtest::Mounts mounts;
    ASSERT_TRUE(mounts.mount("-t tmpfs none", f.dir.path()));
    ::mkdir(f.root().c_str(), 0755);
    int fd = ::open(f.root().c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 100000; ++level) {
        ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::close(::openat(fd, "leaf", O_CREAT | O_WRONLY, 0644));
    // The same chain as a tree, built directly: one folder per level, the file at the end.
    constexpr uint32_t kNodes = 100002;
    f.tree = std::make_unique<svl::ScanTree>();
    ASSERT_EQ(f.tree->allocateNodes(kNodes), 0u);
    for (uint32_t i = 0; i < kNodes; ++i) {
        const std::string name = i == 0 ? f.root() : i + 1 == kNodes ? "leaf" : "d";
        svl::ScanNode& node = f.tree->node(i);
        node = svl::ScanNode{};
        node.name = f.tree->storeName(name);
        node.nameLength = uint16_t(name.size());
        node.parent = i == 0 ? 0 : i - 1;
        node.firstChild = i + 1 == kNodes ? 0 : i + 1;
        node.childCount = i + 1 == kNodes ? 0 : 1;
        node.flags = i + 1 == kNodes ? 0 : svl::NodeFlag::Folder;
    }
    f.tree->finishNodeCount();
    f.context.displayed = f.context.full = f.tree.get();
    ASSERT_EQ(::unlinkat(fd, "leaf", 0), 0);
    ::close(fd);
    std::vector<uint32_t> gone;
    f.ops().collectVanished(0, &gone);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(f.tree->node(gone[0]).nameView(), "leaf");
}

TEST(FileOperations, BothCopiesActBelowALinkedTopOnlyInTheFolderTheScanOpened)
{
    for (const bool elevated : {false, true}) {
        SCOPED_TRACE(elevated ? "administrator copy" : "ordinary copy");
        Fixture f;
        const std::string link = f.dir / "link", real = f.dir / "real", other = f.dir / "other";
        for (const char* name : {"a.bin", "b.bin", "c.bin"})
            put(real + "/top/" + name, "scanned");
        put(other + "/top/d.bin", "someone else's");
        ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
        f.mountedRoot = link + "/top";
        f.scan();
        f.ops(elevated).moveToTrash(f.items({"a.bin"}));  // deleted instead by an administrator copy
        f.ops(elevated).deleteImmediately(f.items({"b.bin"}));
        EXPECT_TRUE(f.rename(f.id("c.bin"), "d.bin", elevated));
        EXPECT_EQ(f.errors, QStringList());
        EXPECT_FALSE(exists(real + "/top/a.bin"));
        EXPECT_FALSE(exists(real + "/top/b.bin"));
        EXPECT_TRUE(exists(real + "/top/d.bin"));

        // The link now leads elsewhere: nothing there is touched.
        ASSERT_EQ(::unlink(link.c_str()), 0);
        ASSERT_EQ(::symlink(other.c_str(), link.c_str()), 0);
        f.ops(elevated).deleteImmediately(f.items({"d.bin"}));
        EXPECT_FALSE(f.rename(f.id("d.bin"), "e.bin", elevated));
        const QString changed = placeChangedText(qs(link + "/top/d.bin"));
        EXPECT_EQ(f.errors, QStringList({"Couldn't delete | " + changed, "Couldn't rename \"d.bin\" | " + changed}));
        EXPECT_EQ(hmtest::readText(other + "/top/d.bin"), "someone else's");

        // Without the scan's record of the folder behind the link, an ordinary copy refuses, and
        // an administrator copy names the link as the reason.
        ASSERT_EQ(::unlink(link.c_str()), 0);
        ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
        f.tree->scannedTops.clear();
        f.errors.clear();
        f.ops(elevated).deleteImmediately(f.items({"d.bin"}));
        EXPECT_EQ(f.errors, QStringList(elevated ? "Couldn't delete | The way to \"" + qs(link + "/top/d.bin") +
                                                       "\" goes through a symbolic link, which Hollowmere doesn't "
                                                       "follow when running as Administrator, so nothing was changed."
                                                 : "Couldn't delete | " + changed));
        EXPECT_TRUE(exists(real + "/top/d.bin"));

        // A folder on a way without links that is now a file is a changed place, not a link.
        put(real + "/plain/sub/e.bin");
        f.mountedRoot = real + "/plain";
        f.scan();
        f.tree->scannedTops.clear();
        ASSERT_EQ(::rename((real + "/plain/sub").c_str(), (real + "/plain/sub.moved").c_str()), 0);
        put(real + "/plain/sub");
        f.errors.clear();
        f.ops(elevated).deleteImmediately(f.items({"sub/e.bin"}));
        EXPECT_EQ(f.errors, QStringList("Couldn't delete | " + placeChangedText(qs(real + "/plain/sub/e.bin"))));
    }
}

TEST(FileOperations, AnAdministratorCopyActsBelowARenamedLinkedTopOfSeveral)
{
    Fixture f;
    const std::string real = f.dir / "real", data = f.dir / "data";
    put(real + "/a.bin");
    put(real + "/sub/b.bin");
    put(f.dir / "m2/c.bin");
    ASSERT_EQ(::symlink(real.c_str(), data.c_str()), 0);
    f.tree = svl::scanMultiple({data, f.dir / "m2"}, {}, nullptr);
    ASSERT_TRUE(f.tree);
    f.context.displayed = f.context.full = f.tree.get();
    const auto idOf = [&](const std::string& path) { return uint32_t(f.shown()->findPath(path.data(), path.size())); };
    // The link itself takes the new name under a filter; the record of the folder behind it
    // follows in the unfiltered tree too, shown again once the filter is cleared.
    f.filter("*.bin");
    EXPECT_TRUE(f.rename(idOf(data), "data2", true));
    f.context.displayed = f.tree.get();
    f.ops(true).deleteImmediately(FileCommandPlanner(f.context).collect({idOf(f.dir / "data2/a.bin")}, false, false));
    EXPECT_TRUE(f.rename(idOf(f.dir / "data2/sub"), "sub2", true));
    EXPECT_EQ(f.errors, QStringList());
    EXPECT_FALSE(exists(real + "/a.bin"));
    EXPECT_TRUE(exists(real + "/sub2/b.bin"));
}

TEST(FileOperations, RenameChangesBothTreesAndNeverReplaces)
{
    Fixture f;
    put(f.root() + "/keep.txt");
    put(f.root() + "/other.txt");
    f.scan();
    f.filter("keep*");
    const uint32_t shownId = f.id("keep.txt");
    EXPECT_FALSE(f.rename(shownId, "  keep.txt "));  // same name: nothing, no box
    EXPECT_FALSE(f.rename(shownId, "other.txt"));
    ASSERT_EQ(f.errors.size(), 1);
    EXPECT_EQ(f.errors[0], "Couldn't rename \"keep.txt\" | An item with that name already exists.");
    for (const uint32_t none : {0u, f.filtered->nodeCount})
        EXPECT_EQ(f.ops().placeForRename(none).id, 0u) << "no place recorded for " << none;
    EXPECT_TRUE(f.rename(shownId, " new name.txt "));
    EXPECT_EQ(f.filtered->node(shownId).nameView(), "new name.txt");
    const std::string full = f.root() + "/new name.txt";
    EXPECT_GT(f.tree->findPath(full.data(), full.size()), 0);
    EXPECT_TRUE(exists(full));
}

TEST(FileOperations, TerminalsOpenOncePerFolderAndManyWindowsAsk)
{
    Fixture f;
    for (const char* name : {"d/1", "d/2", "d/3", "e/1", "e/2", "e/3"})
        put(f.root() + "/" + name);
    f.scan();
    QStringList terminals;
    bool terminalWorks = true;
    f.backend.openTerminal = [&](const QString& folder) {
        terminals.append(folder);
        return terminalWorks;
    };
    f.ops().openTerminal(f.items({"d/1", "d/2", "d/3", "d"}));
    EXPECT_EQ(terminals, QStringList{qs(f.root() + "/d")});
    EXPECT_TRUE(f.asked.isEmpty());

    f.answer = false;
    f.ops().openTerminal(f.items({"d/1", "d/2", "d/3", "e/1", "e/2", "e/3"}));
    EXPECT_EQ(f.asked, QStringList{"You are about to open 6 terminal windows - are you sure? | "});
    EXPECT_EQ(terminals.size(), 1);
    // Opening many files asks the same way; five go without a question.
    int opened = 0;
    f.backend.open = [&](const QString&) { return ++opened > 0; };
    f.ops().open(f.items({"d/1", "d/2", "d/3", "e/1", "e/2", "e/3"}));
    EXPECT_EQ(f.asked.last(), "You are about to open 6 windows - are you sure? | ");
    EXPECT_EQ(opened, 0);
    f.ops().open(f.items({"d/1", "d/2", "d/3", "e/1", "e/2"}));
    EXPECT_EQ(opened, 5);
    EXPECT_EQ(f.asked.size(), 2);

    terminalWorks = false;
    f.answer = true;
    f.ops().openTerminal(f.items({"d/1", "e/1"}));
    EXPECT_EQ(terminals.size(), 2);  // stops at the first failure
    EXPECT_EQ(f.errors, QStringList{"Couldn't open a terminal | No terminal emulator was found. Set the TERMINAL "
                                    "environment variable to the one you use."});
}

TEST(FileOperations, PropertiesFallBackToTheTreesOwnSummary)
{
    Fixture f;
    for (int i = 0; i < 10; ++i)
        put(f.root() + "/big/" + (i < 5 ? "s1/" : "s2/") + std::to_string(i), "12345");
    put(f.root() + "/beside", "abc");
    f.scan();
    f.backend.showProperties = [](const QList<QString>&) { return false; };
    f.ops().showProperties(f.items({"big"}));
    f.ops().showProperties(f.items({"big", "beside"}));
    ASSERT_EQ(f.information.size(), 2);
    EXPECT_TRUE(f.information[0].startsWith("Properties | Name: big\nLocation: " + qs(f.root()) + "\nSize: "));
    EXPECT_TRUE(f.information[0].endsWith("Contains: 10 files, 2 folders"));
    EXPECT_TRUE(f.information[1].startsWith("Properties | Selection: 2 items\n"));
    EXPECT_TRUE(f.information[1].endsWith("Contains: 11 files, 3 folders"));
}

TEST(FileCommandPlanner, SizeListingIsLargestFirstAndIndentedLikeTheTree)
{
    Fixture f;
    put(f.root() + "/small/x", std::string(100, 'x'));
    put(f.root() + "/large/y", std::string(3000, 'y'));
    put(f.root() + "/large/z", std::string(2000, 'z'));
    f.scan();
    const FileCommandPlanner planner(f.context);
    const uint32_t large = f.id("large");
    FileCommandPlanner::RowAccess rows;
    rows.isExpanded = [&](uint32_t row) { return row == 0 || row == large; };
    rows.childRows = [&](uint32_t row) {
        std::vector<uint32_t> out;
        for (uint32_t i = 0; i < f.tree->node(row).childCount; ++i)
            out.push_back(f.tree->node(row).firstChild + i);
        return out;
    };
    const QString text = planner.sizeListing({0}, false, rows);
    const QStringList lines = text.split('\n');
    ASSERT_EQ(lines.size(), 6);  // root, large, y, z, small, and the final line feed
    EXPECT_TRUE(lines[0].endsWith("  " + qs(f.root())));
    EXPECT_EQ(lines[1].mid(20), "    " + qs(f.root() + "/large"));
    EXPECT_EQ(lines[2].mid(20), "      y");
    EXPECT_EQ(lines[3].mid(20), "      z");
    EXPECT_EQ(lines[4].mid(20), "    " + qs(f.root() + "/small"));
    EXPECT_EQ(lines[2].left(20).trimmed(), "2.93 KB");
    EXPECT_EQ(planner.sizeListing({f.id("large/z")}, true, rows).mid(20), "  " + qs(f.root() + "/large/z") + "\n");
}

TEST(FileOperations, ASwapAfterTheScanOrWhileAskedOrEditingIsLeftAlone)
{
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1))
        GTEST_SKIP() << "needs root and the ordinary test account";
    const auto moveAway = [](const std::string& root) {
        ::rename((root + "/d1/sub/victim.bin").c_str(), (root + "/victim.moved").c_str());
    };
    // Paths below the work folder, which holds the scanned folder "root" and OUT, whose
    // sub/ and d1/sub/ look like the scanned folders.
    const struct {
        const char* what;
        bool beforeCommand;  // made after the scan, before the command (as root); else while asked or editing
        std::function<void(const std::string& root, const std::string& out, hmtest::Mounts& mounts)> swap;
        const char* chosen;   // where the chosen item is after the swap (and any mount is gone)
        bool siblingMoved;    // the sibling went with the swap, so it is refused too
        const char* outNow;   // where OUT is after the swap
        const char* refusal;  // what the refusals say
    } swaps[] = {
        {"parent for a link", false,
         [](const std::string& root, const std::string& out, hmtest::Mounts&) {
             ::rename((root + "/d1").c_str(), (root + "/d1.moved").c_str());
             ::symlink(out.c_str(), (root + "/d1").c_str());
         },
         "root/d1.moved/sub/victim.bin", true, "OUT", "victim.bin"},
        {"parent for a real folder", false,
         [](const std::string& root, const std::string& out, hmtest::Mounts&) {
             ::rename((root + "/d1").c_str(), (root + "/d1.moved").c_str());
             ::rename(out.c_str(), (root + "/d1").c_str());
         },
         "root/d1.moved/sub/victim.bin", true, "root/d1", "victim.bin"},
        {"item for a link", false,
         [&](const std::string& root, const std::string& out, hmtest::Mounts&) {
             moveAway(root);
             ::symlink((out + "/sub/victim.bin").c_str(), (root + "/d1/sub/victim.bin").c_str());
         },
         "root/victim.moved", false, "OUT", "victim.bin"},
        {"item for another file", false,
         [&](const std::string& root, const std::string&, hmtest::Mounts&) {
             moveAway(root);
             put(root + "/d1/sub/victim.bin", "someone else's");
         },
         "root/victim.moved", false, "OUT", "victim.bin"},
        {"top for a link", true,
         [](const std::string& root, const std::string& out, hmtest::Mounts&) {
             ::rename(root.c_str(), (root + ".moved").c_str());
             ::symlink(out.c_str(), root.c_str());
         },
         "root.moved/d1/sub/victim.bin", true, "OUT", "victim.bin"},
        {"top for a real folder", true,
         [](const std::string& root, const std::string& out, hmtest::Mounts&) {
             ::rename(root.c_str(), (root + ".moved").c_str());
             ::rename(out.c_str(), root.c_str());
         },
         "root.moved/d1/sub/victim.bin", true, "root", "victim.bin"},
        {"bind mount over the parent", true,
         [](const std::string& root, const std::string& out, hmtest::Mounts& mounts) {
             ASSERT_TRUE(mounts.bind(out + "/sub", root + "/d1/sub"));
         },
         "root/d1/sub/victim.bin", true, "OUT", "root/d1/sub\" is now a mount point"},
        {"bind mount above the parent", true,
         [](const std::string& root, const std::string& out, hmtest::Mounts& mounts) {
             ASSERT_TRUE(mounts.bind(out, root + "/d1"));
         },
         "root/d1/sub/victim.bin", true, "OUT", "root/d1\" is now a mount point"},
    };
    for (const auto& swap : swaps) {
        for (const bool elevated : {false, true}) {
            for (const char* action : {"delete", "trash", "rename"}) {
                SCOPED_TRACE(std::string(swap.what) + ", " + action + (elevated ? ", administrator copy" : ""));
                Fixture f;
                put(f.root() + "/d1/sub/victim.bin", "chosen");
                put(f.root() + "/d1/sub/sibling.bin", "chosen");
                const std::string out = f.dir / "OUT";
                for (const char* decoy : {"/sub/victim.bin", "/sub/sibling.bin", "/d1/sub/victim.bin", "/d1/sub/sibling.bin"})
                    put(out + decoy, "someone else's");
                put(f.dir / "data/.keep");
                giveToTestUser(f.dir.path());
                ::chmod(f.dir.path().c_str(), 0755);
                f.scan();
                const uint32_t victim = f.id("d1/sub/victim.bin");
                // The victim takes over the parent recorded for the sibling; its own identity is read apart.
                const QList<SelectedItem> items = f.items({"d1/sub/sibling.bin", "d1/sub/victim.bin"});
                {
                    hmtest::Mounts mounts;
                    if (swap.beforeCommand)
                        swap.swap(f.root(), out, mounts);
                    else
                        f.whileAsked = f.whileEditing = [&] { swap.swap(f.root(), out, mounts); };
                    const auto command = [&] {
                        if (!elevated)  // in the ordinary account's own process
                            setenv("XDG_DATA_HOME", (f.dir / "data").c_str(), 1);
                        if (std::string(action) == "rename")
                            return f.rename(victim, "renamed.bin", elevated) || f.errors.size() != 1 ||
                                           !f.errors[0].contains(swap.refusal) ? 1 : 0;
                        if (std::string(action) == "trash")
                            f.ops(elevated).moveToTrash(items);
                        else
                            f.ops(elevated).deleteImmediately(items);
                        // Refusals naming what changed (before any question for a change made
                        // before the command); that stays in the tree.
                        const QString refusals = f.errors.join('\n');
                        if (f.asked.size() != (swap.beforeCommand ? 0 : 1) || !refusals.contains(swap.refusal) ||
                            (!swap.beforeCommand && refusals.contains("sibling.bin") != swap.siblingMoved))
                            return 2;
                        return f.removedIds.size() == (swap.siblingMoved ? 0u : 1u) ? 0 : 3;
                    };
                    EXPECT_EQ(elevated ? command() : hmtest::runAsTestUser(command), 0) << f.errors.join('\n').toStdString();
                    const std::string outNow = f.dir / swap.outNow;
                    for (const char* decoy : {"/sub/victim.bin", "/sub/sibling.bin", "/d1/sub/victim.bin", "/d1/sub/sibling.bin"})
                        EXPECT_EQ(hmtest::readText(outNow + decoy), "someone else's") << decoy;
                    EXPECT_FALSE(exists(outNow + "/sub/renamed.bin"));
                    EXPECT_FALSE(exists(outNow + "/d1/sub/renamed.bin"));
                }
                EXPECT_EQ(hmtest::readText(f.dir / swap.chosen), "chosen");
                EXPECT_FALSE(exists(f.root() + "/d1/sub/renamed.bin"));
                EXPECT_FALSE(exists(f.dir / "data/Trash/files/victim.bin"));
            }
        }
    }
}

TEST(FileOperations, TrashedItemsRestoreToTheirExactNamesAlsoInANewHome)
{
    Fixture f;
    const std::vector<std::string> names = {"pct%20name", "line\nbreak", " two  spaces ", "again/pct%20name"};
    for (const std::string& name : names)
        put(f.root() + "/" + name);
    f.scan();
    // A home without ~/.local/share: the trash and the folders above it are made.
    TempDir home;
    const std::string savedHome = qEnvironmentVariable("HOME").toStdString();
    const std::string savedData = qEnvironmentVariable("XDG_DATA_HOME").toStdString();
    setenv("HOME", home.path().c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    for (const std::string& name : names)
        f.ops().moveToTrash(f.items({name.c_str()}));
    setenv("HOME", savedHome.c_str(), 1);
    setenv("XDG_DATA_HOME", savedData.c_str(), 1);

    EXPECT_TRUE(f.errors.isEmpty()) << f.errors.join('\n').toStdString();
    const std::string trash = home / ".local/share/Trash";
    struct stat st {};
    ASSERT_EQ(::stat(trash.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    const auto trashed = trashedItems(trash);
    EXPECT_EQ(trashed.size(), names.size());  // the second "pct%20name" got a name of its own
    for (const std::string& name : names) {
        const QByteArray original = QByteArray::fromStdString(f.root() + "/" + name);
        ASSERT_EQ(trashed.count(original), 1u) << name;
        EXPECT_TRUE(exists(trash + "/files/" + trashed.at(original).toStdString())) << name;
    }
}

TEST(FileOperations, AnOrdinaryUserTrashesDeletesAndRenamesOnEveryVolume)
{
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1))
        GTEST_SKIP() << "needs root and the ordinary test account";
    const std::string owner = "uid=" + std::to_string(hmtest::testUserUid()) +
                              ",gid=" + std::to_string(hmtest::testUserGid());
    const struct {
        const char* kind;
        const char* mkfs;  // empty: tmpfs
        const char* type;
        std::string options;
    } volumes[] = {
        {"ext4", "mkfs.ext4 -q -F", "", ""},
        {"ntfs-3g", "mkntfs -F -Q -q", "ntfs-3g", owner},
        {"tmpfs", "", "", owner},
    };
    for (const auto& volume : volumes) {
        SCOPED_TRACE(volume.kind);
        if (volume.mkfs[0] && !hmtest::haveTool(std::string(volume.mkfs).substr(0, std::string(volume.mkfs).find(' '))))
            GTEST_SKIP() << "no " << volume.mkfs;
        Fixture f;
        ::chmod(f.dir.path().c_str(), 0755);
        hmtest::Mounts mounts;
        std::unique_ptr<hmtest::LoopMount> loop;
        if (volume.mkfs[0]) {
            loop = std::make_unique<hmtest::LoopMount>(f.dir.path(), volume.mkfs, 16, volume.type, volume.options);
            ASSERT_TRUE(loop->ok()) << loop->error();
            f.mountedRoot = loop->mountPoint();
        } else {
            f.mountedRoot = f.dir / "tmpfs";
            ::mkdir(f.mountedRoot.c_str(), 0755);
            ASSERT_TRUE(mounts.mount("-t tmpfs -o " + volume.options + " none", f.mountedRoot));
        }
        // Names that aren't UTF-8 (not on ntfs-3g, which stores UTF-16), acted on by their
        // exact bytes beside the look-alike their text shows.
        const bool bytes = std::string(volume.kind) != "ntfs-3g";
        put(f.root() + "/to trash%20.txt", "t");
        put(f.root() + "/to delete", "d");
        put(f.root() + "/to rename", "r");
        if (bytes) {
            for (const char* name : {"bad\xff" "name", "bad\xfe" "name", "bad\xfd" "name"})
                put(f.root() + "/" + name, name);
            put(f.root() + "/bad\xef\xbf\xbd" "name", "look-alike");
        }
        put(f.dir / "data/.keep");
        giveToTestUser(f.dir / "data");
        giveToTestUser(f.root());
        f.scan();
        const QList<SelectedItem> trashed = bytes ? f.items({"to trash%20.txt", "bad\xff" "name"})
                                                  : f.items({"to trash%20.txt"});
        const QList<SelectedItem> deleted = bytes ? f.items({"to delete", "bad\xfe" "name"}) : f.items({"to delete"});
        std::vector<std::pair<uint32_t, std::string>> renames{{f.id("to rename"), "renamed"}};
        if (bytes)
            renames.emplace_back(f.id("bad\xfd" "name"), "new\xfd" "name");
        const int rc = hmtest::runAsTestUser([&] {
            setenv("XDG_DATA_HOME", (f.dir / "data").c_str(), 1);
            f.ops().moveToTrash(trashed);
            f.ops().deleteImmediately(deleted);
            bool ok = true;
            for (const auto& [id, name] : renames)
                ok = f.rename(id, pathText(name)) && f.tree->node(id).nameView() == name && ok;
            if (!f.errors.isEmpty() || f.asked.size() != 2)
                return 1;
            return ok ? 0 : 2;
        });
        EXPECT_EQ(rc, 0) << f.errors.join('\n').toStdString();
        EXPECT_FALSE(exists(f.root() + "/to trash%20.txt"));
        EXPECT_FALSE(exists(f.root() + "/to delete"));
        EXPECT_TRUE(exists(f.root() + "/renamed"));
        // The volume's own trash, with the path relative to the volume's top.
        const std::string trash = f.root() + "/.Trash-" + std::to_string(hmtest::testUserUid());
        const auto items = trashedItems(trash);
        ASSERT_EQ(items.count("to trash%20.txt"), 1u);
        EXPECT_EQ(hmtest::readText(trash + "/files/" + items.at("to trash%20.txt").toStdString()), "t");
        if (bytes) {
            ASSERT_EQ(items.count("bad\xff" "name"), 1u);
            EXPECT_EQ(hmtest::readText(trash + "/files/" + items.at("bad\xff" "name").toStdString()), "bad\xff" "name");
            EXPECT_FALSE(exists(f.root() + "/bad\xfe" "name"));
            EXPECT_EQ(hmtest::readText(f.root() + "/new\xfd" "name"), "bad\xfd" "name");
            EXPECT_EQ(hmtest::readText(f.root() + "/bad\xef\xbf\xbd" "name"), "look-alike");
        }
    }
}

// A confirmed removal runs on a thread of its own; a cancel stops it before the next item:
// what was done leaves the tree, the rest stays, and nothing more is asked (not even about
// an item the trash refused before the cancel). Failures come
// in one message that names the first few and counts the rest.
// One folder deleted with a cancel raised after a chosen number of entries: the walk stops
// there, at any depth; the tree drops what went and keeps what is left with its counts; the
// progress counted entries; the file beside it stays.
TEST(FileOperations, ACancelInsideAFolderStopsItThereAndTheTreeKeepsWhatIsLeft)
{
    struct Row {
        const char* when;
        uint64_t cancelAt;  // entries removed when the cancel comes; none: never
        uint64_t left;      // entries left of top, top itself included
    };
    // top holds 6 files and sub, sub 4 files and deep, deep 3 files: 16 entries. Files go
    // before their folder's folders, a folder once emptied.
    const Row rows[] = {
        {"before the first entry", 0, 16},  {"after 4 entries", 4, 12},
        {"inside a nested folder", 8, 8},   {"two folders deep", 12, 4},
        {"during the top's own removal", 15, 1}, {"never", UINT64_MAX, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.when);
        Fixture f;
        for (int i = 0; i < 6; ++i)
            put(f.root() + "/top/f" + std::to_string(i));
        for (int i = 0; i < 4; ++i)
            put(f.root() + "/top/sub/g" + std::to_string(i));
        for (int i = 0; i < 3; ++i)
            put(f.root() + "/top/sub/deep/h" + std::to_string(i));
        put(f.root() + "/beside");
        f.scan();
        f.beforeEntry = [&](uint64_t removed, RemovalProgress& progress) {
            if (removed == row.cancelAt)
                progress.cancel.store(true);
        };
        f.ops().deleteImmediately(f.items({"top"}));
        EXPECT_EQ(f.asked.size(), 1);
        EXPECT_TRUE(f.errors.isEmpty()) << f.errors.join('\n').toStdString();
        EXPECT_EQ(f.removalTotal, 16u);
        EXPECT_EQ(f.removalDone, 16 - row.left);
        uint64_t onDisk = 0;
        std::error_code ignored;
        for (auto it = std::filesystem::recursive_directory_iterator(f.root(), ignored);
             it != std::filesystem::recursive_directory_iterator(); ++it)
            ++onDisk;
        EXPECT_EQ(onDisk, row.left + 1) << "and the file beside";
        const svl::ScanNode& root = f.tree->node(0);
        EXPECT_EQ(uint64_t(root.filesBelow) + root.foldersBelow, onDisk);
        for (uint32_t id = 1; id < f.tree->nodeCount; ++id)
            EXPECT_NE(exists(f.tree->fullPath(id)), bool(f.tree->node(id).flags & svl::NodeFlag::Removed))
                << f.tree->fullPath(id);
    }
}

TEST(FileOperations, RemovalsStopBetweenItemsWhenCancelledAndGatherTheirFailures)
{
    Fixture f;
    for (int i = 0; i < 12; ++i)
        put(f.root() + "/many/f" + std::to_string(10 + i));
    f.scan();
    std::vector<uint32_t> ids;
    for (int i = 0; i < 12; ++i)
        ids.push_back(f.id("many/f" + std::to_string(10 + i)));
    int calls = 0;
    f.backend.moveToTrash = [&](const RemovalTarget& target) {
        if (++calls == 2)
            return TrashOutcome::NotTrashable;
        if (calls == 3)
            f.removal->cancel.store(true);
        return moveItemToTrash(target);
    };
    f.ops().moveToTrash(FileCommandPlanner(f.context).collect(ids, false, false));
    EXPECT_EQ(f.removalRuns, 1);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(f.asked.size(), 1);
    EXPECT_EQ(f.removedIds.size(), 2u);
    for (uint32_t id : ids)
        EXPECT_NE(exists(f.shown()->fullPath(id)), bool(f.shown()->node(id).flags & svl::NodeFlag::Removed)) << id;

    // An item another program removed while the question was open is no failure: it leaves the tree.
    put(f.root() + "/gone/a");
    put(f.root() + "/gone/b");
    f.scan();
    const std::vector<uint32_t> gone{f.id("gone/a"), f.id("gone/b")};
    f.removedIds.clear();
    f.whileAsked = [&] { ::unlink((f.root() + "/gone/a").c_str()); };
    f.ops().deleteImmediately(f.items({"gone/a", "gone/b"}));
    f.whileAsked = nullptr;
    EXPECT_TRUE(f.errors.isEmpty()) << f.errors.join('\n').toStdString();
    EXPECT_EQ(f.removedIds, gone);
    EXPECT_FALSE(exists(f.root() + "/gone/b"));

    // Files of one folder share its walk for a while only: a folder moved away meanwhile, and
    // another put in its place, is noticed at the next walk, and what is left in it stays.
    constexpr int kFiles = ItemDeleter::kWalkEvery + 44;
    put(f.root() + "/run/f0");
    for (int i = 1; i < kFiles; ++i)
        hmtest::writeFile(f.root() + "/run/f" + std::to_string(i), "x");
    f.scan();
    f.beforeEntry = [&](uint64_t removed, RemovalProgress&) {
        if (removed == 10) {
            ASSERT_EQ(hmtest::sh("cd " + hmtest::shQuote(f.root()) + " && mv run moved && mkdir run"), 0);
        }
    };
    std::vector<uint32_t> run;
    for (int i = 0; i < kFiles; ++i)
        run.push_back(f.id("run/f" + std::to_string(i)));
    f.ops().deleteImmediately(FileCommandPlanner(f.context).collect(run, false, false));
    f.beforeEntry = nullptr;
    size_t stayed = 0;
    for (int i = 0; i < kFiles; ++i)
        stayed += exists(f.root() + "/moved/f" + std::to_string(i));
    EXPECT_EQ(stayed, 44u);
    f.removedIds = gone;

    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for a read-only bind mount";
    hmtest::Mounts mounts;
    ASSERT_TRUE(mounts.bind(f.root(), f.root()) && mounts.mount("-o remount,bind,ro", f.root()));
    f.scan();
    std::vector<uint32_t> left;
    for (int i = 3; i < 12; ++i)
        left.push_back(f.id("many/f" + std::to_string(10 + i)));
    f.asked.clear();
    f.backend = FileActionBackend::system();
    f.ops().moveToTrash(FileCommandPlanner(f.context).collect(left, false, false));
    ASSERT_EQ(f.asked.size(), 2);  // the trash question, then deleting instead
    EXPECT_TRUE(f.asked[1].startsWith("9 items can't be moved to the Trash.")) << f.asked[1].toStdString();
    ASSERT_EQ(f.errors.size(), 1) << f.errors.join('\n').toStdString();
    const QStringList lines = f.errors[0].split('\n');
    ASSERT_EQ(lines.size(), FileOperations::kFailuresNamed + 1);
    EXPECT_EQ(lines[0], "Couldn't delete | \"" + qs(f.root()) + "/many/f13\": Read-only file system");
    EXPECT_EQ(lines.back(), "and 4 more");
    EXPECT_TRUE(f.removedIds.size() == 2u && exists(f.root() + "/many/f21"));
    // A few failures are all named, with nothing counted after them.
    f.errors.clear();
    f.ops().deleteImmediately(f.items({"many/f20", "many/f21"}));
    EXPECT_EQ(f.errors, QStringList("Couldn't delete | \"" + qs(f.root()) + "/many/f20\": Read-only file system\n\"" +
                                    qs(f.root()) + "/many/f21\": Read-only file system"));
}
