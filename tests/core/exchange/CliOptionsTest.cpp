#include "core/exchange/CliOptions.h"

#include <gtest/gtest.h>

#include <cstdlib>

using svl::CliOptions;
using svl::parseCliOptions;

TEST(CliOptions, DefaultsAndInputPaths) {
    const CliOptions o = parseCliOptions({});
    EXPECT_FALSE(o.isHeadless());
    EXPECT_TRUE(o.filterFullPath && o.exportFolders && o.exportFiles && o.exportDriveCapacity);
    EXPECT_FALSE(o.exportAllDates || o.exportAllSizes || o.exportSplitFileName || o.exportPercentOfParent ||
                 o.exportUtcTime || o.treemapImageGray || o.treemapImageFreeSpace || o.treemapImageShowAllocated);
    EXPECT_EQ(o.sortBy, 0);
    EXPECT_EQ(o.sortByFileTypes, 1);
    EXPECT_EQ(o.exportMaxDepth, 0);
    EXPECT_EQ(o.treemapImageWidth, 1920);
    EXPECT_EQ(o.treemapImageHeight, 1080);
    EXPECT_TRUE(o.inputPaths.empty());

    const CliOptions p = parseCliOptions({"--export=first.csv", "/tmp", "--export=second.csv", "-x", "",
                                          "--Export=caps.csv", "rel/path", "--exportfiletypes=t.csv"});
    EXPECT_TRUE(p.isHeadless());
    EXPECT_EQ(p.exportPath, "first.csv");
    EXPECT_EQ(p.exportFileTypes, "t.csv");
    EXPECT_EQ(p.inputPaths, (std::vector<std::string>{"/tmp", "rel/path"}));
    // A value may hold further "=" signs and may be empty.
    EXPECT_EQ(parseCliOptions({"--treemapimagefile=a=b.png"}).treemapImageFile, "a=b.png");
    EXPECT_FALSE(parseCliOptions({"--export="}).isHeadless());
}

TEST(CliOptions, SwitchesAndNumbers) {
    EXPECT_FALSE(parseCliOptions({"--exportfiles="}).exportFiles);
    EXPECT_FALSE(parseCliOptions({"--exportfiles=yes"}).exportFiles);
    EXPECT_TRUE(parseCliOptions({"--exportfiles=true"}).exportFiles);
    for (const char* on : {"--exportdrivecapacity=TRUE", "--exportdrivecapacity=True", "--exportdrivecapacity=1"})
        EXPECT_TRUE(parseCliOptions({"--exportdrivecapacity=0", on}).exportDriveCapacity == false) << on;
    for (const char* on : {"--exportutctime=TRUE", "--exportutctime=True", "--exportutctime=1"})
        EXPECT_TRUE(parseCliOptions({on}).exportUtcTime) << on;
    EXPECT_FALSE(parseCliOptions({"--exportutctime=01"}).exportUtcTime);

    EXPECT_EQ(parseCliOptions({"--treemapimagewidth= 800"}).treemapImageWidth, 800);
    EXPECT_EQ(parseCliOptions({"--treemapimagewidth=800px"}).treemapImageWidth, 1920);
    EXPECT_EQ(parseCliOptions({"--treemapimagewidth="}).treemapImageWidth, 1920);
    EXPECT_EQ(parseCliOptions({"--treemapimageheight=-5"}).treemapImageHeight, -5);
    EXPECT_EQ(parseCliOptions({"--sortby=2x"}).sortBy, 0);
    EXPECT_EQ(parseCliOptions({"--sortby=+3"}).sortBy, 3);
    EXPECT_EQ(parseCliOptions({"--exportmaxdepth=4294967298"}).exportMaxDepth, 2);  // low 32 bits
}

TEST(CliOptions, FilterNormalisation) {
    const CliOptions o = parseCliOptions({"--filter='*.iso' | 'big file'", "--filterexclude=it''s  |x"});
    EXPECT_EQ(o.filter, "\"*.iso\"|\"big file\"");
    EXPECT_EQ(o.filterExclude, "it's |x");
    EXPECT_EQ(svl::tightenFilterBars("a  |  b"), "a|b");
    EXPECT_EQ(svl::tightenFilterBars("a   |b"), "a  |b");
    std::string text = "aaaa";
    svl::replaceAll(text, "aa", "a");
    EXPECT_EQ(text, "aa");
}

TEST(CliOptions, ExportOptionsAndStamps) {
    auto options = [](std::vector<std::string> args) { return svl::csvOptionsFromCli(parseCliOptions(args)); };
    EXPECT_TRUE(options({"--export=x.TSV"}).tabSeparated);
    EXPECT_TRUE(options({"--export=x.tsv"}).tabSeparated);
    EXPECT_FALSE(options({"--export=x.Tsv"}).tabSeparated);
    EXPECT_FALSE(options({"--export=tsv"}).tabSeparated);
    const svl::CsvExportOptions o =
        options({"--exportalldates=1", "--exportallsizes=1", "--exportsplitfilename=1", "--exportpercentofparent=1",
                 "--exportmaxdepth=3", "--exportutctime=1", "--sortby=3", "--exportfolders=0"});
    EXPECT_TRUE(o.exportDates && o.exportFolderSizes && o.splitFileName && o.exportPercentOfParent && o.utcTimes);
    EXPECT_FALSE(o.exportFileId || o.folderNewestModified || o.exportFolders);
    EXPECT_EQ(o.maxDepth, 3);
    EXPECT_EQ(o.sortBy, 3);
    EXPECT_EQ(options({"--sortby=4"}).sortBy, 0);

    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    const time_t when = 1709647629;  // 2024-03-05 14:07:09 UTC
    EXPECT_EQ(svl::stampFileName("out-%d-%t.csv", when), "out-20240305-140709.csv");
    EXPECT_EQ(svl::stampFileName("%d%d.csv", when), "2024030520240305.csv");
    EXPECT_EQ(svl::stampFileName("plain%x.csv", when), "plain%x.csv");
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
