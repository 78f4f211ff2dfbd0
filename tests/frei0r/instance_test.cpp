// The plug-in as a host loads it (dlopen, the f0r_* entry points): one
// instance called from several threads in shuffled frame order, and two
// instances at once, give the bytes of in-order calls; parameters that
// cannot be used give a message and a defined picture; set-up happens only
// when a parameter changes; the view text turns as the three angles.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <frei0r.h>
}

#include "DefaultOffset.h"
#include "DepthScenes.h"
#include "FisheyeSynth.h"
#include "StitchFilter.h"
#include "test_clips.h"

namespace {

using testutil::quote;

struct Plugin {
    void* so = nullptr;
    decltype(&f0r_init) init = nullptr;
    decltype(&f0r_construct) construct = nullptr;
    decltype(&f0r_destruct) destruct = nullptr;
    decltype(&f0r_set_param_value) set = nullptr;
    decltype(&f0r_update) update = nullptr;

    Plugin() {
        so = dlopen(DFS_FREI0R_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        if (!so) return;
        init = reinterpret_cast<decltype(init)>(dlsym(so, "f0r_init"));
        construct = reinterpret_cast<decltype(construct)>(dlsym(so, "f0r_construct"));
        destruct = reinterpret_cast<decltype(destruct)>(dlsym(so, "f0r_destruct"));
        set = reinterpret_cast<decltype(set)>(dlsym(so, "f0r_set_param_value"));
        update = reinterpret_cast<decltype(update)>(dlsym(so, "f0r_update"));
    }
    bool ok() const { return so && init && construct && destruct && set && update && init() == 1; }
};

const int kW = 480, kH = 240, kFrames = 8;

// Frames of the sample as RGBA, the second lens of each metered apart by its
// own amount, so that gains carried from one call to the next would show.
std::vector<std::vector<uint32_t>> sampleFrames() {
    const std::string raw = testutil::captureCommand(
        "ffmpeg -nostdin -loglevel error -i " + quote(std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4") +
        " -frames:v " + std::to_string(kFrames) + " -vf scale=" + std::to_string(kW) + ":" + std::to_string(kH) +
        " -f rawvideo -pix_fmt rgba -");
    std::vector<std::vector<uint32_t>> frames;
    const size_t bytes = static_cast<size_t>(kW) * kH * 4;
    if (raw.size() != bytes * kFrames) return frames;
    for (int k = 0; k < kFrames; ++k) {
        std::vector<uint32_t> f(static_cast<size_t>(kW) * kH);
        uint8_t* p = reinterpret_cast<uint8_t*>(f.data());
        std::copy(raw.begin() + k * bytes, raw.begin() + (k + 1) * bytes, p);
        const double gain = 0.6 + 0.1 * k;
        for (int y = 0; y < kH; ++y)
            for (int x = kW / 2; x < kW; ++x)
                for (int c = 0; c < 3; ++c) {
                    uint8_t& v = p[(static_cast<size_t>(y) * kW + x) * 4 + c];
                    v = static_cast<uint8_t>(std::min(255.0, std::round(v * gain)));
                }
        frames.push_back(std::move(f));
    }
    return frames;
}

TEST(Frei0rInstance, ThreadsAndShuffledOrderGiveTheInOrderFrames) {
    Plugin p;
    ASSERT_TRUE(p.ok()) << dlerror();
    // All of it on a thread that ends before the test does, as a host's
    // render threads are: the main thread keeps none of the plug-in's
    // per-thread storage (the leak checker's scan of it at exit is unsafe).
    std::thread([&] {
        const std::vector<std::vector<uint32_t>> frames = sampleFrames();
        ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));

        // Two instances with different views and layouts, as one host would set them.
        auto make = [&p](double yaw, const char* layout) {
            f0r_instance_t i = p.construct(kW, kH);
            double y = yaw;
            f0r_param_string l = const_cast<char*>(layout);
            p.set(i, &y, dfsfrei0r::kYaw);
            p.set(i, &l, dfsfrei0r::kLayout);
            return i;
        };
        const size_t px = static_cast<size_t>(kW) * kH;
        std::vector<f0r_instance_t> instances = {make(30, "stitch"), make(-50, "stereo")};
        std::vector<std::vector<uint32_t>> inOrder(2 * kFrames, std::vector<uint32_t>(px));
        for (int i = 0; i < 2; ++i)
            for (int k = 0; k < kFrames; ++k) p.update(instances[i], k / 25.0, frames[k].data(), inOrder[i * kFrames + k].data());
        for (f0r_instance_t i : instances) p.destruct(i);

        // Fresh instances: their set-up too happens under the threads.
        instances = {make(30, "stitch"), make(-50, "stereo")};
        std::vector<int> jobs(2 * kFrames * 6);  // every frame of both instances six times
        for (size_t j = 0; j < jobs.size(); ++j) jobs[j] = static_cast<int>(j % (2 * kFrames));
        std::shuffle(jobs.begin(), jobs.end(), std::mt19937(7));
        std::vector<std::vector<uint32_t>> got(jobs.size(), std::vector<uint32_t>(px));
        std::atomic<size_t> next{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t)
            threads.emplace_back([&] {
                for (size_t j; (j = next++) < jobs.size();) {
                    const int i = jobs[j] / kFrames, k = jobs[j] % kFrames;
                    p.update(instances[i], k / 25.0, frames[k].data(), got[j].data());
                }
            });
        for (std::thread& t : threads) t.join();
        for (f0r_instance_t i : instances) p.destruct(i);
        for (size_t j = 0; j < jobs.size(); ++j)
            EXPECT_TRUE(got[j] == inOrder[jobs[j]]) << "instance " << jobs[j] / kFrames << ", frame " << jobs[j] % kFrames;
        // The frames' own gains: matching made the lenses alike in each.
        EXPECT_FALSE(inOrder[0] == inOrder[1]);
    }).join();
}

// The messages of the filter (not the plug-in's copy) caught for a test.
std::mutex g_lines;
std::string g_said;
void catchLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_lines);
    g_said += line + "\n";
}
std::string said() {
    std::lock_guard<std::mutex> lock(g_lines);
    std::string s;
    s.swap(g_said);
    return s;
}

struct GreyRun {
    std::vector<uint32_t> out;
    std::string said;
};

// One frame of `w` x `h` grey pixels through a filter set up by `set`;
// `inPlace`: the host gives the same memory in and out.
template <typename Set>
GreyRun runGrey(int w, int h, Set set, bool inPlace = false) {
    dfsfrei0r::setSay(catchLine);
    dfsfrei0r::StitchFilter f(w, h);
    set(f);
    std::vector<uint32_t> in(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < in.size(); ++i)  // greys, never black, different all over
        in[i] = 0xff000000u | 0x010101u * static_cast<uint32_t>(40 + (i % w * 7 + i / w * 3) % 200);
    GreyRun r;
    r.out.assign(in.size(), 0x12345678u);
    if (inPlace) r.out = in;
    f.update(inPlace ? r.out.data() : in.data(), r.out.data());
    r.said = said();
    dfsfrei0r::setSay(nullptr);
    return r;
}

void setText(dfsfrei0r::StitchFilter& f, int index, const char* text) {
    const char* t = text;
    f.setParam(index, &t);
}

bool black(uint32_t px) { return px == 0xff000000u; }

TEST(Frei0rInstance, UnusableParametersGiveAMessageAndADefinedPicture) {
    const GreyRun plain = runGrey(256, 128, [](dfsfrei0r::StitchFilter&) {});
    EXPECT_NE(plain.said.find("built-in default"), std::string::npos) << plain.said;
    EXPECT_FALSE(black(plain.out[128 * 64 + 128]));

    // A garbage calibration, a clip that is not there, a layout, projection
    // and seam of no kind, an angle and a field of view that are not numbers:
    // the built-in calibration's picture.
    const GreyRun bad = runGrey(256, 128, [](dfsfrei0r::StitchFilter& f) {
        setText(f, dfsfrei0r::kCalibration, "2_banana_7");
        setText(f, dfsfrei0r::kClip, "/nonexistent/clip.mp4");
        setText(f, dfsfrei0r::kLayout, "sideways");
        const double nan = std::nan("");
        f.setParam(dfsfrei0r::kYaw, &nan);
        f.setParam(dfsfrei0r::kFov, &nan);
        setText(f, dfsfrei0r::kView, "10,20,30,40");
        setText(f, dfsfrei0r::kProjection, "fisheye");
        setText(f, dfsfrei0r::kSeam, "1.5 metres");
    });
    EXPECT_TRUE(bad.out == plain.out);
    for (const char* what : {"'2_banana_7' cannot be used", "/nonexistent/clip.mp4", "sideways", "'10,20,30,40' is not",
                             "built-in default", "'fisheye' is not", "'1.5 metres' is not"})
        EXPECT_NE(bad.said.find(what), std::string::npos) << what << " in: " << bad.said;

    // Not 2:1 and not a multiple of 8: the panorama (2N x N, N = 75) centred
    // between black bars, every pixel written.
    const GreyRun odd = runGrey(150, 101, [](dfsfrei0r::StitchFilter&) {});
    const int top = (101 - 75) / 2;
    for (int y = 0; y < 101; ++y) {
        const bool inside = y >= top && y < top + 75;
        EXPECT_EQ(!black(odd.out[static_cast<size_t>(y) * 150 + 75]), inside) << "row " << y;
        EXPECT_NE(odd.out[static_cast<size_t>(y) * 150 + 149], 0x12345678u) << "row " << y;
    }
    EXPECT_NE(odd.said.find("stretched"), std::string::npos) << odd.said;
    // Wider than 2:1: the panorama (N = 50) centred between black columns.
    const GreyRun wider = runGrey(200, 50, [](dfsfrei0r::StitchFilter&) {});
    for (int x = 0; x < 200; ++x) {
        const uint32_t px = wider.out[25 * 200 + static_cast<size_t>(x)];
        EXPECT_EQ(!black(px), x >= 50 && x < 150) << "column " << x;
        EXPECT_EQ(px >> 24, 0xffu) << "column " << x;
    }
    // A host that stitches a frame in place gets the same picture.
    EXPECT_TRUE(runGrey(256, 128, [](dfsfrei0r::StitchFilter&) {}, true).out == plain.out);

    // Frames too small for a panorama come out black, with the reason.
    for (const int w : {1, 7, 15}) {
        const GreyRun tiny = runGrey(w, w / 2 + 1, [](dfsfrei0r::StitchFilter&) {});
        EXPECT_TRUE(std::all_of(tiny.out.begin(), tiny.out.end(), black)) << w;
        EXPECT_NE(tiny.said.find("too small"), std::string::npos) << w << ": " << tiny.said;
    }
    // And frames wider than the engine takes.
    const GreyRun wide = runGrey(140000, 16, [](dfsfrei0r::StitchFilter&) {});
    EXPECT_TRUE(std::all_of(wide.out.begin(), wide.out.end(), black));
    EXPECT_NE(wide.said.find("cannot stitch 140000x16 frames"), std::string::npos) << wide.said;
}

}  // namespace

namespace {

// Hosts set every parameter before every frame (MLT does): only a change
// sets the engine up again, and of the panorama's view only the first (from
// then on the engine takes the view per frame).
TEST(Frei0rInstance, SetsUpOnlyWhenAParameterChanges) {
    dfsfrei0r::setSay(catchLine);
    dfsfrei0r::StitchFilter f(128, 64);
    std::vector<uint32_t> in(128 * 64, 0xff808080u), out(in.size());
    for (int k = 0; k < 5; ++k) {
        setText(f, dfsfrei0r::kLayout, "stitch");
        const double yaw = k < 2 ? 10.0 : 10.0 * k, on = 1.0;
        f.setParam(dfsfrei0r::kYaw, &yaw);
        f.setParam(dfsfrei0r::kColorMatch, &on);
        f.update(in.data(), out.data());
    }
    EXPECT_EQ(f.setUps(), 2);
    // A panorama has no field of view: changing it leaves the fixed view's engine.
    dfsfrei0r::StitchFilter g(128, 64);
    for (int k = 0; k < 3; ++k) {
        const double fov = 0.3 + 0.2 * k;
        g.setParam(dfsfrei0r::kFov, &fov);
        g.update(in.data(), out.data());
    }
    EXPECT_EQ(g.setUps(), 1);
    said();
    dfsfrei0r::setSay(nullptr);
}

}  // namespace

namespace {

// The view as one text turns as the three angles do; an empty one leaves them.
TEST(Frei0rInstance, ViewTextTurnsAsTheThreeAngles) {
    const GreyRun angles = runGrey(128, 64, [](dfsfrei0r::StitchFilter& f) {
        const double yaw = 10, pitch = -20, roll = 5;
        f.setParam(dfsfrei0r::kYaw, &yaw);
        f.setParam(dfsfrei0r::kPitch, &pitch);
        f.setParam(dfsfrei0r::kRoll, &roll);
    });
    const GreyRun text = runGrey(128, 64, [](dfsfrei0r::StitchFilter& f) { setText(f, dfsfrei0r::kView, " 10, -20 5 "); });
    const GreyRun none = runGrey(128, 64, [](dfsfrei0r::StitchFilter&) {});
    EXPECT_TRUE(text.out == angles.out);
    EXPECT_FALSE(text.out == none.out);
}

}  // namespace

namespace {

// 3-byte pictures as a host's 4-byte pixels and back.
std::vector<uint32_t> toHost(const testutil::BgrImage& im) {
    std::vector<uint32_t> px(static_cast<size_t>(im.width) * im.height);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = 0xff000000u | im.data[3 * i] | im.data[3 * i + 1] << 8 | static_cast<uint32_t>(im.data[3 * i + 2]) << 16;
    return px;
}

testutil::BgrImage fromHost(const std::vector<uint32_t>& px, int w, int h) {
    testutil::BgrImage im(w, h);
    for (size_t i = 0; i < px.size(); ++i)
        for (int c = 0; c < 3; ++c) im.data[3 * i + c] = static_cast<uint8_t>(px[i] >> (8 * c));
    return im;
}

// A filter with the default calibration and `seam`, baseline 30 mm.
std::unique_ptr<dfsfrei0r::StitchFilter> seamFilter(int w, int h, const char* seam) {
    std::unique_ptr<dfsfrei0r::StitchFilter> f(new dfsfrei0r::StitchFilter(w, h));
    setText(*f, dfsfrei0r::kCalibration, testutil::kDefaultOffset);
    setText(*f, dfsfrei0r::kSeam, seam);
    const double baseline = 30.0 / 200.0;
    f->setParam(dfsfrei0r::kBaseline, &baseline);
    return f;
}

testutil::BgrImage stitchOne(dfsfrei0r::StitchFilter& f, const testutil::BgrImage& frame) {
    const std::vector<uint32_t> in = toHost(frame);
    std::vector<uint32_t> out(in.size());
    f.update(in.data(), out.data());
    return fromHost(out, frame.width, frame.height);
}

// Near things at the seams, on ray-cast scenes of three kinds of place
// (seeded) with lenses 30 mm apart: measured on each frame alone, the
// seams line them up closer to the view from the camera's centre than the
// far field's seams do (PSNR over the cross-fade bands within 60 degrees
// of the horizon); a scene with nothing near keeps the far field's picture.
// One filter of each kind takes the scenes one after another, as frames.
TEST(Frei0rInstance, SeamAutoLinesUpNearThingsAndKeepsAFarScene) {
    const int w = 640, h = 320;  // the panorama fills the frame
    testing::internal::CaptureStdout();  // the geometry echoes the offset text
    const testutil::StitchGeometry geometry(testutil::kDefaultOffset, h);
    testing::internal::GetCapturedStdout();
    std::vector<uint8_t> mask = geometry.blendBandMask(0.0);
    for (int row = 0; row < h; ++row)
        if (std::fabs(90.0 - 180.0 * (row + 0.5) / h) > 60.0) std::fill_n(mask.begin() + static_cast<size_t>(row) * w, w, 0);
    using Maker = testutil::DepthScene (*)(const testutil::StitchGeometry&, int, int, uint32_t);
    const Maker makers[3] = {testutil::yardScene, testutil::hallScene, testutil::streetScene};
    std::mt19937 seeds(61210);
    const auto far = seamFilter(w, h, "far"), measured = seamFilter(w, h, "auto");
    for (int k = 0; k < 3; ++k) {
        const testutil::DepthScene scene = makers[k](geometry, w, h, seeds());
        const testutil::BgrImage truth = scene.truth(w, h), frame = scene.frame(geometry, w, h, 30.0);
        const double before = testutil::psnr(stitchOne(*far, frame), truth, &mask);
        const double after = testutil::psnr(stitchOne(*measured, frame), truth, &mask);
        std::printf("scene %d: band PSNR far %.2f dB, auto %.2f dB\n", k, before, after);
        EXPECT_GT(after, before + 0.5) << "scene " << k;
    }
    const testutil::BgrImage distant = testutil::farScene(w, h, seeds()).frame(geometry, w, h, 30.0);
    EXPECT_GE(testutil::psnr(stitchOne(*measured, distant), stitchOne(*far, distant)), 50.0);
}

}  // namespace

namespace {

// A view keyframed in an editor: every frame its own angles (and, flat, its
// own field of view), the frames in shuffled order from several threads
// through one instance, each set and stitched under the host's own lock as
// a host does. Each frame shows the view that a filter set up for it alone
// shows: a flat or planet view to the byte, and with no new set-up; the panorama
// (turned per frame from the identity view after one new set-up, where the
// fixed view reads the lenses once) within 33 dB.
TEST(Frei0rInstance, ViewChangingEveryFrameInShuffledOrderOnThreads) {
    dfsfrei0r::setSay(catchLine);  // the built-in calibration, said on every set-up
    const std::vector<std::vector<uint32_t>> frames = sampleFrames();
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    const size_t px = static_cast<size_t>(kW) * kH;
    auto setView = [](dfsfrei0r::StitchFilter& f, int k) {
        const double yaw = -40.0 + 29.0 * k, pitch = 15.0 - 8.0 * k, fov = (60.0 + 13.0 * k) / 180.0;
        f.setParam(dfsfrei0r::kYaw, &yaw);
        f.setParam(dfsfrei0r::kPitch, &pitch);
        f.setParam(dfsfrei0r::kFov, &fov);
    };
    const int views = 5;
    for (const char* projection : {"flat", "planet", "equirect"}) {
        const bool flat = std::string(projection) != "equirect";
        std::vector<std::vector<uint32_t>> alone(views, std::vector<uint32_t>(px));
        for (int k = 0; k < views; ++k) {
            dfsfrei0r::StitchFilter f(kW, kH);
            setText(f, dfsfrei0r::kProjection, projection);
            setView(f, k);
            f.update(frames[k].data(), alone[k].data());
        }
        dfsfrei0r::StitchFilter shared(kW, kH);
        setText(shared, dfsfrei0r::kProjection, projection);
        std::vector<int> jobs(2 * views);
        for (size_t j = 0; j < jobs.size(); ++j) jobs[j] = static_cast<int>(j % views);
        std::shuffle(jobs.begin(), jobs.end(), std::mt19937(11));
        std::vector<std::vector<uint32_t>> got(jobs.size(), std::vector<uint32_t>(px));
        std::mutex host;
        std::atomic<size_t> next{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (size_t j; (j = next++) < jobs.size();) {
                    std::lock_guard<std::mutex> lock(host);
                    setView(shared, jobs[j]);
                    shared.update(frames[jobs[j]].data(), got[j].data());
                }
            });
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(shared.setUps(), flat ? 1 : 2) << projection;
        for (size_t j = 0; j < jobs.size(); ++j) {
            const int k = jobs[j];
            if (flat) {
                EXPECT_TRUE(got[j] == alone[k]) << projection << ", frame " << k;
            } else {
                const double db = testutil::psnr(fromHost(got[j], kW, kH), fromHost(alone[k], kW, kH));
                EXPECT_GE(db, 33.0) << "equirect, frame " << k;
            }
        }
    }
    said();
    dfsfrei0r::setSay(nullptr);
}

}  // namespace
