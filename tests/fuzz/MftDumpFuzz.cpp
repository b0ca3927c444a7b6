// Opens and loads arbitrary bytes as an MFT dump file: every input must give an error text or a
// (partial) tree, never a crash, a hang or a leak. The input is served through a memory file;
// inputs shorter than the smallest dump are also tried padded with zeros so that short inputs
// reach the record parser.
#include "core/rawindex/MftDump.h"
#include "core/rawindex/NtfsIndex.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

void loadBytes(const uint8_t* data, size_t size) {
    const int fd = memfd_create("mft-dump-fuzz", MFD_CLOEXEC);
    if (fd < 0)
        return;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::string error;
    svl::MftFileInfo info;
    svl::ScanProgress progress;
    auto tree = svl::loadMftFile(path, svl::ScanOptions{}, &progress, &info, &error);
    // Walk the result as a view would: every child id and name must be readable.
    for (uint32_t id = 0; id < tree->nodeCount; ++id) {
        const svl::ScanNode& n = tree->node(id);
        if (n.childCount != 0 && (n.firstChild <= id || uint64_t(n.firstChild) + n.childCount > tree->nodeCount))
            __builtin_trap();
        if (n.name && n.name[n.nameLength] != '\0')
            __builtin_trap();
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    loadBytes(data, size);
    if (size < 4096) {
        std::vector<uint8_t> padded(data, data + size);
        padded.resize(4096, 0);
        loadBytes(padded.data(), padded.size());
    }
    return 0;
}
