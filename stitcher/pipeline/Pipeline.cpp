#include "Pipeline.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "FramePass.h"

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

// Frames in flight: each stage holds at most a couple. Large frames go
// round fewer buffers: every fresh megabyte costs a page fault's clearing,
// and four keep the three stages busy.
int itemsInFlight(size_t pictureBytes) { return pictureBytes > (size_t(32) << 20) ? 4 : 6; }

}  // namespace

struct Pipeline::State {
    State(FrameSource& f, const std::atomic<bool>& i) : source(f), interrupted(i) {}

    FrameSeams* seams = nullptr;  // each frame's seam disparity

    bool stopped() const { return interrupted.load() || failure.failed(); }
    void stopAll() {
        free.close();
        decoded.close();
        stitched.close();
    }
    // A stage that throws (out of memory) fails the run like any other failure.
    template <class Body>
    void guardedStage(Body&& body) {
        const Status st = guarded([&] {
            body();
            return Status();
        });
        if (st.ok()) return;
        failure.set(st);
        stopAll();
    }
    // The reader's side: free -> source -> decoded, each item with its view
    // rotation where the engine takes one per frame.
    void readAll() {
        Clock::time_point t;
        const Status st = readFrames(
            source, interrupted,
            [&] {
                Item item = stopped() ? nullptr : free.pop();
                t = Clock::now();
                return item;
            },
            [&](Item item) {
                readBusy += since(t);
                item->turned = false;
                if (rotationOf) {
                    item->fov = 0.0f;
                    if (!rotationOf(item->frame, item->rotation, &item->fov)) {
                        failure.set(Status(kExitFailed, "no view rotation for frame " + std::to_string(item->frame)));
                        return false;
                    }
                    item->turned = true;
                }
                return decoded.push(std::move(item));
            });
        if (!st.ok() && st.code() != kExitInterrupted) {
            failure.set(st);
            stopAll();
        }
        decoded.close();
    }

    FrameSource& source;
    const std::atomic<bool>& interrupted;
    Failure failure;
    // free -> reader -> decoded -> engine -> stitched -> writer -> free
    Queue free, decoded, stitched;
    double readBusy = 0;  // written by the reader's thread until it is joined
    Pipeline::RotationOf rotationOf;
    std::thread readerThread;
    bool ran = false;
};

Pipeline::Pipeline(FrameSource& source, const std::atomic<bool>& interrupted, RotationOf rotationOf)
    : state_(std::make_unique<State>(source, interrupted)) {
    State& s = *state_;
    s.rotationOf = std::move(rotationOf);
    // The engine's output buffers are added when it is known what it writes.
    for (int i = 0, n = itemsInFlight(source.pictureBytes()); i < n; ++i) s.free.push(std::make_unique<FrameItem>());
    s.readerThread = std::thread([&s] { s.readAll(); });
}

Pipeline::~Pipeline() {
    State& s = *state_;
    if (s.readerThread.joinable()) {
        s.stopAll();
        s.readerThread.join();
    }
}

void Pipeline::setSeams(FrameSeams* seams) { state_->seams = seams; }

Status Pipeline::run(FrameGains* color, Engine& engine, const EngineSpec& params, FrameSink& sink,
                     const PipelineEvents& events, PipelineStats& stats) {
    State& s = *state_;
    stats = PipelineStats();
    if (s.ran) return Status(kExitFailed, "the pipeline has already run");
    s.ran = true;
    ColorGains shown;  // the gains last told

    std::thread writerThread([&] {
        s.guardedStage([&] {
            size_t index = 0;
            while (Item item = s.stitched.pop()) {
                if (s.stopped()) break;
                auto t = Clock::now();
                Status st = sink.write(*item, index++);
                stats.writeBusy += since(t);
                if (!st.ok()) {
                    s.failure.set(st);
                    break;
                }
                ++stats.done;
                if (!s.free.push(std::move(item))) break;
            }
            if (s.stopped()) s.stopAll();
        });
    });

    s.guardedStage([&] {
        while (!s.stopped()) {
            Item item = s.decoded.pop();
            if (!item) break;
            // An engine that writes the encoder's pictures needs no packed one.
            if (engine.writesYuv() && !item->yuv) item->yuv = sink.makeYuvFrame();
            if (!item->yuv && item->panorama.size() != params.outBytes()) item->panorama.resize(params.outBytes());
            auto t = Clock::now();
            if (item->source) {
                const Status unpacked = engine.unpack(*item->source, item->picture.data());
                item->source.reset();
                if (!unpacked.ok()) {
                    s.failure.set(Status(unpacked.code(), "frame " + std::to_string(item->frame) + ": " + unpacked.message()));
                    break;
                }
            }
            if (s.seams) {
                // The disparity first: colour matching leaves out the rows where it is large.
                const SeamShift& shift = s.seams->shiftFor(item->frame, item->picture.data());
                engine.setSeamShift(shift);
                if (color) color->setSeamShift(shift);
            }
            if (color) {
                const ColorGains& gains = color->gainsFor(item->frame, item->picture.data());
                engine.setGains(gains.gain);
                if (events.gains && noticeablyApart(gains, shown)) {
                    events.gains(item->frame, formatGains(gains));
                    shown = gains;
                }
            }
            if (item->turned && item->fov > 0.0f && params.reprojected() && !engine.setFov(item->fov)) {
                s.failure.set(Status(kExitFailed, "the " + std::string(engine.name()) +
                                                      " engine takes no field of view per frame"));
                break;
            }
            if (item->turned && !engine.setRotation(item->rotation)) {
                s.failure.set(Status(kExitFailed, "the " + std::string(engine.name()) +
                                                      " engine takes no view rotation per frame"));
                break;
            }
            const Status stitched = item->yuv ? engine.stitchYuv(item->picture.data(), item->yuv->planes())
                                              : engine.stitch(item->picture.data(), item->panorama.data());
            stats.stitchBusy += since(t);
            if (!stitched.ok()) {
                s.failure.set(Status(stitched.code(), "the " + std::string(engine.name()) + " engine failed on frame " +
                                                          std::to_string(item->frame) + ": " + stitched.message()));
                break;
            }
            if (!s.stitched.push(std::move(item))) break;
            if (events.frameDone) events.frameDone();
        }
    });
    s.stitched.close();
    if (s.stopped()) s.stopAll();
    s.readerThread.join();
    writerThread.join();
    stats.readBusy = s.readBusy;
    if (events.end) events.end();

    if (s.failure.failed()) return s.failure.status();
    if (s.interrupted) return Status(kExitInterrupted, "interrupted");
    if (stats.done != s.source.total())
        return Status(kExitFailed, "stopped after " + std::to_string(stats.done) + " of " +
                                       std::to_string(s.source.total()) + " frames");
    return sink.finish();
}

}  // namespace stitcher
