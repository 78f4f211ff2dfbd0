// Calibration refinement of a 2880 x 1440 clip: frames picked over the clip,
// decoded and aligned, timed as a whole. The clip is synthesised by
// make_sample with a calibration that differs from the default one and
// carries none, so the refinement starts from the default as it would on a
// real clip without calibration. Prints the frames used, the seconds, the
// ratio to the 30 s target and how far the result lies from the truth.
//
//   bench_calibrate [frames to use] [threads] [clip]
//
// Defaults: 8 frames, 2 threads, the synthesised clip (made once per run in
// a temporary folder).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CalibrationRefine.h"

namespace {

const char* kTruth =
    "2_718.649_719.933_702.05_-2.65_-1.599_-0.358_705.3_2173.5_719.583_179.35_-182.54_2.176_2880_1440_516";
const double kTargetSeconds = 30.0;

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

double cpuSeconds() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

void fields(const std::string& offset, double out[16]) {
    size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        out[i] = std::atof(offset.c_str() + at);
        at = offset.find('_', at);
        if (at == std::string::npos) break;
        ++at;
    }
}

}  // namespace

int main(int argc, char** argv) {
    stitcher::RefineOptions options;
    options.frames = argc > 1 ? std::atoi(argv[1]) : 8;
    options.threads = argc > 2 ? std::atoi(argv[2]) : 2;
    std::string clip = argc > 3 ? argv[3] : "";
    const bool synthesised = clip.empty();
    if (synthesised) {
        char dirTemplate[] = "/tmp/bench_calibrate_XXXXXX";
        if (!mkdtemp(dirTemplate)) {
            std::fprintf(stderr, "bench_calibrate: cannot make a temporary folder\n");
            return 1;
        }
        clip = std::string(dirTemplate) + "/clip.mp4";
        const std::string cmd = quote(MAKE_SAMPLE_PATH) +
                                " --size 2880x1440 --frames 90 --gop 30 --crf 18 --preset ultrafast --yaw-step 2"
                                " --no-audio --no-record --offset " +
                                kTruth + " " + quote(std::string(DFS_SOURCE_DIR) + "/samples/city_world.png") + " " +
                                quote(clip) + " >/dev/null";
        std::printf("making a 2880x1440 clip of 90 frames without calibration ...\n");
        std::fflush(stdout);
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "bench_calibrate: make_sample failed\n");
            return 1;
        }
    }

    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    stitcher::RefineResult r;
    const stitcher::Status refined = stitcher::refineClipCalibration(clip, "", r, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;

    std::printf("%s", stitcher::describeRefineResult(r).c_str());
    std::printf("status: %s\n", refined.ok() ? stitcher::refineOutcomeName(r.outcome) : "bad input");
    // On a shared machine the wall clock also counts other processes' turns;
    // the CPU seconds (all threads together) do not.
    std::printf("calibration: %d frames used, %.2f s wall, %.2f s CPU with %d thread(s); target %.0f s, ratio %.2f\n",
                r.framesUsed, seconds, cpu, options.threads, kTargetSeconds, seconds / kTargetSeconds);
    if (synthesised) {
        double got[16], want[16];
        fields(r.offset, got);
        fields(kTruth, want);
        double centre = 0.0, radius = 0.0, angle = 0.0;
        for (int b = 0; b < 2; ++b) {
            radius = std::max(radius, std::fabs(got[1 + 6 * b] - want[1 + 6 * b]));
            centre = std::max(centre, std::hypot(got[2 + 6 * b] - want[2 + 6 * b], got[3 + 6 * b] - want[3 + 6 * b]));
        }
        for (int k = 10; k <= 12; ++k) angle = std::max(angle, std::fabs(got[k] - want[k]));
        std::printf("distance from the truth: centres %.3f px, radii %.3f px, lens-1 angles %.3f deg\n", centre,
                    radius, angle);
        std::remove(clip.c_str());
        rmdir(clip.substr(0, clip.rfind('/')).c_str());
    }
    return r.refined() ? 0 : 1;
}
