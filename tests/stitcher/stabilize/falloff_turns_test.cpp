// The lenses' fall-off measured as a run measures it: the camera's turn over
// short runs of frames followed by the motion analysis, each lens's curve
// fitted to the ratios it gives, against the lenses' true curves (one
// outside the two-term family); a still camera gets the two-term curve. The
// frames shared out among several readers give the same fit as one reader.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "DefaultOffset.h"
#include "DualFisheyeModel.h"
#include "FalloffEstimator.h"
#include "FalloffTurns.h"
#include "FisheyeSynth.h"
#include "Rotation.h"
#include "test_clips.h"

using namespace stitcher;
using testutil::BgrImage;

namespace {

constexpr int kSize = 120, kFrameW = 4 * kSize, kFrameH = 2 * kSize;
// Tolerance, fixed before the run: ln V against the truth at any radius.
constexpr double kMaxLogError = 0.03;

// The lenses' truths: a cos^4-like law (rim 0.65) and a sixth-order one (rim 0.70).
double truth(int lens, double r) {
    if (lens == 0) return std::pow(std::cos(std::acos(std::pow(0.65, 0.25)) * r), 4.0);
    return 1.0 - 0.05 * r * r - 0.05 * std::pow(r, 4) - 0.20 * std::pow(r, 6);
}

struct Clip {
    std::unique_ptr<testutil::StitchGeometry> geometry;
    std::unique_ptr<DualFisheyeModel> model;
    testutil::StitchGeometry::FrameMap map;
    BgrImage world = testutil::makeSmoothPanorama(1024, 512, 8);
    std::vector<float> look;  // per frame pixel: its lens's V times the lens's gain (lens 1 darker), 1 outside
    Clip() {
        testing::internal::CaptureStdout();  // the calibration model echoes its text
        geometry.reset(new testutil::StitchGeometry(testutil::kDefaultOffset, kSize));
        model.reset(new DualFisheyeModel(testutil::kDefaultOffset));
        testing::internal::GetCapturedStdout();
        map = geometry->frameMap(kFrameW, kFrameH);
        const FisheyeLens* lens[2] = {&model->lens0, &model->lens1};
        look.assign(static_cast<size_t>(kFrameW) * kFrameH, 1.0f);
        for (int y = 0; y < kFrameH; ++y)
            for (int x = 0; x < kFrameW; ++x)
                for (int l = 0; l < 2; ++l) {
                    const double r = std::hypot((x + 0.5) * lens[l]->imageWidth / kFrameW - lens[l]->centerX,
                                                (y + 0.5) * lens[l]->imageHeight / kFrameH - lens[l]->centerY) /
                                     lens[l]->radius;
                    if (r > 1.02) continue;
                    look[static_cast<size_t>(y) * kFrameW + x] = static_cast<float>(truth(l, std::min(r, 1.0)) * (l ? 0.9 : 1.0));
                    break;
                }
    }
    // The camera at frame k: it pans 3 degrees a frame and sways.
    static Rot camera(double k) { return Rot::fromAngles(3.0 * k, 6.0 * std::sin(k / 5.0), 4.0 * std::cos(k / 7.0)); }
    void frame(long long n, bool still, uint8_t* bgr) const {
        const BgrImage f = geometry->synthesise(world, map, camera(still ? 0.0 : static_cast<double>(n)).m);
        for (size_t i = 0; i < look.size(); ++i)
            for (int c = 0; c < 3; ++c) bgr[i * 3 + c] = static_cast<uint8_t>(std::min(255L, std::lround(f.data[i * 3 + c] * look[i])));
    }
};

TEST(FalloffTurns, EachLensCurveFromTheCameraTurningAndTheSeamsAloneWhenStill) {
    const Clip clip;
    EngineSpec setup;
    ASSERT_TRUE(setup.useCalibration(testutil::kDefaultOffset).ok());
    setup.frameWidth = kFrameW;
    setup.frameHeight = kFrameH;
    const TurnRuns runs = falloffRuns(setup, 10.0, 1);
    // A run's turn maps its last frame's directions to its first's.
    std::unique_ptr<TurnFollower> follower = runs.follower();
    std::vector<uint8_t> bgr(static_cast<size_t>(kFrameW) * kFrameH * 3);
    for (int i = 0; i <= runs.steps; ++i) {
        clip.frame(20 + runs.gap * i / runs.steps, false, bgr.data());
        follower->add(bgr.data());
    }
    Rot turn;
    ASSERT_TRUE(follower->turn(turn.m));
    EXPECT_LT(turn.degreesTo(Clip::camera(20).transposed() * Clip::camera(20 + runs.gap)), 0.2);

    // `keys`: a key picture every that many frames, which the sharing follows.
    auto measure = [&](bool still, size_t readers = 1, long long keys = 0) {
        const std::atomic<bool> interrupted(false);
        const FrameRead read = [&](long long n, uint8_t* out) { clip.frame(n, still, out); return true; };
        std::function<long long(long long)> keyBefore;
        if (keys) keyBefore = [keys](long long f) { return (f - 1) / keys * keys + 1; };
        return estimateFalloff(*clip.model, kFrameW, kFrameH, 1, 60, std::vector<FrameRead>(readers, read),
                               interrupted, 8, runs, keyBefore);
    };
    // Frames shared out among readers measure as through one, to the bit.
    auto same = [](const FalloffEstimator::Result& a, const FalloffEstimator::Result& b) {
        EXPECT_EQ(a.turned, b.turned);
        EXPECT_EQ(formatFalloff(a.falloff), formatFalloff(b.falloff));
        for (int l = 0; l < 2; ++l) {
            EXPECT_EQ(a.rimError[l], b.rimError[l]);
            EXPECT_EQ(a.fitted.a[l], b.fitted.a[l]);
            EXPECT_EQ(a.fitted.b[l], b.fitted.b[l]);
            for (int j = 0; j < LensFalloff::kCurvePoints; ++j) EXPECT_EQ(a.fitted.c[l][j], b.fitted.c[l][j]);
        }
    };
    const FalloffEstimator::Result turning = measure(false);
    same(turning, measure(false, 2, 20));
    EXPECT_TRUE(turning.turned) << turning.why;
    ASSERT_FALSE(turning.falloff.flat()) << turning.why;
    for (int l = 0; l < 2; ++l)
        for (double r = 0.05; r <= 0.95; r += 0.05)
            EXPECT_NEAR(turning.falloff.logValue(l, r), std::log(truth(l, r)), kMaxLogError) << "lens " << l << " at " << r;

    const FalloffEstimator::Result still = measure(true);
    same(still, measure(true, 3));
    EXPECT_FALSE(still.turned);
    EXPECT_FALSE(still.falloff.curve);
}

}  // namespace
