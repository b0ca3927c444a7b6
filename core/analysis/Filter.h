// The filter language: svl::decodeFilterText turns the text typed into a filter field
// into an AND-list of OR-lists of terms (substrings, wildcards, extensions, regular
// expressions, files/folders only, and conditions on size, time, lengths, duplicates).
// Decoding never fails; what does not form a condition is matched as plain text.
// Threads: decoding touches no shared state. A decoded Filter is read-only and may be
// evaluated by many threads at once; copies share its matchers and compiled form.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/analysis/RegexMatcher.h"

namespace svl {

class CompiledFilter;
class ScanTree;
struct DuplicateIndex;

// The answer of one term. Unknown where the candidate lacks the number a condition needs
// (sizes of scan entries, duplicate numbers without a duplicate index): such a term
// satisfies its group neither plainly nor negated.
enum class Truth : uint8_t { False = 0, True = 1, Unknown = 2 };

enum class ConditionKind : int32_t {
    Size = 0,
    Allocated = 1,
    ModifiedDay = 2,
    ModifiedTime = 3,
    NameLength = 4,
    PathLength = 5,
    DuplicateCount = 6,
    DuplicateSize = 7,
};

enum class CompareOp : int32_t {
    Equal = 0,         // "="
    Greater = 1,       // ">"
    GreaterEqual = 2,  // ">="
    Less = 3,          // "<"
    LessEqual = 4,     // "<="
};

struct FilterTerm {
    std::u16string pattern;    // folded UTF-16; empty for conditions and the file/folder words
    std::u16string extension;  // extension terms: pattern without its first unit (".ext")
    bool isWildcard = false;
    bool isExtension = false;
    bool isNoExtension = false;
    bool isPath = false;
    bool negate = false;
    bool foldersOnly = false;
    bool filesOnly = false;
    bool isCondition = false;
    ConditionKind kind = ConditionKind::Size;
    CompareOp op = CompareOp::Equal;
    int64_t value = 0;       // bytes, UTF-16 units or a count
    int64_t day = 0;         // ModifiedDay: days since 1970-01-01 in local time
    double utcOffset = 0;    // seconds east of UTC at decoding
    double time = 0;         // ModifiedTime: seconds since local midnight, or since the epoch
    bool absoluteTime = false;
    std::shared_ptr<RegexMatcher> regex;  // regular-expression terms whose pattern compiled

    // This term on a node, before `negate` (defined with the term matching).
    [[nodiscard]] Truth matchesNode(const ScanTree& tree, uint32_t id, bool fullPath,
                                    const DuplicateIndex* duplicates = nullptr) const;
};

// A value type (declared as a class so that forward declarations match).
class Filter {
public:
    std::vector<std::vector<FilterTerm>> groups;  // every group needs one passing term; none: all pass
    bool fullPath = false;                        // text terms and expressions test full paths
    std::shared_ptr<CompiledFilter> compiled;     // null without groups
    std::function<Filter()> redecode;             // decodes the same text afresh; empty without groups

    bool empty() const { return groups.empty(); }
    // A copy for another thread: decoded afresh when possible (own matchers), else copied.
    Filter freshCopy() const { return redecode ? redecode() : *this; }
};

// The clock and time zone that date and time words read. The default reads the system
// clock and the process's local time zone; tests inject fixed ones.
struct FilterClock {
    std::function<int64_t()> now;                  // seconds since the epoch
    std::function<int64_t(int64_t)> utcOffsetAt;   // seconds east of UTC at a moment
};
FilterClock systemFilterClock();

// Decodes UTF-8 filter text. `fullPath` starts the filter in full-path mode. With a null
// or empty factory no term is a regular expression. Throws only std::bad_alloc.
[[nodiscard]] Filter decodeFilterText(std::string_view text, bool fullPath, const RegexFactory* regexFactory);
// The same with an injected clock (kept by redecode).
[[nodiscard]] Filter decodeFilterText(std::string_view text, bool fullPath, const RegexFactory* regexFactory,
                                      const FilterClock& clock);

// Steps of decoding, exposed for tests and for callers that split the same way.
// Splits at `separator` outside double quotes; n separators give n + 1 pieces, quotes kept.
[[nodiscard]] std::vector<std::string> splitOutsideQuotes(std::string_view text, char separator);
// Reads a condition ("S>10M", "=files", ">today-7", "<9:30pm" ...) into `term`; false when
// the text is not one (then the term is left for plain-text matching).
[[nodiscard]] bool parseFilterCondition(std::string_view text, FilterTerm& term, const FilterClock& clock);
// Seconds of an offset such as "3h", "30" (minutes), "15s"; 0 without digits.
[[nodiscard]] int64_t parseTimeOffset(std::string_view text);
// Seconds since midnight of "9:30", "1pm", "12am", "23:15:05"; false when unreadable.
[[nodiscard]] bool parseTimeOfDay(std::string_view text, double& seconds);

}  // namespace svl
