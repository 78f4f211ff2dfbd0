// End-to-end tests of the stitcher binary: clips synthesised from the sample
// photograph (make_sample) are stitched, and the output pictures are compared
// with the photograph itself, which is what a correct stitch gives back (scaled
// to the panorama size and shifted by the camera's turn), see samples/README.md.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_clips.h"

namespace {

const std::string kStitcher = std::string(DFS_BINARY_DIR) + "/stitcher/stitcher";
const std::string kMakeSample = std::string(DFS_BINARY_DIR) + "/samples/make_sample";
const std::string kSample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";
const std::string kPhoto = std::string(DFS_SOURCE_DIR) + "/samples/city_world.png";

bool haveDisplay() { return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY"); }

#define REQUIRE_DISPLAY()                                                         \
    if (!haveDisplay()) GTEST_SKIP() << "no X display (run the tests under xvfb-run -a)"

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct RunResult {
    int code = -1;
    std::string err;  // standard error
    std::string out;  // standard output
};

RunResult stitch(const std::string& args, const std::string& envPrefix = "") {
    std::string dir = testutil::makeTempDir("stitch_run");
    RunResult r;
    r.out = testutil::captureCommand(envPrefix + quote(kStitcher) + " " + args + " 2>" + dir + "/err", &r.code);
    r.err = testutil::readFile(dir + "/err");
    return r;
}

// Test clip made by make_sample from the sample photograph, cached by name.
std::string synthClip(const std::string& name, const std::string& args) {
    std::string path = testutil::clipDir() + "/" + name;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;
    std::string tmp = path + ".tmp" + std::to_string(::getpid()) + ".mp4";
    int rc = testutil::runCommand(quote(kMakeSample) + " " + args + " " + quote(kPhoto) + " " + quote(tmp) + " >/dev/null");
    if (rc != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "make_sample failed (" << rc << ") for " << name;
        return std::string();
    }
    return path;
}

// Small clip: 960x480 fisheye frames, 8 frames at 25 fps, the camera turning
// 5 degrees per frame (so a frame out of order is plain to see), GOP 4.
const char* kSmallArgs = "--size 960x480 --frames 8 --fps 25 --gop 4 --crf 16 --preset veryfast --yaw-step 5";
const double kSmallYawStep = 5.0;

struct Rgb {
    int width = 0, height = 0;
    std::vector<uint8_t> px;  // rgb24
    const uint8_t* at(int x, int y) const { return &px[(static_cast<size_t>(y) * width + x) * 3]; }
};

// Every picture of a video (or one picture file), decoded by ffmpeg.
std::vector<Rgb> decodeAll(const std::string& path, int width, int height) {
    int rc = 0;
    std::string raw = testutil::captureCommand("ffmpeg -v error -nostdin -i " + quote(path) +
                                                   " -f rawvideo -pix_fmt rgb24 -", &rc);
    std::vector<Rgb> frames;
    size_t size = static_cast<size_t>(width) * height * 3;
    EXPECT_EQ(rc, 0) << path;
    EXPECT_EQ(raw.size() % size, 0u) << path << " is not " << width << "x" << height;
    for (size_t at = 0; at + size <= raw.size(); at += size) {
        Rgb f;
        f.width = width;
        f.height = height;
        f.px.assign(raw.begin() + at, raw.begin() + at + size);
        frames.push_back(std::move(f));
    }
    return frames;
}

const Rgb& photo() {
    static Rgb p = [] {
        auto all = decodeAll(kPhoto, 1024, 512);
        return all.empty() ? Rgb{} : all[0];
    }();
    return p;
}

void bilinear(const Rgb& img, double x, double y, double out[3]) {
    x -= std::floor(x / img.width) * img.width;  // wraps in longitude
    y = std::max(0.0, std::min(static_cast<double>(img.height - 1), y));
    int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    int x1 = (x0 + 1) % img.width, y1 = std::min(y0 + 1, img.height - 1);
    double fx = x - x0, fy = y - y0;
    for (int c = 0; c < 3; ++c)
        out[c] = (img.at(x0, y0)[c] * (1 - fx) + img.at(x1, y0)[c] * fx) * (1 - fy) +
                 (img.at(x0, y1)[c] * (1 - fx) + img.at(x1, y1)[c] * fx) * fy;
}

// The panorama a correct stitch gives: the photograph at W x H, turned by the
// camera's yaw (degrees) and viewed through the rotation R = Rz(yaw) Ry(pitch)
// Rx(roll) that maps output directions to panorama directions.
Rgb expected(int width, int height, double cameraYaw, double yaw = 0, double pitch = 0, double roll = 0) {
    const Rgb& src = photo();
    Rgb e;
    e.width = width;
    e.height = height;
    e.px.resize(static_cast<size_t>(width) * height * 3);
    const double d = M_PI / 180;
    double cy = std::cos(yaw * d), sy = std::sin(yaw * d), cp = std::cos(pitch * d), sp = std::sin(pitch * d);
    double cr = std::cos(roll * d), sr = std::sin(roll * d);
    double R[3][3] = {{cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr},
                      {sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr},
                      {-sp, cp * sr, cp * cr}};
    // 3 x 3 subsamples per pixel: the renderer samples the frames through
    // mipmaps, so small outputs average rather than pick.
    const int ss = 3;
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            double acc[3] = {0, 0, 0};
            for (int sy = 0; sy < ss; ++sy)
                for (int sx = 0; sx < ss; ++sx) {
                    // Output direction: azimuth grows with the column, polar angle with the row.
                    double th = 2 * M_PI * (col + (sx + 0.5) / ss) / width, ph = M_PI * (row + (sy + 0.5) / ss) / height;
                    double v[3] = {std::sin(ph) * std::cos(th), std::sin(ph) * std::sin(th), std::cos(ph)};
                    double w[3];
                    for (int i = 0; i < 3; ++i) w[i] = R[i][0] * v[0] + R[i][1] * v[1] + R[i][2] * v[2];
                    double th2 = std::atan2(w[1], w[0]);
                    if (th2 < 0) th2 += 2 * M_PI;
                    double ph2 = std::acos(std::max(-1.0, std::min(1.0, w[2])));
                    double x = th2 / (2 * M_PI) * src.width - 0.5 - cameraYaw / 360.0 * src.width;
                    double y = ph2 / M_PI * src.height - 0.5;
                    double c[3];
                    bilinear(src, x, y, c);
                    for (int k = 0; k < 3; ++k) acc[k] += c[k] / (ss * ss);
                }
            for (int k = 0; k < 3; ++k) e.px[(static_cast<size_t>(row) * width + col) * 3 + k] = static_cast<uint8_t>(std::lround(acc[k]));
        }
    return e;
}

enum class Region { Away, Bands };

// Stitch layout: lens 0 fades out over [H/2, H/2 + B] and lens 1 over
// [3H/2, 3H/2 + B] (B = 30/180 H, blend angle of the sample's lens type); the
// rows near the poles, where the mesh is coarse, are left out of both.
bool inRegion(Region r, int col, int row, int width, int height) {
    if (row < height / 10 || row >= height - height / 10) return false;
    double h = height, b = 30.0 / 180.0 * h;
    auto near = [&](double lo, double hi, double margin) { return col >= lo - margin && col < hi + margin; };
    bool band = near(h / 2, h / 2 + b, 0) || near(1.5 * h, 1.5 * h + b, 0);
    bool nearBand = near(h / 2, h / 2 + b, 3) || near(1.5 * h, 1.5 * h + b, 3);
    return r == Region::Bands ? band : !nearBand;
}

double psnr(const Rgb& a, const Rgb& b, Region region) {
    double sum = 0;
    size_t n = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x) {
            if (!inRegion(region, x, y, a.width, a.height)) continue;
            for (int c = 0; c < 3; ++c) {
                double d = static_cast<double>(a.at(x, y)[c]) - b.at(x, y)[c];
                sum += d * d;
            }
            n += 3;
        }
    if (n == 0) return NAN;
    double mse = sum / n;
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Thresholds (dB). The resampling chain (synthesis, mipmapped texture, texture
// coordinates interpolated between mesh vertices, 4:2:0 H.264) leaves a
// correct stitch at 27.5-31 dB on the small clip and 37-39 dB on the sample;
// the inverse view rotation scores 8-11 dB, a neighbouring frame 3+ dB less.
const double kMinPsnrAway = 26.0;
const double kMinPsnrBands = 24.0;

std::string probe(const std::string& path) {
    return testutil::captureCommand("ffprobe -v error -show_streams -show_format " + quote(path));
}

// The [STREAM] block of the first stream of a type.
std::string streamBlock(const std::string& probeText, const std::string& type) {
    size_t at = 0;
    while ((at = probeText.find("[STREAM]", at)) != std::string::npos) {
        size_t end = probeText.find("[/STREAM]", at);
        std::string block = probeText.substr(at, end - at);
        if (block.find("codec_type=" + type + "\n") != std::string::npos) return block;
        at = end;
    }
    return std::string();
}

std::string field(const std::string& block, const std::string& key) {
    size_t at = block.find("\n" + key + "=");
    if (at == std::string::npos) return std::string();
    at += key.size() + 2;
    return block.substr(at, block.find('\n', at) - at);
}

std::vector<std::string> listDir(const std::string& dir) {
    std::string out = testutil::captureCommand("ls -A " + quote(dir));
    std::vector<std::string> names;
    size_t at = 0;
    while (at < out.size()) {
        size_t nl = out.find('\n', at);
        if (nl == std::string::npos) nl = out.size();
        if (nl > at) names.push_back(out.substr(at, nl - at));
        at = nl + 1;
    }
    return names;
}

// ---- end to end ----

TEST(StitcherVideo, SmallClipMatchesPhotographFramesAudioAndMetadata) {
    REQUIRE_DISPLAY();
    std::string clip = synthClip("stitch_small.mp4", kSmallArgs);
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_video");
    std::string out = dir + "/pano.mp4";
    RunResult r = stitch("--size 240 --crf 12 --preset veryfast " + quote(clip) + " " + quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("8 frames 480x240 360"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << "library messages leaked to standard output: " << r.out.substr(0, 200);
    EXPECT_EQ(listDir(dir), std::vector<std::string>{"pano.mp4"});

    std::string p = probe(out);
    std::string video = streamBlock(p, "video"), audio = streamBlock(p, "audio");
    ASSERT_FALSE(video.empty()) << p;
    EXPECT_EQ(field(video, "codec_name"), "h264");
    EXPECT_EQ(field(video, "width"), "480");
    EXPECT_EQ(field(video, "height"), "240");
    EXPECT_EQ(field(video, "r_frame_rate"), "25/1");
    EXPECT_EQ(field(video, "nb_frames"), "8");
    EXPECT_NEAR(std::atof(field(video, "duration").c_str()), 8 / 25.0, 1e-6);
    EXPECT_NE(video.find("side_data_type=Spherical Mapping"), std::string::npos) << video;
    EXPECT_EQ(field(video, "projection"), "equirectangular");
    ASSERT_FALSE(audio.empty()) << p;
    EXPECT_EQ(field(audio, "codec_name"), "aac");
    EXPECT_EQ(field(audio, "sample_rate"), "48000");
    EXPECT_EQ(field(audio, "channels"), "2");
    EXPECT_NEAR(std::atof(field(audio, "duration").c_str()), 8 / 25.0, 0.025);
    EXPECT_EQ(audio.find("Spherical"), std::string::npos) << "360 metadata on the audio track";

    // The clip's chord is there, not silence.
    int rc = 0;
    std::string pcm = testutil::captureCommand("ffmpeg -v error -nostdin -i " + quote(out) + " -vn -f s16le -ac 1 -", &rc);
    ASSERT_EQ(rc, 0);
    double energy = 0;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        int16_t s = static_cast<int16_t>(static_cast<uint8_t>(pcm[i]) | (static_cast<uint8_t>(pcm[i + 1]) << 8));
        energy += static_cast<double>(s) * s;
    }
    EXPECT_GT(std::sqrt(energy / std::max<size_t>(1, pcm.size() / 2)), 1000.0);

    auto frames = decodeAll(out, 480, 240);
    ASSERT_EQ(frames.size(), 8u);
    for (int k = 0; k < 8; ++k) {
        Rgb want = expected(480, 240, k * kSmallYawStep);
        double away = psnr(frames[k], want, Region::Away), bands = psnr(frames[k], want, Region::Bands);
        std::printf("frame %d: %.1f dB away from the bands, %.1f dB in them\n", k + 1, away, bands);
        EXPECT_GE(away, kMinPsnrAway) << "frame " << k + 1;
        EXPECT_GE(bands, kMinPsnrBands) << "frame " << k + 1;
        // The neighbouring frame's panorama fits clearly worse: frames are in order.
        Rgb other = expected(480, 240, (k == 0 ? 1 : k - 1) * kSmallYawStep);
        EXPECT_GT(away - psnr(frames[k], other, Region::Away), 3.0) << "frame " << k + 1;
    }
}

TEST(StitcherVideo, FrameRangeTrimsVideoAndAudio) {
    REQUIRE_DISPLAY();
    std::string clip = synthClip("stitch_small.mp4", kSmallArgs);
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_range");
    std::string out = dir + "/range.mp4";
    RunResult r = stitch("--size 160 --start 4 --frames 3 --preset ultrafast " + quote(clip) + " " + quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    std::string p = probe(out);
    std::string video = streamBlock(p, "video"), audio = streamBlock(p, "audio");
    EXPECT_EQ(field(video, "nb_frames"), "3");
    EXPECT_NEAR(std::atof(field(video, "duration").c_str()), 3 / 25.0, 1e-6);
    EXPECT_NEAR(std::atof(field(audio, "duration").c_str()), 3 / 25.0, 0.025);
    auto frames = decodeAll(out, 320, 160);
    ASSERT_EQ(frames.size(), 3u);
    for (int k = 0; k < 3; ++k)
        EXPECT_GE(psnr(frames[k], expected(320, 160, (3 + k) * kSmallYawStep), Region::Away), kMinPsnrAway)
            << "frame " << 4 + k;
}

TEST(StitcherVideo, StereoLayoutIsNotTaggedAs360) {
    REQUIRE_DISPLAY();
    std::string clip = synthClip("stitch_small.mp4", kSmallArgs);
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_stereo");
    std::string out = dir + "/stereo.mp4";
    RunResult r = stitch("--layout stereo --size 128 --frames 2 --no-audio --preset ultrafast " + quote(clip) + " " +
                   quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    std::string p = probe(out);
    std::string video = streamBlock(p, "video");
    EXPECT_EQ(field(video, "width"), "256");
    EXPECT_EQ(field(video, "height"), "256");
    EXPECT_EQ(p.find("Spherical"), std::string::npos);
    EXPECT_TRUE(streamBlock(p, "audio").empty()) << "--no-audio";
}

// A clip from another source: NTSC frame rate, mono 44.1 kHz audio. The rate
// stays an exact fraction and the audio keeps its form.
TEST(StitcherVideo, NtscRateAndMonoAudio) {
    REQUIRE_DISPLAY();
    std::string clip = testutil::makeClip(
        "stitch_ntsc_mono.mp4",
        "-f lavfi -i testsrc=size=640x320:rate=30000/1001:duration=1 "
        "-f lavfi -i sine=frequency=300:sample_rate=44100:duration=1 "
        "-ac 1 -c:v libx264 -g 10 -bf 0 -pix_fmt yuv420p -c:a aac -shortest");
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_ntsc");
    std::string out = dir + "/ntsc.mp4";
    RunResult r = stitch("--size 64 --preset ultrafast " + quote(clip) + " " + quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    std::string p = probe(out);
    std::string video = streamBlock(p, "video"), audio = streamBlock(p, "audio");
    EXPECT_EQ(field(video, "r_frame_rate"), "30000/1001");
    EXPECT_EQ(field(video, "nb_frames"), "30");
    EXPECT_NEAR(std::atof(field(video, "duration").c_str()), 30 * 1001 / 30000.0, 1e-6);
    EXPECT_EQ(field(audio, "channels"), "1");
    EXPECT_EQ(field(audio, "sample_rate"), "44100");
    EXPECT_NEAR(std::atof(field(audio, "duration").c_str()), 30 * 1001 / 30000.0, 0.025);
}

// The sample itself: one picture and a short sequence, at the default size
// for one and a chosen size for the other.
TEST(StitcherPictures, SampleFrameAndSequenceMatchPhotograph) {
    REQUIRE_DISPLAY();
    std::string dir = testutil::makeTempDir("stitch_pics");
    RunResult one = stitch("--frame 61 " + quote(kSample) + " " + quote(dir + "/still.png"));
    ASSERT_EQ(one.code, 0) << one.err;
    // Default size from the calibration: radius 713.65 of 2880 scaled to the
    // 1920-pixel frames, centre slope of the lens polynomial, 16-pixel steps.
    auto still = decodeAll(dir + "/still.png", 2080, 1040);
    ASSERT_EQ(still.size(), 1u);
    Rgb want = expected(2080, 1040, 60 * 0.25);
    double away = psnr(still[0], want, Region::Away), bands = psnr(still[0], want, Region::Bands);
    std::printf("sample frame 61: %.1f dB away from the bands, %.1f dB in them\n", away, bands);
    EXPECT_GE(away, kMinPsnrAway);
    EXPECT_GE(bands, kMinPsnrBands);

    RunResult seq = stitch("--size 256 --start 2 --frames 3 " + quote(kSample) + " " + quote(dir + "/seq_%03d.png"));
    ASSERT_EQ(seq.code, 0) << seq.err;
    for (int f = 2; f <= 4; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "/seq_%03d.png", f);
        auto pic = decodeAll(dir + name, 512, 256);
        ASSERT_EQ(pic.size(), 1u) << name;
        EXPECT_GE(psnr(pic[0], expected(512, 256, (f - 1) * 0.25), Region::Away), kMinPsnrAway) << name;
    }
    EXPECT_EQ(listDir(dir).size(), 4u) << "still + 3 pictures, no leftovers";
}

// The view rotation reaches the renderer as yaw/pitch/roll in degrees, in
// the documented sense (positive yaw turns the view right).
TEST(StitcherPictures, ViewRotation) {
    REQUIRE_DISPLAY();
    std::string clip = synthClip("stitch_small.mp4", kSmallArgs);
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_rot");
    struct Case {
        double yaw, pitch, roll;
    } cases[] = {{90, 0, 0}, {30, 20, 10}};
    for (const Case& c : cases) {
        char args[128];
        std::snprintf(args, sizeof args, "--size 240 --frame 1 --yaw %g --pitch %g --roll %g -y ", c.yaw, c.pitch, c.roll);
        RunResult r = stitch(args + quote(clip) + " " + quote(dir + "/rot.png"));
        ASSERT_EQ(r.code, 0) << r.err;
        auto pic = decodeAll(dir + "/rot.png", 480, 240);
        ASSERT_EQ(pic.size(), 1u);
        // Bands move with the view: compare everywhere but the poles.
        double right = std::min(psnr(pic[0], expected(480, 240, 0, c.yaw, c.pitch, c.roll), Region::Away),
                                psnr(pic[0], expected(480, 240, 0, c.yaw, c.pitch, c.roll), Region::Bands));
        double inverse = psnr(pic[0], expected(480, 240, 0, -c.yaw, -c.pitch, -c.roll), Region::Away);
        std::printf("yaw %g pitch %g roll %g: %.1f dB, inverse rotation %.1f dB\n", c.yaw, c.pitch, c.roll, right, inverse);
        EXPECT_GE(right, kMinPsnrBands) << "yaw " << c.yaw << " pitch " << c.pitch << " roll " << c.roll;
        EXPECT_GT(right - inverse, 5.0) << "rotation applied the wrong way round";
    }
}

// --offset replaces the clip's calibration: the clip's own calibration given
// as an override stitches as well as without it; the two lens centres swapped
// put each lens image where the other belongs.
TEST(StitcherPictures, OffsetOverrideIsUsed) {
    REQUIRE_DISPLAY();
    std::string clip = synthClip("stitch_small.mp4", kSmallArgs);
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_offset");
    const std::string own =
        "2_713.65_713.93_708.05_-2.65_-1.60_-0.36_712.40_2165.50_727.58_177.35_-180.54_0.18_2880_1440_516";
    const std::string swapped =
        "2_712.40_2165.50_727.58_-2.65_-1.60_-0.36_713.65_713.93_708.05_177.35_-180.54_0.18_2880_1440_516";
    Rgb want = expected(240, 120, 0);
    double score[2];
    for (int i = 0; i < 2; ++i) {
        RunResult r = stitch("-y --size 120 --frame 1 --offset " + (i ? swapped : own) + " " + quote(clip) + " " +
                             quote(dir + "/o.png"));
        ASSERT_EQ(r.code, 0) << r.err;
        auto pic = decodeAll(dir + "/o.png", 240, 120);
        ASSERT_EQ(pic.size(), 1u);
        score[i] = psnr(pic[0], want, Region::Away);
    }
    EXPECT_GE(score[0], kMinPsnrAway);
    EXPECT_LT(score[1], score[0] - 8.0) << "the override was not used";
}

// ---- --info ----

TEST(StitcherInfo, PrintsMediaRecordCalibrationAndComment) {
    RunResult r = stitch("--info " + quote(kSample));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("video: H.264 1920x960, 90 frames at 30 fps"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("audio: AAC 48000 Hz, 2 channels"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("calibration: 2_713.65_713.93_708.05_-2.65_-1.60_-0.36_712.40_2165.50_727.58_177.35_-180.54_"
                         "0.18_2880_1440_516\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("comment: Sample dual-fisheye clip"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;

    // Without a calibration record the reader falls back to its default.
    std::string bare = synthClip("stitch_norecord.mp4", "--size 320x160 --frames 4 --gop 2 --no-record --no-audio");
    ASSERT_FALSE(bare.empty());
    RunResult b = stitch("--info " + quote(bare));
    ASSERT_EQ(b.code, 0) << b.err;
    EXPECT_NE(b.out.find("(the built-in default"), std::string::npos) << b.out;
    EXPECT_NE(b.out.find("audio: none"), std::string::npos) << b.out;
}

// ---- errors: message, exit code, nothing written ----

TEST(StitcherErrors, EachGivesItsMessageAndCodeAndWritesNothing) {
    std::string clip = synthClip("stitch_small.mp4", kSmallArgs);
    ASSERT_FALSE(clip.empty());
    std::string audioOnly = testutil::makeClip(
        "stitch_audio_only.mp4", "-f lavfi -i sine=frequency=440:duration=1 -c:a aac");
    ASSERT_FALSE(audioOnly.empty());
    std::string scratch = testutil::makeTempDir("stitch_err_in");
    std::string notClip = scratch + "/notes.mp4";
    ASSERT_TRUE(testutil::writeFile(notClip, "these are notes, not a clip\n"));
    const std::string threeLenses = "3_1_2_3_4_5_6_1_2_3_4_5_6_1_2_3_4_5_6_2880_1440";

    struct Case {
        const char* name;
        std::string args;  // {out} stands for the output path
        int code;
        const char* message;
        std::string env = "";
    };
    const Case cases[] = {
        {"missing clip", "/nonexistent/clip.mp4 {out}", 3, "cannot open /nonexistent/clip.mp4"},
        {"not a clip", quote(notClip) + " {out}", 3, "cannot read"},
        {"clip without video", quote(audioOnly) + " {out}", 3, "has no video track"},
        {"offset not valid", "--offset 2_713.6_x_1 " + quote(clip) + " {out}", 4, "invalid --offset"},
        {"offset with three lenses", "--offset " + threeLenses + " " + quote(clip) + " {out}", 4,
         "the renderer needs 2 lenses"},
        {"unwritable output", quote(clip) + " /nonexistent/folder/out.mp4", 5, "cannot write /nonexistent/folder/out.mp4"},
        {"output under a file", quote(clip) + " " + quote(notClip) + "/out.mp4", 5, "is not a folder"},
        {"no display", quote(clip) + " {out}", 6, "xvfb-run -a", "env -u DISPLAY -u WAYLAND_DISPLAY "},
        {"frame past the end", "--frame 9 " + quote(clip) + " {dir}/one.png", 2, "has 8 frames"},
        {"unknown output kind", quote(clip) + " {dir}/out.avi", 2, "cannot tell the output kind"},
        {"bad option value", "--size 15 " + quote(clip) + " {out}", 2, "--size"},
        {"unknown option", "--speed 2 " + quote(clip) + " {out}", 2, "unknown option --speed"},
        {"--frame with video", "--frame 2 " + quote(clip) + " {out}", 2, "--frame writes one picture"},
    };
    for (const Case& c : cases) {
        std::string dir = testutil::makeTempDir("stitch_err");
        std::string args = c.args;
        for (std::string key : {"{out}", "{dir}"}) {
            std::string value = key == "{out}" ? quote(dir + "/out.mp4") : dir;
            for (size_t at; (at = args.find(key)) != std::string::npos;) args.replace(at, key.size(), value);
        }
        RunResult r = stitch(args, c.env);
        EXPECT_EQ(r.code, c.code) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find("stitcher: error: "), std::string::npos) << c.name;
        EXPECT_TRUE(listDir(dir).empty()) << c.name << ": left " << listDir(dir).size() << " files";
    }
}

TEST(StitcherErrors, ExistingOutputIsKeptWithoutOverwriteFlag) {
    REQUIRE_DISPLAY();
    std::string clip = synthClip("stitch_small.mp4", kSmallArgs);
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_exists");
    for (const std::string name : {"/out.mp4", "/seq_0003.png"}) {
        ASSERT_TRUE(testutil::writeFile(dir + name, "keep me"));
        std::string target = name == "/out.mp4" ? dir + name : dir + "/seq_%04d.png";
        RunResult r = stitch("--size 64 --preset ultrafast " + quote(clip) + " " + quote(target));
        EXPECT_EQ(r.code, 5) << r.err;
        EXPECT_NE(r.err.find(dir + name + " exists; use -y"), std::string::npos) << r.err;
        EXPECT_EQ(testutil::readFile(dir + name), "keep me");
    }
    EXPECT_EQ(listDir(dir).size(), 2u);
    // Not even -y writes over the clip being read.
    std::string copy = dir + "/clip.mp4";
    ASSERT_TRUE(testutil::writeFile(copy, testutil::readFile(clip)));
    RunResult self = stitch("-y " + quote(copy) + " " + quote(copy));
    EXPECT_EQ(self.code, 5) << self.err;
    EXPECT_NE(self.err.find("is the clip itself"), std::string::npos) << self.err;
    EXPECT_EQ(testutil::readFile(copy), testutil::readFile(clip));
    ::unlink(copy.c_str());
    RunResult y = stitch("-y --size 64 --frames 2 --preset ultrafast " + quote(clip) + " " + quote(dir + "/out.mp4"));
    ASSERT_EQ(y.code, 0) << y.err;
    EXPECT_NE(testutil::readFile(dir + "/out.mp4"), "keep me");
}

// A clip whose last video samples are damaged: the frames before them are
// stitched and encoded, then decoding fails; the partial video is removed.
TEST(StitcherErrors, DecodeFailureHalfWayLeavesNothing) {
    REQUIRE_DISPLAY();
    std::string clip = synthClip("stitch_small.mp4", kSmallArgs);
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_damaged");
    std::string bytes = testutil::readFile(clip);
    std::string table = testutil::captureCommand("ffprobe -v error -select_streams v -show_entries packet=pos,size -of csv=p=0 " +
                                                 quote(clip));
    std::vector<std::pair<size_t, size_t>> packets;  // file offset, size
    for (size_t at = 0; at < table.size();) {
        size_t nl = table.find('\n', at);
        std::string line = table.substr(at, nl - at);
        size_t comma = line.find(',');
        if (comma != std::string::npos)
            packets.push_back({std::stoul(line.substr(comma + 1)), std::stoul(line.substr(0, comma))});
        at = nl == std::string::npos ? table.size() : nl + 1;
    }
    ASSERT_EQ(packets.size(), 8u) << table;
    for (size_t k = 5; k < 8; ++k) bytes.replace(packets[k].first, packets[k].second, packets[k].second, '\xff');
    std::string damaged = dir + "/damaged.mp4";
    ASSERT_TRUE(testutil::writeFile(damaged, bytes));

    RunResult r = stitch("--size 64 --preset ultrafast " + quote(damaged) + " " + quote(dir + "/out.mp4"));
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("cannot decode frame 6 of"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;
    EXPECT_EQ(listDir(dir), std::vector<std::string>{"damaged.mp4"});
}

// An interrupted run removes its partial file.
TEST(StitcherErrors, InterruptLeavesNothing) {
    REQUIRE_DISPLAY();
    std::string dir = testutil::makeTempDir("stitch_int");
    RunResult r = stitch("--preset veryslow " + quote(kSample) + " " + quote(dir + "/out.mp4"), "timeout --preserve-status -s INT 3 ");
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted; nothing was written"), std::string::npos) << r.err;
    EXPECT_TRUE(listDir(dir).empty());
}

}  // namespace
