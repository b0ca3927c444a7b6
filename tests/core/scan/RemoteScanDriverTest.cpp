// The remote road through the scan drivers: a provider that finds a share behind a local
// folder and opens a source serving it from memory, with fall-back to the local walk and
// the login time left out of the scan's seconds.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/scan/RemoteSource.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/core/scan/MemoryRemoteSource.h"
#include "tests/support/TestSupport.h"

using namespace remotetest;
namespace F = svl::NodeFlag;

namespace {

std::string realPath(const std::string& p) {
    char* r = realpath(p.c_str(), nullptr);
    std::string out = r ? r : "";
    free(r);
    return out;
}

class TestProvider : public svl::RemoteProvider {
public:
    std::string sharedFolder;  // real path of the folder that lies "on the share"
    MemoryRemoteSource served;
    bool giveSource = true;
    std::chrono::milliseconds login{0};
    int opened = 0;
    std::vector<std::string> asked;

    std::optional<svl::SmbMountInfo> findSmbMount(const std::string& path) override {
        asked.push_back(path);
        if (path != sharedFolder)
            return std::nullopt;
        return svl::SmbMountInfo{"srv", "", "share", "base/dir", sharedFolder, "u", ""};
    }
    std::unique_ptr<svl::RemoteSource> open(const svl::SmbMountInfo& mount) override {
        EXPECT_EQ(mount.share, "share");
        ++opened;
        std::this_thread::sleep_for(login);
        if (!giveSource)
            return nullptr;
        return std::make_unique<MemoryRemoteSource>(served);
    }
};

MemoryRemoteSource shareTree() {
    MemoryRemoteSource s;
    s.folders["base/dir"] = {{file("remote.bin", 700, 1024, 100), folder("sub"), folder("locked")}};
    s.folders["base/dir/sub"] = {{file("r2", 300, 512, 200)}};
    s.folders["base/dir/locked"] = {{}, 13};
    return s;
}

int64_t find(const svl::ScanTree& tree, const std::string& path) {
    return tree.findPath(path.data(), path.size());
}

struct LocalFolder {
    hmtest::TempDir tmp{"hm-remote"};
    std::string path = tmp / "dir";
    LocalFolder() {
        hmtest::sh("mkdir -p " + hmtest::shQuote(path));
        hmtest::writeFile(path + "/local.txt", std::string(123, 'x'));
    }
};

}  // namespace

TEST(RemoteScanDriverTest, SingleFolderReadThroughTheSource) {
    LocalFolder local;
    TestProvider provider;
    provider.sharedFolder = realPath(local.path);
    provider.served = shareTree();
    provider.login = std::chrono::milliseconds(1200);
    svl::ScanOptions options;
    options.provider = &provider;
    svl::ScanProgress progress;
    auto tree = svl::scanSingle(local.path, options, &progress);

    EXPECT_TRUE(tree->remote);
    EXPECT_FALSE(tree->incomplete);
    EXPECT_EQ(find(*tree, local.path + "/local.txt"), -1);
    ASSERT_GE(find(*tree, local.path + "/sub/r2"), 0);
    EXPECT_EQ(tree->node(0).size, 1000u);
    EXPECT_EQ(tree->errors, 1u);
    EXPECT_EQ(tree->node(uint32_t(find(*tree, local.path + "/locked"))).flags, F::Folder | F::Unreadable | F::AccessDenied);
    EXPECT_EQ(progress.files.load(), 2u);
    EXPECT_EQ(progress.errorCount.load(), 1u);
    EXPECT_EQ(progress.fraction.load(), 1.0);
    EXPECT_DOUBLE_EQ(progress.reachedFraction, 1.0);
    EXPECT_LT(tree->seconds, 1.0);  // the 1.2 s login is not scan time
    EXPECT_EQ(provider.opened, 1);
}

TEST(RemoteScanDriverTest, FallsBackToTheLocalWalk) {
    LocalFolder local;
    TestProvider provider;
    provider.sharedFolder = realPath(local.path);
    provider.served = shareTree();
    provider.served.failure = "timed out connecting to the server";
    svl::ScanOptions options;
    options.provider = &provider;
    svl::ScanProgress progress;
    auto failed = svl::scanSingle(local.path, options, &progress);
    EXPECT_GE(find(*failed, local.path + "/local.txt"), 0);
    EXPECT_EQ(find(*failed, local.path + "/sub"), -1);
    EXPECT_EQ(failed->node(0).size, 123u);
    EXPECT_EQ(failed->errors, 0u);
    EXPECT_EQ(progress.fraction.load(), 1.0);

    provider.giveSource = false;  // the user chose the mount
    auto declined = svl::scanSingle(local.path, options, nullptr);
    EXPECT_GE(find(*declined, local.path + "/local.txt"), 0);
    EXPECT_EQ(provider.opened, 2);

    // A provider keeping the default lookup finds no share under a local folder.
    struct DefaultLookup : svl::RemoteProvider {
        int opened = 0;
        std::unique_ptr<svl::RemoteSource> open(const svl::SmbMountInfo&) override {
            ++opened;
            return nullptr;
        }
    } plain;
    options.provider = &plain;
    auto walked = svl::scanSingle(local.path, options, nullptr);
    EXPECT_GE(find(*walked, local.path + "/local.txt"), 0);
    EXPECT_EQ(plain.opened, 0);
}

TEST(RemoteScanDriverTest, SeveralRootsMixRemoteLocalAndFallBack) {
    LocalFolder shared;
    LocalFolder plain;
    LocalFolder broken;
    struct TwoShares : TestProvider {
        std::string brokenFolder;
        std::optional<svl::SmbMountInfo> findSmbMount(const std::string& path) override {
            if (path == brokenFolder)
                return svl::SmbMountInfo{"srv", "", "share", "gone", path, "", ""};
            return TestProvider::findSmbMount(path);
        }
    } provider;
    provider.sharedFolder = realPath(shared.path);
    provider.brokenFolder = realPath(broken.path);
    provider.served = shareTree();  // has no folder "gone": that walk lists nothing
    provider.served.folders.erase("base/dir/locked");
    provider.login = std::chrono::milliseconds(600);
    svl::ScanOptions options;
    options.provider = &provider;
    svl::ScanProgress progress;
    auto tree = svl::scanMultiple({shared.path, plain.path, broken.path}, options, &progress);

    ASSERT_EQ(tree->node(0).childCount, 3u);
    EXPECT_TRUE(tree->remote);
    EXPECT_GE(find(*tree, shared.path + "/sub/r2"), 0);
    EXPECT_EQ(find(*tree, shared.path + "/local.txt"), -1);
    EXPECT_GE(find(*tree, plain.path + "/local.txt"), 0);
    // "gone" cannot be listed (error 2): the root is flagged, not walked locally.
    EXPECT_EQ(tree->node(3).flags, F::Folder | F::Unreadable);
    EXPECT_EQ(tree->errors, 2u);  // "gone" and the served "base/dir/locked" now missing
    EXPECT_EQ(progress.fraction.load(), 1.0);
    EXPECT_LT(tree->seconds, 1.2);  // two logins of 0.6 s are left out

    // A source that cannot connect: the root is walked locally instead.
    provider.served.failure = "could not connect or log in";
    provider.login = std::chrono::milliseconds(0);
    auto fallback = svl::scanMultiple({shared.path, plain.path}, options, nullptr);
    EXPECT_GE(find(*fallback, shared.path + "/local.txt"), 0);
    EXPECT_GE(find(*fallback, plain.path + "/local.txt"), 0);
    EXPECT_EQ(fallback->node(0).size, 246u);
}
