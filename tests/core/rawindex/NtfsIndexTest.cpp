// The NTFS index over synthetic MFTs: names, hard links, DOS names, extension records, reparse
// points, streams and sparse files (as dumps), and the opener's checks over small volume images.
#include "core/rawindex/NtfsIndex.h"

#include "tests/core/rawindex/SyntheticMft.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

using namespace svl;
using hmtest::Bytes;
using hmtest::encodeRuns;
using hmtest::MftImage;
using hmtest::MftRecord;

namespace {

constexpr int64_t kTime = 1700000000;

struct Listed {
    uint64_t id;
    int linkRole;
};

std::map<std::string, Listed> listing(const NtfsIndex& index, uint64_t folder) {
    std::vector<RawChild> children;
    EXPECT_TRUE(index.children(folder, &children)) << folder;
    std::map<std::string, Listed> out;
    for (const RawChild& c : children) {
        EXPECT_EQ(std::strlen(c.name), c.nameLength);
        EXPECT_EQ(c.type, 0);
        out[std::string(c.name, c.nameLength)] = {c.id, c.linkRole};
    }
    return out;
}

RawStat statOf(const NtfsIndex& index, uint64_t id) {
    RawStat st;
    EXPECT_TRUE(index.stat(id, &st)) << id;
    return st;
}

std::unique_ptr<NtfsIndex> loadFile(const std::string& path, std::string* error = nullptr) {
    std::string text;
    auto index = NtfsIndex::open(path, &text);
    if (!index) {
        if (error)
            *error = text;
        return nullptr;
    }
    if (!index->load(nullptr, {}, &text)) {
        if (error)
            *error = text;
        return nullptr;
    }
    return index;
}

// A dump holding the cases ntfs-3g can't make, with a trailer giving 4096-byte clusters.
MftImage craftedMft() {
    MftImage m = MftImage::withSystemFiles(1024, 40, kTime);
    m.set(16, MftRecord::folder().standardInfo(kTime + 16, 0x10).fileName(5, u"docs"));
    // Win32 name plus its DOS twin: one listing, one link.
    m.set(17, MftRecord().standardInfo(kTime + 17, 0x21).fileName(16, u"Report for 2024.txt", 1)
                  .fileName(16, u"REPORT~1.TXT", 2).residentData(100));
    // A file whose only name is a DOS name keeps it.
    m.set(18, MftRecord().standardInfo(kTime, 0x20).fileName(16, u"ONLYDOS.TXT", 2).residentData(5));
    // Two hard links in two folders.
    m.set(19, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"linked-a", 0).fileName(16, u"linked-b", 0)
                  .residentData(7));
    // An extension record (parsed before its base) holding a further name, a DOS name and the data.
    m.set(20, MftRecord(0x1, 22).fileName(16, u"from-extension", 1).fileName(16, u"FROM-E~1", 2)
                  .nonResidentData(100000, 102400, encodeRuns({{900, 25}})));
    m.set(22, MftRecord().standardInfo(kTime + 22, 0x20).fileName(5, u"from-base", 1));
    // Symbolic link, junction, relative link.
    m.set(23, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"link").reparse(0xA000000C, u"\\??\\C:\\target\\dir"));
    m.set(24, MftRecord::folder().standardInfo(kTime, 0x10).fileName(5, u"junction")
                  .reparse(0xA0000003, u"\\??\\D:\\x"));
    m.set(25, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"relative").reparse(0xA000000C, u"..\\up"));
    // Sparse with compression unit 0 (as Windows writes it), compressed with unit 4.
    m.set(26, MftRecord().standardInfo(kTime, 0x220).fileName(5, u"sparse")
                  .nonResidentData(1 << 20, 1 << 20, encodeRuns({{-1, 200}, {1000, 2}, {-1, 54}}), 0x8000, 0, 8192));
    m.set(27, MftRecord().standardInfo(kTime, 0x820).fileName(5, u"compressed")
                  .nonResidentData(65536, 65536, encodeRuns({{1100, 1}, {-1, 15}}), 0x0001, 4, 4096));
    // A named stream adds the clusters of its non-sparse runs, nothing to the size.
    m.set(28, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"with-stream")
                  .nonResidentData(10000, 12288, encodeRuns({{1200, 3}}))
                  .nonResidentData(20000, 24576, encodeRuns({{1300, 2}, {-1, 3}, {1400, 1}}), 0, 0, -1, u"extra"));
    // A folder named inside itself, and a file in a folder that is not in use.
    m.set(29, MftRecord::folder().standardInfo(kTime, 0x10).fileName(5, u"loop").fileName(30, u"loop-again"));
    m.set(30, MftRecord::folder().standardInfo(kTime, 0x10).fileName(29, u"inner"));
    m.set(31, MftRecord().standardInfo(kTime, 0x20).fileName(35, u"orphan"));
    // Names that are not kept: with a slash, empty.
    m.set(32, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"bad/name"));
    m.set(33, MftRecord().standardInfo(kTime, 0x20).fileName(5, u""));
    // A folder with an index allocation.
    m.set(34, MftRecord::folder().standardInfo(kTime, 0x10).fileName(5, u"big folder").indexAllocation(8192, 8192));
    // A record whose update sequence is torn in its second sector, and one not in use.
    m.set(36, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"torn").residentData(700));
    hmtest::put16(m.raw(36), 1022, 0x4444);
    m.set(37, MftRecord(0x0).standardInfo(kTime, 0x20).fileName(5, u"deleted"));
    return m;
}

}  // namespace

TEST(NtfsIndexDump, ListsNamesLinksAndDosNames) {
    hmtest::TempDir dir("ntfs-index");
    const MftImage m = craftedMft();
    hmtest::writeBytes(dir / "crafted.mft",
                       hmtest::dumpWithTrailer(m.bytes(), hmtest::volumeData(7, 1000, 100, 4096, 1024)));
    std::string error;
    auto index = loadFile(dir / "crafted.mft", &error);
    ASSERT_TRUE(index) << error;
    EXPECT_STREQ(index->fsName(), "NTFS");
    EXPECT_EQ(index->rootId(), 5u);

    auto root = listing(*index, 5);
    for (const char* system : {"$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "$Bitmap", "$Boot", "$BadClus",
                               "$Secure", "$UpCase", "$Extend"})
        EXPECT_TRUE(root.count(system)) << system;
    EXPECT_FALSE(root.count("."));  // the root's own name
    EXPECT_FALSE(root.count("bad/name"));
    EXPECT_TRUE(root.count("torn"));  // dumps apply update sequences without checking
    EXPECT_FALSE(root.count("deleted"));
    EXPECT_FALSE(root.count("orphan"));
    const auto docs = listing(*index, 16);
    EXPECT_EQ(docs.size(), 4u);
    ASSERT_TRUE(docs.count("Report for 2024.txt"));
    EXPECT_FALSE(docs.count("REPORT~1.TXT"));
    EXPECT_FALSE(docs.count("FROM-E~1"));
    EXPECT_TRUE(docs.count("ONLYDOS.TXT"));
    EXPECT_EQ(statOf(*index, 17).links, 1);
    EXPECT_EQ(statOf(*index, 17).size, 100u);
    EXPECT_EQ(statOf(*index, 17).mtime, kTime + 17);
    EXPECT_EQ(statOf(*index, 17).mode, 0100555);  // read-only bit
    EXPECT_EQ(statOf(*index, 18).mode, 0100777);

    // Hard links: both folders list the file, exactly one name is the counted one.
    ASSERT_TRUE(root.count("linked-a") && docs.count("linked-b"));
    EXPECT_EQ(root["linked-a"].id, 19u);
    EXPECT_EQ(statOf(*index, 19).links, 2);
    EXPECT_EQ(root["linked-a"].linkRole + docs.at("linked-b").linkRole, 3);
    EXPECT_EQ(root["linked-a"].linkRole, 1);

    // The base record's name wins although the extension record came first.
    ASSERT_TRUE(root.count("from-base") && docs.count("from-extension"));
    EXPECT_EQ(root["from-base"].linkRole, 1);
    EXPECT_EQ(docs.at("from-extension").linkRole, 2);
    EXPECT_EQ(statOf(*index, 22).size, 100000u);
    EXPECT_EQ(statOf(*index, 22).allocated, 102400u / 512);
    EXPECT_EQ(statOf(*index, 22).mtime, kTime + 22);  // standard information from the base only
    RawStat unused;
    EXPECT_FALSE(index->stat(20, &unused));  // an extension record is no entry
}

TEST(NtfsIndexDump, ReparsePointsStreamsSparseAndFolders) {
    hmtest::TempDir dir("ntfs-index");
    const MftImage m = craftedMft();
    hmtest::writeBytes(dir / "crafted.mft",
                       hmtest::dumpWithTrailer(m.bytes(), hmtest::volumeData(7, 1000, 100, 4096, 1024)));
    auto index = loadFile(dir / "crafted.mft");
    ASSERT_TRUE(index);

    RawStat link = statOf(*index, 23);
    EXPECT_EQ(link.mode, 0120777);
    EXPECT_EQ(link.size, std::string("C:\\target\\dir").size());
    EXPECT_EQ(link.allocated, 0u);
    NtfsEntryAttributes attributes;
    ASSERT_TRUE(index->attributes(23, &attributes));
    EXPECT_EQ(attributes.reparseTag, 0xA000000Cu);
    EXPECT_EQ(attributes.attributes, 0x20u);
    // A junction is a folder record, yet it is reported as a link to its target.
    RawStat junction = statOf(*index, 24);
    EXPECT_EQ(junction.mode, 0120777);
    EXPECT_EQ(junction.size, 4u);
    EXPECT_EQ(junction.folderIndex, 0xFFFFFFFFu);
    EXPECT_EQ(statOf(*index, 25).size, 5u);

    // Sparse (unit 0) and compressed streams own their total-allocated clusters.
    EXPECT_EQ(statOf(*index, 26).size, uint64_t(1) << 20);
    EXPECT_EQ(statOf(*index, 26).allocated, 8192u / 512);
    EXPECT_EQ(statOf(*index, 27).allocated, 4096u / 512);
    // The named stream adds 3 clusters of the trailer's 4096 bytes.
    EXPECT_EQ(statOf(*index, 28).size, 10000u);
    EXPECT_EQ(statOf(*index, 28).allocated, (12288u + 3 * 4096) / 512);

    // Folders: size from the index allocation, no allocation of their own, ordinals.
    RawStat big = statOf(*index, 34);
    EXPECT_EQ(big.size, 8192u);
    EXPECT_EQ(big.allocated, 0u);
    EXPECT_NE(big.folderIndex, 0xFFFFFFFFu);
    EXPECT_EQ(statOf(*index, 17).folderIndex, 0xFFFFFFFFu);

    // A folder named a second time, inside itself, is listed once, under its first name.
    EXPECT_TRUE(listing(*index, 30).empty());
    EXPECT_TRUE(listing(*index, 29).count("inner"));
    EXPECT_EQ(listing(*index, 5).at("loop").id, 29u);

    std::vector<RawChild> out{RawChild{}};
    EXPECT_FALSE(index->children(17, &out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(index->children(100000, &out));
    RawStat unused;
    EXPECT_FALSE(index->stat(37, &unused));
    EXPECT_FALSE(index->attributes(1u << 30, &attributes));
    // In-use base records above 15, plus the eleven named system files counted at the end.
    EXPECT_EQ(index->entriesRead(), 18u + 11u);
    EXPECT_FALSE(index->isPartial());
}

TEST(NtfsIndexDump, StreamWithoutTrailerCountsItsHeaderAllocation) {
    hmtest::TempDir dir("ntfs-index");
    MftImage m = MftImage::withSystemFiles();
    m.set(16, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"with-stream")
                  .nonResidentData(20000, 24576, encodeRuns({{1300, 2}, {-1, 3}, {1400, 1}}), 0, 0, -1, u"extra"));
    // A bad run list in a named stream falls back to its header's allocation as well.
    Bytes broken = encodeRuns({{1300, 2}});
    broken[0] = 0x19;
    m.set(17, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"broken-stream")
                  .nonResidentData(100, 4096, encodeRuns({{1500, 1}}))
                  .nonResidentData(20000, 8192, broken, 0, 0, -1, u"s"));
    hmtest::writeBytes(dir / "plain.mft", m.bytes());
    auto index = loadFile(dir / "plain.mft");
    ASSERT_TRUE(index);
    EXPECT_FALSE(index->volumeInfo().hasVolumeData);
    EXPECT_EQ(statOf(*index, 16).allocated, 24576u / 512);
    EXPECT_EQ(statOf(*index, 17).allocated, (4096u + 8192u) / 512);
}

TEST(NtfsIndexDump, CancelKeepsWhatWasReadAndDropsDosNames) {
    hmtest::TempDir dir("ntfs-index");
    // 12000 records of 1024 bytes: two reads of up to 8 MiB.
    MftImage m = MftImage::withSystemFiles(1024, 12000);
    m.set(16, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"DOSONLY.TXT", 2));
    m.set(17, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"early"));
    m.set(11000, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"late"));
    hmtest::writeBytes(dir / "big.mft", m.bytes());

    std::string error;
    auto index = NtfsIndex::open(dir / "big.mft", &error);
    ASSERT_TRUE(index) << error;
    std::atomic<bool> cancel{false};
    std::vector<double> fractions;
    ASSERT_TRUE(index->load(&cancel, [&](double f) { fractions.push_back(f); cancel = true; }, &error));
    EXPECT_TRUE(error.empty());
    EXPECT_TRUE(index->isPartial());
    auto root = listing(*index, 5);
    EXPECT_TRUE(root.count("early"));
    EXPECT_FALSE(root.count("late"));
    EXPECT_FALSE(root.count("DOSONLY.TXT"));
    ASSERT_EQ(fractions.size(), 2u);
    EXPECT_LT(fractions[0], 0.95);
    EXPECT_EQ(fractions.back(), 1.0);

    // Uncancelled, the whole MFT is read once, in 8 MiB reads.
    auto full = NtfsIndex::open(dir / "big.mft", &error);
    ASSERT_TRUE(full->load(nullptr, {}, &error));
    EXPECT_TRUE(listing(*full, 5).count("late"));
    EXPECT_TRUE(listing(*full, 5).count("DOSONLY.TXT"));
    EXPECT_EQ(full->bytesRead(), 512u + 105u + 12000u * 1024u);
    EXPECT_EQ(full->foldersRead(), 2u);
    std::string again;
    EXPECT_FALSE(full->load(nullptr, {}, &again));
}

namespace {

// Writes a volume image whose MFT (records of 1024 bytes) lies in the given runs; record 0
// describes them and the boot sector points at the first. The layout uses the geometry's
// clusters when they make sense, else 4096-byte ones.
std::string writeVolume(const hmtest::TempDir& dir, const std::vector<std::pair<int64_t, uint64_t>>& runs,
                        MftImage m, hmtest::VolumeImage geometry = {}, uint64_t dataSize = 0) {
    const uint64_t bytes = dataSize ? dataSize : uint64_t(m.count()) * m.recordSize();
    m.set(0, MftRecord().standardInfo(kTime, 0x6).fileName(5, u"$MFT", 3)
                 .nonResidentData(bytes, bytes, encodeRuns(runs)));
    if (!runs.empty())
        geometry.mftCluster = uint64_t(runs[0].first);
    hmtest::VolumeImage layout = geometry;
    if (layout.sectorsPerCluster == 0 || layout.sectorsPerCluster > 128 || layout.bytesPerSector % 512 != 0)
        layout = hmtest::VolumeImage{};
    Bytes image = hmtest::volumeWithMft(layout, m.bytes(), runs);
    hmtest::writeAt(image, 0, geometry.bootSector());
    const std::string path = dir / "volume.img";
    hmtest::writeBytes(path, image);
    return path;
}

}  // namespace

TEST(NtfsIndexVolume, ReadsAFragmentedMftInDeviceOrder) {
    hmtest::TempDir dir("ntfs-index");
    MftImage m = MftImage::withSystemFiles(1024, 48);
    for (uint32_t i = 16; i < 48; ++i)
        m.set(i, MftRecord().standardInfo(kTime + i, 0x20).fileName(5, u"file" + std::u16string(1, u'A' + (i - 16))));
    // Three runs, the second MFT piece placed before the first on the device.
    const std::string path = writeVolume(dir, {{600, 4}, {300, 4}, {900, 4}}, m);
    std::string error;
    auto index = loadFile(path, &error);
    ASSERT_TRUE(index) << error;
    const auto root = listing(*index, 5);
    for (uint32_t i = 16; i < 48; ++i) {
        const std::string name = "file" + std::string(1, char('A' + (i - 16)));
        ASSERT_TRUE(root.count(name)) << name;
        EXPECT_EQ(root.at(name).id, i);
        EXPECT_EQ(statOf(*index, i).mtime, kTime + i);
    }
    EXPECT_FALSE(index->volumeInfo().isDump);
    EXPECT_EQ(index->mftBytes(), 48u * 1024);
}

TEST(NtfsIndexVolume, RunsThatSplitARecordSkipOnlyThatRecord) {
    hmtest::TempDir dir("ntfs-index");
    MftImage m = MftImage::withSystemFiles(1024, 24);
    for (uint32_t i = 16; i < 24; ++i)
        m.set(i, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"f" + std::u16string(1, u'a' + (i - 16))));
    hmtest::VolumeImage geometry;
    geometry.sectorsPerCluster = 1;  // 512-byte clusters, 1024-byte records
    // 33 clusters hold records 0..15 and half of 16; record 16 is split across the runs.
    const std::string path = writeVolume(dir, {{100, 33}, {400, 15}}, m, geometry);
    std::string error;
    auto index = loadFile(path, &error);
    ASSERT_TRUE(index) << error;
    const auto root = listing(*index, 5);
    EXPECT_FALSE(root.count("fa"));
    for (uint32_t i = 17; i < 24; ++i) {
        const std::string name = "f" + std::string(1, char('a' + (i - 16)));
        ASSERT_TRUE(root.count(name)) << name;
        EXPECT_EQ(root.at(name).id, i);
    }
}

TEST(NtfsIndexVolume, StrictUpdateSequenceOnVolumes) {
    hmtest::TempDir dir("ntfs-index");
    MftImage m = MftImage::withSystemFiles(1024, 24);
    m.set(16, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"torn").residentData(700));
    hmtest::put16(m.raw(16), 1022, 0x4444);
    m.set(17, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"whole").residentData(700));
    auto index = loadFile(writeVolume(dir, {{50, 6}}, m));
    ASSERT_TRUE(index);
    const auto root = listing(*index, 5);
    EXPECT_FALSE(root.count("torn"));
    EXPECT_TRUE(root.count("whole"));
}

TEST(NtfsIndexVolume, OpenerRefusesOddGeometryAndDamagedMft) {
    hmtest::TempDir dir("ntfs-index");
    const MftImage m = MftImage::withSystemFiles(1024, 24);
    auto openError = [&](const std::string& path) {
        std::string error;
        auto index = NtfsIndex::open(path, &error);
        EXPECT_FALSE(index) << path;
        return error;
    };
    auto withGeometry = [&](hmtest::VolumeImage g) { return writeVolume(dir, {{50, 6}}, m, g); };

    hmtest::VolumeImage g;
    g.bytesPerSector = 768;
    EXPECT_EQ(openError(withGeometry(g)), "odd NTFS geometry");
    g = {};
    g.sectorsPerCluster = 0;
    EXPECT_EQ(openError(withGeometry(g)), "odd NTFS geometry");
    g = {};
    g.sectorsPerCluster = 0xF3;  // 4 MiB clusters
    EXPECT_EQ(openError(writeVolume(dir, {}, m, g)), "odd NTFS geometry");
    for (int8_t perRecord : {int8_t(-17), int8_t(-8), int8_t(-40)}) {
        g = {};
        g.clustersPerRecord = perRecord;
        EXPECT_EQ(openError(withGeometry(g)), "odd MFT record size") << int(perRecord);
    }
    g = {};
    g.sectorsPerCluster = 1;
    g.clustersPerRecord = 3;  // 1536 bytes
    EXPECT_EQ(openError(withGeometry(g)), "odd MFT record size");

    // 2 MiB clusters and 64 KiB records are accepted by the geometry checks.
    g = {};
    g.sectorsPerCluster = 0xF4;
    g.clustersPerRecord = -16;
    g.mftCluster = 0;
    const std::string big = dir / "big-clusters.img";
    Bytes boot = g.bootSector();
    boot.resize(600000, 0);
    hmtest::writeBytes(big, boot);
    EXPECT_EQ(openError(big), "the MFT's first record is damaged");

    std::string path = withGeometry({});
    Bytes image;
    {
        std::ifstream f(path, std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(f), {});
    }
    Bytes far = image;
    hmtest::put64(far, 48, 1000000);
    hmtest::writeBytes(dir / "far.img", far);
    EXPECT_EQ(openError(dir / "far.img"), "can't read the MFT");
    auto patched = [&](size_t at, uint16_t v) {
        Bytes copy = image;
        hmtest::put16(copy, at, v);
        hmtest::writeBytes(dir / "patched.img", copy);
        return dir / "patched.img";
    };
    const size_t record0 = 50 * 4096;
    EXPECT_EQ(openError(patched(record0 + 1022, 0x1111)), "the MFT's first record is damaged");
    EXPECT_EQ(openError(patched(record0, 0x4242)), "the MFT's first record is damaged");

    // The data attribute's problems, each in record 0.
    hmtest::VolumeImage at50;
    at50.mftCluster = 50;
    MftImage bad = m;
    bad.set(0, MftRecord().standardInfo(kTime, 0x6).residentData(10));
    const std::string noData = dir / "no-data.img";
    hmtest::writeBytes(noData, hmtest::volumeWithMft(at50, bad.bytes(), {{50, 6}}));
    EXPECT_EQ(openError(noData), "couldn't find the MFT's data");
    EXPECT_EQ(openError(writeVolume(dir, {{50, 6}}, m, {}, 512)), "couldn't find the MFT's data");
    EXPECT_EQ(openError(writeVolume(dir, {{50, 3}, {-1, 3}}, m)), "the MFT has a hole in it");
    EXPECT_EQ(openError(writeVolume(dir, {{50, 3}}, m, {}, 24 * 1024)),
              "the MFT is described by more than its own record (too fragmented)");
    Bytes badRuns = encodeRuns({{50, 6}});
    badRuns[0] = 0x0A;
    bad.set(0, MftRecord().standardInfo(kTime, 0x6).nonResidentData(24 * 1024, 24 * 1024, badRuns));
    hmtest::writeBytes(noData, hmtest::volumeWithMft(at50, bad.bytes(), {{50, 6}}));
    EXPECT_EQ(openError(noData), "the MFT's run list is damaged");

    hmtest::writeBytes(dir / "short.img", Bytes(300, 0));
    EXPECT_EQ(openError(dir / "short.img"), "can't read the boot sector of " + (dir / "short.img"));
    hmtest::writeBytes(dir / "zeros.img", Bytes(4096, 0));
    EXPECT_EQ(openError(dir / "zeros.img"), (dir / "zeros.img") + " doesn't hold an NTFS filesystem");
    EXPECT_EQ(openError(dir / "missing.img"), "can't read " + (dir / "missing.img") + ": No such file or directory");
}

TEST(NtfsIndexVolume, ReadFailureNamesTheOffsetOfThatRead) {
    hmtest::TempDir dir("ntfs-index");
    const MftImage m = MftImage::withSystemFiles(1024, 24);
    // The second run lies past the end of the image: its read fails.
    const std::string path = writeVolume(dir, {{50, 3}, {5000, 3}}, m);
    Bytes image;
    {
        std::ifstream f(path, std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(f), {});
    }
    image.resize(4000 * 4096);
    hmtest::writeBytes(path, image);
    std::string error;
    auto index = NtfsIndex::open(path, &error);
    ASSERT_TRUE(index) << error;
    EXPECT_FALSE(index->load(nullptr, {}, &error));
    EXPECT_EQ(error, "a read from the device failed (offset " + std::to_string(5000 * 4096) + ")");
}
