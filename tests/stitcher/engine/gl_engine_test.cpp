// The GL engine's own passes against the CPU engine: flat and planet views
// drawn straight from the lenses, with the view and the field of view
// changed frame by frame, and the seams warped on a scene with near things.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../../libspherecast/GlDriverPin.h"
#include "CpuEngine.h"
#include "DefaultOffset.h"
#include "DepthScenes.h"
#include "FisheyeSynth.h"
#include "GlEngine.h"
#include "SceneWorlds.h"
#include "SeamTracker.h"
#include "spherecast_internal.h"

using namespace stitcher;
using testutil::BgrImage;

namespace {

const double kPi = 3.14159265358979323846;
constexpr int kSize = 128, kFrameW = 512, kFrameH = 256;

const testutil::StitchGeometry& geometry() { return testutil::defaultGeometry(kSize); }

EngineSpec setup() {
    EngineSpec s;
    s.useCalibration(testutil::kDefaultOffset);
    s.size = kSize;
    s.frameWidth = kFrameW;
    s.frameHeight = kFrameH;
    s.threads = 2;
    return s;
}

struct Pair {
    std::unique_ptr<Engine> cpu, gl;
};

Pair engines(const EngineSpec& s) {
    (void)gltest::kDriverPin;  // the software driver stays mapped: its allocations are not reported as ours
    Pair p;
    Status st = makeCpuEngine(s, p.cpu);
    EXPECT_TRUE(st.ok()) << st.message();
    spherecast::SetMessageSink([](int, const std::string&) {});  // the renderer's progress lines
    st = makeGlEngine(s, p.gl);
    EXPECT_TRUE(st.ok()) << st.message();
    return p;
}

BgrImage stitch(Engine& e, const EngineSpec& s, BgrImage frame) {
    std::vector<uint8_t> rows(s.outBytes());
    EXPECT_TRUE(e.stitch(frame.data.data(), rows.data()).ok());
    return testutil::fromAlignedRows(rows.data(), s.outWidth(), s.outHeight());
}

// Rz(yaw) Ry(pitch) Rx(roll), degrees, as the renderer takes it (m[i] column i).
void angles(double yaw, double pitch, double roll, float m[4][4]) {
    const double a = yaw * kPi / 180, b = pitch * kPi / 180, c = roll * kPi / 180;
    const double z[3][3] = {{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}};
    const double y[3][3] = {{std::cos(b), 0, std::sin(b)}, {0, 1, 0}, {-std::sin(b), 0, std::cos(b)}};
    const double x[3][3] = {{1, 0, 0}, {0, std::cos(c), -std::sin(c)}, {0, std::sin(c), std::cos(c)}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m[i][j] = i == j ? 1.0f : 0.0f;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double v = 0;
            for (int k = 0; k < 3; ++k)
                for (int l = 0; l < 3; ++l) v += z[i][k] * y[k][l] * x[l][j];
            m[j][i] = static_cast<float>(v);
        }
}

// Each projection on a world of its own: the first view as the engines are
// made with it, the others set frame by frame, straight up and down among
// them. Both engines at least 40 dB apart from each other.
TEST(GlEngineViews, FlatAndPlanetMatchTheCpuEngine) {
    std::mt19937 rng(20261210);
    std::uniform_real_distribution<double> turn(-180, 180), tilt(-90, 90), fov(40, 140);
    const struct {
        Projection p;
        int w, h;
        BgrImage (*world)(int, int, uint32_t);
    } cases[] = {{Projection::Flat, 320, 180, testutil::streetWorld}, {Projection::Planet, 200, 200, testutil::roomWorld}};
    for (const auto& c : cases) {
        const BgrImage frame = geometry().synthesise(c.world(1024, 512, rng()), kFrameW, kFrameH);
        EngineSpec s = setup();
        s.view.projection = c.p;
        s.view.width = c.w;
        s.view.height = c.h;
        s.view.fov = 90;
        s.perFrameRotation = true;
        const double yaw0 = turn(rng), pitch0 = tilt(rng);  // drawn in order, whatever the compiler
        angles(yaw0, pitch0, 0, s.rotation);
        Pair e = engines(s);
        ASSERT_TRUE(e.cpu && e.gl);
        for (int v = 0; v < 4; ++v) {
            if (v > 0) {
                const double f = fov(rng), yaw = turn(rng), pitch = v == 1 ? 90 : v == 2 ? -90 : tilt(rng);
                const double roll = turn(rng) / 4;
                float m[4][4];
                angles(yaw, pitch, roll, m);
                ASSERT_TRUE(e.cpu->setFov(f) && e.gl->setFov(f));
                ASSERT_TRUE(e.cpu->setRotation(m) && e.gl->setRotation(m));
            }
            const double dB = testutil::psnr(stitch(*e.cpu, s, frame), stitch(*e.gl, s, frame));
            std::printf("%s view %d: CPU vs GL %.2f dB\n", projectionName(c.p), v, dB);
            EXPECT_GE(dB, 40.0) << projectionName(c.p) << " view " << v;
        }
    }
}

// On a scene with near things at the seams, the GL engine warps them as the
// CPU engine does, in the panorama, in a view turned per frame and in flat
// and planet views that show a seam; in the panorama only band pixels
// change from its far-field stitch, and a shift of nothing leaves that
// stitch byte for byte.
TEST(GlEngineSeams, WarpMatchesTheCpuEngineAndNoShiftIsThePlainStitch) {
    const testutil::DepthScene scene = testutil::yardScene(geometry(), 2 * kSize, kSize, 42);
    const BgrImage frame = scene.frame(geometry(), kFrameW, kFrameH, 30.0);
    SeamSettings settings;
    settings.baselineMm = 30.0;
    SeamTracker tracker(geometry().model(), kSize, kFrameW, kFrameH, settings);
    const SeamShift& shift = tracker.measure(frame.data.data());
    ASSERT_TRUE(shift.any());
    SeamShift none = shift;
    for (auto& rows : none.shift) std::fill(rows.begin(), rows.end(), 0.0f);
    const std::vector<uint8_t> bands = geometry().blendBandMask(0.0);

    double seams[2];
    testutil::seamAzimuths(geometry(), seams);
    for (int kind = 0; kind < 4; ++kind) {
        const bool turned = kind == 1, view = kind >= 2;
        SCOPED_TRACE(kind == 0 ? "panorama" : kind == 1 ? "turned" : kind == 2 ? "flat" : "planet");
        EngineSpec s = setup();
        s.perFrameRotation = turned;
        if (view) {
            s.view = ViewShape{kind == 2 ? Projection::Flat : Projection::Planet, kind == 2 ? 160 : 128, kind == 2 ? 90 : 128, 70.0};
            angles(seams[1] * 180 / kPi - 180 + 4, 6, -3, s.rotation);
        }
        Pair e = engines(s);
        ASSERT_TRUE(e.cpu && e.gl);
        if (turned) {
            float m[4][4];
            angles(40, 15, -5, m);
            ASSERT_TRUE(e.cpu->setRotation(m) && e.gl->setRotation(m));
        }
        const BgrImage plain = stitch(*e.gl, s, frame);
        ASSERT_TRUE(e.gl->setSeamShift(none));
        EXPECT_TRUE(stitch(*e.gl, s, frame).data == plain.data) << "no shift changed the GL stitch";

        ASSERT_TRUE(e.cpu->setSeamShift(shift) && e.gl->setSeamShift(shift));
        const BgrImage cpu = stitch(*e.cpu, s, frame), gl = stitch(*e.gl, s, frame);
        // The pixels the warp changed.
        std::vector<uint8_t> warped(static_cast<size_t>(s.outWidth()) * s.outHeight(), 0);
        size_t changed = 0;
        for (size_t i = 0; i < warped.size(); ++i)
            for (int c = 0; c < 3; ++c)
                if (std::abs(gl.data[i * 3 + c] - plain.data[i * 3 + c]) > 2) warped[i] = 1;
        for (uint8_t w : warped) changed += w;
        for (size_t i = 0; i < bands.size() && kind == 0; ++i)
            for (int c = 0; c < 3 && !bands[i]; ++c)
                ASSERT_EQ(gl.data[i * 3 + c], plain.data[i * 3 + c]) << "pixel " << i << " outside the bands";
        const double all = testutil::psnr(cpu, gl), there = testutil::psnr(cpu, gl, &warped);
        const double before = testutil::psnr(cpu, plain, &warped);
        std::printf("seam warp, %s: CPU vs GL %.2f dB, %.2f dB over the %zu pixels warped (%.2f dB unwarped)\n",
                    kind == 0 ? "panorama" : kind == 1 ? "turned" : kind == 2 ? "flat" : "planet", all, there, changed, before);
        EXPECT_GT(changed, static_cast<size_t>(s.outHeight()) / (view ? 2 : 1));
        EXPECT_GE(all, 40.0);
        EXPECT_GE(there, 40.0);
        EXPECT_LT(before, 35.0) << "the scene's near things need no warp";
    }
}

}  // namespace
