// End-to-end tests of the stitcher binary, run once per engine: clips
// synthesised from the sample photograph (make_sample) are stitched, and the
// output pictures are compared with the photograph itself, which is what a
// correct stitch gives back (scaled to the panorama size and shifted by the
// camera's turn), see samples/README.md; the output's sound is compared with
// the clip's; and the user's files are watched through failures.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <array>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Engine.h"
#include "SoundMatch.h"
#include "test_clips.h"

extern char** environ;

namespace {

using testutil::driverPin;
using testutil::quote;

const std::string kStitcher = std::string(DFS_BINARY_DIR) + "/stitcher/stitcher";
const std::string kMakeSample = std::string(DFS_BINARY_DIR) + "/samples/make_sample";
const std::string kSample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";
const std::string kPhoto = std::string(DFS_SOURCE_DIR) + "/samples/city_world.png";

struct RunResult {
    int code = -1;
    std::string err;  // standard error
    std::string out;  // standard output
};

RunResult stitch(const std::string& args, const std::string& envPrefix = "") {
    std::string dir = testutil::makeTempDir("stitch_run");
    RunResult r;
    r.out = testutil::captureCommand("env " + driverPin() + envPrefix + quote(kStitcher) + " " + args + " 2>" + dir + "/err",
                                     &r.code);
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
// Rx(roll) that maps output directions to panorama directions. With a
// flatFov (degrees), the flat view of that field instead: the pinhole
// looking along (-1, 0, 0), its right (0, -1, 0) and its up +z.
// Each panorama is made once per test program: tests compare frames with
// the same panoramas (a frame with its own and its neighbour's).
Rgb expected(int width, int height, double cameraYaw, double yaw = 0, double pitch = 0, double roll = 0,
             double flatFov = 0) {
    static std::map<std::tuple<int, int, double, double, double, double, double>, Rgb> made;
    const auto key = std::make_tuple(width, height, cameraYaw, yaw, pitch, roll, flatFov);
    const auto found = made.find(key);
    if (found != made.end()) return found->second;
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
    // Output direction: azimuth grows with the column, polar angle with the
    // row; their sines and cosines once per subsample column and row.
    std::vector<double> sinTh(static_cast<size_t>(width) * ss), cosTh(sinTh.size());
    std::vector<double> sinPh(static_cast<size_t>(height) * ss), cosPh(sinPh.size());
    for (int col = 0; col < width; ++col)
        for (int sx = 0; sx < ss; ++sx) {
            const double th = 2 * M_PI * (col + (sx + 0.5) / ss) / width;
            sinTh[static_cast<size_t>(col) * ss + sx] = std::sin(th);
            cosTh[static_cast<size_t>(col) * ss + sx] = std::cos(th);
        }
    for (int row = 0; row < height; ++row)
        for (int sy = 0; sy < ss; ++sy) {
            const double ph = M_PI * (row + (sy + 0.5) / ss) / height;
            sinPh[static_cast<size_t>(row) * ss + sy] = std::sin(ph);
            cosPh[static_cast<size_t>(row) * ss + sy] = std::cos(ph);
        }
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            double acc[3] = {0, 0, 0};
            for (int sy = 0; sy < ss; ++sy)
                for (int sx = 0; sx < ss; ++sx) {
                    const size_t i = static_cast<size_t>(col) * ss + sx, j = static_cast<size_t>(row) * ss + sy;
                    double v[3] = {sinPh[j] * cosTh[i], sinPh[j] * sinTh[i], cosPh[j]};
                    if (flatFov > 0) {
                        const double f = width / 2.0 / std::tan(flatFov * d / 2);
                        const double a = (col + (sx + 0.5) / ss - width / 2.0) / f, b = (row + (sy + 0.5) / ss - height / 2.0) / f;
                        const double n = std::sqrt(1 + a * a + b * b);
                        v[0] = -1 / n, v[1] = -a / n, v[2] = -b / n;
                    }
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
    made[key] = e;
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

// ---- helpers for runs, files and sound ----

// The end-to-end tests run once per engine. The CPU engine runs with no
// display at all, as on a server.
class E2E : public ::testing::TestWithParam<std::string> {
protected:
    std::string env() const { return GetParam() == "cpu" ? "env -u DISPLAY -u WAYLAND_DISPLAY " : ""; }
    RunResult run(const std::string& args, const std::string& envPrefix = "") const {
        return stitch("--engine " + GetParam() + " " + args, envPrefix + env());
    }
};

std::string engineName(const ::testing::TestParamInfo<std::string>& info) { return info.param; }

#define ENGINE_SUITE(suite) \
    INSTANTIATE_TEST_SUITE_P(Engines, suite, ::testing::Values("gl", "cpu"), engineName)

// A stitcher run in the background, for tests that act while it works.
class Background {
public:
    Background(const std::string& args, const std::string& envPrefix) : err_(testutil::makeTempDir("stitch_bg") + "/err") {
        std::string cmd = "exec env " + driverPin() + envPrefix + quote(kStitcher) + " " + args + " 2>" + err_;
        const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
        if (::posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    }
    ~Background() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    pid_t pid() const { return pid_; }
    bool running() {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) == 0) return pid_ > 0;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return false;
    }
    // Exit code and standard error of the finished run.
    RunResult wait() {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        RunResult r;
        r.code = code_;
        r.err = testutil::readFile(err_);
        return r;
    }

private:
    pid_t pid_ = -1;
    int code_ = -1;
    std::string err_;
};

// Polls `done` until it holds, for at most two minutes (a stuck run fails
// the test rather than hanging it).
bool waitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 6000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool isPart(const std::string& name) { return name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0; }

size_t countParts(const std::string& dir) {
    auto names = listDir(dir);
    return static_cast<size_t>(std::count_if(names.begin(), names.end(), isPart));
}

// Interleaved 16-bit sound of each file in `channels`, decoded by one ffmpeg.
std::vector<std::vector<int16_t>> decodeSounds(const std::vector<std::pair<std::string, int>>& files) {
    const std::string dir = testutil::makeTempDir("stitch_decoded");
    std::string inputs, outputs;
    for (size_t k = 0; k < files.size(); ++k) {
        inputs += " -i " + quote(files[k].first);
        outputs += " -map " + std::to_string(k) + ":a -f s16le -ac " + std::to_string(files[k].second) + " " +
                   quote(dir + "/" + std::to_string(k) + ".raw");
    }
    EXPECT_EQ(testutil::runCommand("ffmpeg -v error -nostdin -y" + inputs + outputs), 0) << inputs;
    std::vector<std::vector<int16_t>> sounds;
    for (size_t k = 0; k < files.size(); ++k)
        sounds.push_back(testutil::s16le(testutil::readFile(dir + "/" + std::to_string(k) + ".raw")));
    return sounds;
}

// Compares the output's sound with the clip's from sample `offset` on: the
// lag by cross-correlating the channels' sum over a quarter of a second in
// the middle (within +-50 ms), then the SNR over all but the edges.
testutil::SoundMatch compareSound(const std::vector<int16_t>& clip, const std::vector<int16_t>& out, int channels,
                                  int rate, long offset) {
    const long n = static_cast<long>(out.size()) / channels;
    testutil::SoundWindows w;
    w.offset = offset;
    w.maxLag = rate / 20;
    w.lagFrom = n / 2 - rate / 8;
    w.lagTo = n / 2 + rate / 8;
    w.snrFrom = 2048;
    w.snrTo = n - 2048;
    return testutil::compareSound(clip, out, channels, w);
}

// Power of one frequency in one channel (Goertzel).
double tonePower(const std::vector<int16_t>& pcm, int channels, int channel, int rate, double hz) {
    const double w = 2 * M_PI * hz / rate, k = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (size_t i = channel; i < pcm.size(); i += channels) {
        double s = pcm[i] + k * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - k * s1 * s2;
}

// The video's packets as (file offset, size), in decoding order.
std::vector<std::pair<size_t, size_t>> videoPackets(const std::string& clip) {
    std::string table = testutil::captureCommand(
        "ffprobe -v error -select_streams v -show_entries packet=pos,size -of csv=p=0 " + quote(clip));
    std::vector<std::pair<size_t, size_t>> packets;
    for (size_t at = 0; at < table.size();) {
        size_t nl = table.find('\n', at);
        std::string line = table.substr(at, nl - at);
        size_t comma = line.find(',');
        if (comma != std::string::npos)
            packets.push_back({std::stoul(line.substr(comma + 1)), std::stoul(line.substr(0, comma))});
        at = nl == std::string::npos ? table.size() : nl + 1;
    }
    return packets;
}

// A copy of `clip` in `dir` with the data of the given video samples (from 1) overwritten.
std::string damagedCopy(const std::string& clip, const std::string& dir, const std::vector<int>& samples) {
    std::string bytes = testutil::readFile(clip);
    auto packets = videoPackets(clip);
    for (int k : samples) {
        EXPECT_LE(static_cast<size_t>(k), packets.size());
        if (static_cast<size_t>(k) <= packets.size())
            bytes.replace(packets[k - 1].first, packets[k - 1].second, packets[k - 1].second, '\xff');
    }
    std::string path = dir + "/damaged.mp4";
    EXPECT_TRUE(testutil::writeFile(path, bytes));
    return path;
}

std::string smallClip() { return synthClip("stitch_small.mp4", kSmallArgs); }

// ---- video ----

class StitcherVideo : public E2E {};
ENGINE_SUITE(StitcherVideo);

TEST_P(StitcherVideo, SmallClipMatchesPhotographFramesAudioAndMetadata) {
    std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_video");
    std::string out = dir + "/pano.mp4";
    RunResult r = run("--size 240 --crf 12 --preset veryfast " + quote(clip) + " " + quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("8 frames 480x240 360"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("with the " + GetParam() + " engine"), std::string::npos) << r.err;
    // Nothing but the summary: no decoder chatter, no warning.
    EXPECT_EQ(r.err.find('['), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
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

TEST_P(StitcherVideo, FrameRangeTrimsVideoAndAudio) {
    std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_range");
    std::string out = dir + "/range.mp4";
    RunResult r = run("--size 160 --start 4 --frames 3 --preset ultrafast " + quote(clip) + " " + quote(out));
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

TEST_P(StitcherVideo, StereoLayoutIsNotTaggedAs360) {
    std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_stereo");
    std::string out = dir + "/stereo.mp4";
    RunResult r = run("--layout stereo --size 128 --frames 2 --no-audio --preset ultrafast " + quote(clip) + " " +
                      quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    std::string p = probe(out);
    std::string video = streamBlock(p, "video");
    EXPECT_EQ(field(video, "width"), "256");
    EXPECT_EQ(field(video, "height"), "256");
    EXPECT_EQ(p.find("Spherical"), std::string::npos);
    EXPECT_TRUE(streamBlock(p, "audio").empty()) << "--no-audio";
}

// A clip from another source: NTSC frame rate, mono 44.1 kHz audio, no
// calibration. The rate stays an exact fraction, the audio keeps its form,
// and the user is told that the built-in calibration stands in.
TEST_P(StitcherVideo, NtscRateMonoAudioAndBuiltInCalibration) {
    std::string clip = testutil::makeClip(
        "stitch_ntsc_mono.mp4",
        "-f lavfi -i testsrc=size=640x320:rate=30000/1001:duration=1 "
        "-f lavfi -i sine=frequency=300:sample_rate=44100:duration=1 "
        "-ac 1 -c:v libx264 -g 10 -bf 0 -pix_fmt yuv420p -c:a aac -shortest");
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_ntsc");
    std::string out = dir + "/ntsc.mp4";
    RunResult r = run("--size 64 --preset ultrafast " + quote(clip) + " " + quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("names no lens calibration: the built-in default is used"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--offset"), std::string::npos) << r.err;
    std::string p = probe(out);
    std::string video = streamBlock(p, "video"), audio = streamBlock(p, "audio");
    EXPECT_EQ(field(video, "r_frame_rate"), "30000/1001");
    EXPECT_EQ(field(video, "nb_frames"), "30");
    EXPECT_NEAR(std::atof(field(video, "duration").c_str()), 30 * 1001 / 30000.0, 1e-6);
    EXPECT_EQ(field(audio, "channels"), "1");
    EXPECT_EQ(field(audio, "sample_rate"), "44100");
    EXPECT_NEAR(std::atof(field(audio, "duration").c_str()), 30 * 1001 / 30000.0, 0.025);
}

// ---- sound ----

class StitcherAudio : public E2E {};
ENGINE_SUITE(StitcherAudio);

// The output's sound is the clip's: in time (within 1 ms) and faithful
// (25 dB SNR; AAC at these rates keeps about 30), from the first frame and
// from a later one.
TEST_P(StitcherAudio, SoundMatchesTheClip) {
    const std::string video = "-f lavfi -i testsrc=size=320x160:rate=25:duration=4 ";
    const std::string chirp = testutil::makeClip(
        "stitch_chirp.mp4", video +
                                "-f lavfi -i 'aevalsrc=0.5*sin(2*PI*(100*t+990*t*t))|0.5*sin(2*PI*(300*t+590*t*t))"
                                ":s=48000:d=4' -c:v libx264 -g 25 -pix_fmt yuv420p -c:a aac -b:a 192k");
    // Voiced speech: harmonics of a gliding pitch (90-170 Hz), in syllables.
    const std::string speech = testutil::makeClip(
        "stitch_speech.mp4",
        video + "-f lavfi -i 'aevalsrc=0.3*(0.55-0.45*cos(2*PI*3.7*t))*(sin(2*PI*(130*t-2.6*cos(2*PI*2.3*t)))"
                "+0.7*sin(4*PI*(130*t-2.6*cos(2*PI*2.3*t)))+0.5*sin(6*PI*(130*t-2.6*cos(2*PI*2.3*t)))"
                "+0.3*sin(10*PI*(130*t-2.6*cos(2*PI*2.3*t))))"
                ":s=44100:d=4' -c:v libx264 -g 25 -pix_fmt yuv420p -c:a aac -b:a 128k");
    ASSERT_FALSE(chirp.empty());
    ASSERT_FALSE(speech.empty());
    struct Case {
        const char* name;
        std::string clip;
        int channels, rate;
        long long start;
    } cases[] = {{"chirp", chirp, 2, 48000, 1}, {"chirp from frame 26", chirp, 2, 48000, 26},
                 {"speech from frame 38", speech, 1, 44100, 38}};
    std::string dir = testutil::makeTempDir("stitch_sound");
    // Each case stitched, then the clips' and the outputs' sound decoded by one ffmpeg.
    std::vector<std::pair<std::string, int>> files = {{chirp, 2}, {speech, 1}};
    for (size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        const std::string out = dir + "/sound" + std::to_string(k) + ".mp4";
        RunResult r = run("-y --size 32 --preset ultrafast --start " + std::to_string(c.start) + " " + quote(c.clip) + " " +
                          quote(out));
        ASSERT_EQ(r.code, 0) << c.name << ": " << r.err;
        files.push_back({out, c.channels});
    }
    const std::vector<std::vector<int16_t>> sounds = decodeSounds(files);
    for (size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        const std::vector<int16_t>& in = sounds[c.clip == chirp ? 0 : 1];
        const std::vector<int16_t>& got = sounds[k + 2];
        const long offset = static_cast<long>((c.start - 1) * c.rate / 25);
        EXPECT_NEAR(static_cast<double>(got.size()) / c.channels, (100 - c.start + 1) * c.rate / 25.0, c.rate * 0.025)
            << c.name;
        const testutil::SoundMatch m = compareSound(in, got, c.channels, c.rate, offset);
        std::printf("%s: lag %ld samples, %.1f dB\n", c.name, m.lag, m.snr);
        EXPECT_LE(std::labs(m.lag), c.rate / 1000) << c.name;
        EXPECT_GE(m.snr, 25.0) << c.name;
    }
}

// 5.1 sound keeps each channel in its place: a tone per channel.
TEST_P(StitcherAudio, SurroundChannelsKeepTheirPlaces) {
    const double tones[6] = {500, 700, 900, 60, 1100, 1300};  // one per input of the join
    std::string inputs, labels;
    for (int c = 0; c < 6; ++c) {
        inputs += "-f lavfi -i sine=frequency=" + std::to_string(static_cast<int>(tones[c])) + ":sample_rate=48000:duration=2 ";
        labels += "[" + std::to_string(c + 1) + ":a]";
    }
    std::string clip = testutil::makeClip(
        "stitch_surround.mp4", "-f lavfi -i testsrc=size=320x160:rate=25:duration=2 " + inputs + "-filter_complex '" +
                                   labels + "join=inputs=6:channel_layout=5.1[a]' -map 0:v -map '[a]' -c:v libx264 "
                                   "-g 25 -pix_fmt yuv420p -c:a aac -b:a 384k");
    ASSERT_FALSE(clip.empty());
    std::string out = testutil::makeTempDir("stitch_surround") + "/out.mp4";
    RunResult r = run("--size 32 --preset ultrafast " + quote(clip) + " " + quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(field(streamBlock(probe(out), "audio"), "channel_layout"), "5.1");
    // Each channel of the output carries the tone that the same channel of
    // the clip carries, as ffmpeg decodes both.
    auto loudestTone = [&](const std::vector<int16_t>& pcm, int c) {
        int loudest = 0;
        for (int t = 1; t < 6; ++t)
            if (tonePower(pcm, 6, c, 48000, tones[t]) > tonePower(pcm, 6, c, 48000, tones[loudest])) loudest = t;
        return loudest;
    };
    const std::vector<std::vector<int16_t>> sounds = decodeSounds({{clip, 6}, {out, 6}});
    const std::vector<int16_t>& in = sounds[0];
    const std::vector<int16_t>& pcm = sounds[1];
    std::set<int> distinct;
    for (int c = 0; c < 6; ++c) {
        distinct.insert(loudestTone(in, c));
        EXPECT_EQ(loudestTone(pcm, c), loudestTone(in, c)) << "channel " << c;
    }
    EXPECT_EQ(distinct.size(), 6u) << "the clip's channels should carry six different tones";
}

// ---- seams ----

class StitcherSeams : public E2E {};
ENGINE_SUITE(StitcherSeams);

// Brightness of lens 1's side over lens 0's side, per channel (R, G, B),
// each side measured against the true panorama away from the bands.
std::array<double, 3> lensBalance(const Rgb& pic, const Rgb& truth) {
    const int h = pic.height;
    const double b = 30.0 / 180.0 * h;
    double out[2][3] = {}, want[2][3] = {};
    for (int y = h / 10; y < h - h / 10; ++y)
        for (int x = 0; x < pic.width; ++x) {
            if (!inRegion(Region::Away, x, y, pic.width, h)) continue;
            const int lens = x > h / 2 + b && x < 1.5 * h ? 1 : 0;
            for (int c = 0; c < 3; ++c) {
                out[lens][c] += pic.at(x, y)[c];
                want[lens][c] += truth.at(x, y)[c];
            }
        }
    std::array<double, 3> balance;
    for (int c = 0; c < 3; ++c) balance[c] = (out[1][c] / want[1][c]) / (out[0][c] / want[0][c]);
    return balance;
}

// Lens 1 recorded darker and bluer (B 0.9, G 0.8, R 0.75): matched, both
// sides agree within 1.5%; unmatched, the difference is there.
TEST_P(StitcherSeams, LensesMeteredApartAreMatched) {
    std::string clip = synthClip("stitch_tinted.mp4", "--size 960x480 --frames 3 --gop 3 --crf 12 --preset veryfast "
                                                      "--yaw-step 5 --no-audio --tint 0.9,0.8,0.75");
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_tint");
    const Rgb truth = expected(480, 240, 5);
    const double tint[3] = {0.75, 0.8, 0.9};  // R, G, B
    for (const char* match : {"off", "on"}) {
        RunResult r = run(std::string("-v -y --size 240 --frame 2 --color-match ") + match + " " + quote(clip) + " " +
                          quote(dir + "/seam.png"));
        ASSERT_EQ(r.code, 0) << r.err;
        auto pic = decodeAll(dir + "/seam.png", 480, 240);
        ASSERT_EQ(pic.size(), 1u);
        const std::array<double, 3> balance = lensBalance(pic[0], truth);
        for (int c = 0; c < 3; ++c) {
            if (std::string(match) == "on")
                EXPECT_NEAR(balance[c], 1.0, 0.015) << "channel " << c;
            else
                EXPECT_NEAR(balance[c], tint[c], 0.03) << "channel " << c;
        }
        if (std::string(match) == "on") {
            EXPECT_NE(r.err.find("color gains"), std::string::npos) << r.err;
        }
    }
}

// A clip that carries a calibration off from the lenses' own: --calibrate
// prints one that --offset takes and that stitches as well as the true one;
// --refine-calibration does the same within the run.
TEST(StitcherCalibration, RefinedFromTheClipsPictures) {
    const std::string lens0 = "2_713.65_713.93_708.05_-2.65_-1.60_-0.36";
    const std::string truth = lens0 + "_712.40_2165.50_727.58_177.35_-180.54_0.18_2880_1440_516";
    const std::string off = lens0 + "_719.52_2171.50_733.58_178.85_-179.34_-1.12_2880_1440_516";
    std::string clip = synthClip("stitch_miscalibrated.mp4", "--size 960x480 --frames 8 --gop 4 --crf 12 --preset veryfast "
                                                             "--yaw-step 5 --no-audio --record-offset " + off);
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_calib");
    RunResult c = stitch("--calibrate " + quote(clip));
    ASSERT_EQ(c.code, 0) << c.err;
    const size_t at = c.out.find("offset: ");
    ASSERT_NE(at, std::string::npos) << c.out;
    const std::string refined = c.out.substr(at + 8, c.out.find('\n', at) - at - 8);
    const Rgb want = expected(480, 240, 5);
    auto stitchFrame = [&](const std::string& args) {
        RunResult r = stitch("-y --engine cpu --size 240 --frame 2 " + args + " " + quote(clip) + " " + quote(dir + "/f.png"));
        EXPECT_EQ(r.code, 0) << r.err;
        auto pic = decodeAll(dir + "/f.png", 480, 240);
        return pic.empty() ? std::array<double, 2>{0, 0}
                           : std::array<double, 2>{psnr(pic[0], want, Region::Away), psnr(pic[0], want, Region::Bands)};
    };
    const auto withTruth = stitchFrame("--offset " + truth), carried = stitchFrame("");
    const auto printed = stitchFrame("--offset " + refined), inRun = stitchFrame("--refine-calibration");
    std::printf("bands: true %.1f dB, carried %.1f dB, --calibrate %.1f dB, --refine-calibration %.1f dB\n", withTruth[1],
                carried[1], printed[1], inRun[1]);
    EXPECT_LT(carried[1], withTruth[1] - 2.0) << "the carried calibration should show in the bands";
    for (int region = 0; region < 2; ++region) {
        EXPECT_GE(printed[region], withTruth[region] - 0.5) << "region " << region;
        EXPECT_GE(inRun[region], withTruth[region] - 0.5) << "region " << region;
    }
}

// Lenses darker toward their rims (42% and 32%, lens 1 also metered apart):
// a stitch measures and undoes the fall-off, -v and --calibrate print it,
// --falloff takes what --calibrate printed, and --color-match off leaves
// the dark bands.
TEST(StitcherFalloff, MeasuredPrintedAndReused) {
    std::string clip = synthClip("stitch_vignetted.mp4", "--size 960x480 --frames 8 --gop 4 --crf 12 --preset veryfast "
                                                         "--yaw-step 5 --no-audio --vignette -0.25,-0.17,-0.22,-0.10 "
                                                         "--tint 0.95,0.93,0.9");
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_falloff");
    RunResult c = stitch("--calibrate " + quote(clip));
    ASSERT_EQ(c.code, 0) << c.err;
    const size_t at = c.out.find("falloff: falloff_");
    ASSERT_NE(at, std::string::npos) << c.out;
    const std::string printed = c.out.substr(at + 9, c.out.find('\n', at) - at - 9);
    const Rgb want = expected(480, 240, 5);
    auto bands = [&](const std::string& args, const char* said) {
        RunResult r = stitch("-v -y --engine cpu --size 240 --frame 2 " + args + " " + quote(clip) + " " + quote(dir + "/f.png"));
        EXPECT_EQ(r.code, 0) << r.err;
        if (said) {
            EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
        }
        auto pic = decodeAll(dir + "/f.png", 480, 240);
        return pic.empty() ? 0.0 : psnr(pic[0], want, Region::Bands);
    };
    const double measured = bands("", "lens fall-off (value at the rim): lens 0 0.");
    const double reused = bands("--falloff " + printed, "from --falloff");
    const double off = bands("--color-match off", nullptr);
    std::printf("bands: measured %.1f dB, --falloff %.1f dB, matching off %.1f dB\n", measured, reused, off);
    EXPECT_GE(measured, off + 6.0);
    EXPECT_NEAR(reused, measured, 0.3);
}

// ---- pictures ----

class StitcherPictures : public E2E {};
ENGINE_SUITE(StitcherPictures);

// The sample itself: one picture and a short sequence, at the default size
// for one and a chosen size for the other. The sample's lenses are evenly
// lit: their fall-off (none) is given, as a run measures it, which makes the
// same pictures without the pass over the clip that measuring takes.
TEST_P(StitcherPictures, SampleFrameAndSequenceMatchPhotograph) {
    std::string dir = testutil::makeTempDir("stitch_pics");
    const std::string sample = "--falloff falloff_0.00000_0.00000_0.00000_0.00000 " + quote(kSample);
    RunResult one = run("--frame 61 " + sample + " " + quote(dir + "/still.png"));
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

    RunResult seq = run("--size 256 --start 2 --frames 3 " + sample + " " + quote(dir + "/seq_%03d.png"));
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

// The view rotation reaches the engine as yaw/pitch/roll in degrees, in
// the documented sense (positive yaw turns the view right).
TEST_P(StitcherPictures, ViewRotation) {
    std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_rot");
    struct Case {
        double yaw, pitch, roll;
    } cases[] = {{90, 0, 0}, {30, 20, 10}};
    for (const Case& c : cases) {
        char args[128];
        std::snprintf(args, sizeof args, "--size 240 --frame 1 --yaw %g --pitch %g --roll %g -y ", c.yaw, c.pitch, c.roll);
        RunResult r = run(args + quote(clip) + " " + quote(dir + "/rot.png"));
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
    if (GetParam() == "cpu") {
        // The CPU engine's worker count does not change a bit of the picture.
        RunResult one = run("-y --size 240 --frame 3 --yaw 30 --threads 1 " + quote(clip) + " " + quote(dir + "/t1.png"));
        RunResult many = run("-y --size 240 --frame 3 --yaw 30 --threads 5 " + quote(clip) + " " + quote(dir + "/t5.png"));
        ASSERT_EQ(one.code, 0) << one.err;
        ASSERT_EQ(many.code, 0) << many.err;
        EXPECT_EQ(testutil::readFile(dir + "/t1.png"), testutil::readFile(dir + "/t5.png"));
    }
}

// A flat view straight from the lenses, two frames of a video: each the
// photograph seen through the pinhole, the camera's turn between them.
TEST_P(StitcherPictures, FlatViewVideo) {
    std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    const std::string out = testutil::makeTempDir("stitch_flat") + "/flat.mp4";
    RunResult r = run("--projection flat --size 320x180 --fov 80 --yaw 30 --pitch -10 --frames 2 --crf 12 " + quote(clip) +
                      " " + quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("with the " + GetParam() + " engine"), std::string::npos) << r.err;
    auto frames = decodeAll(out, 320, 180);
    ASSERT_EQ(frames.size(), 2u);
    for (size_t k = 0; k < frames.size(); ++k) {
        const Rgb want = expected(320, 180, k * kSmallYawStep, 30, -10, 0, 80);
        double sum = 0;
        for (size_t i = 0; i < want.px.size(); ++i) sum += std::pow(frames[k].px[i] - want.px[i], 2.0);
        const double dB = 10 * std::log10(255.0 * 255.0 * static_cast<double>(want.px.size()) / sum);
        std::printf("flat frame %zu: %.1f dB against the photograph\n", k, dB);
        EXPECT_GE(dB, kMinPsnrAway) << "frame " << k;
    }
}

// --offset replaces the clip's calibration: the clip's own calibration given
// as an override stitches as well as without it; the two lens centres swapped
// put each lens image where the other belongs.
TEST_P(StitcherPictures, OffsetOverrideIsUsed) {
    std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_offset");
    const std::string own =
        "2_713.65_713.93_708.05_-2.65_-1.60_-0.36_712.40_2165.50_727.58_177.35_-180.54_0.18_2880_1440_516";
    const std::string swapped =
        "2_712.40_2165.50_727.58_-2.65_-1.60_-0.36_713.65_713.93_708.05_177.35_-180.54_0.18_2880_1440_516";
    Rgb want = expected(240, 120, 0);
    double score[2];
    for (int i = 0; i < 2; ++i) {
        RunResult r = run("-y --size 120 --frame 1 --offset " + (i ? swapped : own) + " " + quote(clip) + " " +
                          quote(dir + "/o.png"));
        ASSERT_EQ(r.code, 0) << r.err;
        auto pic = decodeAll(dir + "/o.png", 240, 120);
        ASSERT_EQ(pic.size(), 1u);
        score[i] = psnr(pic[0], want, Region::Away);
    }
    EXPECT_GE(score[0], kMinPsnrAway);
    EXPECT_LT(score[1], score[0] - 8.0) << "the override was not used";
}

// ---- damaged and cut-short clips ----

class StitcherDamage : public E2E {};
ENGINE_SUITE(StitcherDamage);

// A frame that cannot be decoded shows the last good picture before it (the
// first good one at the start), is named, and the rest of the clip is kept;
// only a clip of which nothing decodes fails, and then writes nothing.
TEST_P(StitcherDamage, DamagedFramesRepeatAGoodPicture) {
    std::string clip = smallClip();  // key frames 1 and 5
    ASSERT_FALSE(clip.empty());
    struct Case {
        const char* name;
        std::vector<int> damaged;  // samples overwritten
        std::vector<int> shows;    // the clip frame each output frame shows; empty: the run fails
        const char* summary;
    } cases[] = {
        {"end", {6, 7, 8}, {1, 2, 3, 4, 5, 5, 5, 5}, "frames 6-8 could not be decoded"},
        {"start", {1, 2, 3, 4}, {5, 5, 5, 5, 5, 6, 7, 8}, "frames 1-4 could not be decoded"},
        {"all", {1, 2, 3, 4, 5, 6, 7, 8}, {}, "no frame of"},
    };
    for (const Case& c : cases) {
        std::string dir = testutil::makeTempDir("stitch_damaged");
        std::string damaged = damagedCopy(clip, dir, c.damaged);
        RunResult r = run("--size 120 --preset ultrafast --crf 12 " + quote(damaged) + " " + quote(dir + "/out.mp4"));
        EXPECT_NE(r.err.find(c.summary), std::string::npos) << c.name << ": " << r.err;
        if (c.shows.empty()) {
            EXPECT_EQ(r.code, 1) << c.name << ": " << r.err;
            EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;
            EXPECT_EQ(listDir(dir), std::vector<std::string>{"damaged.mp4"});
            continue;
        }
        ASSERT_EQ(r.code, 0) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find("frame " + std::to_string(c.damaged[0]) + " cannot be decoded"), std::string::npos) << r.err;
        auto frames = decodeAll(dir + "/out.mp4", 240, 120);
        ASSERT_EQ(frames.size(), 8u) << c.name;
        for (int k = 0; k < 8; ++k) {
            // Closer to the frame it shows than to its neighbours.
            double right = psnr(frames[k], expected(240, 120, (c.shows[k] - 1) * kSmallYawStep), Region::Away);
            for (int other : {c.shows[k] - 1, c.shows[k] + 1})
                EXPECT_GT(right, psnr(frames[k], expected(240, 120, (other - 1) * kSmallYawStep), Region::Away) + 1)
                    << c.name << ": output frame " << k + 1 << " should show clip frame " << c.shows[k];
        }
    }
}

// A recording cut off (a dead battery) is stitched as far as it goes, and
// the user is told how many frames were lost.
TEST_P(StitcherDamage, CutShortClipKeepsTheFramesItHas) {
    std::string full = testutil::makeClip("stitch_faststart.mp4",
                                          "-f lavfi -i testsrc=size=320x160:rate=25:duration=4 -f lavfi -i "
                                          "sine=frequency=440:sample_rate=48000:duration=4 -c:v libx264 -g 25 "
                                          "-pix_fmt yuv420p -c:a aac -shortest -movflags +faststart");
    ASSERT_FALSE(full.empty());
    std::string dir = testutil::makeTempDir("stitch_cut");
    std::string bytes = testutil::readFile(full);
    std::string cut = dir + "/cut.mp4";
    ASSERT_TRUE(testutil::writeFile(cut, bytes.substr(0, bytes.size() / 2)));
    RunResult r = run("--size 32 --preset ultrafast " + quote(cut) + " " + quote(dir + "/out.mp4"));
    ASSERT_EQ(r.code, 0) << r.err;
    size_t at = r.err.find("is cut short: ");
    ASSERT_NE(at, std::string::npos) << r.err;
    long lost = std::atol(r.err.c_str() + at + 14);
    long kept = std::atol(field(streamBlock(probe(dir + "/out.mp4"), "video"), "nb_frames").c_str());
    EXPECT_GT(lost, 0);
    EXPECT_GT(kept, 30);
    EXPECT_EQ(lost + kept, 100) << r.err;
}

// ---- the user's files ----

class StitcherFiles : public E2E {};
ENGINE_SUITE(StitcherFiles);

TEST_P(StitcherFiles, ExistingOutputIsKeptWithoutOverwriteFlag) {
    std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_exists");
    for (const std::string name : {"/out.mp4", "/seq_0003.png"}) {
        ASSERT_TRUE(testutil::writeFile(dir + name, "keep me"));
        std::string target = name == "/out.mp4" ? dir + name : dir + "/seq_%04d.png";
        RunResult r = run("--size 64 --preset ultrafast " + quote(clip) + " " + quote(target));
        EXPECT_EQ(r.code, 5) << r.err;
        EXPECT_NE(r.err.find(dir + name + " exists; use -y"), std::string::npos) << r.err;
        EXPECT_EQ(testutil::readFile(dir + name), "keep me");
    }
    EXPECT_EQ(listDir(dir).size(), 2u);
    RunResult y = run("-y --size 64 --frames 2 --preset ultrafast " + quote(clip) + " " + quote(dir + "/out.mp4"));
    ASSERT_EQ(y.code, 0) << y.err;
    EXPECT_NE(testutil::readFile(dir + "/out.mp4"), "keep me");
}

// An interrupted -y run over an earlier picture sequence leaves every
// earlier picture as it was, even those it had already made anew.
TEST_P(StitcherFiles, InterruptedRerunKeepsThePreviousSequence) {
    std::string dir = testutil::makeTempDir("stitch_rerun");
    const std::string pattern = quote(dir + "/f_%03d.png");
    RunResult first = run("--size 64 --frames 3 " + quote(kSample) + " " + pattern);
    ASSERT_EQ(first.code, 0) << first.err;
    std::vector<std::string> before;
    for (const char* n : {"/f_001.png", "/f_002.png", "/f_003.png"}) before.push_back(testutil::readFile(dir + n));

    Background again("--engine " + GetParam() + " -y --yaw 90 --size 512 " + quote(kSample) + " " + pattern, env());
    ASSERT_GT(again.pid(), 0);
    // Until at least two new pictures exist, under whatever names.
    auto newPictures = [&] {
        size_t changed = countParts(dir);
        for (size_t k = 0; k < 3; ++k)
            changed += testutil::readFile(dir + "/f_00" + std::to_string(k + 1) + ".png") != before[k];
        return changed >= 2;
    };
    ASSERT_TRUE(waitUntil([&] { return newPictures() || !again.running(); }));
    ::kill(again.pid(), SIGINT);
    RunResult r = again.wait();
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted; nothing was written"), std::string::npos) << r.err;
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"f_001.png", "f_002.png", "f_003.png"}));
    for (size_t k = 0; k < 3; ++k)
        EXPECT_TRUE(testutil::readFile(dir + "/f_00" + std::to_string(k + 1) + ".png") == before[k]) << "picture " << k + 1;
}

// An interrupted video run removes its partial file.
TEST_P(StitcherFiles, InterruptLeavesNothing) {
    std::string dir = testutil::makeTempDir("stitch_int");
    Background job("--engine " + GetParam() + " --preset veryslow " + quote(kSample) + " " + quote(dir + "/out.mp4"), env());
    ASSERT_TRUE(waitUntil([&] { return countParts(dir) > 0 || !job.running(); }));
    ::kill(job.pid(), SIGINT);
    RunResult r = job.wait();
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted; nothing was written"), std::string::npos) << r.err;
    EXPECT_TRUE(listDir(dir).empty());
}

// Two runs to one name without -y: the one that ends second does not
// replace what the first one wrote.
TEST_P(StitcherFiles, OutputThatAppearsMeanwhileIsKept) {
    std::string dir = testutil::makeTempDir("stitch_race");
    Background job("--engine " + GetParam() + " --size 512 --frames 30 " + quote(kSample) + " " + quote(dir + "/out.mp4"),
                   env());
    ASSERT_TRUE(waitUntil([&] { return countParts(dir) > 0 || !job.running(); }));
    ASSERT_TRUE(testutil::writeFile(dir + "/out.mp4", "the other run's video"));
    ASSERT_TRUE(job.running()) << "the run ended before the other file appeared; the test needs a longer run";
    RunResult r = job.wait();
    EXPECT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("appeared while stitching"), std::string::npos) << r.err;
    EXPECT_EQ(testutil::readFile(dir + "/out.mp4"), "the other run's video");
    EXPECT_EQ(listDir(dir), std::vector<std::string>{"out.mp4"});
}

// Temporary files of runs that were killed are removed by the next run to
// the same output; those of live runs and of other outputs are not.
TEST_P(StitcherFiles, LeftoversOfKilledRunsAreRemoved) {
    std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_stale");
    // No process has a number at or above the kernel's limit.
    const long dead = std::atol(testutil::readFile("/proc/sys/kernel/pid_max").c_str()) + 7;
    const std::string live = std::to_string(::getpid());
    const std::string deadVideo = ".out.mp4." + std::to_string(dead) + ".part",
                      deadPicture = ".p_002.png." + std::to_string(dead) + ".part";
    const std::vector<std::string> kept = {".out.mp4." + live + ".part", ".other.mp4." + std::to_string(dead) + ".part"};
    for (const auto& name : kept) ASSERT_TRUE(testutil::writeFile(dir + "/" + name, "x"));
    for (const auto& name : {deadVideo, deadPicture}) ASSERT_TRUE(testutil::writeFile(dir + "/" + name, "x"));

    RunResult video = run("--size 32 --frames 2 --preset ultrafast " + quote(clip) + " " + quote(dir + "/out.mp4"));
    ASSERT_EQ(video.code, 0) << video.err;
    EXPECT_NE(video.err.find("removed " + dir + "/" + deadVideo), std::string::npos) << video.err;
    RunResult pictures = run("--size 32 --frames 2 " + quote(clip) + " " + quote(dir + "/p_%03d.png"));
    ASSERT_EQ(pictures.code, 0) << pictures.err;
    EXPECT_NE(pictures.err.find("removed " + dir + "/" + deadPicture), std::string::npos) << pictures.err;
    auto names = listDir(dir);
    std::sort(names.begin(), names.end());
    std::vector<std::string> want = kept;
    for (const char* n : {"out.mp4", "p_001.png", "p_002.png"}) want.push_back(n);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names, want);
}

// ---- --info ----

TEST(StitcherInfo, PrintsMediaRecordCalibrationCommentAndEngine) {
    RunResult r = stitch("--info " + quote(kSample));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("video: H.264 1920x960, 90 frames at 30 fps"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("audio: AAC 48000 Hz, 2 channels"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("calibration: 2_713.65_713.93_708.05_-2.65_-1.60_-0.36_712.40_2165.50_727.58_177.35_-180.54_"
                         "0.18_2880_1440_516\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("comment: Sample dual-fisheye clip"), std::string::npos) << r.out;
    // Which engine would run, and why (or why none can).
    EXPECT_NE(r.out.find("\nengine: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" (", r.out.find("\nengine: ")), std::string::npos) << r.out;
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

// Refusals that come before any engine starts.
TEST(StitcherErrors, EachGivesItsMessageAndCodeAndWritesNothing) {
    std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    std::string audioOnly = testutil::makeClip(
        "stitch_audio_only.mp4", "-f lavfi -i sine=frequency=440:duration=1 -c:a aac");
    std::string portrait = testutil::makeClip(
        "stitch_portrait.mp4", "-f lavfi -i testsrc=size=160x320:rate=25:duration=1 -c:v libx264 -g 10 -pix_fmt yuv420p");
    std::string fragmented = testutil::makeClip(
        "stitch_fragmented.mp4", "-f lavfi -i testsrc=size=320x160:rate=25:duration=1 -c:v libx264 -g 10 "
                                 "-pix_fmt yuv420p -movflags frag_keyframe+empty_moov");
    auto badRecord = [&](const std::string& name, const std::string& offset) {
        return synthClip(name, "--size 320x160 --frames 4 --gop 2 --no-audio --record-offset " + offset);
    };
    const std::string lens1 = "_712.403_2165.5_727.583_177.35_-180.54_0.176_";
    std::string zeroRadius = badRecord("stitch_zero_radius.mp4", "2_0_713.9_708.0_-2.6_-1.6_-0.3" + lens1 + "2880_1440_516");
    std::string tinyImage = badRecord("stitch_tiny_image.mp4", "2_713.6_713.9_708.0_-2.6_-1.6_-0.3" + lens1 + "1_1_516");
    for (const auto& c : {audioOnly, portrait, fragmented, zeroRadius, tinyImage}) ASSERT_FALSE(c.empty());
    std::string scratch = testutil::makeTempDir("stitch_err_in");
    std::string notClip = scratch + "/notes.mp4";
    ASSERT_TRUE(testutil::writeFile(notClip, "these are notes, not a clip\n"));
    std::string pipe = scratch + "/pipe.mp4";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    const std::string threeLenses = "3_1_2_3_4_5_6_1_2_3_4_5_6_1_2_3_4_5_6_2880_1440";
    const std::string lens0 = "2_713.649_713.933_708.05_-2.65_-1.599_-0.358";
    const std::string hugeRadius = "2_1" + std::string(43, '0') + "_713.933_708.05_-2.65_-1.599_-0.358" + lens1 + "2880_1440_516";

    struct Case {
        const char* name;
        std::string args;  // {out} stands for the output path, {dir} for its folder
        int code;
        const char* message;
        std::string env = "";
    };
    const Case cases[] = {
        {"missing clip", "/nonexistent/clip.mp4 {out}", 3, "cannot open /nonexistent/clip.mp4"},
        {"not a clip", quote(notClip) + " {out}", 3, "cannot read"},
        {"named pipe", quote(pipe) + " {out}", 3, "is not a regular file", "timeout -s KILL 60 "},
        {"fragmented clip", quote(fragmented) + " {out}", 3, "it is a fragmented MP4"},
        {"clip without video", quote(audioOnly) + " {out}", 3, "has no video track"},
        {"offset not valid", "--offset 2_713.6_x_1 " + quote(clip) + " {out}", 4, "invalid --offset"},
        {"offset with three lenses", "--offset " + threeLenses + " " + quote(clip) + " {out}", 4,
         "the renderer takes 2 lenses"},
        {"offset radius 1e43", "--offset " + hugeRadius + " " + quote(clip) + " {out}", 4,
         "the --offset calibration cannot be used"},
        {"offset lens code 99999999999", "--offset " + lens0 + lens1 + "2880_1440_99999999999 " + quote(clip) + " {out}", 4,
         "lens code (99999999999)"},
        {"offset image 1x1", "--offset " + lens0 + lens1 + "1_1_516 " + quote(clip) + " {out}", 4, "image size 1 x 1"},
        {"clip's radius 0", quote(zeroRadius) + " {out}", 4, "the clip's calibration cannot be used"},
        {"clip's image 1x1", quote(tinyImage) + " {out}", 4, "image size 1 x 1"},
        {"portrait clip", quote(portrait) + " {out}", 4, "give the calibration of this camera with --offset"},
        {"unwritable output", quote(clip) + " /nonexistent/folder/out.mp4", 5, "cannot write /nonexistent/folder/out.mp4"},
        {"output under a file", quote(clip) + " " + quote(notClip) + "/out.mp4", 5, "is not a folder"},
        // EGL renders without a display; with no EGL driver either, GL cannot start.
        {"GL without any context", "--engine gl " + quote(clip) + " {out}", 6, "--engine cpu",
         "env -u DISPLAY -u WAYLAND_DISPLAY __EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent.json "},
        {"frame past the end", "--frame 9 " + quote(clip) + " {dir}/one.png", 2, "has 8 frames"},
        {"unknown output kind", quote(clip) + " {dir}/out.avi", 2, "cannot tell the output kind"},
        {"bad option value", "--size 15 " + quote(clip) + " {out}", 2, "--size"},
        {"unknown engine", "--engine gpu " + quote(clip) + " {out}", 2, "--engine: 'gpu'"},
        {"no threads", "--threads 0 " + quote(clip) + " {out}", 2, "--threads"},
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

// No output name may be the clip itself, through any link, -y or not: a bad
// command line, which a retry would not mend.
TEST(StitcherErrors, TheClipIsNeverAnOutput) {
    std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    std::string dir = testutil::makeTempDir("stitch_self");
    const std::string bytes = testutil::readFile(clip);
    ASSERT_TRUE(testutil::writeFile(dir + "/f002.png", bytes));
    ASSERT_EQ(::link((dir + "/f002.png").c_str(), (dir + "/hard.mp4").c_str()), 0);
    ASSERT_EQ(::symlink((dir + "/f002.png").c_str(), (dir + "/soft.png").c_str()), 0);
    ASSERT_EQ(::symlink(dir.c_str(), (dir + "/alias").c_str()), 0);
    const std::string in = quote(dir + "/f002.png");
    for (const std::string& args : {in + " " + quote(dir + "/f002.png"), in + " " + quote(dir + "/hard.mp4"),
                                    "--frames 3 " + in + " " + quote(dir + "/f%03d.png"),
                                    "--frames 3 " + in + " " + quote(dir + "/alias/f%03d.png"),
                                    "--frame 2 " + quote(dir + "/hard.mp4") + " " + quote(dir + "/soft.png")}) {
        RunResult r = stitch("-y --size 32 " + args);
        EXPECT_EQ(r.code, 2) << args << ": " << r.err;
        EXPECT_NE(r.err.find("is the clip itself"), std::string::npos) << args << ": " << r.err;
        EXPECT_TRUE(testutil::readFile(dir + "/f002.png") == bytes) << args;
        EXPECT_EQ(listDir(dir).size(), 4u) << args;
    }
}

}  // namespace
