#include <gtest/gtest.h>

#include "core/analysis/CompiledFilter.h"
#include "core/analysis/Duplicates.h"
#include "core/analysis/FilterMatch.h"
#include "core/tree/TextConversion.h"
#include "tests/core/analysis/FilterTestSupport.h"

using namespace svl;

namespace {

Filter decode(std::string_view text, bool fullPath = false, const RegexFactory* factory = nullptr) {
    return decodeFilterText(text, fullPath, factory, hmtest::fixedClock());
}

bool entryExcluded(std::string_view filterText, std::string_view name, bool folder, uint64_t size = 0,
                   std::string_view folderPath = "/data", bool fullPath = false) {
    FilterEntry e;
    e.name = name;
    e.folderPath = folderPath;
    e.isFolder = folder;
    e.size = size;
    e.allocated = size;
    return filterMatchesEntry(e, decode(filterText, fullPath));
}

// Both evaluators must agree on every node; returns the reference answer.
bool nodeMatches(const ScanTree& tree, uint32_t id, const Filter& f) {
    PathLengthCache cache;
    const bool reference = filterMatchesNode(tree, id, f);
    EXPECT_EQ(filterMatchesNode(tree, id, f, &cache), reference) << "node " << id;
    return reference;
}

bool nameMatches(std::string_view filterText, const std::string& name, bool folder = false) {
    hmtest::TreeSpec spec("/r");
    if (folder)
        spec.folder(0, name);
    else
        spec.file(0, name, 1);
    const auto tree = spec.build();
    SCOPED_TRACE(std::string(filterText) + " on " + name);
    return nodeMatches(*tree, 1, decode(filterText));
}

}  // namespace

TEST(FilterMatchTest, ScanTimeExclusionIgnoresSizesButNotKinds) {
    EXPECT_FALSE(entryExcluded("S>1G", "big.iso", false, 5ull << 30));
    EXPECT_FALSE(entryExcluded("A<1", "empty", false, 0));
    EXPECT_FALSE(entryExcluded("!S>1G", "small", false, 1));
    EXPECT_FALSE(entryExcluded("S>1G|=folders", "file.txt", false));
    EXPECT_TRUE(entryExcluded("S>1G|=folders", "dir", true));
    EXPECT_TRUE(entryExcluded("=folders", "dir", true));
    EXPECT_FALSE(entryExcluded("=folders", "file", false));
    EXPECT_TRUE(entryExcluded("=files", "file", false));
    EXPECT_FALSE(entryExcluded("=files", "dir", true));
    EXPECT_TRUE(entryExcluded("*.tmp S>1G|*.tmp", "x.tmp", false));
    EXPECT_FALSE(entryExcluded("*.tmp S>1G", "x.tmp", false));
    EXPECT_FALSE(entryExcluded("=dup", "x", false));
    EXPECT_FALSE(entryExcluded("!=dup", "x", false));
    // An exclusion filter of blanks or bars must not exclude everything.
    EXPECT_FALSE(entryExcluded(" | ", "anything", false));
    EXPECT_TRUE(entryExcluded("node_modules", "node_modules", true));
    EXPECT_TRUE(entryExcluded("namelen>3", "abcd", false));
    EXPECT_FALSE(entryExcluded("namelen>3", "abc", false));
}

TEST(FilterMatchTest, EntryFullPathsJoinFolderAndName) {
    EXPECT_TRUE(entryExcluded("data/cache", "cache", true, 0, "/data"));
    EXPECT_TRUE(entryExcluded("data/cache", "cache", true, 0, "/data/"));
    EXPECT_TRUE(entryExcluded("/cache", "cache", true, 0, ""));
    EXPECT_TRUE(entryExcluded("pathlen=11", "cache", true, 0, "/data", false));  // "/data/cache"
    EXPECT_TRUE(entryExcluded("pathlen=11", "cache", true, 0, "/data/", false));
    EXPECT_TRUE(entryExcluded("home", "x", false, 0, "/home/u", true));
    EXPECT_FALSE(entryExcluded("home", "x", false, 0, "/srv", true));
}

TEST(FilterMatchTest, ExtensionsWildcardsAndSubstrings) {
    EXPECT_TRUE(nameMatches("*.", "Makefile"));
    EXPECT_TRUE(nameMatches("*.", "archive."));
    EXPECT_TRUE(nameMatches("*.", ""));
    EXPECT_FALSE(nameMatches("*.", "a.b"));
    EXPECT_TRUE(nameMatches("*.", ".hidden."));
    EXPECT_FALSE(nameMatches("*.", ".profile"));
    EXPECT_TRUE(nameMatches("*.gz", "x.tar.gz"));
    EXPECT_TRUE(nameMatches("*.gz", ".gz"));
    EXPECT_FALSE(nameMatches("*.gz", "x.gzip"));
    EXPECT_TRUE(nameMatches("*.GZ", "X.TAR.gZ"));
    EXPECT_TRUE(nameMatches("*a?c*", "xxabcyy"));
    EXPECT_FALSE(nameMatches("a*", "ba"));
    EXPECT_TRUE(nameMatches("*", ""));
    EXPECT_TRUE(nameMatches("", "anything"));
    EXPECT_FALSE(nameMatches("!", "anything"));
    EXPECT_TRUE(nameMatches("CAF\xC3\x89", "le cafe"));   // accents fold away
    EXPECT_TRUE(nameMatches("\xD0\x96", "\xD0\xB6\xD1\x83\xD0\xBA"));  // Ж finds ж
    EXPECT_TRUE(nameMatches("*\xD0\xB6?", "x\xD0\x96y"));
    EXPECT_FALSE(nameMatches("\xD0\xB6", "plain ascii"));
    EXPECT_TRUE(nameMatches("*.txt", "bad\xFF.txt"));
    EXPECT_TRUE(nameMatches("?.txt", "\xFF.txt"));  // an invalid byte is one unit
    EXPECT_FALSE(nameMatches("*.txt", "x.txt", true) == false);
    EXPECT_TRUE(nameMatches("=folders", "d", true));
    EXPECT_FALSE(nameMatches("=folders", "f", false));
    EXPECT_TRUE(nameMatches("!=folders", "f", false));
}

TEST(FilterMatchTest, LongAsciiNamesTakeTheSameRoadAsShortOnes) {
    for (size_t n : {255u, 256u, 257u, 1000u}) {
        std::string name(n - 4, 'A');
        name += ".Txt";
        EXPECT_TRUE(nameMatches("*.TXT", name)) << n;
        EXPECT_TRUE(nameMatches("aaa", name)) << n;
        EXPECT_TRUE(nameMatches("a*a.t?t", name)) << n;
        EXPECT_FALSE(nameMatches("b", name)) << n;
        EXPECT_TRUE(nameMatches("namelen=" + std::to_string(n), name)) << n;
    }
}

TEST(FilterMatchTest, ConditionsOnNodes) {
    hmtest::TreeSpec spec("/r");
    const int dir = spec.folder(0, "dir", 100);
    const int big = spec.file(dir, "big", 2000, 1700000000);
    const int link = spec.file(dir, "link", 5000, -100, NodeFlag::ExtraHardLink);
    std::vector<uint32_t> id;
    const auto tree = spec.build(&id);
    EXPECT_TRUE(nodeMatches(*tree, id[big], decode(">1k")));
    EXPECT_FALSE(nodeMatches(*tree, id[big], decode("<1k")));
    EXPECT_TRUE(nodeMatches(*tree, id[dir], decode("=7000")));  // folders compare their totals
    EXPECT_TRUE(nodeMatches(*tree, id[link], decode("A=0")));  // further hard links count no blocks
    EXPECT_TRUE(nodeMatches(*tree, id[big], decode("=2023-11-14")));  // 23:13 local, one hour east
    EXPECT_TRUE(nodeMatches(*tree, id[big], decode(">=23:13")));
    EXPECT_TRUE(nodeMatches(*tree, id[big], decode("<23:14")));
    // Before 1970: the negative remainder becomes a time of day near midnight.
    EXPECT_TRUE(nodeMatches(*tree, id[link], decode(">=0:58")));
    EXPECT_TRUE(nodeMatches(*tree, id[link], decode("=1970-01-01")));
    EXPECT_TRUE(nodeMatches(*tree, id[link], decode("<now")));
    EXPECT_TRUE(nodeMatches(*tree, id[big], decode(">now-1h")));
    EXPECT_TRUE(nodeMatches(*tree, id[big], decode("pathlen=10")));  // "/r/dir/big"
    EXPECT_TRUE(nodeMatches(*tree, 0, decode("pathlen=2")));
}

TEST(FilterMatchTest, DuplicateConditionsNeedAnIndex) {
    hmtest::TreeSpec spec("/r");
    const int a = spec.file(0, "a", 100);
    const int b = spec.file(0, "b", 100);
    const int c = spec.file(0, "c", 100);
    const int lone = spec.file(0, "lone", 100);
    std::vector<uint32_t> id;
    const auto tree = spec.build(&id);
    DuplicateIndex dups;
    dups.groupOf.assign(tree->nodeCount, DuplicateIndex::kNoGroup);
    dups.groups.push_back({id[a], id[b], id[c]});
    for (int n : {a, b, c})
        dups.groupOf[id[n]] = 0;

    for (const char* text : {"=dup", "!=dup", "dupcount=0", "dupsize<1", "!dupcount>0"}) {
        const Filter f = decode(text);
        for (uint32_t n = 0; n < tree->nodeCount; ++n) {
            EXPECT_FALSE(filterMatchesNode(*tree, n, f)) << text;  // no index: nothing matches
            PathLengthCache cache;
            EXPECT_FALSE(filterMatchesNode(*tree, n, f, &cache)) << text;
        }
    }
    auto withIndex = [&](const char* text, int node) {
        const Filter f = decode(text);
        FilterCandidate candidate(*tree, id[node], &dups);
        const bool reference = candidate.matches(f);
        PathLengthCache cache;
        EXPECT_EQ(filterMatchesNode(*tree, id[node], f, &cache, &dups), reference) << text;
        return reference;
    };
    EXPECT_TRUE(withIndex("=dup", a));
    EXPECT_FALSE(withIndex("=dup", lone));
    EXPECT_TRUE(withIndex("!=dup", lone));
    EXPECT_TRUE(withIndex("dupcount=2", b));
    EXPECT_TRUE(withIndex("dupsize=200", c));
    EXPECT_TRUE(withIndex("dupsize=0", lone));
    // "=dup|x": the unknown side does not hide a known true side.
    EXPECT_TRUE(filterMatchesNode(*tree, id[lone], decode("=dup|lone")));
}

TEST(FilterMatchTest, FullPathTermsAndRootNames) {
    hmtest::TreeSpec spec("/");
    const int home = spec.folder(0, "home");
    const int user = spec.folder(home, "User");
    const int doc = spec.file(user, "doc.txt", 10);
    const int etc = spec.folder(0, "etc");
    std::vector<uint32_t> id;
    const auto tree = spec.build(&id);
    std::u16string path;
    appendNodePath(path, *tree, id[doc], false);
    EXPECT_EQ(path, u"/home/User/doc.txt");
    path.clear();
    appendNodePath(path, *tree, id[etc], true);
    EXPECT_EQ(path, u"/etc");
    EXPECT_TRUE(nodeMatches(*tree, id[doc], decode("home", true)));
    EXPECT_FALSE(nodeMatches(*tree, id[etc], decode("home", true)));
    EXPECT_TRUE(nodeMatches(*tree, id[doc], decode("home/user")));
    EXPECT_TRUE(nodeMatches(*tree, id[doc], decode("*.txt e/u")));  // extension terms test the name
    EXPECT_TRUE(nodeMatches(*tree, id[doc], decode("/h*r/")));
    EXPECT_FALSE(nodeMatches(*tree, id[user], decode("/h*t")));
    EXPECT_TRUE(nodeMatches(*tree, id[doc], decode("pathlen=18")));
    const Filter user_ = decode("user");
    EXPECT_EQ(user_.groups[0][0].matchesNode(*tree, id[doc], true), Truth::True);
    EXPECT_EQ(user_.groups[0][0].matchesNode(*tree, id[doc], false), Truth::False);
    EXPECT_EQ(decode("=dup").groups[0][0].matchesNode(*tree, id[doc], false), Truth::Unknown);
}

TEST(FilterMatchTest, PathLengthsWithAndWithoutCacheAgreeWithBuiltPaths) {
    // More than 512 folders, so cache slots are reused; odd names on the way.
    hmtest::TreeSpec spec("/base/");
    std::vector<int> folders{0};
    for (int i = 0; i < 700; ++i) {
        const int parent = folders[size_t(i * 7919 % folders.size())];
        std::string name = "f" + std::to_string(i);
        if (i % 5 == 0)
            name += "\xC3\xA9\xF0\x9F\x98\x80";
        if (i % 7 == 0)
            name += "\xFF";
        if (i % 11 == 0)
            name += "/";  // a stored name that ends with a slash
        if (i % 13 == 0)
            name.clear();  // imports can hold empty names
        folders.push_back(spec.folder(parent, name));
        spec.file(folders.back(), "x" + std::to_string(i), 1);
    }
    const auto tree = spec.build();
    PathLengthCache cache;
    for (int pass = 0; pass < 2; ++pass)
        for (uint32_t n = 0; n < tree->nodeCount; ++n) {
            const uint32_t node = pass ? (n * 2654435761u) % tree->nodeCount : n;
            std::u16string path;
            appendNodePath(path, *tree, node, true);
            ASSERT_EQ(pathLength(*tree, node, nullptr), path.size()) << node;
            ASSERT_EQ(pathLength(*tree, node, &cache), path.size()) << node;
            // Filters see the same paths as the rest of the program.
            std::u16string plain, expected;
            appendNodePath(plain, *tree, node, false);
            const std::string bytes = tree->fullPath(node);
            appendUtf8AsUtf16(expected, bytes.size(), bytes.data(), false);
            ASSERT_EQ(plain, expected) << node;
        }
}

TEST(FilterMatchTest, RegularExpressionsSeeNamesWithoutLoneSurrogates) {
    std::atomic<int> illFormed{0};
    const RegexFactory factory = hmtest::LiteralMatcher::factory(&illFormed);
    hmtest::TreeSpec spec("/r\xFE");
    const int bad = spec.file(0, "bad\xFF.txt", 1);
    std::vector<uint32_t> id;
    const auto tree = spec.build(&id);
    EXPECT_TRUE(nodeMatches(*tree, id[bad], decode("\\.txt$", false, &factory)));
    EXPECT_TRUE(nodeMatches(*tree, id[bad], decode("\\^bad\xEF\xBF\xBD", false, &factory)));
    EXPECT_TRUE(nodeMatches(*tree, id[bad], decode("\\\xEF\xBF\xBD/bad", true, &factory)));
    FilterEntry e;
    e.name = "bad\xFF.txt";
    e.folderPath = "/r\xFE";
    EXPECT_TRUE(filterMatchesEntry(e, decode("\\.TXT", false, &factory)));
    EXPECT_TRUE(filterMatchesEntry(e, decode("\\r\xEF\xBF\xBD/", true, &factory)));
    EXPECT_EQ(illFormed.load(), 0);
}

TEST(FilterMatchTest, CompiledInstructionsOnNameForms) {
    // ASCII names never pass instructions whose pattern folds outside ASCII.
    hmtest::TreeSpec spec("/r");
    const int ascii = spec.file(0, "zhuk", 1);
    const int cyr = spec.file(0, "\xD0\xB6\xD1\x83\xD0\xBA.\xD0\xA2\xD0\xA5\xD0\xA2", 1);
    std::vector<uint32_t> id;
    const auto tree = spec.build(&id);
    for (const char* text : {"\xD0\xB6", "*.\xD1\x82\xD1\x85\xD1\x82", "\xD0\xB6*"}) {
        EXPECT_FALSE(nodeMatches(*tree, id[ascii], decode(text))) << text;
        EXPECT_TRUE(nodeMatches(*tree, id[cyr], decode(text))) << text;
    }
    EXPECT_TRUE(nodeMatches(*tree, id[cyr], decode("namelen=7")));
    EXPECT_TRUE(wildcardMatch(u"", 0, u"", 0));
    EXPECT_TRUE(wildcardMatch(u"**", 2, u"", 0));
    EXPECT_FALSE(wildcardMatch(u"?", 1, u"", 0));
    EXPECT_TRUE(wildcardMatch(u"a*b*c", 5, u"aXbYbZc", 7));
    EXPECT_FALSE(wildcardMatch(u"a*b*c", 5, u"aXbYbZ", 6));
}

TEST(FilterMatchTest, ConditionsDecodingNeverMakesAreFalseInBothEvaluators) {
    hmtest::TreeSpec spec("/r");
    spec.file(0, "f", 5);
    const auto tree = spec.build();
    for (int32_t kind : {6, 8, 13, -1})
        for (int32_t op : {1, 5, -3})
            for (bool negate : {false, true}) {
                Filter f;
                FilterTerm t;
                t.isCondition = true;
                t.kind = ConditionKind(kind);
                t.op = CompareOp(op);
                t.negate = negate;
                f.groups = {{t}};
                f.compiled = compileFilter(f);
                const bool known = kind != 6 || op == 5 || op == -3;  // a valid duplicate condition is unknown
                SCOPED_TRACE("kind " + std::to_string(kind) + " op " + std::to_string(op));
                EXPECT_EQ(nodeMatches(*tree, 1, f), known && negate);
            }
}
