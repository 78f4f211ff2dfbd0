// Exposure and colour matching, judged on synthesised dual-fisheye frames
// whose truth is the source picture: lens 1 is made darker and bluer, the
// matching undoes it, and the stitched seam is measured against the truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ColorMatch.h"
#include "DualFisheyeModel.h"
#include "FisheyeSynth.h"
#include "DefaultOffset.h"

using namespace stitcher;
using testutil::BgrImage;

namespace {

const char* const kOffset = testutil::kDefaultOffset;
const int kSize = 240;                   // stitched output 480 x 240
const int kFrameW = 960, kFrameH = 480;  // calibration scaled from 2880 x 1440
const double kFps = 30.0;
// Lens 1 darker and bluer: B, G, R multipliers.
const double kDarkBlue[3] = {0.90, 0.80, 0.75};

struct Scene {
    std::unique_ptr<testutil::StitchGeometry> geometry;
    std::unique_ptr<DualFisheyeModel> model;
    BgrImage source;  // the truth, in the stitched layout
    BgrImage frame;   // balanced dual-fisheye frame of it
};

// Built once per test program; the geometry classes echo the offset text.
const Scene& scene() {
    static const Scene* s = [] {
        Scene* n = new Scene;
        testing::internal::CaptureStdout();
        n->geometry.reset(new testutil::StitchGeometry(kOffset, kSize));
        n->model.reset(new DualFisheyeModel(kOffset));
        testing::internal::GetCapturedStdout();
        n->source = testutil::makeSmoothPanorama(2 * kSize, kSize, 3);
        n->frame = n->geometry->synthesise(n->source, kFrameW, kFrameH);
        return n;
    }();
    return *s;
}

// Lens 1 fills the right half of the frame.
BgrImage scaleLens1(const BgrImage& f, const double k[3]) {
    BgrImage out = f;
    for (int y = 0; y < out.height; ++y)
        for (int x = out.width / 2; x < out.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const double v = std::lround(out.at(x, y)[c] * k[c]);
                out.at(x, y)[c] = static_cast<uint8_t>(std::min(255.0, v));
            }
    return out;
}

// Sensor noise (sigma 2 levels), a different pattern per seed.
void addNoise(BgrImage* f, unsigned seed) {
    static const std::vector<int8_t> table = [] {
        std::mt19937 rng(7);
        std::normal_distribution<double> n(0.0, 2.0);
        std::vector<int8_t> t((1 << 20) + 7);
        for (int8_t& v : t) v = static_cast<int8_t>(std::max(-8.0, std::min(8.0, std::round(n(rng)))));
        return t;
    }();
    size_t k = (static_cast<size_t>(seed) * 104729u) % table.size();
    for (uint8_t& v : f->data) {
        v = static_cast<uint8_t>(std::max(0, std::min(255, v + table[k])));
        if (++k == table.size()) k = 0;
    }
}

double lensRatio(const ColorGains& g, int c) { return g.gain[1][c] / g.gain[0][c]; }

// Across each seam, per channel, in fractions of full scale: `step` is the
// change of the mean error from the columns left of the band to those right
// of it; `bump` is how far the band's columns leave the straight line
// between the two. The error is output - s * truth, with one factor s per
// channel for the whole picture: an overall change of brightness is no seam.
struct SeamMeasure {
    double step[3] = {0, 0, 0};
    double bump[3] = {0, 0, 0};
};

SeamMeasure measureSeams(const BgrImage& out) {
    const Scene& s = scene();
    const int W = out.width, H = out.height;
    const int r0 = H / 10, r1 = H - H / 10;
    double ot[3] = {0, 0, 0}, tt[3] = {0, 0, 0};
    for (int y = r0; y < r1; ++y)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c) {
                ot[c] += double(out.at(x, y)[c]) * s.source.at(x, y)[c];
                tt[c] += double(s.source.at(x, y)[c]) * s.source.at(x, y)[c];
            }
    std::vector<double> err(static_cast<size_t>(W) * 3, 0.0);
    for (int y = r0; y < r1; ++y)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c)
                err[x * 3 + c] += (out.at(x, y)[c] - ot[c] / tt[c] * s.source.at(x, y)[c]) / 255.0 / (r1 - r0);
    const std::vector<uint8_t> band = s.geometry->blendBandMask(0.0);
    const uint8_t* row = &band[static_cast<size_t>(H / 2) * W];
    SeamMeasure m;
    int seams = 0;
    for (int x0 = 12; x0 < W - 12; ++x0) {
        if (!row[x0] || row[x0 - 1]) continue;
        int x1 = x0;
        while (x1 < W - 12 && row[x1]) ++x1;
        ++seams;
        for (int c = 0; c < 3; ++c) {
            double left = 0.0, right = 0.0;
            for (int k = 2; k < 12; ++k) {
                left += err[(x0 - k) * 3 + c] / 10.0;
                right += err[(x1 - 1 + k) * 3 + c] / 10.0;
            }
            m.step[c] = std::max(m.step[c], std::fabs(right - left));
            for (int x = x0; x < x1; ++x) {
                const double line = left + (right - left) * (x - x0 + 0.5) / (x1 - x0);
                m.bump[c] = std::max(m.bump[c], std::fabs(err[x * 3 + c] - line));
            }
        }
    }
    EXPECT_EQ(seams, 2);
    return m;
}

ColorMatch makeMatch() {
    ColorMatch match;
    const Status st = match.init(*scene().model, kFrameW, kFrameH, kFps);
    EXPECT_TRUE(st.ok()) << st.message();
    return match;
}

// What the GL engine does with the matched gains: applies them to the frame.
bool applyGains(const ColorMatch& match, uint8_t* frame, int threads = 1) {
    GainApplier applier;
    const Status st = applier.init(*scene().model, kFrameW, kFrameH);
    EXPECT_TRUE(st.ok()) << st.message();
    return applier.apply(frame, match.gains(), threads);
}

TEST(ColorMatch, UndoesDarkerBluerLensAcrossTheSeams) {
    const Scene& s = scene();
    const BgrImage tinted = scaleLens1(s.frame, kDarkBlue);
    ColorMatch match = makeMatch();
    const ColorGains g = match.update(tinted.data.data());
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(lensRatio(g, c) * kDarkBlue[c], 1.0, 0.01) << "channel " << c;
        EXPECT_NEAR(g.gain[0][c] * g.gain[1][c], 1.0, 1e-5) << "brightness kept, channel " << c;
    }

    BgrImage matched = tinted;
    EXPECT_TRUE(applyGains(match, matched.data.data(), 3));
    const SeamMeasure off = measureSeams(s.geometry->stitch(tinted));
    const SeamMeasure on = measureSeams(s.geometry->stitch(matched));
    for (int c = 0; c < 3; ++c) {
        EXPECT_LT(on.step[c], 0.015) << "channel " << c;
        EXPECT_LT(on.bump[c], 0.01) << "channel " << c;
        // Unmatched, the step is about the lens difference on mid-grey.
        EXPECT_GT(off.step[c], 0.4 * (1.0 - kDarkBlue[c]) * 0.5) << "channel " << c;
        EXPECT_GT(off.step[c], 3.0 * on.step[c]) << "channel " << c;
    }
}

TEST(ColorMatch, SteadySceneStaysSteadyAndExposureStepIsFollowed) {
    const Scene& s = scene();
    // 60 noisy frames as above, then lens 1 loses another 25% in every channel.
    const double after[3] = {kDarkBlue[0] * 0.75, kDarkBlue[1] * 0.75, kDarkBlue[2] * 0.75};
    const BgrImage before = scaleLens1(s.frame, kDarkBlue), later = scaleLens1(s.frame, after);
    ColorMatch match = makeMatch();
    std::vector<ColorGains> g;
    for (int f = 0; f < 120; ++f) {
        BgrImage frame = f < 60 ? before : later;
        addNoise(&frame, f);
        g.push_back(match.update(frame.data.data()));
    }
    for (int c = 0; c < 3; ++c) {
        for (int b = 0; b < 2; ++b) {
            auto gain = [&](const ColorGains& x, const ColorGains& y) { return x.gain[b][c] < y.gain[b][c]; };
            const auto range = std::minmax_element(g.begin(), g.begin() + 60, gain);
            EXPECT_LT(range.second->gain[b][c] / range.first->gain[b][c] - 1.0, 0.01) << "lens " << b << ", " << c;
        }
        EXPECT_NEAR(lensRatio(g[59], c) * kDarkBlue[c], 1.0, 0.01);
        // After the step: moves one way only, stops short of overshooting,
        // and is there within a second.
        const double target = 1.0 / after[c];
        for (int f = 60; f < 120; ++f) {
            EXPECT_GE(lensRatio(g[f], c), lensRatio(g[f - 1], c) * (1.0 - 1e-4)) << "frame " << f;
            EXPECT_LT(lensRatio(g[f], c), target * 1.005) << "frame " << f;
        }
        EXPECT_NEAR(lensRatio(g[60 + static_cast<int>(kFps)], c) / target, 1.0, 0.015) << "channel " << c;
        EXPECT_GT(lensRatio(g[62], c), lensRatio(g[59], c) * 1.01) << "moves at once, channel " << c;
    }
}

// The speed of following is set in seconds, whatever the frame rate.
TEST(ColorMatch, SmootherFollowsInSecondsAtAnyFrameRate) {
    ColorEstimate step;
    for (int c = 0; c < 3; ++c) {
        step.confident[c] = true;
        step.logRatio[c] = 0.4f;
    }
    ColorEstimate zero = step;
    for (float& r : zero.logRatio) r = 0.0f;
    double seconds[2];
    const double rates[2] = {24.0, 120.0};
    for (int i = 0; i < 2; ++i) {
        GainSmoother smoother(rates[i]);
        smoother.update(zero);
        int frames = 0;
        while (lensRatio(smoother.update(step), 0) < std::exp(0.4) * 0.98 && frames < 1000) ++frames;
        seconds[i] = frames / rates[i];
    }
    EXPECT_GT(seconds[0], 0.2);
    EXPECT_LT(seconds[0], 1.2);
    EXPECT_NEAR(seconds[1] / seconds[0], 1.0, 0.2);
}

TEST(ColorMatch, BalancedFlatAndUnusableInputs) {
    const Scene& s = scene();
    // Balanced noisy frames: the gains stay exactly 1 and nothing is applied.
    {
        ColorMatch match = makeMatch();
        for (int f = 0; f < 20; ++f) {
            BgrImage frame = s.frame;
            addNoise(&frame, 1000 + f);
            match.update(frame.data.data());
            ASSERT_TRUE(match.gains().identity()) << f << ": " << formatGains(match.gains());
            EXPECT_FALSE(match.holding());
        }
        BgrImage frame = s.frame;
        EXPECT_FALSE(applyGains(match, frame.data.data()));
        const double psnrOff = testutil::psnr(s.geometry->stitch(s.frame), s.source);
        const double psnrOn = testutil::psnr(s.geometry->stitch(frame), s.source);
        EXPECT_NEAR(psnrOn, psnrOff, 0.1);
    }
    // Flat grey is measured (both lenses agree); black and clipped white are
    // not, and hold what was there before.
    struct Case {
        uint8_t level;
        bool usable;
    };
    for (const Case& c : {Case{128, true}, Case{0, false}, Case{255, false}, Case{10, false}}) {
        BgrImage flat(kFrameW, kFrameH);
        std::fill(flat.data.begin(), flat.data.end(), c.level);
        ColorMatch match = makeMatch();
        match.update(flat.data.data());
        EXPECT_EQ(match.holding(), !c.usable) << int(c.level);
        EXPECT_TRUE(match.gains().identity()) << int(c.level);

        const BgrImage tinted = scaleLens1(s.frame, kDarkBlue);
        const ColorGains before = match.update(tinted.data.data());
        const ColorGains after = match.update(flat.data.data());
        for (int ch = 0; ch < 3; ++ch) {
            if (c.usable)  // back towards balance
                EXPECT_LT(lensRatio(after, ch), lensRatio(before, ch)) << int(c.level);
            else
                EXPECT_EQ(lensRatio(after, ch), lensRatio(before, ch)) << int(c.level);
        }
    }
}

TEST(ColorMatch, ApplyScalesEachLensCircleOnly) {
    struct Case {
        const char* offset;
        int w, h;
    };
    // The default calibration on a scaled frame, and circles that overlap.
    const Case cases[] = {
        {kOffset, 720, 360},
        {"2_420_380_300_0_0_0_420_700_310_180_0_0_1200_600_516", 400, 200},
    };
    const ColorGains g = {{{1.5f, 0.5f, 1.0f}, {0.8f, 1.25f, 2.0f}}};
    EXPECT_EQ(formatGains(g), "color gains B,G,R: lens 0 1.500 0.500 1.000, lens 1 0.800 1.250 2.000");
    for (const Case& k : cases) {
        testing::internal::CaptureStdout();
        const DualFisheyeModel model(k.offset);
        testing::internal::GetCapturedStdout();
        GainApplier applier;
        const Status st = applier.init(model, k.w, k.h);
        ASSERT_TRUE(st.ok()) << st.message();
        BgrImage original(k.w, k.h);
        for (size_t i = 0; i < original.data.size(); ++i) original.data[i] = static_cast<uint8_t>(20 + (i * 61) % 181);
        BgrImage frame = original, threaded = original;
        ASSERT_TRUE(applier.apply(frame.data.data(), g, 1));
        ASSERT_TRUE(applier.apply(threaded.data.data(), g, 3));
        EXPECT_EQ(frame.data, threaded.data);

        // Each pixel got one lens's gains (each value to the nearest level)
        // or none: those of the circle it lies in, none outside both (one
        // rim pixel aside), either where the circles overlap.
        const FisheyeLens* lens[2] = {&model.lens0, &model.lens1};
        const double sx = static_cast<double>(model.lens0.imageWidth) / k.w;
        const double sy = static_cast<double>(model.lens0.imageHeight) / k.h;
        const double rim = 2.0 * std::max(sx, sy) / lens[0]->radius;
        for (int y = 0; y < k.h; ++y)
            for (int x = 0; x < k.w; ++x) {
                const uint8_t *p = frame.at(x, y), *v = original.at(x, y);
                int got = p[0] == v[0] && p[1] == v[1] && p[2] == v[2] ? -1 : -2;
                bool in[2], out[2];
                for (int b = 0; b < 2; ++b) {
                    bool match = true;
                    for (int c = 0; c < 3; ++c)
                        match = match && std::fabs(p[c] - std::min(255.0, v[c] * double(g.gain[b][c]))) < 0.6;
                    if (match) got = b;
                    const double r = std::hypot((x + 0.5) * sx - lens[b]->centerX, (y + 0.5) * sy - lens[b]->centerY);
                    in[b] = r < lens[b]->radius;
                    out[b] = r > lens[b]->radius * (1.0 + rim);
                }
                const int want = out[0] && out[1] ? -1 : in[0] && out[1] ? 0 : in[1] && out[0] ? 1 : -3;
                ASSERT_TRUE(got != -2 && (got == want || (want == -3 && (got >= 0 || !(in[0] && in[1])))))
                    << x << "," << y << " got " << got;
            }
    }
}

TEST(ColorMatch, RefusesUnusableSetups) {
    ColorMatch match;
    testing::internal::CaptureStdout();
    const Status unreadable = match.init(DualFisheyeModel("2_1_2_3"), kFrameW, kFrameH, kFps);
    EXPECT_FALSE(unreadable.ok());
    EXPECT_FALSE(unreadable.message().empty());
    EXPECT_FALSE(match.init(DualFisheyeModel(kOffset), 0, kFrameH, kFps).ok());
    EXPECT_FALSE(match.init(DualFisheyeModel(kOffset), 100000, 100000, kFps).ok());
    // Lens 0's circle lies off the frame: nothing to compare.
    EXPECT_FALSE(match.init(DualFisheyeModel("2_713_-3000_708_0_0_0_712_2165_727_180_-180_0_2880_1440_516"), kFrameW,
                            kFrameH, kFps).ok());
    testing::internal::GetCapturedStdout();
    // Not initialised: gains stay 1 and nothing is applied.
    BgrImage frame(kFrameW, kFrameH);
    EXPECT_TRUE(match.update(frame.data.data()).identity());
    ColorGains darker;
    darker.gain[1][0] = 0.5f;
    EXPECT_FALSE(GainApplier().apply(frame.data.data(), darker));
    GainApplier ready;
    ASSERT_TRUE(ready.init(*scene().model, kFrameW, kFrameH).ok());
    EXPECT_FALSE(ready.apply(nullptr, darker));
}

}  // namespace
