// Near things at the seams: lenses a baseline apart see them at directions
// a little apart across the seam. Judged on ray-cast scenes with depth (three
// kinds of place, seeded) against the panorama seen from the camera's
// centre, with the same scene shot with no baseline as the bar.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CpuEngine.h"
#include "DefaultOffset.h"
#include "DepthScenes.h"
#include "FisheyeSynth.h"
#include "SeamTracker.h"

using namespace stitcher;
using testutil::BgrImage;
using testutil::DepthScene;

namespace {

const int kSize = 240;                   // panorama 480 x 240
const int kFrameW = 960, kFrameH = 480;  // calibration scaled from 2880 x 1440

const testutil::StitchGeometry& geometry() {
    static const testutil::StitchGeometry* g = [] {
        testing::internal::CaptureStdout();  // the geometry echoes the offset text
        auto* n = new testutil::StitchGeometry(testutil::kDefaultOffset, kSize);
        testing::internal::GetCapturedStdout();
        return n;
    }();
    return *g;
}

EngineSpec spec() {
    EngineSpec s;
    s.useCalibration(testutil::kDefaultOffset);
    s.size = kSize;
    s.frameWidth = kFrameW;
    s.frameHeight = kFrameH;
    s.threads = 2;
    return s;
}

std::unique_ptr<Engine> engine() {
    std::unique_ptr<Engine> e;
    const Status st = makeCpuEngine(spec(), e);
    EXPECT_TRUE(st.ok()) << st.message();
    return e;
}

BgrImage stitch(Engine& e, BgrImage& frame) {
    std::vector<uint8_t> rows(spec().outBytes());
    EXPECT_TRUE(e.stitch(frame.data.data(), rows.data()).ok());
    return testutil::fromAlignedRows(rows.data(), 2 * kSize, kSize);
}

SeamSettings settings(double baselineMm) {
    SeamSettings s;
    s.baselineMm = baselineMm;
    return s;
}

// Where both lenses weigh in (each at least 2% of the cross-fade: the middle
// 46% of each band) within 60 degrees of the horizon: where a near thing
// shows twice. The band's outer parts show one lens, as outside it.
std::vector<uint8_t> bandMask() {
    const std::vector<uint8_t> band = geometry().blendBandMask(0.0);
    std::vector<uint8_t> m(band.size(), 0);
    const int W = 2 * kSize;
    for (int row = 0; row < kSize; ++row) {
        if (std::fabs(90.0 - 180.0 * (row + 0.5) / kSize) > 60.0) continue;
        const uint8_t* b = &band[static_cast<size_t>(row) * W];
        for (int start = 0, col = 0; col <= W; ++col) {
            if (col < W && b[col]) continue;
            for (int c = start; c < col; ++c) {
                const double t = (c + 0.5 - start) / (col - start);
                m[static_cast<size_t>(row) * W + c] = t >= 0.27 && t <= 0.73;
            }
            start = col + 1;
        }
    }
    return m;
}

// Correlation of the gradient magnitudes of a and b over the mask.
double edgeCorrelation(const BgrImage& a, const BgrImage& b, const std::vector<uint8_t>& mask) {
    const auto grad = [](const BgrImage& im, int x, int y) {
        const auto g = [&](int xx, int yy) {
            const uint8_t* p = im.at(xx, yy);
            return (p[0] + p[1] + p[2]) / 3.0;
        };
        return std::hypot(g(x + 1, y) - g(x - 1, y), g(x, y + 1) - g(x, y - 1));
    };
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    int n = 0;
    for (int y = 1; y < a.height - 1; ++y)
        for (int x = 1; x < a.width - 1; ++x) {
            if (!mask[static_cast<size_t>(y) * a.width + x]) continue;
            const double u = grad(a, x, y), v = grad(b, x, y);
            sa += u, sb += v, saa += u * u, sbb += v * v, sab += u * v, ++n;
        }
    return (sab - sa * sb / n) / std::sqrt((saa - sa * sa / n) * (sbb - sb * sb / n));
}

using Maker = DepthScene (*)(const testutil::StitchGeometry&, int, int, uint32_t);
const Maker kMakers[3] = {testutil::yardScene, testutil::hallScene, testutil::streetScene};
const char* const kNames[3] = {"yard", "hall", "street"};

TEST(SeamDepth, NearThingsLineUpAtTheSeams) {
    const std::vector<uint8_t> mask = bandMask();
    std::mt19937 seeds(20261210);
    for (int w = 0; w < 3; ++w) {
        const DepthScene scene = kMakers[w](geometry(), 2 * kSize, kSize, seeds());
        const BgrImage truth = scene.truth(2 * kSize, kSize);
        BgrImage zeroFrame = scene.frame(geometry(), kFrameW, kFrameH, 0.0);
        auto plain = engine();
        const BgrImage zero = stitch(*plain, zeroFrame);
        const double barPsnr = testutil::psnr(zero, truth, &mask), barEdges = edgeCorrelation(zero, truth, mask);
        for (double baseline : {20.0, 30.0, 40.0}) {
            BgrImage frame = scene.frame(geometry(), kFrameW, kFrameH, baseline);
            const BgrImage before = stitch(*plain, frame);
            SeamTracker tracker(geometry().model(), kSize, kFrameW, kFrameH, settings(baseline));
            auto warped = engine();
            ASSERT_TRUE(warped->setSeamShift(tracker.measure(frame.data.data())));
            const BgrImage after = stitch(*warped, frame);
            if (getenv("SEAM_DUMP")) {
                for (const auto& t : scene.things) std::printf("thing pole %d d %.2f az %.3f w %.2f z %.2f..%.2f expect %.2f px\n", t.pole, t.distance, t.azimuth, t.width, t.bottom, t.top, baseline / 1000 / t.distance / (2 * M_PI / 480));
                for (int row = 40; row < 200; row += 8) std::printf("row %d: %.2f %.2f %.2f | %.2f %.2f %.2f\n", row, tracker.shift().shift[0][row*3], tracker.shift().shift[0][row*3+1], tracker.shift().shift[0][row*3+2], tracker.shift().shift[1][row*3], tracker.shift().shift[1][row*3+1], tracker.shift().shift[1][row*3+2]);
            }
            const double p0 = testutil::psnr(before, truth, &mask), p1 = testutil::psnr(after, truth, &mask);
            const double e0 = edgeCorrelation(before, truth, mask), e1 = edgeCorrelation(after, truth, mask);
            std::printf("%-6s %2.0f mm: band PSNR %.2f -> %.2f dB (no baseline %.2f); edges %.3f -> %.3f (%.3f)\n  %s\n",
                        kNames[w], baseline, p0, p1, barPsnr, e0, e1, barEdges, tracker.report().c_str());
            if (getenv("SEAM_DUMP")) {
                const auto dump = [&](const BgrImage& im, const char* n) {
                    FILE* f = fopen((std::string("/tmp/seamdump_") + kNames[w] + std::to_string(int(baseline)) + n + ".ppm").c_str(), "wb");
                    fprintf(f, "P6 %d %d 255\n", im.width, im.height);
                    for (size_t i = 0; i < im.data.size(); i += 3) { fputc(im.data[i + 2], f); fputc(im.data[i + 1], f); fputc(im.data[i], f); }
                    fclose(f);
                };
                dump(truth, "truth"); dump(before, "before"); dump(after, "after"); dump(zero, "zero");
            }
            EXPECT_GT(p1, barPsnr - 1.0) << kNames[w] << " " << baseline;
            EXPECT_GT(e1, 0.9 * barEdges) << kNames[w] << " " << baseline;
        }
    }
}

}  // namespace
