#include "core/scan/RemoteSource.h"

namespace svl {

std::optional<SmbMountInfo> RemoteProvider::findSmbMount(const std::string&) {
    return std::nullopt;
}

int scanRemoteInto(ScanTree&, uint32_t, const std::string&, const std::string&, RemoteSource&, const ScanOptions&,
                   ScanProgress*, double, std::atomic<unsigned long>&) {
    return -1;  // not read yet: the driver walks the folder locally
}

}  // namespace svl
