// The video's codec and default size: H.264 held to what players decode,
// HEVC for larger masters with the same tags and the same picture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ClipCalibration.h"
#include "Job.h"
#include "libdec.h"
#include "test_clips.h"

using namespace stitcher;

namespace {

const std::string kStitcher = std::string(DFS_BINARY_DIR) + "/stitcher/stitcher";
const std::string kSample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";

struct RunResult {
    int code = -1;
    std::string out, err;
};

RunResult stitch(const std::string& args) {
    const std::string dir = testutil::makeTempDir("codec_run");
    RunResult r;
    r.out = testutil::captureCommand("env -u DISPLAY " + kStitcher + " " + args + " 2>" + dir + "/err", &r.code);
    r.err = testutil::readFile(dir + "/err");
    return r;
}

std::string probe(const std::string& path, const std::string& entries) {
    return testutil::captureCommand("ffprobe -v error -select_streams v:0 -show_entries " + entries +
                                    " -of default=nw=1 " + path);
}

// Peak signal to noise ratio of two videos' decoded RGB pictures, in dB.
double psnr(const std::string& a, const std::string& b) {
    const std::string cmd = " -f rawvideo -pix_fmt rgb24 -";
    const std::string x = testutil::captureCommand("ffmpeg -v error -nostdin -i " + a + cmd);
    const std::string y = testutil::captureCommand("ffmpeg -v error -nostdin -i " + b + cmd);
    if (x.empty() || x.size() != y.size()) return 0;
    double sum = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        const double d = static_cast<uint8_t>(x[i]) - static_cast<uint8_t>(y[i]);
        sum += d * d;
    }
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * x.size() / sum);
}

}  // namespace

// The size a run takes: a video no more than its codec's cap unless --size
// says so; pictures at the lenses' own size.
TEST(CodecSize, DefaultHeldToTheCodecsCapForVideoOnly) {
    LensRig lens;
    ASSERT_TRUE(parseCalibration(DEFAULT_OFFSET, lens).ok());
    _MediaInfo media{};
    media.hasVideo = 1;
    media.width = 5760;
    media.height = 2880;
    media.frames = 10;
    media.fps = 30;
    const int sharpest = defaultSize(lens.values(), 5760);
    ASSERT_GT(sharpest, 2048);
    ASSERT_LE(sharpest, 4096);

    struct Case {
        OutputKind kind;
        bool hevc, stereo;
        int size;                     // --size, 0 for none
        int expect, sharpest;         // the run's size; Job::sharpestSize
        bool overCap;
    } cases[] = {
        {OutputKind::Video, false, false, 0, 2048, sharpest, false},
        {OutputKind::Video, false, true, 0, 1024, sharpest, false},  // 2048 x 2048 stacked
        {OutputKind::Video, true, false, 0, sharpest, 0, false},
        {OutputKind::Video, true, true, 0, 2048, sharpest, false},   // 4096 x 4096 stacked
        {OutputKind::Picture, false, false, 0, sharpest, 0, false},
        {OutputKind::Sequence, false, true, 0, sharpest, 0, false},
        {OutputKind::Video, false, false, 2048, 2048, 0, false},
        {OutputKind::Video, false, false, 2064, 2064, 0, true},
        {OutputKind::Video, true, false, 4096, 4096, 0, false},
        {OutputKind::Video, true, true, 2064, 2064, 0, true},
        {OutputKind::Picture, false, false, 4096, 4096, 0, false},
    };
    for (const Case& c : cases) {
        Options opt;
        opt.kind = c.kind;
        opt.hevc = c.hevc;
        opt.stereo = c.stereo;
        opt.size = c.size;
        Job job;
        ASSERT_TRUE(resolveJob(opt, media, lens, job).ok());
        const std::string what = std::string(c.hevc ? "hevc" : "h264") + (c.stereo ? " stereo" : "") + " kind " +
                                 std::to_string(static_cast<int>(c.kind)) + " --size " + std::to_string(c.size);
        EXPECT_EQ(job.engine.size, c.expect) << what;
        EXPECT_EQ(job.sharpestSize, c.sharpest) << what;
        EXPECT_EQ(job.overCap, c.overCap) << what;
    }
    // A clip whose lenses give less than the cap keeps its own size.
    media.width = 1920;
    media.height = 960;
    Options opt;
    opt.kind = OutputKind::Video;
    Job job;
    ASSERT_TRUE(resolveJob(opt, media, lens, job).ok());
    EXPECT_EQ(job.engine.size, defaultSize(lens.values(), 1920));
    EXPECT_EQ(job.sharpestSize, 0);
}

// A 5.7K clip's video is 4096 x 2048 by default, and the run says so;
// --size above the cap is obeyed with a warning.
TEST(StitcherCodec, LargeClipHeldToWhatPlayersDecodeUnlessAsked) {
    const std::string big = testutil::makeClip(
        "grey_5760x2880.mp4",
        "-f lavfi -i color=c=gray:s=5760x2880:r=30 -frames:v 3 -g 1 -c:v libx264 -preset ultrafast -crf 40 -pix_fmt yuv420p");
    ASSERT_FALSE(big.empty());
    const std::string dir = testutil::makeTempDir("codec_big");

    RunResult info = stitch("--info " + big);
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("default panorama: 6272x3136; an H.264 video's 4096x2048"), std::string::npos) << info.out;

    // Both clips' lenses are evenly lit: their fall-off (none) is given, as
    // the runs would measure it, so that they leave out that pass over the clip.
    const std::string noFalloff = " --falloff falloff_0.00000_0.00000_0.00000_0.00000 ";
    RunResult held = stitch("--frames 1 --preset ultrafast" + noFalloff + big + " " + dir + "/held.mp4");
    ASSERT_EQ(held.code, 0) << held.err;
    EXPECT_EQ(probe(dir + "/held.mp4", "stream=width,height"), "width=4096\nheight=2048\n");
    EXPECT_NE(held.err.find("the video is 4096x2048"), std::string::npos) << held.err;
    EXPECT_NE(held.err.find("the lenses allow 6272x3136"), std::string::npos) << held.err;
    EXPECT_EQ(held.err.find("warning: a "), std::string::npos) << held.err;

    RunResult asked = stitch("--frames 1 --preset ultrafast --no-audio --size 2064" + noFalloff + kSample + " " + dir + "/asked.mp4");
    ASSERT_EQ(asked.code, 0) << asked.err;
    EXPECT_EQ(probe(dir + "/asked.mp4", "stream=width,height"), "width=4128\nheight=2064\n");
    EXPECT_NE(asked.err.find("warning: a 4128x2064 H.264 video is larger than many players"), std::string::npos)
        << asked.err;
}

// --codec hevc: an HEVC stream that players take (hvc1), with the same 360
// metadata and colour tags as the H.264 video, and the same picture.
TEST(StitcherCodec, HevcCarriesTheSameTagsAndPicture) {
    const std::string dir = testutil::makeTempDir("codec_hevc");
    const std::string common = "--frames 4 --size 256 --crf 12 --preset ultrafast --no-audio " + kSample + " ";
    RunResult avc = stitch(common + dir + "/avc.mp4");
    RunResult hevc = stitch("--codec hevc " + common + dir + "/hevc.mp4");
    ASSERT_EQ(avc.code, 0) << avc.err;
    ASSERT_EQ(hevc.code, 0) << hevc.err;
    EXPECT_EQ(hevc.err.find("x265 ["), std::string::npos) << "the encoder's own account is shown only with -v";

    const std::string tags = "stream=codec_name,codec_tag_string,width,height,color_range,color_space,color_transfer,"
                             "color_primaries:stream_side_data=side_data_type,projection";
    const std::string a = probe(dir + "/avc.mp4", tags), h = probe(dir + "/hevc.mp4", tags);
    EXPECT_NE(h.find("codec_name=hevc\n"), std::string::npos) << h;
    EXPECT_NE(h.find("codec_tag_string=hvc1\n"), std::string::npos) << h;
    EXPECT_NE(h.find("side_data_type=Spherical Mapping\nprojection=equirectangular\n"), std::string::npos) << h;
    EXPECT_NE(h.find("color_primaries=bt709\n"), std::string::npos) << h;
    // Apart from the codec, the H.264 video's description word for word.
    auto afterCodec = [](const std::string& s) { return s.substr(s.find('\n', s.find("codec_tag_string="))); };
    EXPECT_EQ(afterCodec(h), afterCodec(a));

    // Both encoders at this quality are within a few levels of the stitched
    // picture, so of each other.
    const double db = psnr(dir + "/avc.mp4", dir + "/hevc.mp4");
    EXPECT_GT(db, 38.0);
    std::printf("H.264 and HEVC pictures: %.1f dB apart\n", db);
}

TEST(StitcherCodec, UnknownCodecIsABadCommandLine) {
    const std::string dir = testutil::makeTempDir("codec_bad");
    for (const char* value : {"h265", "H264", ""}) {
        RunResult r = stitch(std::string("--codec '") + value + "' " + kSample + " " + dir + "/out.mp4");
        EXPECT_EQ(r.code, 2) << value;
        EXPECT_NE(r.err.find(std::string("option --codec: '") + value + "' is none of h264, hevc and prores"), std::string::npos) << r.err;
    }
    RunResult missing = stitch(kSample + " " + dir + "/out.mp4 --codec");
    EXPECT_EQ(missing.code, 2);
    EXPECT_NE(missing.err.find("option --codec needs a value"), std::string::npos) << missing.err;
    EXPECT_EQ(testutil::captureCommand("ls -A " + dir), "");
}
