// What viewers and editors read from the outputs: the 360 tags of pictures
// and videos as exiftool and ffprobe read them back, JPEG pictures against
// the PNG of the same frame, and the 10-bit masters against the 8-bit video.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "test_clips.h"

using testutil::captureCommand;
using testutil::quote;

namespace {

const std::string kSample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";

// A small clip of three frames with a tone, made by FFmpeg source `world`.
std::string smallClip(const std::string& name, const std::string& world) {
    return testutil::makeClip(name, "-f lavfi -i " + world + " -f lavfi -i sine=f=440:r=48000 -t 0.1 -c:a aac "
                                    "-frames:v 3 -c:v libx264 -preset ultrafast -crf 12 -pix_fmt yuv420p");
}

// Every tag exiftool reads from `file` (-n: numbers as numbers; the first of
// two of one name), and its check of the file's structure ("Validate").
std::map<std::string, std::string> exif(const std::string& file) {
    std::istringstream in(captureCommand("exiftool -s2 -n -a -validate -All " + quote(file)));
    std::map<std::string, std::string> tags;
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) tags.emplace(line.substr(0, colon), line.substr(colon + 2));
    }
    return tags;
}

// The first video stream's side data as ffprobe reads it.
std::string sideData(const std::string& file) {
    return captureCommand("ffprobe -v error -select_streams v:0 -show_entries stream_side_data -of default=nw=1 " +
                          quote(file));
}

// Every picture as packed RGB, as a player shows it.
std::string decoded(const std::string& file) {
    return captureCommand("ffmpeg -v error -nostdin -i " + quote(file) + " -fps_mode passthrough -f rawvideo -pix_fmt rgb24 -");
}

// How far apart the colours of two decodes of `width`-pixel rows are, in
// 8-bit levels: the mean absolute difference of the colours of 8x8 blocks
// (the colour a viewer sees there, not the grain a codec may smooth), and
// the largest difference of one channel's mean over all pictures.
struct Difference {
    double blocks = 1e9, channelMean = 1e9;
};
Difference compare(const std::string& a, const std::string& b, int width) {
    Difference d;
    if (a.empty() || a.size() != b.size() || a.size() % (width * 3 * 8)) return d;
    const size_t rows = a.size() / (width * 3);
    double abs = 0, sum[3] = {0, 0, 0};
    size_t count = 0;
    for (size_t y = 0; y < rows; y += 8)
        for (int x = 0; x < width; x += 8)
            for (int c = 0; c < 3; ++c, ++count) {
                double block = 0;
                for (size_t i = 0; i < 64; ++i) {
                    const size_t at = ((y + i / 8) * width + x + i % 8) * 3 + c;
                    block += static_cast<uint8_t>(a[at]) - static_cast<uint8_t>(b[at]);
                }
                abs += std::abs(block) / 64;
                sum[c] += block;
            }
    d.blocks = abs / count;
    d.channelMean = 0;
    for (double s : sum) d.channelMean = std::max(d.channelMean, std::abs(s) / (a.size() / 3.0));
    return d;
}

double psnr(const std::string& a, const std::string& b) {
    if (a.empty() || a.size() != b.size()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]);
        sum += d * d;
    }
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

}  // namespace

// A 360 still carries the photo-sphere fields with its own size and the
// view it was turned to, in a JPEG and in a PNG; the JPEG shows the PNG's
// picture within what its quality allows; a stereo layout is no 360 picture.
TEST(PanoramaStills, JpegAndPngTaggedAndAlike) {
    const std::string dir = testutil::makeTempDir("stills");
    const std::string view = " --color-match off --size 48 --frame 2 --yaw -30 --pitch 12.6 " + quote(kSample) + " ";
    for (const char* name : {"p.png", "hi.jpg --quality 95", "lo.jpg --quality 20", "s.jpg --layout stereo"}) {
        const auto run = testutil::runStitcher(view + dir + "/" + name);
        ASSERT_EQ(run.code, 0) << name << ": " << run.err;
    }
    const std::map<std::string, std::string> expected = {
        {"ProjectionType", "equirectangular"}, {"UsePanoramaViewer", "True"},
        {"FullPanoWidthPixels", "96"}, {"FullPanoHeightPixels", "48"},
        {"CroppedAreaImageWidthPixels", "96"}, {"CroppedAreaImageHeightPixels", "48"},
        {"CroppedAreaLeftPixels", "0"}, {"CroppedAreaTopPixels", "0"},
        {"PoseHeadingDegrees", "330"}, {"PosePitchDegrees", "12.6"},
        {"InitialViewHeadingDegrees", "330"}, {"InitialViewPitchDegrees", "13"},
        {"Validate", "0 0 0"},  // every chunk and segment intact
    };
    for (const char* name : {"p.png", "hi.jpg"}) {
        auto tags = exif(dir + "/" + name);
        for (const auto& e : expected) EXPECT_EQ(tags[e.first], e.second) << name << " " << e.first;
    }
    EXPECT_EQ(exif(dir + "/s.jpg").count("ProjectionType"), 0u);

    const std::string png = decoded(dir + "/p.png");
    ASSERT_EQ(png.size(), 96u * 48 * 3);
    const double high = psnr(png, decoded(dir + "/hi.jpg")), low = psnr(png, decoded(dir + "/lo.jpg"));
    EXPECT_GE(high, 30.0);
    EXPECT_LT(low, high - 3);
    EXPECT_LT(std::stoul(captureCommand("stat -c %s " + dir + "/lo.jpg")),
              std::stoul(captureCommand("stat -c %s " + dir + "/hi.jpg")));
}

// Both spherical metadata versions on every codec, in MP4 and QuickTime;
// Matroska's projection elements; none on a stereo layout.
TEST(SphericalVideo, BothVersionsOnEveryCodecAndContainer) {
    const std::string dir = testutil::makeTempDir("spherical");
    // A clip of its own: two tests that make one clip at once may replace it under each other's runs.
    const std::string clip = smallClip("spherical_256x128.mp4", "gradients=s=256x128:r=30:seed=9");
    const struct {
        const char* name;
        const char* args;
    } cases[] = {
        {"a.mp4", ""},
        {"b.mp4", "--codec hevc"},
        {"c.mov", "--codec prores"},
        {"e.mkv", "--codec hevc --bit-depth 10"},
    };
    // One frame: x265 gives no valid decoding time to the packets of a
    // stream that ends within its B-frame delay, which the muxer refuses.
    for (const auto& c : cases) {
        const std::string out = dir + "/" + c.name;
        const auto run = testutil::runStitcher(std::string("--size 16 --frames 1 --preset ultrafast ") + c.args + " " +
                                               quote(clip) + " " + out);
        ASSERT_EQ(run.code, 0) << c.name << ": " << run.err;
        const std::string side = sideData(out);
        EXPECT_NE(side.find("projection=equirectangular"), std::string::npos) << c.name << ": " << side;
        EXPECT_NE(side.find("type=2D"), std::string::npos) << c.name << ": " << side;
        // The file still plays to its end.
        EXPECT_EQ(decoded(out).size(), 32u * 16 * 3) << c.name;
        if (std::string(c.name).find(".mkv") != std::string::npos) continue;
        auto tags = exif(out);
        const std::map<std::string, std::string> expected = {
            {"Spherical", "true"}, {"Stitched", "true"}, {"ProjectionType", "equirectangular"},
            {"StitchingSoftware", "stitcher"}, {"InitialViewHeadingDegrees", "0"},
            // The second version's own boxes, not only what a reader makes of the first.
            {"ProjectionBoundsTop", "0"}, {"Stereoscopic3D", "0"},
        };
        for (const auto& e : expected) EXPECT_EQ(tags[e.first], e.second) << c.name << " " << e.first;
    }
    const std::string stereo = dir + "/s.mov";
    ASSERT_EQ(testutil::runStitcher("--size 16 --frames 2 --layout stereo " + quote(clip) + " " + stereo).code, 0);
    EXPECT_EQ(sideData(stereo), "");
    EXPECT_EQ(exif(stereo).count("ProjectionType"), 0u);
}

// ProRes and 10-bit HEVC show the colours of the lossless 8-bit video of
// the same stitch, in three worlds, and keep its sound; ProRes is refused
// in MP4 before anything is written.
TEST(Masters, ColoursOfTheEightBitVideoAndSoundKept) {
    const std::string dir = testutil::makeTempDir("masters");
    const std::string worlds[] = {
        smallClip("gradients_256x128.mp4", "gradients=s=256x128:r=30:seed=5"),
        smallClip("noisy_bars_256x128.mp4", "testsrc2=s=256x128:r=30,noise=alls=40:allf=u:all_seed=11"),
        smallClip("cells_256x128.mp4", "cellauto=s=256x128:r=30:rule=110:random_seed=7,hue=h=60:s=4"),
    };
    const Difference allowed{2.0, 2.0};  // levels
    const char* masters[] = {"m.mov --codec prores", "m.mkv --codec hevc --bit-depth 10 --crf 0"};
    for (const std::string& clip : worlds) {
        ASSERT_FALSE(clip.empty());
        const std::string base = " --size 32 " + quote(clip) + " " + dir;
        ASSERT_EQ(testutil::runStitcher("-y --crf 0" + base + "/8bit.mp4").code, 0) << clip;
        std::string files[3] = {dir + "/8bit.mp4"};
        for (int k = 0; k < 2; ++k) {
            const std::string master = masters[k];
            files[k + 1] = dir + "/" + master.substr(0, 5);
            const auto run = testutil::runStitcher("-y " + master.substr(6) + base + "/" + master.substr(0, 5));
            ASSERT_EQ(run.code, 0) << run.err;
        }
        // Every picture and the sound of the three, decoded by one ffmpeg.
        std::string inputs, outputs;
        for (int k = 0; k < 3; ++k) {
            const std::string n = std::to_string(k);
            inputs += " -i " + quote(files[k]);
            outputs += " -map " + n + ":v -fps_mode passthrough -f rawvideo -pix_fmt rgb24 " + quote(files[k] + ".rgb") +
                       " -map " + n + ":a -f s16le " + quote(files[k] + ".pcm");
        }
        ASSERT_EQ(testutil::runCommand("ffmpeg -v error -nostdin -y" + inputs + outputs), 0);
        const std::string reference = testutil::readFile(files[0] + ".rgb");
        const std::string referenceSound = testutil::readFile(files[0] + ".pcm");
        ASSERT_EQ(reference.size(), 3u * 64 * 32 * 3);
        ASSERT_GT(referenceSound.size(), 4000u);
        for (int k = 0; k < 2; ++k) {
            const std::string master = masters[k], out = files[k + 1];
            const std::string what = clip + " " + master;
            EXPECT_NE(captureCommand("ffprobe -v error -show_entries stream=pix_fmt -of csv=p=0 " + out).find("10le"),
                      std::string::npos) << what;
            const Difference d = compare(reference, testutil::readFile(out + ".rgb"), 64);
            EXPECT_LE(d.blocks, allowed.blocks) << what;
            EXPECT_LE(d.channelMean, allowed.channelMean) << what;
            // All of it; Matroska, which has no edit list, also plays the
            // encoder's lead-in (one AAC frame), as long before the pictures.
            const size_t kept = testutil::readFile(out + ".pcm").size(), leadIn = master.find(".mkv") != std::string::npos ? 2048 : 0;
            EXPECT_EQ(kept, referenceSound.size() + leadIn) << what;
        }
    }
    const auto refused = testutil::runStitcher("--codec prores " + quote(kSample) + " " + dir + "/p.mp4");
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find("ProRes does not go into an MP4 file"), std::string::npos) << refused.err;
    EXPECT_NE(testutil::runCommand("test -e " + dir + "/p.mp4"), 0);
}
