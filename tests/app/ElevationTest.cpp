#include "app/Elevation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

TEST(ElevationSwitch, OnlyTheIntegerOneCounts) {
    for (const char* on : {"1", "01", "0x1", "0X1"}) {
        setenv("ZRT_ASSUME_ELEVATED", on, 1);
        EXPECT_TRUE(envSwitchIsOne("ZRT_ASSUME_ELEVATED")) << on;
        EXPECT_TRUE(isElevated()) << on;
    }
    for (const char* off : {"0", "2", "true", "yes", "", "1x", "0x10"}) {
        setenv("ZRT_ASSUME_ELEVATED", off, 1);
        EXPECT_FALSE(envSwitchIsOne("ZRT_ASSUME_ELEVATED")) << off;
        EXPECT_EQ(isElevated(), geteuid() == 0) << off;
    }
    unsetenv("ZRT_ASSUME_ELEVATED");
    EXPECT_FALSE(envSwitchIsOne("ZRT_ASSUME_ELEVATED"));
    EXPECT_EQ(isElevated(), geteuid() == 0);
}
