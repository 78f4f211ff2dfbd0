#include "MotionEstimate.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "CpuEngine.h"
#include "DualFisheyeModel.h"
#include "GreyPanorama.h"
#include "StitchLayout.h"
#include "Angles.h"

namespace stitcher {

namespace {

constexpr int kLevels = 4;               // the pyramid: analysisSize, 1/2, 1/4, 1/8
constexpr int kPixelsPerLevel = 4000;     // template pixels aimed at per level
constexpr double kSeamMarginDeg = 4.0;    // left out beside each seam band
constexpr double kKeyTurnDeg = 6.0;       // a frame turned this far from its key becomes one
constexpr int kKeyFrames = 20;            // ... as does the frame this long after it
// The weakest axis's texture, in grey levels squared per pixel of the finest
// level: below it the alignment is not tied down.
constexpr double kMinTexture = 1.5;
constexpr double kMinInliers = 0.3;       // share of the weight that must fit

struct Level {
    int w = 0, h = 0;
    std::vector<float> grey;
    float at(int x, int y) const { return grey[static_cast<size_t>(y) * w + x]; }
    // Bilinear, wrapping across the 0/360 line, clamped at the poles.
    float sample(double x, double y) const {
        const double fx0 = std::floor(x), fy0 = std::floor(y);
        const float fx = static_cast<float>(x - fx0), fy = static_cast<float>(y - fy0);
        int x0 = static_cast<int>(fx0) % w;
        if (x0 < 0) x0 += w;
        const int x1 = x0 + 1 == w ? 0 : x0 + 1;
        const int y0 = std::clamp(static_cast<int>(fy0), 0, h - 1), y1 = std::clamp(static_cast<int>(fy0) + 1, 0, h - 1);
        const float a = at(x0, y0), b = at(x1, y0), c = at(x0, y1), d = at(x1, y1);
        return (a + (b - a) * fx) * (1 - fy) + (c + (d - c) * fx) * fy;
    }
};

struct Pyramid {
    Level level[kLevels];
};

// A template pixel of the key frame.
struct Point {
    float d[3];    // its direction
    float j[3];    // d x gradient: the change of its grey value per radian of turn about each axis
    float value;   // its grey value
    float area;    // solid angle weight
};

// Direction -> texel coordinates of a w x h panorama.
inline void texelOf(const double q[3], int w, int h, double* x, double* y) {
    double t = fastAtan2(q[1], q[0]);
    if (t < 0) t += 2 * kPi;
    const double p = fastAtan2(std::sqrt(q[0] * q[0] + q[1] * q[1]), q[2]);
    *x = t / (2 * kPi) * w - 0.5;
    *y = p / kPi * h - 0.5;
}

// Tukey's biweight of residual e at scale c.
inline double tukey(double e, double c) {
    const double u = e / c;
    if (std::fabs(u) >= 1) return 0;
    const double v = 1 - u * u;
    return v * v;
}

// Solves the 3 x 3 symmetric system; false when it is singular.
bool solve3(const double a[3][3], const double b[3], double x[3]) {
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    if (!(std::fabs(det) > 1e-30)) return false;
    for (int k = 0; k < 3; ++k) {
        double m[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m[i][j] = j == k ? b[i] : a[i][j];
        x[k] = (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0])) / det;
    }
    return true;
}

// Smallest eigenvalue of a symmetric 3 x 3 matrix.
double smallestEigen(const double a[3][3]) {
    const double p1 = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
    const double q = (a[0][0] + a[1][1] + a[2][2]) / 3;
    const double p2 = (a[0][0] - q) * (a[0][0] - q) + (a[1][1] - q) * (a[1][1] - q) + (a[2][2] - q) * (a[2][2] - q) + 2 * p1;
    const double p = std::sqrt(p2 / 6);
    if (!(p > 0)) return q;
    double b[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) b[i][j] = (a[i][j] - (i == j ? q : 0)) / p;
    const double r = (b[0][0] * (b[1][1] * b[2][2] - b[1][2] * b[2][1]) - b[0][1] * (b[1][0] * b[2][2] - b[1][2] * b[2][0]) +
                      b[0][2] * (b[1][0] * b[2][1] - b[1][1] * b[2][0])) / 2;
    const double phi = r <= -1 ? kPi / 3 : r >= 1 ? 0 : std::acos(r) / 3;
    return q + 2 * p * std::cos(phi + 2 * kPi / 3);
}

}  // namespace

struct MotionEstimator::State {
    MotionSettings settings;
    std::unique_ptr<GreyPanorama> small;  // the small panoramas
    // The seam bands, in degrees of longitude: [from, to) twice.
    double seam[2][2] = {{0, 0}, {0, 0}};
    Pyramid key;
    std::vector<Point> points[kLevels];
    Rot keyCamera;
    long long keyIndex = -1;
    bool keyTextured = false;
    Pyramid current;
    std::vector<Rot> cameras;
    std::vector<uint8_t> reliable;
    std::vector<double> residuals;
    const Level* last = nullptr;  // the frame added last

    bool inSeam(double degrees) const {
        for (const auto& band : seam)
            if (degrees >= band[0] && degrees < band[1]) return true;
        return false;
    }
    void makePyramid(const uint8_t* bgr, Pyramid& p);
    void makeTemplate();
    // The rotation from the key frame to the current one, refined from `delta`;
    // false where the pictures do not tie it down.
    bool align(Rot& delta);
};

void MotionEstimator::State::makePyramid(const uint8_t* bgr, Pyramid& p) {
    int w = 0, h = 0;
    const float* grey = small->grey(bgr, &w, &h);
    if (!grey) return;
    Level& l0 = p.level[0];
    l0.w = w, l0.h = h;
    l0.grey.assign(grey, grey + static_cast<size_t>(w) * h);
    for (int l = 1; l < kLevels; ++l) {
        const Level& a = p.level[l - 1];
        Level& b = p.level[l];
        b.w = a.w / 2, b.h = a.h / 2;
        b.grey.resize(static_cast<size_t>(b.w) * b.h);
        for (int y = 0; y < b.h; ++y)
            for (int x = 0; x < b.w; ++x)
                b.grey[static_cast<size_t>(y) * b.w + x] =
                    0.25f * (a.at(2 * x, 2 * y) + a.at(2 * x + 1, 2 * y) + a.at(2 * x, 2 * y + 1) + a.at(2 * x + 1, 2 * y + 1));
    }
}

void MotionEstimator::State::makeTemplate() {
    for (int l = 0; l < kLevels; ++l) {
        const Level& L = key.level[l];
        std::vector<Point>& pts = points[l];
        pts.clear();
        const int total = L.w * L.h;
        const int block = std::max(1, static_cast<int>(std::lround(std::sqrt(static_cast<double>(total) / kPixelsPerLevel))));
        for (int by = 1; by + 1 < L.h; by += block)
            for (int bx = 0; bx < L.w; bx += block) {
                double best = 0;
                Point chosen{};
                for (int y = by; y < std::min(by + block, L.h - 1); ++y) {
                    const double phi = kPi * (y + 0.5) / L.h, sp = std::sin(phi), cp = std::cos(phi);
                    if (sp < 0.1) continue;
                    for (int x = bx; x < std::min(bx + block, L.w); ++x) {
                        const double theta = 2 * kPi * (x + 0.5) / L.w;
                        if (inSeam(theta * 180 / kPi)) continue;
                        const int xl = x == 0 ? L.w - 1 : x - 1, xr = x + 1 == L.w ? 0 : x + 1;
                        const double dTheta = (L.at(xr, y) - L.at(xl, y)) * 0.5 * L.w / (2 * kPi);
                        const double dPhi = (L.at(x, y + 1) - L.at(x, y - 1)) * 0.5 * L.h / kPi;
                        const double ct = std::cos(theta), st = std::sin(theta);
                        const double gT = dTheta / sp, gP = dPhi;
                        const double g[3] = {-st * gT + cp * ct * gP, ct * gT + cp * st * gP, -sp * gP};
                        const double d[3] = {sp * ct, sp * st, cp};
                        const double mag = (gT * gT + gP * gP) * sp;
                        if (mag <= best) continue;
                        best = mag;
                        chosen.d[0] = static_cast<float>(d[0]), chosen.d[1] = static_cast<float>(d[1]);
                        chosen.d[2] = static_cast<float>(d[2]);
                        chosen.j[0] = static_cast<float>(d[1] * g[2] - d[2] * g[1]);
                        chosen.j[1] = static_cast<float>(d[2] * g[0] - d[0] * g[2]);
                        chosen.j[2] = static_cast<float>(d[0] * g[1] - d[1] * g[0]);
                        chosen.value = L.at(x, y);
                        chosen.area = static_cast<float>(sp);
                    }
                }
                if (best > 0) pts.push_back(chosen);
            }
    }
    // The key frame's own texture, as align() judges a frame's.
    double H[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, area = 0;
    for (const Point& p : points[0]) {
        area += p.area;
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 3; ++k) H[r][k] += p.area * p.j[r] * p.j[k];
    }
    const double pixel = 2 * kPi / key.level[0].w;
    keyTextured = area > 0 && smallestEigen(H) / area * pixel * pixel >= kMinTexture;
}

bool MotionEstimator::State::align(Rot& delta) {
    bool tied = true;
    for (int l = kLevels - 1; l >= 0; --l) {
        const Level& I = current.level[l];
        const std::vector<Point>& pts = points[l];
        const int iterations = l == 0 ? 6 : 8;
        const double pixel = 2 * kPi / I.w;  // radians per texel
        for (int it = 0; it < iterations; ++it) {
            const Rot back = delta.transposed();
            residuals.assign(pts.size(), NAN);
            for (size_t i = 0; i < pts.size(); ++i) {
                const Point& p = pts[i];
                const double d[3] = {p.d[0], p.d[1], p.d[2]};
                double q[3];
                back.apply(d, q);
                double x, y;
                texelOf(q, I.w, I.h, &x, &y);
                if (inSeam((x + 0.5) / I.w * 360.0)) continue;
                residuals[i] = I.sample(x, y) - p.value;
            }
            // Scale of the residuals: their median absolute value.
            std::vector<double> mags;
            mags.reserve(pts.size());
            for (double e : residuals)
                if (!std::isnan(e)) mags.push_back(std::fabs(e));
            if (mags.size() < 50) return false;
            std::nth_element(mags.begin(), mags.begin() + mags.size() / 2, mags.end());
            const double sigma = std::max(1.0, 1.4826 * mags[mags.size() / 2]);
            const double c = 4.685 * sigma * (l == kLevels - 1 && it == 0 ? 3.0 : 1.0);
            double H[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, b[3] = {0, 0, 0};
            double weight = 0, area = 0;
            for (size_t i = 0; i < pts.size(); ++i) {
                if (std::isnan(residuals[i])) continue;
                const Point& p = pts[i];
                area += p.area;
                const double w = p.area * tukey(residuals[i], c);
                weight += w;
                for (int r = 0; r < 3; ++r) {
                    b[r] += w * p.j[r] * residuals[i];
                    for (int k = 0; k < 3; ++k) H[r][k] += w * p.j[r] * p.j[k];
                }
            }
            if (!(weight > 0)) return false;
            if (l == 0 && it == iterations - 1) {
                const double texture = smallestEigen(H) / weight * pixel * pixel;
                tied = texture >= kMinTexture && weight >= kMinInliers * area;
            }
            double w[3];
            if (!solve3(H, b, w)) return false;
            // A step this large is no refinement: the alignment has lost its way.
            if (!(std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]) < 0.3)) return false;
            delta = Rot::fromVector(w) * delta;
            // Converged (the finest level runs on to judge the texture on its last round).
            if (std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]) < (l > 0 ? 1e-2 : 1e-3) * pixel) {
                if (l > 0) break;
                it = std::max(it, iterations - 2);
            }
        }
    }
    return tied && keyTextured;
}

MotionEstimator::MotionEstimator(std::unique_ptr<State> s) : s_(std::move(s)) {}
MotionEstimator::~MotionEstimator() = default;

Status MotionEstimator::create(const EngineSpec& clip, const MotionSettings& settings, std::unique_ptr<MotionEstimator>& out) {
    return guarded([&]() -> Status {
        std::unique_ptr<State> s(new State);
        s->settings = settings;
        Status st = GreyPanorama::create(clip, settings.analysisSize, settings.threads, "for the motion analysis", s->small);
        if (!st.ok()) return st;
        const EngineSpec& engineParams = s->small->params();
        const DualFisheyeModel& model = engineParams.lens.model();
        const double band = stitchlayout::stitchBlendWidth(model, engineParams.outHeight()) / engineParams.outHeight() * 180.0;
        for (int k = 0; k < 2; ++k) {
            s->seam[k][0] = 90.0 + 180.0 * k - kSeamMarginDeg;
            s->seam[k][1] = 90.0 + 180.0 * k + std::max(0.0, band) + kSeamMarginDeg;
        }
        out.reset(new MotionEstimator(std::move(s)));
        return Status();
    }, [] { return Status(kExitFailed, "not enough memory for the motion analysis"); });
}

void MotionEstimator::add(const uint8_t* bgr) {
    State& s = *s_;
    const long long index = static_cast<long long>(s.cameras.size());
    if (s.keyIndex < 0) {
        s.makePyramid(bgr, s.key);
        s.makeTemplate();
        s.keyIndex = 0;
        s.keyCamera = Rot();
        s.cameras.push_back(Rot());
        s.reliable.push_back(s.keyTextured ? 1 : 0);
        s.last = &s.key.level[0];
        return;
    }
    s.makePyramid(bgr, s.current);
    const Rot previous = s.cameras.back();
    Rot delta = s.keyCamera.transposed() * previous;
    const bool tied = s.align(delta);
    Rot camera = tied ? s.keyCamera * delta : previous;
    s.cameras.push_back(camera);
    s.reliable.push_back(tied ? 1 : 0);
    s.last = &s.current.level[0];
    if (!tied || Rot().degreesTo(delta) > kKeyTurnDeg || index - s.keyIndex >= kKeyFrames) {
        std::swap(s.key, s.current);
        s.makeTemplate();
        s.keyIndex = index;
        s.keyCamera = camera;
        s.last = &s.key.level[0];
    }
}

void MotionEstimator::restart() {
    // The pyramids and the template are made anew by the first frame.
    State& s = *s_;
    s.keyIndex = -1;
    s.keyCamera = Rot();
    s.cameras.clear();
    s.reliable.clear();
    s.last = nullptr;
}

std::vector<uint8_t> MotionEstimator::seamColumns(int w) const {
    std::vector<uint8_t> mask(static_cast<size_t>(std::max(0, w)));
    for (int x = 0; x < w; ++x) mask[x] = s_->inSeam((x + 0.5) / w * 360.0) ? 1 : 0;
    return mask;
}

const std::vector<Rot>& MotionEstimator::cameras() const { return s_->cameras; }
const std::vector<uint8_t>& MotionEstimator::reliable() const { return s_->reliable; }

}  // namespace stitcher
