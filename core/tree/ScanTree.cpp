#include "core/tree/ScanTree.h"

#include "core/tree/Saturating.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace svl {

namespace {

// Reserves address space only; pages appear (zeroed) when first touched.
void* reserve(uint64_t& bytes, int tries) {
    for (int i = 0; i < tries; ++i) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p != MAP_FAILED)
            return p;
        if (i + 1 < tries)
            bytes /= 2;
    }
    return nullptr;
}

}  // namespace

ScanTree::ScanTree() {
    uint64_t nodeBytes = kNodeReservationRecords * sizeof(ScanNode);
    void* n = reserve(nodeBytes, kNodeReservationTries);
    if (!n)
        throw std::bad_alloc();
    uint64_t nameBytes = kNameReservationBytes;
    void* s = reserve(nameBytes, kNameReservationTries);
    if (!s) {
        munmap(n, nodeBytes);
        throw std::bad_alloc();
    }
    nodes = static_cast<ScanNode*>(n);
    nodeReserved = nodeBytes;
    names = static_cast<char*>(s);
    nameReserved = nameBytes;
}

ScanTree::~ScanTree() {
    if (nodes)
        munmap(nodes, nodeReserved);
    if (names)
        munmap(names, nameReserved);
}

uint32_t ScanTree::allocateNodes(uint32_t count) {
    const uint64_t bytes = uint64_t(count) * sizeof(ScanNode);
    const uint64_t old = nodeUsed.fetch_add(bytes);
    if (old + bytes > nodeReserved) {
        // Remember where claims started failing so nodeCount never covers a block nobody wrote.
        uint64_t seen = m_nodeFailedAt.load();
        while (old < seen && !m_nodeFailedAt.compare_exchange_weak(seen, old)) {
        }
        throw std::bad_alloc();
    }
    return uint32_t(old / sizeof(ScanNode));
}

char* ScanTree::allocateNames(uint64_t bytes) {
    const uint64_t old = nameUsed.fetch_add(bytes);
    if (old + bytes > nameReserved)
        throw std::bad_alloc();
    return names + old;
}

const char* ScanTree::storeName(std::string_view name) {
    char* p = allocateNames(name.size() + 1);
    if (!name.empty())
        std::memcpy(p, name.data(), name.size());
    p[name.size()] = '\0';
    return p;
}

void ScanTree::finishNodeCount() {
    const uint64_t used = std::min({nodeUsed.load(), nodeReserved, m_nodeFailedAt.load()});
    nodeCount = uint32_t(used / sizeof(ScanNode));
}

void ScanTree::computeTotals() {
    const uint32_t n = nodeCount;
    newestTimes.assign(n, 0);
    for (uint32_t i = 0; i < n; ++i)
        newestTimes[i] = nodes[i].modified;
    std::vector<int64_t> fileNewest(n, std::numeric_limits<int64_t>::min());
    for (uint32_t id = n; id-- > 1;) {
        const ScanNode& c = nodes[id];
        const uint32_t p = c.parent;
        ScanNode& parent = nodes[p];
        const int64_t t = c.isFolder() ? fileNewest[id] : c.modified;
        if (fileNewest[p] < t)
            fileNewest[p] = t;
        newestTimes[p] = std::max(parent.modified, fileNewest[p]);
        parent.size = saturatingAdd(parent.size, c.size);
        if (!(c.flags & NodeFlag::ExtraHardLink))
            parent.allocated = saturatingAdd(parent.allocated, c.allocated);
        if (c.isFolder()) {
            parent.filesBelow += c.filesBelow;
            parent.foldersBelow += c.foldersBelow + 1;
        } else {
            parent.filesBelow += 1;
        }
    }
}

}  // namespace svl
