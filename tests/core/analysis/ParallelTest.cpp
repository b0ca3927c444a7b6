#include "core/analysis/Parallel.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <string>

namespace {

const int kThreadCounts[] = {1, 2, 8, 64};

// Sets the sort thresholds for one test and restores the defaults afterwards.
class ScopedTuning {
public:
    ScopedTuning(uint64_t minParallel, uint64_t minChunk, uint64_t minMergeTask)
        : m_saved(svl::parallelSortTuning()) {
        svl::parallelSortTuning() = {minParallel, minChunk, minMergeTask};
    }
    ~ScopedTuning() { svl::parallelSortTuning() = m_saved; }

private:
    svl::ParallelSortTuning m_saved;
};

struct Record {
    uint32_t key;
    uint32_t id;
};

// A total order, as every comparator of the system: key, then id.
bool recordLess(const Record& a, const Record& b) {
    return a.key != b.key ? a.key < b.key : a.id < b.id;
}

// Shuffled records whose keys repeat often, so the id decides many comparisons.
std::vector<Record> makeRecords(size_t n, uint32_t keys, unsigned seed) {
    std::vector<Record> v(n);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i)
        v[i] = {uint32_t(rng() % keys), uint32_t(i)};
    std::shuffle(v.begin(), v.end(), rng);
    return v;
}

bool sameRecords(const std::vector<Record>& a, const std::vector<Record>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const Record& x, const Record& y) {
               return x.key == y.key && x.id == y.id;
           });
}

void expectSortedLikeStdSort(std::vector<Record> data, const char* what) {
    std::vector<Record> expected = data;
    std::sort(expected.begin(), expected.end(), recordLess);
    svl::parallelMergeSort(data.data(), data.size(), recordLess);
    EXPECT_TRUE(sameRecords(data, expected)) << what << ": n=" << data.size()
                                             << " threads=" << svl::hardwareThreadCount();
}

// Whether the sort of `n` records ran any comparison off the calling thread. With
// `waitForOther`, the caller's first comparison waits (up to 10 s) for one elsewhere, so a
// parallel sort is seen even when the caller could have done every chunk alone.
bool sortUsesOtherThreads(size_t n, bool waitForOther) {
    std::vector<Record> data = makeRecords(n, 1000, 7);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> elsewhere{false};
    bool waited = false;
    svl::parallelMergeSort(data.data(), data.size(), [&](const Record& a, const Record& b) {
        if (std::this_thread::get_id() != caller) {
            elsewhere.store(true);
        } else if (waitForOther && !waited) {
            waited = true;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!elsewhere.load() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
        }
        return recordLess(a, b);
    });
    return elsewhere.load();
}

}  // namespace

TEST(ParallelLoop, EveryIndexExactlyOnce) {
    for (int threads : {0, 1, 2, 3, 8, 64}) {
        svl::ScopedHardwareThreads forced(threads);
        for (uint64_t count : {0, 1, 2, 3, 7, 8, 9, 63, 64, 65, 1000}) {
            std::vector<std::atomic<int>> hits(count);
            svl::parallelFor(count, [&](uint64_t i) { hits[i].fetch_add(1); });
            for (uint64_t block : {1, 3, 64})
                svl::parallelForRanges(count, block, [&](uint64_t begin, uint64_t end) {
                    EXPECT_TRUE(begin < end && end - begin <= block) << begin << ".." << end;
                    for (uint64_t i = begin; i < end; ++i)
                        hits[i].fetch_add(1);
                });
            for (uint64_t i = 0; i < count; ++i)
                ASSERT_EQ(hits[i].load(), 4) << "index " << i << " of " << count << ", threads " << threads;
        }
    }
}

TEST(ParallelLoop, SerialOnTheCallingThread) {
    const std::thread::id caller = std::this_thread::get_id();
    // One thread, a system that reports none, or a single index: in order, on the caller.
    for (auto [threads, count] : {std::pair{1, 50}, std::pair{0, 50}, std::pair{8, 1}}) {
        svl::ScopedHardwareThreads forced(threads);
        std::vector<uint64_t> order;
        bool offCaller = false;
        svl::parallelFor(uint64_t(count), [&](uint64_t i) {
            offCaller |= std::this_thread::get_id() != caller;
            order.push_back(i);
        });
        ASSERT_EQ(order.size(), size_t(count));
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(order[size_t(i)], uint64_t(i));
        EXPECT_FALSE(offCaller);
    }
    svl::ScopedHardwareThreads forced(8);
    bool called = false;
    svl::parallelFor(0, [&](uint64_t) { called = true; });
    EXPECT_FALSE(called);
}

// min(count, H) threads run at once, never more.
TEST(ParallelLoop, ThreadCountFollowsHardwareAndCount) {
    auto peakConcurrency = [](int threads, uint64_t count, int waitFor) {
        svl::ScopedHardwareThreads forced(threads);
        std::atomic<int> running{0};
        std::atomic<int> peak{0};
        std::atomic<int> arrived{0};
        svl::parallelFor(count, [&](uint64_t) {
            const int now = running.fetch_add(1) + 1;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            // Hold on until `waitFor` bodies have arrived, so the ones that can overlap do.
            arrived.fetch_add(1);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (arrived.load() < waitFor && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            running.fetch_sub(1);
        });
        return peak.load();
    };
    EXPECT_EQ(peakConcurrency(4, 4, 4), 4);
    EXPECT_EQ(peakConcurrency(8, 3, 3), 3);
    EXPECT_LE(peakConcurrency(3, 12, 3), 3);
    EXPECT_EQ(peakConcurrency(1, 5, 1), 1);
}

TEST(ParallelLoop, ExceptionFromBodyReachesCaller) {
    for (int threads : kThreadCounts) {
        svl::ScopedHardwareThreads forced(threads);
        std::atomic<int> calls{0};
        EXPECT_THROW(svl::parallelFor(1000, [&](uint64_t i) {
                         calls.fetch_add(1);
                         if (i == 17)
                             throw std::runtime_error("body failed");
                     }),
                     std::runtime_error);
        EXPECT_GE(calls.load(), 18);
        EXPECT_LE(calls.load(), 1000);
    }
}

// With the process out of threads, the calling thread does all the work.
TEST(ParallelLoop, WorkersThatCannotStart) {
    auto body = []() -> int {
        const rlimit none{1, 1};
        if (setrlimit(RLIMIT_NPROC, &none) != 0)
            return 10;
        try {
            std::thread probe([] {});
            probe.join();
            return 77;  // threads still start: nothing to test
        } catch (const std::system_error&) {
        }
        svl::ScopedHardwareThreads forced(8);
        std::vector<int> hits(100, 0);
        svl::parallelFor(100, [&](uint64_t i) { ++hits[i]; });
        if (std::count(hits.begin(), hits.end(), 1) != 100)
            return 11;
        std::vector<Record> data = makeRecords(250000, 1000, 3);
        std::vector<Record> expected = data;
        std::sort(expected.begin(), expected.end(), recordLess);
        svl::parallelMergeSort(data.data(), data.size(), recordLess);
        return sameRecords(data, expected) ? 0 : 12;
    };
    int rc;
    if (hmtest::isRoot()) {
        // The limit is not enforced for root, so the ordinary test account runs it.
        rc = hmtest::runAsTestUser(body);
        if (rc == -1)
            GTEST_SKIP() << "cannot run as the test user";
    } else {
        fflush(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(body());
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        rc = WEXITSTATUS(status);
    }
    if (rc == 77)
        GTEST_SKIP() << "the thread limit did not stop new threads here";
    EXPECT_EQ(rc, 0);
}

TEST(ParallelSortPlan, ChunksAndMergeTasks) {
    const svl::ParallelSortTuning tuning;
    EXPECT_EQ(tuning.minParallelElements, 200000u);
    EXPECT_EQ(tuning.minChunkElements, 50000u);
    EXPECT_EQ(tuning.minMergeTaskElements, 100000u);

    EXPECT_EQ(svl::detail::mergeSortChunkCount(10000000, 8, tuning), 16u);
    EXPECT_EQ(svl::detail::mergeSortChunkCount(200000, 8, tuning), 4u);
    EXPECT_EQ(svl::detail::mergeSortChunkCount(200000, 2, tuning), 4u);
    EXPECT_EQ(svl::detail::mergeSortChunkCount(199999, 8, tuning), 2u);
    EXPECT_EQ(svl::detail::mergeSortChunkCount(99999, 8, tuning), 1u);
    EXPECT_EQ(svl::detail::mergeSortChunkCount(100000000, 64, tuning), 64u);
    EXPECT_EQ(svl::detail::mergeSortChunkCount(100000000, 1000, tuning), 64u);
    EXPECT_EQ(svl::detail::mergeSortChunkCount(100000000, 3, tuning), 8u);

    // Ten million elements on eight threads: 8, 8, 8, 8 tasks in four passes.
    EXPECT_EQ(svl::detail::mergeTasksPerPair(10000000, 8, 8, tuning), 1u);
    EXPECT_EQ(svl::detail::mergeTasksPerPair(10000000, 4, 8, tuning), 2u);
    EXPECT_EQ(svl::detail::mergeTasksPerPair(10000000, 2, 8, tuning), 4u);
    EXPECT_EQ(svl::detail::mergeTasksPerPair(10000000, 1, 8, tuning), 8u);
    // 200 000 on two threads: passes of two pairs (one task each) and one pair (two tasks).
    EXPECT_EQ(svl::detail::mergeTasksPerPair(200000, 2, 2, tuning), 1u);
    EXPECT_EQ(svl::detail::mergeTasksPerPair(200000, 1, 2, tuning), 2u);
    // Tasks stay at 100 000 elements or more.
    EXPECT_EQ(svl::detail::mergeTasksPerPair(250000, 1, 8, tuning), 2u);
    EXPECT_EQ(svl::detail::mergeTasksPerPair(199999, 1, 8, tuning), 1u);
    EXPECT_EQ(svl::detail::mergeTasksPerPair(1000000, 1, 3, tuning), 3u);
}

TEST(ParallelSort, SerialBelowThresholdParallelFromIt) {
    {
        svl::ScopedHardwareThreads forced(8);
        EXPECT_FALSE(sortUsesOtherThreads(199999, false));
        EXPECT_TRUE(sortUsesOtherThreads(200000, true));
    }
    for (int threads : {0, 1}) {
        svl::ScopedHardwareThreads forced(threads);
        EXPECT_FALSE(sortUsesOtherThreads(200000, false));
    }
    // The tuning is read at the start of each sort.
    svl::ScopedHardwareThreads forced(8);
    {
        ScopedTuning tuning(2000, 500, 1000);
        EXPECT_FALSE(sortUsesOtherThreads(1999, false));
        EXPECT_TRUE(sortUsesOtherThreads(2000, true));
    }
    {
        ScopedTuning tuning(2000, 5000, 1000);  // chunks could not hold 5000 each
        EXPECT_FALSE(sortUsesOtherThreads(9999, false));
    }
}

TEST(ParallelSort, DefaultThresholdsMatchStdSort) {
    for (int threads : kThreadCounts) {
        svl::ScopedHardwareThreads forced(threads);
        for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(199999), size_t(200000)})
            expectSortedLikeStdSort(makeRecords(n, 5000, unsigned(n)), "default tuning");
    }
    svl::ScopedHardwareThreads forced(8);
    expectSortedLikeStdSort(makeRecords(400001, 5000, 2), "default tuning");
}

// Small thresholds so that every chunk count and task split is reached with small arrays.
TEST(ParallelSort, AroundEveryThresholdMatchesStdSort) {
    ScopedTuning tuning(1000, 100, 300);
    for (int threads : {1, 2, 3, 8, 64}) {
        svl::ScopedHardwareThreads forced(threads);
        for (size_t n : {size_t(999), size_t(1000), size_t(1001), size_t(1599), size_t(1600), size_t(3200),
                         size_t(6400), size_t(12345)})
            expectSortedLikeStdSort(makeRecords(n, 97, unsigned(n + threads)), "shuffled");
        std::vector<Record> ascending = makeRecords(3001, 97, 1);
        std::sort(ascending.begin(), ascending.end(), recordLess);
        std::vector<Record> descending(ascending.rbegin(), ascending.rend());
        expectSortedLikeStdSort(ascending, "ascending");
        expectSortedLikeStdSort(descending, "descending");
        expectSortedLikeStdSort(makeRecords(3001, 1, 5), "one key");
    }
}

TEST(ParallelSort, ResultIndependentOfThreadCount) {
    ScopedTuning tuning(1000, 100, 300);
    const std::vector<Record> input = makeRecords(20000, 50, 11);
    std::vector<Record> first;
    for (int threads : {1, 2, 7, 64}) {
        svl::ScopedHardwareThreads forced(threads);
        std::vector<Record> data = input;
        svl::parallelMergeSort(data.data(), data.size(), recordLess);
        if (first.empty())
            first = data;
        else
            EXPECT_TRUE(sameRecords(data, first)) << "threads " << threads;
    }
}

// A comparator with ties: any order of equal keys, but sorted and nothing lost.
TEST(ParallelSort, TiesKeepEveryElement) {
    ScopedTuning tuning(1000, 100, 300);
    svl::ScopedHardwareThreads forced(8);
    std::vector<Record> data = makeRecords(30000, 20, 9);
    svl::parallelMergeSort(data.data(), data.size(), [](const Record& a, const Record& b) { return a.key < b.key; });
    EXPECT_TRUE(std::is_sorted(data.begin(), data.end(), [](const Record& a, const Record& b) { return a.key < b.key; }));
    std::vector<uint32_t> ids;
    for (const Record& r : data)
        ids.push_back(r.id);
    std::sort(ids.begin(), ids.end());
    for (size_t i = 0; i < ids.size(); ++i)
        ASSERT_EQ(ids[i], uint32_t(i));
}

// Records that own memory and have no default constructor.
TEST(ParallelSort, RecordsWithoutDefaultConstructor) {
    struct Named {
        explicit Named(std::string n, uint32_t i) : name(std::move(n)), id(i) {}
        std::string name;
        uint32_t id;
    };
    auto less = [](const Named& a, const Named& b) { return a.name != b.name ? a.name < b.name : a.id < b.id; };
    ScopedTuning tuning(1000, 100, 300);
    std::mt19937 rng(4);
    std::vector<Named> data;
    for (uint32_t i = 0; i < 8000; ++i)
        data.emplace_back("name-with-some-length-" + std::to_string(rng() % 3000), i);
    std::vector<Named> expected = data;
    std::sort(expected.begin(), expected.end(), less);
    for (int threads : kThreadCounts) {
        svl::ScopedHardwareThreads forced(threads);
        std::vector<Named> sorted = data;
        svl::parallelMergeSort(sorted.data(), sorted.size(), less);
        ASSERT_EQ(sorted.size(), expected.size());
        for (size_t i = 0; i < sorted.size(); ++i) {
            ASSERT_EQ(sorted[i].name, expected[i].name) << "threads " << threads << " at " << i;
            ASSERT_EQ(sorted[i].id, expected[i].id);
        }
    }
}
