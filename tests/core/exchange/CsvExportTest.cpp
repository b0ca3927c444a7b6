#include "core/exchange/CsvExport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "core/analysis/Filter.h"
#include "core/analysis/MatchBitmap.h"
#include "core/analysis/Parallel.h"
#include "core/exchange/CsvFormat.h"
#include "tests/core/tree/TreeBuilder.h"
#include "tests/support/TestSupport.h"

using namespace treetest;
using svl::CsvExportOptions;
namespace NodeFlag = svl::NodeFlag;

namespace {

constexpr int64_t kTime = 1700000000;  // 2023/11/14 22:13:20 UTC

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::unique_ptr<svl::ScanTree> sampleTree() {
    return build(dir("/data",
                     {
                         file("b", 5, 4096, kTime),
                         file("A", 5, 4096, kTime),
                         file("a", 9, 8192, kTime, NodeFlag::ExtraHardLink),
                         dir("sub", {file("x,\"y\".TXT", 3, 4096, kTime + 1), file(".hidden", 0, 0, 0)}, 0, kTime),
                     }));
}

CsvExportOptions utcOptions() {
    CsvExportOptions o;
    o.utcTimes = true;
    return o;
}

std::string exportText(const svl::ScanTree& tree, const CsvExportOptions& options, std::vector<uint32_t> ids = {0},
                       bool listedOnly = false, uint64_t capacity = 0, uint64_t free = 0) {
    hmtest::TempDir dir("csvexport");
    const std::string path = dir / "out.csv";
    std::string error;
    EXPECT_TRUE(svl::exportCsv(tree, ids, listedOnly, options, capacity, free, path, &error)) << error;
    return readAll(path);
}

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            m_had = true;
            m_old = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

// Checks that file "f<100000 + i>" shows times[i] as the C library converts it; returns how
// many of the times fall in summer time.
size_t expectLocalTimes(const std::string& text, const std::vector<int64_t>& times) {
    size_t summer = 0;
    for (size_t i = 0; i < times.size(); ++i) {
        const time_t t = time_t(times[i]);
        struct tm parts;
        EXPECT_TRUE(localtime_r(&t, &parts));
        summer += parts.tm_isdst > 0;
        char expected[96];
        std::snprintf(expected, sizeof expected, "\"/r/f%zu\",1,0,%04d/%02d/%02d %02d:%02d:%02d,", 100000 + i,
                      parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
        if (text.find(expected) == std::string::npos) {
            ADD_FAILURE() << expected;
            break;
        }
    }
    return summer;
}

}  // namespace

TEST(CsvExport, DefaultColumnsRowsAndOrder) {
    const auto tree = sampleTree();
    const std::string expected =
        "File Name,Size,Allocated,Modified,Attributes,Files,Folders,DRIVECAPACITY,FREESPACE,USEDSPACE,RESERVEDSPACE\n"
        "\"/data/\",22,12288,1970/01/01 00:00:00,0,5,1,1000,400,600,0\n"
        "\"/data/A\",5,4096,2023/11/14 22:13:20,0,0,0,,,,\n"
        "\"/data/a\",9,08192,2023/11/14 22:13:20,0,0,0,,,,\n"
        "\"/data/b\",5,4096,2023/11/14 22:13:20,0,0,0,,,,\n"
        "\"/data/sub/\",3,4096,2023/11/14 22:13:20,0,2,0,,,,\n"
        "\"/data/sub/.hidden\",0,0,1970/01/01 00:00:00,2,0,0,,,,\n"
        "\"/data/sub/x,\"\"y\"\".TXT\",3,4096,2023/11/14 22:13:21,0,0,0,,,,\n";
    EXPECT_EQ(exportText(*tree, utcOptions(), {0}, false, 1000, 400), expected);

    // Newest time below a folder, TSV, no drive columns.
    CsvExportOptions o = utcOptions();
    o.folderNewestModified = true;
    o.tabSeparated = true;
    o.exportDriveCapacity = false;
    const std::string tsv = exportText(*tree, o);
    EXPECT_EQ(tsv.substr(0, tsv.find('\n', tsv.find('\n') + 1)),
              "File Name\tSize\tAllocated\tModified\tAttributes\tFiles\tFolders\n"
              "\"/data/\"\t22\t12288\t2023/11/14 22:13:21\t0\t5\t1");
}

TEST(CsvExport, SortOrdersAreTotal) {
    // Equal names apart from case: the lower id first; sizes 5, 5, 9 by size: 9 first, then by name.
    auto tree = build(dir("/r", {file("b", 5), file("A", 5), file("a", 9)}));
    CsvExportOptions o = utcOptions();
    o.exportFolders = false;
    o.exportDriveCapacity = false;
    auto names = [&](const svl::ScanTree& t) {
        std::string out;
        std::istringstream in(exportText(t, o));
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line))
            out += line.substr(4, line.find('"', 1) - 4) + " ";
        return out;
    };
    EXPECT_EQ(names(*tree), "A a b ");
    auto swapped = build(dir("/r", {file("b", 5), file("a", 5), file("A", 9)}));
    EXPECT_EQ(names(*swapped), "a A b ");
    o.sortBy = 1;
    EXPECT_EQ(names(*tree), "a A b ");
    o.sortBy = 3;
    auto timed = build(dir("/r", {file("old", 1, 0, 10), file("new", 1, 0, 20), file("mid", 1, 0, 15)}));
    EXPECT_EQ(names(*timed), "new mid old ");
    o.sortBy = 77;  // unknown orders act as by name
    EXPECT_EQ(names(*timed), "mid new old ");
}

TEST(CsvExport, DepthListsRemovedAndFolderRowsOff) {
    auto tree = build(dir("/r", {dir("d", {file("deep", 1)}), file("f", 2), dir("gone", {file("g", 4)})}));
    ASSERT_TRUE(tree->markRemoved(uint32_t(find(*tree, "/r/gone"))));
    CsvExportOptions o = utcOptions();
    o.exportDriveCapacity = false;
    auto paths = [&](std::vector<uint32_t> ids, bool listed) {
        std::string out;
        std::istringstream in(exportText(*tree, o, ids, listed));
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line))
            out += line.substr(1, line.find('"', 1) - 1) + " ";
        return out;
    };
    EXPECT_EQ(paths({0}, false), "/r/ /r/d/ /r/d/deep /r/f ");
    o.maxDepth = 1;
    EXPECT_EQ(paths({0}, false), "/r/ /r/d/ /r/f ");
    o.maxDepth = -3;
    EXPECT_EQ(paths({0}, false), "/r/ /r/d/ /r/d/deep /r/f ");
    const uint32_t d = uint32_t(find(*tree, "/r/d"));
    const uint32_t f = uint32_t(find(*tree, "/r/f"));
    EXPECT_EQ(paths({f, d, 999999}, true), "/r/f /r/d/ ");
    o.exportFolders = false;
    EXPECT_EQ(paths({0}, false), "/r/d/deep /r/f ");
}

TEST(CsvExport, OptionalColumnGroups) {
    const auto tree = sampleTree();
    CsvExportOptions o = utcOptions();
    o.exportFolderSizes = true;
    o.splitFileName = true;
    o.exportPercentOfParent = true;
    o.exportDriveCapacity = false;
    const std::string text = exportText(*tree, o);
    std::istringstream in(text);
    std::string header, root, a, line;
    std::getline(in, header);
    EXPECT_EQ(header,
              "File Name,Size,Allocated,Modified,Attributes,Files,Folders,FOLDERSIZE,FOLDERALLOCATED,ROOT,FOLDERNAME,"
              "FILENAME,FILEEXT,PERCENTOFPARENT");
    std::getline(in, root);
    EXPECT_EQ(root, "\"/data/\",22,12288,1970/01/01 00:00:00,0,5,1,19,8192,\"\",\"\",\"/data\",\"\",100.000");
    std::getline(in, line);
    std::getline(in, a);
    EXPECT_EQ(a, "\"/data/a\",9,08192,2023/11/14 22:13:20,0,0,0,9,0,\"\",\"/data\",\"a\",\"\",40.909");
    std::string hidden, quoted;
    std::getline(in, line);
    std::getline(in, line);
    std::getline(in, hidden);
    std::getline(in, quoted);
    EXPECT_EQ(hidden, "\"/data/sub/.hidden\",0,0,1970/01/01 00:00:00,2,0,0,0,0,\"\",\"/data/sub\",\"\",\"hidden\",0.000");
    EXPECT_EQ(quoted,
              "\"/data/sub/x,\"\"y\"\".TXT\",3,4096,2023/11/14 22:13:21,0,0,0,3,4096,\"\",\"/data/sub\",\"x,\"\"y\"\"\","
              "\"txt\",100.000");
}

TEST(CsvExport, VirtualRootAndBindSources) {
    auto tree = build(dir("Select Multiple",
                          {dir("/one", {file("f", 30)}), dir("/two", {dir("m", {}, 0, 0, NodeFlag::BindMount)})}, 0,
                          0, NodeFlag::VirtualRoot));
    tree->bindSources[uint32_t(find(*tree, "/two/m"))] = "/src \"q\"";
    CsvExportOptions o = utcOptions();
    o.exportPercentOfParent = true;
    o.exportFileId = true;
    const std::string text = exportText(*tree, o, {0}, false, 5000, 100);
    EXPECT_EQ(text,
              "File Name,Size,Allocated,Modified,Attributes,Files,Folders,FILEID,PARENTFILEID,PERCENTOFPARENT,"
              "DRIVECAPACITY,FREESPACE,USEDSPACE,RESERVEDSPACE,BINDMOUNTOF\n"
              "\"/one/\",30,0,1970/01/01 00:00:00,0,1,0,0,0,100.000,,,,,\n"
              "\"/one/f\",30,0,1970/01/01 00:00:00,0,0,0,0,0,100.000,,,,,\n"
              "\"/two/\",0,0,1970/01/01 00:00:00,0,0,1,0,0,0.000,,,,,\n"
              "\"/two/m/\",0,0,1970/01/01 00:00:00,0,0,0,0,0,0.000,,,,,\"/src \"\"q\"\"\"\n");
    // A listed virtual root writes its scanned roots and nothing below them.
    o.exportFileId = false;
    o.exportPercentOfParent = false;
    o.exportDriveCapacity = false;
    EXPECT_EQ(exportText(*tree, o, {0}, true),
              "File Name,Size,Allocated,Modified,Attributes,Files,Folders,BINDMOUNTOF\n"
              "\"/one/\",30,0,1970/01/01 00:00:00,0,1,0,\n"
              "\"/two/\",0,0,1970/01/01 00:00:00,0,0,1,\n");

    // Roots the scan could not reach give no rows, also in a filtered copy; a tree of only such
    // a root has nothing to export.
    auto several = build(dir("Select Multiple",
                             {dir("/gone", {}, 0, 0, NodeFlag::Unreadable), dir("/one", {file("f", 30)}),
                              dir("/shut", {}, 4096, kTime, NodeFlag::Unreadable | NodeFlag::AccessDenied),
                              dir("/dead", {}, 0, 0, NodeFlag::Unreadable)},
                             0, 0, NodeFlag::VirtualRoot));
    several->unreachedRoots = {{uint32_t(find(*several, "/gone")), svl::RootReach::Missing},
                               {uint32_t(find(*several, "/shut")), svl::RootReach::Denied},
                               {uint32_t(find(*several, "/dead")), svl::RootReach::NoAnswer}};
    const std::string reached = "File Name,Size,Allocated,Modified,Attributes,Files,Folders\n"
                                "\"/one/\",30,0,1970/01/01 00:00:00,0,1,0\n"
                                "\"/one/f\",30,0,1970/01/01 00:00:00,0,0,0\n";
    EXPECT_EQ(exportText(*several, o), reached);
    const svl::Filter exclude = svl::decodeFilterText("zzz", false, nullptr);
    EXPECT_EQ(exportText(*svl::filterTree(*several, nullptr, &exclude), o), reached);
    auto alone = build(dir("/shut", {}, 4096, kTime, NodeFlag::Unreadable | NodeFlag::AccessDenied));
    alone->unreachedRoots = {{0, svl::RootReach::Denied}};
    hmtest::TempDir out("csvexport");
    std::string error;
    EXPECT_FALSE(svl::exportCsv(*alone, {0}, false, o, 0, 0, out / "alone.csv", &error));
    EXPECT_EQ(error, "There's nothing to export.");
}

TEST(CsvExport, FileIdsAndDatesComeFromTheFiles) {
    hmtest::TempDir dir("csvids");
    hmtest::writeFile(dir / "kept", "abc");
    auto tree = build(treetest::dir(dir.path(), {file("kept", 3), file("deleted", 1)}));
    CsvExportOptions o = utcOptions();
    o.exportFileId = true;
    o.exportDates = true;
    o.exportDriveCapacity = false;
    o.exportFolders = false;
    const std::string inode = hmtest::shOutput("stat -c %i " + hmtest::shQuote(dir / "kept"));
    const std::string parent = hmtest::shOutput("stat -c %i " + hmtest::shQuote(dir.path()));
    const std::string text = exportText(*tree, o);
    const std::string deletedRow = "\"" + dir.path() + "/deleted\",1,0,1970/01/01 00:00:00,0,0,0,0," +
                                   parent.substr(0, parent.size() - 1) + ",1970/01/01 00:00:00,1970/01/01 00:00:00\n";
    EXPECT_NE(text.find(deletedRow), std::string::npos) << text;
    const std::string keptRow = "\"" + dir.path() + "/kept\",3,0,1970/01/01 00:00:00,0,0,0," +
                                inode.substr(0, inode.size() - 1) + "," + parent.substr(0, parent.size() - 1) + ",";
    EXPECT_NE(text.find(keptRow), std::string::npos) << text;
}

TEST(CsvExport, LocalTimesFollowTheZoneAndItsClockChanges) {
    ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    // 2024-03-10 06:59:59 UTC is 01:59:59 EST; one second later it is 03:00:00 EDT.
    auto tree = build(dir("/r", {file("a", 1, 0, 1710053999), file("b", 1, 0, 1710054000), file("c", 1, 0, kTime)}));
    CsvExportOptions o;
    o.exportDriveCapacity = false;
    o.exportFolders = false;
    const std::string local = exportText(*tree, o);
    EXPECT_NE(local.find("\"/r/a\",1,0,2024/03/10 01:59:59,"), std::string::npos) << local;
    EXPECT_NE(local.find("\"/r/b\",1,0,2024/03/10 03:00:00,"), std::string::npos) << local;
    EXPECT_NE(local.find("\"/r/c\",1,0,2023/11/14 17:13:20,"), std::string::npos) << local;
    o.utcTimes = true;
    EXPECT_NE(exportText(*tree, o).find("\"/r/c\",1,0,2023/11/14 22:13:20,"), std::string::npos);
}

TEST(CsvExport, DateTextsOutsideFourDigitYears) {
    std::string out;
    svl::appendCsvDate(out, -1);
    EXPECT_EQ(out, "1969/12/31 23:59:59");
    out.clear();
    svl::appendCsvDate(out, 253402300800);  // 10000/01/01
    EXPECT_EQ(out, "10000/01/01 00:00:00");
    out.clear();
    svl::appendCsvDate(out, -62167219201);  // one second before 0000/01/01
    EXPECT_EQ(out, "-001/12/31 23:59:59");
}

TEST(CsvExport, SameBytesForAnyThreadCountAndFolderSize) {
    // 150000 files take the parallel sort; 150 of the same names take the ordinary one.
    std::vector<Spec> many, few;
    for (int i = 0; i < 150000; ++i) {
        std::string name = "F" + std::to_string((i * 7919) % 150000);
        if (i % 3 == 0)
            name[0] = 'f';
        many.push_back(file(name, uint64_t(i % 97), 4096, kTime + i % 1000));
        if (i % 1000 == 0)
            few.push_back(file(name, uint64_t(i % 97), 4096, kTime + i % 1000));
    }
    auto big = build(dir("/big", many));
    auto small = build(dir("/big", few));
    CsvExportOptions o;  // local times, exercising the per-block caches
    std::string first;
    for (int threads : {1, 2, 8}) {
        svl::ScopedHardwareThreads scoped(threads);
        const std::string text = exportText(*big, o);
        if (first.empty())
            first = text;
        else
            EXPECT_TRUE(text == first) << "threads " << threads;
    }
    // The small folder's rows appear in the big one's output in the same relative order.
    std::istringstream smallRows(exportText(*small, o));
    std::string line;
    size_t at = 0;
    std::getline(smallRows, line);
    std::getline(smallRows, line);
    while (std::getline(smallRows, line)) {
        const size_t found = first.find("\n" + line + "\n", at);
        ASSERT_NE(found, std::string::npos) << line;
        at = found + 1;
    }
}

TEST(CsvExport, FailuresAreReported) {
    const auto tree = sampleTree();
    hmtest::TempDir dir("csvfail");
    std::string error;
    CsvExportOptions none;
    none.exportFiles = none.exportFolders = false;
    EXPECT_FALSE(svl::exportCsv(*tree, {0}, false, none, 0, 0, dir / "a.csv", &error));
    EXPECT_EQ(error, "Either one or both of \"Export Files\" and \"Export Folders\" must be selected.");
    EXPECT_FALSE(svl::exportCsv(*tree, {}, false, {}, 0, 0, dir / "b.csv", &error));
    EXPECT_EQ(error, "There's nothing to export.");
    svl::ScanTree empty;
    EXPECT_FALSE(svl::exportCsv(empty, {0}, false, {}, 0, 0, dir / "c.csv", &error));
    EXPECT_EQ(error, "There's nothing to export.");
    EXPECT_FALSE(hmtest::sh("test -e " + hmtest::shQuote(dir / "a.csv")) == 0);
    EXPECT_FALSE(svl::exportCsv(*tree, {0}, false, {}, 0, 0, dir / "missing/d.csv", &error));
    EXPECT_EQ(error, std::string("Couldn't create the file.\n") + std::strerror(ENOENT));
    EXPECT_FALSE(svl::exportCsv(*tree, {0}, false, {}, 0, 0, "/dev/full", &error));
    EXPECT_EQ(error, std::string("Couldn't write the file.\n") + std::strerror(ENOSPC));
    EXPECT_FALSE(svl::exportCsv(*tree, {0}, false, {}, 0, 0, "/dev/full", nullptr));
}

namespace {

// The file rows of an export of one file per time, in the current zone.
std::string exportFileTimes(const std::vector<int64_t>& times) {
    std::vector<Spec> files;
    for (size_t i = 0; i < times.size(); ++i)
        files.push_back(file("f" + std::to_string(100000 + i), 1, 0, times[i]));
    auto tree = build(dir("/r", files));
    CsvExportOptions o;
    o.exportFolders = false;
    o.exportDriveCapacity = false;
    return exportText(*tree, o);
}

}  // namespace

TEST(CsvExport, ManyLocalTimesAcrossClockChangesMatchTheCLibrary) {
    // Times on and around both clock changes of 2024, in a zone with two changes on one day
    // and in one whose summer time lasts five minutes (2024-03-31 01:05 to 01:10 UTC).
    for (const char* zoneName :
         {"EST5EDT,M3.2.0,M11.1.0", "XST-5:30XDT-6:15,J100/6,J100/20", "STD-1DST,M3.5.0/2:05,M3.5.0/3:10"}) {
        ScopedTimeZone zone(zoneName);
        std::vector<int64_t> times;
        for (int i = 0; i < 3000; ++i)
            times.push_back(1704067200 + int64_t(i) * 10487);  // through 2024 in uneven steps
        for (int64_t edge : {1710053999LL, 1710054000LL, 1730613599LL, 1730613600LL, 1730617199LL, 1730617200LL})
            for (int64_t d = -2; d <= 2; ++d)
                times.push_back(edge + d);
        for (int64_t day = 1712102400; day < 1712102400 + 86400; day += 1800)
            times.push_back(day);  // 2024-04-03, the 100th day of the year, every half hour
        for (int64_t t = 1711846800 - 3000; t < 1711846800 + 4000; t += 60)
            times.push_back(t);  // 2024-03-31 00:15 to 02:10 UTC, every minute
        SCOPED_TRACE(zoneName);
        expectLocalTimes(exportFileTimes(times), times);
    }
}

TEST(CsvExport, DenseLocalTimesSeeClockChangesMinutesApart) {
    // Rows every 17 seconds over a day, so the offsets are sampled in advance, with a summer
    // time of five minutes between two samples an hour apart.
    ScopedTimeZone zone("STD-1DST,M3.5.0/2:05,M3.5.0/3:10");
    std::vector<int64_t> times;
    for (int64_t t = 1711843200 + 2400; t < 1711843200 + 86400; t += 17)
        times.push_back(t);
    EXPECT_GT(expectLocalTimes(exportFileTimes(times), times), 0u);
}

TEST(CsvExport, MemoryStaysFlatForLongPaths) {
    // 40,000 files whose paths are about 3.6 KB each: 140 MB of text.
    std::vector<Spec> files;
    for (int i = 0; i < 40000; ++i)
        files.push_back(file("f" + std::to_string(i), 1, 0, kTime));
    Spec deepest = dir(std::string(70, 'd'), std::move(files));
    for (int level = 0; level < 50; ++level)
        deepest = dir(std::string(70, char('a' + level % 26)), {std::move(deepest)});
    const auto tree = build(dir("/r", {std::move(deepest)}));
    hmtest::TempDir out("csvexport");
    svl::ScopedHardwareThreads threads(8);

    // In a child process, so the peak resident size measures this export alone.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        std::string error;
        const bool written = svl::exportCsv(*tree, {0}, false, utcOptions(), 0, 0, out / "long.csv", &error);
        getrusage(RUSAGE_SELF, &after);
        _exit(!written ? 2 : after.ru_maxrss - before.ru_maxrss > 64 * 1024 ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the export's peak memory grew by more than 64 MiB";
    struct stat st;
    ASSERT_EQ(stat((out / "long.csv").c_str(), &st), 0);
    EXPECT_GT(st.st_size, 40000 * 3500);
}
