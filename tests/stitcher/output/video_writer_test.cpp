// The video writer: a few pictures and their sound, read back by ffprobe and
// ffmpeg, and an output that cannot be written.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Writers.h"
#include "test_clips.h"

extern "C" {
#include <libavutil/log.h>
}

using namespace stitcher;

namespace {

// The encoders' reports of their settings would bury the test's.
const bool kQuiet = [] {
    av_log_set_level(AV_LOG_ERROR);
    return true;
}();

VideoSettings settings() {
    VideoSettings s;
    s.width = 64;
    s.height = 32;
    s.fpsNum = 30;
    s.timescale = 1000;
    s.preset = "ultrafast";
    s.crf = 10;
    s.spherical = true;
    s.audioRate = 48000;
    s.audioChannels = 1;
    s.name = "shown.mp4";
    return s;
}

// The first field of each line of a table.
std::vector<std::string> firstFields(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line.substr(0, line.find(',')));
    return out;
}

// Five grey pictures at their times (the third asks for the second's time
// and goes just after it), with a second of sound, read back as written.
TEST(VideoWriter, PicturesTimesSizeTagsAndSoundReadBack) {
    const std::string path = testutil::makeTempDir("video_writer") + "/out.mp4";
    VideoWriter writer;
    Status st = writer.open(path, settings());
    ASSERT_TRUE(st.ok()) << st.message();
    const int64_t pts[] = {0, 33, 33, 200, 233};
    const uint8_t grey[] = {20, 60, 100, 140, 180};
    std::vector<uint8_t> bgr(64 * 32 * 3);
    std::vector<int16_t> sound(9600, 1000);
    for (int k = 0; k < 5; ++k) {
        std::fill(bgr.begin(), bgr.end(), grey[k]);
        st = writer.writeVideo(bgr.data(), 64 * 3, pts[k], 33);
        ASSERT_TRUE(st.ok()) << st.message();
        st = writer.writeAudio(sound.data(), 9600);
        ASSERT_TRUE(st.ok()) << st.message();
    }
    st = writer.finish();
    ASSERT_TRUE(st.ok()) << st.message();
    EXPECT_EQ(writer.audioSamplesWritten(), 48000);

    const std::string q = "'" + path + "'";
    EXPECT_EQ(firstFields(testutil::captureCommand("ffprobe -v error -select_streams v -show_entries "
                                                   "frame=pts_time -of csv=p=0 " + q)),
              (std::vector<std::string>{"0.000000", "0.033000", "0.034000", "0.200000", "0.233000"}));
    EXPECT_EQ(testutil::captureCommand("ffprobe -v error -select_streams v -show_entries "
                                       "stream=codec_name,width,height,color_range,color_space:side_data=projection "
                                       "-of default=nw=1 " + q),
              "codec_name=h264\nwidth=64\nheight=32\ncolor_range=tv\ncolor_space=bt709\nprojection=equirectangular\n");
    EXPECT_EQ(testutil::captureCommand("ffprobe -v error -select_streams a -show_entries "
                                       "stream=codec_name,sample_rate,channels -of default=nw=1 " + q),
              "codec_name=aac\nsample_rate=48000\nchannels=1\n");
    // The pictures in their order: each decoded picture's mean, back in full range.
    const std::string raw = testutil::captureCommand("ffmpeg -v error -nostdin -i " + q +
                                                     " -fps_mode passthrough -enc_time_base 1/1000"
                                                     " -f rawvideo -pix_fmt gray -");
    ASSERT_EQ(raw.size(), 5u * 64 * 32);
    for (int k = 0; k < 5; ++k) {
        double sum = 0;
        for (size_t i = 0; i < 64 * 32; ++i) sum += static_cast<uint8_t>(raw[k * 64 * 32 + i]);
        EXPECT_NEAR(sum / (64 * 32), grey[k], 2) << "picture " << k;
    }
}

// Where the file cannot be made, and where the disk is full: the output's
// failure, named as the user knows it.
TEST(VideoWriter, AnOutputThatCannotBeWrittenFailsWithTheOutputsCode) {
    {
        VideoWriter writer;
        Status st = writer.open(testutil::makeTempDir("video_writer") + "/missing/out.mp4", settings());
        EXPECT_EQ(st.code(), kExitOutput) << st.message();
        EXPECT_EQ(st.message().rfind("cannot write shown.mp4: ", 0), 0u) << st.message();
    }
    {
        VideoWriter writer;
        Status st = writer.open("/dev/full", settings());
        std::vector<uint8_t> bgr(64 * 32 * 3, 128);
        for (int k = 0; k < 30 && st.ok(); ++k) st = writer.writeVideo(bgr.data(), 64 * 3, k * 33, 33);
        if (st.ok()) st = writer.finish();
        EXPECT_EQ(st.code(), kExitOutput) << st.message();
        EXPECT_NE(st.message().find(" shown.mp4: "), std::string::npos) << st.message();
    }
}

}  // namespace
