#include "core/analysis/FilterMatch.h"

namespace svl {

bool filterMatchesEntry(const FilterEntry&, const Filter& filter) { return filter.groups.empty() ? false : false; }

}  // namespace svl
