#include "PlanFrames.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "FramePass.h"

namespace stitcher {

namespace {

// What is done with each frame of a stretch: its index from the range's
// first frame and its packed BGR picture.
using FrameWork = std::function<Status(long long index, const uint8_t* picture)>;

// Decodes (on a thread of its own) frames [first, first + count) of the clip
// at `path` and hands each to `each`, converted to BGR where `spans` say
// (all of it where there are none). Stops early when `interrupted` or
// `failed` turns true.
Status walkStretch(const std::string& path, const FrameMeasuring& how, long long first, long long count,
                   const std::vector<ColorEstimator::Span>* spans, const std::atomic<bool>& interrupted,
                   const std::atomic<bool>& failed, std::mutex& told, const FrameWork& each) {
    std::unique_ptr<Clip> clip;
    Status st = Clip::open(path, clip);
    if (!st.ok()) return st;
    ReadSpec reading = how.range;
    reading.first = first;
    reading.count = count;
    reading.audio = false;
    reading.pictures = true;
    // Only the pixels the measures read are converted from the decoder's planes.
    reading.sourcePictures = true;
    const size_t stride = static_cast<size_t>(clip->info().width) * 3;
    Reader reader(*clip, reading, how.warn);
    // Two pictures go round (one decoded while the other is measured): the
    // decoding is the slower side, and each picture is a frame's worth of
    // new memory per stretch.
    return walkFrames(reader, interrupted, [&](FrameItem& item) {
        // Another stretch's failure ends this one as an interruption would.
        if (failed) return Status(kExitInterrupted, "interrupted");
        if (item.source) {
            bool converted = true;
            if (spans)
                for (const ColorEstimator::Span& s : *spans)
                    converted = converted && item.source->toBgr(s.row, s.row + 1, s.x0, s.x1, item.picture.data() + s.row * stride, stride);
            else
                converted = item.source->toPacked(item.picture.data());
            if (!converted)
                return Status(kExitFailed, "frame " + std::to_string(item.frame) + " of " + path +
                                               ": the decoded picture could not be converted");
            item.source.reset();
        }
        const Status done = each(item.frame - how.range.first, item.picture.data());
        if (!done.ok()) return done;
        if (how.frameDone) {
            std::lock_guard<std::mutex> lock(told);
            how.frameDone();
        }
        return Status();
    }, 2);
}

// Where the stretches of `count` frames from `first` start (offsets, in
// order, from 0): at the key pictures nearest to `threads` even shares, as
// a decoder that starts a stretch decodes from the key picture before it
// (between key pictures it would decode the end of the stretch before
// again); a share with no key picture of its own is left to the one before.
std::vector<long long> stretchStarts(Clip& clip, long long first, long long count, int threads) {
    std::vector<long long> starts{0};
    auto key = [&](long long offset) { return clip.keyFrameBefore(first + offset) - first; };
    for (int t = 1; t < threads; ++t) {
        const long long even = count * t / threads;
        // The key pictures at or before the even start, and the first after it.
        const long long before = key(even);
        long long after = -1;
        if (key(count - 1) > even) {
            long long lo = even + 1, hi = count - 1;
            while (lo < hi) {
                const long long mid = lo + (hi - lo) / 2;
                if (key(mid) > even)
                    hi = mid;
                else
                    lo = mid + 1;
            }
            after = key(lo);
        }
        long long best = -1;
        for (const long long k : {before, after})
            if (k > starts.back() && k < count && (best < 0 || std::llabs(k - even) < std::llabs(best - even))) best = k;
        if (best > 0) starts.push_back(best);
    }
    return starts;
}

// The range in stretches (stretchStarts), each run by `stretch` on a thread
// of its own; a frame's measurement depends on its picture alone. The first
// failure.
Status inStretches(Clip& clip, const FrameMeasuring& how, const std::atomic<bool>& interrupted,
                   const std::function<Status(long long from, long long count, const std::atomic<bool>& stop, std::mutex& told)>& stretch) {
    const long long count = how.range.count;
    std::vector<long long> starts =
        stretchStarts(clip, how.range.first, count, static_cast<int>(std::max(1LL, std::min<long long>({how.threads, 16, count}))));
    const int threads = static_cast<int>(starts.size());
    starts.push_back(count);
    std::vector<Status> status(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    std::mutex told;
    std::atomic<bool> stop{false};
    auto work = [&](int t) {
        const long long from = starts[t], to = starts[t + 1];
        status[t] = guarded([&] { return stretch(from, to - from, stop, told); });
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
    return Status();
}

// The seams' disparities of every frame in order, as plan.seamSteps.
Status measureSeams(Clip& clip, const FrameMeasuring& how, const std::atomic<bool>& interrupted, Plan& plan) {
    const int width = static_cast<int>(clip.info().width), height = static_cast<int>(clip.info().height);
    SeamSettings one = how.seams;
    one.threads = 1;  // the stretches are the threads
    std::vector<SeamFrame> frames(static_cast<size_t>(how.range.count));
    Status st = inStretches(clip, how, interrupted, [&](long long from, long long count, const std::atomic<bool>& stop, std::mutex& told) {
        SeamTracker tracker(*how.model, how.size, width, height, one);
        return walkStretch(clip.path(), how, how.range.first + from, count, nullptr, interrupted, stop, told,
                           [&](long long index, const uint8_t* picture) {
                               tracker.measureFrame(picture, frames[static_cast<size_t>(index)]);
                               return Status();
                           });
    });
    if (!st.ok()) return st;
    SeamTracker tracker(*how.model, how.size, width, height, one);
    plan.seamCells = tracker.cells();
    plan.seamSteps.clear();
    std::vector<float> before(static_cast<size_t>(tracker.cells()), 0.0f);
    for (size_t i = 0; i < frames.size(); ++i) {
        tracker.advance(frames[i]);
        frames[i] = SeamFrame();
        const std::vector<float> now = tracker.state();
        PlanSeamStep step;
        step.frame = static_cast<long long>(i);
        for (size_t c = 0; c < now.size(); ++c)
            if (now[c] != before[c]) step.cells.push_back({static_cast<int>(c), now[c]});
        if (!step.cells.empty()) plan.seamSteps.push_back(std::move(step));
        before = now;
    }
    if (how.seamReport) *how.seamReport = tracker.report();
    return Status();
}

}  // namespace

int planFramePasses(const Plan& plan, const FrameMeasuring& how) {
    return std::max(1, (plan.seam == "auto" ? 1 : 0) + (how.color ? 1 : 0));
}

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
    const bool timesOnly = !how.color && plan.seam != "auto";
    FrameItem item;
    while (!reader.ended()) {
        const Status read = reader.next(item);
        if (!read.ok()) return read;
        pts.values.push_back(static_cast<double>(item.pts));
        duration.values.push_back(static_cast<double>(item.duration));
        if (timesOnly && how.frameDone) how.frameDone();
    }
    if (plan.seam == "auto") {
        const Status st = measureSeams(clip, how, interrupted, plan);
        if (!st.ok()) return st;
    }
    if (!how.color) return Status();

    // The gains: each frame measured where the seams leave it (the rows where
    // they line up near things are left out, as a whole run leaves them).
    const int width = static_cast<int>(clip.info().width), height = static_cast<int>(clip.info().height);
    SeamSettings one = how.seams;
    one.threads = 1;
    std::vector<ColorEstimate> estimates(static_cast<size_t>(how.range.count));
    Status st = inStretches(clip, how, interrupted, [&](long long from, long long count, const std::atomic<bool>& stop, std::mutex& told) {
        ColorEstimator estimator;
        Status made = estimator.init(*how.model, width, height);
        if (!made.ok()) return made;
        estimator.setFalloff(how.falloff);
        std::unique_ptr<SeamTracker> tracker;
        std::unique_ptr<PlannedSeams> planned;
        if (plan.seam != "far") {
            tracker = std::make_unique<SeamTracker>(*how.model, how.size, width, height, one);
            if (plan.seam == "auto") planned = std::make_unique<PlannedSeams>(plan, *tracker);
            estimator.setSeamShift(tracker->shift());
        }
        return walkStretch(clip.path(), how, how.range.first + from, count, &estimator.spans(), interrupted, stop, told,
                           [&](long long index, const uint8_t* picture) {
                               if (planned) estimator.setSeamShift(planned->shiftFor(plan.first + index, picture));
                               estimates[static_cast<size_t>(index)] = estimator.estimate(picture);
                               return Status();
                           });
    });
    if (!st.ok()) return st;

    PlanColumn& gains = plan.frames["gains"];
    gains = PlanColumn();
    gains.width = 6;
    gains.values.reserve(estimates.size() * 6);
    for (const ColorEstimate& e : estimates) {
        const ColorGains& g = how.color->update(e);
        for (int lens = 0; lens < 2; ++lens)
            for (int c = 0; c < 3; ++c) gains.values.push_back(g.gain[lens][c]);
    }
    return Status();
}

}  // namespace stitcher
