// The seams' cost beside the plain CPU stitch, per frame: the disparity
// measure (SeamTracker::measure) and the warp of every band row (a fixed
// distance: the most a frame can cost), at 1920x960 and 3840x1920.
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "CpuEngine.h"
#include "SeamTracker.h"

using namespace stitcher;

namespace {

const char* const kOffset =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516";

double msPerFrame(int frames, const std::function<void()>& work) {
    work();  // warm
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / frames;
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
        SeamSettings measuring, fixed;
        measuring.threads = fixed.threads = 0;
        fixed.distanceM = 1.0;
        SeamTracker tracker(setup.lens.model(), size, 2880, 1440, measuring);
        SeamTracker oneMetre(setup.lens.model(), size, 2880, 1440, fixed);
        warped->setSeamShift(oneMetre.shift());
        const int n = size > 1000 ? 5 : 10;
        const double base = msPerFrame(n, [&] { plain->stitch(frame.data(), out.data()); });
        const double measure = msPerFrame(n, [&] { tracker.measure(frame.data()); });
        const double warp = msPerFrame(n, [&] { warped->stitch(frame.data(), out.data()); }) - base;
        std::printf("%dx%d: plain stitch %.1f ms, seam measure %.1f ms (%.0f%%), warp of every band row %.1f ms (%.0f%%), "
                    "together %.0f%% of the plain stitch\n",
                    2 * size, size, base, measure, 100 * measure / base, warp, 100 * warp / base, 100 * (measure + warp) / base);
    }
    return 0;
}
