// A fixed set of worker threads that share out numbered work items: the one
// parallel loop of the stitcher. Made once; each run() hands out items
// 0 .. count-1 to the workers and the calling thread, and returns when all
// are done. Nothing is allocated per run.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace stitcher {

class WorkerPool {
public:
    // `threads` in all, the caller included; 0 means one per core. Where the
    // system starts fewer, the pool makes do with those (see threads()).
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threads() const { return static_cast<int>(workers_.size()) + 1; }

    // Inside an item: which of the pool's threads runs it, in [0, threads()):
    // 1 .. threads() - 1 for the workers, 0 for the thread that called run()
    // (whatever other pool that thread may belong to).
    int threadIndex() const;

    // Calls item(i) once for every i in [0, count), spread over the threads.
    // Items must not depend on each other. When an item throws, no more items
    // are handed out, and once those under way have finished the first
    // exception is thrown here, on the calling thread (none leaves a worker);
    // the pool can run again. One run at a time, and not from inside an item.
    template <class Item>
    void run(size_t count, const Item& item) {
        runItems(count, [](const void* context, size_t i) { (*static_cast<const Item*>(context))(i); }, &item);
    }

private:
    using ItemFunction = void (*)(const void* context, size_t i);
    void runItems(size_t count, ItemFunction function, const void* context);
    void workerLoop();
    void drain();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    ItemFunction function_ = nullptr;
    const void* context_ = nullptr;
    size_t count_ = 0;
    size_t next_ = 0;        // next item to hand out (under mutex_)
    size_t running_ = 0;     // items handed out and not yet finished
    std::exception_ptr failure_;  // the first item that threw in this run
    unsigned generation_ = 0;
    bool stopping_ = false;
};

// Number of threads a request of `threads` means: 0 asks for one per core;
// more than kMaxThreads get kMaxThreads.
constexpr int kMaxThreads = 256;
int resolveThreadCount(int threads);

}  // namespace stitcher
