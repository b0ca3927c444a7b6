#include <gtest/gtest.h>

#include <random>

#include "core/tree/TextConversion.h"

using svl::appendUtf8AsUtf16;
using svl::utf16Length;

namespace {

std::u16string convert(const std::string& bytes, bool fold = false) {
    std::u16string out;
    appendUtf8AsUtf16(out, bytes.size(), bytes.data(), fold);
    EXPECT_EQ(out.size(), utf16Length(bytes.size(), bytes.data())) << "length disagrees for a " << bytes.size()
                                                                     << "-byte input";
    return out;
}

// The inverse of the conversion: pairs and single units as UTF-8, lone 0xDC80..0xDCFF as their byte.
std::string backToUtf8(const std::u16string& units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t v = units[i];
        if (v >= 0xD800 && v <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            v = 0x10000 + ((v - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (v >= 0xDC80 && v <= 0xDCFF) {
            out += char(v - 0xDC00);
            continue;
        }
        if (v < 0x80) {
            out += char(v);
        } else if (v < 0x800) {
            out += char(0xC0 | (v >> 6)), out += char(0x80 | (v & 0x3F));
        } else if (v < 0x10000) {
            out += char(0xE0 | (v >> 12)), out += char(0x80 | ((v >> 6) & 0x3F)), out += char(0x80 | (v & 0x3F));
        } else {
            out += char(0xF0 | (v >> 18)), out += char(0x80 | ((v >> 12) & 0x3F));
            out += char(0x80 | ((v >> 6) & 0x3F)), out += char(0x80 | (v & 0x3F));
        }
    }
    return out;
}

}  // namespace

TEST(TextConversionTest, InvalidBytesKeepOneLoneUnitEach) {
    EXPECT_EQ(convert("A\xFF" "B"), (std::u16string{0x41, 0xDCFF, 0x42}));
    EXPECT_EQ(convert("\xC0\xAF"), (std::u16string{0xDCC0, 0xDCAF}));        // over-long
    EXPECT_EQ(convert("\xED\xA0\x80"), (std::u16string{0xDCED, 0xDCA0, 0xDC80}));  // encoded surrogate
    EXPECT_EQ(convert("x\xE2\x82"), (std::u16string{u'x', 0xDCE2, 0xDC82}));  // truncated at the end
    EXPECT_EQ(convert("\xE2"), (std::u16string{0xDCE2}));
    EXPECT_EQ(convert("\xF8\x88\x80\x80\x80"), (std::u16string{0xDCF8, 0xDC88, 0xDC80, 0xDC80, 0xDC80}));
    EXPECT_EQ(convert("\xF4\x90\x80\x80"), (std::u16string{0xDCF4, 0xDC90, 0xDC80, 0xDC80}));  // above U+10FFFF
    // A bad continuation stops the sequence; the following byte is looked at afresh.
    EXPECT_EQ(convert("\xC3" "A"), (std::u16string{0xDCC3, u'A'}));
}

TEST(TextConversionTest, ValidSequencesAndSurrogatePairs) {
    EXPECT_EQ(convert("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
    EXPECT_EQ(convert("\xC3\xA9\xE6\x97\xA5"), (std::u16string{0xE9, 0x65E5}));
    EXPECT_EQ(convert("\xEF\xBF\xBF"), (std::u16string{0xFFFF}));
    EXPECT_EQ(convert("\xF4\x8F\xBF\xBF"), (std::u16string{0xDBFF, 0xDFFF}));
    std::u16string out = u"keep";
    appendUtf8AsUtf16(out, 0, "", true);
    EXPECT_EQ(out, u"keep");
}

TEST(TextConversionTest, FoldingMapsCaseAccentsAndPairHalves) {
    EXPECT_EQ(convert("\xC3\x89", true), u"e");         // É
    EXPECT_EQ(convert("\xD0\xB6", true), u"\u0416");    // ж → Ж
    EXPECT_EQ(convert("ABC xyz", true), u"abc xyz");
    EXPECT_EQ(convert("\xC3\xA5\xC3\xBF\xC3\x9F", true), u"\u00C5\u0178\u00DF");
    EXPECT_EQ(svl::foldUnit(0x01C6), 0x01C4);
    EXPECT_EQ(svl::foldUnit(0x01DD), 0x018E);
    EXPECT_EQ(svl::foldUnit(0x03C2), 0x03A3);
    EXPECT_EQ(svl::foldUnit(0x1F51), 0x1F59);
    EXPECT_EQ(svl::foldUnit(0x1F52), 0x1F52);  // every second unit only
    EXPECT_EQ(svl::foldUnit(0xFF41), 0xFF21);
    EXPECT_EQ(svl::foldUnit(0x0130), 0x0130);
    // Invalid bytes fold through the table too, where they map to themselves.
    EXPECT_EQ(convert("\xFF", true), (std::u16string{0xDCFF}));
}

TEST(TextConversionTest, FoldingTableHoldsExactlyTheListedUnits) {
    size_t mapped = 0;
    for (uint32_t u = 0; u < 65536; ++u)
        if (svl::kFoldingTable[u] != u)
            ++mapped;
    // 26 ASCII capitals + the Latin-1 block + the ranges from U+0100 on.
    EXPECT_EQ(mapped, 661u);
    for (uint32_t u = 0; u < 128; ++u)
        EXPECT_LT(svl::kFoldingTable[u], 128) << u;  // ASCII folds to ASCII only
}

TEST(TextConversionTest, LengthMatchesConversionOnRandomBytes) {
    std::mt19937 rng(7);
    const std::string alphabet[] = {"a", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80", "\xFF", "\x80", "\xC3",
                                    "\xE6\x97", "\xF0\x9F", "\xED\xA0\x80", "/"};
    for (int round = 0; round < 2000; ++round) {
        std::string s;
        const int n = int(rng() % 12);
        for (int i = 0; i < n; ++i)
            s += alphabet[rng() % std::size(alphabet)];
        const std::u16string plain = convert(s, false);
        const std::u16string folded = convert(s, true);
        ASSERT_EQ(plain.size(), folded.size());
        // Invalid bytes come back as the units that name them: nothing is lost.
        EXPECT_EQ(backToUtf8(plain), s);
    }
}

TEST(TextConversionTest, LoneSurrogatesAreReplacedInPlace) {
    std::u16string s = convert("a\xFF\xF0\x9F\x98\x80\x80");
    ASSERT_EQ(s.size(), 5u);
    EXPECT_TRUE(svl::hasLoneSurrogates(s.data(), s.size()));
    EXPECT_TRUE(svl::replaceLoneSurrogates(s));
    EXPECT_EQ(s, (std::u16string{u'a', 0xFFFD, 0xD83D, 0xDE00, 0xFFFD}));
    EXPECT_FALSE(svl::hasLoneSurrogates(s.data(), s.size()));
    // A low unit in 0xDC80..0xDCFF that completes a pair stays.
    std::u16string pair = convert("\xF0\x9F\x9A\x80");  // U+1F680
    EXPECT_FALSE(svl::replaceLoneSurrogates(pair));
    std::u16string lonelyHigh{0xD83D};
    EXPECT_TRUE(svl::replaceLoneSurrogates(lonelyHigh));
    EXPECT_EQ(lonelyHigh, std::u16string{0xFFFD});
}
