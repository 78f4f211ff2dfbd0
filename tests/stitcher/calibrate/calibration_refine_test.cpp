// Calibration refinement on frames synthesised from the sample photograph
// with a known calibration. The stitch with the refined calibration must
// come as close to the photograph as the stitch with the true one does,
// away from and inside the blend bands, while the stitch with the start
// calibration is far off.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CalibrationRefine.h"
#include "FisheyeSynth.h"
#include "test_clips.h"
#include "DefaultOffset.h"

using namespace stitcher;
using testutil::BgrImage;

namespace {

const std::string kDefault = testutil::kDefaultOffset;
const std::string kPhoto = std::string(DFS_SOURCE_DIR) + "/samples/city_world.png";
// Frames of 960 x 480 (the calibration's 2880 x 1440 scaled by 1/3); a
// panorama of 480 rows, where the stitch meshes come out whole pixels wide.
const int kFrameW = 960, kFrameH = 480, kSize = 480;
// Pixels of the photograph the camera turns between frames.
const int kTurn = 40;

const BgrImage& photo() {
    static const BgrImage img = [] {
        BgrImage p(1024, 512);
        const std::string raw = testutil::captureCommand("ffmpeg -v error -nostdin -i '" + kPhoto +
                                                         "' -f rawvideo -pix_fmt bgr24 -");
        if (raw.size() != p.data.size()) return BgrImage();
        std::copy(raw.begin(), raw.end(), p.data.begin());
        return p;
    }();
    return img;
}

std::unique_ptr<testutil::StitchGeometry> geometry(const std::string& offset) {
    testing::internal::CaptureStdout();  // the model echoes the offset string
    std::unique_ptr<testutil::StitchGeometry> g(new testutil::StitchGeometry(offset, kSize));
    testing::internal::GetCapturedStdout();
    return g;
}

BgrImage turned(const BgrImage& src, int turn) {
    BgrImage out(src.width, src.height);
    for (int y = 0; y < src.height; ++y)
        for (int x = 0; x < src.width; ++x) {
            const uint8_t* p = src.at((x + turn) % src.width, y);
            std::copy(p, p + 3, out.at(x, y));
        }
    return out;
}

// A scene of the photograph turning in front of a camera with calibration
// `truth`. Frames are synthesised at twice the size and averaged down, as a
// lens and sensor integrate over each pixel.
struct Scene {
    std::string truth;
    std::vector<BgrImage> frames;
    BgrImage judged;  // the last frame as synthesised, to judge stitches on
    int judgedTurn = 0;

    Scene(const std::string& truthOffset, int count) : truth(truthOffset) {
        auto g = geometry(truth);
        EXPECT_TRUE(g->ok()) << truth;
        const auto map = g->frameMap(2 * kFrameW, 2 * kFrameH);
        for (int f = 0; f < count; ++f) {
            const BgrImage big = g->synthesise(turned(photo(), kTurn * f), map);
            BgrImage frame(kFrameW, kFrameH);
            for (int y = 0; y < kFrameH; ++y)
                for (int x = 0; x < kFrameW; ++x)
                    for (int c = 0; c < 3; ++c)
                        frame.at(x, y)[c] = static_cast<uint8_t>(
                            (big.at(2 * x, 2 * y)[c] + big.at(2 * x + 1, 2 * y)[c] + big.at(2 * x, 2 * y + 1)[c] +
                             big.at(2 * x + 1, 2 * y + 1)[c] + 2) / 4);
            frames.push_back(std::move(frame));
        }
        judged = frames.back();
        judgedTurn = kTurn * (count - 1);
    }

    std::vector<BgrFrameRef> refs() const {
        std::vector<BgrFrameRef> r;
        for (const BgrImage& f : frames) r.push_back({f.data.data(), f.width, f.height});
        return r;
    }
};

// What lens 1 of a badly matched camera records: darker and bluer, and in
// one frame someone passing close by, whom lens 0 does not see.
void spoilLens1(Scene* scene) {
    for (size_t f = 0; f < scene->frames.size(); ++f) {
        BgrImage& fr = scene->frames[f];
        for (int y = 0; y < fr.height; ++y)
            for (int x = fr.width / 2; x < fr.width; ++x) {
                uint8_t* p = fr.at(x, y);
                p[0] = static_cast<uint8_t>(std::lround(p[0] * 0.9));
                p[1] = static_cast<uint8_t>(std::lround(p[1] * 0.8));
                p[2] = static_cast<uint8_t>(std::lround(p[2] * 0.75));
            }
        if (f != 0) continue;
        for (int y = 60; y < 200; ++y)
            for (int x = 890; x < 940; ++x) {
                uint8_t* p = fr.at(x, y);
                p[0] = 240;
                p[1] = static_cast<uint8_t>(x * 7 + y * 3);
                p[2] = 30;
            }
    }
}

std::string offsetOf(const double lens[2][6]) {
    std::string s = "2";
    for (int b = 0; b < 2; ++b)
        for (int k = 0; k < 6; ++k) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "_%.3f", lens[b][k]);
            s += buf;
        }
    return s + "_2880_1440_516";
}

std::vector<std::string> fieldsOf(const std::string& offset) {
    std::vector<std::string> f;
    size_t at = 0;
    for (size_t next; (next = offset.find('_', at)) != std::string::npos; at = next + 1) f.push_back(offset.substr(at, next - at));
    f.push_back(offset.substr(at));
    return f;
}

struct Psnr {
    double away, bands;
};

// PSNR of the stitch of `frame` (turned by `turn`) against the photograph,
// away from the bands and inside them; the rows nearest the poles, where the
// meshes are coarse, count in neither.
Psnr stitchPsnr(const std::string& offset, const BgrImage& frame, int turn) {
    auto g = geometry(offset);
    const BgrImage out = g->stitch(frame);
    const BgrImage src = turned(photo(), turn);
    BgrImage want(out.width, out.height);
    for (int r = 0; r < out.height; ++r)
        for (int c = 0; c < out.width; ++c) {
            double rgb[3];
            testutil::sampleBilinear(src, (c + 0.5) * src.width / out.width, (r + 0.5) * src.height / out.height,
                                     true, rgb);
            for (int k = 0; k < 3; ++k) want.at(c, r)[k] = static_cast<uint8_t>(std::lround(rgb[k]));
        }
    const std::vector<uint8_t> band = g->blendBandMask(0.0), nearBand = g->blendBandMask(3.0);
    std::vector<uint8_t> away(band.size()), inBand(band.size());
    for (size_t i = 0; i < band.size(); ++i) {
        const int row = static_cast<int>(i / out.width);
        const bool mid = row >= out.height / 10 && row < out.height - out.height / 10;
        away[i] = mid && !nearBand[i];
        inBand[i] = mid && band[i];
    }
    return {testutil::psnr(out, want, &away), testutil::psnr(out, want, &inBand)};
}

// The refined stitch is within 0.5 dB of the true calibration's; the start's
// is at least 5 dB worse unless the start was right.
void expectAsGoodAsTruth(const RefineResult& r, const std::string& start, const Scene& scene, const char* name) {
    const Psnr truth = stitchPsnr(scene.truth, scene.judged, scene.judgedTurn);
    const Psnr refined = stitchPsnr(r.offset, scene.judged, scene.judgedTurn);
    EXPECT_GT(refined.away, truth.away - 0.5) << name << ": " << r.offset;
    EXPECT_GT(refined.bands, truth.bands - 0.5) << name << ": " << r.offset;
    if (start == scene.truth) return;
    const Psnr before = stitchPsnr(start, scene.judged, scene.judgedTurn);
    EXPECT_LT(before.away, truth.away - 5.0) << name;
    EXPECT_LT(before.bands, truth.bands - 5.0) << name;
}

// Lens 1 off by 1-2 degrees about each axis, both centres by 4-8 pixels and
// a radius by 1%.
const double kOff[2][6] = {{713.649, 719.933, 702.05, -2.65, -1.599, -0.358},
                           {719.5, 2160.5, 734.583, 178.85, -182.04, 1.376}};
// Another unit: both lenses differ from the default in other directions.
const double kOther[2][6] = {{706.5, 709.9, 713.1, -2.65, -1.599, -0.358},
                            {705.3, 2171.5, 721.6, 176.35, -178.54, -1.324}};

TEST(CalibrationRefine, RefinedStitchIsAsGoodAsTheTrueCalibrations) {
    ASSERT_FALSE(photo().empty()) << kPhoto;
    struct Case {
        const char* name;
        std::string truth, start;
        bool spoilt;
    };
    const Case cases[] = {
        {"the clip carries a calibration that is off", kDefault, offsetOf(kOff), false},
        {"the start is right already", kDefault, kDefault, false},
        {"the default calibration, lens 1 darker and bluer, a passer-by", offsetOf(kOther), kDefault, true},
    };
    std::unique_ptr<Scene> scenePtr;
    for (const Case& c : cases) {
        if (!scenePtr || scenePtr->truth != c.truth) scenePtr.reset(new Scene(c.truth, 3));
        Scene& scene = *scenePtr;
        if (c.spoilt) spoilLens1(&scene);
        RefineResult r;
        ASSERT_TRUE(refineCalibration(scene.refs(), c.start, r).ok()) << c.name << ": " << r.reason;
        EXPECT_EQ(r.framesUsed, 3) << c.name;
        EXPECT_LE(r.errorAfter, r.errorBefore) << c.name;
        if (c.start != c.truth) {
            EXPECT_EQ(r.outcome, RefineOutcome::Refined) << c.name << ": " << r.reason;
            EXPECT_LT(r.errorAfter, 0.3 * r.errorBefore) << c.name;
        } else {
            EXPECT_TRUE(r.outcome == RefineOutcome::Refined || r.outcome == RefineOutcome::NoImprovement) << r.reason;
        }
        // Lens 0's orientation, the image size and the lens code stay as written.
        const std::vector<std::string> got = fieldsOf(r.offset), start = fieldsOf(c.start);
        ASSERT_EQ(got.size(), 16u) << r.offset;
        for (int k : {0, 4, 5, 6, 13, 14, 15}) EXPECT_EQ(got[k], start[k]) << c.name << " field " << k;
        expectAsGoodAsTruth(r, c.start, scene, c.name);
    }
}

TEST(CalibrationRefine, KeepsTheStartWhenItCannotDoBetter) {
    ASSERT_FALSE(photo().empty()) << kPhoto;
    const Scene scene(kDefault, 1);
    const BgrFrameRef textured = scene.refs()[0];
    const std::vector<uint8_t> grey(static_cast<size_t>(kFrameW) * kFrameH * 3, 128);
    const BgrFrameRef flat{grey.data(), kFrameW, kFrameH};
    const BgrFrameRef half{scene.frames[0].data.data(), kFrameW / 2, kFrameH / 2};
    const BgrFrameRef tiny{grey.data(), 48, 24};
    struct Case {
        const char* name;
        std::vector<BgrFrameRef> frames;
        int minFrames;
        std::string start;
        bool runs;  // false: the refinement cannot run at all
        RefineOutcome outcome;
        const char* says;
    };
    const Case cases[] = {
        {"flat grey", {flat, flat, flat}, 1, kDefault, true, RefineOutcome::TooLittleTexture, "too little texture"},
        {"detail in one frame of three", {flat, textured, flat}, 2, kDefault, true, RefineOutcome::TooLittleTexture,
         "1 of 3 frames"},
        {"no frames", {}, 1, kDefault, true, RefineOutcome::TooFewFrames, "too few frames"},
        {"frames of another size", {textured, half}, 2, kDefault, true, RefineOutcome::TooFewFrames, "differs"},
        {"frame too small", {tiny}, 1, kDefault, true, RefineOutcome::TooFewFrames, "too small"},
        {"unreadable calibration", {textured}, 1, "2_713.6_713.9_x", false, RefineOutcome::NoImprovement, "15 fields"},
        {"one lens", {textured}, 1, "1" + kDefault.substr(1), false, RefineOutcome::NoImprovement, "2 lenses"},
        {"zero radius", {textured}, 1, "2_0" + kDefault.substr(9), false, RefineOutcome::NoImprovement, "radius"},
    };
    for (const Case& c : cases) {
        RefineOptions options;
        options.minFrames = c.minFrames;
        RefineResult r;
        const Status st = refineCalibration(c.frames, c.start, r, options);
        EXPECT_EQ(st.ok(), c.runs) << c.name << ": " << r.reason;
        if (c.runs) {
            EXPECT_EQ(r.outcome, c.outcome) << c.name << ": " << r.reason;
        } else {
            EXPECT_EQ(st.message(), r.reason) << c.name;
        }
        EXPECT_NE(r.reason.find(c.says), std::string::npos) << c.name << ": " << r.reason;
        EXPECT_EQ(r.offset, c.start) << c.name;
        EXPECT_NE(describeRefineResult(r).find("kept"), std::string::npos) << c.name;
    }
    // The driver: a clip that cannot be opened.
    RefineResult r;
    const Status st = refineClipCalibration("/nonexistent/clip.mp4", "", r);
    EXPECT_EQ(st.code(), kExitOffset);
    EXPECT_NE(st.message().find("cannot open"), std::string::npos) << st.message();
    // An interruption stops the driver's reading: not every frame is read,
    // and the refinement does not run.
    std::atomic<bool> stop{false};
    int reads = 0;
    ClipFrames frames;
    frames.count = 8;
    frames.width = kFrameW;
    frames.height = kFrameH;
    frames.read = [&](long long, uint8_t* bgr) {
        std::copy(grey.begin(), grey.end(), bgr);
        if (++reads == 2) stop = true;
        return true;
    };
    frames.interrupted = &stop;
    RefineResult stopped;
    EXPECT_FALSE(refineClipCalibration(frames, kDefault, stopped).ok());
    EXPECT_LT(reads, 8);
}

// The whole road: a clip that names no calibration (so libdec hands out the
// default), frames picked over it by the driver, decoded and aligned.
TEST(CalibrationRefine, ClipWithoutCalibration) {
    ASSERT_FALSE(photo().empty()) << kPhoto;
    Scene scene(offsetOf(kOther), 8);
    spoilLens1(&scene);
    const std::string dir = testutil::makeTempDir("calibrate");
    std::string raw;
    for (const BgrImage& f : scene.frames) raw.append(f.data.begin(), f.data.end());
    ASSERT_TRUE(testutil::writeFile(dir + "/frames.bgr", raw));
    const std::string clip = dir + "/clip.mp4";
    ASSERT_EQ(testutil::runCommand("ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt bgr24 -s 960x480 -r 25 -i '" +
                                   dir + "/frames.bgr' -c:v libx264 -preset veryfast -crf 16 -g 4 -pix_fmt yuv420p '" +
                                   clip + "'"),
              0);

    RefineOptions options;
    options.frames = 4;
    testing::internal::CaptureStdout();
    RefineResult r;
    const Status st = refineClipCalibration(clip, "", r, options);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(st.ok()) << st.message();
    EXPECT_EQ(r.outcome, RefineOutcome::Refined) << r.reason;
    EXPECT_EQ(r.framesUsed, 4);
    // The codec's noise keeps the error further from 0 than on the frames themselves.
    EXPECT_LT(r.errorAfter, 0.5 * r.errorBefore);
    expectAsGoodAsTruth(r, kDefault, scene, "clip");
}

}  // namespace
