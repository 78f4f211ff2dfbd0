// Flat and planet views and moving panoramas from the CPU engine against
// the truth rendered straight from synthetic worlds, and straight lines of
// the world kept straight by the flat view.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CpuEngine.h"
#include "DefaultOffset.h"
#include "FisheyeSynth.h"
#include "SceneWorlds.h"
#include "test_clips.h"

using stitcher::EngineSpec;
using stitcher::Projection;
using testutil::BgrImage;

namespace {

const double kPi = 3.14159265358979323846;
constexpr int kFrameW = 960, kFrameH = 480, kSize = 240;

struct Mat {
    double m[3][3];
};

// Rz(yaw) Ry(pitch) Rx(roll), degrees: the view rotation the options make.
Mat angles(double yaw, double pitch, double roll) {
    const double a = yaw * kPi / 180, b = pitch * kPi / 180, c = roll * kPi / 180;
    const Mat z = {{{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}}};
    const Mat y = {{{std::cos(b), 0, std::sin(b)}, {0, 1, 0}, {-std::sin(b), 0, std::cos(b)}}};
    const Mat x = {{{1, 0, 0}, {0, std::cos(c), -std::sin(c)}, {0, std::sin(c), std::cos(c)}}};
    auto mul = [](const Mat& p, const Mat& q) {
        Mat r{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 3; ++k) r.m[i][j] += p.m[i][k] * q.m[k][j];
        return r;
    };
    return mul(mul(z, y), x);
}

// Where a pixel of the view looks in the view's frame, worked out here from
// the definitions: a flat view is the pinhole looking where the middle of
// the panorama looks, (-1, 0, 0), with its up (+z) and right (0, -1, 0); a
// planet the stereographic picture of the sphere about the nadir, forward
// at the top, its sides' middles 90 + fov / 2 degrees from the nadir.
void truthDirection(Projection p, int w, int h, double fov, double x, double y, double d[3]) {
    const double fwd[3] = {-1, 0, 0}, right[3] = {0, -1, 0}, up[3] = {0, 0, 1};
    if (p == Projection::Flat) {
        const double half = std::tan(fov * kPi / 360);
        const double a = (2 * x / w - 1) * half, b = (2 * y / w - static_cast<double>(h) / w) * half;
        double n = 0;
        for (int k = 0; k < 3; ++k) n += std::pow(d[k] = fwd[k] + a * right[k] - b * up[k], 2);
        for (int k = 0; k < 3; ++k) d[k] /= std::sqrt(n);
        return;
    }
    const double edge = 2 * std::tan((90 + fov / 2) * kPi / 360);
    const double a = (2 * x / w - 1) * edge, b = (2 * y - h) / w * edge, rho = std::hypot(a, b);
    const double polar = 2 * std::atan(rho / 2), s = rho > 0 ? std::sin(polar) / rho : 0;
    for (int k = 0; k < 3; ++k) d[k] = -std::cos(polar) * up[k] + s * (a * right[k] - b * fwd[k]);
}

// The world seen through view rotation `m` (output direction d shows the
// world at m d), bilinearly from its equirectangular picture.
BgrImage truthView(const BgrImage& world, const Mat& m, Projection p, int w, int h, double fov) {
    BgrImage out(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double d[3], r[3] = {0, 0, 0};
            if (p == Projection::Equirect) {
                const double t = 2 * kPi * (x + 0.5) / w, ph = kPi * (y + 0.5) / h;
                d[0] = std::sin(ph) * std::cos(t), d[1] = std::sin(ph) * std::sin(t), d[2] = std::cos(ph);
            } else {
                truthDirection(p, w, h, fov, x + 0.5, y + 0.5, d);
            }
            for (int i = 0; i < 3; ++i)
                for (int k = 0; k < 3; ++k) r[i] += m.m[i][k] * d[k];
            double t = std::atan2(r[1], r[0]);
            if (t < 0) t += 2 * kPi;
            const double ph = std::acos(std::clamp(r[2], -1.0, 1.0));
            double rgb[3];
            testutil::sampleBilinear(world, t / (2 * kPi) * world.width, ph / kPi * world.height, true, rgb);
            for (int c = 0; c < 3; ++c) out.at(x, y)[c] = static_cast<uint8_t>(std::lround(rgb[c]));
        }
    return out;
}

struct Lenses {
    std::unique_ptr<testutil::StitchGeometry> geometry;
    testutil::StitchGeometry::FrameMap map;
    Lenses() {
        testing::internal::CaptureStdout();  // the calibration model echoes its text
        geometry = std::make_unique<testutil::StitchGeometry>(testutil::kDefaultOffset, kSize);
        testing::internal::GetCapturedStdout();
        map = geometry->frameMap(kFrameW, kFrameH, 2);
    }
};
const Lenses& lenses() {
    static const Lenses l;
    return l;
}

// The CPU engine's picture of `frame` for the view.
BgrImage engineView(BgrImage frame, const Mat& m, Projection p, int w, int h, double fov, bool moving, int size = kSize) {
    EngineSpec setup;
    setup.useCalibration(testutil::kDefaultOffset);
    setup.size = size;
    setup.frameWidth = kFrameW;
    setup.frameHeight = kFrameH;
    setup.view.projection = p;
    setup.view.width = w;
    setup.view.height = h;
    setup.view.fov = fov;
    setup.perFrameRotation = moving;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) setup.rotation[j][i] = static_cast<float>(m.m[i][j]);  // column j
    std::unique_ptr<stitcher::CpuEngine> engine;
    const stitcher::Status made = stitcher::CpuEngine::create(setup, engine);
    EXPECT_TRUE(made.ok()) << made.message();
    if (!made.ok()) return BgrImage();
    std::vector<uint8_t> out(setup.outBytes());
    // A fixed view keeps the taps of its first frame: the picture judged is
    // the second frame's.
    if (!moving) {
        std::vector<uint8_t> grey(frame.data.size(), 128);
        EXPECT_TRUE(engine->stitch(grey.data(), out.data()).ok());
    }
    EXPECT_TRUE(engine->stitch(frame.data.data(), out.data()).ok());
    return testutil::fromAlignedRows(out.data(), setup.outWidth(), setup.outHeight());
}

// Views of three worlds made by separate generators from seeded random
// parameters, including straight up and straight down, against the truth.
// Tolerances, fixed before the first run: each view at least 25 dB, and no
// more than 2 dB below the panorama the same engine stitches of that world
// (the lenses' and the synthesiser's own limit).
TEST(ViewTest, FlatAndPlanetViewsMatchTheWorld) {
    const char* chosen = std::getenv("DFS_VIEW_SEED");
    const uint32_t seed = chosen ? static_cast<uint32_t>(std::atoi(chosen)) : 7;
    const struct {
        const char* name;
        BgrImage (*make)(int, int, uint32_t);
    } worlds[] = {{"street", testutil::streetWorld}, {"room", testutil::roomWorld}, {"field", testutil::fieldWorld}};
    for (const auto& w : worlds) {
        const BgrImage world = w.make(1024, 512, seed);
        const BgrImage frame = lenses().geometry->synthesise(world, lenses().map, 0.0);
        const Mat none = angles(0, 0, 0);
        const double panorama =
            testutil::psnr(engineView(frame, none, Projection::Equirect, 2 * kSize, kSize, 100, false),
                           truthView(world, none, Projection::Equirect, 2 * kSize, kSize, 100));
        std::mt19937 rng(seed * 131u + static_cast<uint32_t>(w.name[0]));
        std::uniform_real_distribution<double> turn(-180, 180), tilt(-80, 80), fov(40, 150);
        struct View {
            double yaw, pitch, roll, fov;
            Projection p;
            bool moving;
        };
        std::vector<View> views = {{turn(rng), 90, 0, 90, Projection::Flat, false},
                                   {turn(rng), -90, turn(rng) / 4, 70, Projection::Flat, true},
                                   {turn(rng), tilt(rng), turn(rng) / 4, fov(rng), Projection::Planet, false},
                                   {turn(rng), tilt(rng), turn(rng) / 4, 0, Projection::Equirect, true}};
        for (int k = 0; k < 3; ++k) views.push_back({turn(rng), tilt(rng), turn(rng) / 4, fov(rng), Projection::Flat, k == 1});
        for (const View& v : views) {
            const int width = v.p == Projection::Equirect ? 2 * kSize : 320, height = v.p == Projection::Flat ? 180 : v.p == Projection::Planet ? 320 : kSize;
            const Mat m = angles(v.yaw, v.pitch, v.roll);
            const double dB = testutil::psnr(engineView(frame, m, v.p, width, height, v.fov, v.moving),
                                             truthView(world, m, v.p, width, height, v.fov));
            std::printf("%s, seed %u: %s yaw %.1f pitch %.1f roll %.1f fov %.1f%s: %.2f dB (panorama %.2f dB)\n", w.name,
                        seed, stitcher::projectionName(v.p), v.yaw, v.pitch, v.roll, v.fov, v.moving ? " moving" : "",
                        dB, panorama);
            EXPECT_GE(dB, 25.0) << w.name << " " << stitcher::projectionName(v.p);
            EXPECT_GE(dB, panorama - 2.0) << w.name << " " << stitcher::projectionName(v.p);
        }
    }
}

// A great circle of the world is a straight line in a flat view: the dark
// line's middle in each column where it lies whole is on one straight line,
// to within 0.3 pixel.
TEST(ViewTest, FlatViewKeepsStraightLinesStraight) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> any(-1, 1);
    for (int trial = 0; trial < 3; ++trial) {
        // The plane's normal: a line through the middle of the view, tilted.
        const double tilt = any(rng) * 0.6;
        double n[3] = {any(rng) * 0.1, std::sin(tilt), std::cos(tilt)};
        const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        BgrImage world(1024, 512);
        for (int y = 0; y < world.height; ++y)
            for (int x = 0; x < world.width; ++x) {
                const double t = 2 * kPi * (x + 0.5) / world.width, p = kPi * (y + 0.5) / world.height;
                const double d = (std::sin(p) * std::cos(t) * n[0] + std::sin(p) * std::sin(t) * n[1] + std::cos(p) * n[2]) / len;
                const double dark = std::max(0.0, 1.0 - std::fabs(std::asin(d)) / (1.2 * kPi / 180));
                std::fill(world.at(x, y), world.at(x, y) + 3, static_cast<uint8_t>(std::lround(230 - 200 * dark)));
            }
        const BgrImage frame = lenses().geometry->synthesise(world, lenses().map, 0.0);
        const int w = 320, h = 180;
        const BgrImage view = engineView(frame, angles(any(rng) * 40, 0, 0), Projection::Flat, w, h, 80, true);
        ASSERT_FALSE(view.empty());
        std::vector<double> xs, ys;
        for (int x = 8; x < w - 8; ++x) {
            double sum = 0, at = 0;
            for (int y = 0; y < h; ++y) {
                const double dark = std::max(0.0, 200.0 - view.at(x, y)[1]);
                sum += dark;
                at += dark * y;
            }
            if (sum > 500 && at / sum > 8 && at / sum < h - 8) {  // the line whole in the column
                xs.push_back(x);
                ys.push_back(at / sum);
            }
        }
        ASSERT_GT(xs.size(), static_cast<size_t>(w / 2)) << "the line is in view";
        // Least squares line, then the worst miss.
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        const double k = static_cast<double>(xs.size());
        for (size_t i = 0; i < xs.size(); ++i) sx += xs[i], sy += ys[i], sxx += xs[i] * xs[i], sxy += xs[i] * ys[i];
        const double slope = (k * sxy - sx * sy) / (k * sxx - sx * sx), cut = (sy - slope * sx) / k;
        double worst = 0;
        for (size_t i = 0; i < xs.size(); ++i) worst = std::max(worst, std::fabs(ys[i] - (cut + slope * xs[i])));
        std::printf("line %d: slope %.3f, worst miss %.3f pixel\n", trial, slope, worst);
        EXPECT_LE(worst, 0.3);
    }
}

// One resample against two: a flat view straight from the lenses against
// FFmpeg's v360 taking the same view out of our panorama (stitched at the
// size the tool picks for these lenses, turned so that its middle looks
// where the view looks), both against the truth from the world. The bar,
// fixed before the run: on each of three worlds, at least 0.3 dB better
// than v360's default (bilinear) interpolation, averaged over its views.
TEST(ViewTest, FlatViewIsSharperThanV360OnThePanorama) {
    EngineSpec lens;
    lens.useCalibration(testutil::kDefaultOffset);
    const int size = stitcher::defaultSize(lens.lens.values(), kFrameW);
    const std::string dir = testutil::makeTempDir("view_sharp");
    const struct {
        const char* name;
        BgrImage (*make)(int, int, uint32_t);
    } worlds[] = {{"street", testutil::streetWorld}, {"room", testutil::roomWorld}, {"field", testutil::fieldWorld}};
    std::mt19937 rng(20261210);
    std::uniform_real_distribution<double> turn(-180, 180), tilt(-50, 50), fov(60, 110);
    const int w = 480, h = 270;
    for (const auto& world : worlds) {
        const BgrImage picture = world.make(2048, 1024, rng());
        const BgrImage frame = lenses().geometry->synthesise(picture, lenses().map, 0.0);
        double ours = 0, theirs = 0, cubic = 0;
        const int views = 2;
        for (int k = 0; k < views; ++k) {
            const Mat m = angles(turn(rng), tilt(rng), 0);
            const double f = fov(rng), vfov = 2 * std::atan(std::tan(f * kPi / 360) * h / w) * 180 / kPi;
            const BgrImage truth = truthView(picture, m, Projection::Flat, w, h, f);
            const BgrImage direct = engineView(frame, m, Projection::Flat, w, h, f, false, size);
            const BgrImage pano = engineView(frame, m, Projection::Equirect, 2 * size, size, 100, false, size);
            ASSERT_FALSE(direct.empty() || pano.empty());
            ASSERT_TRUE(testutil::writeFile(dir + "/pano.bgr", std::string(pano.data.begin(), pano.data.end())));
            auto v360 = [&](const char* interp) {
                char filter[200];
                std::snprintf(filter, sizeof filter, "v360=e:flat:h_fov=%.4f:v_fov=%.4f:w=%d:h=%d:interp=%s", f, vfov, w, h,
                              interp);
                const std::string raw = testutil::captureCommand(
                    "ffmpeg -v error -nostdin -f rawvideo -pix_fmt bgr24 -s " + std::to_string(2 * size) + "x" +
                    std::to_string(size) + " -i " + testutil::quote(dir + "/pano.bgr") + " -vf " + filter +
                    " -f rawvideo -pix_fmt bgr24 -");
                BgrImage out(w, h);
                if (raw.size() != out.data.size()) {
                    ADD_FAILURE() << filter << ": " << raw.size() << " bytes";
                    return BgrImage();
                }
                std::copy(raw.begin(), raw.end(), out.data.begin());
                return out;
            };
            const BgrImage line = v360("line"), cube = v360("cubic");
            ASSERT_FALSE(line.empty() || cube.empty()) << "ffmpeg's v360";
            ours += testutil::psnr(direct, truth) / views;
            theirs += testutil::psnr(line, truth) / views;
            cubic += testutil::psnr(cube, truth) / views;
        }
        std::printf("%s: flat view from the lenses %.2f dB; v360 on the %dx%d panorama %.2f dB (bilinear), %.2f dB (cubic)\n",
                    world.name, ours, 2 * size, size, theirs, cubic);
        EXPECT_GE(ours, theirs + 0.3) << world.name;
    }
}

}  // namespace
