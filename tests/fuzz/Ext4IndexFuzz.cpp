// Opens and loads arbitrary bytes as an ext2/3/4 volume, then walks whatever loaded. The bytes
// are served from an in-memory file, so the reader sees them exactly as a device.
#include "core/rawindex/Ext4Index.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("ext4fuzz", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            ::close(fd);
            return 0;
        }
        done += size_t(n);
    }
    std::string error;
    auto index = svl::Ext4Index::openDescriptor(fd, "fuzz", &error);
    if (!index) {
        if (error.empty())
            __builtin_trap();  // every refusal has a text
        return 0;
    }
    if (!index->load(nullptr, {}, &error))
        return 0;
    if (index->isPartial())
        __builtin_trap();  // no cancel was asked for

    std::vector<uint64_t> queue{index->rootId()};
    std::unordered_set<uint64_t> seen;
    std::vector<svl::RawChild> children;
    while (!queue.empty()) {
        uint64_t id = queue.back();
        queue.pop_back();
        if (!seen.insert(id).second || !index->children(id, &children))
            continue;
        for (const svl::RawChild& child : children) {
            if (child.nameLength == 0 || child.name[child.nameLength] != '\0')
                __builtin_trap();
            svl::RawStat record;
            if (index->stat(child.id, &record) && record.folderIndex != 0xFFFFFFFFu)
                queue.push_back(child.id);
        }
    }
    return 0;
}
