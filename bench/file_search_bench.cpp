// The file view's search (runSearch) over a synthetic tree of about ten million nodes:
// empty text, a name substring, a full-path term, duplicate detection on its first run
// and with the index reused, and every file sorted by name; then how long a superseded
// search takes to stop after its generation is bumped at several moments of its work.
// Usage: bench_file_search_bench [node count, default 10000000]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench/SyntheticTree.h"
#include "core/analysis/Parallel.h"
#include "ui/views/FileSearch.h"

namespace {

constexpr int kRounds = 3;  // best of three, the machine may be shared

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

SearchParams request(const char* text, bool entirePath, int64_t maxFiles, int sortColumn, int dupMethod) {
    SearchParams p;
    p.text = text;
    p.matchEntirePath = entirePath;
    p.folders = true;
    p.maxFiles = maxFiles;
    p.sortColumn = sortColumn;
    p.sortOrder = sortColumn == 0 ? 0 : 1;
    p.dupMethod = dupMethod;
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t target = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
    auto start = std::chrono::steady_clock::now();
    const auto tree = bench::syntheticTree(target, 4);
    std::printf("tree: %u nodes built in %.2f s (every 4 consecutive files are copies); %u hardware threads; "
                "best of %d runs\n\n",
                tree->nodeCount, secondsSince(start), svl::hardwareThreadCount(), kRounds);

    std::atomic<int> counter{1};
    std::shared_ptr<const svl::DuplicateIndex> cached;
    struct Case {
        const char* label;
        SearchParams params;
        bool reuseIndex;
    };
    const Case cases[] = {
        {"empty text, limit 1000", request("", false, 1000, 4, 0), false},
        {"name substring, limit 1000", request("report", false, 1000, 4, 0), false},
        {"full-path term, limit 1000", request("d3/d1", false, 1000, 4, 0), false},
        {"duplicates, first run", request("", false, 1000, 4, 2), false},
        {"duplicates, index reused", request("", false, 1000, 4, 2), true},
        {"limit ALL sorted by name", request("", false, -1, 0, 0), false},
    };
    std::printf("%-32s %10s %10s %10s\n", "search", "matches", "listed", "seconds");
    for (const Case& c : cases) {
        double best = 1e9;
        SearchResult result;
        size_t matches = 0;
        for (int round = 0; round < kRounds; ++round) {
            SearchParams params = c.params;
            if (c.reuseIndex)
                params.cachedDuplicates = cached;
            start = std::chrono::steady_clock::now();
            if (!runSearch(*tree, params, counter, 1, result)) {
                std::printf("%s: run did not complete\n", c.label);
                return 1;
            }
            best = std::min(best, secondsSince(start));
        }
        if (result.duplicatesComputed)
            cached = result.duplicates;
        SearchParams all = c.params;
        all.maxFiles = -1;
        all.cachedDuplicates = cached;
        SearchResult full;
        if (runSearch(*tree, all, counter, 1, full))
            matches = full.ids.size();
        std::printf("%-32s %10zu %10zu %10.3f\n", c.label, matches, result.ids.size(), best);
    }
    if (cached)
        std::printf("(duplicate groups: %zu)\n", cached->groups.size());

    // A superseded run: bump the generation after `delay` and time until runSearch returns.
    std::printf("\n%-44s %10s %14s\n", "superseded search", "bumped at", "stopped after");
    struct StopCase {
        const char* label;
        SearchParams params;
        int delayMs;
    };
    const StopCase stops[] = {
        {"name substring, ALL by name (matching)", request("report", false, -1, 0, 0), 5},
        {"every file, ALL by name (sorting)", request("", false, -1, 0, 0), 600},
        {"regular expression, limit 1000", request("\\^img_\\d+1\\.jpg$", false, 1000, 4, 0), 20},
        {"full-path bitmap, limit 1000", request("photos notes", true, 1000, 4, 0), 20},
        {"duplicate detection", request("", false, 1000, 4, 2), 100},
    };
    for (const StopCase& s : stops) {
        double worst = 0;
        for (int round = 0; round < kRounds; ++round) {
            std::atomic<int> shared{1};
            std::atomic<bool> done{false};
            std::chrono::steady_clock::time_point finished;
            bool completed = false;
            std::thread worker([&] {
                SearchResult r;
                completed = runSearch(*tree, s.params, shared, 1, r);
                finished = std::chrono::steady_clock::now();
                done = true;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(s.delayMs));
            const auto bumped = std::chrono::steady_clock::now();
            shared.fetch_add(1);
            worker.join();
            if (completed || finished < bumped) {
                std::printf("%-44s finished before the bump\n", s.label);
                continue;
            }
            worst = std::max(worst, std::chrono::duration<double>(finished - bumped).count());
        }
        std::printf("%-44s %8d ms %11.1f ms (worst)\n", s.label, s.delayMs, worst * 1000);
    }
    return 0;
}
