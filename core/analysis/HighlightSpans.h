// The parts of a shown name or path that a filter's texts match, for painting: the
// first match of each regular expression and every occurrence of the literal pieces of
// plain, wildcard and extension terms, sorted and merged.
// Threads: reads the filter only; call from any thread (the views call it while painting).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/analysis/Filter.h"

namespace svl {

// A half-open range [start, end) of UTF-16 units.
struct HighlightSpan {
    uint32_t start;
    uint32_t end;
    bool operator==(const HighlightSpan&) const = default;
};

// Ascending spans that neither overlap nor touch; empty for an empty text or a filter
// without groups. `text` is the UTF-16 text as shown (not folded).
[[nodiscard]] std::vector<HighlightSpan> matchHighlightSpans(const Filter& filter, size_t length, const char16_t* text);

}  // namespace svl
