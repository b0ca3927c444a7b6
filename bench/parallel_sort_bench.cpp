// Parallel merge sort benchmark: milliseconds of svl::parallelMergeSort against std::sort for
// records ordered by a key and then by id (as the file list sorts node ids), for several array
// sizes and hardware thread counts (forced through svl::ScopedHardwareThreads). Best of R runs.
//
//   bench_parallel_sort_bench [--runs R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "core/analysis/Parallel.h"

namespace {

struct Record {
    uint64_t key;
    uint32_t id;
};

bool recordLess(const Record& a, const Record& b) {
    return a.key != b.key ? a.key < b.key : a.id < b.id;
}

template <class Sort>
double bestMilliseconds(const std::vector<Record>& input, int runs, Sort sort) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        std::vector<Record> data = input;
        const auto start = std::chrono::steady_clock::now();
        sort(data);
        const auto end = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(end - start).count());
        if (!std::is_sorted(data.begin(), data.end(), recordLess)) {
            std::fprintf(stderr, "result not sorted\n");
            std::exit(1);
        }
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
    }
    const unsigned hw = std::thread::hardware_concurrency();
    std::printf("hardware threads: %u, best of %d runs\n\n", hw, runs);
    std::printf("%12s %8s %12s %12s %8s\n", "elements", "threads", "std::sort", "parallel", "speedup");
    std::mt19937_64 rng(42);
    for (size_t n : {size_t(100000), size_t(1000000), size_t(10000000)}) {
        std::vector<Record> input(n);
        for (size_t i = 0; i < n; ++i)
            input[i] = {rng() % (n / 4 + 1), uint32_t(i)};
        std::shuffle(input.begin(), input.end(), rng);
        const double serial = bestMilliseconds(input, runs, [](std::vector<Record>& d) {
            std::sort(d.begin(), d.end(), [](const Record& a, const Record& b) { return recordLess(a, b); });
        });
        for (int threads : {1, 2, 4, 8, 16}) {
            svl::ScopedHardwareThreads forced(threads);
            const double parallel = bestMilliseconds(input, runs, [](std::vector<Record>& d) {
                svl::parallelMergeSort(d.data(), d.size(), [](const Record& a, const Record& b) { return recordLess(a, b); });
            });
            std::printf("%12zu %8d %10.1f ms %9.1f ms %7.2fx\n", n, threads, serial, parallel, serial / parallel);
        }
    }
    return 0;
}
