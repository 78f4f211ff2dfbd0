// Colours through the whole tool: clips whose every frame is one flat colour
// (a chart over time, so that the stitch geometry cannot matter), made with
// each matrix and range a camera or an editor may use, tagged or not, are
// stitched into video and into pictures, and every output pixel is compared
// with the clip as a player shows it: the clip's own YUV read with the matrix
// and range it is tagged with, in the stream or else in the container's
// colour box (an untagged one: BT.709 from 1280 columns or 577 lines up,
// BT.601 below; limited range).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "test_clips.h"

namespace {

using testutil::driverPin;
using testutil::quote;

const std::string kStitcher = std::string(DFS_BINARY_DIR) + "/stitcher/stitcher";

// Sanitizer builds: the software GL driver stays mapped until the stitcher
// exits, so that leak reports about it name their module (as in the other
// end-to-end tests).
struct Rgb8 {
    uint8_t r, g, b;
};

// Saturated and neutral patches, one per frame; the first is the colour of
// the report that found the fault.
const Rgb8 kChart[] = {{48, 176, 64},  {200, 40, 40},   {40, 60, 200},   {230, 210, 40}, {30, 180, 190},
                       {180, 50, 170}, {190, 140, 110}, {128, 128, 128}, {30, 30, 30},   {225, 225, 225}};
constexpr int kPatches = sizeof(kChart) / sizeof(kChart[0]);

struct Matrix {
    double kr, kb;
};
const Matrix kBt709{0.2126, 0.0722}, kBt601{0.299, 0.114};

// One YUV sample to RGB levels (unrounded, unclamped).
void toRgb(const Matrix& m, bool full, double y, double u, double v, double out[3]) {
    const double l = full ? y / 255.0 : (y - 16) / 219.0;
    const double cb = full ? (u - 128) / 255.0 : (u - 128) / 224.0, cr = full ? (v - 128) / 255.0 : (v - 128) / 224.0;
    const double r = l + 2 * (1 - m.kr) * cr, b = l + 2 * (1 - m.kb) * cb;
    const double g = (l - m.kr * r - m.kb * b) / (1 - m.kr - m.kb);
    out[0] = 255 * r;
    out[1] = 255 * g;
    out[2] = 255 * b;
}

// Every picture of a video as RGB, read from its decoder's own 4:2:0 samples
// (`raw`, either range) with `m` and the range given, each chroma sample
// standing for its 2 x 2 pixels; with `middleOnly`, each picture's middle
// pixel alone (a flat clip's colour).
std::vector<std::vector<double>> playerRgb(const std::string& raw, int width, int height, const Matrix& m, bool full,
                                           bool middleOnly = false) {
    const size_t luma = static_cast<size_t>(width) * height, chroma = luma / 4, size = luma + 2 * chroma;
    EXPECT_EQ(raw.size() % size, 0u) << "not 4:2:0 " << width << "x" << height;
    std::vector<std::vector<double>> frames;
    for (size_t at = 0; at + size <= raw.size(); at += size) {
        const auto* p = reinterpret_cast<const uint8_t*>(raw.data() + at);
        std::vector<double> f(middleOnly ? 3 : luma * 3);
        for (int y = middleOnly ? height / 2 : 0; y < (middleOnly ? height / 2 + 1 : height); ++y)
            for (int x = middleOnly ? width / 2 : 0; x < (middleOnly ? width / 2 + 1 : width); ++x) {
                const size_t c = static_cast<size_t>(y / 2) * (width / 2) + x / 2;
                toRgb(m, full, p[static_cast<size_t>(y) * width + x], p[luma + c], p[luma + chroma + c],
                      &f[middleOnly ? 0 : (static_cast<size_t>(y) * width + x) * 3]);
            }
        frames.push_back(std::move(f));
    }
    return frames;
}

// Every picture of a PNG sequence as stored (`raw`: packed RGB).
std::vector<std::vector<double>> pngRgb(const std::string& raw, int width, int height) {
    const size_t size = static_cast<size_t>(width) * height * 3;
    EXPECT_EQ(raw.size() % size, 0u);
    std::vector<std::vector<double>> frames;
    for (size_t at = 0; at + size <= raw.size(); at += size)
        frames.emplace_back(reinterpret_cast<const uint8_t*>(raw.data() + at),
                            reinterpret_cast<const uint8_t*>(raw.data() + at + size));
    return frames;
}

// Largest difference, in levels, between any pixel of picture k and the
// clip's picture k as the player shows it (its middle pixel: flat anyway).
double worstDifference(const std::vector<std::vector<double>>& got, const std::vector<std::vector<double>>& clipMiddle) {
    EXPECT_EQ(got.size(), clipMiddle.size());
    double worst = 0;
    for (size_t k = 0; k < std::min(got.size(), clipMiddle.size()); ++k)
        for (size_t i = 0; i < got[k].size(); ++i) {
            const double want = std::max(0.0, std::min(255.0, clipMiddle[k][i % 3]));
            worst = std::max(worst, std::fabs(got[k][i] - want));
        }
    return worst;
}

struct ColorCase {
    const char* name;
    int width, height;
    const char* matrix;  // the scaler's name for the matrix the clip is made with
    bool full;
    bool tagged;
    bool inContainer = false;  // tagged in the container's colour box only, not in the stream
};

void PrintTo(const ColorCase& c, std::ostream* os) { *os << c.name; }

class ColorTest : public ::testing::TestWithParam<std::tuple<ColorCase, const char*>> {};

TEST_P(ColorTest, FlatChartAsAPlayerShowsIt) {
    const ColorCase& c = std::get<0>(GetParam());
    const std::string engine = std::get<1>(GetParam());
    const std::string dir = testutil::makeTempDir("colour");
    std::string chart;
    for (const Rgb8& p : kChart) chart += {static_cast<char>(p.r), static_cast<char>(p.g), static_cast<char>(p.b)};
    // The chart where the clips are kept, named by its bytes: the clips'
    // recipes name it, so that a clip made for one engine is the other's too,
    // and a changed chart makes new clips. Written under a name of its own and
    // renamed, so that a test running beside this one never reads it half written.
    std::string hex;
    for (const char b : chart) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(static_cast<uint8_t>(b)));
        hex += two;
    }
    const std::string chartFile = testutil::clipDir() + "/colour_chart_" + hex + ".rgb";
    const std::string chartTmp = chartFile + ".tmp" + std::to_string(::getpid());
    ASSERT_TRUE(testutil::writeFile(chartTmp, chart));
    ASSERT_EQ(std::rename(chartTmp.c_str(), chartFile.c_str()), 0);
    const std::string range = c.full ? "pc" : "tv";
    const bool bt709 = std::string(c.matrix) == "bt709";
    const std::string tags =
        c.tagged ? std::string(" -colorspace ") + (bt709 ? "bt709" : "smpte170m") + " -color_range " + range : "";
    const std::string made = "-f rawvideo -pix_fmt rgb24 -s 1x1 -r 25 -i " + quote(chartFile) +
                             " -vf scale=" + std::to_string(c.width) + ":" + std::to_string(c.height) +
                             ":flags=neighbor,format=rgb24,scale=out_color_matrix=" + c.matrix + ":out_range=" + range +
                             ",format=yuv420p";
    const std::string encoded = " -c:v libx264 -crf 12 -g 5";
    std::string clip;
    if (!c.inContainer) {
        clip = testutil::makeClip(std::string("colour_") + c.name + ".mp4", made + tags + encoded);
    } else {
        // Samples alone, encoded as they are (the stream then names no colours), and the
        // stream as it is with its colours named in the container's "colr" box.
        const std::string yuv = testutil::makeClip(std::string("colour_") + c.name + ".yuv", made + " -f rawvideo");
        ASSERT_FALSE(yuv.empty());
        const std::string plain = testutil::makeClip(
            std::string("colour_") + c.name + "_untagged.mp4",
            "-f rawvideo -pix_fmt yuv420p -s " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                " -r 25 -i " + quote(yuv) + encoded);
        ASSERT_FALSE(plain.empty());
        clip = testutil::makeClip(std::string("colour_") + c.name + ".mp4",
                                  "-i " + quote(plain) + " -c copy" + tags + " -movflags +write_colr");
    }
    ASSERT_FALSE(clip.empty());
    auto stitch = [&](const std::string& out) {
        return testutil::runCommand("env " + std::string(engine == "cpu" ? "-u DISPLAY " : "") + driverPin() + quote(kStitcher) +
                                    " -y --engine " + engine + " --color-match off --size 64 " + quote(clip) + " " +
                                    quote(out) + " 2>/dev/null");
    };
    if (c.inContainer) {
        const testutil::StitcherRun info = testutil::runStitcher("--info " + quote(clip));
        EXPECT_NE(info.out.find(std::string("colours: ") + (bt709 ? "BT.709" : "BT.601") +
                                " matrix (from the container's colour box), " + (c.full ? "full" : "limited") +
                                " range (from the container's colour box)"),
                  std::string::npos)
            << info.out;
    }

    // The video and the pictures; then the clip's and the video's own
    // samples and the pictures as stored, decoded by one ffmpeg.
    const std::string video = dir + "/out.mp4";
    ASSERT_EQ(stitch(video), 0);
    EXPECT_EQ(
        testutil::captureCommand("ffprobe -v error -select_streams v -show_entries "
                                 "stream=color_space,color_transfer,color_primaries,color_range -of default=nw=1 " +
                                 quote(video)),
        "color_range=tv\ncolor_space=bt709\ncolor_transfer=bt709\ncolor_primaries=bt709\n");
    ASSERT_EQ(stitch(dir + "/f%03d.png"), 0);
    ASSERT_EQ(testutil::runCommand("ffmpeg -v error -nostdin -y -i " + quote(clip) + " -i " + quote(video) +
                                   " -start_number 1 -i " + quote(dir + "/f%03d.png") + " -map 0:v -f rawvideo " +
                                   quote(dir + "/clip.yuv") + " -map 1:v -f rawvideo " + quote(dir + "/video.yuv") +
                                   " -map 2:v -f rawvideo -pix_fmt rgb24 " + quote(dir + "/pictures.rgb")),
              0);
    // The clip as a player shows it: its middle pixel, picture by picture.
    const auto shown = playerRgb(testutil::readFile(dir + "/clip.yuv"), c.width, c.height, bt709 ? kBt709 : kBt601,
                                 c.full, true);
    ASSERT_EQ(shown.size(), static_cast<size_t>(kPatches));
    // Video: as a player shows it, by the tags it carries. Pictures: plain RGB.
    const double videoWorst =
        worstDifference(playerRgb(testutil::readFile(dir + "/video.yuv"), 128, 64, kBt709, false), shown);
    const double pngWorst = worstDifference(pngRgb(testutil::readFile(dir + "/pictures.rgb"), 128, 64), shown);
    std::printf("%s, %s engine: worst difference %.2f levels in video, %.2f in pictures\n", c.name, engine.c_str(),
                videoWorst, pngWorst);
    EXPECT_LE(videoWorst, 2.0);
    EXPECT_LE(pngWorst, 2.0);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, ColorTest,
    ::testing::Combine(::testing::Values(ColorCase{"bt709_limited", 640, 320, "bt709", false, true},
                                         ColorCase{"bt709_full", 640, 320, "bt709", true, true},
                                         ColorCase{"bt601", 640, 320, "bt601", false, true},
                                         ColorCase{"untagged_hd", 1440, 720, "bt709", false, false},
                                         ColorCase{"untagged_sd", 640, 320, "bt601", false, false}),
                       ::testing::Values("cpu", "gl")),
    [](const ::testing::TestParamInfo<ColorTest::ParamType>& i) {
        return std::string(std::get<0>(i.param).name) + "_" + std::get<1>(i.param);
    });

// How the colours are found is the reader's, whatever the engine: these run on one.
INSTANTIATE_TEST_SUITE_P(
    Found, ColorTest,
    ::testing::Combine(::testing::Values(ColorCase{"untagged_wide", 1280, 640, "bt709", false, false},
                                         ColorCase{"full_colr", 640, 320, "bt709", true, true, true},
                                         ColorCase{"bt601_colr_wide", 1280, 640, "bt601", false, true, true}),
                       ::testing::Values("cpu")),
    [](const ::testing::TestParamInfo<ColorTest::ParamType>& i) {
        return std::string(std::get<0>(i.param).name) + "_" + std::get<1>(i.param);
    });

}  // namespace
