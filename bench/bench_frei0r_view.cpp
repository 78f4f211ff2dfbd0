// The frei0r filter's instance on its own, frame by frame, at a host's size
// (default 1920x1080): the time of a frame with the view fixed and with the
// angles (and a flat view's field of view) changing on every frame, for the
// panorama and a flat view; a frame that sets the engine up again (a
// parameter that shapes it changing every frame) beside them; and the seams
// lined up per frame (auto) or at a fixed distance against the far field's.
//
//   bench_frei0r_view [frames] [WxH] [clip]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "StitchFilter.h"

#include "BenchShell.h"

using bench::capture;
using bench::quote;

namespace {

void quiet(const std::string&) {}

// CPU seconds of this process, all its threads.
double cpuSeconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec * 1e-6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6;
}

void setText(dfsfrei0r::StitchFilter& f, int index, const char* text) { f.setParam(index, &text); }
void setNumber(dfsfrei0r::StitchFilter& f, int index, double v) { f.setParam(index, &v); }

struct Run {
    const char* name;
    const char* projection;
    const char* seam;
    bool moving;   // the angles (and fov) change every frame
    bool remake;   // a parameter that shapes the engine changes every frame
    bool turned = true;  // yaw 20, pitch -10; else no turn
};

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(2, std::atoi(argv[1])) : 24;
    int w = 1920, h = 1080;
    if (argc > 2 && std::sscanf(argv[2], "%dx%d", &w, &h) != 2) return 2;
    const std::string clip = argc > 3 ? argv[3] : std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";
    dfsfrei0r::setSay(quiet);
    const int distinct = 8;
    const std::string raw = capture("ffmpeg -nostdin -loglevel error -i " + quote(clip) + " -frames:v " +
                                    std::to_string(distinct) + " -vf scale=" + std::to_string(w) + ":" + std::to_string(h) +
                                    " -f rawvideo -pix_fmt rgba -");
    const size_t px = static_cast<size_t>(w) * h;
    if (raw.size() != px * 4 * distinct) {
        std::fprintf(stderr, "cannot read %d frames of %s\n", distinct, clip.c_str());
        return 1;
    }
    std::vector<std::vector<uint32_t>> in(distinct, std::vector<uint32_t>(px));
    for (int k = 0; k < distinct; ++k) std::memcpy(in[k].data(), raw.data() + k * px * 4, px * 4);
    std::vector<uint32_t> out(px);

    const Run runs[] = {
        {"equirect, view fixed", "equirect", "far", false, false},
        {"equirect, angles every frame", "equirect", "far", true, false},
        {"equirect, set up every frame", "equirect", "far", false, true},
        {"flat, view fixed", "flat", "far", false, false},
        {"flat, angles+fov every frame", "flat", "far", true, false},
        {"flat, set up every frame", "flat", "far", false, true},
        {"equirect, no turn, seam far", "equirect", "far", false, false, false},
        {"equirect, no turn, seam auto", "equirect", "auto", false, false, false},
        {"equirect, no turn, seam 1.5m", "equirect", "1.5m", false, false, false},
        {"equirect, seam auto", "equirect", "auto", false, false},
    };
    std::printf("%dx%d frames of %s, %d frames per run, ms per frame (after two frames: the set-up and the view's first change; CPU: all threads)\n", w, h,
                clip.c_str(), frames);
    for (const Run& r : runs) {
        dfsfrei0r::StitchFilter f(w, h);
        setText(f, dfsfrei0r::kProjection, r.projection);
        setText(f, dfsfrei0r::kSeam, r.seam);
        setNumber(f, dfsfrei0r::kYaw, r.turned ? 20 : 0);
        setNumber(f, dfsfrei0r::kPitch, r.turned ? -10 : 0);
        setNumber(f, dfsfrei0r::kFov, 90.0 / 180.0);
        auto frame = [&](int k) {
            if (r.moving) {
                setNumber(f, dfsfrei0r::kYaw, 20 + 1.5 * k);
                setNumber(f, dfsfrei0r::kPitch, -10 + 0.5 * k);
                setNumber(f, dfsfrei0r::kFov, (90.0 + 0.5 * k) / 180.0);
            }
            if (r.remake) setNumber(f, dfsfrei0r::kColorMatch, k % 2 ? 0.0 : 1.0);
            f.update(in[k % distinct].data(), out.data());
        };
        // Two frames first: the set-up, and the view's first change.
        frame(0);
        frame(1);
        const auto t0 = std::chrono::steady_clock::now();
        const double cpu0 = cpuSeconds();
        for (int k = 2; k < frames + 2; ++k) frame(k);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / frames;
        const double cpuMs = (cpuSeconds() - cpu0) * 1000.0 / frames;
        std::printf("  %-32s %8.1f ms wall %8.1f ms CPU  (%d set-ups)\n", r.name, ms, cpuMs, f.setUps());
    }
    return 0;
}
