#pragma once

#include <mutex>

// Counts the holders of a process-wide resource that the first holder starts
// and the last one ends, so that ending one user never ends another's.
class SharedReferences {
public:
    // Counts the caller in; with no holders yet, only when start() succeeds.
    template <class Start>
    bool acquire(Start&& start) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == 0 && !start()) return false;
        ++count_;
        return true;
    }
    // Counts one holder out; end() runs when it was the last.
    template <class End>
    void release(End&& end) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == 0) return;
        if (--count_ == 0) end();
    }
    // Runs f(count) with the count held still.
    template <class F>
    auto withCount(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(count_);
    }
    int count() {
        return withCount([](int n) { return n; });
    }

private:
    std::mutex mutex_;
    int count_ = 0;
};
