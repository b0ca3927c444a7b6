#include "core/exchange/WriteAll.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace {

void onSignal(int) {}

// A writer held up by a full pipe and interrupted by signals gets partial writes and EINTR.
TEST(WriteAll, SignalsWhileAPipeIsFullLoseAndRepeatNothing) {
    struct sigaction action {}, previous {};
    action.sa_handler = onSignal;  // no SA_RESTART: write() returns early
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 % 251);
    bool ok = false;
    std::thread writer([&] {
        ok = svl::writeAll(p[1], data.data(), data.size());
        ::close(p[1]);
    });
    // Each signal lands while the pipe is full: first after part of a write, then on one
    // that has written nothing yet.
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(writer.native_handle(), SIGUSR1);
    }
    std::string read;
    char buffer[65536];
    for (ssize_t n; (n = ::read(p[0], buffer, sizeof buffer)) != 0;)
        if (n > 0)
            read.append(buffer, size_t(n));
    writer.join();
    ::close(p[0]);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(read == data) << read.size() << " bytes of " << data.size();
}

TEST(WriteAll, AFailedWriteIsFalseWithItsOwnError) {
    const sighandler_t previous = signal(SIGPIPE, SIG_IGN);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);
    errno = 0;
    EXPECT_FALSE(svl::writeAll(p[1], "x", 1));
    EXPECT_EQ(errno, EPIPE);
    EXPECT_TRUE(svl::writeAll(p[1], "", 0));
    ::close(p[1]);
    signal(SIGPIPE, previous);
}

}  // namespace
