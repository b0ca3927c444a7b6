#include <gtest/gtest.h>

#include "core/analysis/HighlightSpans.h"
#include "tests/core/analysis/FilterTestSupport.h"

using namespace svl;

namespace {

std::vector<HighlightSpan> spans(std::string_view filterText, const std::u16string& text,
                                 const RegexFactory* factory = nullptr) {
    const Filter f = decodeFilterText(filterText, false, factory, hmtest::fixedClock());
    return matchHighlightSpans(f, text.size(), text.data());
}

using Spans = std::vector<HighlightSpan>;

// Keeps the base class's find.
class MatchesOnly : public RegexMatcher {
public:
    bool matches(const char16_t*, size_t) const override { return true; }
};

}  // namespace

TEST(FilterHighlightTest, LiteralPiecesFoldAndDoNotOverlap) {
    EXPECT_EQ(spans("txt", u"Notes.TXT.txt"), (Spans{{6, 9}, {10, 13}}));
    EXPECT_EQ(spans("a*b*c", u"xaybzc"), (Spans{{1, 2}, {3, 4}, {5, 6}}));
    EXPECT_EQ(spans("aa", u"aaaaa"), (Spans{{0, 4}}));  // [0,2) and [2,4) touch and merge
    EXPECT_EQ(spans("abc cde", u"abcde"), (Spans{{0, 5}}));
    EXPECT_EQ(spans("*.jpg", u"a.JPG.jpg"), (Spans{{1, 9}}));
    EXPECT_EQ(spans("caf\xC3\xA9", u"Le CAF\u00C9!"), (Spans{{3, 7}}));
    EXPECT_EQ(spans("!secret", u"my secret"), (Spans{{3, 9}}));
    EXPECT_TRUE(spans("a?c", u"abc").empty());
    EXPECT_TRUE(spans(">5 =files *. =dup", u"files 5").empty());
    EXPECT_TRUE(spans("x", u"").empty());
    EXPECT_TRUE(spans("", u"abc").empty());
    EXPECT_TRUE(spans("!", u"abc").empty());
}

TEST(FilterHighlightTest, RegularExpressionsGiveTheirFirstMatch) {
    const RegexFactory factory = hmtest::LiteralMatcher::factory();
    EXPECT_EQ(spans("\\ab", u"xxABxxab", &factory), (Spans{{2, 4}}));
    EXPECT_EQ(spans("\\ab x", u"abx", &factory), (Spans{{0, 3}}));
    EXPECT_TRUE(spans("\\^", u"abc", &factory).empty());  // an empty first match adds nothing
    // A pattern the factory refused is plain text, backslash included.
    EXPECT_EQ(spans("\\[a", u"x\\[a", &factory), (Spans{{1, 4}}));
    // Invalid bytes reach the expression as U+FFFD; offsets stay those of the text.
    std::atomic<int> illFormed{0};
    const RegexFactory watching = hmtest::LiteralMatcher::factory(&illFormed);
    const std::u16string bad{u'a', 0xDCFF, u'b', u'c'};
    EXPECT_EQ(spans("\\\xEF\xBF\xBD" "b", bad, &watching), (Spans{{1, 3}}));
    EXPECT_EQ(illFormed.load(), 0);
    // A matcher that keeps the base class's find offers no spans.
    const RegexFactory plain = [](const std::u16string&) { return std::make_shared<MatchesOnly>(); };
    EXPECT_TRUE(spans("\\a", u"aaa", &plain).empty());
}
