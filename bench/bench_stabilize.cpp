// The motion analysis per frame at 1920x960 and 2880x1440 input, on all
// cores, against the plain stitch of the same frames (the CPU engine at the
// default panorama size) in the same run; and the whole tool on the sample
// with --stabilize smooth against a plain run with the same settings.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "CpuEngine.h"
#include "FisheyeSynth.h"
#include "MotionEstimate.h"
#include "Rotation.h"

using namespace stitcher;

namespace {

const char* const kOffset =
    "2_713.65_713.93_708.05_-2.65_-1.60_-0.36_712.40_2165.50_727.58_177.35_-180.54_0.18_2880_1440_516";

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// CPU seconds of the finished child processes so far.
double childCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Wall seconds of one run; its CPU seconds into `cpu`.
double runTool(const std::string& args, double* cpu) {
    const double t = now(), c = childCpu();
    const std::string cmd = std::string(STITCHER_PATH) + " -y --engine cpu " + args + " " + DFS_SOURCE_DIR +
                            "/samples/sample.mp4 /tmp/bench_stabilize_out.mp4 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) std::printf("  (the run failed: %s)\n", cmd.c_str());
    *cpu = childCpu() - c;
    return now() - t;
}

}  // namespace

int main() {
    for (const int width : {1920, 2880}) {
        const int height = width / 2, frames = 40;
        testutil::StitchGeometry geometry(kOffset, 512);
        const auto map = geometry.frameMap(width, height);
        const testutil::BgrImage world = testutil::makeSmoothPanorama(1024, 512, 8);
        std::vector<testutil::BgrImage> clip;
        for (int k = 0; k < 8; ++k) clip.push_back(geometry.synthesise(world, map, Rot::fromAngles(k * 0.7, k * 0.3, -k * 0.4).m));
        EngineSpec params;
        params.useCalibration(kOffset);
        params.frameWidth = width;
        params.frameHeight = height;
        params.size = 1040;
        std::unique_ptr<MotionEstimator> est;
        std::unique_ptr<CpuEngine> engine, turned;
        EngineSpec turnedSpec = params;
        turnedSpec.perFrameRotation = true;
        if (!MotionEstimator::create(params, MotionSettings(), est).ok() || !CpuEngine::create(params, engine).ok() ||
            !CpuEngine::create(turnedSpec, turned).ok())
            return 1;
        std::vector<uint8_t> out(params.outBytes());
        double analyse = 1e9, stitch = 1e9, turning = 1e9;
        for (int round = 0; round < 3; ++round) {
            double t = now();
            for (int k = 0; k < frames; ++k) est->add(clip[k % clip.size()].data.data());
            analyse = std::min(analyse, (now() - t) / frames);
            t = now();
            for (int k = 0; k < frames; ++k) engine->stitch(clip[k % clip.size()].data.data(), out.data());
            stitch = std::min(stitch, (now() - t) / frames);
            t = now();
            for (int k = 0; k < frames; ++k) {
                float m[4][4];
                Rot::fromAngles(0.3 * k, -0.2 * k, 0.1 * k).toRenderer(m);
                turned->setRotation(m);
                turned->stitch(clip[k % clip.size()].data.data(), out.data());
            }
            turning = std::min(turning, (now() - t) / frames);
        }
        std::printf("%dx%d input, %d threads: analysis %.2f ms/frame, plain stitch at 2080x1040 %.2f ms/frame "
                    "(ratio %.2f); stitch turned per frame %.2f ms/frame (%.2fx the plain)\n", width, height,
                    engine->threads(), analyse * 1e3, stitch * 1e3, analyse / stitch, turning * 1e3, turning / stitch);
    }
    double plain = 1e9, smooth = 1e9, plainCpu = 1e9, smoothCpu = 1e9, cpu = 0;
    for (int round = 0; round < 3; ++round) {
        plain = std::min(plain, runTool("", &cpu));
        plainCpu = std::min(plainCpu, cpu);
        smooth = std::min(smooth, runTool("--stabilize smooth", &cpu));
        smoothCpu = std::min(smoothCpu, cpu);
    }
    std::printf("whole tool on the sample (90 frames, CPU engine, x264 medium), best of 3:\n"
                "  plain %.2f s wall, %.2f s CPU; --stabilize smooth %.2f s wall, %.2f s CPU; ratio %.3f wall, %.3f CPU\n",
                plain, plainCpu, smooth, smoothCpu, smooth / plain, smoothCpu / plainCpu);
    return 0;
}
