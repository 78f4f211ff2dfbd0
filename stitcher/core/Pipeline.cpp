#include "Pipeline.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace stitcher {

namespace {

using Item = std::unique_ptr<FrameItem>;

// Bounded hand-over between two threads; close() wakes everybody.
class Queue {
public:
    bool push(Item item) {
        std::lock_guard<std::mutex> lock(m_);
        if (closed_) return false;
        items_.push_back(std::move(item));
        cv_.notify_all();
        return true;
    }
    // Null when closed and empty.
    Item pop() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return closed_ || !items_.empty(); });
        if (items_.empty()) return nullptr;
        Item item = std::move(items_.front());
        items_.pop_front();
        return item;
    }
    void close() {
        std::lock_guard<std::mutex> lock(m_);
        closed_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Item> items_;
    bool closed_ = false;
};

// The first failure of any stage.
class Failure {
public:
    void set(const Status& s) {
        std::lock_guard<std::mutex> lock(m_);
        if (failed_) return;
        status_ = s;
        failed_ = true;
    }
    bool failed() const { return failed_; }
    Status status() {
        std::lock_guard<std::mutex> lock(m_);
        return status_;
    }

private:
    std::mutex m_;
    Status status_;
    std::atomic<bool> failed_{false};
};

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Gains that differ by more than half a percent somewhere.
bool noticeablyApart(const ColorGains& a, const ColorGains& b) {
    for (int lens = 0; lens < 2; ++lens)
        for (int c = 0; c < 3; ++c)
            if (std::fabs(a.gain[lens][c] - b.gain[lens][c]) > 0.005f * b.gain[lens][c]) return true;
    return false;
}

// Frames in flight: each stage holds at most a couple.
const int kItems = 6;

}  // namespace

Status runPipeline(Reader& reader, ColorMatch* colour, Engine& engine, const EngineSpec& params, FrameSink& sink,
                   const std::atomic<bool>& interrupted, console::Progress& progress, PipelineStats& stats) {
    stats = PipelineStats();
    Failure failure;
    // free -> reader -> decoded -> engine -> stitched -> writer -> free
    Queue free, decoded, stitched;
    for (int i = 0; i < kItems; ++i) {
        auto item = std::make_unique<FrameItem>();
        // An engine that writes the encoder's pictures needs no packed one.
        if (engine.writesYuv()) item->yuv = sink.makeYuvFrame();
        if (!item->yuv) item->panorama.resize(params.outBytes());
        free.push(std::move(item));
    }
    auto stopped = [&] { return interrupted.load() || failure.failed(); };
    ColorGains shown;  // the gains -v last printed
    auto stopAll = [&] {
        free.close();
        decoded.close();
        stitched.close();
    };

    // A stage that throws (out of memory) fails the run like any other failure.
    auto guarded = [&](auto&& body) {
        return [&failure, &stopAll, body] {
            try {
                body();
            } catch (const std::exception& e) {
                failure.set(Status(kExitFailed, std::string("out of resources: ") + e.what()));
                stopAll();
            }
        };
    };

    std::thread readerThread(guarded([&] {
        while (!stopped()) {
            Item item = free.pop();
            if (!item) break;
            auto t = Clock::now();
            bool more = reader.next(*item);
            stats.readBusy += since(t);
            if (!more) {
                if (!reader.status().ok()) failure.set(reader.status());
                break;
            }
            if (!decoded.push(std::move(item))) break;
        }
        decoded.close();
    }));

    std::thread writerThread(guarded([&] {
        size_t index = 0;
        while (Item item = stitched.pop()) {
            if (stopped()) break;
            auto t = Clock::now();
            Status st = sink.write(*item, index++);
            stats.writeBusy += since(t);
            if (!st.ok()) {
                failure.set(st);
                break;
            }
            ++stats.done;
            if (!free.push(std::move(item))) break;
        }
        if (stopped()) stopAll();
    }));

    guarded([&] {
        while (!stopped()) {
            Item item = decoded.pop();
            if (!item) break;
            auto t = Clock::now();
            if (colour) {
                const ColorGains& gains = colour->update(item->picture.data());
                engine.setGains(gains.gain);
                if (console::verbose() && noticeablyApart(gains, shown)) {
                    console::note("frame %lld: %s", item->frame, formatGains(gains).c_str());
                    shown = gains;
                }
            }
            bool ok = item->yuv ? engine.stitchYuv(item->picture.data(), item->yuv->planes())
                                : engine.stitch(item->picture.data(), item->panorama.data());
            stats.stitchBusy += since(t);
            if (!ok) {
                failure.set(Status(kExitFailed, "the " + std::string(engine.name()) + " engine failed on frame " +
                                                    std::to_string(item->frame)));
                break;
            }
            if (!stitched.push(std::move(item))) break;
            progress.frameDone();
        }
    })();
    stitched.close();
    if (stopped()) stopAll();
    readerThread.join();
    writerThread.join();
    progress.end();

    if (failure.failed()) return failure.status();
    if (interrupted) return Status(kExitInterrupted, "interrupted");
    if (stats.done != reader.total())
        return Status(kExitFailed, "stopped after " + std::to_string(stats.done) + " of " +
                                       std::to_string(reader.total()) + " frames");
    return sink.finish();
}

}  // namespace stitcher
