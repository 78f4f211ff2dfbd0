#include "DepthScenes.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "DefaultOffset.h"
#include "DualFisheyeModel.h"
#include "SceneWorlds.h"

namespace testutil {

const StitchGeometry& defaultGeometry(int size) {
    static std::mutex lock;
    static std::map<int, std::unique_ptr<StitchGeometry>> made;
    std::lock_guard<std::mutex> hold(lock);
    std::unique_ptr<StitchGeometry>& g = made[size];
    if (!g) {
        testing::internal::CaptureStdout();  // the geometry echoes the offset text
        g = std::make_unique<StitchGeometry>(kDefaultOffset, size);
        testing::internal::GetCapturedStdout();
    }
    return *g;
}

namespace {

constexpr double kPi = 3.14159265358979323846;

double hash(uint32_t seed, int64_t i, int64_t j) {
    uint64_t h = seed * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(i) * 0xC2B2AE3D27D4EB4Full ^
                 static_cast<uint64_t>(j) * 0x165667B19E3779F9ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return static_cast<double>(h & 0xFFFFFF) / 16777216.0;
}

void paletteColour(uint32_t seed, int64_t i, int64_t j, double out[3]) {
    for (int c = 0; c < 3; ++c) out[c] = 30 + 200 * hash(seed + static_cast<uint32_t>(c) * 7919u, i, j);
}

struct Ray {
    double o[3], d[3];
};

// A thing where it stands at one moment: its direction's sine and cosine
// are shared by every ray cast at that moment.
struct Placed {
    const DepthScene::Thing* t;
    double az, cosAz, sinAz;
};

std::vector<Placed> placeThings(const DepthScene& s, double seconds) {
    std::vector<Placed> placed;
    for (const DepthScene::Thing& t : s.things) {
        const double az = t.azimuth + t.speed * seconds / t.distance;
        placed.push_back({&t, az, std::cos(az), std::sin(az)});
    }
    return placed;
}

// Distance along the ray to the thing, or a negative number; its colour.
double hitThing(const Placed& p, const Ray& r, double colour[3]) {
    const DepthScene::Thing& t = *p.t;
    const double az = p.az;
    const double cx = t.distance * p.cosAz, cy = t.distance * p.sinAz;
    if (!t.pole) {
        const double n[2] = {-p.cosAz, -p.sinAz};
        const double denom = r.d[0] * n[0] + r.d[1] * n[1];
        if (std::fabs(denom) < 1e-9) return -1;
        const double dist = ((cx - r.o[0]) * n[0] + (cy - r.o[1]) * n[1]) / denom;
        if (dist <= 0) return -1;
        const double px = r.o[0] + dist * r.d[0], py = r.o[1] + dist * r.d[1], pz = r.o[2] + dist * r.d[2];
        const double a = (px - cx) * -p.sinAz + (py - cy) * p.cosAz;
        if (std::fabs(a) > t.width / 2 || pz < t.bottom || pz > t.top) return -1;
        paletteColour(t.seed, static_cast<int64_t>(std::floor(a / 0.05)), static_cast<int64_t>(std::floor(pz / 0.05)), colour);
        if (std::fmod(a + 10.0, 0.15) < 0.015 || std::fmod(pz + 10.0, 0.2) < 0.015)
            for (int c = 0; c < 3; ++c) colour[c] *= 0.2;
        return dist;
    }
    const double R = t.width / 2, ox = r.o[0] - cx, oy = r.o[1] - cy;
    const double A = r.d[0] * r.d[0] + r.d[1] * r.d[1], B = 2 * (ox * r.d[0] + oy * r.d[1]), C = ox * ox + oy * oy - R * R;
    const double disc = B * B - 4 * A * C;
    if (A < 1e-12 || disc < 0) return -1;
    const double dist = (-B - std::sqrt(disc)) / (2 * A);
    if (dist <= 0) return -1;
    const double pz = r.o[2] + dist * r.d[2];
    if (pz < t.bottom || pz > t.top) return -1;
    const double around = std::atan2(oy + dist * r.d[1], ox + dist * r.d[0]);
    paletteColour(t.seed, 0, static_cast<int64_t>(std::floor(pz / 0.06)) & 1, colour);
    if (std::fmod(around - az + 4 * kPi, 2 * kPi) < 0.5)
        for (int c = 0; c < 3; ++c) colour[c] *= 0.25;
    return dist;
}

void cast(const DepthScene& s, const std::vector<Placed>& things, const Ray& r, double out[3]) {
    double best = 1e30, c[3];
    for (const Placed& t : things) {
        const double d = hitThing(t, r, c);
        if (d > 0 && d < best) {
            best = d;
            std::copy(c, c + 3, out);
        }
    }
    if (s.groundBelow > 0 && r.d[2] < -1e-6) {
        const double d = (-s.groundBelow - r.o[2]) / r.d[2];
        if (d > 0 && d < best) {
            const double x = r.o[0] + d * r.d[0], y = r.o[1] + d * r.d[1];
            const int64_t i = static_cast<int64_t>(std::floor(x / s.tile)), j = static_cast<int64_t>(std::floor(y / s.tile));
            const double fx = x / s.tile - std::floor(x / s.tile), fy = y / s.tile - std::floor(y / s.tile);
            const double joint = 0.03 / s.tile;
            const double v = 90 + 90 * hash(s.groundSeed, i, j) + 30 * hash(s.groundSeed + 1, static_cast<int64_t>(std::floor(x / 0.04)),
                                                                          static_cast<int64_t>(std::floor(y / 0.04)));
            const bool inJoint = fx < joint || fy < joint;
            out[0] = inJoint ? 35 : v * 0.8;
            out[1] = inJoint ? 35 : v * 0.95;
            out[2] = inJoint ? 35 : v;
            return;
        }
    }
    if (best < 1e30) return;
    const int W = s.environment.width, H = s.environment.height;
    const double p = std::acos(std::max(-1.0, std::min(1.0, r.d[2]))), t = std::atan2(r.d[1], r.d[0]);
    sampleBilinear(s.environment, (t < 0 ? t + 2 * kPi : t) / (2 * kPi) * W, p / kPi * H, true, out);
}

void direction(double col, double row, int W, int H, double d[3]) {
    const double t = 2 * kPi * col / W, p = kPi * row / H;
    d[0] = std::sin(p) * std::cos(t);
    d[1] = std::sin(p) * std::sin(t);
    d[2] = std::cos(p);
}

// Runs f(row) for rows [0, n) on a few threads.
template <class F>
void parallelRows(int n, F f) {
    const int threads = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    std::vector<std::thread> pool;
    for (int k = 0; k < threads; ++k)
        pool.emplace_back([&, k] {
            for (int row = k; row < n; row += threads) f(row);
        });
    for (std::thread& t : pool) t.join();
}

uint8_t byte(double v) { return static_cast<uint8_t>(std::min(255.0, std::max(0.0, v + 0.5))); }

}  // namespace

BgrImage DepthScene::truth(int width, int height, double seconds) const {
    BgrImage out(width, height);
    const std::vector<Placed> things = placeThings(*this, seconds);
    parallelRows(height, [&](int row) {
        for (int col = 0; col < width; ++col) {
            double sum[3] = {0, 0, 0};
            for (int k = 0; k < 4; ++k) {
                Ray r = {{0, 0, 0}, {0, 0, 0}};
                direction(col + 0.25 + 0.5 * (k & 1), row + 0.25 + 0.5 * (k >> 1), width, height, r.d);
                double c[3];
                cast(*this, things, r, c);
                for (int i = 0; i < 3; ++i) sum[i] += c[i] / 4;
            }
            for (int i = 0; i < 3; ++i) out.at(col, row)[i] = byte(sum[i]);
        }
    });
    return out;
}

BgrImage DepthScene::frame(const StitchGeometry& geometry, int frameWidth, int frameHeight, double baselineMm,
                           double seconds) const {
    // Where each frame pixel looks, once per geometry and size.
    static std::mutex lock;
    static std::map<std::tuple<const StitchGeometry*, int, int>, std::shared_ptr<StitchGeometry::FrameMap>> maps;
    std::shared_ptr<StitchGeometry::FrameMap> map;
    {
        std::lock_guard<std::mutex> hold(lock);
        auto& m = maps[std::make_tuple(&geometry, frameWidth, frameHeight)];
        if (!m) m = std::make_shared<StitchGeometry::FrameMap>(geometry.frameMap(frameWidth, frameHeight, 2));
        map = m;
    }
    const int W = geometry.width(), H = geometry.height();
    // Each lens's optical centre: half the baseline out along its axis.
    const FisheyeLens* lenses[2] = {&geometry.model().lens0, &geometry.model().lens1};
    double centre[2][3], lensX[2];
    for (int i = 0; i < 2; ++i) {
        const FisheyeLens& l = *lenses[i];
        lensX[i] = l.centerX * frameWidth / static_cast<double>(l.imageWidth);
        double col = 0, row = 0;
        int lens = 0;
        geometry.frameToOutput(lensX[i], l.centerY * frameHeight / static_cast<double>(l.imageHeight), frameWidth, frameHeight,
                               &col, &row, &lens);
        direction(col, row, W, H, centre[i]);
        for (double& v : centre[i]) v *= baselineMm / 2000.0;
    }
    BgrImage out(frameWidth, frameHeight);
    const std::vector<Placed> things = placeThings(*this, seconds);
    parallelRows(frameHeight, [&](int y) {
        for (int x = 0; x < frameWidth; ++x) {
            const int lens = std::fabs(x + 0.5 - lensX[0]) <= std::fabs(x + 0.5 - lensX[1]) ? 0 : 1;
            double sum[3] = {0, 0, 0};
            int n = 0;
            for (int k = 0; k < 4; k += 3) {  // two of the 2 x 2 subsamples, across the diagonal
                const float* p = &map->pos[((static_cast<size_t>(y) * frameWidth + x) * 4 + k) * 2];
                if (std::isnan(p[0])) continue;
                Ray r = {{centre[lens][0], centre[lens][1], centre[lens][2]}, {0, 0, 0}};
                direction(p[0], p[1], W, H, r.d);
                double c[3];
                cast(*this, things, r, c);
                for (int i = 0; i < 3; ++i) sum[i] += c[i];
                ++n;
            }
            for (int i = 0; i < 3; ++i) out.at(x, y)[i] = n ? byte(sum[i] / n) : 0;
        }
    });
    return out;
}

void seamAzimuths(const StitchGeometry& geometry, double out[2]) {
    const int W = geometry.width(), H = geometry.height();
    const std::vector<uint8_t> mask = geometry.blendBandMask(0.0);
    int found = 0, start = -1;
    for (int col = 0; col <= W && found < 2; ++col) {
        const bool in = col < W && mask[static_cast<size_t>(H / 2) * W + col];
        if (in && start < 0) start = col;
        if (!in && start >= 0) {
            out[found++] = 2 * kPi * ((start + col) / 2.0) / W;
            start = -1;
        }
    }
}

namespace {

DepthScene::Thing thing(bool pole, double distance, double azimuth, double width, double bottom, double top, uint32_t seed) {
    DepthScene::Thing t;
    t.pole = pole;
    t.distance = distance;
    t.azimuth = azimuth;
    t.width = width;
    t.bottom = bottom;
    t.top = top;
    t.seed = seed;
    return t;
}

}  // namespace

DepthScene yardScene(const StitchGeometry& geometry, int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    DepthScene s;
    s.environment = fieldWorld(width, height, seed);
    s.groundBelow = 1.1 + 0.2 * u(rng);
    s.tile = 0.3 + 0.3 * u(rng);
    s.groundSeed = seed * 3 + 1;
    double seams[2];
    seamAzimuths(geometry, seams);
    for (double az : seams) {
        for (int k = 0; k < 3; ++k)
            s.things.push_back(thing(true, 0.6 + 0.4 * u(rng), az + (u(rng) - 0.5) * 0.4, 0.04 + 0.04 * u(rng),
                                     -s.groundBelow, 0.2 + 0.8 * u(rng), static_cast<uint32_t>(rng())));
        s.things.push_back(thing(false, 1.4 + 0.6 * u(rng), az + (u(rng) - 0.5) * 0.2, 0.8 + 0.6 * u(rng), -0.6,
                                 0.4 + 0.6 * u(rng), static_cast<uint32_t>(rng())));
    }
    return s;
}

DepthScene hallScene(const StitchGeometry& geometry, int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    DepthScene s;
    s.environment = roomWorld(width, height, seed);
    s.groundBelow = 1.15 + 0.1 * u(rng);
    s.tile = 0.15 + 0.1 * u(rng);
    s.groundSeed = seed * 5 + 2;
    double seams[2];
    seamAzimuths(geometry, seams);
    for (double az : seams)
        for (int k = 0; k < 2; ++k) {
            const double d = 0.5 + 2.0 * u(rng);
            const double w = 0.3 + 0.4 * d * u(rng);
            s.things.push_back(thing(false, d, az + (u(rng) - 0.5) * 0.3, w, -0.9 + 0.6 * u(rng) - 0.3 * k,
                                     0.1 + 0.8 * u(rng), static_cast<uint32_t>(rng())));
        }
    return s;
}

DepthScene streetScene(const StitchGeometry& geometry, int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    DepthScene s;
    s.environment = streetWorld(width, height, seed);
    s.groundBelow = 1.2 + 0.1 * (u(rng) - 0.5);
    s.tile = 0.5 + 0.3 * u(rng);
    s.groundSeed = seed * 7 + 3;
    double seams[2];
    seamAzimuths(geometry, seams);
    for (double az : seams) {
        s.things.push_back(thing(true, 0.7 + 0.6 * u(rng), az + (u(rng) - 0.5) * 0.3, 0.05 + 0.03 * u(rng),
                                 -s.groundBelow, 1.0, static_cast<uint32_t>(rng())));
        s.things.push_back(thing(false, 1.5 + 1.0 * u(rng), az + (u(rng) - 0.5) * 0.3, 0.6 + 0.5 * u(rng), 0.0,
                                 0.3 + 0.5 * u(rng), static_cast<uint32_t>(rng())));
    }
    // The walker: a body-sized panel at 0.6 to 0.9 m, crossing the first
    // seam at 1.2 to 1.6 m/s, in the middle of it at 0.2 s.
    DepthScene::Thing walker = thing(false, 0.6 + 0.3 * u(rng), 0, 0.45, -s.groundBelow, 0.5, static_cast<uint32_t>(rng()));
    walker.speed = 1.2 + 0.4 * u(rng);
    walker.azimuth = seams[0] - walker.speed * 0.2 / walker.distance;
    s.things.push_back(walker);
    return s;
}

DepthScene parkScene(const StitchGeometry& geometry, int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    DepthScene s;
    s.environment = fieldWorld(width, height, seed + 17);
    s.groundBelow = 1.4 + 0.3 * u(rng);
    s.tile = 0.2 + 0.4 * u(rng);
    s.groundSeed = seed * 11 + 5;
    double seams[2];
    seamAzimuths(geometry, seams);
    for (double az : seams) {
        const double d = 1.0 + 0.8 * u(rng);
        const int panels = 3 + static_cast<int>(3 * u(rng));
        const double span = 0.35 + 0.25 * u(rng);
        for (int k = 0; k < panels; ++k)
            s.things.push_back(thing(false, d + 0.15 * (u(rng) - 0.5), az + (k - 0.5 * (panels - 1)) * span / d, span * 0.9,
                                     -s.groundBelow, -s.groundBelow + 0.5 + 0.4 * u(rng), static_cast<uint32_t>(rng())));
    }
    s.things.push_back(thing(true, 1.2 + 0.8 * u(rng), seams[0] + (u(rng) < 0.5 ? -1 : 1) * (0.15 + 0.2 * u(rng)),
                             0.15 + 0.15 * u(rng), -s.groundBelow, 1.5, static_cast<uint32_t>(rng())));
    s.things.push_back(thing(false, 0.7 + 0.5 * u(rng), seams[1] + (u(rng) - 0.5) * 0.4, 0.9 + 0.6 * u(rng),
                             -s.groundBelow + 0.4, -s.groundBelow + 0.9, static_cast<uint32_t>(rng())));
    return s;
}

DepthScene farScene(int width, int height, uint32_t seed) {
    DepthScene s;
    s.environment = streetWorld(width, height, seed);
    s.groundBelow = 0;
    return s;
}

}  // namespace testutil
