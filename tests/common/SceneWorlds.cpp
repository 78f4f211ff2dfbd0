#include "SceneWorlds.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace testutil {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rng {
    uint64_t s;
    explicit Rng(uint32_t seed) : s(0x9E3779B97F4A7C15ull ^ (uint64_t(seed) * 0xD1B54A32D192ED03ull)) { next(); }
    uint64_t next() {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        return s;
    }
    double uniform(double a, double b) { return a + (b - a) * ((next() >> 11) * (1.0 / 9007199254740992.0)); }
};

struct Color {
    double b, g, r;
};
Color mix(const Color& a, const Color& c, double t) {
    return {a.b + (c.b - a.b) * t, a.g + (c.g - a.g) * t, a.r + (c.r - a.r) * t};
}
Color scaled(const Color& a, double k) { return {a.b * k, a.g * k, a.r * k}; }

// Smooth value noise in 0..1 on a plane, from a hashed lattice.
double noise(double x, double y, uint32_t seed) {
    auto hash = [seed](int64_t i, int64_t j) {
        uint64_t h = uint64_t(i) * 0x9E3779B97F4A7C15ull ^ uint64_t(j) * 0xC2B2AE3D27D4EB4Full ^ seed;
        h ^= h >> 31, h *= 0xBF58476D1CE4E5B9ull, h ^= h >> 29;
        return (h >> 11) * (1.0 / 9007199254740992.0);
    };
    const double fx = std::floor(x), fy = std::floor(y);
    const int64_t i = int64_t(fx), j = int64_t(fy);
    double tx = x - fx, ty = y - fy;
    tx = tx * tx * (3 - 2 * tx), ty = ty * ty * (3 - 2 * ty);
    const double a = hash(i, j) + (hash(i + 1, j) - hash(i, j)) * tx;
    const double c = hash(i, j + 1) + (hash(i + 1, j + 1) - hash(i, j + 1)) * tx;
    return a + (c - a) * ty;
}

// The picture of `shade(direction)` with 2 x 2 samples a pixel.
BgrImage render(int width, int height, const std::function<Color(const double d[3])>& shade) {
    BgrImage img(width, height);
    constexpr int n = 2;
    // Longitudes are the same on every row: their sines and cosines once.
    std::vector<double> cosT(static_cast<size_t>(width) * n), sinT(cosT.size());
    for (int x = 0; x < width; ++x)
        for (int sx = 0; sx < n; ++sx) {
            const double t = 2 * kPi * (x + (sx + 0.5) / n) / width;
            cosT[x * n + sx] = std::cos(t);
            sinT[x * n + sx] = std::sin(t);
        }
    for (int y = 0; y < height; ++y) {
        double sinP[n], cosP[n];
        for (int sy = 0; sy < n; ++sy) {
            const double p = kPi * (y + (sy + 0.5) / n) / height;
            sinP[sy] = std::sin(p);
            cosP[sy] = std::cos(p);
        }
        for (int x = 0; x < width; ++x) {
            Color sum{0, 0, 0};
            for (int sy = 0; sy < n; ++sy)
                for (int sx = 0; sx < n; ++sx) {
                    const double d[3] = {sinP[sy] * cosT[x * n + sx], sinP[sy] * sinT[x * n + sx], cosP[sy]};
                    const Color c = shade(d);
                    sum.b += c.b, sum.g += c.g, sum.r += c.r;
                }
            uint8_t* px = img.at(x, y);
            const double k = 1.0 / (n * n);
            px[0] = static_cast<uint8_t>(std::clamp(sum.b * k, 0.0, 255.0));
            px[1] = static_cast<uint8_t>(std::clamp(sum.g * k, 0.0, 255.0));
            px[2] = static_cast<uint8_t>(std::clamp(sum.r * k, 0.0, 255.0));
        }
    }
    return img;
}

Color sky(const double d[3], uint32_t seed) {
    const double e = std::max(0.0, d[2]);
    Color c = mix({235, 210, 190}, {200, 140, 90}, std::sqrt(e));
    // Soft clouds, stretched along the horizon.
    const double r = 1 / std::max(0.08, d[2] + 0.05);
    const double cloud = noise(d[0] * r * 1.5, d[1] * r * 1.5, seed) * 0.7 + noise(d[0] * r * 4, d[1] * r * 4, seed + 1) * 0.3;
    return mix(c, {245, 245, 245}, std::clamp((cloud - 0.55) * 3, 0.0, 0.8));
}

Color randomColor(Rng& rng, double lo, double hi) {
    const double base = rng.uniform(lo, hi);
    return {base * rng.uniform(0.8, 1.2), base * rng.uniform(0.8, 1.2), base * rng.uniform(0.8, 1.2)};
}

}  // namespace

BgrImage streetWorld(int width, int height, uint32_t seed) {
    Rng rng(seed);
    const double eye = rng.uniform(1.4, 1.8), heading = rng.uniform(0, 2 * kPi);
    struct Building {
        double x0, x1, top;
        Color wall, window;
        double floor, bay;
    };
    struct Side {
        double y;  // distance of the fronts from the camera
        std::vector<Building> buildings;
    } sides[2];
    for (int s = 0; s < 2; ++s) {
        sides[s].y = rng.uniform(5, 11);
        for (double x = -250; x < 250;) {
            Building b;
            b.x0 = x;
            b.x1 = x + rng.uniform(6, 22);
            b.top = rng.uniform(6, 30);
            b.wall = randomColor(rng, 90, 210);
            b.window = scaled(b.wall, rng.uniform(0.3, 0.6));
            b.floor = rng.uniform(2.8, 3.6);
            b.bay = rng.uniform(2.0, 3.5);
            sides[s].buildings.push_back(b);
            x = b.x1 + (rng.uniform(0, 1) < 0.3 ? rng.uniform(1, 4) : 0.0);
        }
    }
    const double kerb = rng.uniform(2, 3.5);  // pavement width
    const Color road{70, 72, 75}, pavement{150, 155, 160}, lane{230, 230, 230};
    return render(width, height, [&](const double dir[3]) -> Color {
        // The street runs along `heading`.
        const double ch = std::cos(heading), sh = std::sin(heading);
        const double d[3] = {ch * dir[0] + sh * dir[1], -sh * dir[0] + ch * dir[1], dir[2]};
        double best = 1e30;
        Color c = sky(dir, seed);
        if (d[2] < -1e-6) {
            const double t = -eye / d[2];
            const double x = t * d[0], y = t * d[1];
            const Side& side = sides[y > 0 ? 0 : 1];
            if (std::fabs(y) < side.y && std::fabs(x) < 300) {
                best = t;
                if (std::fabs(y) > side.y - kerb) {
                    c = pavement;
                    const double slab = std::fmod(std::fabs(x) + 300, 1.5);
                    if (slab < 0.06) c = scaled(c, 0.7);
                } else {
                    c = road;
                    if (std::fabs(y - (sides[0].y - sides[1].y) / 2) < 0.08 && std::fmod(x + 300, 6) < 3) c = lane;
                }
                c = scaled(c, 0.85 + 0.3 * noise(x * 2, y * 2, seed + 7));
            }
        }
        for (int s = 0; s < 2; ++s) {
            const double sign = s == 0 ? 1 : -1;
            if (d[1] * sign <= 1e-6) continue;
            const double t = sides[s].y / (d[1] * sign);
            if (t >= best) continue;
            const double x = t * d[0], z = t * d[2] + eye;
            for (const Building& b : sides[s].buildings) {
                if (x < b.x0 || x >= b.x1 || z > b.top || z < 0) continue;
                best = t;
                c = b.wall;
                const double u = std::fmod(x - b.x0, b.bay), v = std::fmod(z, b.floor);
                if (z > 1.0 && z < b.top - 0.8 && u > 0.5 && u < b.bay - 0.5 && v > 0.9 && v < b.floor - 0.5)
                    c = b.window;
                if (z < 0.4) c = scaled(c, 0.6);
                break;
            }
        }
        return c;
    });
}

BgrImage roomWorld(int width, int height, uint32_t seed) {
    Rng rng(seed);
    const double lo[3] = {-rng.uniform(1.8, 4.5), -rng.uniform(1.8, 4.5), -rng.uniform(1.2, 1.6)};
    const double hi[3] = {rng.uniform(1.8, 4.5), rng.uniform(1.8, 4.5), rng.uniform(0.9, 1.6)};
    const double turn = rng.uniform(0, 2 * kPi);
    Color walls[4];
    for (Color& w : walls) w = randomColor(rng, 120, 220);
    const Color floorColor = randomColor(rng, 60, 120), ceiling{225, 228, 230};
    // Rectangles on the walls: along the wall from a to b, from z0 to z1.
    struct Patch {
        int wall;
        double a, b, z0, z1;
        Color color;
    };
    std::vector<Patch> patches;
    for (int w = 0; w < 4; ++w) {
        const double length = (w < 2 ? hi[1] - lo[1] : hi[0] - lo[0]);
        const int n = 1 + static_cast<int>(rng.uniform(0, 3));
        for (int i = 0; i < n; ++i) {
            const double kind = rng.uniform(0, 1), width = kind < 0.4 ? rng.uniform(0.8, 1.1) : rng.uniform(0.4, 1.4);
            const double a = rng.uniform(0.2, std::max(0.3, length - width - 0.2));
            Patch p{w, a, a + width, 0, 0, randomColor(rng, 30, 240)};
            if (kind < 0.4) {  // a door
                p.z0 = lo[2];
                p.z1 = lo[2] + rng.uniform(1.9, 2.1);
            } else if (kind < 0.75) {  // a picture
                p.z0 = rng.uniform(-0.2, 0.3);
                p.z1 = p.z0 + rng.uniform(0.3, 0.8);
            } else {  // a shelf
                p.z0 = rng.uniform(-0.6, 0.5);
                p.z1 = p.z0 + 0.05;
                p.color = scaled(walls[w], 0.5);
            }
            patches.push_back(p);
        }
    }
    const double plank = rng.uniform(0.12, 0.25), lamp = rng.uniform(0.3, 0.6);
    return render(width, height, [&](const double dir[3]) -> Color {
        const double ct = std::cos(turn), st = std::sin(turn);
        const double d[3] = {ct * dir[0] + st * dir[1], -st * dir[0] + ct * dir[1], dir[2]};
        // The nearest of the six faces.
        double t = 1e30;
        int face = -1;
        for (int k = 0; k < 3; ++k) {
            if (std::fabs(d[k]) < 1e-9) continue;
            const double tk = (d[k] > 0 ? hi[k] : lo[k]) / d[k];
            if (tk < t) t = tk, face = 2 * k + (d[k] > 0 ? 1 : 0);
        }
        const double p[3] = {t * d[0], t * d[1], t * d[2]};
        if (face == 4) {  // floor
            Color c = scaled(floorColor, 0.8 + 0.4 * noise(p[0] * 0.5, std::floor(p[1] / plank) * 3.1, seed));
            if (std::fmod(p[1] + 50, plank) < 0.012) c = scaled(c, 0.6);
            return c;
        }
        if (face == 5) {  // ceiling
            if (std::fabs(p[0] - (lo[0] + hi[0]) / 2) < lamp && std::fabs(p[1] - (lo[1] + hi[1]) / 2) < lamp)
                return {250, 250, 250};
            return ceiling;
        }
        // A wall: x faces are walls 0 and 1, y faces 2 and 3.
        const int wall = face;
        const double along = wall < 2 ? p[1] - lo[1] : p[0] - lo[0];
        Color c = walls[wall];
        if (p[2] < lo[2] + 0.1) c = scaled(c, 0.55);  // skirting
        for (const Patch& q : patches)
            if (q.wall == wall && along >= q.a && along < q.b && p[2] >= q.z0 && p[2] < q.z1) c = q.color;
        return scaled(c, 0.9 + 0.15 * noise(along * 3, p[2] * 3, seed + wall));
    });
}

BgrImage fieldWorld(int width, int height, uint32_t seed) {
    Rng rng(seed);
    const double eye = rng.uniform(1.4, 1.8);
    struct Post {
        double x, y, radius, top, crown;  // crown: radius of a tree's crown (0: a pole)
        Color color;
    };
    std::vector<Post> posts;
    const int n = 3 + static_cast<int>(rng.uniform(0, 4));
    for (int i = 0; i < n; ++i) {
        const double a = rng.uniform(0, 2 * kPi), r = rng.uniform(4, 25);
        const bool tree = rng.uniform(0, 1) < 0.5;
        posts.push_back({r * std::cos(a), r * std::sin(a), tree ? rng.uniform(0.15, 0.3) : rng.uniform(0.06, 0.12),
                         rng.uniform(4, 9), tree ? rng.uniform(1.2, 2.5) : 0.0,
                         tree ? Color{40, 60, 80} : randomColor(rng, 40, 200)});
    }
    double hill[4][2];
    for (auto& h : hill) h[0] = rng.uniform(0.5, 2.5) * kPi / 180, h[1] = rng.uniform(0, 2 * kPi);
    const Color grass = randomColor(rng, 70, 110), hills{110, 120, 100};
    return render(width, height, [&](const double d[3]) -> Color {
        double best = 1e30;
        Color c;
        // Hills far off: an elevation profile around the horizon.
        const double az = std::atan2(d[1], d[0]);
        double ridge = 0;
        for (int k = 0; k < 4; ++k) ridge += hill[k][0] * (0.5 + 0.5 * std::sin((k + 1) * az + hill[k][1]));
        const double elevation = std::asin(std::clamp(d[2], -1.0, 1.0));
        if (elevation < ridge) c = scaled(hills, 0.85 + 0.3 * noise(az * 20, elevation * 60, seed + 3));
        else c = sky(d, seed);
        if (d[2] < -1e-6) {
            const double t = -eye / d[2];
            if (t < 400) {
                best = t;
                const double x = t * d[0], y = t * d[1];
                c = scaled(grass, 0.6 + 0.3 * noise(x * 0.7, y * 0.7, seed) + 0.3 * noise(x * 4, y * 4, seed + 1));
            }
        }
        const double h = std::hypot(d[0], d[1]);
        for (const Post& p : posts) {
            // The upright: a cylinder from the ground to its top.
            if (h > 1e-9) {
                const double ux = d[0] / h, uy = d[1] / h;
                const double along = p.x * ux + p.y * uy, off = -p.x * uy + p.y * ux;
                if (along > 0 && std::fabs(off) < p.radius) {
                    const double r = along - std::sqrt(p.radius * p.radius - off * off);  // horizontal range
                    const double t = r / h, z = t * d[2] + eye;
                    if (t < best && z >= 0 && z <= p.top) {
                        best = t;
                        c = scaled(p.color, 0.7 + 0.3 * std::sqrt(1 - std::pow(off / p.radius, 2)));
                    }
                }
            }
            if (p.crown > 0) {
                // A round crown on top of the trunk.
                const double centre[3] = {p.x, p.y, p.top + p.crown * 0.6 - eye};
                const double b = d[0] * centre[0] + d[1] * centre[1] + d[2] * centre[2];
                const double q = centre[0] * centre[0] + centre[1] * centre[1] + centre[2] * centre[2] - p.crown * p.crown;
                if (b * b - q > 0) {
                    const double t = b - std::sqrt(b * b - q);
                    if (t > 0 && t < best) {
                        best = t;
                        const double x = t * d[0], y = t * d[1], z = t * d[2];
                        c = scaled({50, 110, 60}, 0.6 + 0.6 * noise(x * 3 + z * 2, y * 3 - z, seed + 5));
                    }
                }
            }
        }
        return c;
    });
}

BgrImage coastWorld(int width, int height, uint32_t seed) {
    Rng rng(seed);
    constexpr double deg = kPi / 180, earth = 6.371e6;
    const double eye = rng.uniform(1.5, 1.9), cliff = rng.uniform(0, 8);  // the meadow above the sea
    // The sea fills the azimuths within `seaHalf` of `seaWay`; the shore is
    // `shore` metres off that way and recedes to the horizon at the arc's ends.
    const double seaWay = rng.uniform(0, 2 * kPi), seaHalf = rng.uniform(60, 100) * deg, shore = rng.uniform(12, 60);
    // The sea's horizon lies below the level by the dip of a round earth.
    const double dip = std::sqrt(2 * (eye + cliff) / earth);
    // The land's skyline: bumps of uneven height and width over a rise, going
    // down to the sea's horizon where the land meets the sea.
    struct Bump {
        double at, height, width;
    };
    std::vector<Bump> bumps;
    const int nb = 3 + static_cast<int>(rng.uniform(0, 5));
    for (int i = 0; i < nb; ++i)
        bumps.push_back({rng.uniform(0, 2 * kPi), rng.uniform(0.3, 3.0) * deg, rng.uniform(4, 30) * deg});
    const double rise = rng.uniform(0.2, 0.8) * deg, hillsAt = rng.uniform(1500, 3000);
    auto offSea = [&](double az) { return std::remainder(az - seaWay, 2 * kPi); };
    auto skyline = [&](double az) {
        double e = rise;
        for (const Bump& b : bumps) {
            const double d = std::remainder(az - b.at, 2 * kPi) / b.width;
            e += b.height * std::exp(-0.5 * d * d);
        }
        // From the sea's edge the land climbs over 20 degrees of azimuth.
        const double fromSea = std::clamp((std::fabs(offSea(az)) - seaHalf) / (20 * deg), 0.0, 1.0);
        return -dip + (e + dip) * fromSea * fromSea * (3 - 2 * fromSea);
    };
    auto shoreAt = [&](double az) {
        const double a = offSea(az);
        if (std::fabs(a) >= seaHalf) return 1e30;
        return shore * (0.85 + 0.3 * noise(az * 4, 0.5, seed + 11)) / std::max(1e-6, std::cos(a / seaHalf * kPi / 2));
    };
    struct Post {
        double x, y, half, top, turn;  // half: radius, or half the side of a square post (turn != 0)
        bool square;
        Color color;
    };
    std::vector<Post> posts;
    const int np = 2 + static_cast<int>(rng.uniform(0, 2));
    for (int i = 0; i < np; ++i) {
        const double az = rng.uniform(0, 2 * kPi);
        const double r = std::min(rng.uniform(3, 20), 0.6 * shoreAt(az));
        const bool square = rng.uniform(0, 1) < 0.5;
        posts.push_back({r * std::cos(az), r * std::sin(az), square ? rng.uniform(0.04, 0.1) : rng.uniform(0.04, 0.1),
                         rng.uniform(1.2, 8), rng.uniform(0, kPi / 2), square, randomColor(rng, 30, 210)});
    }
    const Color meadow{rng.uniform(40, 70), rng.uniform(110, 150), rng.uniform(80, 110)};
    const Color sea{rng.uniform(100, 140), rng.uniform(80, 110), rng.uniform(30, 60)};
    const Color haze{rng.uniform(200, 225), rng.uniform(195, 215), rng.uniform(185, 205)};
    const Color zenith{rng.uniform(170, 210), rng.uniform(110, 140), rng.uniform(60, 90)};
    const double sunAz = rng.uniform(0, 2 * kPi), sunEl = rng.uniform(10, 50) * deg;
    const double sun[3] = {std::cos(sunEl) * std::cos(sunAz), std::cos(sunEl) * std::sin(sunAz), std::sin(sunEl)};
    return render(width, height, [&](const double d[3]) -> Color {
        const double az = std::atan2(d[1], d[0]), e = std::asin(std::clamp(d[2], -1.0, 1.0));
        const double h = std::hypot(d[0], d[1]);
        const bool seaSide = std::fabs(offSea(az)) < seaHalf;
        const double tm = e < 0 ? eye * h / -d[2] : 1e30;  // to the meadow's plane
        double best = 1e30;
        Color c;
        if (tm < (seaSide ? shoreAt(az) : hillsAt)) {
            best = tm;
            const double x = tm * d[0] / h, y = tm * d[1] / h;
            c = scaled(meadow, 0.65 + 0.35 * noise(x * 2, y * 2, seed + 14) + 0.25 * noise(x * 0.3, y * 0.3, seed + 15));
            c = mix(c, haze, 1 - std::exp(-tm / 2500));
        } else if (!seaSide && e < skyline(az)) {
            // The hills, as far off as the meadow's end.
            c = scaled(meadow, 0.7 + 0.4 * noise(d[0] / h * 60 + e * 50, d[1] / h * 60 - e * 50, seed + 17));
            c = mix(c, haze, 1 - std::exp(-hillsAt / 3000));
        } else if (e < -dip) {
            const double ts = (eye + cliff) * h / -d[2], x = ts * d[0] / h, y = ts * d[1] / h;
            c = scaled(sea, 0.9 + 0.2 * noise(x * 0.4, y * 2.5, seed + 16));
            c = mix(c, haze, 0.8 * (1 - std::exp(-ts / 3000)));
        } else {
            // Sky: haze at the horizon to blue overhead, a glow about the sun,
            // thin streaks of cloud.
            c = mix(haze, zenith, std::pow(std::max(0.0, d[2]), 0.6));
            const double toSun = std::acos(std::clamp(d[0] * sun[0] + d[1] * sun[1] + d[2] * sun[2], -1.0, 1.0));
            c = mix(c, {245, 250, 255}, 0.7 * std::exp(-toSun / (12 * deg)));
            const double r = 1 / std::max(0.05, d[2] + 0.03), streak = noise(d[0] * r * 0.6, d[1] * r * 3, seed + 13);
            c = mix(c, {240, 240, 240}, std::clamp((streak - 0.6) * 2, 0.0, 0.5) * std::clamp(e / (5 * deg), 0.0, 1.0));
        }
        for (const Post& p : posts) {
            if (h < 1e-9) break;
            const double ux = d[0] / h, uy = d[1] / h;
            double t = 1e30, lit = 1;
            if (p.square) {
                // A square post turned by `turn`: the slabs of its two sides.
                const double ct = std::cos(p.turn), st = std::sin(p.turn);
                const double ox = ct * p.x + st * p.y, oy = -st * p.x + ct * p.y;
                const double vx = ct * ux + st * uy, vy = -st * ux + ct * uy;
                double lo = 0, hi = 1e30;
                int face = 0;
                for (int k = 0; k < 2; ++k) {
                    const double o = k ? oy : ox, v = k ? vy : vx;
                    if (std::fabs(v) < 1e-12) {
                        if (std::fabs(o) > p.half) lo = 1e30;
                        continue;
                    }
                    double a = (o - p.half) / v, b = (o + p.half) / v;
                    if (a > b) std::swap(a, b);
                    if (a > lo) lo = a, face = k;
                    hi = std::min(hi, b);
                }
                if (lo < hi && lo > 0) t = lo, lit = face ? 0.75 : 1.0;
            } else {
                const double along = p.x * ux + p.y * uy, off = -p.x * uy + p.y * ux;
                if (along > 0 && std::fabs(off) < p.half) {
                    t = along - std::sqrt(p.half * p.half - off * off);
                    lit = 0.7 + 0.3 * std::sqrt(1 - std::pow(off / p.half, 2));
                }
            }
            const double z = t * d[2] / h + eye;
            if (t < best && z >= 0 && z <= p.top) best = t, c = scaled(p.color, lit);
        }
        return c;
    });
}

BgrImage paintedCity(int width, int height, uint32_t seed) {
    Rng rng(seed);
    BgrImage img(width, height);
    const int horizon = height / 2;
    // Sky and ground.
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double t = 2 * kPi * (x + 0.5) / width, p = kPi * (y + 0.5) / height;
            const double d[3] = {std::sin(p) * std::cos(t), std::sin(p) * std::sin(t), std::cos(p)};
            Color c = y < horizon ? sky(d, seed) : scaled(Color{95, 100, 105}, 0.8 + 0.4 * noise(x * 0.05, y * 0.2, seed));
            uint8_t* px = img.at(x, y);
            px[0] = static_cast<uint8_t>(std::clamp(c.b, 0.0, 255.0));
            px[1] = static_cast<uint8_t>(std::clamp(c.g, 0.0, 255.0));
            px[2] = static_cast<uint8_t>(std::clamp(c.r, 0.0, 255.0));
        }
    // Façades standing on the horizon's row, a kerb line below them.
    for (int x0 = 0; x0 < width;) {
        const int w = width / 40 + static_cast<int>(rng.uniform(0, width / 12.0));
        const int top = horizon - static_cast<int>(rng.uniform(0.1, 0.35) * height);
        const int foot = horizon + height / 20;
        const Color wall = randomColor(rng, 80, 220), glass = scaled(wall, rng.uniform(0.3, 0.6));
        const int floor = std::max(4, height / 40 + static_cast<int>(rng.uniform(0, 4))), bay = std::max(4, floor - 1);
        for (int y = top; y < foot; ++y)
            for (int x = x0; x < std::min(width, x0 + w); ++x) {
                const int u = (x - x0) % bay, v = (y - top) % floor;
                const bool pane = y > top + 2 && y < foot - floor && x > x0 + 1 && x < x0 + w - 2 && u >= bay / 3 &&
                                  v >= floor / 3;
                const Color c = pane ? glass : wall;
                uint8_t* px = img.at(x, y);
                px[0] = static_cast<uint8_t>(c.b), px[1] = static_cast<uint8_t>(c.g), px[2] = static_cast<uint8_t>(c.r);
            }
        for (int x = x0; x < std::min(width, x0 + w); ++x)
            for (int y = foot; y < foot + 2; ++y) std::fill(img.at(x, y), img.at(x, y) + 3, uint8_t(200));
        x0 += w + (rng.uniform(0, 1) < 0.3 ? static_cast<int>(rng.uniform(2, width / 30.0)) : 0);
    }
    return img;
}

std::vector<float> openLandGrey(int width, int height, const double camera[3][3], const double up[3],
                                const std::function<double(double)>& edge, const std::vector<double>& posts) {
    // Axes about up: x' the world's x made level, y' = up x x'.
    double ex[3] = {1 - up[0] * up[0], -up[0] * up[1], -up[0] * up[2]};
    const double nx = std::sqrt(ex[0] * ex[0] + ex[1] * ex[1] + ex[2] * ex[2]);
    for (double& c : ex) c /= nx;
    const double ey[3] = {up[1] * ex[2] - up[2] * ex[1], up[2] * ex[0] - up[0] * ex[2], up[0] * ex[1] - up[1] * ex[0]};
    std::vector<float> grey(static_cast<size_t>(width) * height);
    constexpr int n = 2;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double sum = 0;
            for (int sy = 0; sy < n; ++sy)
                for (int sx = 0; sx < n; ++sx) {
                    const double p = kPi * (y + (sy + 0.5) / n) / height, t = 2 * kPi * (x + (sx + 0.5) / n) / width;
                    const double c[3] = {std::sin(p) * std::cos(t), std::sin(p) * std::sin(t), std::cos(p)};
                    double d[3];
                    for (int r = 0; r < 3; ++r) d[r] = camera[r][0] * c[0] + camera[r][1] * c[1] + camera[r][2] * c[2];
                    const double h = d[0] * up[0] + d[1] * up[1] + d[2] * up[2];
                    const double az = std::atan2(d[0] * ey[0] + d[1] * ey[1] + d[2] * ey[2], d[0] * ex[0] + d[1] * ex[1] + d[2] * ex[2]);
                    const double e = std::asin(std::clamp(h, -1.0, 1.0));
                    double v = e >= edge(az) ? 200 - 60 * std::max(0.0, h) : 90 + 10 * noise(d[0] * 40, d[1] * 40 + d[2] * 40, 5);
                    for (double at : posts)
                        if (std::fabs(std::remainder(az - at, 2 * kPi)) < 0.02 && e > -0.1 && e < 0.5) v = 40;
                    sum += v;
                }
            grey[static_cast<size_t>(y) * width + x] = static_cast<float>(sum / (n * n));
        }
    return grey;
}

}  // namespace testutil
