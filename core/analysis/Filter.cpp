#include "core/analysis/Filter.h"

namespace svl {

FilterClock systemFilterClock() { return {}; }

Filter decodeFilterText(std::string_view text, bool fullPath, const RegexFactory* regexFactory) {
    return decodeFilterText(text, fullPath, regexFactory, systemFilterClock());
}

Filter decodeFilterText(std::string_view, bool fullPath, const RegexFactory*, const FilterClock&) {
    Filter f;
    f.fullPath = fullPath;
    return f;
}

}  // namespace svl
