// The worker pool: every item exactly once, thread numbers for per-thread
// scratch, an item's exception carried back to the caller, and a pool that
// goes away right after its last run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "WorkerPool.h"

using stitcher::WorkerPool;

namespace {

// Every item once and on a thread of the pool, over many runs of counts from
// none to many, fewer than the threads among them.
TEST(WorkerPool, RunsEveryItemOnceOnEveryThreadCount) {
    for (int threads : {1, 2, 7}) {
        WorkerPool pool(threads);
        ASSERT_EQ(pool.threads(), threads);
        for (size_t count : {size_t(0), size_t(1), size_t(2), size_t(5), size_t(6), size_t(7), size_t(1000)}) {
            for (int rep = 0; rep < 50; ++rep) {
                std::vector<std::atomic<int>> hits(count + 1);
                std::atomic<int> badIndex{0};
                pool.run(count, [&](size_t i) {
                    hits[i < count ? i : count]++;
                    const int t = pool.threadIndex();
                    if (t < 0 || t >= pool.threads()) badIndex++;
                });
                for (size_t i = 0; i < count; ++i)
                    ASSERT_EQ(hits[i].load(), 1) << threads << " threads, item " << i << " of " << count;
                ASSERT_EQ(hits[count].load(), 0) << "an item past the end ran";
                ASSERT_EQ(badIndex.load(), 0);
            }
        }
    }
}

// As many items as threads, each held until all threads hold one: every
// thread joins the run, and each has its own number.
TEST(WorkerPool, ThreadsRunAtOnceWithDistinctNumbers) {
    const int threads = 7;
    WorkerPool pool(threads);
    for (int rep = 0; rep < 20; ++rep) {
        std::mutex lock;
        std::condition_variable arrived;
        int waiting = 0;
        bool allThere = true;
        std::vector<int> index(threads, -1);
        pool.run(threads, [&](size_t i) {
            std::unique_lock<std::mutex> l(lock);
            index[i] = pool.threadIndex();
            if (++waiting == threads) arrived.notify_all();
            // Bounded, so that a thread that never joins fails the test instead of hanging it.
            if (!arrived.wait_for(l, std::chrono::seconds(10), [&] { return waiting == threads; })) allThere = false;
        });
        ASSERT_TRUE(allThere) << "not every thread took part";
        const std::set<int> distinct(index.begin(), index.end());
        ASSERT_EQ(distinct.size(), size_t(threads));
        ASSERT_EQ(*distinct.begin(), 0);
        ASSERT_EQ(*distinct.rbegin(), threads - 1);
    }
}

// An item that throws, on a worker thread where there is one: the caller
// gets that exception, the items not yet handed out are skipped, and the
// pool runs again as before.
TEST(WorkerPool, ItemExceptionReachesCallerAndPoolRunsOn) {
    for (int threads : {1, 2, 7}) {
        WorkerPool pool(threads);
        for (int rep = 0; rep < 3; ++rep) {
            const size_t count = 1000;
            std::atomic<size_t> started{0};
            try {
                pool.run(count, [&](size_t i) {
                    started++;
                    if (i == 3 || pool.threadIndex() != 0) throw std::runtime_error("item failed");
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                });
                FAIL() << threads << " threads: no exception came back";
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), "item failed");
            }
            EXPECT_LT(started.load(), count / 2) << threads << " threads: items went on after the failure";

            std::vector<std::atomic<int>> hits(count);
            pool.run(count, [&](size_t i) { hits[i]++; });
            for (size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "after a failure, item " << i;
        }
    }
}

// A pool made, run once and destroyed at once, many times: nothing hangs and
// every item has finished when run() returns.
TEST(WorkerPool, DestroyedRightAfterRun) {
    for (int rep = 0; rep < 200; ++rep) {
        std::vector<std::atomic<int>> hits(16);
        {
            WorkerPool pool(rep % 2 ? 7 : 2);
            pool.run(hits.size(), [&](size_t i) {
                if (i % 4 == 1) std::this_thread::sleep_for(std::chrono::microseconds(50));
                hits[i]++;
            });
            for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1);
        }
    }
}

}  // namespace
