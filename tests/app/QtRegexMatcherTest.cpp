#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/QtRegexMatcher.h"
#include "core/analysis/FilterMatch.h"
#include "core/analysis/HighlightSpans.h"
#include "core/analysis/MatchBitmap.h"
#include "core/tree/ScanTree.h"

namespace {

std::shared_ptr<svl::RegexMatcher> compile(const std::u16string& pattern) { return qtRegexFactory()(pattern); }

bool matches(const svl::RegexMatcher& m, const std::u16string& text) { return m.matches(text.data(), text.size()); }

// A root folder with the given file names (UTF-8 bytes as stored).
std::unique_ptr<svl::ScanTree> treeOf(const std::vector<std::string>& names) {
    auto tree = std::make_unique<svl::ScanTree>();
    const uint32_t root = tree->allocateNodes(1);
    svl::ScanNode& r = tree->nodes[root];
    r = svl::ScanNode{};
    r.name = tree->storeName("/root");
    r.nameLength = 5;
    r.flags = svl::NodeFlag::Folder;
    const uint32_t first = tree->allocateNodes(uint32_t(names.size()));
    for (size_t i = 0; i < names.size(); ++i) {
        svl::ScanNode& n = tree->nodes[first + i];
        n = svl::ScanNode{};
        n.name = tree->storeName(names[i]);
        n.nameLength = uint16_t(names[i].size());
        n.size = 1;
    }
    tree->nodes[root].firstChild = first;
    tree->nodes[root].childCount = uint32_t(names.size());
    tree->finishNodeCount();
    tree->computeTotals();
    return tree;
}

}  // namespace

TEST(QtRegexMatcherTest, InvalidPatternsGiveNoMatcher) {
    EXPECT_FALSE(compile(u"[abc"));
    EXPECT_FALSE(compile(u"(x"));
    EXPECT_FALSE(compile(u"a{2,1}"));
    EXPECT_TRUE(compile(u"a+b"));
}

TEST(QtRegexMatcherTest, CaseInsensitiveUnanchoredAndFind) {
    const auto m = compile(u"ж.к");
    ASSERT_TRUE(m);
    EXPECT_TRUE(matches(*m, u"большой ЖУК"));
    EXPECT_FALSE(matches(*m, u"жк"));
    const auto word = compile(u"\\w+\\.txt$");
    ASSERT_TRUE(word);
    EXPECT_TRUE(matches(*word, u"Notes.TXT"));
    EXPECT_FALSE(matches(*word, u"notes.txt.bak"));
    int64_t start = -7, end = -7;
    const std::u16string text = u"xxABCxx";
    EXPECT_TRUE(compile(u"b+c")->find(text.data(), text.size(), start, end));
    EXPECT_EQ(start, 3);
    EXPECT_EQ(end, 5);
    start = end = -7;
    EXPECT_FALSE(compile(u"zzz")->find(text.data(), text.size(), start, end));
    EXPECT_EQ(start, -7);
    EXPECT_EQ(end, -7);
    const auto empty = compile(u"");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->find(text.data(), text.size(), start, end));
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 0);
    EXPECT_TRUE(empty->offersFind());
}

TEST(QtRegexMatcherTest, NamesThatAreNotUtf8StillMatch) {
    const auto tree = treeOf({"bad\xFF.txt", "ok.txt", "\xC3\x28name", "clean"});
    const svl::RegexFactory factory = qtRegexFactory();
    const svl::Filter f = svl::decodeFilterText("\\.txt$|\\^\\W\\(", false, &factory);
    ASSERT_TRUE(f.groups[0][0].regex);
    EXPECT_TRUE(svl::filterMatchesNode(*tree, 1, f));
    EXPECT_TRUE(svl::filterMatchesNode(*tree, 2, f));
    EXPECT_TRUE(svl::filterMatchesNode(*tree, 3, f));
    EXPECT_FALSE(svl::filterMatchesNode(*tree, 4, f));
    svl::PathLengthCache cache;
    EXPECT_TRUE(svl::filterMatchesNode(*tree, 1, f, &cache));
    const svl::Filter path = svl::decodeFilterText("\\root/bad.\\.txt", true, &factory);
    const svl::FilterSource source = [&] { return path.freshCopy(); };
    const std::vector<uint8_t> bits = svl::matchBitmap(*tree, source, nullptr, 0, 65536);
    EXPECT_EQ(bits, (std::vector<uint8_t>{0, 1, 0, 0, 0}));
    svl::FilterEntry entry;
    entry.name = "bad\xFF.txt";
    entry.folderPath = "/root";
    EXPECT_TRUE(svl::filterMatchesEntry(entry, path));
    // Highlighting marks the expression's match in the shown text.
    const std::u16string shown{u'b', u'a', u'd', 0xDCFF, u'.', u't', u'x', u't'};
    const auto spans = svl::matchHighlightSpans(f, shown.size(), shown.data());
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0].start, 4u);
    EXPECT_EQ(spans[0].end, 8u);
}

TEST(QtRegexMatcherTest, OneMatcherServesManyThreads) {
    const auto m = compile(u"(a|b)+c$");
    ASSERT_TRUE(m);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                const std::u16string yes = u"xx" + std::u16string(size_t(i % 50 + t + 1), u'a') + u"c";
                const std::u16string no = yes + u"d";
                int64_t s = 0, e = 0;
                if (!matches(*m, yes) || matches(*m, no) || !m->find(yes.data(), yes.size(), s, e) || s != 2)
                    wrong.fetch_add(1);
            }
        });
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}
