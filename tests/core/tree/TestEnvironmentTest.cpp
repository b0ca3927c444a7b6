// Every test program knows the source and build folders; suites that run the built
// program or read fixtures rely on it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>

TEST(TestEnvironment, RunnerPassesSourceAndBuildFolders) {
    const char* src = std::getenv("HM_TEST_SOURCE_DIR");
    const char* bin = std::getenv("HM_BINARY_DIR");
    ASSERT_NE(src, nullptr);
    ASSERT_NE(bin, nullptr);
    struct stat st {};
    EXPECT_EQ(stat((std::string(src) + "/CMakeLists.txt").c_str(), &st), 0);
    EXPECT_EQ(stat((std::string(bin) + "/CMakeCache.txt").c_str(), &st), 0);
    const char* qpa = std::getenv("QT_QPA_PLATFORM");
    ASSERT_NE(qpa, nullptr);
    EXPECT_STREQ(qpa, "offscreen");
}
