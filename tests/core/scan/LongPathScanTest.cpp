// Folders whose paths pass the kernel's path-length limit are scanned like any other.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/support/TestSupport.h"

namespace {

// `levels` nested folders "folder-name-xx" under root, each holding one 10-byte file;
// made relative to each parent, since their full paths are too long for the kernel.
void makeChain(const std::string& root, int levels) {
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    for (int level = 0; level < levels; ++level) {
        const int file = openat(dir, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(file, 0);
        ASSERT_EQ(write(file, "0123456789", 10), 10);
        close(file);
        ASSERT_EQ(mkdirat(dir, "folder-name-xx", 0755), 0);
        const int next = openat(dir, "folder-name-xx", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(dir);
        ASSERT_GE(next, 0);
        dir = next;
    }
    close(dir);
}

}  // namespace

TEST(LongPathScan, FoldersPastThePathLengthLimitAreRead) {
    hmtest::TempDir dir("longpath");
    const std::string root = dir / "chain";
    constexpr int kLevels = 400;  // about 6,000 bytes of path at the bottom
    makeChain(root, kLevels);
    for (svl::ReadMethod method : {svl::ReadMethod::Readdir, svl::ReadMethod::Getdents, svl::ReadMethod::GetdentsIoUring}) {
        svl::ScanOptions options;
        options.readMethod = uint32_t(method);
        const auto tree = svl::scanSingle(root, options, nullptr);
        EXPECT_EQ(tree->errors, 0u);
        EXPECT_EQ(tree->node(0).foldersBelow, uint32_t(kLevels));
        EXPECT_EQ(tree->node(0).filesBelow, uint32_t(kLevels));
        EXPECT_EQ(tree->node(0).size, 10u * kLevels);
        uint32_t deepest = 0;
        for (uint32_t id = 0; id < tree->nodeCount; ++id)
            if (tree->node(id).isFolder())
                deepest = std::max(deepest, id);
        const std::string path = tree->fullPath(deepest);
        EXPECT_GT(path.size(), size_t(PATH_MAX));
        EXPECT_EQ(tree->findPath(path.data(), path.size()), int64_t(deepest));
    }
    // A root reached through links whose folder has no path within the limit is refused.
    std::string mid = "chain", deep = "mid";
    for (int level = 0; level < 250; ++level)
        mid += "/folder-name-xx";
    for (int level = 250; level < kLevels; ++level)
        deep += "/folder-name-xx";
    ASSERT_EQ(symlink(mid.c_str(), (dir / "mid").c_str()) | symlink(deep.c_str(), (dir / "deep").c_str()), 0);
    const auto tree = svl::scanSingle(dir / "deep", {}, nullptr);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->node(0).filesBelow, 0u);
}
