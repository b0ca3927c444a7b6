// The items asked for per tree search (SVL_BTRFS_ITEMS, read once per process) change nothing
// in what a raw scan finds. Each setting runs in a child process of its own, so that this
// process never fixes the value (root only, loop-mounted volume).
#include "core/rawindex/BtrfsIndex.h"
#include "tests/core/rawindex/BtrfsFixtures.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

using btrfstest::BtrfsVolume;

namespace {

// Scans `top` raw in a child with SVL_BTRFS_ITEMS = `value` (unset when null); the child
// writes the value it used and the tree's listing to `out`. Returns the child's exit code.
int scanInChild(const char* value, const std::string& top, const std::string& out) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (value)
            setenv("SVL_BTRFS_ITEMS", value, 1);
        else
            unsetenv("SVL_BTRFS_ITEMS");
        auto tree = btrfstest::scan(top, true);
        std::ofstream file(out);
        file << svl::BtrfsIndex::itemsPerSearch() << "\n" << (tree->raw ? "raw" : tree->rawNote) << "\n";
        for (const std::string& line : btrfstest::listing(*tree))
            file << line << "\n";
        file.close();
        _exit(file ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::vector<std::string> lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

}  // namespace

TEST(BtrfsSearchItems, BtrfsSearchItemsGiveTheSameTree) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for loop devices and the tree search";
    if (!hmtest::haveTool("mkfs.btrfs") || !hmtest::haveTool("btrfs"))
        GTEST_SKIP() << "needs btrfs-progs";
    hmtest::TempDir dir("btrfsitems");
    BtrfsVolume volume(dir);
    ASSERT_TRUE(volume.ok()) << volume.error();

    struct Case {
        const char* value;
        const char* used;
    } cases[] = {{nullptr, "2048"}, {"1", "1"}, {"16384", "16384"}, {"0", "2048"}, {"1000001", "2048"}};
    std::vector<std::string> reference;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        const std::string out = dir / "listing.txt";
        ASSERT_EQ(scanInChild(c.value, volume.top(), out), 0);
        std::vector<std::string> got = lines(out);
        ASSERT_GE(got.size(), 3u);
        EXPECT_EQ(got[0], c.used);
        EXPECT_EQ(got[1], "raw");
        got.erase(got.begin(), got.begin() + 2);
        if (reference.empty())
            reference = got;
        else
            btrfstest::expectSameListing(got, reference);
    }
    EXPECT_GT(reference.size(), 3000u);
}
