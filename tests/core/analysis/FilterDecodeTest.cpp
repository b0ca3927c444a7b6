#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>

#include "core/analysis/CompiledFilter.h"
#include "core/analysis/Filter.h"
#include "tests/core/analysis/FilterTestSupport.h"

using namespace svl;

namespace {

constexpr int64_t kNow = 1700000000;  // 2023-11-14 22:13:20 UTC
constexpr int64_t kOffset = 3600;
const int64_t kToday = (kNow + kOffset) / 86400;

Filter decode(std::string_view text, bool fullPath = false, const RegexFactory* factory = nullptr) {
    return decodeFilterText(text, fullPath, factory, hmtest::fixedClock(kNow, kOffset));
}

std::vector<std::vector<std::u16string>> patterns(const Filter& f) {
    std::vector<std::vector<std::u16string>> out;
    for (const auto& g : f.groups) {
        out.emplace_back();
        for (const auto& t : g)
            out.back().push_back(t.pattern);
    }
    return out;
}

FilterTerm only(const Filter& f) {
    EXPECT_EQ(f.groups.size(), 1u);
    EXPECT_EQ(f.groups.at(0).size(), 1u);
    return f.groups.at(0).at(0);
}

}  // namespace

TEST(FilterDecodeTest, BlanksAroundBarsAndGroups) {
    using G = std::vector<std::vector<std::u16string>>;
    EXPECT_EQ(patterns(decode("a  |  b")), (G{{u"a", u"b"}}));
    EXPECT_EQ(patterns(decode("a  |b")), (G{{u"a"}, {u"b"}}));
    EXPECT_EQ(patterns(decode("a|  b")), (G{{u"a"}, {u"b"}}));
    for (const char* text : {"a|b", "a |b", "a| b", "a | b"})
        EXPECT_EQ(patterns(decode(text)), (G{{u"a", u"b"}})) << text;
    EXPECT_EQ(patterns(decode("A b\tC")), (G{{u"a"}, {u"b\tc"}}));  // only blanks split groups
    EXPECT_EQ(patterns(decode("\"my file\"")), (G{{u"my file"}}));
    EXPECT_EQ(patterns(decode("\"a | b\"")), (G{{u"a|b"}}));
    EXPECT_EQ(patterns(decode("a\"b c\"d")), (G{{u"a\"b c\"d"}}));
    EXPECT_TRUE(decode("     ").groups.empty());
    EXPECT_TRUE(decode("| || |").groups.empty());
    EXPECT_TRUE(decode("").groups.empty());
    EXPECT_FALSE(decode("").compiled);
    EXPECT_FALSE(decode(" ").redecode);
}

TEST(FilterDecodeTest, NegationAndQuotes) {
    const FilterTerm bang = only(decode("!"));
    EXPECT_TRUE(bang.negate);
    EXPECT_TRUE(bang.pattern.empty());
    EXPECT_FALSE(bang.isCondition);

    const FilterTerm quoted = only(decode("!\"x y\""));
    EXPECT_TRUE(quoted.negate);
    EXPECT_EQ(quoted.pattern, u"x y");

    const FilterTerm negCond = only(decode("!\">5\""));
    EXPECT_TRUE(negCond.negate);
    EXPECT_TRUE(negCond.isCondition);
    EXPECT_EQ(negCond.value, 5);

    const FilterTerm plain = only(decode("\">5\""));
    EXPECT_FALSE(plain.isCondition);
    EXPECT_FALSE(plain.negate);
    EXPECT_EQ(plain.pattern, u">5");

    EXPECT_TRUE(decode("\"").groups.empty());
    EXPECT_TRUE(decode("\"\"").groups.empty());
}

TEST(FilterDecodeTest, SizeAndCountConditions) {
    struct Case {
        const char* text;
        ConditionKind kind;
        CompareOp op;
        int64_t value;
    };
    const Case cases[] = {
        {">1.5GB", ConditionKind::Size, CompareOp::Greater, 1610612736},
        {"A>=10k", ConditionKind::Allocated, CompareOp::GreaterEqual, 10240},
        {"=0", ConditionKind::Size, CompareOp::Equal, 0},
        {">0.5", ConditionKind::Size, CompareOp::Greater, 1},
        {">1e3", ConditionKind::Size, CompareOp::Greater, 1000},
        {"s<=.5k", ConditionKind::Size, CompareOp::LessEqual, 512},
        {"<7", ConditionKind::Size, CompareOp::Less, 7},
        {"namelen>=100", ConditionKind::NameLength, CompareOp::GreaterEqual, 100},
        {"PATHLEN<260", ConditionKind::PathLength, CompareOp::Less, 260},
        {"dupcount>2", ConditionKind::DuplicateCount, CompareOp::Greater, 2},
        {"DUPSIZE>=1M", ConditionKind::DuplicateSize, CompareOp::GreaterEqual, 1048576},
        {"=dup", ConditionKind::DuplicateCount, CompareOp::Greater, 0},
        {"a=DUPS", ConditionKind::DuplicateCount, CompareOp::Greater, 0},
        {"=>5", ConditionKind::Size, CompareOp::Equal, 0},  // replaced below: "=>5" is not a number
    };
    for (const Case& c : cases) {
        if (std::string_view(c.text) == "=>5")
            continue;
        const FilterTerm t = only(decode(c.text));
        EXPECT_TRUE(t.isCondition) << c.text;
        EXPECT_EQ(t.kind, c.kind) << c.text;
        EXPECT_EQ(t.op, c.op) << c.text;
        EXPECT_EQ(t.value, c.value) << c.text;
        EXPECT_TRUE(t.pattern.empty()) << c.text;
    }
    for (const char* text : {">-1", "Sales", "Apple", "DUPCOUNT", "S>", "=>5", "S", ">", "=", ">5x", ">1e", ">.", "><"}) {
        const FilterTerm t = only(decode(text));
        EXPECT_FALSE(t.isCondition) << text;
        EXPECT_FALSE(t.filesOnly || t.foldersOnly) << text;
    }
    EXPECT_TRUE(only(decode("S=files")).filesOnly);
    EXPECT_TRUE(only(decode("=FOLDER")).foldersOnly);
    EXPECT_FALSE(only(decode("=folders")).isCondition);
}

TEST(FilterDecodeTest, HugeNumbersSaturate) {
    EXPECT_EQ(only(decode(">1e30")).value, INT64_MAX);
    EXPECT_EQ(only(decode(">9000000T")).value, INT64_MAX);
    EXPECT_EQ(only(decode(">1e999")).value, INT64_MAX);
    EXPECT_EQ(only(decode(">1e-999")).value, 0);
    EXPECT_EQ(only(decode(">99999999999999999999999999999")).value, INT64_MAX);
    const FilterTerm far = only(decode(">today+99999999999999999999999"));
    EXPECT_EQ(far.kind, ConditionKind::ModifiedDay);
    EXPECT_EQ(far.day, INT64_MAX);
    const FilterTerm past = only(decode(">today-99999999999999999999999"));
    EXPECT_EQ(past.day, kToday - INT64_MAX);
    EXPECT_TRUE(std::isfinite(only(decode(">now-99999999999999999999999h")).time));
    double s = 0;
    EXPECT_TRUE(parseTimeOfDay("99999999999999999999999:99999999999999999999", s));
    EXPECT_TRUE(std::isfinite(s));
}

TEST(FilterDecodeTest, DatesAndTimes) {
    const FilterTerm week = only(decode(">today-7"));
    EXPECT_EQ(week.kind, ConditionKind::ModifiedDay);
    EXPECT_EQ(week.op, CompareOp::Greater);
    EXPECT_EQ(week.day, kToday - 7);
    EXPECT_EQ(week.utcOffset, kOffset);

    const FilterTerm date = only(decode("<2024-01-31"));
    EXPECT_EQ(date.kind, ConditionKind::ModifiedDay);
    EXPECT_EQ(date.day, 19753);
    EXPECT_EQ(only(decode("=2024.02.30")).day, 19783);  // no month-length check: 1 March
    EXPECT_EQ(only(decode("=1969-12-31")).day, -1);
    EXPECT_FALSE(only(decode("=2024-13-01")).isCondition);

    const FilterTerm hours = only(decode(">today-3h"));
    EXPECT_EQ(hours.kind, ConditionKind::ModifiedTime);
    EXPECT_TRUE(hours.absoluteTime);
    EXPECT_EQ(hours.time, double(kNow - 3 * 3600));
    EXPECT_EQ(only(decode(">2024-01-01+2h")).time, double(kNow + 7200));
    EXPECT_EQ(only(decode(">now-30")).time, double(kNow - 1800));
    EXPECT_EQ(only(decode(">now-2h")).time, double(kNow - 7200));
    EXPECT_EQ(only(decode(">NOW+15s")).time, double(kNow + 15));
    EXPECT_EQ(only(decode(">nowx")).time, double(kNow));
    EXPECT_EQ(only(decode(">now-1.5h")).time, double(kNow - 60));  // fractions are not read

    const FilterTerm morning = only(decode(">=9:30"));
    EXPECT_EQ(morning.kind, ConditionKind::ModifiedTime);
    EXPECT_FALSE(morning.absoluteTime);
    EXPECT_EQ(morning.time, 9 * 3600 + 30 * 60);
    EXPECT_EQ(morning.utcOffset, kOffset);
    EXPECT_EQ(only(decode("<12am")).time, 0);
    EXPECT_EQ(only(decode(">1pm")).time, 13 * 3600);
    EXPECT_EQ(only(decode(">12pm")).time, 12 * 3600);
    EXPECT_EQ(only(decode(">23:59:59")).time, 86399);
    EXPECT_EQ(only(decode(">9:xx:5")).time, 9 * 3600 + 5);
    EXPECT_FALSE(only(decode(">-5:00")).isCondition);

    const FilterTerm ignored = only(decode(">today+x"));
    EXPECT_EQ(ignored.kind, ConditionKind::ModifiedDay);
    EXPECT_EQ(ignored.day, kToday);
    EXPECT_EQ(only(decode(">today+")).day, kToday);
    EXPECT_EQ(only(decode("<TODAY+-2")).day, kToday - 2);
}

TEST(FilterDecodeTest, SystemClockUsesTheLocalTimeZone) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "UTC-5", 1);  // five hours east of UTC
    tzset();
    const FilterClock clock = systemFilterClock();
    EXPECT_EQ(clock.utcOffsetAt(kNow), 5 * 3600);
    const int64_t before = int64_t(std::time(nullptr));
    const FilterTerm t = decodeFilterText(">now", false, nullptr).groups.at(0).at(0);
    EXPECT_GE(t.time, double(before));
    EXPECT_LE(t.time, double(std::time(nullptr)));
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(FilterDecodeTest, PlainTermKinds) {
    const FilterTerm ext = only(decode("*.JPG"));
    EXPECT_TRUE(ext.isExtension && ext.isWildcard);
    EXPECT_EQ(ext.pattern, u"*.jpg");
    EXPECT_EQ(ext.extension, u".jpg");
    EXPECT_TRUE(only(decode("*.")).isNoExtension);
    EXPECT_FALSE(only(decode("*.")).isExtension);
    EXPECT_FALSE(only(decode("*.j*g")).isExtension);

    // "*.*" alone passes everything; inside a group with others it stays a wildcard.
    const FilterTerm star = only(decode("*.*"));
    EXPECT_EQ(star.pattern, u"*");
    EXPECT_EQ(decode("*.*|x").groups.at(0).at(0).pattern, u"*.*");

    // A path term makes the whole filter full-path; earlier wildcards keep their pattern.
    const Filter mixed = decode("IMG?1* *.jpg photos/ */d?r");
    EXPECT_TRUE(mixed.fullPath);
    EXPECT_EQ(mixed.groups.at(0).at(0).pattern, u"img?1*");
    EXPECT_EQ(mixed.groups.at(1).at(0).pattern, u"*.jpg");
    EXPECT_TRUE(mixed.groups.at(2).at(0).isPath);
    EXPECT_EQ(mixed.groups.at(3).at(0).pattern, u"*/d?r*");
    EXPECT_EQ(only(decode("x?y", true)).pattern, u"*x?y*");
    EXPECT_EQ(only(decode("x?y.z", true)).pattern, u"*x?y.z");
    EXPECT_FALSE(decode("abc").fullPath);
    EXPECT_TRUE(decode("abc", true).fullPath);
}

TEST(FilterDecodeTest, RegularExpressions) {
    const RegexFactory factory = hmtest::LiteralMatcher::factory();
    const FilterTerm re = only(decode("\\\"^Rep\"\\", false, &factory));
    ASSERT_TRUE(re.regex);
    std::u16string text = u"report";
    EXPECT_TRUE(re.regex->matches(text.data(), text.size()));

    // Refused by the factory: plain text of the whole term, backslash included.
    const FilterTerm bad = only(decode("\\[abc", false, &factory));
    EXPECT_FALSE(bad.regex);
    EXPECT_EQ(bad.pattern, u"\\[abc");
    // Without a factory (null or empty) a backslash is an ordinary character.
    EXPECT_FALSE(only(decode("\\abc")).regex);
    const RegexFactory empty;
    EXPECT_FALSE(only(decode("\\abc", false, &empty)).regex);
    // "*", "?" and "/" in a full-path filter stay part of the expression.
    for (const bool fullPath : {false, true}) {
        const Filter f = decode("\\docs/.*jp?g", fullPath, &factory);
        EXPECT_TRUE(f.fullPath);
        ASSERT_TRUE(only(f).regex) << fullPath;
        EXPECT_EQ(only(f).pattern, u"\\docs/.*jp?g");
    }
    // A refused one is a wildcard term of its whole text in full-path mode.
    EXPECT_EQ(only(decode("\\[a*", true, &factory)).pattern, u"*\\[a*");
    // A backslash alone gives an empty pattern, which the stand-in accepts.
    EXPECT_TRUE(only(decode("\\", false, &factory)).regex);
}

TEST(FilterDecodeTest, RedecodeGivesAnIndependentEqualFilter) {
    std::atomic<int> made{0};
    const RegexFactory counting = [&made](const std::u16string& p) -> std::shared_ptr<RegexMatcher> {
        made.fetch_add(1);
        return hmtest::LiteralMatcher::factory()(p);
    };
    Filter f = decode("  \\ab |x  >today-1 ", false, &counting);
    ASSERT_TRUE(f.redecode);
    ASSERT_TRUE(f.compiled);
    EXPECT_EQ(made.load(), 1);
    const Filter again = f.redecode();
    EXPECT_EQ(made.load(), 2);
    ASSERT_EQ(again.groups.size(), f.groups.size());
    EXPECT_NE(again.groups[0][0].regex.get(), f.groups[0][0].regex.get());
    EXPECT_NE(again.compiled.get(), f.compiled.get());
    EXPECT_EQ(again.groups[1][0].day, f.groups[1][0].day);  // the injected clock is kept
    const Filter copy = f;
    EXPECT_EQ(copy.groups[0][0].regex.get(), f.groups[0][0].regex.get());
    EXPECT_EQ(copy.compiled.get(), f.compiled.get());
}

TEST(FilterDecodeTest, CompiledFormAndNameSlots) {
    const Filter f = decode("a|b/ *.TXT *x? >5 =files \\re", true);
    ASSERT_TRUE(f.compiled);
    const CompiledFilter& c = *f.compiled;
    ASSERT_EQ(c.groups.size(), 6u);
    EXPECT_EQ(c.groups[0][0].kind, InstructionKind::Substring);
    EXPECT_EQ(c.groups[0][0].nameSlot, 0);
    EXPECT_EQ(c.groups[0][1].nameSlot, -1);  // has a '/'
    EXPECT_EQ(c.groups[1][0].kind, InstructionKind::Extension);
    EXPECT_EQ(c.groups[1][0].narrowPattern, ".txt");
    EXPECT_EQ(c.groups[2][0].kind, InstructionKind::Wildcard);
    EXPECT_EQ(c.groups[3][0].kind, InstructionKind::Size);
    EXPECT_EQ(c.groups[4][0].kind, InstructionKind::FilesOnly);
    EXPECT_EQ(c.groups[5][0].nameSlot, 1);
    EXPECT_EQ(c.nameSlotCount, 2);  // "a" and the backslash term (no factory: plain text)

    std::string many;
    for (int i = 0; i < 20; ++i)
        many += "t" + std::to_string(i) + " ";
    const Filter m = decode(many + "\xC3\xA9 \xD0\xB6", true);
    EXPECT_EQ(m.compiled->nameSlotCount, 16);
    EXPECT_EQ(m.compiled->groups[16][0].nameSlot, -1);
    EXPECT_TRUE(m.compiled->groups[20][0].asciiPattern);  // é folds to the ASCII e
    EXPECT_EQ(m.compiled->groups[20][0].narrowPattern, "e");
    EXPECT_FALSE(m.compiled->groups[21][0].asciiPattern);  // ж folds to Ж
    EXPECT_EQ(decode("x").compiled->nameSlotCount, 0);
}

TEST(FilterDecodeTest, AnyTypedTextDecodesWithoutFailing) {
    const RegexFactory factory = hmtest::LiteralMatcher::factory();
    const char* hostile[] = {"\"", "\"\"\"", "!", "!!", "|", "||||", "\\", "\\\\", "\\\"", "\\[", "!\"", "\"!",
                             "=", "<", ">=", "<=<=", "=>", "S=", "A", "namelen", "today", ">today-", "> today",
                             ">2024-01-01+", ">2024-99-99", ">now+", ">:", ">::::", ">a", ">p", "*", "?", "**.*",
                             "*.*.*", "/", "//", "\xFF\xFE", "\xC0\xAF", "\xED\xA0\x80", "\t\r\n\v\f"};
    for (const char* text : hostile) {
        EXPECT_NO_THROW((void)decode(text, false, &factory)) << text;
        EXPECT_NO_THROW((void)decode(text, true, &factory)) << text;
    }
    std::mt19937 rng(3);
    const std::string alphabet = " |\"!\\*?./=<>SAabk0123456789-+:ehpmtTODAYnow\t\xC3\xA9\xFF";
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int n = int(rng() % 24);
        for (int i = 0; i < n; ++i)
            text += alphabet[rng() % alphabet.size()];
        const Filter f = decode(text, round % 2, &factory);
        EXPECT_EQ(f.groups.empty(), !f.compiled) << text;
        for (const auto& g : f.groups)
            EXPECT_FALSE(g.empty()) << text;
    }
}

TEST(FilterDecodeTest, OneMegabyteOfInputDecodesInTime) {
    const RegexFactory factory = hmtest::LiteralMatcher::factory();
    std::string bars;
    while (bars.size() < (1 << 20))
        bars += " | a  |  \"b | c\" !\\x >1e9 ";
    const auto start = std::chrono::steady_clock::now();
    const Filter f = decode(bars, false, &factory);
    EXPECT_FALSE(f.groups.empty());
    std::string one(1 << 20, 'x');
    EXPECT_EQ(only(decode(one)).pattern.size(), size_t(1) << 20);
    std::string quote = "\"" + std::string((1 << 20) - 1, ' ');
    EXPECT_NO_THROW((void)decode(quote));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}
