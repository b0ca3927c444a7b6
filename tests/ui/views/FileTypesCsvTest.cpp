#include "ui/views/FileTypesCsv.h"

#include <gtest/gtest.h>

#include <QFile>

#include "tests/support/TestSupport.h"

namespace {

std::string readAll(const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("<unreadable>");
}

svl::ExtensionStat row(std::string ext, uint64_t size, uint64_t allocated, uint64_t files) {
    svl::ExtensionStat s;
    s.extension = std::move(ext);
    s.size = size;
    s.allocated = allocated;
    s.files = files;
    return s;
}

}  // namespace

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
    EXPECT_FALSE(FileTypesCsv::writeCsv({row("a", 1, 1, 1)}, false, QStringLiteral("/dev/full")));
    hmtest::TempDir dir("filetypes");
    EXPECT_FALSE(FileTypesCsv::writeCsv({}, false, QString::fromStdString(dir / "missing/types.csv")));
}
