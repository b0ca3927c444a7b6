#include "core/scan/Boundaries.h"

namespace svl {

std::unordered_map<std::string, std::string> bindTargets(const std::vector<MountEntry>&,
                                                         const std::vector<std::string>&, bool,
                                                         const DeviceLookup&,
                                                         const std::unordered_map<uint64_t, uint64_t>&) {
    return {};
}

void Boundaries::prepare(const std::vector<std::string>&, bool oneFileSystem, bool) {
    m_oneFileSystem = oneFileSystem;
}

void Boundaries::prepare(const std::vector<std::string>&, bool oneFileSystem, bool, const std::vector<MountEntry>&,
                         const DeviceLookup&) {
    m_oneFileSystem = oneFileSystem;
}

bool Boundaries::onOtherFileSystem(uint64_t, uint64_t) const {
    return false;
}

std::optional<std::string> Boundaries::bindSource(const std::string&, std::string_view) const {
    return std::nullopt;
}

}  // namespace svl
