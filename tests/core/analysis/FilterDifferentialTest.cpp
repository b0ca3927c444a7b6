// Random trees against a corpus of filters: the reference term evaluator, the compiled
// evaluator and the match bitmap (one thread and several, odd slice sizes) must give
// identical answers for every node.
#include <gtest/gtest.h>

#include <random>

#include "core/analysis/CompiledFilter.h"
#include "core/analysis/Duplicates.h"
#include "core/analysis/FilterMatch.h"
#include "core/analysis/MatchBitmap.h"
#include "core/analysis/Parallel.h"
#include "tests/core/analysis/FilterTestSupport.h"

using namespace svl;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // about ten times slower: fewer random filters
#else
constexpr bool kSanitized = false;
#endif

const char* const kNamePieces[] = {
    "a", "b", "abc", "Report", "IMG", "photo", "x", "data", ".", ".", ".txt", ".TXT", ".jpg", ".tar.gz", "_", " ",
    "-", "1", "42", "\xC3\xA9", "\xC3\x89", "\xD0\xB6", "\xD0\x96", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80",
    "\xFF", "\xC0\xAF", "\xED\xA0\x80", "\x80", "\xE6\x97", "*", "?", "|", "\"", "home", "user", "copy", "Makefile",
};

std::string randomName(std::mt19937& rng) {
    const uint32_t r = rng() % 100;
    if (r == 0)
        return "";
    if (r < 4) {
        // 255, 256 and 257 bytes around the inline lowering buffer, ASCII or not.
        const size_t n = 255 + rng() % 3;
        std::string s;
        while (s.size() < n)
            s += (rng() % 4) ? "aB" : "\xC3\xA9";
        s.resize(n);
        if (rng() % 2)
            s.replace(n - 4, 4, ".txt");
        return s;
    }
    std::string s;
    const int pieces = 1 + int(rng() % 4);
    for (int i = 0; i < pieces; ++i)
        s += kNamePieces[rng() % std::size(kNamePieces)];
    return s;
}

struct RandomTree {
    std::unique_ptr<ScanTree> tree;
    DuplicateIndex duplicates;
};

RandomTree makeTree(uint32_t seed, const std::string& rootName, uint16_t rootFlags, size_t nodes) {
    std::mt19937 rng(seed);
    hmtest::TreeSpec spec(rootName, rootFlags);
    std::vector<int> folders{0};
    // A deep chain first, then a bushy part with more than 512 folders.
    int deep = 0;
    for (int i = 0; i < 90; ++i) {
        deep = spec.folder(deep, i % 9 == 0 ? randomName(rng) : "d" + std::to_string(i));
        folders.push_back(deep);
    }
    while (spec.size() < nodes) {
        const int parent = folders[rng() % folders.size()];
        if (rng() % 3 != 0) {
            folders.push_back(spec.folder(parent, randomName(rng), int64_t(rng() % 2000000000) - 300000000));
        } else {
            const uint64_t size = (rng() % 3 == 0) ? uint64_t(rng() % 5000) : uint64_t(rng()) * (rng() % 4);
            uint16_t flags = 0;
            if (rng() % 10 == 0)
                flags |= NodeFlag::ExtraHardLink;
            if (rng() % 20 == 0)
                flags |= NodeFlag::Removed;
            spec.file(parent, randomName(rng), size, int64_t(rng() % 2400000000u) - 400000000, flags);
        }
    }
    RandomTree t;
    t.tree = spec.build();
    // Duplicate groups among files.
    t.duplicates.groupOf.assign(t.tree->nodeCount, DuplicateIndex::kNoGroup);
    for (uint32_t g = 0; g < 120; ++g) {
        std::vector<uint32_t> members;
        for (int k = 0, n = 2 + int(rng() % 4); k < n; ++k) {
            const uint32_t id = 1 + rng() % (t.tree->nodeCount - 1);
            if (t.duplicates.groupOf[id] == DuplicateIndex::kNoGroup && !t.tree->nodes[id].isFolder()) {
                t.duplicates.groupOf[id] = uint32_t(t.duplicates.groups.size());
                members.push_back(id);
            }
        }
        if (members.size() < 2) {
            for (uint32_t id : members)
                t.duplicates.groupOf[id] = DuplicateIndex::kNoGroup;
            continue;
        }
        t.duplicates.groups.push_back(members);
    }
    return t;
}

const char* const kCorpus[] = {
    "a", "A", "abc", "report", "\xC3\xA9", "E", "\xD0\xB6", "\xE6\x97\xA5", "\xF0\x9F\x98\x80", "*.txt", "*.TXT",
    "*.", "*", "*.*", "*.*|x", "a*b", "?b*", "*a?c*", "*.tar.gz", "*.gz", "!a", "a|b", "a b", "!a|!b", "\"a b\"",
    "\"*.txt\"", "S>1000", "S<=5k", ">1G", "A>0", "A=0", "=0", "=files", "=folders", "!=folders", ">today-30",
    "<2010-01-01", ">2024-01-01+2h", "<now-5000h", ">=9:30pm", "<12:00", ">23:59", "namelen>20", "namelen<=3",
    "namelen=0", "namelen>=256", "pathlen>50", "pathlen<30", "pathlen>=200", "dupcount>0", "=dup", "!=dup",
    "dupsize>=1k", "dupcount=2", "/", "data/", "d1/d2", "*/d*", "/d?", "x/y", "home/user", "\\abc", "\\^a",
    "\\txt$", "\\[", "\\\"a.\"\\", "\\\xEF\xBF\xBD", "\\\xC3\xA9", "!\\b", "\\^$", "\\.", "a /", "img ?x* !.txt",
    "=files *.jpg|*.txt !S<10", "d5 =folders", "\"|\"", "\"\"\"", "*.\xC3\x89", "\xC3\xA9*", "?", "??", "*?*",
    "*\xFF*", "\xFF", "d", "t*|=dup", "pathlen>10 a|b|c", "\\x/y", "\\re*", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17",
    "a|b|c|d|e|f|g|h|i|j|k|l|m|n|o|p|q|r|s|t", "!x !y !z *", "*.txt|*.jpg|*.gz =files", "!",
};

std::vector<std::string> filterTexts(uint32_t seed) {
    std::vector<std::string> texts(std::begin(kCorpus), std::end(kCorpus));
    std::mt19937 rng(seed);
    for (int i = 0, n = kSanitized ? 6 : 30; i < n; ++i) {
        std::string t;
        for (int k = 0, n = 1 + int(rng() % 4); k < n; ++k) {
            if (k)
                t += (rng() % 2) ? " " : "|";
            if (rng() % 5 == 0)
                t += "!";
            t += kCorpus[rng() % std::size(kCorpus)];
        }
        texts.push_back(t);
    }
    return texts;
}

// The reference evaluator's answers, after checking that the others agree with it.
std::vector<uint8_t> compareEvaluators(const RandomTree& t, const std::string& text, bool fullPath,
                                       const RegexFactory& factory, const DuplicateIndex* dups, bool severalThreads,
                                       int64_t utcOffset = 3600) {
    SCOPED_TRACE("filter \"" + text + "\" fullPath " + std::to_string(fullPath) + (dups ? " with index" : ""));
    const ScanTree& tree = *t.tree;
    const Filter f = decodeFilterText(text, fullPath, &factory, hmtest::fixedClock(1700000000, utcOffset));
    std::vector<uint8_t> reference(tree.nodeCount);
    PathLengthCache cache;
    size_t mismatches = 0;
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        FilterCandidate candidate(tree, id, dups);
        reference[id] = f.groups.empty() || candidate.matches(f);
        const bool fast = filterMatchesNode(tree, id, f, &cache, dups);
        bool compiled = reference[id];
        if (f.compiled) {
            CompiledNodeView view(tree, id, &cache, dups);
            compiled = f.compiled->matchesView(view, f.fullPath, false, 0);
        }
        if (fast != bool(reference[id]) || compiled != bool(reference[id])) {
            if (++mismatches < 5)
                ADD_FAILURE() << "node " << id << " \"" << tree.nodes[id].nameView() << "\": reference "
                              << int(reference[id]) << " fast " << fast << " compiled " << compiled;
        }
    }
    const FilterSource source = [&f] { return f.freshCopy(); };
    {
        ScopedHardwareThreads one(1);
        EXPECT_EQ(matchBitmap(tree, source, nullptr, 0, 65536, dups), reference);
    }
    if (severalThreads) {
        ScopedHardwareThreads four(4);
        EXPECT_EQ(matchBitmap(tree, source, nullptr, 0, 97, dups), reference);
    }
    return reference;
}

}  // namespace

class FilterDifferentialTest : public testing::TestWithParam<int> {};

TEST_P(FilterDifferentialTest, ReferenceCompiledAndBitmapAgree) {
    static const struct {
        const char* root;
        uint16_t flags;
    } roots[] = {{"/srv/Data", 0}, {"/", 0}, {"Select Multiple", NodeFlag::VirtualRoot}, {"rel\xFF/", 0}};
    const int p = GetParam();
    // The first tree has more than 512 folders, so path-length cache slots collide.
    const RandomTree t = makeTree(uint32_t(1000 + p), roots[p].root, roots[p].flags,
                                  p == 0 ? (kSanitized ? 820 : 1000) : (kSanitized ? 300 : 400));
    size_t folderCount = 0;
    for (uint32_t id = 0; id < t.tree->nodeCount; ++id)
        folderCount += t.tree->nodes[id].isFolder();
    if (p == 0) {
        ASSERT_GT(folderCount, 512u);
    }
    const RegexFactory factory = hmtest::LiteralMatcher::factory();
    const std::vector<std::string> texts = filterTexts(uint32_t(p));
    for (size_t i = 0; i < texts.size(); ++i)
        for (bool fullPath : {false, true})
            compareEvaluators(t, texts[i], fullPath, factory, nullptr, i % 4 == size_t(p));
    for (const char* text : {"=dup", "!=dup", "dupcount>1", "dupsize>=1k|a", "dupcount=0 *.txt", "/ =dup"})
        compareEvaluators(t, text, false, factory, &t.duplicates, true);
}

TEST(FilterDates, EvaluatorsAgreeBeforeNineteenSeventy) {
    // Days before 1970 need floor division of negative seconds, not truncation towards zero.
    const int64_t times[] = {-1, 0, -86400, -86401, 86399, -3600, -1000000001};
    hmtest::TreeSpec spec("/r");
    for (int64_t t : times)
        spec.file(0, "f" + std::to_string(t), 1, t);
    RandomTree t;
    t.tree = spec.build();
    const RegexFactory factory = hmtest::LiteralMatcher::factory();
    // Per condition, the times (in the order above) that match it in UTC.
    const struct {
        const char* text;
        std::vector<int64_t> matching;
    } cases[] = {
        {"=1969-12-31", {-1, -86400, -3600}},
        {"=1970-01-01", {0, 86399}},
        {"<1970-01-01", {-1, -86400, -86401, -3600, -1000000001}},
        {">1969-12-31", {0, 86399}},
        {">=1969-12-31", {-1, 0, -86400, 86399, -3600}},
        {"=1969-12-30", {-86401}},
        {"=1938-04-24", {-1000000001}},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> result = compareEvaluators(t, c.text, false, factory, nullptr, false, 0);
        std::vector<int64_t> matched;
        for (uint32_t id = 1; id < t.tree->nodeCount; ++id)
            if (result[id])
                matched.push_back(t.tree->nodes[id].modified);
        std::vector<int64_t> expected = c.matching;
        std::sort(expected.begin(), expected.end());
        std::sort(matched.begin(), matched.end());
        EXPECT_EQ(matched, expected) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Roots, FilterDifferentialTest, testing::Range(0, 4));
