#include "core/scan/ScanDriver.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "core/rawindex/RawIndex.h"
#include "core/scan/FolderWalker.h"
#include "core/scan/RemoteSource.h"
#include "core/scan/RootProbe.h"
#include "core/scan/VolumeClass.h"
#include "core/tree/ScanTree.h"

namespace svl {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

uint16_t saturatedLength(size_t n) { return uint16_t(std::min<size_t>(n, kMaxNameLength)); }

uint64_t deviceOf(const struct statx& st) { return makedev(st.stx_dev_major, st.stx_dev_minor); }

// Flags of a root record that is not a folder.
uint16_t nonFolderRootFlags(const struct statx& st) { return S_ISLNK(st.stx_mode) ? NodeFlag::Symlink : 0; }

std::optional<std::string> realPathOf(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real)
        return std::nullopt;
    std::string r(real);
    std::free(real);
    return r;
}

// A share opened for a root: asks the provider for the SMB mount behind the root's real path
// and opens a source for it. The time `open` takes (it may wait for a login) is added to
// `loginSeconds`.
struct OpenedShare {
    SmbMountInfo mount;
    std::unique_ptr<RemoteSource> source;
};

std::optional<OpenedShare> openShare(const ScanOptions& options, const std::string& path, double& loginSeconds) {
    if (!options.provider)
        return std::nullopt;
    const auto real = realPathOf(path);
    if (!real)
        return std::nullopt;
    auto mount = options.provider->findSmbMount(*real);
    if (!mount)
        return std::nullopt;
    const auto t = Clock::now();
    auto source = options.provider->open(*mount);
    loginSeconds += secondsSince(t);
    if (!source)
        return std::nullopt;
    return OpenedShare{std::move(*mount), std::move(source)};
}

bool cancelSet(const ScanProgress* progress) { return progress && progress->cancel.load(); }

// incomplete after a walk: a failed worker, else for a raw walk the expired grace, else the cancel.
bool walkIncomplete(const Shared& walk, const ScanProgress* progress) {
    if (walk.workerFailed)
        return true;
    if (walk.isRawWalk())
        return walk.graceExpired;
    return cancelSet(progress);
}

void finishScan(ScanTree& tree, ScanProgress* progress, Clock::time_point start, double loginSeconds) {
    if (progress && !tree.incomplete) {
        progress->reachedFraction = progress->fraction.load();
        progress->fraction = 1.0;
    }
    tree.computeTotals();
    tree.seconds = std::max(0.0, secondsSince(start) - loginSeconds);
}

// A walk touches the tree's storage from front to back: huge pages spare it most page faults.
void adviseHugePages(ScanTree& tree) {
    madvise(tree.nodes, tree.nodeReserved, MADV_HUGEPAGE);
    madvise(tree.names, tree.nameReserved, MADV_HUGEPAGE);
}

}  // namespace

std::unique_ptr<ScanTree> scanSingle(const std::string& path, const ScanOptions& options, ScanProgress* progress) {
    const auto start = Clock::now();
    auto tree = std::make_unique<ScanTree>();
    adviseHugePages(*tree);
    ProbedRoot probed = std::move(probeRoots({path}, progress ? &progress->cancel : nullptr)[0]);
    if (probed.reach == RootReach::Missing || probed.reach == RootReach::NoAnswer) {
        tree->errors = 1;
        tree->unreachedRoots = {{0, probed.reach}};
        return tree;
    }
    const struct statx& st = probed.st;
    const ScanRoot& top = probed.top;
    const std::string& walkPath = top.walkPath;

    // The root, id 0, named by the path as given.
    const char* rootName = tree->storeName(path);
    const uint32_t rootId = tree->allocateNodes(1);
    ScanNode& root = tree->node(rootId);
    root = ScanNode{rootName, 0, st.stx_blocks * 512, st.stx_mtime.tv_sec, 0, 0, 0, 0, 0, saturatedLength(path.size()),
                    0};
    tree->nodeCount = 1;
    double loginSeconds = 0;
    if (probed.reach == RootReach::Denied) {
        // A folder there that may not be listed: shown as denied, not walked.
        root.flags = NodeFlag::Folder | NodeFlag::Unreadable | NodeFlag::AccessDenied;
        tree->errors = 1;
        tree->unreachedRoots = {{0, probed.reach}};
        if (progress)
            progress->errorCount.fetch_add(1);
        finishScan(*tree, progress, start, loginSeconds);
        return tree;
    }
    if (!S_ISDIR(st.stx_mode)) {
        root.size = st.stx_size;
        root.flags = nonFolderRootFlags(st);
        finishScan(*tree, progress, start, loginSeconds);
        return tree;
    }
    root.flags = NodeFlag::Folder;
    tree->scannedTops[path] = {deviceOf(st), st.stx_ino};

    // A folder on an SMB share the provider reads directly.
    if (auto share = openShare(options, path, loginSeconds)) {
        std::atomic<unsigned long> remoteErrors{0};
        const uint64_t nodesBefore = tree->nodeUsed.load();
        const uint64_t namesBefore = tree->nameUsed.load();
        bool threw = false;
        int result = 0;
        try {
            result = scanRemoteInto(*tree, 0, path, share->mount.path, *share->source, options, progress, 1.0,
                                    remoteErrors);
        } catch (...) {
            threw = true;
        }
        share->source.reset();
        if (threw || result >= 0) {
            tree->remote = true;
            tree->finishNodeCount();
            tree->incomplete = threw || cancelSet(progress);
            tree->errors = remoteErrors.load();
            finishScan(*tree, progress, start, loginSeconds);
            return tree;
        }
        // Nothing usable came back: forget anything it claimed (no other thread runs yet) and
        // walk the folder locally.
        tree->nodeUsed = nodesBefore;
        tree->nameUsed = namesBefore;
        root.firstChild = 0;
        root.childCount = 0;
        root.flags = NodeFlag::Folder;
    }

    // The local walk.
    auto walkState = std::make_shared<Shared>(*tree, options, progress);
    Shared& walk = *walkState;
    walk.remote = probed.network;
    tree->remote = walk.remote;
    if (options.rotational >= 1)
        walk.rotational = true;
    else if (options.rotational == 0 || walk.remote)
        walk.rotational = false;
    else
        walk.rotational = isRotationalDisk(walkPath);

    const uint64_t rootDevice = deviceOf(st);
    WalkJob job;
    job.nodeId = 0;
    job.path = walkPath;
    job.weight = 1.0;
    job.device = rootDevice;
    job.id = st.stx_ino;
    job.handle = top.handle;
    job.mount = rootDevice;
    bool partial = false;
    if (options.allowRaw && !walk.remote) {
        bool cancelled = false;
        const auto t = Clock::now();
        auto index = loadRawIndex(walkPath, rootDevice, progress, tree->rawNote, cancelled, tree->rawNeedsAdmin, 0.85,
                                  options.rotational);
        tree->rawSeconds = secondsSince(t);
        if (index) {
            if (index->isPartial()) {
                // The part read is still walked; the cancel is raised again afterwards.
                if (progress)
                    progress->cancel = false;
                partial = true;
            }
            const uint64_t indexRoot = index->rootId();
            RawWalkContext& context = walk.addRawContext(std::move(index), rootDevice);
            collectMountPointsBelow(context, walkPath);
            tree->raw = true;
            job.weight = 0.15;
            job.id = indexRoot;
            job.context = &context;
        } else if (progress) {
            progress->fraction = 0.0;
        }
    }

    walk.queueJob(std::move(job));
    walk.prepareBoundaries(options.boundaryRoots ? *options.boundaryRoots : std::vector<std::string>{walkPath});
    walk.runWorkers(options.threads);
    tree->finishNodeCount();
    tree->incomplete = walkIncomplete(walk, progress);
    tree->errors = walk.errors.load();
    walkState.reset();  // the raw index goes with it
    if (partial) {
        tree->incomplete = true;
        if (progress)
            progress->cancel = true;
    }
    finishScan(*tree, progress, start, loginSeconds);
    return tree;
}

std::unique_ptr<ScanTree> scanMultiple(const std::vector<std::string>& paths, const ScanOptions& options,
                                       ScanProgress* progress) {
    const auto start = Clock::now();
    auto tree = std::make_unique<ScanTree>();
    if (paths.empty())
        return tree;
    adviseHugePages(*tree);
    const size_t n = paths.size();
    const double weight = 1.0 / double(n);

    // Names first, then the N + 1 records in one block, written at once.
    static constexpr char kRootName[] = "Select Multiple";
    const char* rootName = tree->storeName(kRootName);
    std::vector<const char*> names(n);
    for (size_t i = 0; i < n; ++i)
        names[i] = tree->storeName(paths[i]);
    const uint32_t first = tree->allocateNodes(uint32_t(n + 1));
    tree->node(first) = ScanNode{rootName, 0, 0, 0, 0, 1, uint32_t(n), 0, 0, uint16_t(sizeof kRootName - 1),
                                 uint16_t(NodeFlag::VirtualRoot | NodeFlag::Folder)};
    for (size_t i = 0; i < n; ++i)
        tree->node(uint32_t(i + 1)) = ScanNode{names[i], 0, 0, 0, 0, 0, 0, 0, 0, saturatedLength(paths[i].size()), 0};
    tree->nodeCount = uint32_t(n + 1);

    auto walkState = std::make_shared<Shared>(*tree, options, progress);
    Shared& walk = *walkState;
    struct RemoteRoot {
        uint32_t nodeId;
        const std::string* path;  // as given
        std::string walkPath;
        std::string start;  // path inside the share
        std::unique_ptr<RemoteSource> source;
    };
    std::vector<RemoteRoot> remoteRoots;
    std::vector<ScanRoot> tops;  // their descriptors stay open for the walk
    tops.reserve(n);
    uint64_t rootErrors = 0;
    double loginSeconds = 0;
    bool rawStopped = false;  // a cancelled or partial raw load was met
    bool anyNetwork = false;
    bool localJobs = false;
    std::vector<ProbedRoot> probed = probeRoots(paths, progress ? &progress->cancel : nullptr);
    std::vector<std::string> reachedPaths;  // what the walk's boundaries are made of
    for (size_t i = 0; i < n; ++i) {
        const uint32_t id = uint32_t(i + 1);
        ScanNode& node = tree->node(id);
        const struct statx& st = probed[i].st;
        if (probed[i].reach != RootReach::Reached) {
            // A denied folder is there (its own figures were read); a missing root or one that
            // did not answer has none.
            const bool denied = probed[i].reach == RootReach::Denied;
            node.flags = NodeFlag::Folder | NodeFlag::Unreadable | (denied ? NodeFlag::AccessDenied : 0);
            if (denied) {
                node.allocated = st.stx_blocks * 512;
                node.modified = st.stx_mtime.tv_sec;
            }
            tree->unreachedRoots.emplace_back(id, probed[i].reach);
            ++rootErrors;
            if (progress) {
                progress->errorCount.fetch_add(1);
                progress->addFraction(weight);
            }
            continue;
        }
        reachedPaths.push_back(paths[i]);
        ScanRoot& top = tops.emplace_back(std::move(probed[i].top));
        std::string walkPath = top.walkPath;
        node.allocated = st.stx_blocks * 512;
        node.modified = st.stx_mtime.tv_sec;
        if (!S_ISDIR(st.stx_mode)) {
            node.size = st.stx_size;
            node.flags = nonFolderRootFlags(st);
            if (progress)
                progress->addFraction(weight);
            continue;
        }
        node.flags = NodeFlag::Folder;
        tree->scannedTops[paths[i]] = {deviceOf(st), st.stx_ino};
        if (auto share = openShare(options, paths[i], loginSeconds)) {
            remoteRoots.push_back(
                RemoteRoot{id, &paths[i], std::move(walkPath), std::move(share->mount.path), std::move(share->source)});
            tree->remote = true;
            continue;
        }
        if (rawStopped)
            continue;
        const bool network = probed[i].network;
        anyNetwork = anyNetwork || network;
        const uint64_t device = deviceOf(st);
        WalkJob job;
        job.nodeId = id;
        job.path = walkPath;
        job.weight = weight;
        job.device = device;
        job.id = st.stx_ino;
        job.handle = top.handle;
        job.mount = device;
        if (options.allowRaw && !network) {
            std::string note;
            bool cancelled = false;
            bool needsAdmin = false;
            const auto t = Clock::now();
            auto index = loadRawIndex(walkPath, device, progress, note, cancelled, needsAdmin, 0.85 * weight,
                                      options.rotational);
            tree->rawSeconds += secondsSince(t);
            if (needsAdmin)
                tree->rawNeedsAdmin = true;
            if (index) {
                tree->raw = true;
                if (!tree->rawNote.empty())
                    tree->rawNote += "; ";
                tree->rawNote += note;
                if (index->isPartial()) {
                    if (progress)
                        progress->cancel = false;
                    rawStopped = true;
                }
                const uint64_t indexRoot = index->rootId();
                RawWalkContext& context = walk.addRawContext(std::move(index), device);
                collectMountPointsBelow(context, walkPath);
                job.weight = 0.15 * weight;
                job.id = indexRoot;
                job.context = &context;
            } else if (cancelled) {
                rawStopped = true;
            }
        }
        walk.queueJob(std::move(job));
        localJobs = true;
    }

    tree->remote = tree->remote || anyNetwork;
    walk.remote = anyNetwork;
    if (options.rotational >= 1) {
        walk.rotational = true;
    } else if (options.rotational == 0 || tree->remote) {
        walk.rotational = false;
    } else {
        walk.rotational = !reachedPaths.empty() && std::all_of(reachedPaths.begin(), reachedPaths.end(), [](const std::string& p) {
            return isRotationalDisk(p);
        });
    }
    walk.prepareBoundaries(options.boundaryRoots ? *options.boundaryRoots : reachedPaths);

    // Remote roots one after another on one extra thread while the pool walks the local ones.
    std::atomic<unsigned long> remoteErrors{0};
    std::vector<RemoteRoot*> fallback;
    const auto scanRemoteRoots = [&] {
        for (RemoteRoot& r : remoteRoots) {
            try {
                if (scanRemoteInto(*tree, r.nodeId, *r.path, r.start, *r.source, options, progress, weight,
                                   remoteErrors) < 0)
                    fallback.push_back(&r);
            } catch (...) {
                walk.workerFailed = true;
            }
            r.source.reset();
        }
    };
    std::thread remoteThread;
    bool remoteDone = remoteRoots.empty();
    if (!remoteDone) {
        try {
            remoteThread = std::thread(scanRemoteRoots);
        } catch (...) {
            // No extra thread: the remote roots are read after the local walk.
        }
    }
    if (localJobs)
        walk.runWorkers(options.threads);
    if (remoteThread.joinable())
        remoteThread.join();
    else if (!remoteDone)
        scanRemoteRoots();

    // Roots whose remote walk could not be carried out are walked locally, one at a time.
    for (RemoteRoot* r : fallback) {
        ProbedRoot again = std::move(probeRoots({r->walkPath}, progress ? &progress->cancel : nullptr)[0]);
        const struct statx& st = again.st;
        if (again.reach != RootReach::Reached) {
            tree->node(r->nodeId).flags |= NodeFlag::Unreadable;
            ++rootErrors;
            if (progress) {
                progress->errorCount.fetch_add(1);
                progress->addFraction(weight);
            }
            continue;
        }
        WalkJob job;
        job.nodeId = r->nodeId;
        job.path = r->walkPath;
        job.weight = weight;
        job.device = deviceOf(st);
        job.id = st.stx_ino;
        job.mount = job.device;
        walk.queueJob(std::move(job));
        walk.runWorkers(options.threads);
    }

    tree->finishNodeCount();
    if (rawStopped) {
        tree->incomplete = true;
        if (progress)
            progress->cancel = true;
    } else {
        tree->incomplete = walkIncomplete(walk, progress);
    }
    tree->errors = walk.errors.load() + remoteErrors.load() + rootErrors;
    walkState.reset();  // the raw indexes go with it
    finishScan(*tree, progress, start, loginSeconds);
    return tree;
}

}  // namespace svl
