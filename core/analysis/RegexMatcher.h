// The regular-expression interface of the filter language. The core has no engine of
// its own: callers pass a factory (the GUI passes qtRegexFactory) that compiles a
// UTF-16 pattern into a matcher, or returns null for an invalid pattern.
// Threads: one matcher is called from many threads at once (the walker's workers share
// the scan's exclusion filter), so matches and find must be safe to call concurrently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace svl {

class RegexMatcher {
public:
    virtual ~RegexMatcher() = default;
    // True when the pattern matches anywhere in the text (not anchored).
    virtual bool matches(const char16_t* text, size_t length) const = 0;
    // The first match as [start, end) in UTF-16 units; false (start and end untouched)
    // when there is none. This default searches nothing: a matcher that keeps it
    // offers no highlight spans.
    virtual bool find(const char16_t* text, size_t length, int64_t& start, int64_t& end) const;
    // Whether find is overridden, so that callers can tell the default apart.
    virtual bool offersFind() const { return false; }
};

inline bool RegexMatcher::find(const char16_t*, size_t, int64_t&, int64_t&) const { return false; }

// Compiles a pattern; null means the pattern is invalid.
using RegexFactory = std::function<std::shared_ptr<RegexMatcher>(const std::u16string& pattern)>;

}  // namespace svl
