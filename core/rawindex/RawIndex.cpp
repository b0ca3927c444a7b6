#include "core/rawindex/RawIndex.h"

namespace svl {

std::unique_ptr<RawIndex> loadRawIndex(const std::string&, unsigned long, ScanProgress*, std::string& note,
                                       bool& cancelled, bool& needsAdmin, double, int) {
    cancelled = false;
    needsAdmin = false;
    note.clear();
    return nullptr;
}

std::unique_ptr<RawIndex> openRawIndex(const std::string& devicePath, std::string* error) {
    if (error)
        *error = devicePath + " doesn't hold a filesystem this can read";
    return nullptr;
}

}  // namespace svl
