#include "ui/views/FileTypesCsv.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "tests/support/TestSupport.h"
#include "tests/ui/views/FileTypesTestSupport.h"

using filetypestest::readAll;
using filetypestest::row;

TEST(FileTypesCsv, RowsInTheGivenOrderWithEitherPercentBase) {
    hmtest::TempDir dir("filetypes");
    const QString path = QString::fromStdString(dir / "types.csv");
    const std::vector<svl::ExtensionStat> rows{row("zq\"x", 1, 0, 1), row("", 1, 0, 2),
                                               row("qqb", 2, 5000000000000, 3)};
    ASSERT_TRUE(FileTypesCsv::writeCsv(rows, false, path));
    EXPECT_EQ(readAll(dir / "types.csv"), "Extension,File Type,Percent,Size,Allocated,Files\n"
                                          "\"zq\"\"x\",\"ZQ\"\"X File\",25.000,1,0,1\n"
                                          "\"\",\"(No Extension)\",25.000,1,0,2\n"
                                          "\"qqb\",\"QQB File\",50.000,2,5000000000000,3\n");
    ASSERT_TRUE(FileTypesCsv::writeCsv({row("qqb", 0, 0, 1)}, true, path));
    EXPECT_EQ(readAll(dir / "types.csv"), "Extension,File Type,Percent,Size,Allocated,Files\n"
                                          "\"qqb\",\"QQB File\",0.000,0,0,1\n");
    ASSERT_TRUE(FileTypesCsv::writeCsv({}, true, path));
    EXPECT_EQ(readAll(dir / "types.csv"), "Extension,File Type,Percent,Size,Allocated,Files\n");
}

TEST(FileTypesCsv, FailedWritesAreReported) {
    QString error;
    EXPECT_FALSE(FileTypesCsv::writeCsv({row("a", 1, 1, 1)}, false, QStringLiteral("/dev/full"), &error));
    EXPECT_EQ(error, QString::fromLocal8Bit(std::strerror(ENOSPC)));
    hmtest::TempDir dir("filetypes");
    EXPECT_FALSE(FileTypesCsv::writeCsv({}, false, QString::fromStdString(dir / "missing/types.csv"), &error));
    EXPECT_EQ(error, QString::fromLocal8Bit(std::strerror(ENOENT)));
}
