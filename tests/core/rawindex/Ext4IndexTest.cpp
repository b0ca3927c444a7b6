// The ext4 index over image files made with mkfs.ext4 (no mount needed): every layout the
// reader supports, the opener's refusals, and damaged or crafted images.
#include "tests/core/rawindex/Ext4Fixtures.h"

#include <sys/stat.h>

#include <chrono>
#include <random>
#include <set>

using namespace ext4test;
using hmtest::sh;
using hmtest::shQuote;
using hmtest::TempDir;

namespace {

bool haveMkfs() { return hmtest::haveTool("mkfs.ext4") && hmtest::haveTool("debugfs"); }

// Compares the index's tree with the folder it was made from: names, sizes, modes and times.
void expectSameAsSource(const svl::RawIndex& index, uint64_t id, const std::string& dir, uint64_t& entries) {
    std::vector<svl::RawChild> children;
    ASSERT_TRUE(index.children(id, &children)) << dir;
    std::map<std::string, uint64_t> listed;
    for (const svl::RawChild& child : children)
        listed.emplace(std::string(child.name, child.nameLength), child.id);
    listed.erase("lost+found");
    std::map<std::string, bool> live;
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            live.emplace(e->d_name, true);
    closedir(d);
    ASSERT_EQ(listed.size(), live.size()) << dir;
    for (const auto& [name, child] : listed) {
        std::string path = dir + "/" + name;
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << "not in the source: " << path;
        svl::RawStat record;
        ASSERT_TRUE(index.stat(child, &record)) << path;
        EXPECT_EQ(record.mode, st.st_mode) << path;
        EXPECT_EQ(record.mtime, int64_t(st.st_mtime)) << path;
        EXPECT_EQ(record.links, st.st_nlink) << path;
        if (!S_ISDIR(st.st_mode)) {
            EXPECT_EQ(record.size, uint64_t(st.st_size)) << path;
        }
        ++entries;
        if (S_ISDIR(st.st_mode))
            expectSameAsSource(index, child, path, entries);
    }
}

class Ext4ImageFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveMkfs())
            GTEST_SKIP() << "needs mkfs.ext4 and debugfs";
        m_source = m_dir / "source";
        sh("mkdir -p " + shQuote(m_source));
        populateMixed(m_source);
    }
    // A small ext4 image of the mixed fixture.
    Bytes smallImage(const std::string& options = "-b 1024") {
        std::string image = makeImage(m_dir, "small.img", options, 1024, m_source);
        EXPECT_FALSE(image.empty());
        return readBytes(image);
    }
    TempDir m_dir{"ext4img"};
    std::string m_source;
};

std::string openError(const Bytes& bytes) {
    std::string error;
    auto index = openBytes(bytes, &error);
    return index ? std::string("(opened)") : error;
}

std::string loadError(const Bytes& bytes) {
    std::string error;
    auto index = openBytes(bytes, &error);
    if (!index)
        return "(refused) " + error;
    return index->load(nullptr, {}, &error) ? std::string("(loaded)") : error;
}

}  // namespace

TEST_F(Ext4ImageFixture, Ext4IndexListsEveryLayoutLikeItsSource) {
    // Long names make a folder of 1500 entries span ~300 blocks of 1 KiB: past the direct and
    // single-indirect pointers of a block-mapped folder.
    sh("cd " + shQuote(m_source) + " && mkdir big && cd big && seq -f \"%.0f-$(printf 'x%.0s' $(seq 1 190))\" "
       "1 1500 | xargs touch");
    struct Layout {
        const char* options;
        long sizeKiB;
    } layouts[] = {
        {"-O ^extent,^64bit -b 1024 -N 8192", 16384},
        {"-t ext2 -b 4096 -N 8192", 16384},
        {"-b 65536 -N 8192", 65536},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.options);
        std::string image = makeImage(m_dir, "layout.img", layout.options, layout.sizeKiB, m_source);
        ASSERT_FALSE(image.empty());
        // Rebuild the folders as hashed (htree) folders, as the kernel keeps large ones.
        sh("e2fsck -fyD " + shQuote(image) + " >/dev/null 2>&1");
        std::string error;
        auto index = svl::Ext4Index::open(image, &error);
        ASSERT_TRUE(index) << error;
        std::vector<double> reports;
        ASSERT_TRUE(index->load(nullptr, [&](double f) { reports.push_back(f); }, &error)) << error;
        EXPECT_FALSE(index->isPartial());
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back(), 1.0);
        for (size_t k = 1; k < reports.size(); ++k)
            EXPECT_LE(reports[k - 1], reports[k]);
        uint64_t entries = 0;
        expectSameAsSource(*index, index->rootId(), m_source, entries);
        EXPECT_GT(entries, 1500u);
        // Every in-use inode counts, the reserved ones and lost+found included.
        EXPECT_GE(index->entriesRead(), entries);
        EXPECT_GE(index->foldersRead(), 7u);
        EXPECT_GT(index->bytesRead(), 0u);
    }
}

TEST_F(Ext4ImageFixture, Ext4IndexRefusesUnreadableVolumes) {
    struct Case {
        const char* options;
        const char* error;
    } cases[] = {
        {"-O inline_data", "ext4 features this doesn't read (incompat 0x8000)"},
        {"-O bigalloc", "bigalloc"},
        {"-O ^filetype", "folder entries without file types"},
        {"-O meta_bg,^resize_inode", "ext4 features this doesn't read (incompat 0x10)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        std::string image = makeImage(m_dir, "refused.img", c.options, 4096, m_source);
        ASSERT_FALSE(image.empty());
        std::string error;
        EXPECT_FALSE(svl::Ext4Index::open(image, &error));
        EXPECT_EQ(error, c.error);
    }
    std::string error;
    EXPECT_FALSE(svl::Ext4Index::open(m_dir / "missing.img", &error));
    EXPECT_EQ(error, "can't read " + (m_dir / "missing.img") + ": No such file or directory");
    hmtest::writeFile(m_dir / "short.img", std::string(1500, 'x'));
    EXPECT_FALSE(svl::Ext4Index::open(m_dir / "short.img", &error));
    EXPECT_EQ(error, "can't read the superblock of " + (m_dir / "short.img"));
    hmtest::writeFile(m_dir / "zeros.img", std::string(4096, '\0'));
    EXPECT_FALSE(svl::Ext4Index::open(m_dir / "zeros.img", &error));
    EXPECT_EQ(error, m_dir / "zeros.img" + " doesn't hold an ext2/3/4 filesystem");
    // Without an error text the refusal is silent.
    EXPECT_FALSE(svl::Ext4Index::open(m_dir / "zeros.img", nullptr));
}

TEST_F(Ext4ImageFixture, Ext4IndexChecksSuperblockFields) {
    const Bytes image = smallImage();
    ASSERT_FALSE(image.empty());
    constexpr size_t sb = 1024;
    auto patched = [&](auto change) {
        Bytes b = image;
        change(b);
        return openError(b);
    };
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x18, 7); }), "odd block size");
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x4C, 0); }), "folder entries without file types");
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x60, svl::le32(b.data() + sb + 0x60) | 0x1 | 0x1000); }),
              "ext4 features this doesn't read (incompat 0x1001)");
    // A journal that needs recovery is read as its blocks stand.
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x60, svl::le32(b.data() + sb + 0x60) | 0x4); }), "(opened)");
    EXPECT_EQ(patched([](Bytes& b) { put16(b, sb + 0x58, 64); }), "odd filesystem geometry");
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x28, 0); }), "odd filesystem geometry");
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x28, 12); }), "odd filesystem geometry");
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x28, 1024 * 8 + 8); }), "odd filesystem geometry");
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x20, 0); }), "odd filesystem geometry");
    // More blocks than the image holds, or more inodes than the groups carry.
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x04, 1u << 30); }), "odd filesystem geometry");
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x00, 0xFFFFFFF0u); }), "odd group count");
    EXPECT_EQ(patched([](Bytes& b) { put32(b, sb + 0x04, 1); }), "odd group count");
    // 64BIT: descriptor sizes of 64 and 1024 are read, 32 is not.
    auto desc = [&](uint16_t size) {
        return patched([size](Bytes& b) {
            put32(b, sb + 0x60, svl::le32(b.data() + sb + 0x60) | 0x80);
            put16(b, sb + 0xFE, size);
        });
    };
    EXPECT_EQ(desc(32), "odd group descriptor size");
    EXPECT_EQ(desc(1025), "odd group descriptor size");
    EXPECT_EQ(desc(64), "(opened)");
    EXPECT_EQ(desc(1024), "(opened)");
}

TEST_F(Ext4ImageFixture, Ext4IndexAnswersOnlyForLoadedInodes) {
    Bytes image = smallImage();
    std::string error;
    auto index = openBytes(image, &error);
    ASSERT_TRUE(index) << error;
    svl::RawStat record;
    std::vector<svl::RawChild> children;
    EXPECT_FALSE(index->stat(2, &record));  // not loaded yet
    EXPECT_FALSE(index->children(2, &children));
    ASSERT_TRUE(index->load(nullptr, {}, &error)) << error;
    EXPECT_TRUE(index->stat(2, &record));
    EXPECT_EQ(record.mode & 0xF000, 0x4000);
    EXPECT_FALSE(index->stat(0, &record));
    EXPECT_FALSE(index->stat(index->inodeCount() + 1, &record));
    EXPECT_FALSE(index->stat(uint64_t(1) << 40, &record));
    EXPECT_EQ(index->inodeSlot(0, 1), 1);  // inodes 1 and 2 are both in use
    EXPECT_EQ(index->inodeSlot(0, 0xFFFFFFFF), -1);
    EXPECT_EQ(index->inodeSlot(index->groupCount(), 0), -1);

    // The empty folder lists nothing and says so; a file is no folder.
    ASSERT_TRUE(index->children(2, &children));
    uint64_t emptyId = 0, fileId = 0;
    for (const svl::RawChild& child : children) {
        if (std::string(child.name) == "empty")
            emptyId = child.id;
        if (std::string(child.name) == "link")
            fileId = child.id;
        EXPECT_EQ(child.linkRole, 0);
    }
    ASSERT_NE(emptyId, 0u);
    ASSERT_NE(fileId, 0u);
    EXPECT_TRUE(index->children(emptyId, &children));
    EXPECT_TRUE(children.empty());
    EXPECT_FALSE(index->children(fileId, &children));
    EXPECT_TRUE(children.empty());
    EXPECT_FALSE(index->isSubvolumeLink(2));
    EXPECT_STREQ(index->fsName(), "ext4");
}

TEST_F(Ext4ImageFixture, Ext4IndexHandlesCraftedFolders) {
    const Bytes image = smallImage();
    const Layout layout(image);
    ASSERT_EQ(layout.blockSize, 1024u);
    const size_t root = layout.inodeOffset(2);
    const uint64_t rootBlock = layout.firstExtentBlock(image, 2);

    {  // rec_len 0 in the root's first entry ends that block; the load goes on.
        Bytes b = image;
        put16(b, rootBlock * 1024 + 4, 0);
        std::string error;
        auto index = openBytes(b, &error);
        ASSERT_TRUE(index);
        ASSERT_TRUE(index->load(nullptr, {}, &error)) << error;
        std::vector<svl::RawChild> children;
        EXPECT_TRUE(index->children(2, &children));
        EXPECT_TRUE(children.empty());
    }
    {  // A folder with its entries inline in the inode.
        Bytes b = image;
        put32(b, root + 0x20, svl::le32(b.data() + root + 0x20) | 0x10000000);
        EXPECT_EQ(loadError(b), "this filesystem has a folder with its entries inline in the inode");
    }
    {  // An extent header with a bad magic.
        Bytes b = image;
        put16(b, root + 0x28, 0x1234);
        EXPECT_EQ(loadError(b), "a folder's block map is damaged (inode 2)");
    }
    // An extent index node that points at itself, 80 times over: without a guard this
    // would read 80^6 blocks.
    for (uint16_t fanOut : {1, 80}) {
        Bytes b = image;
        const uint64_t loop = rootBlock;  // reuse the root's block as the looping node
        unsigned char* node = b.data() + loop * 1024;
        std::memset(node, 0, 1024);
        put16(b, loop * 1024 + 0, 0xF30A);
        put16(b, loop * 1024 + 2, fanOut);
        put16(b, loop * 1024 + 6, 1);
        for (uint16_t k = 0; k < fanOut; ++k)
            put32(b, loop * 1024 + 12 + 12 * k + 4, uint32_t(loop));
        put16(b, root + 0x28 + 2, 1);  // the root's own header: one entry, depth 1
        put16(b, root + 0x28 + 6, 1);
        put32(b, root + 0x28 + 12 + 4, uint32_t(loop));
        put16(b, root + 0x28 + 12 + 8, 0);
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(loadError(b), "a folder's block map is damaged (inode 2)");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
    // An index node over a leaf block in the image's last (free) block: 84 entries fill a
    // 1 KiB block exactly, a count of 85 claims one more than the block holds.
    for (uint16_t count : {84, 85}) {
        Bytes b = image;
        const uint64_t leaf = b.size() / 1024 - 1;
        ASSERT_TRUE(std::all_of(b.begin() + long(leaf * 1024), b.end(), [](unsigned char c) { return c == 0; }));
        const size_t at = leaf * 1024;
        put16(b, at + 0, 0xF30A);
        put16(b, at + 2, count);
        put16(b, at + 4, 84);
        put16(b, at + 12 + 4, 1);  // the first entry maps the root's one block; the rest are empty
        put32(b, at + 12 + 8, uint32_t(rootBlock));
        put16(b, root + 0x28 + 2, 1);  // the root's own header: one entry, depth 1
        put16(b, root + 0x28 + 6, 1);
        put32(b, root + 0x28 + 12 + 4, uint32_t(leaf));
        put16(b, root + 0x28 + 12 + 8, 0);
        EXPECT_EQ(loadError(b), count == 84 ? "(loaded)" : "a folder's block map is damaged (inode 2)");
    }
    {  // An extent running past the end of the volume.
        Bytes b = image;
        put32(b, root + 0x28 + 12 + 8, 0xFFFFFF00u);
        EXPECT_EQ(loadError(b), "a folder's block map is damaged (inode 2)");
    }
    {  // An unwritten extent of 32769 blocks lists one block.
        Bytes b = image;
        put16(b, root + 0x28 + 12 + 4, 32769);
        EXPECT_EQ(loadError(b), "(loaded)");
    }
    {  // An in-use inode with mode 0: no record, but the entry naming it stays.
        Bytes b = image;
        std::string error;
        auto before = openBytes(b, &error);
        ASSERT_TRUE(before && before->load(nullptr, {}, &error));
        std::vector<svl::RawChild> children;
        ASSERT_TRUE(before->children(2, &children));
        uint64_t link = 0;
        for (const svl::RawChild& child : children)
            if (std::string(child.name) == "link")
                link = child.id;
        ASSERT_NE(link, 0u);
        ASSERT_LE(link, layout.inodesPerGroup);
        put16(b, layout.inodeOffset(uint32_t(link)), 0);
        auto index = openBytes(b, &error);
        ASSERT_TRUE(index && index->load(nullptr, {}, &error)) << error;
        svl::RawStat record;
        record.folderIndex = 7;
        EXPECT_FALSE(index->stat(link, &record));
        EXPECT_EQ(record.mode, 0);
        EXPECT_EQ(record.folderIndex, 0xFFFFFFFFu);  // the record is copied all the same
        ASSERT_TRUE(index->children(2, &children));
        bool listed = false;
        for (const svl::RawChild& child : children)
            listed = listed || child.id == link;
        EXPECT_TRUE(listed);
        EXPECT_EQ(index->entriesRead(), before->entriesRead() - 1);
    }
}

TEST_F(Ext4ImageFixture, Ext4IndexSurvivesTruncatedAndDamagedImages) {
    const Bytes image = smallImage();
    ASSERT_GT(image.size(), 65536u);
    // Every truncation in steps of 256 bytes through the superblock and descriptors, then coarser.
    for (size_t length = 0; length < image.size(); length += length < 8192 ? 256 : 65536) {
        Bytes b(image.begin(), image.begin() + long(length));
        std::string result = loadError(b);
        EXPECT_NE(result, "(loaded)") << length;
    }
    // Random damage to the metadata area (superblock, descriptors, bitmaps, inode tables and
    // the first folder blocks): each load ends with a refusal, a failure or a tree.
    std::mt19937 random(12345);
    const Layout layout(image);
    size_t metadataEnd = size_t((layout.inodeTable0 + 64) * layout.blockSize);
    int loaded = 0, refused = 0;
    for (int round = 0; round < 150; ++round) {
        Bytes b = image;
        int flips = 1 + int(random() % 8);
        for (int k = 0; k < flips; ++k)
            b[1024 + random() % (metadataEnd - 1024)] = uint8_t(random());
        std::string error;
        auto index = openBytes(b, &error);
        if (!index || !index->load(nullptr, {}, &error)) {
            ++refused;
            continue;
        }
        ++loaded;
        // Whatever loaded can be walked: every folder reached lists its entries.
        std::vector<uint64_t> queue{2};
        std::set<uint64_t> seen;
        std::vector<svl::RawChild> children;
        while (!queue.empty() && seen.size() < 100000) {
            uint64_t id = queue.back();
            queue.pop_back();
            if (!seen.insert(id).second || !index->children(id, &children))
                continue;
            for (const svl::RawChild& child : children) {
                svl::RawStat record;
                if (index->stat(child.id, &record) && record.folderIndex != 0xFFFFFFFFu)
                    queue.push_back(child.id);
            }
        }
    }
    EXPECT_GT(loaded, 0);
    EXPECT_GT(refused, 0);
}

TEST_F(Ext4ImageFixture, Ext4IndexCancelBeforeLoadKeepsNothing) {
    Bytes image = smallImage();
    std::string error = "stale";
    auto index = openBytes(image, &error);
    ASSERT_TRUE(index);
    std::atomic<bool> cancel{true};
    EXPECT_FALSE(index->load(&cancel, {}, &error));
    EXPECT_EQ(error, "");
    EXPECT_FALSE(index->isPartial());
}
