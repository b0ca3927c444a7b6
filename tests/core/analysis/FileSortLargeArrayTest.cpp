#include "core/analysis/LargeArray.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(FileSortLargeArray, SmallAndMappedArraysHoldEveryElement) {
    // Below and above the size at which the array gets a mapping of its own.
    for (size_t count : {size_t(0), size_t(1), size_t(1000), size_t(3) << 20}) {
        svl::LargeArray<uint64_t> array(count);
        ASSERT_NE(array.get(), nullptr);
        for (size_t i = 0; i < count; ++i)
            array[i] = i * 7 + 1;
        uint64_t sum = 0;
        for (size_t i = 0; i < count; ++i)
            sum += array[i];
        EXPECT_EQ(sum, 7 * count * (count ? count - 1 : 0) / 2 + count);
    }
}

TEST(FileSortLargeArray, RefusedMappingThrows) {
    EXPECT_THROW((void)svl::allocateLargeArray(size_t(1) << 62), std::bad_alloc);
}
