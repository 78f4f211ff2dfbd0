// The video writer: a few pictures and their sound, read back by ffprobe and
// ffmpeg, and an output that cannot be written.
#include <gtest/gtest.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cmath>
#include <fstream>
#include <iterator>
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

#ifdef __GLIBC__
// The same pictures make the same file, whatever the memory the encoder is
// given held before: written twice, with the heap's new blocks filled with
// different bytes each time. At preset medium and a width that is not a
// multiple of 128, x264's fastest code on some processors would otherwise
// let those bytes into the stream.
TEST(VideoWriter, SamePicturesMakeTheSameFileWhateverTheHeapHeld) {
    const std::string dir = testutil::makeTempDir("video_writer");
    VideoSettings s = settings();
    s.width = 192;
    s.height = 96;
    s.preset = "medium";
    s.crf = 20;
    std::vector<uint8_t> bgr(192 * 96 * 3);
    auto write = [&](int fill, const std::string& path) {
        mallopt(M_PERTURB, fill);
        VideoWriter writer;
        Status st = writer.open(path, s);
        for (int k = 0; k < 8 && st.ok(); ++k) {
            for (int y = 0; y < 96; ++y)
                for (int x = 0; x < 192 * 3; ++x)
                    bgr[y * 192 * 3 + x] = static_cast<uint8_t>(128 + 60 * std::sin((x / 3 + 1.5 * k) / 9.0) * std::cos((y + 0.7 * k) / 7.0) + x % 3 * 20 + ((x * 7 + y * 13 + k * 5) % 11));
            st = writer.writeVideo(bgr.data(), 192 * 3, k * 33, 33);
            if (st.ok()) st = writer.writeAudio(std::vector<int16_t>(1600, 500).data(), 1600);
        }
        if (st.ok()) st = writer.finish();
        mallopt(M_PERTURB, 0);
        EXPECT_TRUE(st.ok()) << st.message();
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string first = write(0x55, dir + "/first.mp4"), second = write(0xaa, dir + "/second.mp4");
    ASSERT_GT(first.size(), 1000u);
    EXPECT_TRUE(first == second) << "the two files differ";
}
#endif

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
