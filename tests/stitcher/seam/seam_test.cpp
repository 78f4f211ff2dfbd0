// Near things at the seams: lenses a baseline apart see them at directions
// a little apart across the seam. Judged on ray-cast scenes with depth (three
// kinds of place, seeded) against the panorama seen from the camera's
// centre, with the same scene shot with no baseline as the bar.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ColorMatch.h"
#include "CpuEngine.h"
#include "DefaultOffset.h"
#include "DepthScenes.h"
#include "FisheyeSynth.h"
#include "SeamTracker.h"

using namespace stitcher;
using testutil::BgrImage;
using testutil::DepthScene;

namespace {

// Panorama 480 x 240 from 960 x 480 frames (the calibration scaled from
// 2880 x 1440); DFS_SEAM_SIZE=<rows> runs the same scenes at another size,
// frames scaled alike.
int sizeFromEnvironment() {
    const char* text = std::getenv("DFS_SEAM_SIZE");
    const int rows = text ? std::atoi(text) : 0;
    return rows >= 120 && rows <= 4096 ? rows : 240;
}
const int kSize = sizeFromEnvironment();
const int kFrameW = 4 * kSize, kFrameH = 2 * kSize;

const testutil::StitchGeometry& geometry() { return testutil::defaultGeometry(kSize); }

EngineSpec setup() {
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
    const Status st = makeCpuEngine(setup(), e);
    EXPECT_TRUE(st.ok()) << st.message();
    return e;
}

BgrImage stitch(Engine& e, BgrImage& frame) {
    std::vector<uint8_t> rows(setup().outBytes());
    EXPECT_TRUE(e.stitch(frame.data.data(), rows.data()).ok());
    return testutil::fromAlignedRows(rows.data(), 2 * kSize, kSize);
}

// The scene shot from one point and stitched as the warp stitches (its
// reads, a shift too small to move anything): what is left between it and
// a warped picture is the alignment's own error. Printed beside the bar.
BgrImage sameReads(BgrImage& frame) {
    auto e = engine();
    SeamShift still;
    for (auto& rows : still.shift) rows.assign(kSize, 1e-4f);
    EXPECT_TRUE(e->setSeamShift(still));
    return stitch(*e, frame);
}

SeamSettings settings(double baselineMm) {
    SeamSettings s;
    s.baselineMm = baselineMm;
    s.threads = 2;  // the bins measured on threads, as a run measures them
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
        const double readsPsnr = testutil::psnr(sameReads(zeroFrame), truth, &mask);
        for (double baseline : {20.0, 30.0, 40.0}) {
            BgrImage frame = scene.frame(geometry(), kFrameW, kFrameH, baseline);
            const BgrImage before = stitch(*plain, frame);
            SeamTracker tracker(geometry().model(), kSize, kFrameW, kFrameH, settings(baseline));
            auto warped = engine();
            ASSERT_TRUE(warped->setSeamShift(tracker.measure(frame.data.data())));
            const BgrImage after = stitch(*warped, frame);
            const double p0 = testutil::psnr(before, truth, &mask), p1 = testutil::psnr(after, truth, &mask);
            const double e0 = edgeCorrelation(before, truth, mask), e1 = edgeCorrelation(after, truth, mask);
            std::printf("%-6s %2.0f mm: band PSNR %.2f -> %.2f dB (no baseline %.2f, through the warp's reads %.2f); "
                        "edges %.3f -> %.3f (%.3f)\n  %s\n",
                        kNames[w], baseline, p0, p1, barPsnr, readsPsnr, e0, e1, barEdges, tracker.report().c_str());
            EXPECT_GT(p1, barPsnr - 1.0) << kNames[w] << " " << baseline;
            EXPECT_GT(e1, 0.9 * barEdges) << kNames[w] << " " << baseline;
        }
    }
}

// The measure does not depend on the panorama's size: trackers for
// panoramas 1, 2 and 4 times as high, reading the same frames, find the same
// disparities in degrees, cell by cell (a cell is the same rows and part of
// the band at every size), and keep the far field in as many cells.
TEST(SeamDepth, TheMeasureInDegreesDoesNotDependOnThePanoramasSize) {
    std::mt19937 seeds(8675309);
    const Maker makers[4] = {testutil::yardScene, testutil::hallScene, testutil::streetScene, testutil::parkScene};
    for (int w = 0; w < 4; ++w) {
        const double baseline = 25.0 + 10.0 * std::uniform_real_distribution<double>()(seeds);
        BgrImage frame = makers[w](geometry(), 2 * kSize, kSize, seeds()).frame(geometry(), kFrameW, kFrameH, baseline);
        std::vector<float> at[3];
        int found[3] = {0, 0, 0};
        for (int k = 0; k < 3; ++k) {
            SeamTracker tracker(geometry().model(), kSize << k, kFrameW, kFrameH, settings(baseline));
            tracker.measure(frame.data.data());
            at[k] = tracker.state();
            const int bins = tracker.cells() / 6, binRows = ((kSize << k) + bins - 1) / bins;
            for (size_t c = 0; c < at[k].size(); ++c) {
                found[k] += at[k][c] != 0.0f;
                at[k][c] = static_cast<float>(tracker.degrees(static_cast<int>(c % (bins * 3) / 3) * binRows + binRows / 2, at[k][c]));
            }
        }
        for (int k = 1; k < 3; ++k) {
            ASSERT_EQ(at[k].size(), at[0].size());
            int either = 0, agree = 0;
            for (size_t c = 0; c < at[0].size(); ++c) {
                if (at[0][c] == 0.0f && at[k][c] == 0.0f) continue;
                ++either;
                agree += std::fabs(at[0][c] - at[k][c]) <= 0.15f;
            }
            std::printf("%s at %d rows: %d cells with a near thing (%d at %d rows), %d of %d agree within 0.15 degrees\n",
                        w < 3 ? kNames[w] : "park", kSize << k, found[k], found[0], kSize, agree, either);
            EXPECT_GE(agree, 0.8 * either) << w << " at " << (kSize << k);
            EXPECT_NEAR(found[k], found[0], 0.05 * found[0] + 5) << w << " at " << (kSize << k);
        }
        EXPECT_GT(found[0], 60) << w;
    }
}

// Mean absolute change between consecutive pictures over the mask.
double meanChange(const std::vector<BgrImage>& run, const std::vector<uint8_t>& mask) {
    double sum = 0;
    long n = 0;
    for (size_t k = 1; k < run.size(); ++k)
        for (size_t i = 0; i < mask.size(); ++i)
            if (mask[i])
                for (int c = 0; c < 3; ++c, ++n) sum += std::abs(run[k].data[i * 3 + c] - run[k - 1].data[i * 3 + c]);
    return sum / static_cast<double>(n);
}

// The far-field stitch and the warped one of a frame, measured afresh.
void bothStitches(BgrImage& frame, double baseline, BgrImage* far, BgrImage* warped, SeamTracker* tracker = nullptr) {
    auto plain = engine(), seam = engine();
    *far = stitch(*plain, frame);
    SeamTracker own(geometry().model(), kSize, kFrameW, kFrameH, settings(baseline));
    ASSERT_TRUE(seam->setSeamShift((tracker ? tracker : &own)->measure(frame.data.data())));
    *warped = stitch(*seam, frame);
}

TEST(SeamDepth, OnlyTheBandsChangeAndTheFarFieldStaysAsItIs) {
    const std::vector<uint8_t> bands = geometry().blendBandMask(0.0);
    std::mt19937 seeds(77);
    BgrImage frame = testutil::hallScene(geometry(), 2 * kSize, kSize, seeds()).frame(geometry(), kFrameW, kFrameH, 30.0);
    BgrImage far, warped;
    bothStitches(frame, 30.0, &far, &warped);
    size_t changedInside = 0;
    for (size_t i = 0; i < bands.size(); ++i)
        for (int c = 0; c < 3; ++c) {
            if (bands[i]) changedInside += far.data[i * 3 + c] != warped.data[i * 3 + c];
            else ASSERT_EQ(far.data[i * 3 + c], warped.data[i * 3 + c]) << "pixel " << i << " outside the bands";
        }
    EXPECT_GT(changedInside, bands.size() / 50);  // the near things were warped
    for (uint32_t seed : {seeds(), seeds(), seeds()}) {
        BgrImage distant = testutil::farScene(2 * kSize, kSize, seed).frame(geometry(), kFrameW, kFrameH, 30.0);
        bothStitches(distant, 30.0, &far, &warped);
        EXPECT_GE(testutil::psnr(far, warped), 50.0) << "far scene " << seed;
    }
}

// Rows without disparity keep the far-field stitch to the byte, and rows
// with it change only in the bands, also on a panorama wide enough for the
// table to leave whole tiles of the warped columns to the warp (the warped
// rows' ends fall inside the table's bands of rows).
TEST(SeamDepth, RowsWithoutDisparityStayAsTheFarStitch) {
    EngineSpec params = setup();
    params.size = 2 * kSize;
    const int W = 2 * params.size, H = params.size;
    std::unique_ptr<Engine> plain, warped;
    ASSERT_TRUE(makeCpuEngine(params, plain).ok() && makeCpuEngine(params, warped).ok());
    SeamShift shift;
    for (auto& rows : shift.shift) rows.assign(static_cast<size_t>(H), 0.0f);
    const int r0 = H / 3 + 1, r1 = H / 2 + 3;
    for (int row = r0; row < r1; ++row) shift.shift[0][static_cast<size_t>(row)] = shift.shift[1][static_cast<size_t>(row)] = 6.0f;
    ASSERT_TRUE(warped->setSeamShift(shift));
    BgrImage frame(kFrameW, kFrameH);
    std::mt19937 rng(99);
    for (uint8_t& v : frame.data) v = static_cast<uint8_t>(rng());
    // The warped engine's buffer starts out as no stitch would leave it.
    std::vector<uint8_t> a(params.outBytes()), b(params.outBytes(), 0x5a);
    ASSERT_TRUE(plain->stitch(frame.data.data(), a.data()).ok());
    ASSERT_TRUE(warped->stitch(frame.data.data(), b.data()).ok());
    const BgrImage far = testutil::fromAlignedRows(a.data(), W, H), near = testutil::fromAlignedRows(b.data(), W, H);
    const std::vector<uint8_t> bands = testutil::defaultGeometry(params.size).blendBandMask(0.0);
    size_t changed = 0;
    for (int row = 0; row < H; ++row)
        for (int col = 0; col < W; ++col) {
            const size_t i = static_cast<size_t>(row) * W + col;
            const bool same = std::memcmp(far.at(col, row), near.at(col, row), 3) == 0;
            if (row >= r0 && row < r1 && bands[i]) changed += !same;
            else ASSERT_TRUE(same) << "row " << row << " column " << col;
        }
    EXPECT_GT(changed, static_cast<size_t>(r1 - r0) * 40);  // the rows with disparity were warped
}

// The warp keeps a row's taps while its shift stays: a shift changed in
// some rows, and back, gives the picture of an engine that had only that
// shift, to the byte.
TEST(SeamDepth, ChangedShiftsAreWarpedAfreshOnlyWhereTheyChange) {
    BgrImage frame(kFrameW, kFrameH);
    std::mt19937 rng(5);
    for (uint8_t& v : frame.data) v = static_cast<uint8_t>(rng());
    SeamShift first, second;
    for (int b = 0; b < 2; ++b) {
        first.shift[b].assign(kSize, 0.0f);
        for (int row = kSize / 4; row < 3 * kSize / 4; ++row) first.shift[b][static_cast<size_t>(row)] = 5.0f;
        second.shift[b] = first.shift[b];
        for (int row = kSize / 3; row < kSize / 2; ++row) second.shift[b][static_cast<size_t>(row)] = 2.5f + b;
    }
    const auto alone = [&](const SeamShift& shift) {
        auto e = engine();
        EXPECT_TRUE(e->setSeamShift(shift));
        return stitch(*e, frame).data;
    };
    const std::vector<uint8_t> expected[2] = {alone(first), alone(second)};
    ASSERT_NE(expected[0], expected[1]);
    auto e = engine();
    const SeamShift* run[] = {&first, &second, &second, &first};
    for (int k = 0; k < 4; ++k) {
        ASSERT_TRUE(e->setSeamShift(*run[k]));
        EXPECT_TRUE(stitch(*e, frame).data == expected[run[k] == &second]) << "frame " << k;
    }
}

// A still scene with sensor noise: the warped seams change from frame to
// frame no more than 1.5 times as much as the same scene shot from one point.
TEST(SeamDepth, StillSceneGivesStillSeams) {
    const std::vector<uint8_t> mask = bandMask();
    std::mt19937 seeds(4242);
    const DepthScene scene = testutil::yardScene(geometry(), 2 * kSize, kSize, seeds());
    double change[2];
    for (int k = 0; k < 2; ++k) {
        const BgrImage clean = scene.frame(geometry(), kFrameW, kFrameH, k ? 30.0 : 0.0);
        SeamTracker tracker(geometry().model(), kSize, kFrameW, kFrameH, settings(30.0));
        auto e = engine();
        std::mt19937 noise(99);
        std::normal_distribution<double> grain(0.0, 3.0);
        std::vector<BgrImage> run;
        for (int f = 0; f < 4; ++f) {
            BgrImage frame = clean;
            for (uint8_t& v : frame.data) v = static_cast<uint8_t>(std::min(255.0, std::max(0.0, v + grain(noise))));
            ASSERT_TRUE(e->setSeamShift(tracker.measure(frame.data.data())));
            run.push_back(stitch(*e, frame));
        }
        change[k] = meanChange(run, mask);
    }
    std::printf("frame-to-frame change in the bands: %.3f (no baseline %.3f)\n", change[1], change[0]);
    EXPECT_LE(change[1], 1.5 * change[0]);
}

// A person-sized panel walking across a seam at about a metre, seen every
// third frame: on each, where it is in the band, its picture is within 1 dB
// of the same scene shot from one point.
TEST(SeamDepth, WalkerAcrossTheSeamIsNotDoubled) {
    const std::vector<uint8_t> band = bandMask();
    std::mt19937 seeds(31337);
    const DepthScene scene = testutil::streetScene(geometry(), 2 * kSize, kSize, seeds());
    DepthScene without = scene;
    without.things.pop_back();  // the walker is the last
    SeamTracker tracker(geometry().model(), kSize, kFrameW, kFrameH, settings(30.0));
    auto warped = engine(), plain = engine();
    int seen = 0;
    for (int f = 0; f < 5; ++f) {
        const double t = f / 12.5;
        const BgrImage truth = scene.truth(2 * kSize, kSize, t), behind = without.truth(2 * kSize, kSize, t);
        std::vector<uint8_t> mask(band.size(), 0);
        size_t on = 0;
        for (size_t i = 0; i < band.size(); ++i) {
            mask[i] = band[i] && std::memcmp(&truth.data[i * 3], &behind.data[i * 3], 3) != 0;
            on += mask[i];
        }
        BgrImage frame = scene.frame(geometry(), kFrameW, kFrameH, 30.0, t);
        BgrImage one = scene.frame(geometry(), kFrameW, kFrameH, 0.0, t);
        ASSERT_TRUE(warped->setSeamShift(tracker.measure(frame.data.data())));
        if (on < 200) continue;
        ++seen;
        const BgrImage after = stitch(*warped, frame), before = stitch(*plain, frame), bar = stitch(*plain, one);
        const double p0 = testutil::psnr(before, truth, &mask), p1 = testutil::psnr(after, truth, &mask);
        const double pBar = testutil::psnr(bar, truth, &mask), pReads = testutil::psnr(sameReads(one), truth, &mask);
        std::printf("walker at %.2f s: PSNR %.2f -> %.2f dB (no baseline %.2f, through the warp's reads %.2f) over %zu pixels\n",
                    t, p0, p1, pBar, pReads, on);
        EXPECT_GE(p1, pBar - 1.0) << "at " << t << " s";
    }
    EXPECT_GE(seen, 3);
}

// The warp weighs each lens with the gains and the fall-off's lift that
// the table applies. Each lens seeing one flat colour (where it reads does
// not matter), lenses given different gains and fall-offs: a shift too
// small to move anything warps the bands to the table's picture, within
// a level on average and 3 at most.
TEST(SeamDepth, WarpKeepsTheGainsAndFallOff) {
    EngineSpec params = setup();
    params.falloff.a[0] = -0.30, params.falloff.b[0] = -0.20, params.falloff.a[1] = -0.25, params.falloff.b[1] = -0.18;
    const float gains[2][3] = {{1.25f, 1.0f, 0.8f}, {0.8f, 1.1f, 1.3f}};
    std::unique_ptr<Engine> plain, warped;
    ASSERT_TRUE(makeCpuEngine(params, plain).ok() && makeCpuEngine(params, warped).ok());
    plain->setGains(gains);
    warped->setGains(gains);
    SeamShift still;
    for (auto& rows : still.shift) rows.assign(kSize, 1e-4f);
    ASSERT_TRUE(warped->setSeamShift(still));
    BgrImage frame(kFrameW, kFrameH);
    const uint8_t colour[2][3] = {{60, 120, 200}, {180, 90, 40}};  // lens 0 on the left half, lens 1 on the right
    for (int y = 0; y < kFrameH; ++y)
        for (int x = 0; x < kFrameW; ++x) std::memcpy(frame.at(x, y), colour[x >= kFrameW / 2], 3);
    const BgrImage a = stitch(*plain, frame), b = stitch(*warped, frame);
    const std::vector<uint8_t> mask = bandMask();
    double sum = 0;
    int most = 0;
    size_t n = 0;
    for (size_t i = 0; i < mask.size(); ++i)
        for (int c = 0; c < 3 && mask[i]; ++c, ++n) {
            const int d = std::abs(a.data[i * 3 + c] - b.data[i * 3 + c]);
            sum += d;
            most = std::max(most, d);
        }
    ASSERT_GT(n, 3000u);
    EXPECT_LE(sum / static_cast<double>(n), 1.0);
    EXPECT_LE(most, 3);
}

// Pictures that give nothing to align: the far-field seam and a message.
TEST(SeamDepth, NothingToAlignKeepsTheFarFieldSeam) {
    std::mt19937 seeds(2718);
    const BgrImage scene = testutil::yardScene(geometry(), 2 * kSize, kSize, seeds()).frame(geometry(), kFrameW, kFrameH, 30.0);
    BgrImage grey(kFrameW, kFrameH), sky(kFrameW, kFrameH), cap = scene, noise(kFrameW, kFrameH);
    std::fill(grey.data.begin(), grey.data.end(), 128);
    for (size_t i = 0; i < sky.data.size(); ++i) sky.data[i] = (i / 3 / kFrameW) % 7 == 0 ? 250 : 255;
    for (int y = 0; y < kFrameH; ++y)  // lens 1 (the right half) capped: dark with a little grain
        for (int x = kFrameW / 2; x < kFrameW; ++x)
            for (int c = 0; c < 3; ++c) cap.at(x, y)[c] = static_cast<uint8_t>((x * 7 + y * 13) % 3);
    std::mt19937 rng(5);
    for (uint8_t& v : noise.data) v = static_cast<uint8_t>(rng());
    const std::pair<const char*, BgrImage*> cases[] = {{"flat grey", &grey}, {"clipped sky", &sky}, {"lens cap", &cap}, {"noise", &noise}};
    for (const auto& c : cases) {
        SeamTracker tracker(geometry().model(), kSize, kFrameW, kFrameH, settings(30.0));
        for (int f = 0; f < 3; ++f) tracker.measure(c.second->data.data());
        EXPECT_FALSE(tracker.shift().any()) << c.first;
        EXPECT_GT(tracker.fallbackShare(), 0.5) << c.first;
        EXPECT_NE(tracker.report().find("nothing to align"), std::string::npos) << c.first << ": " << tracker.report();
        BgrImage far, warped;
        bothStitches(*c.second, 30.0, &far, &warped);
        EXPECT_EQ(far.data, warped.data) << c.first;
    }
}

// Colour matching on the near scenes, lens 0 metered 10% brighter: with the
// rows the seam's disparity marks left out, the gains are within 2% of those
// of the same scene seen from one point.
TEST(SeamDepth, NearThingsDoNotThrowTheGains) {
    std::mt19937 seeds(20261210);
    for (int w = 0; w < 3; ++w) {
        const DepthScene scene = kMakers[w](geometry(), 2 * kSize, kSize, seeds());
        float bar[2][3] = {};
        for (double b : {0.0, 40.0}) {
            BgrImage f = scene.frame(geometry(), kFrameW, kFrameH, b);
            for (int y = 0; y < kFrameH; ++y)
                for (int x = 0; x < kFrameW / 2; ++x)
                    for (int c = 0; c < 3; ++c) f.at(x, y)[c] = static_cast<uint8_t>(std::min(255.0, f.at(x, y)[c] * 1.1));
            ColorMatch match;
            ASSERT_TRUE(match.init(geometry().model(), kFrameW, kFrameH, 30.0).ok());
            SeamTracker tracker(geometry().model(), kSize, kFrameW, kFrameH, settings(b));
            ColorGains g;
            for (int k = 0; k < 20; ++k) {
                if (b > 0) match.setSeamShift(tracker.measure(f.data.data()));
                g = match.update(f.data.data());
            }
            std::printf("%s %2.0f mm: %s\n", kNames[w], b, formatGains(g).c_str());
            for (int lens = 0; lens < 2; ++lens)
                for (int c = 0; c < 3; ++c) {
                    if (b == 0) bar[lens][c] = g.gain[lens][c];
                    else EXPECT_NEAR(g.gain[lens][c] / bar[lens][c], 1.0, 0.02) << kNames[w] << " lens " << lens;
                }
        }
        EXPECT_LT(bar[0][1], 0.97) << "the one-point scene's gains undo lens 0's 10%";
    }
}

}  // namespace

// A flat or planet view warps the bands where it shows them as the
// panorama warps them: near things at a seam line up in a view looking at it
// (against the truth seen from the camera's centre, looked up through the
// same view), and the view changes only where it shows a band. Fixed and
// per-frame views alike (a flat one set again on its next frame).
namespace {

struct ViewLook {
    ViewShape shape;
    double m[3][3];  // output direction d shows the panorama's m d
};

// The panorama looked up bilinearly through the view.
BgrImage throughView(const BgrImage& pano, const ViewLook& v) {
    BgrImage out(v.shape.width, v.shape.height);
    const double pi = 3.14159265358979323846;
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            double d[3], r[3] = {0, 0, 0}, rgb[3];
            viewDirection(v.shape, x + 0.5, y + 0.5, d);
            for (int i = 0; i < 3; ++i)
                for (int k = 0; k < 3; ++k) r[i] += v.m[i][k] * d[k];
            double t = std::atan2(r[1], r[0]);
            if (t < 0) t += 2 * pi;
            testutil::sampleBilinear(pano, t / (2 * pi) * pano.width, std::acos(std::fmax(-1.0, std::fmin(1.0, r[2]))) / pi * pano.height,
                                     true, rgb);
            for (int c = 0; c < 3; ++c) out.at(x, y)[c] = static_cast<uint8_t>(std::lround(rgb[c]));
        }
    return out;
}

BgrImage viewStitch(BgrImage& frame, const ViewLook& v, bool moving, const SeamShift* shift) {
    EngineSpec s = setup();
    s.view = v.shape;
    s.perFrameRotation = moving;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) s.rotation[j][i] = static_cast<float>(v.m[i][j]);
    std::unique_ptr<Engine> e;
    const Status made = makeCpuEngine(s, e);
    EXPECT_TRUE(made.ok()) << made.message();
    if (!made.ok()) return BgrImage();
    if (shift) {
        EXPECT_TRUE(e->setSeamShift(*shift));
    }
    std::vector<uint8_t> rows(s.outBytes());
    EXPECT_TRUE(e->stitch(frame.data.data(), rows.data()).ok());
    if (moving) {  // the view set again, as each frame of a moving camera sets it
        e->setRotation(s.rotation);
        EXPECT_TRUE(e->stitch(frame.data.data(), rows.data()).ok());
    }
    return testutil::fromAlignedRows(rows.data(), v.shape.width, v.shape.height);
}

}  // namespace

TEST(SeamDepth, FlatAndPlanetViewsLineUpTheSeamsTheyShow) {
    double seams[2];
    testutil::seamAzimuths(geometry(), seams);
    const double pi = 3.14159265358979323846;
    std::mt19937 rng(4242);
    std::uniform_real_distribution<double> jitter(-1.0, 1.0);
    // Rz(yaw) Ry(pitch) Rx(roll): a flat view's middle, (-1, 0, 0), turned to the seam's longitude.
    const auto look = [](double yaw, double pitch, double roll, ViewLook& v) {
        const double a = yaw, b = pitch, c = roll;
        const double z[3][3] = {{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}};
        const double y[3][3] = {{std::cos(b), 0, std::sin(b)}, {0, 1, 0}, {-std::sin(b), 0, std::cos(b)}};
        const double x[3][3] = {{1, 0, 0}, {0, std::cos(c), -std::sin(c)}, {0, std::sin(c), std::cos(c)}};
        double zy[3][3] = {};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                for (int k = 0; k < 3; ++k) zy[i][j] += z[i][k] * y[k][j];
            }
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                v.m[i][j] = 0;
                for (int k = 0; k < 3; ++k) v.m[i][j] += zy[i][k] * x[k][j];
            }
    };
    for (int k = 0; k < 3; ++k) {
        const DepthScene scene = kMakers[k](geometry(), 2 * kSize, kSize, rng());
        BgrImage frame = scene.frame(geometry(), kFrameW, kFrameH, 30.0);
        const BgrImage truth = scene.truth(4 * kSize, 2 * kSize);
        SeamTracker tracker(geometry().model(), kSize, kFrameW, kFrameH, settings(30.0));
        const SeamShift shift = tracker.measure(frame.data.data());
        // Drawn one by one, in the same order whatever the compiler. The
        // planet's pixels are about the panorama's where it shows the seams.
        double draw[5];
        for (double& d : draw) d = jitter(rng);
        ViewLook views[2];
        views[0].shape = ViewShape{Projection::Flat, 160, 90, 60.0 + 10.0 * draw[0]};
        look(seams[k % 2] - pi + 0.05 * draw[1], 0.15 * draw[2], 0.1 * draw[3], views[0]);
        views[1].shape = ViewShape{Projection::Planet, 360, 360, 100.0};
        look(draw[4] * pi, 0.0, 0.0, views[1]);
        for (const ViewLook& v : views) {
            const BgrImage seen = throughView(truth, v);
            const BgrImage far = viewStitch(frame, v, false, nullptr);
            for (bool moving : {false, true}) {
                if (moving && v.shape.projection != Projection::Flat) continue;  // one view moving is enough
                const BgrImage warped = viewStitch(frame, v, moving, &shift);
                // Where the view changed, and only where it shows a band.
                std::vector<uint8_t> changed(far.data.size() / 3, 0);
                size_t count = 0;
                for (size_t i = 0; i < changed.size(); ++i)
                    for (int c = 0; c < 3; ++c) changed[i] |= far.data[i * 3 + c] != warped.data[i * 3 + c];
                const std::vector<uint8_t> bands = geometry().blendBandMask(1.0);
                for (int y = 0; y < far.height; ++y)
                    for (int x = 0; x < far.width; ++x) {
                        if (!changed[static_cast<size_t>(y) * far.width + x]) continue;
                        ++count;
                        double d[3], r[3] = {0, 0, 0};
                        viewDirection(v.shape, x + 0.5, y + 0.5, d);
                        for (int i = 0; i < 3; ++i)
                            for (int j = 0; j < 3; ++j) r[i] += v.m[i][j] * d[j];
                        double t = std::atan2(r[1], r[0]);
                        if (t < 0) t += 2 * pi;
                        const int col = std::min(2 * kSize - 1, static_cast<int>(t / (2 * pi) * 2 * kSize));
                        const int row = std::min(kSize - 1, static_cast<int>(std::acos(r[2]) / pi * kSize));
                        ASSERT_TRUE(bands[static_cast<size_t>(row) * 2 * kSize + col])
                            << kNames[k] << ": view pixel " << x << "," << y << " changed outside the bands";
                    }
                ASSERT_GT(count, changed.size() / 100) << kNames[k] << ": the view shows a seam, yet nothing was warped";
                const double toTruth = testutil::psnr(warped, seen, &changed), farToTruth = testutil::psnr(far, seen, &changed);
                std::printf("%s %s%s: %zu pixels warped, against the truth %.2f dB (far %.2f)\n", kNames[k],
                            v.shape.projection == Projection::Flat ? "flat" : "planet", moving ? " moving" : "", count, toTruth,
                            farToTruth);
                EXPECT_GE(toTruth, farToTruth + 0.5) << kNames[k];
            }
        }
    }
}

// A host's 4-byte pixels (a fourth byte of anything) stitched, measured and
// colour-matched as the same frame in 3 bytes: the same seams, the same
// colour figures, and the same picture, byte for byte, with 255 as each
// pixel's fourth byte: the panorama fixed and turned per frame, a flat view
// fixed and moving and a planet, all with the seams warped and gains set.
TEST(SeamDepth, FourBytePixelsGiveTheThreeBytePicture) {
    std::mt19937 rng(1210);
    const DepthScene scene = testutil::yardScene(geometry(), 2 * kSize, kSize, rng());
    BgrImage frame = scene.frame(geometry(), kFrameW, kFrameH, 30.0);
    std::vector<uint8_t> frame4(frame.data.size() / 3 * 4);
    for (size_t i = 0; i < frame4.size(); ++i) frame4[i] = i % 4 == 3 ? static_cast<uint8_t>(rng()) : frame.data[i / 4 * 3 + i % 4];

    SeamTracker tracker3(geometry().model(), kSize, kFrameW, kFrameH, settings(30.0));
    SeamSettings four = settings(30.0);
    four.texelBytes = 4;
    SeamTracker tracker4(geometry().model(), kSize, kFrameW, kFrameH, four);
    const SeamShift shift = tracker3.measure(frame.data.data());
    const SeamShift& shift4 = tracker4.measure(frame4.data());
    for (int b = 0; b < 2; ++b) EXPECT_TRUE(shift4.shift[b] == shift.shift[b]) << "band " << b;
    ASSERT_TRUE(std::any_of(shift.shift[0].begin(), shift.shift[0].end(), [](float s) { return std::fabs(s) > 0.5f; }));

    ColorEstimator color;
    ASSERT_TRUE(color.init(geometry().model(), kFrameW, kFrameH).ok());
    const ColorEstimate e3 = color.estimate(frame.data.data()), e4 = color.estimate(frame4.data(), 4);
    for (int c = 0; c < 3; ++c) {
        EXPECT_GT(e3.used[c], 0);
        EXPECT_EQ(e4.used[c], e3.used[c]);
        EXPECT_EQ(e4.logRatio[c], e3.logRatio[c]);
    }

    const float gains[2][3] = {{1.2f, 0.9f, 1.05f}, {0.8f, 1.1f, 1.3f}};
    const double turn = 0.7, c = std::cos(turn), s = std::sin(turn);
    const float m[4][4] = {{static_cast<float>(c), static_cast<float>(s), 0, 0}, {static_cast<float>(-s), static_cast<float>(c), 0, 0},
                           {0, 0, 1, 0}, {0, 0, 0, 1}};
    struct Case {
        const char* name;
        ViewShape view;
        bool moving;
    } cases[] = {{"panorama", ViewShape{}, false},
                 {"turning panorama", ViewShape{}, true},
                 {"flat", ViewShape{Projection::Flat, 160, 90, 70.0}, false},
                 {"moving flat", ViewShape{Projection::Flat, 160, 90, 70.0}, true},
                 {"planet", ViewShape{Projection::Planet, 180, 180, 100.0}, false}};
    for (const Case& k : cases) {
        std::vector<uint8_t> out[2];
        int w = 0, h = 0;
        size_t stride3 = 0;
        for (int bytes : {3, 4}) {
            EngineSpec params = setup();
            params.texelBytes = bytes;
            params.view = k.view;
            params.perFrameRotation = k.moving;
            std::unique_ptr<CpuEngine> e;
            const Status made = CpuEngine::create(params, e);
            ASSERT_TRUE(made.ok()) << made.message();
            w = params.outWidth(), h = params.outHeight();
            if (bytes == 3) stride3 = params.outStride();
            EXPECT_TRUE(e->setSeamShift(shift)) << k.name;
            e->setGains(gains);
            if (k.moving) e->setRotation(m);
            std::vector<uint8_t>& o = out[bytes - 3];
            o.assign(params.outBytes(), 0xAB);
            const uint8_t* in = bytes == 3 ? frame.data.data() : frame4.data();
            ASSERT_TRUE(e->stitchFrom(in, o.data()).ok());
            ASSERT_TRUE(e->stitchFrom(in, o.data()).ok());  // a fixed view's second frame, from its kept taps
        }
        ASSERT_EQ(out[1].size(), 4 * static_cast<size_t>(w) * h);
        size_t wrong = 0;
        for (size_t y = 0; y < static_cast<size_t>(h); ++y)
            for (size_t x = 0; x < static_cast<size_t>(w); ++x) {
                const uint8_t* p3 = &out[0][y * stride3 + 3 * x];
                const uint8_t* p4 = &out[1][(y * w + x) * 4];
                wrong += p4[0] != p3[0] || p4[1] != p3[1] || p4[2] != p3[2] || p4[3] != 255;
            }
        EXPECT_EQ(wrong, 0u) << k.name;
    }
}
