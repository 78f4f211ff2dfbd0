// The filter in the real hosts: FFmpeg's frei0r filter, melt (MLT, on one
// and on several threads) and gst-launch-1.0, each on a small synthesised
// clip that names its own, non-default calibration and whose second lens
// meters apart. Each host's picture is held against the stitcher's own
// picture of the same frames (colour matching on in both), frame by frame,
// the panorama and a flat view;
// the hosts convert YUV to RGB their own ways, hence a PSNR bound.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "test_clips.h"

namespace {

using testutil::quote;

const std::string kBin = DFS_BINARY_DIR;
const std::string kPhoto = std::string(DFS_SOURCE_DIR) + "/samples/city_world.png";
const int kW = 640, kH = 320, kFrames = 4;
const double kMinPsnr = 40.0;
// GStreamer's own conversion (videoconvert) is further from the stitcher's:
// on the clip's raw frames 44 dB from FFmpeg's, and 39.4 dB here.
const double kMinPsnrGst = 38.0;
// How long a melt run may take (a few seconds here), and timeout's exit code past it.
const int kHostSeconds = 120, kTimedOut = 124;
const char* kOffset = "2_705_720_715_1.5_0.8_-0.4_710_2160_722_179_-179.5_0.6_2880_1440_516";

// The clip, made once per build folder.
std::string synthClip() {
    const std::string path = testutil::clipDir() + "/frei0r_synth.mp4";
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;
    const std::string tmp = path + ".tmp" + std::to_string(::getpid()) + ".mp4";
    const int rc = testutil::runCommand(quote(kBin + "/samples/make_sample") + " --size " + std::to_string(kW) + "x" +
                                        std::to_string(kH) + " --frames " + std::to_string(kFrames) +
                                        " --fps 25 --gop 4 --crf 14 --preset veryfast --no-audio --yaw-step 3 --offset " +
                                        kOffset + " --tint 1.15,1,0.85 " + quote(kPhoto) + " " + quote(tmp) + " >/dev/null");
    if (rc != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "make_sample failed (" << rc << ")";
        return std::string();
    }
    return path;
}

double psnr(const std::string& a, const std::string& b, size_t offset, size_t size) {
    double sum = 0;
    for (size_t i = offset; i < offset + size; ++i) {
        const double d = static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]);
        sum += d * d;
    }
    if (sum == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * size / sum);
}

class Frei0rHosts : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(DFS_SANITIZED)
        GTEST_SKIP() << "the hosts cannot load a sanitizer build of the plug-in";
#endif
        clip_ = synthClip();
        ASSERT_FALSE(clip_.empty());
        dir_ = testutil::makeTempDir("frei0r_hosts");
        // The hosts load the plug-in as installed.
        ASSERT_EQ(testutil::runCommand(quote(DFS_CMAKE_COMMAND) + " --install " + quote(kBin) + " --component frei0r --prefix " +
                                       quote(dir_ + "/prefix") + " >/dev/null"),
                  0);
        pluginDir_ = dir_ + "/prefix/lib/frei0r-1";
        // The stitcher's frames, turned 30 degrees, as RGB.
        ASSERT_EQ(testutil::runStitcher("--engine cpu --size " + std::to_string(kH) + " --yaw 30 " + quote(clip_) + " " +
                                        quote(dir_ + "/ref%d.png"))
                      .code,
                  0);
        want_ = testutil::captureCommand("ffmpeg -nostdin -loglevel error -start_number 1 -i " + quote(dir_ + "/ref%d.png") +
                                         " -f rawvideo -pix_fmt rgb24 -");
        ASSERT_EQ(want_.size(), frameBytes() * kFrames);
    }

    static size_t frameBytes() { return static_cast<size_t>(kW) * kH * 3; }

    // Runs `cmd` (a host writing RGB frames on its standard output) with the
    // plug-in's folder on the hosts' search paths; checks each frame.
    void expectStitch(const std::string& host, const std::string& cmd, double minPsnr = kMinPsnr) {
        // A HOME without the reader's log folder: the plug-in says nothing of it.
        const std::string env = "env HOME=" + quote(dir_) + " FREI0R_PATH=" + quote(pluginDir_) + " MLT_FREI0R_PLUGIN_PATH=" + quote(pluginDir_) +
                                " GST_REGISTRY=" + quote(dir_ + "/gst-registry.bin") + " ";
        int code = -1;
        std::string got = testutil::captureCommand(env + cmd + " 2>" + quote(dir_ + "/err"), &code);
        if ((code == 0 && got.empty()) || code == kTimedOut) {
            // melt, on a busy machine, now and then ends at once without a
            // frame and without a word, or never ends, its last thread
            // waiting for a consumer that has gone (a few runs in a hundred
            // with several at a time): once more. A plug-in fault writes
            // frames (black ones) or fails the host.
            std::printf("%s %s; run again\n", host.c_str(), code == kTimedOut ? "did not end" : "wrote nothing");
            got = testutil::captureCommand(env + cmd + " 2>" + quote(dir_ + "/err"), &code);
        }
        const std::string err = testutil::readFile(dir_ + "/err");
        ASSERT_EQ(code, 0) << host << ": " << err;
        // Anything else on standard output would break the stream.
        ASSERT_EQ(got.size(), frameBytes() * kFrames) << host << ": " << err;
        double least = 99.0;
        for (int k = 0; k < kFrames; ++k) {
            const double db = psnr(got, want_, k * frameBytes(), frameBytes());
            EXPECT_GE(db, minPsnr) << host << ", frame " << k + 1;
            least = std::min(least, db);
        }
        RecordProperty(host, std::to_string(least) + " dB");
        EXPECT_EQ(err.find("built-in default"), std::string::npos) << host << ": " << err;
        EXPECT_EQ(err.find("dir not exist"), std::string::npos) << host << ": " << err;
    }

    // A melt profile of the clip's frame size; melt writes its own lines on
    // standard output, so the frames go to a file that is then shown.
    std::string meltCommand(const std::string& filter, const char* realTime, const std::string& name) {
        const std::string profile = dir_ + "/profile";
        EXPECT_TRUE(testutil::writeFile(profile, "width=" + std::to_string(kW) + "\nheight=" + std::to_string(kH) +
                                                     "\ndescription=dual fisheye\nframe_rate_num=25\nframe_rate_den=1\n"
                                                     "progressive=1\nsample_aspect_num=1\nsample_aspect_den=1\n"
                                                     "display_aspect_num=2\ndisplay_aspect_den=1\ncolorspace=601\n"));
        const std::string out = dir_ + "/" + name + realTime + ".rgb";
        return "timeout -k 5 " + std::to_string(kHostSeconds) + " melt -silent -profile " + quote(profile) + " " + quote(clip_) + " -filter frei0r.dualfisheye360 " +
               quote("calibration=" + std::string(kOffset)) + " " + filter + " -consumer " + quote("avformat:" + out) +
               " f=rawvideo pix_fmt=rgb24 real_time=" + realTime + " >/dev/null && cat " + quote(out);
    }

    std::string clip_, dir_, pluginDir_, want_;
};

TEST_F(Frei0rHosts, FfmpegGivesTheStitchersPicture) {
    // Parameters by position: calibration (none: the clip's), clip, yaw.
    expectStitch("ffmpeg", "ffmpeg -nostdin -loglevel error -i " + quote(clip_) + " -vf " +
                               quote("frei0r=dualfisheye360:|" + clip_ + "|30") + " -f rawvideo -pix_fmt rgb24 -");
}

// A flat view, in FFmpeg by position after the older parameters (layout,
// view text, projection, field of view (80 degrees: 80 / 180), seam,
// baseline), in melt by name. The stitcher's flat picture of the same view
// at the frame's size.
TEST_F(Frei0rHosts, FfmpegAndMeltFlatViewsGiveTheStitchersFlatPicture) {
    ASSERT_EQ(testutil::runStitcher("--engine cpu --projection flat --size " + std::to_string(kW) + "x" + std::to_string(kH) +
                                    " --yaw 30 --pitch -10 --fov 80 " + quote(clip_) + " " + quote(dir_ + "/flat%d.png"))
                  .code,
              0);
    want_ = testutil::captureCommand("ffmpeg -nostdin -loglevel error -start_number 1 -i " + quote(dir_ + "/flat%d.png") +
                                     " -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(want_.size(), frameBytes() * kFrames);
    expectStitch("ffmpeg flat", "ffmpeg -nostdin -loglevel error -i " + quote(clip_) + " -vf " +
                                    quote("frei0r=dualfisheye360:|" + clip_ + "|30|-10|0|y|stitch||flat|0.4444444444444444|far|0.15") +
                                    " -f rawvideo -pix_fmt rgb24 -");
    expectStitch("melt flat", meltCommand("yaw=30 pitch=-10 projection=flat fov=0.4444444444444444", "-1", "flat"));
}

TEST_F(Frei0rHosts, MeltGivesTheStitchersPictureOnOneAndOnSeveralThreads) {
    for (const char* realTime : {"-1", "-4"})
        expectStitch(std::string("melt real_time=") + realTime, meltCommand("yaw=30", realTime, "melt"));
}

TEST_F(Frei0rHosts, GstreamerGivesTheStitchersPicture) {
    // GStreamer's frei0r elements take doubles in 0..1 only: the view as text.
    expectStitch("gst-launch-1.0",
                 "gst-launch-1.0 -q filesrc location=" + quote(clip_) +
                     " ! qtdemux ! h264parse ! avdec_h264 ! videoconvert ! frei0r-filter-dualfisheye360 clip=" +
                     quote(clip_) + " view=30 ! videoconvert ! video/x-raw,format=RGB ! fdsink fd=1",
                 kMinPsnrGst);
}

}  // namespace
