// The seams' cost beside the plain CPU stitch, per frame: the disparity
// measure (SeamTracker::measure) and the warp of every band row, at
// 1920x960 and 3840x1920. The warp is timed twice: with a shift that
// changes every frame (every row's taps worked out again: the most a
// frame can cost) and with one that stays (a fixed distance, a still
// scene: the taps kept). Each is timed in rounds, side by side, on the
// process's CPU time (which holds on a shared machine) and on the wall
// clock: medians of the rounds.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "BenchClock.h"

#include "CpuEngine.h"
#include "SeamTracker.h"

using namespace stitcher;

namespace {

const char* const kOffset =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516";

struct Cost {
    double cpu, wall;  // ms per frame
};

Cost perFrame(int frames, const std::function<void()>& work) {
    const double c0 = bench::cpuSeconds(), w0 = bench::wallSeconds();
    for (int i = 0; i < frames; ++i) work();
    return {(bench::cpuSeconds() - c0) * 1000 / frames, (bench::wallSeconds() - w0) * 1000 / frames};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    for (int size : {960, 1920}) {
        EngineSpec setup;
        setup.useCalibration(kOffset);
        setup.size = size;
        setup.frameWidth = 2880;
        setup.frameHeight = 1440;
        std::vector<uint8_t> frame(2880u * 1440u * 3u), out(setup.outBytes());
        std::mt19937 rng(size);
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>((i / 3 % 2880 / 7 + i / 3 / 2880 / 5) * 37 + rng() % 32);
        std::unique_ptr<Engine> plain, warped;
        if (!makeCpuEngine(setup, plain).ok() || !makeCpuEngine(setup, warped).ok()) return 1;
        SeamSettings measuring, fixed, nearer;
        measuring.threads = fixed.threads = nearer.threads = 0;
        fixed.distanceM = 1.0;
        nearer.distanceM = 0.9;
        SeamTracker tracker(setup.lens.model(), size, 2880, 1440, measuring);
        SeamTracker oneMetre(setup.lens.model(), size, 2880, 1440, fixed);
        SeamTracker lessThanOne(setup.lens.model(), size, 2880, 1440, nearer);
        warped->setSeamShift(lessThanOne.shift());
        warped->setSeamShift(oneMetre.shift());
        const int n = size > 1000 ? 3 : 6, rounds = 5;
        plain->stitch(frame.data(), out.data());  // warm
        warped->stitch(frame.data(), out.data());
        tracker.measure(frame.data());
        std::vector<double> base[2], measure[2], warp[2], steady[2];
        int frameIndex = 0;
        for (int r = 0; r < rounds; ++r) {
            const Cost p = perFrame(n, [&] { plain->stitch(frame.data(), out.data()); });
            const Cost m = perFrame(n, [&] { tracker.measure(frame.data()); });
            const Cost w = perFrame(n, [&] {
                warped->setSeamShift((++frameIndex % 2 ? lessThanOne : oneMetre).shift());
                warped->stitch(frame.data(), out.data());
            });
            const Cost s = perFrame(n, [&] {
                warped->setSeamShift(oneMetre.shift());
                warped->stitch(frame.data(), out.data());
            });
            base[0].push_back(p.cpu), base[1].push_back(p.wall);
            measure[0].push_back(m.cpu), measure[1].push_back(m.wall);
            warp[0].push_back(w.cpu - p.cpu), warp[1].push_back(w.wall - p.wall);
            steady[0].push_back(s.cpu - p.cpu), steady[1].push_back(s.wall - p.wall);
        }
        for (int k = 0; k < 2; ++k) {
            const double b = median(base[k]), m = median(measure[k]), w = median(warp[k]), st = median(steady[k]);
            std::printf("%dx%d %s: plain stitch %.1f ms, seam measure %.1f ms (%.0f%%), warp of every band row %.1f ms "
                        "(%.0f%%) with a new shift every frame, %.1f ms (%.0f%%) with a steady one; together %.0f%% "
                        "(%.0f%% steady) of the plain stitch\n",
                        2 * size, size, k ? "wall" : "cpu ", b, m, 100 * m / b, w, 100 * w / b, st, 100 * st / b,
                        100 * (m + w) / b, 100 * (m + st) / b);
        }
    }
    return 0;
}
