// The descriptor device on real descriptors: a full device's error comes back as the
// system names it, and descriptor 0 is a descriptor like any other.
#include "app/DescriptorDevice.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

TEST(DescriptorDevice, WritesAllOrFailsWithTheSystemsErrorAlsoOnDescriptorZero) {
    EXPECT_FALSE(DescriptorDevice(-1).isOpen());
    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);  // an empty pipe fails the read, not hangs
    {
        DescriptorDevice device(pipeFds[1]);
        EXPECT_EQ(device.write("data", 4), 4);
        EXPECT_EQ(device.failure(), 0);
        char got[8] = {};
        EXPECT_EQ(::read(pipeFds[0], got, sizeof got), 4);
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);

    // A program started with standard input closed gets 0 for the next file it opens.
    {
        hmtest::StandardInputClosed closed;
        const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        DescriptorDevice device(full);
        EXPECT_EQ(full, 0);
        EXPECT_TRUE(device.isOpen());
        EXPECT_EQ(device.write("data", 4), -1);
        EXPECT_EQ(device.failure(), ENOSPC);
        EXPECT_EQ(device.errorString(), systemErrorText(ENOSPC));
    }
}
