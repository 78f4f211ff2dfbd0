// Stitched pixels against the analytic truth: a dual-fisheye frame is
// synthesised from a known equirectangular picture through the lens model of
// a known calibration; stitching it with that calibration must give the
// picture back, per region, within the stated PSNR.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "FisheyeSynth.h"
#include "RendererTestUtil.h"
#include "Spherecast.h"
#include "ViewRotation.h"

using namespace testutil;

namespace {

// A 210-degree lens (type 2, blend 25 degrees) with its own centres and angles.
const char* const kType2Offset =
    "2_700.5_722.0_714.25_1.75_2.5_-0.8_705.0_2158.5_719.0_178.2_-178.9_0.45_2880_1440_2";

struct Calibration {
    const char* name;
    const char* offset;
    int size;          // output 2*size x size
    int frameWidth;    // the calibration's 2880 x 1440 scaled onto this frame
    int frameHeight;
    double clearDb;    // away from the blend bands, against the source picture
    double bandDb;     // inside the bands, against the source picture
    double modelDb;    // everywhere, against the CPU model of the stitch
};

const Calibration kCalibrations[] = {
    // Measured on llvmpipe: about 46.5, 42-43 and 45.5 dB.
    {"default (type 4)", rendertest::kDefaultOffset, 128, 960, 480, 40.0, 37.0, 40.0},
    {"type 2", kType2Offset, 128, 960, 480, 40.0, 37.0, 40.0},
};

BgrImage renderStitch(const char* offset, int size, const BgrImage& frame, float (*rotation)[4] = nullptr) {
    Spherecast s(offset, size, frame.width, frame.height, Spherecast::Stitch);
    std::vector<uint8_t> out(alignedRowBytes(2 * size) * size);
    testing::internal::CaptureStdout();
    const bool ok = s.initRenderer(0, nullptr);
    if (rotation) s.updateRotation(rotation);
    s.setData(const_cast<uint8_t*>(frame.data.data()));
    s.render(out.data());
    s.deInitRenderer();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok) << "no GL 3.3 core context (run under xvfb-run)";
    return fromAlignedRows(out.data(), 2 * size, size);
}

std::vector<uint8_t> invert(std::vector<uint8_t> mask) {
    for (uint8_t& m : mask) m = !m;
    return mask;
}

TEST(StitchPixelsTest, PanoramaMatchesTheSourcePerRegion) {
    for (const Calibration& c : kCalibrations) {
        SCOPED_TRACE(c.name);
        StitchGeometry geometry(c.offset, c.size);
        ASSERT_TRUE(geometry.ok()) << geometry.error();
        const BgrImage source = makeSmoothPanorama(geometry.width(), geometry.height(), 2);
        const BgrImage frame = geometry.synthesise(source, c.frameWidth, c.frameHeight);
        const BgrImage out = renderStitch(c.offset, c.size, frame);
        ASSERT_EQ(out.width, source.width);

        const std::vector<uint8_t> band = geometry.blendBandMask(2.0);
        const std::vector<uint8_t> clear = invert(band);
        size_t bandPixels = 0;
        for (uint8_t m : band) bandPixels += m;
        ASSERT_GT(bandPixels, static_cast<size_t>(out.width));  // both bands, every row
        const double clearDb = psnr(out, source, &clear);
        const double bandDb = psnr(out, source, &band);
        const double modelDb = psnr(out, geometry.stitch(frame));
        printf("%s: clear %.2f dB, bands %.2f dB, model %.2f dB\n", c.name, clearDb, bandDb, modelDb);
        EXPECT_GE(clearDb, c.clearDb);
        EXPECT_GE(bandDb, c.bandDb);
        EXPECT_GE(modelDb, c.modelDb);

        // Every pixel is covered: no green from the second pass, no black hole.
        for (int row = 0; row < out.height; ++row)
            for (int col = 0; col < out.width; ++col) {
                const uint8_t* p = out.at(col, row);
                ASSERT_FALSE(p[0] == 0 && p[1] == 255 && p[2] == 0) << row << "," << col;
                ASSERT_GT(p[0] + p[1] + p[2], 0) << row << "," << col;
            }
    }
}

// The comparison tells calibrations apart: a frame of the type-2 camera
// stitched with the default calibration misses the source badly.
TEST(StitchPixelsTest, WrongCalibrationIsFarFromTheSource) {
    StitchGeometry truth(kType2Offset, 128);
    const BgrImage source = makeSmoothPanorama(truth.width(), truth.height(), 2);
    const BgrImage frame = truth.synthesise(source, 960, 480);
    const BgrImage out = renderStitch(rendertest::kDefaultOffset, 128, frame);
    EXPECT_LT(psnr(out, source), 32.0);  // about 26 dB, far under the 40 dB pass mark
}

// Stacked layout against the CPU model of the same meshes and cut.
TEST(StitchPixelsTest, StereoMatchesTheModel) {
    const int size = 96;
    StitchGeometry geometry(rendertest::kDefaultOffset, size, Layout::Stereo);
    StitchGeometry stitchGeometry(rendertest::kDefaultOffset, size);
    const BgrImage source = makeSmoothPanorama(2 * size, size, 2);
    const BgrImage frame = stitchGeometry.synthesise(source, 960, 480);
    Spherecast s(rendertest::kDefaultOffset, size, frame.width, frame.height, Spherecast::Stereo);
    std::vector<uint8_t> buf(alignedRowBytes(2 * size) * 2 * size);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(s.initRenderer(0, nullptr));
    s.setData(const_cast<uint8_t*>(frame.data.data()));
    s.render(buf.data());
    testing::internal::GetCapturedStdout();
    const BgrImage out = fromAlignedRows(buf.data(), 2 * size, 2 * size);
    const double db = psnr(out, geometry.stitch(frame));
    printf("stereo: model %.2f dB\n", db);
    EXPECT_GE(db, 35.0);
}

// Which lens shows where: each output pixel's colour comes from the lens the
// forward mapping names (lens 0 red, lens 1 blue in the frame).
TEST(StitchPixelsTest, EachRegionShowsItsLens) {
    const Calibration& c = kCalibrations[0];
    StitchGeometry geometry(c.offset, c.size);
    BgrImage frame(c.frameWidth, c.frameHeight);
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x) frame.at(x, y)[x < frame.width / 2 ? 2 : 0] = 255;
    const BgrImage out = renderStitch(c.offset, c.size, frame);
    int checked = 0;
    for (int row = 0; row < out.height; ++row)
        for (int col = 0; col < out.width; ++col) {
            if (geometry.inBlendBand(col, row, 2.0)) continue;
            const OutputSample s = geometry.forward(col, row, UvMode::Rasterised, frame.width, frame.height);
            const uint8_t* p = out.at(col, row);
            const int lens = s.dominantLens();
            ASSERT_GE(lens, 0);
            ASSERT_GT(lens == 0 ? p[2] : p[0], 250) << row << "," << col << " lens " << lens;
            ++checked;
        }
    EXPECT_GT(checked, out.width * out.height * 3 / 4);
}

// A view turned 45 degrees to the right shows, in each column, what the
// straight view shows an eighth of the width further right (the source has
// no symmetry that would hide a turn the other way).
TEST(StitchPixelsTest, YawTurnsTheViewToTheRight) {
    const Calibration& c = kCalibrations[0];
    StitchGeometry geometry(c.offset, c.size);
    const BgrImage source = makeSmoothPanorama(geometry.width(), geometry.height(), 2);
    const BgrImage frame = geometry.synthesise(source, c.frameWidth, c.frameHeight);
    const BgrImage straight = renderStitch(c.offset, c.size, frame);
    float turn[4][4];
    viewRotationMatrix(45.0, 0.0, 0.0, turn);
    const BgrImage turned = renderStitch(c.offset, c.size, frame, turn);
    BgrImage shifted(straight.width, straight.height);
    for (int row = 0; row < straight.height; ++row)
        for (int col = 0; col < straight.width; ++col)
            for (int k = 0; k < 3; ++k)
                shifted.at(col, row)[k] = straight.at((col + straight.width / 8) % straight.width, row)[k];
    EXPECT_GE(psnr(turned, shifted), 40.0);
}

}  // namespace
