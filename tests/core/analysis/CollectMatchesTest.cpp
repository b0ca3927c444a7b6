#include "core/analysis/CollectMatches.h"

#include <gtest/gtest.h>

TEST(CollectMatches, AscendingAcrossChunksAndStopsSoonAfterABump) {
    svl::ScopedHardwareThreads threads(4);
    std::atomic<int> counter{3};
    std::vector<uint32_t> out;
    const uint32_t count = 5 * svl::kMatchChunkSize + 17;
    ASSERT_TRUE(svl::collectMatches(count, counter, 3, [] { return [](uint32_t id) { return id % 3 == 0; }; }, out));
    ASSERT_EQ(out.size(), (count + 2) / 3);
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], 3 * i);

    // One thread: a bump while testing id 1000 stops the chunk within one check interval.
    svl::ScopedHardwareThreads one(1);
    std::atomic<uint32_t> lastTested{0};
    auto make = [&] {
        return [&](uint32_t id) {
            lastTested = id;
            if (id == 1000)
                counter.fetch_add(1);
            return true;
        };
    };
    EXPECT_FALSE(svl::collectMatches(count, counter, 3, make, out));
    EXPECT_TRUE(out.empty());
    EXPECT_LT(lastTested.load(), 1000 + svl::kMatchCheckInterval);
    EXPECT_FALSE(svl::collectMatches(count, counter, 3, make, out)) << "a stale generation collects nothing";
}
