#include "PlanFrames.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "FramePass.h"

namespace stitcher {

namespace {

// Decodes (on a thread of its own) and measures frames [first, first + count) of the clip at `path`
// into `out` (indexed from the range's first frame).
// Stops early when `interrupted` or `failed` turns true.
Status measureStretch(const std::string& path, const FrameMeasuring& how, long long first, long long count,
                      const std::atomic<bool>& interrupted, const std::atomic<bool>& failed,
                      std::vector<ColorEstimate>& out, std::mutex& told) {
    std::unique_ptr<Clip> clip;
    Status st = Clip::open(path, clip);
    if (!st.ok()) return st;
    ColorEstimator estimator;
    st = estimator.init(*how.model, static_cast<int>(clip->info().width), static_cast<int>(clip->info().height));
    if (!st.ok()) return st;
    estimator.setFalloff(how.falloff);
    ReadSpec reading = how.range;
    reading.first = first;
    reading.count = count;
    reading.audio = false;
    reading.pictures = true;
    // Only the pixels the samples read are converted from the decoder's planes.
    reading.sourcePictures = true;
    const size_t stride = static_cast<size_t>(clip->info().width) * 3;
    Reader reader(*clip, reading, how.warn);
    return walkFrames(reader, interrupted, [&](FrameItem& item) {
        // Another stretch's failure ends this one as an interruption would.
        if (failed) return Status(kExitInterrupted, "interrupted");
        if (item.source) {
            for (const ColorEstimator::Span& s : estimator.spans())
                if (!item.source->toBgr(s.row, s.row + 1, s.x0, s.x1, item.picture.data() + s.row * stride, stride))
                    return Status(kExitFailed, "frame " + std::to_string(item.frame) + " of " + path +
                                                   ": the decoded picture could not be converted");
            item.source.reset();
        }
        out[static_cast<size_t>(item.frame - how.range.first)] = estimator.estimate(item.picture.data());
        if (how.frameDone) {
            std::lock_guard<std::mutex> lock(told);
            how.frameDone();
        }
        return Status();
    });
}

}  // namespace

Status measurePlanFrames(Clip& clip, const FrameMeasuring& how, const std::atomic<bool>& interrupted, Plan& plan) {
    // The times, from the clip's index alone.
    ReadSpec times = how.range;
    times.audio = false;
    times.pictures = false;
    Reader reader(clip, times, how.warn);
    plan.timescale = reader.timescale();
    PlanColumn& pts = plan.frames["pts"];
    PlanColumn& duration = plan.frames["duration"];
    pts = duration = PlanColumn();
    FrameItem item;
    while (!reader.ended()) {
        const Status read = reader.next(item);
        if (!read.ok()) return read;
        pts.values.push_back(static_cast<double>(item.pts));
        duration.values.push_back(static_cast<double>(item.duration));
        if (!how.color && how.frameDone) how.frameDone();
    }
    if (!how.color) return Status();

    // Each stretch is measured by a thread of its own; a frame's measurement
    // depends on its picture alone.
    const long long count = how.range.count;
    const int threads = static_cast<int>(std::max(1LL, std::min<long long>({how.threads, 16, count})));
    std::vector<ColorEstimate> estimates(static_cast<size_t>(count));
    std::vector<Status> status(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    std::mutex told;
    std::atomic<bool> stop{false};
    auto work = [&](int t) {
        const long long from = count * t / threads, to = count * (t + 1) / threads;
        status[t] = guarded([&] {
            return measureStretch(clip.path(), how, how.range.first + from, to - from, interrupted, stop, estimates, told);
        });
        if (!status[t].ok()) stop = true;
    };
    for (int t = 1; t < threads; ++t) {
        try {
            workers.emplace_back(work, t);
        } catch (const std::exception&) {
            work(t);  // no thread to be had: on this one
        }
    }
    work(0);
    for (std::thread& w : workers) w.join();
    if (interrupted) return Status(kExitInterrupted, "interrupted");
    // The first failure itself, not a stretch that it stopped.
    for (const Status& s : status)
        if (!s.ok() && s.code() != kExitInterrupted) return s;
    for (const Status& s : status)
        if (!s.ok()) return s;

    PlanColumn& gains = plan.frames["gains"];
    gains = PlanColumn();
    gains.width = 6;
    gains.values.reserve(static_cast<size_t>(count) * 6);
    for (const ColorEstimate& e : estimates) {
        const ColorGains& g = how.color->update(e);
        for (int lens = 0; lens < 2; ++lens)
            for (int c = 0; c < 3; ++c) gains.values.push_back(g.gain[lens][c]);
    }
    return Status();
}

}  // namespace stitcher
