// The motion analysis per frame at 1920x960 and 2880x1440 input, on all
// cores, against the plain stitch of the same frames (the CPU engine at the
// default panorama size) in the same run; and the whole tool on the sample
// at x264 presets medium and ultrafast: --stabilize smooth, and a run that
// turns the view by the motion file that run wrote (the turned stitch
// without the analysis pass), against a plain run with the same settings,
// the median of three rounds. `bench_stabilize [--tool-only] [STITCHER]`:
// STITCHER, another build's tool, is timed beside this build's, run for run.
#include <algorithm>
#include <array>
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

// Wall seconds of one run of `tool`; its CPU seconds into `cpu`.
double runTool(const std::string& tool, const std::string& args, double* cpu) {
    const double t = now(), c = childCpu();
    const std::string cmd = tool + " -y --engine cpu " + args + " " + DFS_SOURCE_DIR +
                            "/samples/sample.mp4 /tmp/bench_stabilize_out.mp4 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) std::printf("  (the run failed: %s)\n", cmd.c_str());
    *cpu = childCpu() - c;
    return now() - t;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

// The whole tool on the sample, each tool's runs one after the other in
// each round so that they share the machine's load alike.
void timeTools(const std::vector<std::string>& tools) {
    const char* const kModes[3] = {"", "--stabilize smooth --motion-out /tmp/bench_stabilize_motion.csv",
                                   "--motion /tmp/bench_stabilize_motion.csv"};
    const char* const kNames[3] = {"plain", "--stabilize smooth", "--motion (turned stitch alone)"};
    for (const char* preset : {"medium", "ultrafast"}) {
        // [tool][mode]: wall and CPU seconds per round.
        std::vector<std::array<std::vector<double>, 3>> wall(tools.size()), cpu(tools.size());
        for (int round = 0; round < 3; ++round)
            for (size_t t = 0; t < tools.size(); ++t)
                for (int m = 0; m < 3; ++m) {
                    double c = 0;
                    wall[t][m].push_back(runTool(tools[t], std::string("--preset ") + preset + " " + kModes[m], &c));
                    cpu[t][m].push_back(c);
                }
        std::printf("whole tool on the sample (90 frames, CPU engine, x264 %s), median of 3:\n", preset);
        for (size_t t = 0; t < tools.size(); ++t) {
            std::printf("  %s\n", tools[t].c_str());
            const double w0 = median(wall[t][0]), c0 = median(cpu[t][0]);
            for (int m = 0; m < 3; ++m) {
                const double w = median(wall[t][m]), c = median(cpu[t][m]);
                std::printf("    %-30s %6.2f s wall, %6.2f s CPU; ratio to plain %.3f wall, %.3f CPU\n", kNames[m], w, c,
                            w / w0, c / c0);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> tools = {STITCHER_PATH};
    bool toolOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--tool-only")
            toolOnly = true;
        else
            tools.push_back(argv[i]);
    }
    for (const int width : {1920, 2880}) {
        if (toolOnly) break;
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
    timeTools(tools);
    return 0;
}
