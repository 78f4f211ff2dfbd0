#include "WorkerPool.h"

namespace stitcher {

namespace {
// The pool a worker thread belongs to, and its place there.
thread_local const WorkerPool* tPool = nullptr;
thread_local int tThreadIndex = 0;
}  // namespace

int WorkerPool::threadIndex() const { return tPool == this ? tThreadIndex : 0; }

int resolveThreadCount(int threads) {
    if (threads > 0) return threads < kMaxThreads ? threads : kMaxThreads;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? static_cast<int>(cores) : 1;
}

WorkerPool::WorkerPool(int threads) {
    const int n = resolveThreadCount(threads);
    workers_.reserve(static_cast<size_t>(n - 1));
    try {
        for (int i = 1; i < n; ++i)
            workers_.emplace_back([this, i] {
                tPool = this;
                tThreadIndex = i;
                workerLoop();
            });
    } catch (...) {
        // No more threads to be had: the ones started share the work.
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void WorkerPool::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (next_ < count_) {
        const size_t i = next_++;
        ++running_;
        const ItemFunction function = function_;
        const void* context = context_;
        lock.unlock();
        std::exception_ptr failure;
        try {
            function(context, i);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        if (failure) {
            if (!failure_) failure_ = std::move(failure);
            next_ = count_;  // hand out no more
        }
        if (--running_ == 0 && next_ == count_) done_.notify_all();
    }
}

void WorkerPool::workerLoop() {
    unsigned seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
        }
        drain();
    }
}

void WorkerPool::runItems(size_t count, ItemFunction function, const void* context) {
    if (count == 0) return;
    if (workers_.empty() || count == 1) {
        for (size_t i = 0; i < count; ++i) function(context, i);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        function_ = function;
        context_ = context;
        count_ = count;
        next_ = 0;
        ++generation_;
    }
    wake_.notify_all();
    drain();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return next_ == count_ && running_ == 0; });
    function_ = nullptr;
    context_ = nullptr;
    count_ = 0;
    next_ = 0;
    std::exception_ptr failure = std::move(failure_);
    failure_ = nullptr;
    lock.unlock();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace stitcher
