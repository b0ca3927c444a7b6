#include "core/exchange/CsvImport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "core/analysis/Parallel.h"
#include "core/exchange/CsvExport.h"
#include "core/scan/ScanDriver.h"
#include "tests/core/tree/TreeBuilder.h"
#include "tests/support/TestSupport.h"

using namespace treetest;
namespace NodeFlag = svl::NodeFlag;

namespace {

constexpr int64_t kTime = 1700000000;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class CsvImport : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    svl::CsvImportResult importText(const std::string& text, const std::string& name = "in.csv") {
        const std::string path = m_dir / name;
        writeText(path, text);
        return svl::importCsv(path, nullptr, {});
    }
    // Every node as "path size allocated modified flags" lines, in path order.
    static std::string describe(const svl::ScanTree& tree) {
        std::vector<std::string> lines;
        for (uint32_t id = 0; id < tree.nodeCount; ++id) {
            const svl::ScanNode& n = tree.node(id);
            std::ostringstream s;
            const std::string path = tree.fullPath(id);
            s << path << (n.isFolder() && !path.empty() && path.back() != '/' ? "/" : "") << " " << n.size << " " << n.allocated << " "
              << n.modified << " " << std::hex << n.flags;
            lines.push_back(s.str());
        }
        std::sort(lines.begin(), lines.end());
        std::string out;
        for (const std::string& l : lines)
            out += l + "\n";
        return out;
    }
    // Parent links, child ranges and the breadth-first id rule a scan tree must keep.
    static void expectWellFormed(const svl::ScanTree& tree) {
        for (uint32_t id = 0; id < tree.nodeCount; ++id) {
            const svl::ScanNode& n = tree.node(id);
            ASSERT_NE(n.name, nullptr) << id;
            for (uint32_t c = n.firstChild; c < n.firstChild + n.childCount; ++c) {
                ASSERT_GT(c, id);
                ASSERT_LT(c, tree.nodeCount);
                ASSERT_EQ(tree.node(c).parent, id);
            }
        }
    }
    hmtest::TempDir m_dir{"csvimport"};
};

const char* const kHeader =
    "File Name,Size,Allocated,Modified,Attributes,Files,Folders,DRIVECAPACITY,FREESPACE,USEDSPACE,RESERVEDSPACE\n";

}  // namespace

TEST_F(CsvImport, RoundTripKeepsEveryNodeAndExportsTheSameBytes) {
    // Folders with their own allocation, as directories have on most file systems.
    auto tree = build(dir("/data",
                          {
                              file("b", 5, 4096, kTime, NodeFlag::ReadOnly),
                              file("a", 9, 8192, kTime, NodeFlag::ExtraHardLink),
                              file("zero", 0, 0, kTime + 5),
                              dir("sub, \"q\"", {file("x,\"y\".txt", 3, 4096, kTime + 1), file(".hidden", 7, 4096, 0)},
                                  4096, kTime, NodeFlag::Archive),
                              dir("empty", {}, 4096, kTime),
                          },
                          4096));
    svl::CsvExportOptions options;  // local times, read back as local times
    const std::string first = m_dir / "first.csv";
    const std::string second = m_dir / "second.csv";
    std::string error;
    ASSERT_TRUE(svl::exportCsv(*tree, {0}, false, options, 1000000, 250000, first, &error)) << error;
    const svl::CsvImportResult result = svl::importCsv(first, nullptr, {});
    ASSERT_TRUE(result.tree) << result.error;
    expectWellFormed(*result.tree);
    // Hidden comes back from the attribute column; the rest is the same.
    const uint32_t hidden = uint32_t(find(*tree, "/data/sub, \"q\"/.hidden"));
    tree->node(hidden).flags |= NodeFlag::Hidden;
    EXPECT_EQ(describe(*result.tree), describe(*tree));
    EXPECT_TRUE(result.hasDriveInfo);
    EXPECT_EQ(result.driveCapacity, 1000000u);
    EXPECT_EQ(result.driveFree, 250000u);
    EXPECT_FALSE(result.tree->importMismatch);
    ASSERT_TRUE(svl::exportCsv(*result.tree, {0}, false, options, 1000000, 250000, second, &error)) << error;
    EXPECT_EQ(readAll(second), readAll(first));
}

TEST_F(CsvImport, HeaderSearchAndColumnMaps) {
    // No header: path, size, allocated, modified, attributes.
    auto r = importText("\"/r/\",10,0,2023/01/01 00:00:00,0\n\"/r/f\",10,4096,2023/01/01 00:00:00,1\n");
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), "/r/ 10 4096 1672531200 1\n/r/f 10 4096 1672531200 100\n");
    // Capitals, other order, a second Size column ignored, CR LF, a byte-order mark, junk lines.
    r = importText("\xEF\xBB\xBFjunk 1\r\njunk 2\r\nFile Name,\"MODIFIED\",SIZE,FILES,Size\r\n\"/r/\",2023/7/4 9:05,7,0,x\r\n"
                   "\"/r/f\",2023/7/4 9:05:30,7,0,99\r\n");
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), "/r/ 7 0 1688461500 1\n/r/f 7 0 1688461530 0\n");
    r = importText("File Name,Modified,Size,Files,Folders\n\"/r/f\",2023/7/4 9:05,7,0,0\n");
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), " 7 0 0 81\n/r/f 7 0 1688461500 0\n");
    // A header on line 5, after four lines of other text, is found.
    r = importText("1\n2\n3\n4\nFile Name,Files,Size\n\"/r/f\",0,4\n");
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), " 4 0 0 81\n/r/f 4 0 0 0\n");
    // A header on line 6 is not found: it is skipped as a row and the default map holds.
    r = importText("1\n2\n3\n4\n5\nModified,Size,Files\n\"/r/\",4,0\n");
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), "/r/ 4 0 0 1\n");
    // TSV by the file name only, whatever its letter case.
    std::string tabbed = "File Name\tSize\tAllocated\tModified\tAttributes\tFiles\tFolders\n\"/r/a,b\"\t3\t0\t\t0\t0\t0\n";
    for (const char* name : {"x.tsv", "x.TSV"}) {
        r = importText(tabbed, name);
        ASSERT_TRUE(r.tree) << name << r.error;
        EXPECT_EQ(describe(*r.tree), " 3 0 0 81\n/r/a,b 3 0 0 0\n");
    }
    for (const char* name : {"x.csv", "x"})
        EXPECT_EQ(importText(tabbed, name).error, "No rows found. This doesn't look like a Sorvale CSV file.");
}

TEST_F(CsvImport, FieldValues) {
    const std::string rows = std::string(kHeader) +
                             "\"/r/\",0,0,1970/01/01 00:00:00,0,4,0,,,,\n"
                             "\"/r/q\"\"uote\"\"\"junk,1,0,yesterday,0,0,0,,,,\n"
                             "\"/r/zero\",2,0,2023/7/4 9:05,2,0,0,,,,\n"
                             "\"/r/linked\",3,00,2023/07/04 09:05:07,2048,0,0,,,,\n"
                             "\"/r/bad size\",3x,0,,0,0,0,,,,\n"
                             "\"/r/neg\",-3,0,,0,0,0,,,,\n"
                             "\"/r/huge\",18446744073709551616,0,,0,0,0,,,,\n"
                             "\"/r/unclosed,5,0,,0,0,0,,,,\n"
                             "\"/r/max\",18446744073709551615,07,,0,0,0,,,,\n"
                             "\"/r/" +
                             std::string(70000, 'n') + "\",1,0,,0,0,0,,,,";  // no final line feed
    const auto r = importText(rows);
    ASSERT_TRUE(r.tree) << r.error;
    // The root's total stops at the largest size instead of wrapping around.
    EXPECT_EQ(describe(*r.tree), "/r/ 18446744073709551615 0 0 1\n"
                                 "/r/linked 3 0 1688461507 2010\n"
                                 "/r/max 18446744073709551615 7 0 10\n"
                                 "/r/" + std::string(65535, 'n') + " 1 0 0 0\n"
                                 "/r/q\"uote\" 1 0 0 0\n"
                                 "/r/zero 2 0 1688461500 200\n");
    EXPECT_FALSE(r.hasDriveInfo);
}

TEST_F(CsvImport, TreeShapes) {
    // Contents before their folder row, a file without any folder row, two roots.
    auto r = importText("\"/r/d/f\",1,0,,0\n\"/r/\",0,0,,0\n\"/r/d/\",0,0,,0\n\"/loose/x\",2,0,,0\n");
    ASSERT_TRUE(r.tree) << r.error;
    expectWellFormed(*r.tree);
    EXPECT_TRUE(r.tree->node(0).flags & NodeFlag::VirtualRoot);
    EXPECT_EQ(r.tree->node(0).nameView(), "Select Multiple");
    EXPECT_EQ(describe(*r.tree), " 3 0 0 81\n/loose/x 2 0 0 0\n/r/ 1 0 0 1\n/r/d/ 1 0 0 1\n/r/d/f 1 0 0 0\n");
    // The "/" row holds the rows directly below it.
    r = importText("\"/\",0,0,,0\n\"/etc/\",0,0,,0\n\"/etc/x\",4,0,,0\n\"/y\",1,0,,0\n");
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(r.tree->node(0).nameView(), "/");
    EXPECT_EQ(describe(*r.tree), "/ 5 0 0 1\n/etc/ 4 0 0 1\n/etc/x 4 0 0 0\n/y 1 0 0 0\n");
    // A folders-only export keeps the totals it declares.
    r = importText(std::string(kHeader) + "\"/r/\",100,200,,0,0,1,,,,\n\"/r/d/\",60,80,,0,0,0,,,,\n");
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), "/r/ 100 200 0 1\n/r/d/ 60 80 0 1\n");
    EXPECT_FALSE(r.tree->importMismatch);
}

TEST_F(CsvImport, PartialListingsAreFlagged) {
    auto tree = build(dir("/r", {dir("a", {file("1", 1), file("2", 1), file("3", 1), file("4", 1), file("5", 1)}),
                                 file("f", 1)}));
    svl::CsvExportOptions options;
    options.maxDepth = 1;
    const std::string path = m_dir / "depth.csv";
    std::string error;
    ASSERT_TRUE(svl::exportCsv(*tree, {0}, false, options, 0, 0, path, &error));
    const auto r = svl::importCsv(path, nullptr, {});
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_TRUE(r.tree->importMismatch);
    EXPECT_EQ(r.tree->nodeCount, 3u);
}

TEST_F(CsvImport, WindowsBackslashPaths) {
    auto r = importText(std::string(kHeader) +
                        "\"C:\\\",10,0,,0,3,1,500,100,400,0\n"
                        "\"C:\\Users\\\",10,0,,0,0,0,,,,\n"
                        "\"C:\\Users\\a.txt\",4,0,,0,0,0,,,,\n"
                        "\"C:\\Users\\b.\",6,0,,0,0,0,,,,\n"
                        "\"C:\\Users/\",1,0,,0,0,0,,,,\n");
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), "C:/ 10 0 0 1\nC:/Users/ 10 0 0 1\nC:/Users/a.txt 4 0 0 0\nC:/Users/b 6 0 0 0\n");
    EXPECT_TRUE(r.hasDriveInfo);
    EXPECT_EQ(r.driveCapacity, 500u);
    EXPECT_EQ(r.driveFree, 100u);
    // A Linux path holding a backslash is not split at it.
    r = importText("\"/r\\x/\",0,0,,0\n\"/r\\x/f\\g\",3,0,,0\n");
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), "/r\\x/ 3 0 0 1\n/r\\x/f\\g 3 0 0 0\n");
}

TEST_F(CsvImport, RowsThatCouldNameOtherFoldersAreSkipped) {
    const std::string nul("\"/r/n\0ul\",1,0,,0\n", 16);
    auto r = importText("\"/r/\",0,0,,0\n\"/r/../etc/\",0,0,,0\n\"/r/../etc/passwd\",1,0,,0\n\"/r/./x\",1,0,,0\n"
                        "\"/r//y\",1,0,,0\n\"/r/ok\",2,0,,0\n\"//\",1,0,,0\n\"///x\",1,0,,0\n\"/r///z/\",1,0,,0\n" +
                        nul);
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), "/r/ 2 0 0 1\n/r/ok 2 0 0 0\n");
    r = importText("\"C:\\\",0,0,,0\n\"C:\\a\\..\\\",1,0,,0\n\"C:\\a\\..\",1,0,,0\n\"C:\\a/\",1,0,,0\n");
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), "C:/ 0 0 0 1\n");
}

TEST_F(CsvImport, Failures) {
    EXPECT_EQ(importText("").error, "Couldn't read the file.");
    EXPECT_EQ(svl::importCsv(m_dir / "missing.csv", nullptr, {}).error, "Couldn't read the file.");
    EXPECT_EQ(importText(kHeader).error, "No rows found. This doesn't look like a Sorvale CSV file.");
    EXPECT_EQ(importText("\"/r/../x\",1,0,,0\n").error, "The rows don't form a folder tree.");
    const auto r = importText(kHeader);
    EXPECT_FALSE(r.tree);
    EXPECT_FALSE(r.declined);
}

TEST_F(CsvImport, LargeFilesGiveTheSameTreeForAnyThreadCount) {
    // About 9 MiB: several chunks, parsed by workers ahead of the merge.
    std::string text = kHeader;
    text += "\"/big/\",0,0,,0,0,0,,,,\n";
    for (int d = 0; d < 300; ++d) {
        text += "\"/big/d" + std::to_string(d) + "/\",0,0,,0,0,0,,,,\n";
        for (int f = 0; f < 500; ++f)
            text += "\"/big/d" + std::to_string(d) + "/file-with-a-longer-name-" + std::to_string(f) + ".dat\"," +
                    std::to_string(f) + ",4096,2023/01/01 10:00:00,0,0,0,,,,\n";
    }
    std::string first;
    for (int threads : {1, 3, 8}) {
        svl::ScopedHardwareThreads scoped(threads);
        svl::ScanProgress progress;
        writeText(m_dir / "big.csv", text);
        const auto r = svl::importCsv(m_dir / "big.csv", &progress, {});
        ASSERT_TRUE(r.tree) << r.error;
        ASSERT_EQ(r.tree->nodeCount, 1u + 300u + 150000u);
        EXPECT_EQ(progress.files.load(), 150000u);
        EXPECT_EQ(progress.folders.load(), 301u);
        EXPECT_EQ(progress.fraction.load(), 1.0);
        EXPECT_EQ(r.tree->node(0).size, 300u * (499u * 500u / 2));
        const std::string out = m_dir / "out.csv";
        std::string error;
        svl::CsvExportOptions options;
        options.utcTimes = true;
        ASSERT_TRUE(svl::exportCsv(*r.tree, {0}, false, options, 0, 0, out, &error));
        if (first.empty())
            first = readAll(out);
        else
            EXPECT_TRUE(readAll(out) == first) << threads;
    }
}

TEST_F(CsvImport, CancelGivesAnEmptyTree) {
    std::string text = kHeader;
    for (int f = 0; f < 200000; ++f)
        text += "\"/c/f" + std::to_string(f) + "\",1,0,,0,0,0,,,,\n";
    writeText(m_dir / "c.csv", text);
    svl::ScanProgress progress;
    progress.cancel = true;
    const auto r = svl::importCsv(m_dir / "c.csv", &progress, {});
    ASSERT_TRUE(r.tree);
    EXPECT_EQ(r.tree->nodeCount, 0u);
    EXPECT_TRUE(r.error.empty());
}

TEST_F(CsvImport, HugeFirstLineAndUnclosedQuotesStayBounded) {
    // 64 MiB without a line feed before the header, then a quote that never closes.
    std::string text(64 << 20, 'x');
    text += "\n";
    text += kHeader;
    text += "\"/r/\",0,0,,0,0,0,,,,\n\"/r/f\",1,0,,0,0,0,,,,\n\"/r/open,1,0,,0,0,0,,,,\n\"" + std::string(1 << 20, 'q');
    const auto started = std::chrono::steady_clock::now();
    const auto r = importText(text);
    ASSERT_TRUE(r.tree) << r.error;
    EXPECT_EQ(describe(*r.tree), "/r/ 1 0 0 1\n/r/f 1 0 0 0\n");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 20.0);
}

TEST_F(CsvImport, FileCutShortDuringTheImportIsNoCrash) {
    std::string text = kHeader;
    text += "\"/s/\",0,0,,0,0,0,,,,\n";
    for (int f = 0; f < 300000; ++f)
        text += "\"/s/f" + std::to_string(f) + "\",1,0,,0,0,0,,,,\n";
    for (int round = 0; round < 3; ++round) {
        writeText(m_dir / "s.csv", text);
        svl::ScanProgress progress;
        // Another program rewrites the file as soon as the first rows are in.
        std::thread cutter([&] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (progress.files.load() == 0 && std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
            EXPECT_EQ(truncate((m_dir / "s.csv").c_str(), 1000), 0);
        });
        const auto r = svl::importCsv(m_dir / "s.csv", &progress, {});
        cutter.join();
        if (r.tree)
            EXPECT_EQ(r.tree->nodeCount, 300001u);
        else
            EXPECT_EQ(r.error, "Couldn't read the file.");
    }
}

TEST_F(CsvImport, OnlyRegularFilesAreRead) {
    const std::string fifo = m_dir / "pipe.csv";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto pending = std::async(std::launch::async, [&] { return svl::importCsv(fifo, nullptr, {}); });
    if (pending.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Let the blocked open go so the test can end.
        const int writer = open(fifo.c_str(), O_WRONLY);
        close(writer);
        FAIL() << "importing a FIFO waited for a writer";
    }
    EXPECT_EQ(pending.get().error, "Couldn't read the file.");
    EXPECT_EQ(svl::importCsv(m_dir.path(), nullptr, {}).error, "Couldn't read the file.");
}
