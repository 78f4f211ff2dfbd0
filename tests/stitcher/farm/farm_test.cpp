// One clip over many machines, end to end with the built stitcher: a plan,
// its segments and their join against one whole run of the same clip, and
// the joins, plans (field by field) and clips that must be refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Clip.h"
#include "ColorMatch.h"
#include "DefaultOffset.h"
#include "DepthScenes.h"
#include "DualFisheyeModel.h"
#include "Json.h"
#include "Plan.h"
#include "PlanFrames.h"
#include "Reader.h"
#include "test_clips.h"

namespace {

using testutil::quote;

// 640x320 fisheye frames, 21 at 25 fps, lens 1 tinted (so the colour gains
// move), both lenses darker toward the rim (so the fall-off is measured), a
// tone; stitched at 320x160.
std::string farmClip(const std::string& name, const std::string& extra) {
    const std::string path = testutil::clipDir() + "/" + name;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;
    const std::string tmp = path + ".tmp" + std::to_string(::getpid()) + ".mp4";
    const int rc = testutil::runCommand(
        quote(std::string(DFS_BINARY_DIR) + "/samples/make_sample") +
        " --size 640x320 --frames 21 --fps 25 --gop 7 --crf 16 --preset veryfast --tint 1.12,1.0,0.88 --vignette -0.25,-0.17,-0.22,-0.10 " + extra + " " +
        quote(std::string(DFS_SOURCE_DIR) + "/samples/city_world.png") + " " + quote(tmp) + " >/dev/null");
    if (rc != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "make_sample failed (" << rc << ")";
        return std::string();
    }
    return path;
}

// Nearly lossless, so that what two encodings of the same pictures differ by
// (their groups of pictures) stays well under the 45 dB a frame must reach.
const char* kSettings = "--size 160 --crf 4 --preset veryfast";

struct Video {
    std::vector<std::string> frames;  // the pictures as the encoder has them (4:2:0)
    std::vector<long long> pts;       // in display order
    std::vector<int16_t> sound;       // with `withSound`: the first sound track as mono 48 kHz samples
};

std::vector<int16_t> samples(const std::string& raw) {
    std::vector<int16_t> s(raw.size() / 2);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<int16_t>(static_cast<uint8_t>(raw[2 * i]) | static_cast<uint8_t>(raw[2 * i + 1]) << 8);
    return s;
}

// The pictures (and the sound) of a video, decoded by one ffmpeg.
Video decode(const std::string& path, size_t width = 320, size_t height = 160, bool withSound = false) {
    Video v;
    const std::string pcm = path + ".pcm";
    const std::string raw = testutil::captureCommand(
        "ffmpeg -v error -y -i " + quote(path) + " -map 0:v:0 -f rawvideo -pix_fmt yuv420p -" +
        (withSound ? " -map 0:a:0 -ac 1 -ar 48000 -f s16le " + quote(pcm) : std::string()));
    if (withSound) v.sound = samples(testutil::readFile(pcm));
    const size_t bytes = width * height * 3 / 2;
    for (size_t at = 0; at + bytes <= raw.size(); at += bytes) v.frames.push_back(raw.substr(at, bytes));
    const std::string pts = testutil::captureCommand("ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 " + quote(path));
    for (size_t at = 0; at < pts.size();) {
        const size_t nl = std::min(pts.find('\n', at), pts.size());
        if (nl > at) v.pts.push_back(std::atoll(pts.substr(at, nl - at).c_str()));
        at = nl + 1;
    }
    std::sort(v.pts.begin(), v.pts.end());
    return v;
}

double psnr(const std::string& a, const std::string& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(static_cast<uint8_t>(a[i])) - static_cast<uint8_t>(b[i]);
        sum += d * d;
    }
    const double mse = sum / a.size();
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The first sound track as mono 48 kHz samples.
std::vector<int16_t> sound(const std::string& path) {
    return samples(testutil::captureCommand("ffmpeg -v error -i " + quote(path) + " -map 0:a:0 -ac 1 -ar 48000 -f s16le -"));
}

// The largest step from one sample to the next within 2 ms of sample `at`.
int largestJump(const std::vector<int16_t>& s, long long at) {
    int jump = 0;
    for (long long i = std::max(1LL, at - 96); i < std::min<long long>(s.size(), at + 96); ++i)
        jump = std::max(jump, std::abs(s[i] - s[i - 1]));
    return jump;
}

testutil::StitcherRun run(const std::string& args, const std::string& dir) { return testutil::runStitcher(args, dir); }

// Plans `n` segments, renders each and joins them in a shuffled order.
std::string farmRun(const std::string& clip, int n, const std::string& dir, const std::string& planArgs = "",
                    const std::string& settings = kSettings) {
    const auto planned = run(settings + planArgs + " --plan-out plan.json --segments " + std::to_string(n) + " " + quote(clip), dir);
    EXPECT_EQ(planned.code, 0) << planned.err;
    std::string parts;
    for (int k = n; k >= 1; --k) {
        const std::string seg = "seg" + std::to_string(k) + ".mp4";
        const auto r = run("--plan plan.json --segment " + std::to_string(k) + "/" + std::to_string(n) + " " + quote(clip) + " " + seg, dir);
        EXPECT_EQ(r.code, 0) << r.err;
        parts += " " + seg;
    }
    const auto joined = run("--join joined.mp4 --plan plan.json" + parts, dir);
    EXPECT_EQ(joined.code, 0) << joined.err;
    EXPECT_NE(joined.err.find("found segment " + std::to_string(n) + "/" + std::to_string(n)), std::string::npos) << joined.err;
    return dir + "/joined.mp4";
}

TEST(Farm, SegmentsJoinedAreTheWholeRun) {
    const std::string clip = farmClip("farm_va.mp4", "");
    ASSERT_FALSE(clip.empty());
    const std::string dir = testutil::makeTempDir("farm_whole");
    ASSERT_EQ(run(std::string(kSettings) + " " + quote(clip) + " whole.mp4", dir).code, 0);
    const Video whole = decode(dir + "/whole.mp4");
    ASSERT_EQ(whole.frames.size(), 21u);
    const std::vector<int16_t> original = sound(clip);
    ASSERT_GT(original.size(), 30000u);

    for (int n : {1, 3, 7}) {
        SCOPED_TRACE("segments: " + std::to_string(n));
        const std::string at = testutil::makeTempDir("farm_n" + std::to_string(n));
        const Video joined = decode(farmRun(clip, n, at), 320, 160, true);
        ASSERT_EQ(joined.frames.size(), whole.frames.size());
        EXPECT_EQ(joined.pts, whole.pts);
        for (size_t f = 0; f < whole.frames.size(); ++f) EXPECT_GE(psnr(joined.frames[f], whole.frames[f]), 45.0) << "frame " << f + 1;

        // The sound against the clip's, sample for sample, and no click where segments meet.
        const std::vector<int16_t>& got = joined.sound;
        const size_t len = std::min(got.size(), original.size());
        ASSERT_GT(len, original.size() * 9 / 10);
        double signal = 0, noise = 0;
        for (size_t i = 0; i < len; ++i) {
            signal += static_cast<double>(original[i]) * original[i];
            noise += (static_cast<double>(got[i]) - original[i]) * (static_cast<double>(got[i]) - original[i]);
        }
        EXPECT_GE(10 * std::log10(signal / std::max(noise, 1.0)), 25.0);
        stitcher::Plan plan;
        ASSERT_TRUE(stitcher::readPlan(at + "/plan.json", plan).ok());
        for (size_t k = 1; k < plan.segments.size(); ++k) {
            const long long border = static_cast<long long>(
                plan.column("pts")->at(plan.segments[k].first - plan.first) * 48000 / plan.timescale);
            EXPECT_LE(largestJump(got, border), largestJump(original, border) * 5 / 4 + 200) << "border " << k;
        }
    }
}

// A stabilised plan: every segment turns each frame's view as the whole run does.
TEST(Farm, StabilisedSegmentsTurnAsTheWholeRun) {
    const std::string clip = farmClip("farm_vb.mp4", "--yaw-step 1");
    ASSERT_FALSE(clip.empty());
    const std::string dir = testutil::makeTempDir("farm_stab");
    const std::string lock = " --stabilize lock";
    ASSERT_EQ(run(std::string(kSettings) + lock + " " + quote(clip) + " whole.mp4", dir).code, 0);
    ASSERT_EQ(run(std::string(kSettings) + " " + quote(clip) + " plain.mp4", dir).code, 0);
    const Video whole = decode(dir + "/whole.mp4"), plain = decode(dir + "/plain.mp4");
    const Video joined = decode(farmRun(clip, 3, dir, lock));
    ASSERT_EQ(joined.frames.size(), whole.frames.size());
    for (size_t f = 0; f < whole.frames.size(); ++f) EXPECT_GE(psnr(joined.frames[f], whole.frames[f]), 45.0) << "frame " << f + 1;
    // The camera turns a degree a frame: unturned, the last frame is far from the locked one.
    EXPECT_LT(psnr(plain.frames.back(), whole.frames.back()), 30.0);
}

// Every file in `dir`, hidden ones too.
std::string listing(const std::string& dir) { return testutil::captureCommand("ls -A " + quote(dir)); }

// A street corner with a person-sized panel walking across a seam, poles and
// boards at the seams (lenses 30 mm apart), as 960x480 frames: 8 at 25 fps,
// the second lens tinted, no calibration record (--offset gives it).
std::string seamClip() {
    const std::string path = testutil::clipDir() + "/farm_seam.mp4";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;
    testing::internal::CaptureStdout();  // the geometry echoes the offset text
    const testutil::StitchGeometry geometry(testutil::kDefaultOffset, 240);
    testing::internal::GetCapturedStdout();
    const testutil::DepthScene scene = testutil::streetScene(geometry, 480, 240, 4242);
    std::string raw;
    for (int f = 0; f < 8; ++f) {
        testutil::BgrImage frame = scene.frame(geometry, 960, 480, 30.0, f / 25.0);
        // The second lens meters apart (so that the gains move).
        for (int y = 0; y < 480; ++y)
            for (int x = 480; x < 960; ++x)
                for (int c = 0; c < 3; ++c) frame.at(x, y)[c] = static_cast<uint8_t>(std::min(255.0, frame.at(x, y)[c] * (1.12 - 0.12 * c)));
        raw.append(frame.data.begin(), frame.data.end());
    }
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    if (!testutil::writeFile(tmp + ".bgr", raw)) return std::string();
    const int rc = testutil::runCommand("ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt bgr24 -s 960x480 -r 25 -i " +
                                        quote(tmp + ".bgr") + " -c:v libx264 -preset veryfast -crf 10 -g 8 -pix_fmt yuv420p -f mp4 " +
                                        quote(tmp));
    std::remove((tmp + ".bgr").c_str());
    if (rc != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "ffmpeg failed (" << rc << ")";
        return std::string();
    }
    return path;
}

// --seam auto: each frame's disparity smoothed over the frames before it. The
// plan measures them in order, so that every segment lines up its seams (and
// leaves them out of its gains) as the whole run does: the same pictures, to
// the byte (lossless video). A segment asked for other seams is refused.
TEST(Farm, SeamSegmentsLineUpAsTheWholeRun) {
    const std::string clip = seamClip();
    ASSERT_FALSE(clip.empty());
    const std::string dir = testutil::makeTempDir("farm_seam");
    const std::string settings = std::string("--size 240 --crf 0 --preset ultrafast --offset ") + testutil::kDefaultOffset;
    ASSERT_EQ(run(settings + " --engine cpu --seam auto " + quote(clip) + " whole.mp4", dir).code, 0);
    const Video whole = decode(dir + "/whole.mp4", 480, 240);
    ASSERT_EQ(whole.frames.size(), 8u);
    const Video joined = decode(farmRun(clip, 2, dir, " --seam auto", settings), 480, 240);
    ASSERT_EQ(joined.frames.size(), whole.frames.size());
    for (size_t f = 0; f < whole.frames.size(); ++f)
        EXPECT_TRUE(joined.frames[f] == whole.frames[f]) << "frame " << f + 1 << ": " << psnr(joined.frames[f], whole.frames[f]) << " dB";
    // Near things were found, and moved on within the second segment.
    stitcher::Plan plan;
    ASSERT_TRUE(stitcher::readPlan(dir + "/plan.json", plan).ok());
    float most = 0;
    for (const stitcher::PlanSeamStep& step : plan.seamSteps)
        for (const auto& cell : step.cells) most = std::max(most, cell.second);
    EXPECT_GT(most, 2.0f);
    ASSERT_FALSE(plan.seamSteps.empty());
    EXPECT_GT(plan.seamSteps.back().frame, plan.segments[1].first - plan.first);

    const std::string before = listing(dir);
    for (const char* other : {"--seam far", "--baseline 20", "--engine gl"}) {
        const auto r = run(std::string(other) + " --plan plan.json --segment 2/2 " + quote(clip) + " other.mp4", dir);
        EXPECT_EQ(r.code, 2) << other;
        EXPECT_NE(r.err.find(std::string(other) == "--engine gl" ? "the plan lines up the seams (\"seam\": auto)" : "the plan decides it"),
                  std::string::npos) << r.err;
    }
    EXPECT_EQ(listing(dir), before);
}

// A flat picture of a keyframed camera on a stabilised clip, its seams lined
// up: the plan holds every frame's view, field of view and seams, so that
// the segments show what the whole run shows, and the joined video is not
// tagged as a panorama.
TEST(Farm, ReframedSegmentsFollowTheCameraAsTheWholeRun) {
    const std::string clip = farmClip("farm_vb.mp4", "--yaw-step 1");
    ASSERT_FALSE(clip.empty());
    const std::string dir = testutil::makeTempDir("farm_camera");
    ASSERT_TRUE(testutil::writeFile(dir + "/cam.csv", "time,yaw,pitch,roll,fov,ease\n0,0,0,0,80,smooth\n0.2,70,20,0,50,linear\n"
                                                      "0.4,150,-10,10,120,smooth\n"));
    const std::string settings =
        "--frames 12 --crf 0 --preset ultrafast --projection flat --size 96x64 --camera cam.csv --stabilize lock --seam auto";
    ASSERT_EQ(run(settings + " --engine cpu " + quote(clip) + " whole.mp4", dir).code, 0);
    const Video whole = decode(dir + "/whole.mp4", 96, 64);
    ASSERT_EQ(whole.frames.size(), 12u);
    const std::string joined = farmRun(clip, 2, dir, "", settings);
    const Video parts = decode(joined, 96, 64);
    ASSERT_EQ(parts.frames.size(), whole.frames.size());
    for (size_t f = 0; f < whole.frames.size(); ++f)
        EXPECT_TRUE(parts.frames[f] == whole.frames[f]) << "frame " << f + 1 << ": " << psnr(parts.frames[f], whole.frames[f]) << " dB";
    const std::string tags = testutil::captureCommand("ffprobe -v error -show_streams -show_format " + quote(joined));
    EXPECT_EQ(tags.find("pherical"), std::string::npos) << tags;
}

TEST(Farm, BadJoinsAreRefusedNamingTheSegment) {
    const std::string clip = farmClip("farm_va.mp4", "");
    ASSERT_FALSE(clip.empty());
    const std::string dir = testutil::makeTempDir("farm_bad");
    farmRun(clip, 3, dir);
    // A second plan (another quality) and its segment 2.
    const std::string other = testutil::makeTempDir("farm_other");
    ASSERT_EQ(run("--size 160 --crf 30 --preset veryfast --plan-out plan.json --segments 3 " + quote(clip), other).code, 0);
    ASSERT_EQ(run("--plan plan.json --segment 2/3 " + quote(clip) + " " + quote(other + "/seg2.mp4"), other).code, 0);
    // Segment 2 cut short.
    const std::string whole = testutil::readFile(dir + "/seg2.mp4");
    ASSERT_TRUE(testutil::writeFile(dir + "/short2.mp4", whole.substr(0, whole.size() * 2 / 3)));
    const std::string before = listing(dir);

    struct Case {
        std::string parts, named;
    } cases[] = {
        {"seg1.mp4 seg3.mp4", "segment 2/3 (frames 8-14) is missing"},
        {"seg1.mp4 seg2.mp4 seg2.mp4 seg3.mp4", "segment 2/3 is given twice"},
        {"seg1.mp4 " + quote(other + "/seg2.mp4") + " seg3.mp4", other + "/seg2.mp4 is a segment of another plan"},
        {"seg1.mp4 short2.mp4 seg3.mp4", "short2.mp4"},
    };
    for (const Case& c : cases) {
        const auto r = run("--join out.mp4 --plan plan.json " + c.parts, dir);
        EXPECT_EQ(r.code, 7) << c.parts;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_EQ(listing(dir), before) << c.parts;
    }
}

TEST(Farm, ReRunAfterAKillGivesTheSamePictures) {
    const std::string clip = farmClip("farm_va.mp4", "");
    ASSERT_FALSE(clip.empty());
    const std::string dir = testutil::makeTempDir("farm_rerun");
    // Without colour matching planning measures nothing: no rate is shown.
    const auto planned = run(std::string(kSettings) + " --color-match off --plan-out plan.json --segments 2 " + quote(clip), dir);
    ASSERT_EQ(planned.code, 0) << planned.err;
    EXPECT_NE(planned.err.find("stitcher: plan: frame 21 of 21\n"), std::string::npos) << planned.err;
    ASSERT_EQ(run("--plan plan.json --segment 2/2 " + quote(clip) + " first.mp4", dir).code, 0);
    // Killed at once, then again.
    run("--plan plan.json --segment 2/2 " + quote(clip) + " again.mp4 & sleep 0.3; kill -KILL $! ; wait", dir);
    const auto again = run("-y --plan plan.json --segment 2/2 " + quote(clip) + " again.mp4", dir);
    ASSERT_EQ(again.code, 0) << again.err;
    const Video a = decode(dir + "/first.mp4"), b = decode(dir + "/again.mp4");
    ASSERT_EQ(a.frames.size(), 11u);
    EXPECT_TRUE(a.frames == b.frames);
    EXPECT_EQ(a.pts, b.pts);
    EXPECT_EQ(listing(dir).find(".part"), std::string::npos);
}

TEST(Farm, APlanIsRefusedForAnotherClip) {
    const std::string a = farmClip("farm_va.mp4", ""), b = farmClip("farm_vb.mp4", "--yaw-step 1");
    ASSERT_FALSE(a.empty() || b.empty());
    const std::string dir = testutil::makeTempDir("farm_clip");
    farmRun(a, 2, dir);
    const auto seg = run("--plan plan.json --segment 1/2 " + quote(b) + " b1.mp4", dir);
    EXPECT_EQ(seg.code, 7);
    EXPECT_NE(seg.err.find("is not the clip the plan was made for"), std::string::npos) << seg.err;
    const auto join = run("--join b.mp4 --plan plan.json --clip " + quote(b) + " seg1.mp4 seg2.mp4", dir);
    EXPECT_EQ(join.code, 7);
    EXPECT_NE(join.err.find("is not the clip the plan was made for"), std::string::npos) << join.err;
    EXPECT_EQ(listing(dir).find("b"), std::string::npos);
}

// A plan of 4 frames in 2 segments that reads back, as JSON.
stitcher::JsonValue smallPlan() {
    stitcher::Plan p;
    p.clipPath = "clip.mp4";
    p.clipHash = std::string(32, 'a');
    p.clipFrames = 4;
    p.offset = testutil::kDefaultOffset;
    p.count = 4;
    p.size = 64;
    p.fpsNum = 25;
    p.timescale = 12800;
    p.segments = stitcher::splitRange(1, 4, 2);
    p.frames["pts"].values = {0, 512, 1024, 1536};
    p.frames["duration"].values = {512, 512, 512, 512};
    stitcher::JsonValue v;
    const stitcher::Status parsed = stitcher::parseJson(stitcher::planToJson(p), v);
    EXPECT_TRUE(parsed.ok()) << parsed.message();
    return v;
}

// `in` with the member at `path` ("output.size") set to `value`.
stitcher::JsonValue with(const stitcher::JsonValue& in, const std::string& path, const stitcher::JsonValue& value) {
    stitcher::JsonValue out = in;
    const size_t dot = path.find('.');
    if (dot == std::string::npos)
        out.set(path, value);
    else
        out.set(path.substr(0, dot), with(in[path.substr(0, dot)], path.substr(dot + 1), value));
    return out;
}

// A hand-edited field that a task cannot use is refused on reading with the
// plan's exit code, naming the field, by the rules of the option it stands
// for; not left to fail in the encoder with a code that a scheduler retries.
TEST(Farm, PlanFieldsAreCheckedOnReading) {
    using stitcher::JsonValue;
    const JsonValue plan = smallPlan();
    stitcher::Plan read;
    ASSERT_TRUE(stitcher::planFromJson(stitcher::writeJson(plan), read).ok());
    const struct {
        const char* path;
        JsonValue value;
        const char* named;
    } cases[] = {
        {"output.size", JsonValue::number(65), "\"output.size\" 65: the panorama height must be even"},
        {"output.size", JsonValue::number(8192), "\"output.size\" is not a whole number from 16 to 4096"},
        {"output.preset", JsonValue::string("foo"), "\"output.preset\" 'foo' is none of ultrafast,"},
        {"output.codec", JsonValue::string("av1"), "\"output.codec\" 'av1' is neither h264 nor hevc"},
        {"output.crf", JsonValue::number(52), "\"output.crf\" is not a whole number from 0 to 51"},
        {"calibration.offset", JsonValue::string("2_1_2"), "\"calibration.offset\" cannot be used"},
        {"clip.hash", JsonValue::string("abc"), "\"clip.hash\" is not a content hash"},
        {"falloff", JsonValue::string("falloff_-0.2_0_-0.2_0"), "\"falloff\" is given, but \"colorMatch\" is off"},
        {"output.audio.spatial", JsonValue::string("00"), "\"output.audio.spatial\" is not a spatial-sound box"},
        {"output.projection.width", JsonValue::number(17), "\"output.projection.width\" is not a whole number from 0 to 0"},
        {"seam.mode", JsonValue::string("near"), "\"seam.mode\" 'near' is none of far, auto and fixed"},
        // Auto seams measured at another panorama size than the plan's.
        {"seam.mode", JsonValue::string("auto"), "\"seam.cells\" is not a whole number from 384 to 384"},
        {"seam.baseline", JsonValue::number(0.5), "\"seam.baseline\" is not from 1 to 200 millimetres"},
    };
    for (const auto& c : cases) {
        const stitcher::Status st = stitcher::planFromJson(stitcher::writeJson(with(plan, c.path, c.value)), read);
        EXPECT_EQ(st.code(), stitcher::kExitPlan) << c.path;
        EXPECT_NE(st.message().find(c.named), std::string::npos) << st.message();
    }
    // Auto seams' steps: each frame's changed cells, in hex (cell, float bits), in order.
    const JsonValue seams = with(with(plan, "seam.mode", JsonValue::string("auto")), "seam.cells", JsonValue::number(384));
    for (const char* cells : {"00043f800000" "0005c0200000", "00053f800000" "0004c0200000"}) {
        JsonValue steps = JsonValue::array();
        JsonValue& step = steps.push(JsonValue::array());
        step.push(JsonValue::number(1));
        step.push(JsonValue::string(cells));
        const stitcher::Status st = stitcher::planFromJson(stitcher::writeJson(with(seams, "seam.steps", steps)), read);
        if (cells[3] == '4') {
            ASSERT_TRUE(st.ok()) << st.message();
            ASSERT_EQ(read.seamSteps.size(), 1u);
            EXPECT_EQ(read.seamSteps[0].frame, 1);
            EXPECT_EQ(read.seamSteps[0].cells, (std::vector<std::pair<int, float>>{{4, 1.0f}, {5, -2.5f}}));
        } else {
            EXPECT_NE(st.message().find("\"seam.steps\" 1: a cell out of order"), std::string::npos) << st.message();
        }
    }
    // A plan cut short is refused with the parser's words, not read as an empty one.
    const stitcher::Status cut = stitcher::planFromJson(stitcher::writeJson(plan).substr(0, 40), read);
    EXPECT_EQ(cut.code(), stitcher::kExitPlan);
    EXPECT_EQ(cut.message().rfind("not a plan: ", 0), 0u) << cut.message();
    // Through the command line: exit code 7 before the clip is looked at.
    const std::string dir = testutil::makeTempDir("farm_fields");
    ASSERT_TRUE(testutil::writeFile(dir + "/plan.json", stitcher::writeJson(with(plan, "output.size", JsonValue::number(65)))));
    const auto r = run("--plan plan.json --segment 1/2 " + quote(std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4") +
                           " seg.mp4",
                       dir);
    EXPECT_EQ(r.code, 7) << r.err;
    EXPECT_NE(r.err.find("the plan plan.json cannot be used: \"output.size\" 65"), std::string::npos) << r.err;
    EXPECT_EQ(listing(dir), "plan.json\n");

    // The sound's rate can be checked only against the clip, which the join
    // opens: refused there, before anything is encoded.
    const std::string clip = farmClip("farm_va.mp4", "");
    ASSERT_FALSE(clip.empty());
    ASSERT_EQ(run("--size 32 --frames 2 --color-match off --plan-out made.json " + quote(clip), dir).code, 0);
    JsonValue made;
    const stitcher::Status parsed = stitcher::parseJson(testutil::readFile(dir + "/made.json"), made);
    ASSERT_TRUE(parsed.ok()) << parsed.message();
    ASSERT_TRUE(testutil::writeFile(dir + "/made.json", stitcher::writeJson(with(made, "output.audio.rate", JsonValue::number(44100)))));
    ASSERT_EQ(run("--plan made.json --segment 1/1 " + quote(clip) + " seg.mp4", dir).code, 0);
    const auto join = run("--join out.mp4 --plan made.json seg.mp4", dir);
    EXPECT_EQ(join.code, 7) << join.err;
    EXPECT_NE(join.err.find("cannot be used: \"output.audio\" (44100 Hz"), std::string::npos) << join.err;
    EXPECT_NE(join.err.find("is not the clip's sound"), std::string::npos) << join.err;
    EXPECT_EQ(listing(dir).find("out.mp4"), std::string::npos);
}

// The plan measures stretches of the clip at once: its gains must be, bit
// for bit, those of one pass over the frames in order.
TEST(Farm, PlannedGainsAreThoseOfOnePassInOrder) {
    const std::string path = farmClip("farm_va.mp4", "");
    ASSERT_FALSE(path.empty());
    std::unique_ptr<stitcher::Clip> clip;
    ASSERT_TRUE(stitcher::Clip::open(path, clip).ok());
    std::string offset;
    ASSERT_TRUE(clip->calibration(offset).ok());
    const DualFisheyeModel model(offset.c_str());
    const int w = static_cast<int>(clip->info().width), h = static_cast<int>(clip->info().height);
    stitcher::ReadSpec range;
    range.first = 2;
    range.count = 19;
    range.fps = stitcher::Rational{25, 1};

    stitcher::ColorMatch inOrder;
    ASSERT_TRUE(inOrder.init(model, w, h, 25.0).ok());
    stitcher::Reader reader(*clip, range, nullptr);
    stitcher::FrameItem item;
    std::vector<double> want;
    while (!reader.ended()) {
        ASSERT_TRUE(reader.next(item).ok());
        const stitcher::ColorGains& g = inOrder.update(item.picture.data());
        for (int lens = 0; lens < 2; ++lens)
            for (int c = 0; c < 3; ++c) want.push_back(g.gain[lens][c]);
    }
    ASSERT_EQ(want.size(), 19u * 6);

    stitcher::ColorMatch planned;
    ASSERT_TRUE(planned.init(model, w, h, 25.0).ok());
    stitcher::FrameMeasuring how;
    how.range = range;
    how.model = &model;
    how.color = &planned;
    how.threads = 3;
    stitcher::Plan plan;
    std::atomic<bool> interrupted{false};
    ASSERT_TRUE(stitcher::measurePlanFrames(*clip, how, interrupted, plan).ok());
    ASSERT_NE(plan.column("gains"), nullptr);
    EXPECT_EQ(plan.column("gains")->values, want);
    EXPECT_EQ(plan.column("pts")->values.size(), 19u);
}

}  // namespace
