#include "core/analysis/ExtensionStats.h"

#include "core/analysis/ExtensionOf.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "core/analysis/Parallel.h"
#include "core/tree/ScanTree.h"
#include "core/tree/Saturating.h"

namespace svl {

namespace {

constexpr uint64_t kChunkNodes = 65536;
constexpr size_t kShortExtension = 16;

struct Sums {
    uint64_t size = 0;
    uint64_t allocated = 0;
    uint64_t files = 0;

    void add(const Sums& o) {
        size = saturatingAdd(size, o.size);
        allocated = saturatingAdd(allocated, o.allocated);
        files += o.files;
    }
};

// An extension of up to 16 bytes packed into two words, byte i at bits 8i of k0 (then k1).
struct ShortKey {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
    bool operator==(const ShortKey&) const = default;
};

struct ShortKeyHash {
    size_t operator()(const ShortKey& k) const {
        uint64_t h = (k.k1 * 0xC2B2AE3D27D4EB4FULL + 0x397E0E979C47917BULL) ^ (k.k0 * 0x9E3779B97F4A7C15ULL);
        return size_t(h ^ (h >> 29));
    }
};

using ShortTable = std::unordered_map<ShortKey, Sums, ShortKeyHash>;
using LongTable = std::unordered_map<std::string, Sums>;

struct ChunkTables {
    ShortTable shortTable;
    LongTable longTable;
};

std::string shortKeyText(const ShortKey& key) {
    std::string text;
    for (size_t i = 0; i < kShortExtension; ++i) {
        const uint64_t word = i < 8 ? key.k0 : key.k1;
        const char c = char((word >> (8 * (i % 8))) & 0xFF);
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

void countChunk(const ScanTree& tree, uint64_t begin, uint64_t end, ChunkTables& tables) {
    for (uint64_t id = begin; id < end; ++id) {
        const ScanNode& node = tree.nodes[id];
        if (node.flags & (NodeFlag::Folder | NodeFlag::Removed))
            continue;
        const std::string_view ext = rawExtension(node.nameView());
        Sums* sums;
        if (ext.size() <= kShortExtension) {
            ShortKey key;
            for (size_t i = 0; i < ext.size(); ++i) {
                const uint64_t c = static_cast<unsigned char>(lowerAscii(ext[i]));
                if (i < 8)
                    key.k0 |= c << (8 * i);
                else
                    key.k1 |= c << (8 * (i - 8));
            }
            sums = &tables.shortTable[key];
        } else {
            std::string key(ext);
            for (char& c : key)
                c = lowerAscii(c);
            sums = &tables.longTable[key];
        }
        sums->size = saturatingAdd(sums->size, node.size);
        if (!(node.flags & NodeFlag::ExtraHardLink))
            sums->allocated = saturatingAdd(sums->allocated, node.allocated);
        sums->files += 1;
    }
}

}  // namespace

std::vector<ExtensionStat> computeExtensionStats(const ScanTree& tree) {
    const uint64_t n = tree.nodeCount;
    const uint64_t chunks = (n + kChunkNodes - 1) / kChunkNodes;
    std::vector<ChunkTables> tables(chunks);
    parallelFor(chunks, [&](uint64_t k) {
        countChunk(tree, k * kChunkNodes, std::min(n, (k + 1) * kChunkNodes), tables[k]);
    });

    ShortTable shortTotals;
    LongTable longTotals;
    for (ChunkTables& chunk : tables) {
        for (const auto& [key, sums] : chunk.shortTable)
            shortTotals[key].add(sums);
        for (const auto& [key, sums] : chunk.longTable)
            longTotals[key].add(sums);
        chunk = ChunkTables();
    }

    std::vector<ExtensionStat> result;
    result.reserve(shortTotals.size() + longTotals.size());
    for (const auto& [key, sums] : shortTotals)
        result.push_back({shortKeyText(key), sums.size, sums.allocated, sums.files});
    for (const auto& [key, sums] : longTotals)
        result.push_back({key, sums.size, sums.allocated, sums.files});
    std::sort(result.begin(), result.end(), [](const ExtensionStat& x, const ExtensionStat& y) {
        if (x.allocated != y.allocated)
            return x.allocated > y.allocated;
        return std::string_view(x.extension) < std::string_view(y.extension);
    });
    return result;
}

}  // namespace svl
