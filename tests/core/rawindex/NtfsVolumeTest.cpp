// The NTFS index on a real volume made with mkntfs and filled through ntfs-3g (root only): the
// raw tree against the walk through the FUSE mount, a fragmented MFT, extension records, and
// the MFT dump written from the volume and loaded back.
#include "core/rawindex/MftDump.h"
#include "core/rawindex/NtfsIndex.h"
#include "core/rawindex/NtfsRecord.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

#include "tests/support/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

using namespace svl;

namespace {

constexpr int kManyFiles = 2500;
constexpr int kLinks = 40;

// What a walk or the index says about one path below the volume's top.
struct Seen {
    bool folder = false;
    bool link = false;
    uint64_t size = 0;
    uint64_t allocated = 0;  // bytes
    int64_t mtime = 0;
    uint32_t links = 0;
    uint64_t id = 0;
    int linkRole = 0;
    uint32_t attributes = 0;
};

const char* kPopulate = R"SH(set -e
cd "$1"
mkdir -p a/b/c "deep/er/still deeper" docs many links fill
echo hello > a/hello.txt
touch -d @1600000000 a/hello.txt
head -c 100000 /dev/urandom > a/b/random.bin
printf x > a/b/c/tiny
printf 'gr\303\274\303\237e' > "a/gr\303\274\303\237e \346\226\207\344\273\266.txt"
for i in $(seq 1 200); do echo "$i" > docs/file$i.txt; done
ln a/b/random.bin docs/hardlink.bin
truncate -s 5M sparse.bin
dd if=/dev/urandom of=sparse.bin bs=4096 count=2 seek=100 conv=notrunc status=none
dd if=/dev/urandom of=sparse.bin bs=4096 count=1 seek=1000 conv=notrunc status=none
head -c 20000 /dev/urandom > streams.bin
setfattr -n user.small -v hi streams.bin
setfattr -n user.big -v "$(head -c 6000 /dev/zero | tr '\0' a)" streams.bin
echo long > "Long file name.txt"
setfattr -n system.ntfs_dos_name -v "LONGFI~1.TXT" "Long file name.txt"
ln -s a/hello.txt symlink
head -c 9000 /dev/urandom > links/target
for i in $(seq 1 40); do ln links/target "links/a-rather-long-hard-link-name-to-fill-the-record-number-$i"; done
# Nearly fill the volume, punch holes, then grow the MFT through them.
free=$(df -k --output=avail . | tail -1)
head -c $(( (free - 8192) * 1024 )) /dev/zero > fill/big
i=0
while head -c 524288 /dev/zero > fill/f$i 2>/dev/null; do i=$((i+1)); done
rm -f fill/f$i
for j in $(seq 0 2 $i); do rm -f fill/f$j; done
for k in $(seq 1 2500); do echo "$k" > many/f$k; done
)SH";

class NtfsVolume : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!hmtest::isRoot() || !hmtest::haveTool("mkntfs") || !hmtest::haveTool("ntfs-3g") ||
            !hmtest::haveTool("setfattr")) {
            s_skip = "needs root, mkntfs, ntfs-3g and setfattr";
            return;
        }
        s_dir = std::make_unique<hmtest::TempDir>("ntfs-volume");
        s_mount = std::make_unique<hmtest::LoopMount>(s_dir->path(), "mkntfs -F -Q -q", 24, "ntfs-3g");
        if (!s_mount->ok()) {
            s_skip = "no NTFS loop mount: " + s_mount->error();
            return;
        }
        hmtest::writeFile(s_dir->path() + "/populate.sh", kPopulate);
        if (hmtest::sh("sh " + hmtest::shQuote(s_dir->path() + "/populate.sh") + " " +
                       hmtest::shQuote(s_mount->mountPoint())) != 0) {
            s_skip = "filling the volume through ntfs-3g failed";
            return;
        }
        // Mount again: ntfs-3g writes back what it still holds, and the walk then sees what the
        // volume holds rather than attributes the kernel cached while the files were made.
        const std::string mp = hmtest::shQuote(s_mount->mountPoint());
        if (hmtest::sh("umount " + mp + " && mount -t ntfs-3g " + hmtest::shQuote(s_mount->device()) + " " + mp) != 0)
            s_skip = "mounting the volume again failed";
    }
    static void TearDownTestSuite() {
        s_mount.reset();
        s_dir.reset();
    }
    void SetUp() override {
        if (!s_skip.empty())
            GTEST_SKIP() << s_skip;
    }

    static std::unique_ptr<NtfsIndex> loadIndex(const std::string& path) {
        std::string error;
        auto index = NtfsIndex::open(path, &error);
        EXPECT_TRUE(index) << error;
        if (!index)
            return nullptr;
        EXPECT_TRUE(index->load(nullptr, {}, &error)) << error;
        return index;
    }

    static inline std::string s_skip;
    static inline std::unique_ptr<hmtest::TempDir> s_dir;
    static inline std::unique_ptr<hmtest::LoopMount> s_mount;
};

void walkMount(const std::string& top, const std::string& rel, std::map<std::string, Seen>* out) {
    DIR* d = opendir((top + "/" + rel).c_str());
    ASSERT_TRUE(d) << rel;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = rel.empty() ? name : rel + "/" + name;
        struct stat st;
        ASSERT_EQ(lstat((top + "/" + path).c_str(), &st), 0) << path;
        Seen s;
        s.folder = S_ISDIR(st.st_mode);
        s.link = S_ISLNK(st.st_mode);
        s.size = uint64_t(st.st_size);
        s.allocated = uint64_t(st.st_blocks) * 512;
        s.mtime = st.st_mtime;
        s.links = uint32_t(st.st_nlink);
        (*out)[path] = s;
        if (s.folder)
            walkMount(top, path, out);
    }
    closedir(d);
}

std::map<std::string, Seen> walkIndex(const NtfsIndex& index) {
    std::map<std::string, Seen> out;
    std::vector<std::pair<uint64_t, std::string>> folders{{index.rootId(), ""}};
    std::set<uint64_t> entered{index.rootId()};
    std::vector<RawChild> children;
    for (size_t i = 0; i < folders.size(); ++i) {
        const auto [id, rel] = folders[i];
        EXPECT_TRUE(index.children(id, &children)) << rel;
        for (const RawChild& c : children) {
            const std::string name(c.name, c.nameLength);
            const std::string path = rel.empty() ? name : rel + "/" + name;
            RawStat st;
            EXPECT_TRUE(index.stat(c.id, &st)) << path;
            NtfsEntryAttributes attributes;
            EXPECT_TRUE(index.attributes(c.id, &attributes)) << path;
            Seen s;
            s.folder = (st.mode & 0170000) == 0040000;
            s.link = (st.mode & 0170000) == 0120000;
            s.size = st.size;
            s.allocated = st.allocated * 512;
            s.mtime = st.mtime;
            s.links = st.links;
            s.id = c.id;
            s.linkRole = c.linkRole;
            s.attributes = attributes.attributes;
            out[path] = s;
            if (s.folder && entered.insert(c.id).second)
                folders.push_back({c.id, path});
        }
    }
    return out;
}

bool isSystemPath(const std::string& path) { return path[0] == '$'; }

}  // namespace

TEST_F(NtfsVolume, RawIndexMatchesTheWalkThroughNtfs3g) {
    auto index = loadIndex(s_mount->device());
    ASSERT_TRUE(index);
    std::map<std::string, Seen> walked;
    walkMount(s_mount->mountPoint(), "", &walked);
    const std::map<std::string, Seen> raw = walkIndex(*index);

    // Expected differences: the $-system files (and $Extend's contents) are hidden by ntfs-3g.
    std::set<std::string> systemSeen;
    for (const auto& [path, s] : raw) {
        if (isSystemPath(path)) {
            systemSeen.insert(path.substr(0, path.find('/')));
            continue;
        }
        EXPECT_TRUE(walked.count(path)) << "only in the raw tree: " << path;
    }
    for (const char* name : {"$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "$Bitmap", "$Boot", "$BadClus",
                             "$Secure", "$UpCase", "$Extend"})
        EXPECT_TRUE(systemSeen.count(name)) << name;

    size_t files = 0;
    for (const auto& [path, w] : walked) {
        auto it = raw.find(path);
        if (it == raw.end()) {
            ADD_FAILURE() << "only in the walk: " << path;
            continue;
        }
        const Seen& r = it->second;
        EXPECT_EQ(r.folder, w.folder) << path;
        EXPECT_EQ(r.mtime, w.mtime) << path;
        if (w.folder)
            continue;
        ++files;
        // ntfs-3g counts a DOS name as a further link; the index counts names, not DOS twins.
        if (path == "Long file name.txt") {
            EXPECT_EQ(r.links + 1, w.links) << path;
        } else {
            EXPECT_EQ(r.links, w.links) << path;
        }
        if (w.link) {
            // ntfs-3g writes symbolic links as Interix files: a system file holding "IntxLNK\1"
            // and the target in UTF-16.
            EXPECT_FALSE(r.link) << path;
            EXPECT_TRUE(r.attributes & 0x4) << path;
            EXPECT_EQ(r.size, 8 + 2 * w.size) << path;
            continue;
        }
        EXPECT_EQ(r.size, w.size) << path;
        if (path == "streams.bin") {
            // The raw index also counts the clusters of the non-resident alternate stream.
            EXPECT_GT(r.allocated, w.allocated) << path;
            EXPECT_LE(r.allocated, w.allocated + 8192) << path;
        } else if (r.allocated == 0) {
            // Resident data occupies no clusters; ntfs-3g still reports blocks for it.
            EXPECT_LT(r.size, 1024u) << path;
        } else {
            EXPECT_EQ(r.allocated, w.allocated) << path;
        }
    }
    EXPECT_GT(files, size_t(kManyFiles));

    // Spot checks of the cases the volume was filled for.
    EXPECT_EQ(raw.at("a/hello.txt").mtime, 1600000000);
    EXPECT_FALSE(raw.count("LONGFI~1.TXT"));
    EXPECT_TRUE(raw.count("Long file name.txt"));
    EXPECT_EQ(raw.at("sparse.bin").size, 5u << 20);
    EXPECT_EQ(raw.at("sparse.bin").allocated, 3u * 4096);
    const Seen& a = raw.at("a/b/random.bin");
    const Seen& b = raw.at("docs/hardlink.bin");
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.links, 2u);
    EXPECT_EQ(a.linkRole + b.linkRole, 3);
    // Every listed record counts once; in-use records without a name (reserved ones) also count.
    std::set<uint64_t> ids;
    for (const auto& [path, s] : raw)
        ids.insert(s.id);
    EXPECT_GE(index->entriesRead(), ids.size());
    EXPECT_LE(index->entriesRead(), ids.size() + 16);

    // A fragmented MFT: record 0 lists several runs, ntfs-3g had to grow it into scattered holes.
    int fd = ::open(s_mount->device().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    uint8_t boot[512];
    ASSERT_EQ(pread(fd, boot, sizeof boot, 0), 512);
    const uint64_t cluster = uint64_t(ntfsLe16(boot + 11)) * boot[13];
    std::vector<uint8_t> record(1024);
    ASSERT_EQ(pread(fd, record.data(), record.size(), off_t(ntfsLe64(boot + 48) * cluster)), 1024);
    ::close(fd);
    ASSERT_TRUE(applyUpdateSequence(record.data(), record.size(), false));
    NtfsAttributeWalker walker(record.data(), record.size());
    NtfsAttribute attribute;
    size_t runs = 0;
    while (walker.next(&attribute)) {
        if (attribute.type != NtfsAttributeType::Data || !attribute.nonResident)
            continue;
        NtfsRunReader reader(attribute.p + attribute.runListOffset(), attribute.p + attribute.length);
        NtfsRun run;
        while (reader.next(&run) == NtfsRunReader::Step::Run)
            ++runs;
    }
    EXPECT_GT(runs, 2u);

    int names = 0;
    int counted = 0;
    uint64_t id = 0;
    for (const auto& [path, s] : raw) {
        if (path.rfind("links/", 0) != 0)
            continue;
        ++names;
        counted += s.linkRole == 1;
        if (id == 0)
            id = s.id;
        EXPECT_EQ(s.id, id) << path;
        EXPECT_EQ(s.links, uint32_t(kLinks + 1)) << path;
    }
    // The names spill into extension records; every one is listed, one of them counted (the
    // first held in the base record, wherever ntfs-3g left the original name).
    EXPECT_EQ(names, kLinks + 1);
    EXPECT_EQ(counted, 1);
}


namespace {

// Paths ("a/b") of a scan tree below its root, with their nodes.
std::map<std::string, const ScanNode*> treePaths(const ScanTree& tree) {
    std::map<std::string, const ScanNode*> out;
    std::vector<std::pair<uint32_t, std::string>> stack{{0, ""}};
    while (!stack.empty()) {
        auto [id, path] = stack.back();
        stack.pop_back();
        const ScanNode& n = tree.node(id);
        for (uint32_t c = n.firstChild; c < n.firstChild + n.childCount; ++c) {
            const std::string name(tree.node(c).nameView());
            const std::string p = path.empty() ? name : path + "/" + name;
            out[p] = &tree.node(c);
            stack.push_back({c, p});
        }
    }
    return out;
}

}  // namespace

TEST_F(NtfsVolume, RawScanAndDumpMatchTheFuseWalk) {
    ScanOptions rawOptions;
    rawOptions.allowRaw = 1;
    ScanProgress progress;
    auto raw = scanSingle(s_mount->mountPoint(), rawOptions, &progress);
    ASSERT_TRUE(raw);
    EXPECT_TRUE(raw->raw) << raw->rawNote;
    EXPECT_EQ(raw->rawNote.rfind("NTFS: read ", 0), 0u) << raw->rawNote;
    EXPECT_FALSE(raw->incomplete);
    auto walked = scanSingle(s_mount->mountPoint(), ScanOptions{}, nullptr);
    ASSERT_TRUE(walked);
    EXPECT_FALSE(walked->raw);

    const auto r = treePaths(*raw);
    const auto w = treePaths(*walked);
    for (const auto& [path, node] : r) {
        if (!isSystemPath(path)) {
            EXPECT_TRUE(w.count(path)) << "only in the raw scan: " << path;
        }
    }
    for (const auto& [path, node] : w) {
        auto it = r.find(path);
        if (it == r.end()) {
            ADD_FAILURE() << "only in the walk: " << path;
            continue;
        }
        EXPECT_EQ(it->second->isFolder(), node->isFolder()) << path;
        EXPECT_EQ(it->second->modified, node->modified) << path;
        if (!node->isFolder() && !(node->flags & NodeFlag::Symlink)) {
            EXPECT_EQ(it->second->size, node->size) << path;
        }
    }
    // Hard links are counted once on both roads.
    EXPECT_NE(r.at("a/b/random.bin")->flags & NodeFlag::ExtraHardLink,
              r.at("docs/hardlink.bin")->flags & NodeFlag::ExtraHardLink);

    hmtest::TempDir dir("ntfs-dump");
    const std::string dumpPath = dir / "volume.mft";
    MftDumpResult result = dumpMft(s_mount->device(), dumpPath, 4096 * 100, nullptr, {});
    ASSERT_TRUE(result.done) << result.error;
    struct stat st;
    ASSERT_EQ(::stat(dumpPath.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), result.bytesWritten);

    std::string error;
    MftFileInfo info;
    auto tree = loadMftFile(dumpPath, ScanOptions{}, nullptr, &info, &error);
    ASSERT_EQ(error, "");
    EXPECT_TRUE(info.hasVolumeData);
    EXPECT_EQ(info.totalBytes / (1 << 20), 23u);  // 24 MiB less the backup boot sector's cluster
    EXPECT_EQ(info.freeBytes, 4096u * 100);
    EXPECT_EQ(tree->node(0).nameView(), "volume");

    auto index = loadIndex(s_mount->device());
    ASSERT_TRUE(index);
    const auto indexed = walkIndex(*index);
    const auto loaded = treePaths(*tree);
    EXPECT_EQ(loaded.size(), indexed.size());
    for (const auto& [path, s] : indexed) {
        auto it = loaded.find(path);
        if (it == loaded.end()) {
            ADD_FAILURE() << "missing from the dump: " << path;
            continue;
        }
        const ScanNode& n = *it->second;
        EXPECT_EQ(n.isFolder(), s.folder) << path;
        EXPECT_EQ(n.modified, s.mtime) << path;
        if (!s.folder) {
            EXPECT_EQ(n.size, s.size) << path;
            EXPECT_EQ(n.allocated, s.allocated) << path;
            EXPECT_EQ(bool(n.flags & NodeFlag::ExtraHardLink), s.links >= 2 && s.linkRole == 2) << path;
        }
    }

    // The device itself is no dump; dumping the dump creates nothing.
    auto refused = loadMftFile(s_mount->device(), ScanOptions{}, nullptr, nullptr, &error);
    EXPECT_EQ(refused->nodeCount, 0u);
    EXPECT_EQ(error, "this is a volume, not an MFT dump file");
    result = dumpMft(dumpPath, dir / "second.mft", 0, nullptr, {});
    EXPECT_EQ(result.error, "this is a dump already, not a volume");
    EXPECT_NE(::stat((dir / "second.mft").c_str(), &st), 0);

    // An ordinary user can't read the device: the opener says so.
    const std::string device = s_mount->device();
    const int status = hmtest::runAsTestUser([&] {
        std::string text;
        auto denied = NtfsIndex::open(device, &text);
        return !denied && text == "can't read " + device + ": Permission denied" ? 0 : 1;
    });
    if (status >= 0) {
        EXPECT_EQ(status, 0);
    }

    // The opener picks this reader for the device.
    auto opened = openRawIndex(s_mount->device(), &error);
    ASSERT_TRUE(opened) << error;
    EXPECT_STREQ(opened->fsName(), "NTFS");
}
