// Any filter text: decoding must not crash or throw, and the reference evaluator, the
// compiled evaluator and the match bitmap must agree on every node of a fixed tree with
// awkward names. The first byte chooses full-path mode and whether expressions exist.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/analysis/CompiledFilter.h"
#include "core/analysis/FilterMatch.h"
#include "core/analysis/HighlightSpans.h"
#include "core/analysis/MatchBitmap.h"
#include "core/analysis/Parallel.h"
#include "tests/core/analysis/FilterTestSupport.h"

namespace {

const svl::ScanTree& fixture() {
    static const std::unique_ptr<svl::ScanTree> tree = [] {
        hmtest::TreeSpec spec("/fuzz/Root");
        const int a = spec.folder(0, "Docs \xC3\xA9t\xC3\xA9");
        spec.file(a, "Report.TXT", 1234, 1700000000);
        spec.file(a, "bad\xFF" "name.tar.gz", 5 << 20, -5000, svl::NodeFlag::ExtraHardLink);
        const int b = spec.folder(a, "");
        spec.file(b, std::string(257, 'x'), 0, 86399);
        spec.file(b, "\xD0\xB6\xD1\x83\xD0\xBA.\xF0\x9F\x98\x80", 77);
        const int c = spec.folder(0, "trail/");
        spec.file(c, ".hidden.", 3);
        spec.file(c, "Makefile", 9, 1);
        return spec.build();
    }();
    return *tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Starting threads under the sanitizers costs more than the whole evaluation; the
    // differential test covers several threads.
    static const bool oneThread = (svl::setHardwareThreadOverride(1), true);
    (void)oneThread;
    if (size == 0)
        return 0;
    const bool fullPath = data[0] & 1;
    const bool withRegex = data[0] & 2;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const svl::RegexFactory factory = hmtest::LiteralMatcher::factory();
    const svl::Filter f =
        svl::decodeFilterText(text, fullPath, withRegex ? &factory : nullptr, hmtest::fixedClock());
    if (f.groups.empty() != !f.compiled)
        std::abort();

    const svl::ScanTree& tree = fixture();
    std::vector<uint8_t> reference(tree.nodeCount);
    svl::PathLengthCache cache;
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        reference[id] = svl::filterMatchesNode(tree, id, f);
        if (svl::filterMatchesNode(tree, id, f, &cache) != bool(reference[id]))
            std::abort();
    }
    const svl::FilterSource source = [&f] { return f.freshCopy(); };
    if (svl::matchBitmap(tree, source, nullptr, 0, 3) != reference)
        std::abort();

    svl::FilterEntry entry;
    entry.name = "bad\xFF" "name.tar.gz";
    entry.folderPath = "/fuzz/Root/Docs";
    (void)svl::filterMatchesEntry(entry, f);

    const std::u16string shown = u"Report.TXT in /fuzz/Root/Docs \u00E9t\u00E9 \xDCFF";
    for (const svl::HighlightSpan& s : svl::matchHighlightSpans(f, shown.size(), shown.data()))
        if (s.start >= s.end || s.end > shown.size())
            std::abort();
    return 0;
}
