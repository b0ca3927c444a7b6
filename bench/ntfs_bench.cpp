// NTFS raw reading against the walk through ntfs-3g, and MFT dump loading.
//
//   bench_ntfs_bench [files] [work folder]
//
// As root: makes an NTFS image (mkntfs), fills it with `files` files (default 200000) through an
// ntfs-3g mount, then times a scan through the FUSE mount, a raw scan of the same volume, the
// bare index load, writing the MFT dump and loading it. Without root only the synthetic part
// runs: a dump of 1,000,000 MFT records built in memory, loaded with loadMftFile.
// Caches are warm for every row (the volume was just written); nothing is dropped.
#include "bench/BenchSupport.h"
#include "core/rawindex/MftDump.h"
#include "core/rawindex/NtfsIndex.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

#include "tests/core/rawindex/SyntheticMft.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

using bench::output;
using bench::run;

void row(const char* what, double seconds, uint64_t entries) {
    std::printf("| %-44s | %9.3f | %10llu | %12.0f |\n", what, seconds, static_cast<unsigned long long>(entries),
                seconds > 0 ? double(entries) / seconds : 0.0);
}

uint64_t nodesOf(const svl::ScanTree& tree) { return tree.nodeCount; }

// A dump of `records` records: 1000 folders in the root, the other records files spread over them.
void writeSyntheticDump(const std::string& path, uint32_t records) {
    using namespace hmtest;
    constexpr uint32_t kFolders = 1000;
    const uint32_t recordSize = 1024;
    MftImage system = MftImage::withSystemFiles(recordSize, 16);
    Bytes head = system.bytes();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return;
    std::fwrite(head.data(), 1, head.size(), f);
    for (uint32_t n = 16; n < records; ++n) {
        MftRecord r = n < 16 + kFolders ? MftRecord::folder() : MftRecord();
        r.standardInfo(1700000000 + n, 0x20);
        if (n < 16 + kFolders) {
            r.fileName(5, u"folder " + std::u16string(1, char16_t(u'A' + n % 26)) + u"-" +
                              std::u16string(1, char16_t(u'0' + n % 10)) + std::u16string(1, char16_t(u'a' + n / 26 % 26)));
        } else {
            const uint32_t parent = 16 + n % kFolders;
            r.fileName(parent, u"file-" + std::u16string(1, char16_t(u'a' + n % 26)) +
                                   std::u16string(1, char16_t(u'a' + n / 26 % 26)) +
                                   std::u16string(1, char16_t(u'a' + n / 676 % 26)) +
                                   std::u16string(1, char16_t(u'a' + n / 17576 % 26)) + u".dat");
            r.nonResidentData(5000 + n % 7000, 12288, encodeRuns({{int64_t(1000 + n), 3}}));
        }
        const Bytes bytes = r.build(recordSize, n);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    }
    const Bytes trailer = volumeData(1, 1 << 24, 1 << 20, 4096, recordSize);
    std::fwrite("VOLDATA", 1, 7, f);
    std::fwrite(trailer.data(), 1, trailer.size(), f);
    std::fclose(f);
}

void header() {
    std::printf("| %-44s | %9s | %10s | %12s |\n", "step", "seconds", "entries", "entries/s");
    std::printf("|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(11, '-').c_str(),
                std::string(12, '-').c_str(), std::string(14, '-').c_str());
}

void syntheticRows(const std::string& work) {
    const std::string dump = work + "/synthetic-1m.mft";
    auto start = Clock::now();
    writeSyntheticDump(dump, 1000000);
    std::printf("(synthetic dump of 1,000,000 records written in %.1fs)\n", secondsSince(start));
    for (int pass = 0; pass < 2; ++pass) {
        std::string error;
        svl::MftFileInfo info;
        start = Clock::now();
        auto tree = svl::loadMftFile(dump, svl::ScanOptions{}, nullptr, &info, &error);
        row(pass == 0 ? "loadMftFile, synthetic 1,000,000 records" : "loadMftFile, synthetic, again", secondsSince(start),
            nodesOf(*tree));
        if (!error.empty())
            std::printf("error: %s\n", error.c_str());
    }
    unlink(dump.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const long files = argc > 1 ? std::atol(argv[1]) : 200000;
    const std::string work = argc > 2 ? argv[2] : "/tmp/hm-ntfs-bench";
    run("mkdir -p '" + work + "'");
    std::printf("NTFS raw index and MFT dump benchmark, %ld files\n\n", files);
    header();
    if (geteuid() != 0 || run("command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null") != 0) {
        std::printf("(the volume rows need root, mkntfs and ntfs-3g)\n");
        syntheticRows(work);
        return 0;
    }

    const std::string image = work + "/volume.img";
    const std::string mount = work + "/mnt";
    run("umount '" + mount + "' 2>/dev/null; mkdir -p '" + mount + "'");
    const long megabytes = 256 + files * 3 / 1000;
    run("rm -f '" + image + "'; truncate -s " + std::to_string(megabytes) + "M '" + image + "'");
    if (run("mkntfs -F -Q -q '" + image + "' >/dev/null 2>&1") != 0) {
        std::printf("mkntfs failed\n");
        return 1;
    }
    const std::string device = output("losetup -f --show '" + image + "'");
    if (device.empty() || run("mount -t ntfs-3g '" + device + "' '" + mount + "'") != 0) {
        std::printf("mounting the image failed\n");
        return 1;
    }

    auto start = Clock::now();
    const long perFolder = 1000;
    for (long folder = 0; folder * perFolder < files; ++folder) {
        const std::string dir = mount + "/d" + std::to_string(folder / 20) + "/sub" + std::to_string(folder);
        run("mkdir -p '" + dir + "'");
        for (long i = 0; i < perFolder && folder * perFolder + i < files; ++i) {
            const std::string path = dir + "/file-" + std::to_string(i) + ".txt";
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                if (i % 10 == 0) {
                    const std::string text(size_t(2000 + i), 'x');  // some non-resident data
                    (void)!::write(fd, text.data(), text.size());
                }
                ::close(fd);
            }
        }
    }
    run("sync");
    std::printf("(volume of %ld MiB filled through ntfs-3g in %.1fs)\n", megabytes, secondsSince(start));

    svl::ScanOptions walkOptions;
    start = Clock::now();
    auto walked = svl::scanSingle(mount, walkOptions, nullptr);
    const double walkSeconds = secondsSince(start);
    row("scanSingle, folder walk through ntfs-3g", walkSeconds, nodesOf(*walked));

    svl::ScanOptions rawOptions;
    rawOptions.allowRaw = 1;
    start = Clock::now();
    auto raw = svl::scanSingle(mount, rawOptions, nullptr);
    const double rawSeconds = secondsSince(start);
    row("scanSingle, raw NTFS read", rawSeconds, nodesOf(*raw));
    if (!raw->raw)
        std::printf("(raw read refused: %s)\n", raw->rawNote.c_str());

    std::string error;
    start = Clock::now();
    auto index = svl::NtfsIndex::open(device, &error);
    if (index && index->load(nullptr, {}, &error))
        row("NtfsIndex open + load (device)", secondsSince(start), index->entriesRead());
    else
        std::printf("index: %s\n", error.c_str());
    index.reset();

    const std::string dump = work + "/volume.mft";
    start = Clock::now();
    svl::MftDumpResult written = svl::dumpMft(device, dump, 0, nullptr, {});
    row("dumpMft (device to file)", secondsSince(start), written.bytesWritten);
    start = Clock::now();
    svl::MftFileInfo info;
    auto loaded = svl::loadMftFile(dump, svl::ScanOptions{}, nullptr, &info, &error);
    row("loadMftFile (that dump)", secondsSince(start), nodesOf(*loaded));

    std::printf("\nraw scan / walk: %.1fx faster (raw note: %s)\n\n", rawSeconds > 0 ? walkSeconds / rawSeconds : 0.0,
                raw->rawNote.c_str());
    header();
    syntheticRows(work);

    run("umount '" + mount + "'; losetup -d '" + device + "'; rm -f '" + image + "' '" + dump + "'");
    return 0;
}
