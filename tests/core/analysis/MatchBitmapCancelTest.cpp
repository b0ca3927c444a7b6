#include "core/analysis/MatchBitmap.h"
#include "core/analysis/Parallel.h"

#include "tests/core/analysis/FilterTestSupport.h"

#include <gtest/gtest.h>

namespace {

// Matches nothing; the n-th text it sees bumps the generation counter.
class BumpingMatcher : public svl::RegexMatcher {
public:
    BumpingMatcher(std::atomic<int>& counter, std::atomic<int>& calls, int bumpAt)
        : m_counter(counter), m_calls(calls), m_bumpAt(bumpAt) {}
    bool matches(const char16_t*, size_t) const override {
        if (m_calls.fetch_add(1) + 1 == m_bumpAt)
            m_counter.fetch_add(1);
        return false;
    }

private:
    std::atomic<int>& m_counter;
    std::atomic<int>& m_calls;
    int m_bumpAt;
};

}  // namespace

TEST(MatchBitmapCancel, ANewerGenerationStopsTheRunningSlice) {
    hmtest::TreeSpec spec("/r");
    for (int i = 0; i < 5000; ++i)
        spec.add(0, "f" + std::to_string(i), false, 1);
    const auto tree = spec.build();

    svl::ScopedHardwareThreads one(1);
    std::atomic<int> counter{7};
    std::atomic<int> calls{0};
    const svl::RegexFactory factory = [&](const std::u16string&) -> std::shared_ptr<svl::RegexMatcher> {
        return std::make_shared<BumpingMatcher>(counter, calls, 100);
    };
    const svl::Filter filter = svl::decodeFilterText("\\r/f", true, &factory);
    ASSERT_TRUE(filter.fullPath);
    const std::vector<uint8_t> bits =
        svl::matchBitmap(*tree, [&] { return filter.freshCopy(); }, &counter, 7, svl::kFilterSliceSize);
    EXPECT_TRUE(bits.empty()) << "cancelled";
    EXPECT_LT(calls.load(), 100 + 64) << "the one slice stopped within 64 ids of the bump";
}
