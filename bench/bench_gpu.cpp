// Frames per second of the GL engine against the CPU engine on this machine,
// at one panorama size (default 3840 x 1920): each engine stitches the same
// 5760 x 2880 dual-fisheye frame (a synthetic scene) over and over, taking
// turns, each frame a whole stitch() as a run makes it: for the GL engine
// the upload, both passes and the read-back. The best of the rounds, wall
// and CPU seconds per frame, and the ratio of the two.
//
//   bench_gpu [--size N] [--frames N] [--rounds N] [--frame WxH]
//
// The GL engine needs an OpenGL 3.3 context (EGL without a display); on a
// software rasterizer it runs all the same, as a smoke check of the script.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "CpuEngine.h"
#include "GlEngine.h"

namespace {

const char* const kOffset =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516";

using bench::cpuSeconds;
using bench::wallSeconds;

struct Cost {
    double wall = 1e30, cpu = 1e30;  // per frame, the best round
};

// `frames` stitches of `frame`; false when one fails.
bool timeRound(stitcher::Engine& engine, std::vector<uint8_t>& frame, std::vector<uint8_t>& out, int frames, Cost* cost) {
    const double w0 = wallSeconds(), c0 = cpuSeconds();
    for (int i = 0; i < frames; ++i) {
        const stitcher::Status st = engine.stitch(frame.data(), out.data());
        if (!st.ok()) {
            std::fprintf(stderr, "%s engine: %s\n", engine.name(), st.message().c_str());
            return false;
        }
    }
    cost->wall = std::min(cost->wall, (wallSeconds() - w0) / frames);
    cost->cpu = std::min(cost->cpu, (cpuSeconds() - c0) / frames);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int size = 1920, frames = 30, rounds = 3, frameW = 5760, frameH = 2880;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--size") size = std::atoi(v), ++i;
        else if (a == "--frames") frames = std::max(1, std::atoi(v)), ++i;
        else if (a == "--rounds") rounds = std::max(1, std::atoi(v)), ++i;
        else if (a == "--frame" && std::sscanf(v, "%dx%d", &frameW, &frameH) == 2) ++i;
        else {
            std::fprintf(stderr, "usage: bench_gpu [--size N] [--frames N] [--rounds N] [--frame WxH]\n");
            return 2;
        }
    }
    // The renderer and the calibration print progress on standard output:
    // the figures go to a copy of it, the rest to /dev/null.
    std::fflush(stdout);
    FILE* report = fdopen(dup(1), "w");
    const int null = open("/dev/null", O_WRONLY);
    if (!report || null < 0 || dup2(null, 1) < 0) return 1;
    stitcher::EngineSpec setup;
    if (!setup.useCalibration(kOffset).ok() || size < 16 || size % 2 || frameW < 64 || frameH < 32) {
        std::fprintf(stderr, "bench_gpu: a panorama height of 16 or more (even) and a frame of at least 64x32\n");
        return 2;
    }
    setup.size = size;
    setup.frameWidth = frameW;
    setup.frameHeight = frameH;
    // Two lens circles of a made-up scene: smooth colour ramps with detail,
    // so that neither engine meets a flat picture.
    std::vector<uint8_t> frame(static_cast<size_t>(frameW) * frameH * 3);
    for (int y = 0; y < frameH; ++y)
        for (int x = 0; x < frameW; ++x) {
            uint8_t* p = &frame[(static_cast<size_t>(y) * frameW + x) * 3];
            p[0] = static_cast<uint8_t>(128 + 100 * std::sin(x * 0.013 + y * 0.007));
            p[1] = static_cast<uint8_t>((x * 7 + y * 3) & 255);
            p[2] = static_cast<uint8_t>(128 + 100 * std::cos(y * 0.021));
        }
    std::vector<uint8_t> out(setup.outBytes());

    std::unique_ptr<stitcher::Engine> gl, cpu;
    stitcher::Status st = stitcher::makeGlEngine(setup, gl);
    if (!st.ok()) {
        std::fprintf(stderr, "no GL engine: %s\n", st.message().c_str());
        return 1;
    }
    st = stitcher::makeCpuEngine(setup, cpu);
    if (!st.ok()) {
        std::fprintf(stderr, "no CPU engine: %s\n", st.message().c_str());
        return 1;
    }
    std::fprintf(report, "frame %dx%d, panorama %dx%d, %d frames a round, best of %d rounds\n", frameW, frameH, setup.outWidth(),
                setup.outHeight(), frames, rounds);
    std::fprintf(report, "GL device: %s\n", gl->device().c_str());
    // One frame each first: the first upload and the CPU engine's first levels are set-up.
    Cost warm, glCost, cpuCost;
    if (!timeRound(*gl, frame, out, 1, &warm) || !timeRound(*cpu, frame, out, 1, &warm)) return 1;
    for (int r = 0; r < rounds; ++r)
        if (!timeRound(*gl, frame, out, frames, &glCost) || !timeRound(*cpu, frame, out, frames, &cpuCost)) return 1;
    std::fprintf(report, "%-4s %9s %9s %8s\n", "", "ms/frame", "CPU ms", "fps");
    std::fprintf(report, "%-4s %9.2f %9.2f %8.1f\n", "gl", 1e3 * glCost.wall, 1e3 * glCost.cpu, 1 / glCost.wall);
    std::fprintf(report, "%-4s %9.2f %9.2f %8.1f\n", "cpu", 1e3 * cpuCost.wall, 1e3 * cpuCost.cpu, 1 / cpuCost.wall);
    std::fprintf(report, "gl/cpu throughput: %.2fx\n", cpuCost.wall / glCost.wall);
    std::fclose(report);
    return 0;
}
