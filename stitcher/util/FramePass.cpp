#include "FramePass.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

namespace stitcher {

namespace {

const Status kInterrupted(kExitInterrupted, "interrupted");

// Items handed between the reading thread and the consumer; close() ends
// the waiting on both sides.
class Hand {
public:
    void push(std::unique_ptr<FrameItem> item) {
        std::lock_guard<std::mutex> hold(lock_);
        items_.push_back(std::move(item));
        moved_.notify_all();
    }
    // Null once closed and empty.
    std::unique_ptr<FrameItem> pop() {
        std::unique_lock<std::mutex> hold(lock_);
        moved_.wait(hold, [&] { return closed_ || !items_.empty(); });
        if (items_.empty()) return nullptr;
        std::unique_ptr<FrameItem> item = std::move(items_.front());
        items_.pop_front();
        return item;
    }
    void close() {
        std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
        items_.clear();
        moved_.notify_all();
    }
    // Closes for the consumer once it has taken what is there.
    void end() {
        std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
        moved_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable moved_;
    std::deque<std::unique_ptr<FrameItem>> items_;
    bool closed_ = false;
};

}  // namespace

SampledFrames::SampledFrames(std::vector<long long> numbers, int width, int height, Read read)
    : numbers_(std::move(numbers)), bytes_(static_cast<size_t>(width) * static_cast<size_t>(height) * 3),
      read_(std::move(read)) {}

Status SampledFrames::next(FrameItem& item) {
    if (ended()) return Status(kExitFailed, "no frame left to sample");
    item.frame = numbers_[at_++];
    item.picture.resize(bytes_);
    item.damaged = !read_(item.frame, item.picture.data());
    return Status();
}

Status readFrames(FrameSource& source, const std::atomic<bool>& interrupted,
                  const std::function<std::unique_ptr<FrameItem>()>& take,
                  const std::function<bool(std::unique_ptr<FrameItem>)>& put) {
    return guarded([&] {
        while (!interrupted) {
            std::unique_ptr<FrameItem> item = take();
            if (!item || source.ended()) return Status();
            const Status st = source.next(*item);
            if (!st.ok()) return st;
            if (!put(std::move(item))) return Status();
        }
        return kInterrupted;
    });
}

Status walkFrames(FrameSource& source, const std::atomic<bool>& interrupted,
                  const std::function<Status(FrameItem&)>& each, int items) {
    Hand empty, decoded;
    Status read, used;
    const Status made = guarded([&] {
        for (int i = 0; i < items; ++i) empty.push(std::make_unique<FrameItem>());
        return Status();
    });
    if (!made.ok()) return made;
    auto reading = [&] {
        read = readFrames(source, interrupted, [&] { return empty.pop(); },
                          [&](std::unique_ptr<FrameItem> item) {
                              decoded.push(std::move(item));
                              return true;
                          });
        decoded.end();
    };
    std::thread reader;
    try {
        reader = std::thread(reading);
    } catch (const std::exception& e) {
        return outOfResources(e);
    }
    used = guarded([&] {
        while (std::unique_ptr<FrameItem> item = decoded.pop()) {
            if (interrupted) return kInterrupted;
            const Status done = each(*item);
            if (!done.ok()) return done;
            empty.push(std::move(item));
        }
        return Status();
    });
    empty.close();
    reader.join();
    // The consumer's failure first: a reader stopped by it only ended early.
    if (!used.ok()) return used;
    return read;
}

}  // namespace stitcher
