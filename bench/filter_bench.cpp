// Filter evaluation over a synthetic tree of about ten million nodes: the match bitmap
// for a name substring, an extension list, a full-path term and a regular expression,
// and the filtered tree copy, each on one thread and on all cores.
// Usage: bench_filter_bench [node count, default 10000000]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/QtRegexMatcher.h"
#include "core/analysis/MatchBitmap.h"
#include "core/analysis/Parallel.h"
#include "bench/SyntheticTree.h"
#include "core/tree/ScanTree.h"

namespace {

constexpr int kRounds = 3;  // best of three, the machine may be shared

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t target = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
    auto start = std::chrono::steady_clock::now();
    const auto tree = bench::syntheticTree(target);
    std::printf("tree: %u nodes built in %.2f s; %u hardware threads; best of %d runs\n\n", tree->nodeCount, seconds(start),
                svl::hardwareThreadCount(), kRounds);

    const svl::RegexFactory factory = qtRegexFactory();
    struct Case {
        const char* label;
        const char* text;
        bool fullPath;
    };
    const Case cases[] = {
        {"name substring", "report", false},
        {"extension list", "*.jpg|*.png|*.gif", false},
        {"full-path term", "d3/d1", false},
        {"full-path substrings", "photos notes", true},
        {"regular expression", "\\^img_\\d+1\\.jpg$", false},
    };
    const unsigned all = svl::hardwareThreadCount();
    std::printf("%-28s %9s %10s %10s %8s %9s %10s\n", "operation", "matches", "1 thread", "all cores", "speed-up",
                "cores busy", "Mnodes/s");
    for (const Case& c : cases) {
        const svl::Filter filter = svl::decodeFilterText(c.text, c.fullPath, &factory);
        const svl::FilterSource source = [&filter] { return filter.freshCopy(); };
        double times[2] = {1e9, 1e9};
        double busy = 0;  // processor seconds per wall second of the best parallel run
        uint64_t matches = 0;
        for (int t = 0; t < 2; ++t)
            for (int round = 0; round < kRounds; ++round) {
                svl::ScopedHardwareThreads threads(t == 0 ? 1 : int(all));
                const double cpu = cpuSeconds();
                start = std::chrono::steady_clock::now();
                const std::vector<uint8_t> bits = svl::matchBitmap(*tree, source, nullptr, 0, svl::kFilterSliceSize);
                const double wall = seconds(start);
                if (wall < times[t]) {
                    times[t] = wall;
                    if (t == 1)
                        busy = (cpuSeconds() - cpu) / wall;
                }
                matches = 0;
                for (uint8_t b : bits)
                    matches += b;
            }
        std::printf("%-28s %9llu %9.3fs %9.3fs %7.1fx %9.1f %10.1f\n", (std::string("bitmap: ") + c.label).c_str(),
                    (unsigned long long)matches, times[0], times[1], times[0] / times[1], busy,
                    tree->nodeCount / times[1] / 1e6);
    }
    const svl::Filter include = svl::decodeFilterText("*.jpg|*.png", false, &factory);
    const svl::Filter exclude = svl::decodeFilterText("d5", false, &factory);
    double times[2] = {1e9, 1e9};
    uint32_t kept = 0;
    for (int t = 0; t < 2; ++t)
        for (int round = 0; round < kRounds; ++round) {
            svl::ScopedHardwareThreads threads(t == 0 ? 1 : int(all));
            start = std::chrono::steady_clock::now();
            const auto out = svl::filterTree(*tree, &include, &exclude);
            times[t] = std::min(times[t], seconds(start));
            kept = out->nodeCount;
        }
    std::printf("%-28s %9u %9.3fs %9.3fs %7.1fx %9s %10.1f\n", "filterTree: include+exclude", kept, times[0],
                times[1], times[0] / times[1], "-", tree->nodeCount / times[1] / 1e6);
    return 0;
}
