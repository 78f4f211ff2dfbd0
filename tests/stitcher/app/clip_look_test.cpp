// Clips whose video track says how it is to be shown: a display matrix that
// turns the picture (a camera mounted upside down, a clip turned on its
// side), and a track that already holds a 360 panorama.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "DefaultOffset.h"
#include "FisheyeSynth.h"
#include "test_clips.h"

namespace {

using testutil::BgrImage;
using testutil::quote;

const int kFrameW = 384, kFrameH = 192, kSize = 64;

BgrImage readPicture(const std::string& path, int width, int height) {
    BgrImage p(width, height);
    const std::string raw = testutil::captureCommand("ffmpeg -v error -nostdin -i " + quote(path) +
                                                     " -vf scale=" + std::to_string(width) + ":" +
                                                     std::to_string(height) + " -f rawvideo -pix_fmt bgr24 -");
    if (raw.size() != p.data.size()) return BgrImage();
    std::copy(raw.begin(), raw.end(), p.data.begin());
    return p;
}

// `src` turned about the vertical by `columns` (its picture moved left).
BgrImage turned(const BgrImage& src, int columns) {
    BgrImage out(src.width, src.height);
    for (int y = 0; y < src.height; ++y)
        for (int x = 0; x < src.width; ++x) {
            const uint8_t* p = src.at((x + columns) % src.width, y);
            std::copy(p, p + 3, out.at(x, y));
        }
    return out;
}

// `src` turned half a turn in its own plane, as a player shows it.
BgrImage halfTurned(const BgrImage& src) {
    BgrImage out(src.width, src.height);
    for (int y = 0; y < src.height; ++y)
        for (int x = 0; x < src.width; ++x) {
            const uint8_t* p = src.at(src.width - 1 - x, src.height - 1 - y);
            std::copy(p, p + 3, out.at(x, y));
        }
    return out;
}

// A camera mounted upside down writes its lens images as they are and a
// display matrix that turns the picture half a turn. A player shows the
// picture the upright camera would record; the stitch must give that
// camera's panorama. Three worlds (the photograph and two
// smooth ones), each turned by a seeded random amount.
TEST(DisplayMatrix, UpsideDownCameraGivesTheUprightPanoramaAPlayerShows) {
    testing::internal::CaptureStdout();  // the model echoes the offset string
    testutil::StitchGeometry geometry(testutil::kDefaultOffset, kSize);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(geometry.ok()) << geometry.error();
    const auto map = geometry.frameMap(kFrameW, kFrameH, 2);
    const BgrImage photo = readPicture(std::string(DFS_SOURCE_DIR) + "/samples/city_world.png", 2 * kSize, kSize);
    ASSERT_FALSE(photo.empty());
    const BgrImage worlds[] = {photo, testutil::makeSmoothPanorama(2 * kSize, kSize, 3),
                               testutil::makeSmoothPanorama(2 * kSize, kSize, 7)};
    // The camera whose picture, turned half a turn, is the upright camera's
    // (up to the small differences between its lenses): with the lens images
    // side by side, the second one stored upside down, it is the camera
    // turned half a turn about the vertical (+z; the middle looks along -x).
    const double camera[3][3] = {{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}};
    const double upright[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    std::mt19937 random(20240611);
    const std::string dir = testutil::makeTempDir("look");
    for (int w = 0; w < 3; ++w) {
        const BgrImage world = turned(worlds[w], static_cast<int>(random() % (2 * kSize)));
        const BgrImage stored = geometry.synthesise(world, map, camera);
        // The truth: the world of the upright camera that records what the player shows.
        const BgrImage& truth = world;
        ASSERT_GT(testutil::psnr(halfTurned(stored), geometry.synthesise(truth, map, upright)), 24.0)
            << "world " << w << ": the player's picture is not that upright camera's";

        const std::string clip = dir + "/clip" + std::to_string(w) + ".mp4", raw = dir + "/frame.bgr";
        ASSERT_TRUE(testutil::writeFile(raw, std::string(stored.data.begin(), stored.data.end())));
        // Encoded, then given the display matrix (which the ffmpeg command writes only when copying).
        ASSERT_EQ(testutil::runCommand("ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt bgr24 -s " +
                                       std::to_string(kFrameW) + "x" + std::to_string(kFrameH) + " -i " + quote(raw) +
                                       " -c:v libx264 -crf 6 -pix_fmt yuv420p " + quote(raw + ".mp4") +
                                       " && ffmpeg -v error -nostdin -y -i " + quote(raw + ".mp4") +
                                       " -c copy -metadata:s:v rotate=180 " + quote(clip)),
                  0);
        const std::string out = dir + "/pano" + std::to_string(w) + ".png";
        const testutil::StitcherRun r = testutil::runStitcher(
            "-y --color-match off --size " + std::to_string(kSize) + " --offset " + testutil::kDefaultOffset + " " +
            quote(clip) + " " + quote(out));
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.err.find("is shown turned half a turn"), std::string::npos) << r.err;
        const BgrImage got = readPicture(out, 2 * kSize, kSize);
        ASSERT_FALSE(got.empty());
        // The camera's own panorama is the world turned half a turn about the vertical.
        const double db = testutil::psnr(got, truth), own = testutil::psnr(got, turned(world, kSize));
        std::printf("world %d: %.1f dB against the upright panorama, %.1f against the camera's own\n", w, db, own);
        EXPECT_GT(db, 24.0) << "world " << w;
    }
}

// A clip turned a quarter turn shows its lens images one above the other,
// and an already stitched 360 video holds no lens images: both are refused
// (exit code 3), and --info says why.
TEST(ClipLook, TurnedOrStitchedClipsAreRefused) {
    const std::string sample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";
    const std::string side =
        testutil::makeClip("look_quarter_turn.mp4", "-i " + quote(sample) + " -t 0.2 -c copy -metadata:s:v rotate=90");
    ASSERT_FALSE(side.empty());
    const std::string dir = testutil::makeTempDir("look");
    testutil::StitcherRun r = testutil::runStitcher("-y " + quote(side) + " " + quote(dir + "/a.mp4"));
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("turns the picture 270 degrees clockwise, so that its lens images stand one above the other"),
              std::string::npos)
        << r.err;

    // Our own output, given again as the clip.
    const std::string pano = dir + "/pano.mp4";
    r = testutil::runStitcher("-y --size 16 --frames 2 --no-audio " + quote(sample) + " " + quote(pano));
    ASSERT_EQ(r.code, 0) << r.err;
    r = testutil::runStitcher("-y " + quote(pano) + " " + quote(dir + "/again.mp4"));
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("is already a 360 video (its video is marked as equirectangular spherical video)"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(std::ifstream(dir + "/again.mp4").good());
    r = testutil::runStitcher("--info " + quote(pano));
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("already a 360 video (equirectangular projection)"), std::string::npos) << r.out;
}

// A clip lit where the lenses cast no light holds no lens images (an
// ordinary video here, 2:1 like two lens images): said before anything is
// stitched or measured (--calibrate) and by --info, also where its first
// frame is black (a fade in) and a later one decides. Two lens images are
// not taken for one.
TEST(ClipLook, PictureLitBesideTheLensCirclesIsSaid) {
    const std::string sample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";
    const std::string plain = testutil::makeClip("look_plain_2to1.mp4",
                                                 "-f lavfi -i testsrc2=size=384x192:rate=25:duration=1 -c:v libx264 "
                                                 "-pix_fmt yuv420p");
    const std::string faded = testutil::makeClip("look_plain_faded.mp4",
                                                 "-f lavfi -i testsrc2=size=384x192:rate=25:duration=1 -vf fade=in:0:5 "
                                                 "-c:v libx264 -pix_fmt yuv420p");
    ASSERT_FALSE(plain.empty());
    ASSERT_FALSE(faded.empty());
    const std::string dir = testutil::makeTempDir("look_lit");
    const std::string said = "does not look like two lens images";
    for (const std::string& clip : {plain, faded, sample}) {
        const bool lensImages = clip == sample;
        testutil::StitcherRun r =
            testutil::runStitcher("-y --size 16 --frames 2 --no-audio " + quote(clip) + " " + quote(dir + "/o.mp4"));
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err.find(said) == std::string::npos, lensImages) << clip << ": " << r.err;
        r = testutil::runStitcher("--info " + quote(clip));
        EXPECT_EQ(r.out.find(said) == std::string::npos, lensImages) << clip << ": " << r.out;
    }
    const testutil::StitcherRun r = testutil::runStitcher("--calibrate " + quote(plain));
    EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
}

}  // namespace
