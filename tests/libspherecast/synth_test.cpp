#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "DefaultOffset.h"
#include "DualFisheyeModel.h"
#include "FisheyeSynth.h"

using namespace testutil;

namespace {

const std::string kBody = testutil::defaultOffsetWithoutCode();
const std::string kDefault = testutil::kDefaultOffset;

// Geometry objects echo the offset string on standard output.
std::unique_ptr<StitchGeometry> geometry(const std::string& offset, int size, Layout layout = Layout::Stitch) {
    testing::internal::CaptureStdout();
    std::unique_ptr<StitchGeometry> g(new StitchGeometry(offset, size, layout));
    testing::internal::GetCapturedStdout();
    return g;
}

// Size 480: W = 960, H = 480, blend bands B = 30/180 * 480 = 80 pixels wide.
TEST(FisheyeSynth, StitchLayoutLensesAndBands) {
    auto g_ = geometry(kDefault, 480);
    StitchGeometry& g = *g_;
    ASSERT_TRUE(g.ok()) << g.error();
    ASSERT_EQ(g.width(), 960);
    ASSERT_EQ(g.height(), 480);

    const std::vector<uint8_t> band = g.blendBandMask(0.0);
    for (int row : {0, 240, 479}) {
        for (int col = 0; col < 960; ++col) {
            const bool expected = (col >= 240 && col < 320) || (col >= 720 && col < 800);
            ASSERT_EQ(band[static_cast<size_t>(row) * 960 + col] != 0, expected) << col << "," << row;
        }
    }
    struct Case { int col; int lens; int mesh; };
    const Case single[] = {{0, 0, 2}, {239, 0, 2}, {320, 1, 1}, {500, 1, 1}, {719, 1, 1}, {800, 0, 0}, {959, 0, 0}};
    for (const Case& c : single) {
        for (int row : {0, 100, 479}) {
            const OutputSample s = g.forward(c.col, row, UvMode::Exact, 2880, 1440);
            EXPECT_EQ(s.dominantLens(), c.lens) << c.col;
            EXPECT_NEAR(s.coverage, 1.0, 1e-9) << c.col;
            double top = 0.0;
            int topMesh = -1;
            for (int k = 0; k < s.count; ++k)
                if (s.s[k].weight > top) { top = s.s[k].weight; topMesh = s.s[k].mesh; }
            EXPECT_EQ(topMesh, c.mesh) << c.col;
            EXPECT_GT(top, 0.999) << c.col;
        }
    }
    // Middle of each band: both lenses about equally.
    for (int col : {280, 760}) {
        const OutputSample s = g.forward(col, 240, UvMode::Exact, 2880, 1440);
        ASSERT_EQ(s.count, 2) << col;
        EXPECT_NE(s.s[0].lens, s.s[1].lens);
        EXPECT_NEAR(s.s[0].weight, 0.5, 0.1) << col;
        EXPECT_NEAR(s.s[0].weight + s.s[1].weight, 1.0, 1e-9);
    }
    // A margin widens the bands on both sides.
    const std::vector<uint8_t> wide = g.blendBandMask(3.0);
    EXPECT_TRUE(wide[237] && wide[322] && wide[717] && wide[802]);
    EXPECT_FALSE(wide[235] || wide[324] || wide[500]);
}

// Forward mapping then the synthesiser's inverse lands back on the pixel
// centre, for the three lens models and rotated lenses.
TEST(FisheyeSynth, ForwardAndInverseMappingAgree) {
    const std::string offsets[] = {
        kDefault,
        kBody + "_2",
        kBody + "_261",
        "2_700_720_720_12.5_-20_33_690_2160_715_170_-175_-8_2880_1440_5",
    };
    for (const std::string& offset : offsets) {
        SCOPED_TRACE(offset);
        auto g_ = geometry(offset, 300);
    StitchGeometry& g = *g_;
        ASSERT_TRUE(g.ok());
        int checked = 0;
        for (int row = 1; row < g.height(); row += 13) {
            for (int col = 0; col < g.width(); col += 7) {
                const OutputSample s = g.forward(col, row, UvMode::Exact, 1440, 720);
                for (int k = 0; k < s.count; ++k) {
                    if (s.s[k].weight < 1e-3) continue;
                    // Directions beyond half the field of view are clamped onto the rim.
                    const FisheyeLens& l = s.s[k].lens == 0 ? g.model().lens0 : g.model().lens1;
                    if (std::hypot(s.s[k].u * 2880 - l.centerX, s.s[k].v * 1440 - l.centerY) > l.radius * 0.999) continue;
                    double c = 0, r = 0;
                    int lens = -1;
                    ASSERT_TRUE(g.frameToOutput(s.s[k].x, s.s[k].y, 1440, 720, &c, &r, &lens)) << col << "," << row;
                    EXPECT_EQ(lens, s.s[k].lens);
                    double dc = c - (col + 0.5);
                    dc -= g.width() * std::round(dc / g.width());
                    ASSERT_LT(std::hypot(dc, r - (row + 0.5)), 0.01) << col << "," << row;
                    ++checked;
                }
            }
        }
        EXPECT_GT(checked, 1000);
    }
}

// Stitching a synthesised frame with the same calibration gives the source back.
TEST(FisheyeSynth, StitchOfSynthesisedFrameMatchesSource) {
    auto g_ = geometry(kDefault, 480);
    StitchGeometry& g = *g_;
    ASSERT_TRUE(g.ok());
    const BgrImage source = makeSmoothPanorama(960, 480, 4);
    const BgrImage frame = g.synthesise(source, 1440, 720);
    const StitchGeometry::FrameMap map = g.frameMap(1440, 720);
    EXPECT_EQ(g.synthesise(source, map).data, frame.data);
    ASSERT_EQ(frame.width, 1440);
    ASSERT_EQ(frame.height, 720);
    // Outside both image circles stays black.
    EXPECT_EQ(frame.at(5, 5)[0] + frame.at(5, 5)[1] + frame.at(5, 5)[2], 0);
    EXPECT_EQ(frame.at(1435, 715)[1], 0);

    const std::vector<uint8_t> band = g.blendBandMask(2.0);
    std::vector<uint8_t> away(band.size()), inside(g.blendBandMask(0.0));
    for (size_t i = 0; i < band.size(); ++i) away[i] = !band[i];
    for (UvMode mode : {UvMode::Exact, UvMode::Rasterised}) {
        const BgrImage out = g.stitch(frame, mode);
        const double awayDb = psnr(out, source, &away), bandDb = psnr(out, source, &inside);
        EXPECT_GT(awayDb, 45.0) << static_cast<int>(mode);
        EXPECT_GT(bandDb, 45.0) << static_cast<int>(mode);
        RecordProperty(mode == UvMode::Exact ? "psnr_exact_away" : "psnr_raster_away", std::to_string(awayDb));
        std::printf("mode %d: %.2f dB away from the bands, %.2f dB inside\n", static_cast<int>(mode), awayDb, bandDb);
    }

    // A calibration off by two degrees of yaw on one lens must show.
    auto off_ = geometry(kBody.substr(0, 25) + "-0.65" + kBody.substr(30) + "_516", 480);
    StitchGeometry& off = *off_;
    ASSERT_TRUE(off.ok());
    ASSERT_NEAR(off.model().lens0.yaw, -0.65f, 1e-6);
    const BgrImage wrong = g.stitch(off.synthesise(source, 1440, 720), UvMode::Exact);
    const double wrongDb = psnr(wrong, source, &away);
    std::printf("two degrees of yaw off: %.2f dB\n", wrongDb);
    EXPECT_LT(wrongDb, 40.0);
}

TEST(FisheyeSynth, StereoLayout) {
    auto g_ = geometry(kDefault, 240, Layout::Stereo);
    StitchGeometry& g = *g_;
    ASSERT_TRUE(g.ok());
    ASSERT_EQ(g.width(), 480);
    ASSERT_EQ(g.height(), 480);
    struct Case { int col, row, lens; double coverage; };
    const Case cases[] = {
        {240, 120, 1, 1.0}, {240, 360, 0, 1.0},  // middle of each half
        {0, 120, -1, 0.0},  {479, 360, -1, 0.0}, // straight behind
        {0, 0, 1, 1.0},     {0, 479, 0, 1.0},    // poles: 90 degrees off the middle
    };
    for (const Case& c : cases) {
        const OutputSample s = g.forward(c.col, c.row, UvMode::Exact, 2880, 1440);
        EXPECT_EQ(s.dominantLens(), c.lens) << c.col << "," << c.row;
        EXPECT_NEAR(s.coverage, c.coverage, 1e-9) << c.col << "," << c.row;
    }
    // The fade (100..102 degrees) is about 2 / 360 of a half's width.
    const std::vector<uint8_t> band = g.blendBandMask(0.0);
    int onEquator = 0;
    for (int col = 0; col < 480; ++col) onEquator += band[120 * 480 + col];
    EXPECT_GE(onEquator, 2);
    EXPECT_LE(onEquator, 6);
}

bool quietSynth(const std::string& offset, int w, int h, const BgrImage& src, int size, BgrImage* frame, std::string* why) {
    testing::internal::CaptureStdout();
    const bool ok = synthesiseDualFisheye(offset, w, h, src, size, frame, why);
    testing::internal::GetCapturedStdout();
    return ok;
}

TEST(FisheyeSynth, RefusesBadInput) {
    auto bad_ = geometry("3_1_2", 480);
    StitchGeometry& bad = *bad_;
    EXPECT_FALSE(bad.ok());
    EXPECT_TRUE(bad.synthesise(makeSmoothPanorama(8, 4), 64, 32).empty());
    EXPECT_EQ(bad.forward(0, 0, UvMode::Exact, 64, 32).count, 0);
    auto noSize_ = geometry(kDefault, 0);
    StitchGeometry& noSize = *noSize_;
    EXPECT_FALSE(noSize.ok());

    BgrImage frame;
    std::string why;
    EXPECT_FALSE(quietSynth(kDefault, 0, 720, makeSmoothPanorama(96, 48), 48, &frame, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(quietSynth(kDefault, 144, 72, BgrImage(), 48, &frame, &why));
    EXPECT_FALSE(quietSynth("2_1_2_3", 144, 72, makeSmoothPanorama(96, 48), 48, &frame, &why));
    ASSERT_TRUE(quietSynth(kDefault, 144, 72, makeSmoothPanorama(96, 48), 48, &frame, &why));
    EXPECT_EQ(frame.width, 144);
    EXPECT_EQ(frame.data.size(), 144u * 72u * 3u);
}

TEST(FisheyeSynth, RowAlignmentHelpers) {
    EXPECT_EQ(alignedRowBytes(4), 12u);
    EXPECT_EQ(alignedRowBytes(5), 16u);
    EXPECT_EQ(alignedRowBytes(1922), 5768u);
    BgrImage img(5, 3);
    for (size_t i = 0; i < img.data.size(); ++i) img.data[i] = static_cast<uint8_t>(i);
    const std::vector<uint8_t> rows = toAlignedRows(img);
    ASSERT_EQ(rows.size(), 48u);
    EXPECT_EQ(rows[16], img.at(0, 1)[0]);
    const BgrImage back = fromAlignedRows(rows.data(), 5, 3);
    EXPECT_EQ(back.data, img.data);
}

}  // namespace
