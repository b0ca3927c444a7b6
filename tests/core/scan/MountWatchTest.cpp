// The mount watch against real mounts: a FUSE mount whose server never answers is given up
// after its limit, costs only itself (also when reached through a link), and a later call to
// it is refused at once while the earlier one is still held.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "core/scan/MountWatch.h"
#include "tests/core/scan/ScanTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

int openInTask(const std::string& path, Clock::duration* took) {
    const auto start = Clock::now();
    // -2: the mount did not answer, whether the call was given up or refused.
    auto result = svl::runWatched([path] {
        const int fd = svl::openWatched(path);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0 ? 0 : errno == svl::kNoAnswerErrno ? -2 : -1;
    });
    *took = Clock::now() - start;
    return result.value_or(-2);
}

TEST(MountWatch, AMountThatNeverAnswersCostsItsLimitOnceAndOnlyItself) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting FUSE file systems needs root";
    hmtest::TempDir dir;
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(dir / "dead") + " " + hmtest::shQuote(dir / "here/sub")), 0);
    hmtest::DeadFuseMount dead(dir / "dead");
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    dead.abortAfter(std::chrono::seconds(60));
    ASSERT_EQ(symlink((dir / "dead/x").c_str(), (dir / "here/link").c_str()), 0);
    hmtest::ShortAnswerLimits limits(std::chrono::milliseconds(700));

    Clock::duration took{};
    EXPECT_EQ(openInTask(dir / "here/link", &took), -2) << "through the link, the dead mount does not answer";
    EXPECT_GE(took, std::chrono::milliseconds(600));
    EXPECT_LT(took, std::chrono::seconds(4));
    // The folder the link lies in was not charged: it answers at once.
    EXPECT_EQ(openInTask(dir / "here/sub", &took), 0);
    EXPECT_LT(took, std::chrono::milliseconds(300));
    // The dead mount itself: one probe finds it still silent; after it, refused at once.
    EXPECT_EQ(openInTask(dir / "dead/y", &took), -2);
    EXPECT_GE(took, std::chrono::milliseconds(600));
    EXPECT_EQ(openInTask(dir / "dead/z", &took), -2);
    EXPECT_LT(took, std::chrono::milliseconds(300));
    // A missing name is an answer, not silence.
    EXPECT_EQ(openInTask(dir / "here/missing", &took), -1);
    EXPECT_EQ(openInTask(dir / "here/link/../sub", &took), -2) << "the link's target is looked up before ..";
}

TEST(MountWatch, ARefusedCallIsNotMadeAndATaskCanBeLeft) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting FUSE file systems needs root";
    hmtest::TempDir dir;
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(dir / "dead")), 0);
    hmtest::DeadFuseMount dead(dir / "dead");
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    dead.abortAfter(std::chrono::seconds(60));
    hmtest::ShortAnswerLimits limits(std::chrono::milliseconds(500));
    const svl::MountKey key = [&] {
        const int fd = ::open((dir / "dead").c_str(), O_PATH | O_CLOEXEC);  // crosses without asking
        const svl::MountKey k = svl::mountOfDescriptor(fd);
        ::close(fd);
        return k;
    }();
    svl::WatchedTask<int> held([&] { return svl::openWatched(dir / "dead/a"); });
    EXPECT_EQ(held.outcome(), svl::WatchedTask<int>::Outcome::Running);
    EXPECT_FALSE(held.wait(Clock::now() + std::chrono::seconds(5)));
    EXPECT_EQ(held.outcome(), svl::WatchedTask<int>::Outcome::NoAnswer);
    svl::WatchedTask<int> probe([&] { return svl::openWatched(dir / "dead/b"); });
    EXPECT_FALSE(probe.wait(Clock::now() + std::chrono::seconds(5)));
    EXPECT_EQ(probe.outcome(), svl::WatchedTask<int>::Outcome::NoAnswer) << "a probe that finds it still silent";
    bool made = false;
    EXPECT_FALSE(svl::watchedCall(key, [&] { return made = true; }));
    EXPECT_FALSE(made);
    EXPECT_EQ(errno, svl::kNoAnswerErrno);
    // A waiter that leaves is released at once, whatever the work does.
    svl::WatchedTask<int> left([] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        return 1;
    });
    left.cancel();
    EXPECT_EQ(left.outcome(), svl::WatchedTask<int>::Outcome::Cancelled);
}

}  // namespace
