#include "core/analysis/Duplicates.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "core/analysis/LargeArray.h"
#include "core/analysis/Parallel.h"
#include "core/tree/ScanTree.h"

namespace svl {

namespace {

constexpr uint64_t kSliceNodes = 65536;
constexpr size_t kBuckets = 256;

bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

unsigned char lowerAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// b[from, to) is 1 to 9 ASCII digits with a value other than 0.
bool isCopyNumber(const unsigned char* b, size_t from, size_t to) {
    if (to <= from || to - from > 9)
        return false;
    bool nonZero = false;
    for (size_t i = from; i < to; ++i) {
        if (!isDigit(b[i]))
            return false;
        nonZero |= b[i] != '0';
    }
    return nonZero;
}

// b[at, at + word.size()) equals `word`, ASCII letters in any case (word is lower case).
bool matchesFolded(const unsigned char* b, size_t at, std::string_view word) {
    for (size_t i = 0; i < word.size(); ++i)
        if (lowerAscii(b[at + i]) != static_cast<unsigned char>(word[i]))
            return false;
    return true;
}

// End of the stem once the copy suffixes are removed, for a stem b[0, s).
size_t strippedStemEnd(const unsigned char* b, size_t s) {
    if (s < 4)
        return s;
    // " (N)", with the nearest '(' before the final ')'
    if (b[s - 1] == ')') {
        size_t open = s - 1;
        while (open > 0 && b[open] != '(')
            --open;
        if (b[open] == '(' && open >= 1 && b[open - 1] == ' ' && isCopyNumber(b, open + 1, s - 1))
            s = open - 1;
    }
    // " - copy"
    if (s >= 7 && matchesFolded(b, s - 7, " - copy"))
        s -= 7;
    // " copy"
    if (s >= 5 && matchesFolded(b, s - 5, " copy"))
        return s - 5;
    // " copy N", only the last " copy " is examined
    if (s >= 6) {
        for (size_t k = s - 6 + 1; k-- > 0;) {
            if (matchesFolded(b, k, " copy ")) {
                if (isCopyNumber(b, k + 6, s))
                    s = k;
                break;
            }
        }
    }
    return s;
}

struct NameHasher {
    uint64_t a = 0xcbf29ce484222325ULL;
    uint64_t b = 0x84222325cbf29ce4ULL;

    void add(const unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const uint64_t c = lowerAscii(p[i]);
            a = (a ^ c) * 0x100000001b3ULL;
            b = (b + c + 1) * 0x9e3779b97f4a7c15ULL;
            b ^= b >> 29;
        }
    }
};

bool cancelled(const std::atomic<int32_t>* cancel, int32_t generation) {
    return cancel && cancel->load(std::memory_order_relaxed) != generation;
}

struct KeyLess {
    bool operator()(const DuplicateRecord& x, const DuplicateRecord& y) const {
        if (x.keyA != y.keyA)
            return x.keyA < y.keyA;
        if (x.keyB != y.keyB)
            return x.keyB < y.keyB;
        return x.id < y.id;
    }
};

}  // namespace

void duplicateNameKey(uint16_t length, const char* name, uint64_t& partA, uint64_t& partB) {
    const auto* b = reinterpret_cast<const unsigned char*>(name);
    const size_t len = length;
    size_t dot = len;
    for (size_t i = len; i-- > 0;) {
        if (b[i] == '.') {
            dot = i;
            break;
        }
    }
    const size_t stemEnd = strippedStemEnd(b, dot);
    NameHasher h;
    h.add(b, stemEnd);
    h.add(b + dot, len - dot);
    partA = splitMix64(h.a);
    partB = splitMix64(h.b);
}

DuplicateIndex detectDuplicates(const ScanTree& tree, DuplicateMethod method, const std::atomic<int32_t>* cancel,
                                int32_t generation) {
    const uint64_t n = tree.nodeCount;
    if (method == DuplicateMethod::None || n == 0)
        return {};
    const bool withDate = method == DuplicateMethod::NameSizeDate;
    const uint64_t slices = (n + kSliceNodes - 1) / kSliceNodes;

    // Collection: one record per candidate file, per slice in id order. Slice s fills its own
    // part of one array (from s x 65536), so no slice grows a vector of its own.
    auto collected = std::make_unique<LargeArray<DuplicateRecord>>(n);
    std::vector<uint64_t> collectedCount(slices, 0);
    parallelFor(slices, [&](uint64_t s) {
        if (cancelled(cancel, generation))
            return;
        const uint32_t begin = uint32_t(s * kSliceNodes);
        const uint32_t end = uint32_t(std::min(n, (s + 1) * kSliceNodes));
        DuplicateRecord* out = collected->get() + begin;
        for (uint32_t id = begin; id < end; ++id) {
            const ScanNode& node = tree.nodes[id];
            if ((node.flags & (NodeFlag::Folder | NodeFlag::Removed)) || node.size == 0)
                continue;
            uint64_t a = 0, b = 0;
            duplicateNameKey(node.name ? node.nameLength : 0, node.name, a, b);
            uint64_t keyA = splitMix64((node.size * 0x9e3779b97f4a7c15ULL) ^ a);
            if (withDate)
                keyA = splitMix64(keyA ^ uint64_t(node.modified));
            *out++ = {keyA, b, node.modified, id};
        }
        collectedCount[s] = uint64_t(out - (collected->get() + begin));
    });
    if (cancelled(cancel, generation))
        return {};
    auto sliceRecords = [&](uint64_t s) {
        const DuplicateRecord* first = collected->get() + s * kSliceNodes;
        return std::pair(first, first + collectedCount[s]);
    };

    // Counting: per slice, records per bucket (top 8 bits of keyA).
    std::vector<std::array<uint64_t, kBuckets>> counts(slices);
    parallelFor(slices, [&](uint64_t s) {
        std::array<uint64_t, kBuckets>& row = counts[s];
        row.fill(0);
        for (auto [r, end] = sliceRecords(s); r != end; ++r)
            ++row[r->keyA >> 56];
    });

    // Offsets: bucket-major, slice-minor, so each bucket holds its records in id order.
    std::array<uint64_t, kBuckets + 1> bucketStart{};
    uint64_t total = 0;
    for (size_t bucket = 0; bucket < kBuckets; ++bucket) {
        bucketStart[bucket] = total;
        for (uint64_t s = 0; s < slices; ++s) {
            const uint64_t c = counts[s][bucket];
            counts[s][bucket] = total;
            total += c;
        }
    }
    bucketStart[kBuckets] = total;
    if (total <= 1)
        return {};

    // Every position is written by the scatter, so the array is left uninitialised.
    auto all = std::make_unique<LargeArray<DuplicateRecord>>(total);
    parallelFor(slices, [&](uint64_t s) {
        std::array<uint64_t, kBuckets>& next = counts[s];
        for (auto [r, end] = sliceRecords(s); r != end; ++r)
            (*all)[next[r->keyA >> 56]++] = *r;
    });
    collected.reset();
    if (cancelled(cancel, generation))
        return {};

    // Buckets: sort by key and cut runs of equal keys into groups.
    std::vector<std::vector<std::vector<uint32_t>>> bucketGroups(kBuckets);
    parallelFor(kBuckets, [&](uint64_t bucket) {
        DuplicateRecord* first = all->get() + bucketStart[bucket];
        DuplicateRecord* last = all->get() + bucketStart[bucket + 1];
        if (last - first < 2 || cancelled(cancel, generation))
            return;
        std::sort(first, last, KeyLess());
        for (DuplicateRecord* run = first; run != last;) {
            DuplicateRecord* runEnd = run + 1;
            while (runEnd != last && runEnd->keyA == run->keyA && runEnd->keyB == run->keyB)
                ++runEnd;
            if (runEnd - run >= 2) {
                if (!withDate)
                    std::sort(run, runEnd, [](const DuplicateRecord& x, const DuplicateRecord& y) {
                        return x.modified != y.modified ? x.modified < y.modified : x.id < y.id;
                    });
                std::vector<uint32_t> group;
                group.reserve(size_t(runEnd - run));
                for (const DuplicateRecord* r = run; r != runEnd; ++r)
                    group.push_back(r->id);
                bucketGroups[bucket].push_back(std::move(group));
            }
            run = runEnd;
        }
    });
    if (cancelled(cancel, generation))
        return {};
    all.reset();

    // Number the groups by their smallest member, so the result is independent of buckets and threads.
    struct GroupRef {
        uint32_t smallest;
        std::vector<uint32_t>* members;
    };
    std::vector<GroupRef> order;
    for (auto& list : bucketGroups)
        for (auto& group : list)
            order.push_back({*std::min_element(group.begin(), group.end()), &group});
    std::sort(order.begin(), order.end(),
              [](const GroupRef& x, const GroupRef& y) { return x.smallest < y.smallest; });

    DuplicateIndex index;
    index.groupOf.reserve(n);
    adviseHugePages(index.groupOf.data(), n * sizeof(uint32_t));
    index.groupOf.assign(n, DuplicateIndex::kNoGroup);
    index.groups.reserve(order.size());
    for (const GroupRef& ref : order) {
        const uint32_t number = uint32_t(index.groups.size());
        for (uint32_t id : *ref.members)
            index.groupOf[id] = number;
        index.groups.push_back(std::move(*ref.members));
    }
    return index;
}

}  // namespace svl
