// Per-frame cost of exposure and colour matching on the bundled sample clip
// (1920 x 960 frames) and on the same frames scaled to 2880 x 1440: the
// estimate (seam sampling, robust statistics, smoothing) and the in-place
// apply that the GL path needs, in ms per frame. For scale it times, in the
// same run, a bare bilinear remap of one lens into a 1920 x 960 panorama on
// one core, which is less than any CPU stitch of a frame has to do, and
// prints the estimate as a share of it (an upper bound of its share of a CPU
// engine frame).
//
//   bench_color [clip.mp4] [frames]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ColorMatch.h"
#include "DualFisheyeModel.h"
#include "FisheyePlane.h"
#include "StitchLayout.h"
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

// A bare remap: every output pixel samples lens 1's mesh bilinearly (fixed
// point), at positions worked out once.
struct Remap {
    struct Tap {
        uint32_t offset;
        uint8_t wx, wy;  // 1/256
    };
    size_t row = 0;
    std::vector<Tap> taps;
    Remap(const DualFisheyeModel& model, int W, int H, int fw, int fh) : row(static_cast<size_t>(fw) * 3) {
        const stitchlayout::LayoutMesh mesh = stitchlayout::stitchMeshes(model, W, H)[1];
        float rot[3][3];
        fisheyeLensRotation(mesh.plane.lens, rot);
        taps.resize(static_cast<size_t>(W) * H);
        for (int r = 0; r < H; ++r)
            for (int c = 0; c < W; ++c) {
                double d[3];
                mesh.plane.directionAtPoint(W / 2.0 - (c + 0.5), r + 0.5 - H / 2.0, d);
                float u, v;
                fisheyeDirectionToUV(mesh.plane.lens, rot, d[0], d[1], d[2], &u, &v);
                const float x = std::min(std::max(u * fw - 0.5f, 0.0f), fw - 2.0f);
                const float y = std::min(std::max(v * fh - 0.5f, 0.0f), fh - 2.0f);
                const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
                Tap& t = taps[static_cast<size_t>(r) * W + c];
                t.offset = static_cast<uint32_t>((static_cast<size_t>(y0) * fw + x0) * 3);
                t.wx = static_cast<uint8_t>(std::min(255.0f, (x - x0) * 256.0f));
                t.wy = static_cast<uint8_t>(std::min(255.0f, (y - y0) * 256.0f));
            }
    }
    void run(const uint8_t* frame, uint8_t* out) const {
        for (const Tap& t : taps) {
            const uint8_t* p = frame + t.offset;
            const uint8_t* q = p + row;
            const int ax = 256 - t.wx, ay = 256 - t.wy;
            for (int c = 0; c < 3; ++c) {
                const int top = p[c] * ax + p[3 + c] * t.wx, bottom = q[c] * ax + q[3 + c] * t.wx;
                *out++ = static_cast<uint8_t>((top * ay + bottom * t.wy + 32768) >> 16);
            }
        }
    }
};

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

    const DualFisheyeModel model(offset.c_str());
    const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::printf("clip %s: %d frames of %dx%d\n", clip.c_str(), frames, fw, fh);

    stitcher::ColorGains off;  // an exposure difference, so that every pixel is rewritten
    for (int c = 0; c < 3; ++c) {
        off.gain[0][c] = 0.95f;
        off.gain[1][c] = 1.0f / 0.95f;
    }

    double estimateSmall = 0.0;
    const int sizes[2][2] = {{fw, fh}, {2880, 1440}};
    for (const auto& size : sizes) {
        const int W = size[0], H = size[1];
        std::vector<std::vector<uint8_t>> set;
        for (const auto& f : small) set.push_back(W == fw && H == fh ? f : scaleFrame(f, fw, fh, W, H));
        stitcher::ColorMatch match;
        stitcher::GainApplier applier;
        std::string error;
        if (!match.init(model, W, H, info.fps > 0 ? info.fps : 30.0, &error) || !applier.init(model, W, H, &error)) {
            std::fprintf(stderr, "colour matching: %s\n", error.c_str());
            return 1;
        }
        std::vector<uint8_t> work(set[0].size());
        const double estimate = timePerFrame(set, &work, 5, [&](const uint8_t* f) { match.update(f); });
        const double apply1 = timePerFrame(set, &work, 3, [&](uint8_t* f) { applier.apply(f, off, 1); });
        const double applyN = timePerFrame(set, &work, 3, [&](uint8_t* f) { applier.apply(f, off, threads); });
        if (W == fw) estimateSmall = estimate;
        std::printf("%dx%d frame: estimate %.3f ms (%zu sample pairs), apply %.2f ms on 1 thread, %.2f ms on %d; %s\n",
                    W, H, estimate, match.pairCount(), apply1, applyN, threads,
                    stitcher::formatGains(match.gains()).c_str());
    }

    // The reference: a bare remap into a 1920 x 960 panorama.
    const Remap remap(model, 1920, 960, fw, fh);
    std::vector<uint8_t> pano(1920 * 960 * 3), work(small[0].size());
    const double remapMs = timePerFrame(small, &work, 3, [&](const uint8_t* f) { remap.run(f, pano.data()); });
    std::printf("bare 1920x960 remap on one core: %.2f ms; estimate on %dx%d frames = %.1f%% of it\n", remapMs, fw, fh,
                100.0 * estimateSmall / remapMs);
    return 0;
}
