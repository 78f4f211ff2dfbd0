// Each lens's fall-off toward its rim, measured in colour matching and undone
// by both engines, judged on synthesised clips whose lens images carry a
// known fall-off (different per lens) and per-lens gains; the truth is the
// source picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ColorMatch.h"
#include "CpuEngine.h"
#include "DualFisheyeModel.h"
#include "FalloffEstimator.h"
#include "../../libspherecast/GlDriverPin.h"
#include "FisheyeSynth.h"
#include "GlEngine.h"
#include "DefaultOffset.h"

using namespace stitcher;
using testutil::BgrImage;

namespace {

const char* const kOffset = testutil::kDefaultOffset;
const int kSize = 240;                   // stitched output 480 x 240
const int kFrameW = 960, kFrameH = 480;  // calibration scaled from 2880 x 1440
const double kFps = 30.0;

// What a lens does to its picture: 1 + a r^2 + b r^4 (not the fitted form),
// times a gain per channel (B, G, R) whose product over the two lenses is 1,
// so that matched output has the truth's brightness.
struct LensLook {
    double a, b;
    double gain[3];
};
// Both lenses of one design, rims 42% darker; lens 0 brighter, and yellower.
// (Lenses whose fall-off differs: falloff_worlds_test.)
const LensLook kDark[2] = {{-0.25, -0.17, {1.03, 1.07, 1.10}}, {-0.25, -0.17, {1 / 1.03, 1 / 1.07, 1 / 1.10}}};
const LensLook kClear[2] = {{0, 0, {1.03, 1.07, 1.10}}, {0, 0, {1 / 1.03, 1 / 1.07, 1 / 1.10}}};

struct World {
    std::unique_ptr<testutil::StitchGeometry> geometry;
    std::unique_ptr<DualFisheyeModel> model;
    testutil::StitchGeometry::FrameMap map;
    BgrImage source;
    std::vector<uint8_t> bands;   // per output pixel: in a blend band
    std::vector<int> bandColumns;
};

const World& world() {
    static const World* w = [] {
        World* n = new World;
        testing::internal::CaptureStdout();  // the geometry echoes the offset text
        n->geometry.reset(new testutil::StitchGeometry(kOffset, kSize));
        n->model.reset(new DualFisheyeModel(kOffset));
        testing::internal::GetCapturedStdout();
        n->map = n->geometry->frameMap(kFrameW, kFrameH);
        n->source = testutil::makeSmoothPanorama(2 * kSize, kSize, 3);
        n->bands = n->geometry->blendBandMask(0.0);
        const int W = 2 * kSize;
        for (int x = 0; x < W; ++x)
            if (n->bands[static_cast<size_t>(kSize / 2) * W + x]) n->bandColumns.push_back(x);
        return n;
    }();
    return *w;
}

// The camera's frame, turned about the vertical axis, through the lenses'
// looks; with a seed, plus sensor noise (sigma 1.5 levels) of that pattern.
BgrImage shoot(const LensLook look[2], double turn, unsigned noiseSeed = 0) {
    const World& w = world();
    BgrImage f = w.geometry->synthesise(w.source, w.map, turn);
    const FisheyeLens* lens[2] = {&w.model->lens0, &w.model->lens1};
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x)
            for (int l = 0; l < 2; ++l) {
                const double r = std::hypot((x + 0.5) * lens[l]->imageWidth / f.width - lens[l]->centerX,
                                            (y + 0.5) * lens[l]->imageHeight / f.height - lens[l]->centerY) /
                                 lens[l]->radius;
                if (r > 1.02) continue;
                const double q = std::min(r, 1.0) * std::min(r, 1.0);
                const double v = 1.0 + look[l].a * q + look[l].b * q * q;
                for (int c = 0; c < 3; ++c)
                    f.at(x, y)[c] = static_cast<uint8_t>(std::min(255L, std::lround(f.at(x, y)[c] * v * look[l].gain[c])));
            }
    if (!noiseSeed) return f;
    static const std::vector<int8_t> table = [] {
        std::mt19937 rng(11);
        std::normal_distribution<double> n(0.0, 1.5);
        std::vector<int8_t> t((1 << 20) + 7);
        for (int8_t& v : t) v = static_cast<int8_t>(std::clamp(std::round(n(rng)), -6.0, 6.0));
        return t;
    }();
    size_t k = (static_cast<size_t>(noiseSeed) * 104729u) % table.size();
    for (uint8_t& v : f.data) {
        v = static_cast<uint8_t>(std::clamp(v + table[k], 0, 255));
        if (++k == table.size()) k = 0;
    }
    return f;
}

// The same frame (unturned), made once per look; with a seed, each value
// moved by -1, 0 or +1 at random.
BgrImage shootStill(const LensLook look[2], unsigned noiseSeed) {
    static std::vector<std::pair<const LensLook*, BgrImage>> clean;
    auto it = std::find_if(clean.begin(), clean.end(), [&](const auto& c) { return c.first == look; });
    if (it == clean.end()) {
        clean.emplace_back(look, shoot(look, 0.0));
        it = clean.end() - 1;
    }
    BgrImage f = it->second;
    if (!noiseSeed) return f;
    std::mt19937 rng(noiseSeed);
    std::uniform_int_distribution<int> step(-1, 1);
    for (uint8_t& v : f.data) v = static_cast<uint8_t>(std::clamp(v + step(rng), 0, 255));
    return f;
}

// The fall-off measured on eight frames spread over a turn; where `pairs`,
// each with one the camera turned 8 degrees further (each lens's own curve).
FalloffEstimator::Result measure(const LensLook look[2], bool pairs = false) {
    FalloffEstimator estimator;
    EXPECT_TRUE(estimator.init(*world().model, kFrameW, kFrameH).ok());
    // The turn from the second frame's directions to the first's (the
    // world's longitude runs against it).
    const double c = std::cos(8.0 * M_PI / 180), s = std::sin(8.0 * M_PI / 180);
    const double turn[3][3] = {{c, s, 0}, {-s, c, 0}, {0, 0, 1}};
    for (int k = 0; k < 8; ++k) {
        const BgrImage f = shoot(look, 45.0 * k, 100 + k);
        if (pairs)
            estimator.addPair(f.data.data(), shoot(look, 45.0 * k + 8.0, 200 + k).data.data(), turn);
        else
            estimator.add(f.data.data());
    }
    return estimator.fit();
}

EngineSpec engineFor(const LensFalloff& falloff) {
    EngineSpec s;
    s.useCalibration(kOffset);
    s.size = kSize;
    s.frameWidth = kFrameW;
    s.frameHeight = kFrameH;
    s.threads = 2;
    s.falloff = falloff;
    return s;
}

// Stitches `frames` frames of one view (noisy where `noisy`) with matching
// as a run does it (or none), on the engine given; returns each output.
std::vector<BgrImage> stitchRun(Engine& engine, const LensFalloff& falloff, bool matching, const LensLook look[2],
                                int frames, bool noisy = false) {
    ColorMatch match;
    EXPECT_TRUE(match.init(*world().model, kFrameW, kFrameH, kFps).ok());
    match.setFalloff(falloff);
    const EngineSpec s = engineFor(falloff);
    std::vector<BgrImage> out;
    for (int k = 0; k < frames; ++k) {
        BgrImage f = shootStill(look, noisy ? 7 + k : 0);
        if (matching) engine.setGains(match.update(f.data.data()).gain);
        std::vector<uint8_t> rows(s.outBytes());
        EXPECT_TRUE(engine.stitch(f.data.data(), rows.data()).ok());
        out.push_back(testutil::fromAlignedRows(rows.data(), s.outWidth(), s.outHeight()));
    }
    return out;
}

std::unique_ptr<Engine> cpuEngine(const LensFalloff& falloff) {
    std::unique_ptr<Engine> e;
    const Status st = makeCpuEngine(engineFor(falloff), e);
    EXPECT_TRUE(st.ok()) << st.message();
    return e;
}

// Per band column, stitched over true brightness (all channels, rows clear of the poles).
std::vector<double> bandLevels(const BgrImage& out) {
    const World& w = world();
    std::vector<double> level;
    for (const int x : w.bandColumns) {
        double o = 0.0, t = 0.0;
        for (int y = kSize / 10; y < kSize - kSize / 10; ++y)
            for (int c = 0; c < 3; ++c) {
                o += out.at(x, y)[c];
                t += w.source.at(x, y)[c];
            }
        level.push_back(o / t);
    }
    return level;
}

// The largest step of the error (output - truth, in full scale) across a
// seam, per channel: the mean of 10 columns either side of each band.
double seamStep(const BgrImage& out, int c) {
    const World& w = world();
    const int W = out.width;
    auto err = [&](int x) {
        double e = 0.0;
        for (int y = kSize / 10; y < kSize - kSize / 10; ++y) e += out.at(x, y)[c] - double(w.source.at(x, y)[c]);
        return e / 255.0 / (kSize - 2 * (kSize / 10));
    };
    double step = 0.0;
    const std::vector<int>& b = w.bandColumns;
    for (size_t i = 0; i < b.size(); ++i) {
        if (i > 0 && b[i] == b[i - 1] + 1) continue;  // not a band's first column
        size_t j = i;
        while (j + 1 < b.size() && b[j + 1] == b[j] + 1) ++j;
        double left = 0.0, right = 0.0;
        for (int k = 2; k < 12; ++k) {
            left += err((b[i] - k + W) % W) / 10.0;
            right += err((b[j] + k) % W) / 10.0;
        }
        step = std::max(step, std::fabs(right - left));
    }
    return step;
}

TEST(Falloff, DarkSeamBandsGoOnBothEngines) {
    const World& w = world();
    ASSERT_EQ(w.bandColumns.empty(), false);
    const FalloffEstimator::Result fit = measure(kDark, true);
    ASSERT_TRUE(fit.measured) << fit.why;
    EXPECT_TRUE(fit.falloff.curve);  // each lens's own, as a camera that turns gives it
    printf("fitted rims %.3f %.3f (true %.3f %.3f)\n", fit.falloff.rim(0), fit.falloff.rim(1),
           1 + kDark[0].a + kDark[0].b, 1 + kDark[1].a + kDark[1].b);

    std::unique_ptr<Engine> cpu = cpuEngine(fit.falloff), plain = cpuEngine(LensFalloff());
    const BgrImage on = stitchRun(*cpu, fit.falloff, true, kDark, 3).back();
    const BgrImage off = stitchRun(*plain, LensFalloff(), false, kDark, 1).back();
    const BgrImage gainsOnly = stitchRun(*plain, LensFalloff(), true, kDark, 3).back();
    const std::vector<double> levelOn = bandLevels(on), levelOff = bandLevels(off), levelGains = bandLevels(gainsOnly);
    double worstOn = 0.0, darkestOff = 1.0, darkestGains = 1.0;
    for (size_t i = 0; i < levelOn.size(); ++i) {
        worstOn = std::max(worstOn, std::fabs(levelOn[i] - 1.0));
        darkestOff = std::min(darkestOff, levelOff[i]);
        darkestGains = std::min(darkestGains, levelGains[i]);
    }
    printf("band brightness: matched within %.2f%% of the truth; %.1f%% dark unmatched, %.1f%% with gains only\n",
           100 * worstOn, 100 * (1 - darkestOff), 100 * (1 - darkestGains));
    EXPECT_LE(worstOn, 0.03);
    EXPECT_LE(darkestOff, 0.85);
    EXPECT_LE(darkestGains, 0.85);
    for (int c = 0; c < 3; ++c) {
        printf("seam step, channel %d: %.2f%%\n", c, 100 * seamStep(on, c));
        EXPECT_LE(seamStep(on, c), 0.015) << "channel " << c;
    }

    // Nearly as close to the truth in the bands as the same clip made without fall-off.
    std::unique_ptr<Engine> clear = cpuEngine(LensFalloff());
    const BgrImage clearOn = stitchRun(*clear, LensFalloff(), true, kClear, 3).back();
    const double psnrOn = testutil::psnr(on, w.source, &w.bands), psnrClear = testutil::psnr(clearOn, w.source, &w.bands);
    printf("PSNR in the bands: %.2f dB, the same clip without fall-off %.2f dB\n", psnrOn, psnrClear);
    // A band 2% off costs some 5 dB here (left dark, over 20).
    EXPECT_GE(psnrOn, psnrClear - 6.0);

    // The GL engine undoes the same fall-off.
    (void)gltest::kDriverPin;  // the software driver stays mapped: its allocations are not reported as ours
    std::unique_ptr<Engine> gl;
    testing::internal::CaptureStdout();
    const Status made = makeGlEngine(engineFor(fit.falloff), gl);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(made.ok()) << made.message();
    const BgrImage glOn = stitchRun(*gl, fit.falloff, true, kDark, 3).back();
    const std::vector<double> levelGl = bandLevels(glOn);
    double apart = 0.0;
    for (size_t i = 0; i < levelGl.size(); ++i) apart = std::max(apart, std::fabs(levelGl[i] / levelOn[i] - 1.0));
    printf("GL against CPU: band brightness within %.2f%%, %.2f dB in the bands\n", 100 * apart,
           testutil::psnr(glOn, on, &w.bands));
    EXPECT_LE(apart, 0.01);
    EXPECT_GE(testutil::psnr(glOn, on, &w.bands), 38.0);
}

}  // namespace

namespace {

const LensLook kPlain[2] = {{0, 0, {1, 1, 1}}, {0, 0, {1, 1, 1}}};

TEST(Falloff, SteadyOverAClipFlatWhereThereIsNoneAndGainsOnlyWhereUnmeasurable) {
    const World& w = world();
    const FalloffEstimator::Result fit = measure(kDark);
    ASSERT_TRUE(fit.measured) << fit.why;
    std::unique_ptr<Engine> cpu = cpuEngine(fit.falloff);
    const std::vector<BgrImage> run = stitchRun(*cpu, fit.falloff, true, kDark, 60, true);
    // Column by column over the frames.
    std::vector<double> lo(w.bandColumns.size(), 1e9), hi(w.bandColumns.size(), 0.0);
    for (const BgrImage& out : run) {
        const std::vector<double> level = bandLevels(out);
        for (size_t i = 0; i < level.size(); ++i) {
            lo[i] = std::min(lo[i], level[i]);
            hi[i] = std::max(hi[i], level[i]);
        }
    }
    double swing = 0.0;
    for (size_t i = 0; i < lo.size(); ++i) swing = std::max(swing, hi[i] / lo[i] - 1.0);
    printf("band brightness over 60 frames varies by %.2f%% at most\n", 100 * swing);
    EXPECT_LE(swing, 0.01);

    // Without fall-off (the lenses' gains apart) the estimate stays near 1;
    // with no difference at all the picture stays as matching off leaves it.
    const FalloffEstimator::Result clear = measure(kClear);
    ASSERT_TRUE(clear.measured) << clear.why;
    printf("rims fitted without fall-off: %.4f %.4f\n", clear.fitted.rim(0), clear.fitted.rim(1));
    EXPECT_GE(clear.fitted.rim(0), 0.98);
    EXPECT_GE(clear.fitted.rim(1), 0.98);
    const FalloffEstimator::Result none = measure(kPlain);
    ASSERT_TRUE(none.measured) << none.why;
    std::unique_ptr<Engine> plain = cpuEngine(none.falloff), off = cpuEngine(LensFalloff());
    const double on = testutil::psnr(stitchRun(*plain, none.falloff, true, kPlain, 3).back(), w.source);
    const double without = testutil::psnr(stitchRun(*off, LensFalloff(), false, kPlain, 1).back(), w.source);
    printf("without fall-off: %.2f dB matched, %.2f dB with matching off\n", on, without);
    EXPECT_GE(on, without - 0.2);

    // Black frames give nothing to measure: gains only, with the reason.
    FalloffEstimator dark;
    ASSERT_TRUE(dark.init(*w.model, kFrameW, kFrameH).ok());
    const std::vector<uint8_t> black(static_cast<size_t>(kFrameW) * kFrameH * 3, 8);
    for (int k = 0; k < 4; ++k) EXPECT_FALSE(dark.add(black.data()));
    const FalloffEstimator::Result unmeasured = dark.fit();
    EXPECT_FALSE(unmeasured.measured);
    EXPECT_TRUE(unmeasured.falloff.flat());
    EXPECT_FALSE(unmeasured.why.empty());

    // An interruption stops the sampling over the clip: not every frame is
    // read, and the fall-off stays flat.
    std::atomic<bool> stop{false};
    int reads = 0;
    const BgrImage still = shootStill(kDark, 0);
    const FalloffEstimator::Result stopped = estimateFalloff(
        *w.model, kFrameW, kFrameH, 1, 8,
        [&](long long, uint8_t* bgr) {
            std::copy(still.data.begin(), still.data.end(), bgr);
            if (++reads == 2) stop = true;
            return true;
        },
        stop);
    EXPECT_FALSE(stopped.measured);
    EXPECT_TRUE(stopped.falloff.flat());
    EXPECT_LT(reads, 8);
}

TEST(Falloff, TextReadsBackAndRefusesWhatCannotBeUsed) {
    LensFalloff f;
    f.a[0] = -0.31234;
    f.b[0] = -0.2;
    f.a[1] = -0.1;
    f.b[1] = 0.04;  // flattens toward the rim, still darkening
    LensFalloff back;
    ASSERT_TRUE(parseFalloff(formatFalloff(f), back).ok()) << formatFalloff(f);
    for (int l = 0; l < 2; ++l) EXPECT_NEAR(back.rim(l), f.rim(l), 1e-5);
    // A free-form curve: its control values read back, and it follows them
    // (0 on the axis, the last at the rim, never rising in between).
    LensFalloff curve;
    curve.curve = true;
    for (int k = 1; k < LensFalloff::kCurvePoints; ++k) {
        curve.c[0][k] = -0.05 * k * k / 7.0;
        curve.c[1][k] = -0.3 * k / 7.0;
    }
    ASSERT_TRUE(curve.usable());
    ASSERT_TRUE(parseFalloff(formatFalloff(curve), back).ok()) << formatFalloff(curve);
    for (int l = 0; l < 2; ++l) {
        EXPECT_DOUBLE_EQ(back.logValue(l, 0.0), 0.0);
        EXPECT_NEAR(back.rim(l), curve.rim(l), 2e-5);
        EXPECT_NEAR(back.logValue(l, 0.7), curve.logValue(l, 0.7), 2e-5);
        for (double r = 0.1; r < 1.0; r += 0.1) EXPECT_LT(back.logValue(l, r + 0.1), back.logValue(l, r)) << r;
    }
    // What a text gives prints as that text (a run and a farm plan's
    // segments undo the same fall-off).
    for (int k = 1; k < 2800; k += 7) {
        LensFalloff read = curve, again;
        read.c[0][1] = -k / 100000.0;
        const std::string text = formatFalloff(read);
        ASSERT_TRUE(parseFalloff(text, again).ok()) << text;
        EXPECT_EQ(formatFalloff(again), text);
    }
    for (const char* bad : {"", "falloff_", "falloff_-0.1_-0.1_-0.1", "falloff_-0.1_-0.1_-0.1_-0.1_", "fallof_0_0_0_0",
                            "falloff_curve_-0.1_-0.2_-0.3_-0.4_-0.5_-0.6_-0.7_-0.1_-0.2_-0.3_-0.4_-0.5_-0.6",
                            "falloff_curve_-0.1_-0.2_-0.1_-0.4_-0.5_-0.6_-0.7_-0.1_-0.2_-0.3_-0.4_-0.5_-0.6_-0.7",
                            "falloff_curve_-0.1_-0.2_-0.3_-0.4_-0.5_-0.6_-2_-0.1_-0.2_-0.3_-0.4_-0.5_-0.6_-0.7",
                            "falloff_-0.1_-0.1_-0.1_-0.1x", "falloff_nan_0_0_0", "falloff_-1e-1_0_0_0",
                            "falloff_ -0.1_0_0_0", "falloff_0.1_0_0_0", "falloff_-0.1_0.2_0_0", "falloff_-1_-1_0_0",
                            "falloff_--1_0_0_0", "falloff_-0.1_0_0_0.0.1"}) {
        back = LensFalloff();
        EXPECT_FALSE(parseFalloff(bad, back).ok()) << bad;
        EXPECT_TRUE(back.flat()) << bad;
    }
}

}  // namespace
