// MFT dump files: the writer over a volume image, the trailers, the dump opener's record-size
// rules, the tree the loader builds (flags, links, folders named inside themselves, exclusion),
// cancelling, and hostile dumps.
#include "core/rawindex/MftDump.h"

#include "core/analysis/Filter.h"
#include "core/rawindex/NtfsIndex.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

#include "tests/core/rawindex/SyntheticMft.h"
#include "tests/support/TestSupport.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <random>

using namespace svl;
using hmtest::Bytes;
using hmtest::encodeRuns;
using hmtest::MftImage;
using hmtest::MftRecord;

namespace {

constexpr int64_t kTime = 1700000000;

Bytes readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Full paths ("/docs/a") of a loaded tree, below its root.
std::map<std::string, const ScanNode*> pathsOf(const ScanTree& tree) {
    std::map<std::string, const ScanNode*> out;
    std::vector<std::pair<uint32_t, std::string>> stack{{0, ""}};
    while (!stack.empty()) {
        auto [id, path] = stack.back();
        stack.pop_back();
        const ScanNode& n = tree.node(id);
        for (uint32_t c = n.firstChild; c < n.firstChild + n.childCount; ++c) {
            EXPECT_EQ(tree.node(c).parent, id);
            EXPECT_GT(c, id);
            const std::string p = path + "/" + std::string(tree.node(c).nameView());
            out[p] = &tree.node(c);
            stack.push_back({c, p});
        }
    }
    return out;
}

MftImage sampleMft(uint32_t recordSize = 1024) {
    MftImage m = MftImage::withSystemFiles(recordSize, 40, kTime);
    m.set(5, MftRecord::folder().standardInfo(kTime + 5, 0x26).fileName(5, u".", 3));
    m.set(16, MftRecord::folder().standardInfo(kTime + 16, 0x12).fileName(5, u"docs"));
    m.set(17, MftRecord().standardInfo(kTime + 17, 0x21).fileName(16, u"notes.txt")
                  .nonResidentData(10000, 12288, encodeRuns({{300, 3}})));
    m.set(18, MftRecord().standardInfo(kTime + 18, 0x820).fileName(5, u"first-name", 0)
                  .fileName(16, u"second-name", 0).nonResidentData(5000, 8192, encodeRuns({{400, 2}})));
    m.set(19, MftRecord().standardInfo(kTime, 0x20).fileName(5, u"link").reparse(0xA000000C, u"\\??\\C:\\x"));
    m.set(20, MftRecord::folder().standardInfo(kTime, 0x10).fileName(5, u"junction").reparse(0xA0000003, u"\\??\\D:\\"));
    // A folder named again inside its own subtree.
    m.set(21, MftRecord::folder().standardInfo(kTime, 0x10).fileName(5, u"loop").fileName(22, u"loop-again"));
    m.set(22, MftRecord::folder().standardInfo(kTime, 0x10).fileName(21, u"inner"));
    m.set(23, MftRecord().standardInfo(kTime + 23, 0x20).fileName(22, u"deep.txt").residentData(30));
    return m;
}

std::unique_ptr<ScanTree> load(const std::string& path, std::string* error = nullptr, MftFileInfo* info = nullptr,
                               ScanProgress* progress = nullptr, const Filter* exclude = nullptr) {
    ScanOptions options;
    options.exclude = exclude;
    std::string text;
    auto tree = loadMftFile(path, options, progress, info, &text);
    if (error)
        *error = text;
    return tree;
}

}  // namespace

TEST(MftDumpLoad, TreeFlagsLinksAndFolderCycles) {
    hmtest::TempDir dir("mft-dump");
    const MftImage m = sampleMft();
    hmtest::writeBytes(dir / "vol.mft", hmtest::dumpWithTrailer(m.bytes(), hmtest::volumeData(9, 2000, 500, 4096, 1024)));
    std::string error;
    MftFileInfo info;
    ScanProgress progress;
    auto tree = load(dir / "vol.mft", &error, &info, &progress);
    ASSERT_TRUE(tree);
    EXPECT_EQ(error, "");
    ASSERT_GT(tree->nodeCount, 1u);
    const ScanNode& root = tree->node(0);
    EXPECT_EQ(root.nameView(), "vol");
    EXPECT_EQ(root.flags, NodeFlag::Folder | NodeFlag::VolumeAttributes | NodeFlag::Hidden | NodeFlag::System |
                              NodeFlag::Archive);
    EXPECT_EQ(root.modified, kTime + 5);
    EXPECT_TRUE(info.hasVolumeData);
    EXPECT_EQ(info.driveLetter, 0);
    EXPECT_EQ(info.totalBytes, 2000u * 4096);
    EXPECT_EQ(info.freeBytes, 500u * 4096);
    EXPECT_FALSE(tree->incomplete);
    EXPECT_DOUBLE_EQ(progress.fraction.load(), 1.0);
    EXPECT_NEAR(progress.reachedFraction, 1.0, 1e-9);
    EXPECT_GT(progress.files.load(), 0u);
    EXPECT_EQ(progress.folders.load(), 6u);  // the root, $Extend, docs, junction, loop, inner

    const auto paths = pathsOf(*tree);
    EXPECT_TRUE(paths.count("/$MFT"));
    const ScanNode* notes = paths.at("/docs/notes.txt");
    EXPECT_EQ(notes->size, 10000u);
    EXPECT_EQ(notes->allocated, 12288u);
    EXPECT_EQ(notes->modified, kTime + 17);
    EXPECT_EQ(notes->flags, NodeFlag::VolumeAttributes | NodeFlag::ReadOnly | NodeFlag::Archive);
    EXPECT_EQ(paths.at("/docs")->flags, NodeFlag::Folder | NodeFlag::VolumeAttributes | NodeFlag::Hidden);

    // Hard links: the second name is a further link, counted in size but not in allocation.
    const ScanNode* first = paths.at("/first-name");
    const ScanNode* second = paths.at("/docs/second-name");
    EXPECT_EQ(first->flags, NodeFlag::VolumeAttributes | NodeFlag::Archive | NodeFlag::Compressed);
    EXPECT_EQ(second->flags, NodeFlag::VolumeAttributes | NodeFlag::ExtraHardLink | NodeFlag::Archive |
                                 NodeFlag::Compressed);
    EXPECT_EQ(paths.at("/docs")->allocated, 12288u);
    EXPECT_EQ(paths.at("/docs")->size, 15000u);

    // Links and junctions: no contents, their targets' lengths as sizes.
    EXPECT_EQ(paths.at("/link")->flags, NodeFlag::Symlink | NodeFlag::VolumeAttributes | NodeFlag::Archive);
    EXPECT_EQ(paths.at("/link")->size, 4u);
    EXPECT_EQ(paths.at("/junction")->flags & (NodeFlag::Symlink | NodeFlag::Folder), NodeFlag::Symlink);
    EXPECT_EQ(paths.at("/junction")->size, 3u);

    // The folder named again inside its own subtree appears once, under its first name.
    EXPECT_TRUE(paths.count("/loop/inner/deep.txt"));
    EXPECT_FALSE(paths.count("/loop/inner/loop-again"));
    EXPECT_EQ(paths.at("/loop")->filesBelow, 1u);
    EXPECT_EQ(paths.at("/loop")->foldersBelow, 1u);

    EXPECT_EQ(tree->newestTimes.size(), tree->nodeCount);
    EXPECT_EQ(tree->newestTimes[0], kTime + 23);
}

TEST(MftDumpLoad, ExclusionFilterSeesNamesAndFolderPaths) {
    hmtest::TempDir dir("mft-dump");
    hmtest::writeBytes(dir / "vol.mft", sampleMft().bytes());
    const Filter byName = decodeFilterText("*.txt", false, nullptr);
    auto tree = load(dir / "vol.mft", nullptr, nullptr, nullptr, &byName);
    auto paths = pathsOf(*tree);
    EXPECT_FALSE(paths.count("/docs/notes.txt"));
    EXPECT_FALSE(paths.count("/loop/inner/deep.txt"));
    EXPECT_TRUE(paths.count("/docs/second-name"));

    const Filter byFolder = decodeFilterText("docs", false, nullptr);
    tree = load(dir / "vol.mft", nullptr, nullptr, nullptr, &byFolder);
    paths = pathsOf(*tree);
    EXPECT_FALSE(paths.count("/docs"));
    EXPECT_FALSE(paths.count("/docs/notes.txt"));
    EXPECT_TRUE(paths.count("/first-name"));
    EXPECT_TRUE(paths.count("/loop/inner/deep.txt"));
}

TEST(MftDumpLoad, TrailersAndRootNames) {
    hmtest::TempDir dir("mft-dump");
    const Bytes mft = sampleMft().bytes();
    const Bytes volume = hmtest::volumeData(9, 2000, 500, 4096, 1024);
    MftFileInfo info;

    hmtest::writeBytes(dir / "letter.mft", hmtest::dumpWithTrailer(mft, volume, 'C'));
    auto tree = load(dir / "letter.mft", nullptr, &info);
    EXPECT_EQ(tree->node(0).nameView(), "C:");
    EXPECT_EQ(info.driveLetter, 'C');

    info = {};
    hmtest::writeBytes(dir / "odd.letter.mft", hmtest::dumpWithTrailer(mft, volume, '!'));
    tree = load(dir / "odd.letter.mft", nullptr, &info);
    EXPECT_EQ(tree->node(0).nameView(), "odd.letter");
    EXPECT_EQ(info.driveLetter, 0);
    EXPECT_TRUE(info.hasVolumeData);

    info = {};
    hmtest::writeBytes(dir / ".mft", mft);
    tree = load(dir / ".mft", nullptr, &info);
    EXPECT_EQ(tree->node(0).nameView(), ".mft");
    EXPECT_FALSE(info.hasVolumeData);
    EXPECT_EQ(info.totalBytes, 0u);

    // A capacity past 2^64 bytes stops at the largest size instead of wrapping to 0.
    info = {};
    hmtest::writeBytes(dir / "huge.mft",
                       hmtest::dumpWithTrailer(mft, hmtest::volumeData(9, uint64_t(1) << 62, 1, 4096, 1024)));
    load(dir / "huge.mft", nullptr, &info);
    EXPECT_EQ(info.totalBytes, UINT64_MAX);
    EXPECT_EQ(info.freeBytes, 4096u);

    // An incomplete last record is ignored.
    Bytes ragged = mft;
    ragged.resize(ragged.size() + 700, 0x55);
    hmtest::writeBytes(dir / "ragged", ragged);
    std::string error;
    auto index = NtfsIndex::open(dir / "ragged", &error);
    ASSERT_TRUE(index) << error;
    EXPECT_EQ(index->mftBytes(), mft.size());
    EXPECT_EQ(load(dir / "ragged")->node(0).nameView(), "ragged");
}

TEST(MftDumpLoad, RecordSizeRulesAndShortFiles) {
    hmtest::TempDir dir("mft-dump");
    std::string error;
    auto openError = [&](const std::string& path) {
        std::string text;
        auto tree = load(path, &text);
        EXPECT_EQ(tree->nodeCount, 0u) << path;
        return text;
    };
    // 4096-byte records in the first record win over a trailer saying 1024.
    MftImage big = sampleMft(4096);
    hmtest::writeBytes(dir / "big.mft", hmtest::dumpWithTrailer(big.bytes(), hmtest::volumeData(1, 1, 1, 4096, 1024)));
    auto index = NtfsIndex::open(dir / "big.mft", &error);
    ASSERT_TRUE(index) << error;
    EXPECT_EQ(index->volumeInfo().recordSize, 4096u);
    EXPECT_TRUE(pathsOf(*load(dir / "big.mft")).count("/docs/notes.txt"));

    // A bytes-allocated field of 0: 1024 without a trailer, the trailer's size otherwise.
    MftImage m = sampleMft();
    hmtest::put32(m.raw(0), 28, 0);
    hmtest::writeBytes(dir / "zero.mft", m.bytes());
    index = NtfsIndex::open(dir / "zero.mft", &error);
    ASSERT_TRUE(index);
    EXPECT_EQ(index->volumeInfo().recordSize, 1024u);
    hmtest::writeBytes(dir / "odd.mft", hmtest::dumpWithTrailer(m.bytes(), hmtest::volumeData(1, 1, 1, 4096, 3000)));
    EXPECT_EQ(openError(dir / "odd.mft"), "odd MFT record size in the dump");

    // 4096 bytes of four records load; 4095 bytes starting with FILE are too short.
    Bytes four = sampleMft().bytes();
    four.resize(4096);
    hmtest::writeBytes(dir / "four.mft", four);
    EXPECT_EQ(openError(dir / "four.mft"), "the MFT holds no root folder record");  // it lies beyond the four
    // Record signatures every 1024 bytes and noise between them: no root, no tree.
    Bytes noise(64 * 1024);
    std::mt19937 random(7);
    for (size_t at = 0; at < noise.size(); ++at)
        noise[at] = at % 1024 < 4 ? uint8_t("FILE"[at % 1024]) : uint8_t(random());
    hmtest::writeBytes(dir / "noise.mft", noise);
    EXPECT_EQ(openError(dir / "noise.mft"), "the MFT holds no root folder record");
    four.resize(4095);
    hmtest::writeBytes(dir / "short.mft", four);
    EXPECT_EQ(openError(dir / "short.mft"), (dir / "short.mft") + " is too short to be an MFT dump");
    four.resize(400);
    hmtest::writeBytes(dir / "tiny.mft", four);
    EXPECT_EQ(openError(dir / "tiny.mft"), "can't read the boot sector of " + (dir / "tiny.mft"));
    ASSERT_EQ(mkfifo((dir / "fifo.mft").c_str(), 0600), 0);
    EXPECT_EQ(openError(dir / "fifo.mft"), (dir / "fifo.mft") + " doesn't hold an NTFS filesystem");
    hmtest::writeBytes(dir / "text.mft", Bytes(8192, 'a'));
    EXPECT_EQ(openError(dir / "text.mft"), (dir / "text.mft") + " doesn't hold an NTFS filesystem");
}

namespace {

// A small volume image (4096-byte clusters) holding sampleMft at cluster 50.
std::string writeVolumeImage(const hmtest::TempDir& dir, const std::string& name) {
    MftImage m = sampleMft();
    const uint64_t bytes = m.count() * m.recordSize();
    m.set(0, MftRecord().standardInfo(kTime, 0x6).fileName(5, u"$MFT", 3)
                 .nonResidentData(bytes, bytes, encodeRuns({{50, 6}, {70, 4}})));
    hmtest::VolumeImage geometry;
    geometry.mftCluster = 50;
    const std::string path = dir / name;
    hmtest::writeBytes(path, hmtest::volumeWithMft(geometry, m.bytes(), {{50, 6}, {70, 4}}));
    return path;
}

}  // namespace

TEST(MftDumpWrite, VolumeRoundTripsThroughADump) {
    hmtest::TempDir dir("mft-dump");
    const std::string volume = writeVolumeImage(dir, "volume.img");
    std::vector<double> fractions;
    MftDumpResult r = dumpMft(volume, dir / "out.mft", 123 * 4096, nullptr, [&](double f) { fractions.push_back(f); });
    ASSERT_TRUE(r.done) << r.error;
    EXPECT_FALSE(r.cancelled);
    const uint64_t mftBytes = 40 * 1024;
    EXPECT_EQ(r.bytesWritten, mftBytes + 103);
    ASSERT_FALSE(fractions.empty());
    EXPECT_EQ(fractions.back(), 1.0);

    const Bytes dump = readAll(dir / "out.mft");
    ASSERT_EQ(dump.size(), mftBytes + 103);
    EXPECT_EQ(std::string(dump.begin() + mftBytes, dump.begin() + mftBytes + 7), "VOLDATA");
    const uint8_t* v = dump.data() + mftBytes + 7;
    auto u64 = [&](size_t at) { uint64_t x = 0; for (int i = 7; i >= 0; --i) x = x << 8 | v[at + i]; return x; };
    auto u32 = [&](size_t at) { return uint32_t(u64(at) & 0xFFFFFFFF); };
    EXPECT_EQ(u64(0), 0x1234u);     // serial
    EXPECT_EQ(u64(8), 8192u);       // sectors
    EXPECT_EQ(u64(16), 1024u);      // clusters
    EXPECT_EQ(u64(24), 123u);       // free clusters
    EXPECT_EQ(u32(40), 512u);
    EXPECT_EQ(u32(44), 4096u);
    EXPECT_EQ(u32(48), 1024u);
    EXPECT_EQ(u32(52), 0u);         // a record is smaller than a cluster
    EXPECT_EQ(u64(56), mftBytes);
    EXPECT_EQ(u64(64), 50u);
    EXPECT_EQ(u64(72), 2u);

    // The dump loads like the volume it came from.
    std::string error;
    MftFileInfo info;
    auto fromDump = load(dir / "out.mft", &error, &info);
    ASSERT_EQ(error, "");
    EXPECT_EQ(info.totalBytes, 1024u * 4096);
    EXPECT_EQ(info.freeBytes, 123u * 4096);
    EXPECT_EQ(fromDump->node(0).nameView(), "out");
    auto volumeIndex = NtfsIndex::open(volume, &error);
    ASSERT_TRUE(volumeIndex && volumeIndex->load(nullptr, {}, &error));
    const auto paths = pathsOf(*fromDump);
    std::vector<RawChild> children;
    ASSERT_TRUE(volumeIndex->children(5, &children));
    for (const RawChild& c : children) {
        RawStat st;
        ASSERT_TRUE(volumeIndex->stat(c.id, &st));
        const std::string path = "/" + std::string(c.name, c.nameLength);
        ASSERT_TRUE(paths.count(path)) << path;
        if ((st.mode & 0170000) == 0100000) {
            EXPECT_EQ(paths.at(path)->size, st.size) << path;
            EXPECT_EQ(paths.at(path)->allocated, st.allocated * 512) << path;
        }
        EXPECT_EQ(paths.at(path)->modified, st.mtime) << path;
    }

    // The volume is no dump, the dump no volume; neither leaves a file behind.
    error.clear();
    auto refused = load(volume, &error);
    EXPECT_EQ(refused->nodeCount, 0u);
    EXPECT_EQ(error, "this is a volume, not an MFT dump file");
    r = dumpMft(dir / "out.mft", dir / "again.mft", 0, nullptr, {});
    EXPECT_FALSE(r.done);
    EXPECT_EQ(r.error, "this is a dump already, not a volume");
    EXPECT_FALSE(exists(dir / "again.mft"));
}

TEST(MftDumpWrite, FailedOrCancelledDumpsLeaveNoFile) {
    hmtest::TempDir dir("mft-dump");
    const std::string volume = writeVolumeImage(dir, "volume.img");
    std::atomic<bool> cancel{true};
    MftDumpResult r = dumpMft(volume, dir / "cancelled.mft", 0, &cancel, {});
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.done);
    EXPECT_EQ(r.error, "");
    EXPECT_FALSE(exists(dir / "cancelled.mft"));

    // A read failure keeps the earlier file at the destination and leaves no temporary file.
    Bytes image = readAll(volume);
    image.resize(60 * 4096);  // the second run (cluster 70) is gone
    hmtest::writeBytes(dir / "cut.img", image);
    hmtest::writeFile(dir / "old.mft", "an earlier dump");
    r = dumpMft(dir / "cut.img", dir / "old.mft", 0, nullptr, {});
    EXPECT_EQ(r.error, "a read from the volume failed");
    EXPECT_EQ(readAll(dir / "old.mft").size(), std::string("an earlier dump").size());
    EXPECT_EQ(hmtest::shOutput("ls -A " + hmtest::shQuote(dir.path()) + " | grep -c zrt"), "0\n");

    r = dumpMft(volume, dir / "missing/out.mft", 0, nullptr, {});
    EXPECT_EQ(r.error, "can't write " + (dir / "missing/out.mft") + ": No such file or directory");
    r = dumpMft(dir / "nothing.img", dir / "x.mft", 0, nullptr, {});
    EXPECT_EQ(r.error, "can't read " + (dir / "nothing.img") + ": No such file or directory");
    EXPECT_FALSE(exists(dir / "x.mft"));

    // A drive letter writes the long trailer, which loads as that drive.
    std::string error;
    auto index = NtfsIndex::open(volume, &error);
    ASSERT_TRUE(index);
    ASSERT_TRUE(index->writeDump(dir / "lettered.mft", 0, 'E', nullptr, {}, &error)) << error;
    EXPECT_EQ(load(dir / "lettered.mft")->node(0).nameView(), "E:");
}

TEST(MftDumpLoad, MftCopiedFromAFreshVolumeCountsWhatTheVolumeCounts) {
    if (!hmtest::haveTool("mkntfs") || !hmtest::haveTool("ntfscat"))
        GTEST_SKIP() << "needs mkntfs and ntfscat (ntfs-3g)";
    hmtest::TempDir dir("mft-dump");
    const std::string image = dir / "volume.img";
    ASSERT_EQ(hmtest::sh("truncate -s 64M " + hmtest::shQuote(image) + " && mkntfs -F -Q -q " + hmtest::shQuote(image) +
                         " >/dev/null 2>&1 && ntfscat " + hmtest::shQuote(image) + " '$MFT' > " +
                         hmtest::shQuote(dir / "volume.mft")),
              0);
    std::string error;
    auto tree = load(dir / "volume.mft", &error);
    ASSERT_EQ(error, "");
    auto volume = NtfsIndex::open(image, &error);
    ASSERT_TRUE(volume && volume->load(nullptr, {}, &error)) << error;
    // The bad-cluster list is a sparse stream as long as the volume: nothing allocated.
    const auto paths = pathsOf(*tree);
    ASSERT_TRUE(paths.count("/$BadClus"));
    EXPECT_EQ(paths.at("/$BadClus")->allocated, 0u);
    std::vector<RawChild> children;
    ASSERT_TRUE(volume->children(5, &children));
    for (const RawChild& c : children) {
        const std::string path = "/" + std::string(c.name, c.nameLength);
        RawStat st;
        ASSERT_TRUE(volume->stat(c.id, &st) && paths.count(path)) << path;
        EXPECT_EQ(paths.at(path)->allocated, st.allocated * 512) << path;
    }
    EXPECT_LT(tree->node(0).allocated, uint64_t(64) << 20);
}

TEST(MftDumpLoad, CancelledLoadGivesAnIncompleteTreeAndRaisesTheFlagAgain) {
    hmtest::TempDir dir("mft-dump");
    hmtest::writeBytes(dir / "vol.mft", sampleMft().bytes());
    ScanProgress progress;
    progress.cancel = true;
    std::string error;
    auto tree = load(dir / "vol.mft", &error, nullptr, &progress);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(tree->incomplete);
    EXPECT_TRUE(progress.cancel.load());
    ASSERT_EQ(tree->nodeCount, 1u);  // nothing was read before the flag was seen
    EXPECT_EQ(tree->node(0).nameView(), "vol");
}

TEST(MftDumpLoad, HostileDumpsGiveErrorsOrPartialTrees) {
    hmtest::TempDir dir("mft-dump");
    const Bytes good = hmtest::dumpWithTrailer(sampleMft().bytes(), hmtest::volumeData(9, 2000, 500, 4096, 1024));
    // Every truncation (in steps) and many random corruptions: no crash, no hang.
    for (size_t n = 0; n <= good.size(); n += 509) {
        hmtest::writeBytes(dir / "cut.mft", Bytes(good.begin(), good.begin() + long(n)));
        std::string error;
        auto tree = load(dir / "cut.mft", &error);
        EXPECT_TRUE(tree->nodeCount > 0 || !error.empty()) << n;
    }
    std::mt19937 random(42);
    for (int round = 0; round < 60; ++round) {
        Bytes bad = good;
        for (int k = 0; k < 40; ++k)
            bad[random() % bad.size()] = uint8_t(random());
        hmtest::writeBytes(dir / "bad.mft", bad);
        auto tree = load(dir / "bad.mft");
        EXPECT_LE(tree->nodeCount, 40u * 16u + 1u);
    }
    // A FIFO is refused at once instead of waiting for a writer.
    ASSERT_EQ(mkfifo((dir / "pipe.mft").c_str(), 0600), 0);
    std::string fifoError;
    EXPECT_EQ(load(dir / "pipe.mft", &fifoError)->nodeCount, 0u);
    EXPECT_FALSE(fifoError.empty());
    // Every record names its parent as a child of its own: a ring of folders still finishes.
    MftImage ring = MftImage::withSystemFiles(1024, 64, kTime);
    for (uint32_t i = 16; i < 64; ++i)
        ring.set(i, MftRecord::folder().standardInfo(kTime, 0x10).fileName(i == 16 ? 5 : i - 1, u"r")
                        .fileName(i == 63 ? 16 : i + 1, u"back"));
    hmtest::writeBytes(dir / "ring.mft", ring.bytes());
    auto tree = load(dir / "ring.mft");
    EXPECT_EQ(tree->nodeCount, 1u + 11u + 48u);  // root, named system files, each folder once
    EXPECT_EQ(tree->node(0).foldersBelow, 1u + 48u);
}

TEST(MftDumpLoad, RunningOutOfMemoryIsAnErrorText) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit can't be combined with AddressSanitizer's shadow memory";
#else
    hmtest::TempDir dir("mft-dump");
    // A sparse 64 GiB dump of 512-byte records: 128 Mi entries can't be held under a 3 GiB limit.
    const std::string path = dir / "huge.mft";
    hmtest::writeBytes(path, sampleMft(512).bytes());
    ASSERT_EQ(truncate(path.c_str(), off_t(64) << 30), 0);
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit limit = {uint64_t(3) << 30, uint64_t(3) << 30};
        setrlimit(RLIMIT_AS, &limit);
        std::string error;
        try {
            auto tree = load(path, &error);
            _exit(error == "Out of memory." && tree->nodeCount == 0 ? 0 : 1);
        } catch (const std::bad_alloc&) {
            _exit(2);  // the tree's own reservations did not fit
        }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(MftDumpWrite, TemporaryFileIsCreatedAfreshThroughTheOpener) {
    hmtest::TempDir dir("mft-dump");
    const std::string volume = writeVolumeImage(dir, "volume.img");
    const std::string temporary = dir / (".zrt-" + std::to_string(getpid()));

    // A link planted at the temporary name is neither followed nor removed.
    hmtest::writeFile(dir / "victim", "keep");
    ASSERT_EQ(::symlink((dir / "victim").c_str(), temporary.c_str()), 0);
    MftDumpResult r = dumpMft(volume, dir / "out.mft", 0, nullptr, {});
    EXPECT_FALSE(r.done);
    EXPECT_EQ(r.error, "can't write " + (dir / "out.mft") + ": File exists");
    EXPECT_EQ(readAll(dir / "victim").size(), 4u);
    struct stat st {};
    EXPECT_EQ(::lstat(temporary.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_FALSE(exists(dir / "out.mft"));
    ::unlink(temporary.c_str());

    // The caller's output makes and places the file; its mode is what the finished dump keeps.
    const std::string mine = dir / "mine.part";
    MftDumpOutput privateFile{[&](std::string* error) { return createDumpFile(mine, 0600, error); },
                              [&](std::string*) { return ::rename(mine.c_str(), (dir / "private.mft").c_str()) == 0; },
                              [&] { ::unlink(mine.c_str()); }};
    r = dumpMft(volume, dir / "private.mft", 0, nullptr, {}, &privateFile);
    ASSERT_TRUE(r.done) << r.error;
    ASSERT_EQ(::stat((dir / "private.mft").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(uint64_t(st.st_size), r.bytesWritten);

    // Its refusal to place or to make the file is the dump's error, and nothing is left behind.
    privateFile.place = [](std::string* error) { return error->assign("Not a regular file."), false; };
    r = dumpMft(volume, dir / "refused.mft", 0, nullptr, {}, &privateFile);
    EXPECT_EQ(r.error, "can't write " + (dir / "refused.mft") + ": Not a regular file.");
    EXPECT_FALSE(exists(mine));
    privateFile.open = [](std::string* error) { return error->assign("Not a regular file."), -1; };
    r = dumpMft(volume, dir / "refused.mft", 0, nullptr, {}, &privateFile);
    EXPECT_EQ(r.error, "can't write " + (dir / "refused.mft") + ": Not a regular file.");
    EXPECT_FALSE(exists(dir / "refused.mft"));
    EXPECT_EQ(hmtest::shOutput("ls -A " + hmtest::shQuote(dir.path()) + " | grep -c zrt"), "0\n");
}
