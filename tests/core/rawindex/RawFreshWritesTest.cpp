// A raw scan right after files were written (root only): on freshly mounted ext4 and Btrfs
// volumes the new folder and every file show their sizes at once, as the walk shows them,
// although the kernel has not written them out by itself yet.
#include "core/rawindex/RawIndex.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>

using hmtest::LoopMount;
using hmtest::TempDir;

namespace {

// path below the root -> (size, allocated) of every node under "v".
std::map<std::string, std::pair<uint64_t, uint64_t>> underV(const svl::ScanTree& tree) {
    std::map<std::string, std::pair<uint64_t, uint64_t>> out;
    const std::string root = tree.fullPath(0);
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        const std::string path = tree.fullPath(id).substr(root.size());
        if (path.rfind("/v", 0) == 0)
            out[path] = {tree.node(id).size, tree.node(id).allocated};
    }
    return out;
}

}  // namespace

TEST(RawFreshWrites, FilesWrittenJustBeforeARawScanShowTheirSizes) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for loop devices and raw reading";
    struct Volume {
        const char* tool;
        const char* mkfs;
        long long mib;
    } volumes[] = {{"mkfs.ext4", "mkfs.ext4 -q -F", 64}, {"mkfs.btrfs", "mkfs.btrfs -q -f", 256}};
    for (const Volume& v : volumes) {
        SCOPED_TRACE(v.mkfs);
        if (!hmtest::haveTool(v.tool)) {
            ADD_FAILURE() << "missing " << v.tool;
            continue;
        }
        TempDir dir("fresh");
        LoopMount mount(dir.path(), v.mkfs, v.mib);
        ASSERT_TRUE(mount.ok()) << mount.error();
        const std::string top = mount.mountPoint();
        ASSERT_EQ(::mkdir((top + "/v").c_str(), 0755), 0);
        for (int i = 0; i < 20; ++i)
            hmtest::writeFile(top + "/v/f" + std::to_string(i), std::string(10000, char('a' + i)));

        svl::ScanOptions options;
        options.allowRaw = 1;
        options.rotational = 0;
        auto raw = svl::scanSingle(top, options, nullptr);
        ASSERT_TRUE(raw->raw) << raw->rawNote;
        options.allowRaw = 0;
        auto walked = svl::scanSingle(top, options, nullptr);

        const auto seen = underV(*raw);
        ASSERT_EQ(seen.size(), 21u);
        EXPECT_EQ(seen.at("/v").first, 200000u);
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(seen.at("/v/f" + std::to_string(i)).first, 10000u) << i;
        EXPECT_EQ(seen, underV(*walked));
        EXPECT_EQ(raw->errors, 0u);
    }
}

TEST(RawFreshWrites, FlushVolumeRefusesWhatIsNoFolder) {
    TempDir dir("flush");
    EXPECT_EQ(svl::flushVolume(dir.path()), 0);
    EXPECT_EQ(svl::flushVolume(dir / "missing"), -ENOENT);
    hmtest::writeFile(dir / "file", "x");
    EXPECT_EQ(svl::flushVolume(dir / "file"), -ENOTDIR);
}
