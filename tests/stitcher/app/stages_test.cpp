// Unit tests of the stitcher's stages that need neither a clip nor a display:
// job resolution, frame rate, output names and commits, the engine choice,
// the calibration check and the sound spans.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "ClipCalibration.h"
#include "Engine.h"
#include "Job.h"
#include "Output.h"
#include "Reader.h"
#include "test_clips.h"
#include "DefaultOffset.h"

using namespace stitcher;

namespace {

const std::string kOffset = testutil::kDefaultOffset;

TEST(FrameRate, ExactFractions) {
    struct Case {
        double fps;
        int num, den;
    } cases[] = {{30, 30, 1},         {25.0000001, 25, 1}, {30000.0 / 1001, 30000, 1001}, {23.976, 24000, 1001},
                 {59.94, 60000, 1001}, {12.5, 25, 2},      {0, 0, 1},                     {-25, 0, 1},
                 {NAN, 0, 1},          {INFINITY, 0, 1}};
    for (const Case& c : cases) {
        Rational r = frameRate(c.fps);
        EXPECT_EQ(r.num, c.num) << c.fps;
        EXPECT_EQ(r.den, c.den) << c.fps;
    }
}

_MediaInfo media(uint32_t frames, double fps, uint8_t channels, uint32_t rate) {
    _MediaInfo m{};
    m.hasVideo = 1;
    m.width = 1920;
    m.height = 960;
    m.frames = frames;
    m.fps = fps;
    m.hasAudio = channels > 0;
    m.channels = channels;
    m.samplerate = rate;
    m.samples = 48000;
    return m;
}

TEST(JobResolution, RangesSizesAndSound) {
    LensRig lens;
    ASSERT_TRUE(parseCalibration(kOffset, lens).ok());
    struct Case {
        const char* name;
        std::vector<std::string> args;
        _MediaInfo m;
        int code;
        long long first, count;
        int width, height;
        bool audio;
    } cases[] = {
        {"whole clip, default size", {"c.mp4", "o.mp4"}, media(90, 30, 2, 48000), 0, 1, 90, 2080, 1040, true},
        {"range", {"--start", "4", "--frames", "3", "c.mp4", "o.mp4"}, media(90, 30, 2, 48000), 0, 4, 3, 2080, 1040, true},
        {"to the end from 90", {"--start", "90", "--size", "64", "c.mp4", "o.mp4"}, media(90, 30, 1, 44100), 0, 90, 1, 128, 64, true},
        {"stereo layout", {"--layout", "stereo", "--size", "100", "c.mp4", "o.mp4"}, media(9, 30, 0, 0), 0, 1, 9, 200, 200, false},
        {"start past the end", {"--start", "91", "c.mp4", "o.mp4"}, media(90, 30, 2, 48000), kExitUsage, 0, 0, 0, 0, false},
        {"range past the end", {"--start", "89", "--frames", "3", "c.mp4", "o.mp4"}, media(90, 30, 2, 48000), kExitUsage, 0, 0, 0, 0, false},
        {"video without a frame rate", {"c.mp4", "o.mp4"}, media(90, 0, 2, 48000), kExitInput, 0, 0, 0, 0, false},
        {"pictures need no frame rate", {"--frame", "2", "c.mp4", "o.png"}, media(90, 0, 2, 48000), 0, 2, 1, 2080, 1040, false},
        {"no sound asked for", {"--no-audio", "c.mp4", "o.mp4"}, media(90, 30, 2, 48000), 0, 1, 90, 2080, 1040, false},
        {"sound of unknown rate", {"c.mp4", "o.mp4"}, media(90, 30, 2, 0), 0, 1, 90, 2080, 1040, false},
        {"7.1 sound", {"c.mp4", "o.mp4"}, media(90, 30, 8, 48000), 0, 1, 90, 2080, 1040, true},
        {"more than eight channels", {"c.mp4", "o.mp4"}, media(90, 30, 9, 48000), 0, 1, 90, 2080, 1040, false},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("stitcher")};
        for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
        Options opt;
        ASSERT_TRUE(parseOptions(static_cast<int>(argv.size()), argv.data(), opt).ok()) << c.name;
        Job job;
        Status st = resolveJob(opt, c.m, lens, job);
        EXPECT_EQ(st.code(), c.code) << c.name << ": " << st.message();
        if (!st.ok() || c.code) continue;
        EXPECT_EQ(job.first, c.first) << c.name;
        EXPECT_EQ(job.count, c.count) << c.name;
        EXPECT_EQ(job.engine.outWidth(), c.width) << c.name;
        EXPECT_EQ(job.engine.outHeight(), c.height) << c.name;
        EXPECT_EQ(job.audio, c.audio) << c.name;
        EXPECT_EQ(job.audioLeftOut.empty(), c.audio || !opt.audio || !c.m.hasAudio || opt.kind != OutputKind::Video)
            << c.name;
    }
}

TEST(OutputNames, PatternsAndTemporaries) {
    EXPECT_EQ(frameFileName("f%03d.png", 7), "f007.png");
    EXPECT_EQ(frameFileName("100%%_%d.png", 12), "100%_12.png");
    EXPECT_EQ(frameFileName("x%d.png", 123456), "x123456.png");
    EXPECT_EQ(tempNameFor("out.mp4", 42), ".out.mp4.42.part");
    EXPECT_EQ(tempNameFor("a/b/out.mp4", 42), "a/b/.out.mp4.42.part");
    EXPECT_EQ(tempNameFor("/out.mp4", 7), "/.out.mp4.7.part");

    Options opt;
    opt.kind = OutputKind::Sequence;
    opt.output = "d/p_%02d.png";
    Job job;
    job.first = 9;
    job.count = 3;
    EXPECT_EQ(outputNames(opt, job), (std::vector<std::string>{"d/p_09.png", "d/p_10.png", "d/p_11.png"}));
    opt.kind = OutputKind::Video;
    opt.output = "d/v.mp4";
    EXPECT_EQ(outputNames(opt, job), std::vector<std::string>{"d/v.mp4"});
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Writes this run's version of every file of `out` to its temporary name.
void writeAll(const Output& out, const std::string& text) {
    for (size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(testutil::writeFile(out.tempName(i), text));
}

// Files replace the old ones only at commit, all of them; an abort leaves
// every old file as it was; a name that appears meanwhile is never replaced
// without -y, and then none of the run's files stays.
TEST(OutputCommit, AllOrNothing) {
    const std::string dir = testutil::makeTempDir("stitch_output");
    std::vector<std::string> names = {dir + "/a.png", dir + "/b.png", dir + "/c.png"};
    ASSERT_TRUE(testutil::writeFile(names[0], "old a"));

    {  // -y, aborted after writing everything: the old file stays, nothing else
        Output out(names, true);
        ASSERT_TRUE(out.prepare(dir + "/clip.mp4").ok());
        writeAll(out, "new");
        out.abort();
        EXPECT_EQ(testutil::readFile(names[0]), "old a");
        EXPECT_FALSE(exists(names[1]) || exists(names[2]) || exists(out.tempName(0)));
    }
    {  // without -y an existing name is refused before any work
        Output out(names, false);
        Status st = out.prepare(dir + "/clip.mp4");
        EXPECT_EQ(st.code(), kExitOutput);
        EXPECT_NE(st.message().find("a.png exists; use -y"), std::string::npos) << st.message();
    }
    ::unlink(names[0].c_str());
    {  // without -y, c.png appears while the run works
        Output out(names, false);
        ASSERT_TRUE(out.prepare(dir + "/clip.mp4").ok());
        writeAll(out, "new");
        ASSERT_TRUE(testutil::writeFile(names[2], "theirs"));
        Status st = out.commit();
        EXPECT_EQ(st.code(), kExitOutput);
        EXPECT_NE(st.message().find("c.png appeared while stitching"), std::string::npos) << st.message();
        EXPECT_EQ(testutil::readFile(names[2]), "theirs");
        EXPECT_FALSE(exists(names[0]) || exists(names[1]) || exists(out.tempName(0)) || exists(out.tempName(2)));
    }
    {  // -y: the committed files are the new ones, and no temporary is left
        Output out(names, true);
        ASSERT_TRUE(out.prepare(dir + "/clip.mp4").ok());
        writeAll(out, "new");
        ASSERT_TRUE(out.commit().ok());
        for (const auto& n : names) EXPECT_EQ(testutil::readFile(n), "new") << n;
        for (size_t i = 0; i < out.size(); ++i) EXPECT_FALSE(exists(out.tempName(i)));
    }
    {  // -y, the last name cannot be replaced (a folder took it): the files
       // already replaced are put back, not left new beside old
        ASSERT_TRUE(testutil::writeFile(names[0], "old a"));
        ASSERT_TRUE(testutil::writeFile(names[1], "old b"));
        ::unlink(names[2].c_str());
        Output out(names, true);
        ASSERT_TRUE(out.prepare(dir + "/clip.mp4").ok());
        writeAll(out, "new");
        ASSERT_EQ(::mkdir(names[2].c_str(), 0755), 0);
        ASSERT_TRUE(testutil::writeFile(names[2] + "/x", "theirs"));
        Status st = out.commit();
        EXPECT_EQ(st.code(), kExitOutput);
        EXPECT_NE(st.message().find("cannot write " + names[2]), std::string::npos) << st.message();
        EXPECT_NE(st.message().find("; nothing was written"), std::string::npos) << st.message();
        EXPECT_EQ(testutil::readFile(names[0]), "old a");
        EXPECT_EQ(testutil::readFile(names[1]), "old b");
        EXPECT_EQ(testutil::captureCommand("ls -A " + testutil::quote(dir)), "a.png\nb.png\nc.png\n");
    }
    // Two names of one file (through a linked folder) are refused as a bad
    // command line, before anything is written.
    ASSERT_EQ(::symlink(dir.c_str(), (dir + "/alias").c_str()), 0);
    Output twice({dir + "/a.png", dir + "/alias/a.png"}, true);
    Status st = twice.prepare(dir + "/clip.mp4");
    EXPECT_EQ(st.code(), kExitUsage);
    EXPECT_NE(st.message().find("are the same file"), std::string::npos) << st.message();
}

// ---- engine choice ----

class FakeEngine : public Engine {
public:
    explicit FakeEngine(const char* name) : name_(name) {}
    const char* name() const override { return name_; }
    Status stitch(uint8_t*, uint8_t*) override { return Status(); }
    void setGains(const float[2][3]) override {}

private:
    const char* name_;
};

TEST(EngineChoice, AutoPrefersAHardwareGpuElseTheCpu) {
    struct Case {
        const char* name;
        EngineKind wanted;
        bool gpuDevice;
        const char* glRenderer;  // null: no GL context
        bool cpuBuilt;
        const char* chosen;      // null: none, exit 6
        const char* why;         // a part of the reason given
    } cases[] = {
        {"GPU", EngineKind::Auto, true, "NVIDIA H100/PCIe/SSE2", true, "gl", "on the GPU (NVIDIA H100"},
        {"llvmpipe", EngineKind::Auto, true, "llvmpipe (LLVM 15.0.6, 256 bits)", true, "cpu", "software rasterizer (llvmpipe"},
        {"softpipe", EngineKind::Auto, true, "softpipe", true, "cpu", "software rasterizer"},
        {"swrast", EngineKind::Auto, true, "Mesa X11 swrast", true, "cpu", "software rasterizer"},
        {"no context", EngineKind::Auto, true, nullptr, true, "cpu", "no OpenGL 3.3 context can be had (no display)"},
        {"no GPU device: GL not even tried", EngineKind::Auto, false, "llvmpipe", true, "cpu", "no GPU device"},
        {"llvmpipe, no CPU engine", EngineKind::Auto, true, "llvmpipe", false, "gl", "the CPU engine cannot run (not built)"},
        {"no GPU device, no CPU engine", EngineKind::Auto, false, "llvmpipe", false, "gl", "software rasterizer"},
        {"nothing", EngineKind::Auto, true, nullptr, false, nullptr, "no display"},
        {"GL asked for on llvmpipe", EngineKind::Gl, false, "llvmpipe", true, "gl", "--engine gl"},
        {"GL asked for, no context", EngineKind::Gl, true, nullptr, true, nullptr, "--engine cpu"},
        {"CPU asked for on a GPU", EngineKind::Cpu, true, "NVIDIA", true, "cpu", "--engine cpu"},
        {"CPU asked for, not built", EngineKind::Cpu, true, "NVIDIA", false, nullptr, "not built"},
    };
    for (const Case& c : cases) {
        int glMade = 0, glAlive = 0;
        EngineMakers make;
        make.gl = [&](const EngineSpec&, std::unique_ptr<Engine>& engine) {
            ++glMade;
            if (!c.glRenderer) return Status(kExitDisplay, "no display");
            struct Counted : FakeEngine {
                int& alive;
                std::string renderer;
                Counted(int& a, const char* r) : FakeEngine("gl"), alive(a), renderer(r) { ++alive; }
                ~Counted() override { --alive; }
                std::string device() const override { return renderer; }
            };
            engine = std::make_unique<Counted>(glAlive, c.glRenderer);
            return Status();
        };
        make.gpuPresent = [&] { return c.gpuDevice; };
        make.cpu = [&](const EngineSpec&, std::unique_ptr<Engine>& engine) {
            if (!c.cpuBuilt) return Status(kExitDisplay, "not built");
            engine = std::make_unique<FakeEngine>("cpu");
            return Status();
        };
        EngineChoice choice;
        Status st = chooseEngine(c.wanted, EngineSpec(), choice, make);
        if (!c.chosen) {
            EXPECT_EQ(st.code(), kExitDisplay) << c.name;
            EXPECT_FALSE(choice.engine) << c.name;
            EXPECT_NE(st.message().find(c.why), std::string::npos) << c.name << ": " << st.message();
            continue;
        }
        ASSERT_TRUE(st.ok()) << c.name << ": " << st.message();
        ASSERT_TRUE(choice.engine) << c.name;
        EXPECT_STREQ(choice.engine->name(), c.chosen) << c.name;
        EXPECT_NE(choice.why.find(c.why), std::string::npos) << c.name << ": " << choice.why;
        // A GL context made only to look at the driver is not kept.
        EXPECT_EQ(glAlive, std::string(c.chosen) == "gl" ? 1 : 0) << c.name;
        const bool glNeeded = c.wanted == EngineKind::Gl || (c.wanted == EngineKind::Auto && (c.gpuDevice || !c.cpuBuilt));
        EXPECT_EQ(glMade, glNeeded ? 1 : 0) << c.name;
    }
}

// ---- calibration ----

TEST(Calibration, PictureShape) {
    LensRig lens;
    ASSERT_TRUE(parseCalibration(kOffset, lens).ok());
    EXPECT_TRUE(checkPictureAspect(lens.values(), 1920, 960, false).ok());
    EXPECT_TRUE(checkPictureAspect(lens.values(), 3840, 1920, false).ok());
    EXPECT_TRUE(checkPictureAspect(lens.values(), 1920, 962, false).ok()) << "rounded by the encoder";
    for (auto size : {std::make_pair(960, 1920), std::make_pair(1920, 1080)}) {
        Status st = checkPictureAspect(lens.values(), size.first, size.second, false);
        EXPECT_EQ(st.code(), kExitOffset);
        EXPECT_NE(st.message().find("--offset"), std::string::npos) << st.message();
    }
    EXPECT_GT(defaultSize(lens.values(), 3840), defaultSize(lens.values(), 1920));
}

// ---- sound spans ----

// Any sequence of spans gives each position's own samples; the source is
// read in runs that continue one another wherever the spans do.
TEST(AudioSpans, GiveExactlyTheSamplesOfEachSpan) {
    const int channels = 2;
    const int64_t track = 40 * 1024 + 500;  // the last partial AAC frame is not read
    std::vector<int16_t> pcm;
    std::vector<std::pair<int64_t, int64_t>> requests;
    int64_t failFrom = track;  // reads that start here or later fail
    AudioSpans::Source source = [&](int64_t start, int64_t frames) -> const int16_t* {
        requests.push_back({start, frames});
        if (start % 1024 || start + frames * 1024 > track || start >= failFrom) return nullptr;
        pcm.resize(static_cast<size_t>(frames) * 1024 * channels);
        for (int64_t i = 0; i < frames * 1024; ++i)
            for (int c = 0; c < channels; ++c) pcm[i * channels + c] = static_cast<int16_t>(((start + i) * 3 + c) % 30000);
        return pcm.data();
    };
    auto want = [&](int64_t pos, int c) { return pos < 40 * 1024 ? static_cast<int16_t>((pos * 3 + c) % 30000) : 0; };
    auto check = [&](AudioSpans& spans, int64_t from, int64_t to) {
        std::vector<int16_t> out;
        spans.read(from, to, out);
        ASSERT_EQ(out.size(), static_cast<size_t>(to - from) * channels);
        for (int64_t p = from; p < to; ++p)
            for (int c = 0; c < channels; ++c)
                ASSERT_EQ(out[(p - from) * channels + c], want(p, c)) << "position " << p << " of span " << from << "-" << to;
    };

    AudioSpans spans(source, channels, track, 48000);
    // Frames of 1601 or 1602 samples (30000/1001 fps at 48 kHz) from 0, on past the track's end.
    for (long long f = 1; f <= 28; ++f)
        check(spans, audioPosition(f, {30000, 1001}, 48000), audioPosition(f + 1, {30000, 1001}, 48000));
    for (size_t k = 1; k < requests.size(); ++k)
        EXPECT_EQ(requests[k].first, requests[k - 1].first + requests[k - 1].second * 1024) << "run " << k;
    // Jumps: back, forward to an odd position, an empty span.
    check(spans, 5000, 5100);
    check(spans, 17777, 20000);
    check(spans, 20000, 20000);

    // A read failure gives silence from there on, not wrong samples.
    failFrom = 32 * 1024;
    AudioSpans failing(source, channels, track, 48000);
    std::vector<int16_t> out;
    failing.read(0, 20 * 1024, out);
    failing.read(20 * 1024, 40 * 1024, out);
    for (int64_t p = 20 * 1024; p < 40 * 1024; ++p)
        ASSERT_EQ(out[(p - 20 * 1024) * channels], p < failFrom ? want(p, 0) : 0) << p;
}

}  // namespace
