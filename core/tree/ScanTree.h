// The scan tree: the one result of every scan, import and load.
//
// Memory layout: `nodes` is an array of 56-byte ScanNode records and `names` a pool
// of NUL-terminated names. Both live in large reserved anonymous mappings
// (MAP_NORESERVE) grown by atomic bump allocation, so a record never moves once
// written and builder threads keep raw pointers into them without a lock.
// Node 0 is the root; a folder's children are contiguous and every child id is
// greater than its parent's, which lets computeTotals run as one backward pass.
//
// Threads: builders claim and write concurrently (one writer per claimed block);
// readers use the tree only after the builder finished and computeTotals ran.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace svl {

namespace NodeFlag {
constexpr uint16_t Folder = 0x0001;
constexpr uint16_t Symlink = 0x0002;
constexpr uint16_t Unreadable = 0x0004;
constexpr uint16_t OtherDevice = 0x0008;
constexpr uint16_t ExtraHardLink = 0x0010;
constexpr uint16_t Removed = 0x0020;
constexpr uint16_t AccessDenied = 0x0040;
constexpr uint16_t VirtualRoot = 0x0080;
constexpr uint16_t ReadOnly = 0x0100;
constexpr uint16_t Hidden = 0x0200;
constexpr uint16_t System = 0x0400;
constexpr uint16_t Archive = 0x0800;
constexpr uint16_t AttributeD = 0x1000;
constexpr uint16_t Compressed = 0x2000;
constexpr uint16_t BindMount = 0x4000;
constexpr uint16_t VolumeAttributes = 0x8000;
}  // namespace NodeFlag

// Whether a scanned root could be reached, and why not.
enum class RootReach : uint8_t {
    Reached = 0,
    Missing = 1,   // it does not exist
    Denied = 2,    // the user may not read it
    NoAnswer = 3,  // its file system did not answer in time (a mount whose server stopped)
};

struct ScanNode {
    const char* name;  // in the tree's name pool, NUL-terminated
    uint64_t size;
    uint64_t allocated;
    int64_t modified;
    uint32_t parent;
    uint32_t firstChild;
    uint32_t childCount;
    uint32_t filesBelow;
    uint32_t foldersBelow;
    uint16_t nameLength;  // saturated at 65535
    uint16_t flags;       // NodeFlag bits

    bool isFolder() const { return flags & NodeFlag::Folder; }
    std::string_view nameView() const { return name ? std::string_view(name, nameLength) : std::string_view(); }
};
static_assert(sizeof(ScanNode) == 56, "ScanNode must stay 56 bytes");
static_assert(std::is_trivially_copyable_v<ScanNode>);

constexpr uint16_t kMaxNameLength = 65535;

// Whether the node's modified time was never read: a root that could not be reached, an entry
// that could not be examined, a mount point listed without asking it. Such a node holds 0.
[[nodiscard]] inline bool modifiedUnknown(const ScanNode& node) {
    return node.modified == 0 && (node.flags & (NodeFlag::Unreadable | NodeFlag::OtherDevice));
}

// The files directly inside one folder, as the views' file-group rows show them.
struct DirectFilesSummary {
    uint32_t count = 0;    // removed files included: their rows stay in the views
    uint32_t removed = 0;  // of count, the files flagged removed
    uint64_t size = 0;
    uint64_t allocated = 0;
    int64_t newest = 0;  // newest modification time, seconds
};

class ScanTree {
public:
    // Reserves both mappings (halving on failure); throws std::bad_alloc when none can be made.
    ScanTree();
    ~ScanTree();
    ScanTree(const ScanTree&) = delete;
    ScanTree& operator=(const ScanTree&) = delete;

    static constexpr uint64_t kNodeReservationRecords = uint64_t(1) << 30;
    static constexpr int kNodeReservationTries = 7;
    static constexpr uint64_t kNameReservationBytes = uint64_t(32) << 30;
    static constexpr int kNameReservationTries = 6;

    // Claims `count` consecutive records; returns the id of the first one.
    // Throws std::bad_alloc when the block passes the reservation (the counter stays advanced).
    // A builder claims a folder's names before its records and writes the records at once,
    // so that a failing claim never leaves an unwritten block below finishNodeCount's limit.
    [[nodiscard]] uint32_t allocateNodes(uint32_t count);
    // Claims `bytes` of the name pool; throws std::bad_alloc when it passes the reservation.
    [[nodiscard]] char* allocateNames(uint64_t bytes);

    // Claims and copies one NUL-terminated name (used for single records and renames).
    [[nodiscard]] const char* storeName(std::string_view name);

    // Sets nodeCount to the records claimed before the first failed claim, clamped to the reservation.
    void finishNodeCount();

    // One backward pass adding every node into its parent; run once on a freshly built tree.
    void computeTotals();

    ScanNode& node(uint32_t id) { return nodes[id]; }
    const ScanNode& node(uint32_t id) const { return nodes[id]; }

    // Tree paths and edits, defined in TreePaths.cpp. Paths are byte strings joined with
    // "/", exactly as the names are stored. The readers may run on any thread holding the
    // tree; markRemoved and rename only on the one thread owning the displayed tree.

    // The root's name (the scanned path as given) and each name below it, one "/" between
    // names. Under a VirtualRoot the root itself is not part of paths (its path is empty).
    // Requires id < nodeCount.
    [[nodiscard]] std::string fullPath(uint32_t id) const;
    // The node whose full path is `path` (doubled and trailing "/" ignored), or -1.
    [[nodiscard]] int64_t findPath(const char* path, size_t length) const;
    // Walks the "/"-separated components of path[offset, length) down from `start`;
    // the node reached, or -1 when a component is missing or start is out of range.
    [[nodiscard]] int64_t findChildPath(uint32_t start, const char* path, size_t length, size_t offset) const;
    // The files directly inside a folder (not its subfolders); all zero for other ids.
    [[nodiscard]] DirectFilesSummary directFilesSummary(uint32_t folder) const;
    // Takes a node out: subtracts its amounts from every ancestor (saturating at 0) and
    // flags its subtree Removed. False for the root, an id past the end or a removed node.
    [[nodiscard]] bool markRemoved(uint32_t id);
    // Writes a new name into the pool (the old bytes stay). False for an id past the end
    // and for a length of 0 or above 65535. Throws std::bad_alloc when the pool is full.
    [[nodiscard]] bool rename(uint32_t id, const char* name, size_t length);

    std::vector<int64_t> newestTimes;
    ScanNode* nodes = nullptr;
    uint64_t nodeReserved = 0;
    std::atomic<uint64_t> nodeUsed{0};
    char* names = nullptr;
    uint64_t nameReserved = 0;
    std::atomic<uint64_t> nameUsed{0};
    uint32_t nodeCount = 0;
    uint64_t errors = 0;
    double seconds = 0;
    bool incomplete = false;
    bool remote = false;
    bool raw = false;
    double rawSeconds = 0;
    std::string rawNote;
    bool rawNeedsAdmin = false;
    bool importMismatch = false;
    std::unordered_map<uint32_t, std::string> bindSources;

    // The folder a scanned top (the root, or each root under a VirtualRoot) was when the scan
    // opened it, links at and above it resolved: by its path as given. File actions that
    // must not follow links start below such a top only while it is still this folder.
    struct FolderIdentity {
        uint64_t device = 0;
        uint64_t inode = 0;
        bool operator==(const FolderIdentity&) const = default;
    };
    std::unordered_map<std::string, FolderIdentity> scannedTops;

    // Each folder below a top where the walk went on into another mount (the root of a mount
    // it entered): the folder's device and inode and the mount's id (statx; 0 when the kernel
    // has none) then, by node id. File actions cross into a mount only where the scan did.
    struct MountIdentity {
        uint64_t device = 0;
        uint64_t inode = 0;
        uint64_t mountId = 0;
        bool operator==(const MountIdentity&) const = default;
    };
    std::unordered_map<uint32_t, MountIdentity> enteredMounts;

    // The scanned roots that could not be reached, in the given order, with why: a root of
    // several by its node id; the one root of a single scan as id 0, also when the tree has no
    // nodes (it was missing or did not answer).
    std::vector<std::pair<uint32_t, RootReach>> unreachedRoots;

    // Folders below the roots that could not be read for a reason worth naming (not a denied
    // one): their node ids and errno, ETIMEDOUT when their file system stopped answering. In
    // no particular order.
    struct FailedFolder {
        uint32_t id = 0;
        int error = 0;
        bool operator==(const FailedFolder&) const = default;
    };
    std::vector<FailedFolder> failedFolders;

private:
    // Lowest record offset (bytes) at which a node claim failed; UINT64_MAX while none has.
    std::atomic<uint64_t> m_nodeFailedAt{UINT64_MAX};
};

}  // namespace svl
