// Per-frame cost of exposure and colour matching on the bundled sample clip
// (1920 x 960 frames) and on the same frames scaled to 2880 x 1440: the
// estimate (seam sampling, robust statistics, smoothing) and the in-place
// apply that the GL path needs, in ms per frame. In the same run it times
// the CPU engine on those frames at the stitcher's default panorama size
// for them, on one thread, with all gains at 1 and with gains (how the CPU
// engine applies them), and prints what matching adds to the engine's frame
// time: the estimate plus what gains cost the engine. Then the same with
// each lens's fall-off undone (the clip's own as measured, or, where the
// clip shows none clearly, rims 40% and 35% darker): the once-per-run
// measurement over eight frames, the engine's set-up, and matching with the
// fall-off (its estimate and the engine with gains and fall-off) against
// matching off (the plain engine), in the same run.
//
//   bench_color [clip.mp4] [frames]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ClipCalibration.h"
#include "ColorMatch.h"
#include "FalloffEstimator.h"
#include "CpuEngine.h"
#include "DualFisheyeModel.h"
#include "libdec.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Best of `reps` passes over all frames, ms per frame. Each frame is first
// copied into `work`, untimed, as the decoder writes it just before.
template <class F>
double timePerFrame(const std::vector<std::vector<uint8_t>>& frames, std::vector<uint8_t>* work, int reps, F&& f) {
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        double total = 0.0;
        for (const std::vector<uint8_t>& frame : frames) {
            std::copy(frame.begin(), frame.end(), work->begin());
            const auto t0 = Clock::now();
            f(work->data());
            total += msSince(t0);
        }
        best = std::min(best, total / frames.size());
    }
    return best;
}

std::vector<uint8_t> scaleFrame(const std::vector<uint8_t>& in, int w, int h, int W, int H) {
    std::vector<uint8_t> out(static_cast<size_t>(W) * H * 3);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const uint8_t* s = &in[(static_cast<size_t>(y * h / H) * w + x * w / W) * 3];
            std::copy(s, s + 3, &out[(static_cast<size_t>(y) * W + x) * 3]);
        }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string clip = argc > 1 ? argv[1] : std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";
    const int wanted = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;

    void* h = PRDOpen(clip.c_str());
    if (!h) {
        std::fprintf(stderr, "cannot open %s\n", clip.c_str());
        return 1;
    }
    _MediaInfo info{};
    char* offsetText = nullptr;
    if (PRDGetMediaInfo(h, info) != 0 || PRDGetOffset(h, offsetText) != 0 || !offsetText) {
        std::fprintf(stderr, "no media information or calibration in %s\n", clip.c_str());
        PRDClose(h);
        return 1;
    }
    const std::string offset = offsetText;
    const int fw = static_cast<int>(info.width), fh = static_cast<int>(info.height);
    const int frames = std::min<int>(wanted, static_cast<int>(info.frames));
    std::vector<std::vector<uint8_t>> small;
    for (int f = 1; f <= frames; ++f) {
        unsigned char* data = nullptr;
        if (PRDGetVideoFrame(h, f, data) != 0 || !data) {
            std::fprintf(stderr, "frame %d failed\n", f);
            PRDClose(h);
            return 1;
        }
        small.emplace_back(data, data + static_cast<size_t>(fw) * fh * 3);
    }
    PRDClose(h);

    const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::printf("clip %s: %d frames of %dx%d\n", clip.c_str(), frames, fw, fh);

    stitcher::ColorGains off;  // an exposure difference, so that every pixel is rewritten
    for (int c = 0; c < 3; ++c) {
        off.gain[0][c] = 0.95f;
        off.gain[1][c] = 1.0f / 0.95f;
    }

    LensRig lens;
    if (!stitcher::parseCalibration(offset, lens).ok()) {
        std::fprintf(stderr, "the clip's calibration cannot be used\n");
        return 1;
    }
    const DualFisheyeModel& model = lens.model();
    const int sizes[2][2] = {{fw, fh}, {2880, 1440}};
    for (const auto& size : sizes) {
        const int W = size[0], H = size[1];
        std::vector<std::vector<uint8_t>> set;
        for (const auto& f : small) set.push_back(W == fw && H == fh ? f : scaleFrame(f, fw, fh, W, H));
        stitcher::ColorMatch match;
        stitcher::GainApplier applier;
        stitcher::Status st = match.init(model, W, H, info.fps > 0 ? info.fps : 30.0);
        if (st.ok()) st = applier.init(model, W, H);
        if (!st.ok()) {
            std::fprintf(stderr, "colour matching: %s\n", st.message().c_str());
            return 1;
        }
        stitcher::EngineSpec params;
        params.lens = lens;
        params.size = stitcher::defaultSize(lens.values(), W);
        params.frameWidth = W;
        params.frameHeight = H;
        params.threads = 1;
        const auto setUp = Clock::now();
        std::unique_ptr<stitcher::CpuEngine> engine;
        const stitcher::Status made = stitcher::CpuEngine::create(params, engine);
        const double setUpMs = msSince(setUp);
        if (!made.ok()) {
            std::fprintf(stderr, "CPU engine: %s\n", made.message().c_str());
            return 1;
        }
        std::vector<uint8_t> work(set[0].size()), pano(params.outBytes());
        double estimate = 1e30, apply1 = 1e30, applyN = 1e30, plain = 1e30, gained = 1e30;
        for (int rep = 0; rep < 5; ++rep) {  // in turns, so that all see the same machine
            estimate = std::min(estimate, timePerFrame(set, &work, 1, [&](const uint8_t* f) { match.update(f); }));
            engine->setGains(stitcher::ColorGains().gain);
            plain = std::min(plain, timePerFrame(set, &work, 1, [&](uint8_t* f) { engine->stitch(f, pano.data()); }));
            engine->setGains(off.gain);
            gained = std::min(gained, timePerFrame(set, &work, 1, [&](uint8_t* f) { engine->stitch(f, pano.data()); }));
            if (rep < 3) {
                apply1 = std::min(apply1, timePerFrame(set, &work, 1, [&](uint8_t* f) { applier.apply(f, off, 1); }));
                applyN = std::min(applyN, timePerFrame(set, &work, 1, [&](uint8_t* f) { applier.apply(f, off, threads); }));
            }
        }
        std::printf("%dx%d frame: estimate %.3f ms (%zu sample pairs); GL path's apply %.2f ms on 1 thread, %.2f ms on "
                    "%d; %s\n",
                    W, H, estimate, match.pairCount(), apply1, applyN, threads,
                    stitcher::formatGains(match.gains()).c_str());
        const double added = estimate + std::max(0.0, gained - plain);
        std::printf("  CPU engine %dx%d on 1 thread (set-up %.0f ms): %.2f ms, with gains %.2f ms; matching adds "
                    "%.2f ms = %.1f%% (target <= 5%%)\n",
                    params.outWidth(), params.outHeight(), setUpMs, plain, gained, added, 100.0 * added / plain);

        // The fall-off: measured once per run, then folded into the table.
        const auto measuring = Clock::now();
        const std::atomic<bool> never{false};
        const stitcher::FalloffEstimator::Result fit = stitcher::estimateFalloff(
            model, W, H, 1, static_cast<long long>(set.size()), [&](long long frame, uint8_t* bgr) {
                const std::vector<uint8_t>& f = set[static_cast<size_t>(frame - 1)];
                std::copy(f.begin(), f.end(), bgr);
                return true;
            },
            never);
        const double measureMs = msSince(measuring);
        stitcher::LensFalloff falloff = fit.falloff;
        const bool own = !falloff.flat();
        if (!own) {
            falloff.a[0] = -0.2;
            falloff.b[0] = -0.31;
            falloff.a[1] = -0.18;
            falloff.b[1] = -0.25;
        }
        stitcher::EngineSpec lifted = params;
        lifted.falloff = falloff;
        const auto liftedSetUp = Clock::now();
        std::unique_ptr<stitcher::CpuEngine> withFalloff;
        const stitcher::Status liftedMade = stitcher::CpuEngine::create(lifted, withFalloff);
        const double liftedSetUpMs = msSince(liftedSetUp);
        stitcher::ColorMatch liftedMatch;
        stitcher::GainApplier liftedApplier;
        st = liftedMatch.init(model, W, H, info.fps > 0 ? info.fps : 30.0);
        if (st.ok()) st = liftedApplier.init(model, W, H, falloff);
        if (!liftedMade.ok() || !st.ok()) {
            std::fprintf(stderr, "with fall-off: %s\n", (liftedMade.ok() ? st : liftedMade).message().c_str());
            return 1;
        }
        liftedMatch.setFalloff(falloff);
        double liftedEstimate = 1e30, liftedGained = 1e30, offPlain = 1e30, liftedApply = 1e30;
        for (int rep = 0; rep < 5; ++rep) {
            engine->setGains(stitcher::ColorGains().gain);
            offPlain = std::min(offPlain, timePerFrame(set, &work, 1, [&](uint8_t* f) { engine->stitch(f, pano.data()); }));
            liftedEstimate =
                std::min(liftedEstimate, timePerFrame(set, &work, 1, [&](const uint8_t* f) { liftedMatch.update(f); }));
            withFalloff->setGains(off.gain);
            liftedGained = std::min(liftedGained,
                                    timePerFrame(set, &work, 1, [&](uint8_t* f) { withFalloff->stitch(f, pano.data()); }));
            if (rep < 3)
                liftedApply = std::min(liftedApply,
                                       timePerFrame(set, &work, 1, [&](uint8_t* f) { liftedApplier.apply(f, off, threads); }));
        }
        const double liftedAdded = liftedEstimate + std::max(0.0, liftedGained - offPlain);
        std::printf("  fall-off (%s: %s): measured once in %.0f ms over %zu frames; engine set-up %.0f ms; GL path's "
                    "apply with it %.2f ms on %d threads\n",
                    own ? "the clip's own" : "none clearly there on the clip, a typical one", 
                    stitcher::describeFalloff(falloff).c_str(), measureMs, std::min<size_t>(8, set.size()),
                    liftedSetUpMs, liftedApply, threads);
        std::printf("  matching with fall-off against off: %.2f ms against %.2f ms per frame; adds %.2f ms = %.1f%% "
                    "(target <= 5%%)\n",
                    liftedEstimate + liftedGained, offPlain, liftedAdded, 100.0 * liftedAdded / offPlain);
    }
    return 0;
}
