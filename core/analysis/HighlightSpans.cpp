#include "core/analysis/HighlightSpans.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "core/tree/TextConversion.h"

namespace svl {

std::vector<HighlightSpan> matchHighlightSpans(const Filter& filter, size_t length, const char16_t* text) {
    std::vector<HighlightSpan> spans;
    if (length == 0 || filter.groups.empty())
        return spans;
    // Spans are 32-bit; longer texts are marked only in their first 4 Gi units.
    length = std::min<size_t>(length, UINT32_MAX);

    // Regular expressions see the text with lone surrogates (invalid UTF-8 bytes)
    // replaced; the length stays the same, so their offsets apply to the original.
    std::u16string cleaned;
    const char16_t* regexText = text;
    for (const std::vector<FilterTerm>& group : filter.groups)
        for (const FilterTerm& term : group) {
            if (!term.regex || !term.regex->offersFind())
                continue;
            if (regexText == text && hasLoneSurrogates(text, length)) {
                cleaned.assign(text, length);
                replaceLoneSurrogates(cleaned);
                regexText = cleaned.data();
            }
            int64_t start = 0, end = 0;
            if (term.regex->find(regexText, length, start, end) && start < end && start >= 0 &&
                uint64_t(end) <= length)
                spans.push_back({uint32_t(start), uint32_t(end)});
        }

    std::u16string folded(text, length);
    for (char16_t& u : folded)
        u = foldUnit(u);
    const std::u16string_view haystack(folded);

    std::vector<std::u16string_view> pieces;
    for (const std::vector<FilterTerm>& group : filter.groups)
        for (const FilterTerm& term : group) {
            if (term.regex || term.isCondition || term.filesOnly || term.foldersOnly || term.isNoExtension ||
                term.pattern.empty())
                continue;
            const std::u16string_view pattern(term.pattern);
            if (!term.isWildcard) {
                pieces.push_back(pattern);
                continue;
            }
            if (pattern.find(u'?') != std::u16string_view::npos)
                continue;
            size_t from = 0;
            while (from <= pattern.size()) {
                size_t star = pattern.find(u'*', from);
                if (star == std::u16string_view::npos)
                    star = pattern.size();
                if (star > from)
                    pieces.push_back(pattern.substr(from, star - from));
                from = star + 1;
            }
        }
    for (std::u16string_view piece : pieces)
        for (size_t p = haystack.find(piece); p != std::u16string_view::npos; p = haystack.find(piece, p + piece.size()))
            spans.push_back({uint32_t(p), uint32_t(p + piece.size())});

    std::sort(spans.begin(), spans.end(),
              [](const HighlightSpan& a, const HighlightSpan& b) { return a.start != b.start ? a.start < b.start : a.end < b.end; });
    std::vector<HighlightSpan> merged;
    for (const HighlightSpan& s : spans) {
        if (!merged.empty() && s.start <= merged.back().end)
            merged.back().end = std::max(merged.back().end, s.end);
        else
            merged.push_back(s);
    }
    return merged;
}

}  // namespace svl
