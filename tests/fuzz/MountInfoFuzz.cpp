// Feeds arbitrary bytes to the mount table parser and the helpers built on its entries.
#include "core/scan/MountTable.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<svl::MountEntry> entries = svl::parseMountInfo(text);
    std::unordered_set<std::string> shown;
    for (const svl::MountEntry& e : entries) {
        if (e.root.empty() || e.root[0] != '/' || e.mountPoint.empty() || e.mountPoint[0] != '/')
            __builtin_trap();
        if (!svl::isPathWithin(e.mountPoint, e.mountPoint) || !svl::isPathWithin(e.mountPoint, "/"))
            __builtin_trap();
        shown.insert(e.mountPoint);
    }
    if (svl::unescapeMountField(text.data(), text.size()).size() > text.size())
        __builtin_trap();
    const size_t half = size / 2;
    svl::isPathWithin(text.substr(0, half), text.substr(half));
    svl::groupedMountPoints(entries);
    svl::mountPointsOfType(entries, shown);
    svl::sameFilesystemGroups(entries, [](const std::string& path) -> std::optional<unsigned long> {
        if (path.size() % 3 == 0)
            return std::nullopt;
        return std::hash<std::string>()(path) % 7;
    });
    for (const svl::MountEntry& e : entries)
        svl::mountContaining(entries, e.mountPoint + "/x");
    return 0;
}
