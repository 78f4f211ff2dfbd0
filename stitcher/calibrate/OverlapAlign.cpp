#include "OverlapAlign.h"

#include <algorithm>
#include <cmath>

#include "Angles.h"
#include "DualFisheyeModel.h"
#include "FisheyePlane.h"
#include "StitchLayout.h"
#include "WorkerPool.h"

namespace stitcher {
namespace overlap {

namespace {

// ---- tuning ----

// Grid steps: the coarsest level samples the overlap about every 4 degrees
// (which lets it pull in lenses several degrees and tens of pixels off), the
// finest every pixel of the frame across the overlap but not closer than a
// quarter of a degree (which a 2880-pixel-wide frame about reaches).
const double kCoarseStepDeg = 4.0;
const double kFinestStepDeg = 0.25;
// Half width of the strip of the overlap that is compared, degrees either
// side of the ring half-way between the lenses (the blend bands lie on it):
// the wider the strip, the better a shift of an image circle is told from a
// turn of its lens. It ends where the lenses, which squeeze their image
// toward the rim, hold fewer than kMinStripDensity frame pixels per degree
// across the ring (beyond that a small frame shows only mush), and a couple
// of degrees short of the rim.
const double kOverlapHalfWidthDeg = 25.0;
const double kMinStripDensity = 0.6;
// Half size of the normalisation window, in grid samples.
const int kWindow = 3;
// Grey-level floor of the local contrast, so that flat areas (and their
// noise) normalise to about zero instead of being blown up.
const double kContrastFloor = 2.0;
// A sample is textured where both lenses show at least this local contrast.
const double kTextureContrast = 3.0;
// A frame takes part when this share of its samples is textured (and at
// least kMinTexturedSamples of them).
const double kMinTexturedShare = 0.01;
const int kMinTexturedSamples = 100;
// Cauchy loss scale, in units of the normalised pictures.
const double kLossScale = 0.7;
// Degrees of lens-1 rotation are worth about this many calibration pixels of
// motion in the overlap (for convergence tests).
const double kPixelsPerDegree = 8.0;
// Pull toward the start, as the weight of a deviation of one sigma relative
// to one textured sample's loss: weak enough to leave what the overlap
// determines to the data.
const double kPriorWeight = 0.002;
const double kPriorSigma[kParamCount] = {20, 20, 20, 20, 20, 20, 3, 3, 3};
// Steps of the numeric derivatives of the lens-1 rotation, degrees.
const double kAngleStep = 0.05;
// Parallax: the lenses' optical centres lie a baseline b apart along their
// axes, so a thing at distance d is seen by the two lenses b/d radians apart
// across the ring (each lens sees it further from its own axis, times the
// cosine of its elevation from the ring), never the other way and never
// along it. Calibration errors shift the lenses' views both ways across the
// ring and along it; near things, aligned as if far, pull the calibration
// off. So per frame the alignment also solves for the parallax, at least 0
// (the far field) and at most the baseline over the nearest distance:
// - of a plane below the camera (the ground: b/h times the cosine of the
//   angle from the straight down, seen only below the horizon), one factor;
// - of whatever else, at bins kParallaxBins around the ring, linear between
//   them, the same across the strip (a thing before the ground and sky at
//   its side counts as an outlier).
const int kParallaxBins = 36;
// Per frame, the unknowns of the parallax: the bins, then the ground's.
const int kGround = kParallaxBins;
const int kLocal = kParallaxBins + 1;
// A parallax the same all around the ring is what both lenses' radii a
// little larger give, and a parallax that rises toward one side of the
// ring what the image circles a little off give: the pictures cannot tell
// them apart. Most of what a camera sees is far, so each bin is pulled
// toward the far field: firmly up to about kParallaxScale (kParallaxStiffness
// of the curvature the bin's own pictures give it), fading beyond, so that
// a near thing's parallax is hardly held back. A weak pull, as kPriorWeight,
// keeps bins that show nothing at the far field. The ground's factor has
// only the weak pull: its shape tells it from the calibration.
const double kParallaxScale = 0.25 * 3.14159265358979323846 / 180.0;
const double kParallaxStiffness = 0.3;
const double kParallaxWeight = 0.002;
const double kParallaxSigma = 2.0 * 3.14159265358979323846 / 180.0;
// The alignment runs as if all were far, then tries a few steps with the
// parallax from there: where that lowers the loss by kMinParallaxCheck, it
// runs again with the parallax from the start, and takes that only where it
// lowers the far-field alignment's loss by kMinParallaxGain. On scenes
// without near things the parallax gains a few tenths of a percent (the
// noise its freedom fits), with near things at the seams five and more.
const double kMinParallaxGain = 0.02;
const double kMinParallaxCheck = 0.01;
// Step of the numeric derivatives across the ring, radians.
const double kElevationStep = 0.05 * kPi / 180.0;

double lossOf(double r) { return 0.5 * kLossScale * kLossScale * std::log1p(r * r / (kLossScale * kLossScale)); }
double weightOf(double r) { return 1.0 / (1.0 + r * r / (kLossScale * kLossScale)); }
// What a sample costs where it cannot be compared (left the frame or the
// lens's view), so that the solver gains nothing by pushing samples out.
const double kOutsideLoss = lossOf(1.0);
// Loss of two unrelated unit-contrast pictures: the error's unit.
const double kUnrelatedLoss = lossOf(std::sqrt(2.0));

// ---- sampling grid over the overlap ----

// The overlap as a grid of rows (elevation from the ring half-way between
// the lenses) by columns (around that ring): point k = row * cols + col.
// dir0 is the direction lens 0 shows there in its mesh's frame, dir1 the
// same direction in lens 1's mesh's frame.
struct Grid {
    int rows = 0;
    int cols = 0;
    std::vector<float> dir0;
    std::vector<float> dir1;
    std::vector<double> elevation;  // per row, radians
    std::vector<double> around;     // per column, radians
    double ct = 1.0, st = 0.0;      // lens 1's mesh frame: lens 0's turned about z
    // Per column: the parallax bin before it and the share of the next one.
    std::vector<int> bin;
    std::vector<float> binShare;
    int points() const { return rows * cols; }

    // The directions at (elevation, around) in lens 0's and lens 1's mesh frames.
    void directions(double e, double a, float* d0, float* d1) const {
        const double d[3] = {std::sin(e), std::cos(e) * std::sin(a), std::cos(e) * std::cos(a)};
        for (int c = 0; c < 3; ++c) d0[c] = static_cast<float>(d[c]);
        d1[0] = static_cast<float>(ct * d[0] - st * d[1]);
        d1[1] = static_cast<float>(st * d[0] + ct * d[1]);
        d1[2] = static_cast<float>(d[2]);
    }
    // Share of the ground's parallax factor at column `col`: the ground is a
    // plane below the camera (the panorama's -z), seen only below the horizon.
    double groundAt(int col) const { return std::max(0.0, -std::cos(around[static_cast<size_t>(col)])); }
    // The parallax of column `col` from per-bin values.
    double parallaxAt(const double* bins, int col) const {
        const int b = bin[static_cast<size_t>(col)];
        const double t = binShare[static_cast<size_t>(col)];
        return (1.0 - t) * bins[b] + t * bins[(b + 1) % kParallaxBins];
    }
};

Grid makeGrid(const DualFisheyeModel& model, double halfWidth, double stepDeg) {
    // How the layout turns one lens's mesh frame into the other's: both
    // meshes show the same direction where they overlap, and lens 1's mesh
    // runs half a turn of longitude on from lens 0's. (A layout height whose
    // meshes come out whole pixels wide for every lens type, so that the
    // meshes meet exactly.)
    const int H = 1800;
    const std::vector<stitchlayout::LayoutMesh> meshes = stitchlayout::stitchMeshes(model, 2 * H, H);
    const FisheyePlane& mesh0 = meshes[0].plane;
    const FisheyePlane& mesh1 = meshes[1].plane;
    const double seamX = mesh1.posX - mesh1.planeWidth / 2 + 0.5 * stitchlayout::stitchBlendWidth(model, H);
    double a[3], b[3];
    mesh0.directionAtPoint(seamX, 0.0, a);
    mesh1.directionAtPoint(seamX, 0.0, b);
    const double turn = std::atan2(b[1], b[0]) - std::atan2(a[1], a[0]);
    const double ct = std::cos(turn), st = std::sin(turn);

    // The ring half-way between the lenses is the plane x = 0 of lens 0's
    // mesh frame (its mesh's middle looks along -x).
    Grid g;
    g.rows = std::max(3, static_cast<int>(std::lround(2.0 * halfWidth / stepDeg)) + 1);
    g.cols = std::max(8, static_cast<int>(std::lround(360.0 / stepDeg)));
    g.ct = ct;
    g.st = st;
    g.dir0.resize(static_cast<size_t>(g.points()) * 3);
    g.dir1.resize(static_cast<size_t>(g.points()) * 3);
    for (int i = 0; i < g.rows; ++i)
        g.elevation.push_back((-halfWidth + 2.0 * halfWidth * i / (g.rows - 1)) * kPi / 180.0);
    for (int j = 0; j < g.cols; ++j) {
        g.around.push_back(2.0 * kPi * j / g.cols);
        const double u = static_cast<double>(j) * kParallaxBins / g.cols;
        g.bin.push_back(static_cast<int>(u) % kParallaxBins);
        g.binShare.push_back(static_cast<float>(u - std::floor(u)));
    }
    for (int i = 0; i < g.rows; ++i)
        for (int j = 0; j < g.cols; ++j) {
            const size_t k = static_cast<size_t>(i) * g.cols + j;
            g.directions(g.elevation[static_cast<size_t>(i)], g.around[static_cast<size_t>(j)], &g.dir0[k * 3], &g.dir1[k * 3]);
        }
    return g;
}

// ---- projection of the grid into both lens images ----

// Per point: positions in full-size frame pixels (continuous, pixel centres
// at +0.5) and, when asked for, their derivatives by each parameter: lens-0
// parameters move the lens-0 position, lens-1 parameters the lens-1 one.
// With the Jacobian also each position's derivatives by the direction's
// elevation (radians), what a parallax moves.
struct Projection {
    std::vector<float> pos;   // x0, y0, x1, y1
    std::vector<uint8_t> ok;  // both directions within their lens's view
    std::vector<float> jac;   // 2 per parameter: d(x, y) / d(parameter)
    std::vector<float> across;  // d(x0, y0, x1, y1) / d(elevation)
    bool withJacobian = false;
};

struct LensView {
    FisheyeLens lens;
    float rot[3][3];
    double maxOffAxis;  // degrees

    explicit LensView(const FisheyeLens& l) : lens(l) {
        fisheyeLensRotation(lens, rot);
        // The rim itself is where the image circle's edge blurs and vignettes.
        maxOffAxis = lens.fieldOfView() * 0.5 - 1.0;
    }

    // Position in frame pixels; false beyond the lens's view.
    bool project(const float* d, double sx, double sy, double* x, double* y) const {
        float u = 0.0f, v = 0.0f;
        fisheyeDirectionToUV(lens, rot, d[0], d[1], d[2], &u, &v);
        *x = static_cast<double>(u) * lens.imageWidth * sx;
        *y = static_cast<double>(v) * lens.imageHeight * sy;
        const double X = rot[0][0] * d[0] + rot[0][1] * d[1] + rot[0][2] * d[2];
        const double Y = rot[1][0] * d[0] + rot[1][1] * d[1] + rot[1][2] * d[2];
        const double Z = rot[2][0] * d[0] + rot[2][1] * d[1] + rot[2][2] * d[2];
        return std::atan2(std::hypot(X, Y), Z) * 180.0 / kPi < maxOffAxis;
    }
};

class Projector {
public:
    Projector(const DualFisheyeModel& base, int frameWidth, int frameHeight, WorkerPool& pool)
        : base_(base), pool_(pool) {
        sx_ = static_cast<double>(frameWidth) / base.lens0.imageWidth;
        sy_ = static_cast<double>(frameHeight) / base.lens0.imageHeight;
    }

    // `parallax`: per column, the lenses' views of it moved apart across the
    // ring by (parallax + ground * cos(elevation)) * cos(elevation) radians
    // (lens 0 toward +elevation, lens 1 toward -elevation); null for none.
    // With `across`, the Jacobian's projection also has the derivatives by
    // the elevation.
    void project(const Grid& grid, const Params& p, bool withJacobian, Projection* out,
                 const std::vector<double>* parallax = nullptr, const std::vector<double>* ground = nullptr,
                 bool across = false) const {
        DualFisheyeModel m = base_;
        applyParams(p, &m);
        const LensView v0(m.lens0), v1(m.lens1);
        // Lens 1 turned a little either way about each of its axes.
        std::vector<LensView> turned;
        double angleStep[3] = {0, 0, 0};
        if (withJacobian) {
            float* angle[3] = {&m.lens1.yaw, &m.lens1.pitch, &m.lens1.roll};
            for (int a = 0; a < 3; ++a) {
                const float keep = *angle[a];
                const float hi = static_cast<float>(keep + kAngleStep), lo = static_cast<float>(keep - kAngleStep);
                angleStep[a] = static_cast<double>(hi) - lo;
                *angle[a] = hi;
                turned.emplace_back(m.lens1);
                *angle[a] = lo;
                turned.emplace_back(m.lens1);
                *angle[a] = keep;
            }
        }
        const size_t n = static_cast<size_t>(grid.points());
        out->withJacobian = withJacobian;
        out->pos.assign(n * 4, 0.0f);
        out->ok.assign(n, 0);
        out->jac.assign(withJacobian ? n * 2 * kParamCount : 0, 0.0f);
        out->across.assign(withJacobian && across ? n * 4 : 0, 0.0f);

        const double c0x = m.lens0.centerX * sx_, c0y = m.lens0.centerY * sy_;
        const double c1x = m.lens1.centerX * sx_, c1y = m.lens1.centerY * sy_;
        const int chunks = 64;
        pool_.run(chunks, [&](size_t chunk) {
            const size_t first = n * chunk / chunks, last = n * (chunk + 1) / chunks;
            for (size_t k = first; k < last; ++k) {
                const size_t row = k / static_cast<size_t>(grid.cols), col = k % static_cast<size_t>(grid.cols);
                const double e = grid.elevation[row], ar = grid.around[col];
                float moved0[3], moved1[3], unused[3];
                const float* d0 = &grid.dir0[k * 3];
                const float* d1 = &grid.dir1[k * 3];
                const double shift =
                    parallax ? ((*parallax)[col] + (*ground)[col] * std::cos(e)) * std::cos(e) : 0.0;
                if (parallax) {
                    const double half = 0.5 * shift;
                    grid.directions(e + half, ar, moved0, unused);
                    grid.directions(e - half, ar, unused, moved1);
                    d0 = moved0;
                    d1 = moved1;
                }
                double x0, y0, x1, y1;
                const bool ok0 = v0.project(d0, sx_, sy_, &x0, &y0);
                const bool ok1 = v1.project(d1, sx_, sy_, &x1, &y1);
                float* pos = &out->pos[k * 4];
                pos[0] = static_cast<float>(x0);
                pos[1] = static_cast<float>(y0);
                pos[2] = static_cast<float>(x1);
                pos[3] = static_cast<float>(y1);
                out->ok[k] = ok0 && ok1;
                if (!withJacobian) continue;
                float* j = &out->jac[k * 2 * kParamCount];
                // Centres move the image one to one; the radius scales it about the centre.
                j[2 * C0X] = static_cast<float>(sx_);
                j[2 * C0Y + 1] = static_cast<float>(sy_);
                j[2 * R0] = static_cast<float>((x0 - c0x) / m.lens0.radius);
                j[2 * R0 + 1] = static_cast<float>((y0 - c0y) / m.lens0.radius);
                j[2 * C1X] = static_cast<float>(sx_);
                j[2 * C1Y + 1] = static_cast<float>(sy_);
                j[2 * R1] = static_cast<float>((x1 - c1x) / m.lens1.radius);
                j[2 * R1 + 1] = static_cast<float>((y1 - c1y) / m.lens1.radius);
                for (int a = 0; a < 3; ++a) {
                    double xh, yh, xl, yl;
                    turned[2 * a].project(d1, sx_, sy_, &xh, &yh);
                    turned[2 * a + 1].project(d1, sx_, sy_, &xl, &yl);
                    j[2 * (YAW1 + a)] = static_cast<float>((xh - xl) / angleStep[a]);
                    j[2 * (YAW1 + a) + 1] = static_cast<float>((yh - yl) / angleStep[a]);
                }
                // Across the ring: each lens's position a little either way of its elevation.
                if (!across) continue;
                float* moving = &out->across[k * 4];
                for (int l = 0; l < 2; ++l) {
                    const double el = e + (l ? -0.5 : 0.5) * shift;
                    float hi[3], lo[3], other[3];
                    double xh, yh, xl, yl;
                    grid.directions(el + kElevationStep, ar, l ? other : hi, l ? hi : other);
                    grid.directions(el - kElevationStep, ar, l ? other : lo, l ? lo : other);
                    const LensView& v = l ? v1 : v0;
                    v.project(hi, sx_, sy_, &xh, &yh);
                    v.project(lo, sx_, sy_, &xl, &yl);
                    moving[2 * l] = static_cast<float>((xh - xl) / (2.0 * kElevationStep));
                    moving[2 * l + 1] = static_cast<float>((yh - yl) / (2.0 * kElevationStep));
                }
            }
        });
    }

private:
    const DualFisheyeModel& base_;
    WorkerPool& pool_;
    double sx_ = 1.0, sy_ = 1.0;
};

// ---- comparison of the two lenses in one frame ----

// Bilinear sample at continuous coordinates (pixel centres at +0.5), and
// with `gx`, `gy` its derivatives; the caller keeps (x, y) at least 1.5
// pixels inside the picture.
inline double sample(const GreyLevel& g, double x, double y, double* gx = nullptr, double* gy = nullptr) {
    const double fx = x - 0.5, fy = y - 0.5;
    const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
    const double ax = fx - ix, ay = fy - iy;
    const uint8_t* p = &g.px[static_cast<size_t>(iy) * g.width + ix];
    const double top = p[0] + (p[1] - p[0]) * ax;
    const double bottom = p[g.width] + (p[g.width + 1] - p[g.width]) * ax;
    if (gx) {
        *gx = (p[1] - p[0]) * (1.0 - ay) + (p[g.width + 1] - p[g.width]) * ay;
        *gy = bottom - top;
    }
    return top + (bottom - top) * ay;
}

inline bool inside(const GreyLevel& g, double x, double y) {
    return x >= 2.0 && y >= 2.0 && x <= g.width - 2.0 && y <= g.height - 2.0;
}

// Replaces each value of a rows x cols grid by the sum over the window of
// kWindow samples around it (cut at the grid's edges).
void windowSums(float* a, int rows, int cols, std::vector<double>* scratch) {
    std::vector<double>& line = *scratch;
    line.resize(static_cast<size_t>(std::max(rows, cols)) + 1);
    auto pass = [&](float* first, int count, size_t stride) {
        line[0] = 0.0;
        for (int i = 0; i < count; ++i) line[i + 1] = line[i] + first[i * stride];
        for (int i = 0; i < count; ++i)
            first[i * stride] = static_cast<float>(line[std::min(count, i + kWindow + 1)] - line[std::max(0, i - kWindow)]);
    };
    for (int i = 0; i < rows; ++i) pass(a + static_cast<size_t>(i) * cols, cols, 1);
    for (int j = 0; j < cols; ++j) pass(a + j, rows, static_cast<size_t>(cols));
}

struct FrameSums {
    double hessian[kParamCount][kParamCount] = {};
    double gradient[kParamCount] = {};
    double loss = 0.0;
    long textured = 0;
    // The frame's parallax unknowns' (kLocal) part of the normal equations:
    // by parameter, by each other, and their gradient.
    std::vector<double> mixed, bins, binGradient;
};

// The planes that compareFrame sums over windows: validity, each
// lens's samples and their squares, and with derivatives each parameter's
// change of its lens's sample (d) and of its square's half (sample * d).
// The parallax at a point moves both lenses' samples (xPlane, sxPlane per lens).
enum Plane { V, S0, Q0, S1, Q1, kBasePlanes };
const int kLens0Params = C1X;  // parameters 0 .. 2 move lens 0, the rest lens 1
inline int dPlane(int q) { return kBasePlanes + q; }
inline int sdPlane(int q) { return kBasePlanes + kParamCount + q; }
inline int xPlane(int l) { return kBasePlanes + 2 * kParamCount + l; }
inline int sxPlane(int l) { return kBasePlanes + 2 * kParamCount + 2 + l; }
const int kAllPlanes = kBasePlanes + 2 * kParamCount + 4;

// Working memory of compareFrame, kept from one call to the next.
struct Scratch {
    std::vector<float> planes;  // window sums
    // Per point, before the window sums: whether both lenses were sampled,
    // the two samples and, for the derivatives, the two picture gradients.
    std::vector<uint8_t> here;
    std::vector<float> value;
    std::vector<float> grad;
    std::vector<float> moved;  // per point and lens: the sample's change by the parallax there
    std::vector<double> line;
};

// Locally normalised difference of the two lenses over the grid, its loss
// and (with a projection's Jacobian, `jacobian`) the normal equations of one
// frame, its parallax bins' included. A lens's normalised sample is n = (s -
// mean) / sqrt(var + floor^2) over the window; the residual is n0 - n1.
// `proj` has the frame's positions, with its parallax; the Jacobian may
// come from a projection without it (near enough for the solver's steps).
void compareFrame(const GreyLevel& img, double scale, const Grid& grid, const Projection& proj,
                  const Projection* jacobian, Scratch* scratch, FrameSums* out) {
    const bool jac = jacobian != nullptr;
    const bool par = jac && !jacobian->across.empty();  // the parallax's part too
    const int R = grid.rows, C = grid.cols;
    const size_t n = static_cast<size_t>(R) * C;
    const int planes = par ? kAllPlanes : jac ? xPlane(0) : kBasePlanes;
    // Every entry below is written before it is read: no clearing needed.
    std::vector<float>& a = scratch->planes;
    std::vector<uint8_t>& here = scratch->here;
    std::vector<float>& value = scratch->value;
    std::vector<float>& grad = scratch->grad;
    a.resize(static_cast<size_t>(planes) * n);
    here.resize(n);
    value.resize(2 * n);
    if (jac) grad.resize(4 * n);
    std::vector<float>& moved = scratch->moved;
    if (par) moved.resize(2 * n);
    if (par) {
        out->mixed.assign(static_cast<size_t>(kLocal) * kParamCount, 0.0);
        out->bins.assign(static_cast<size_t>(kLocal) * kLocal, 0.0);
        out->binGradient.assign(kLocal, 0.0);
    }
    const int minCount = (2 * kWindow + 1) * (2 * kWindow + 1) / 2;
    const double floor2 = kContrastFloor * kContrastFloor;
    const double texture2 = kTextureContrast * kTextureContrast;
    auto plane = [&](int p) { return &a[static_cast<size_t>(p) * n]; };
    // A lens-l parameter q's change of the sample at point k (grid point g).
    auto change = [&](int q, int l, size_t k, size_t g) {
        const float* jk = &jacobian->jac[(g * kParamCount + q) * 2];
        return (grad[(l * 2) * n + k] * jk[0] + grad[(l * 2 + 1) * n + k] * jk[1]) * scale;
    };

    for (size_t k = 0; k < n; ++k) {
        const size_t g = k;
        const double x[2] = {proj.pos[g * 4] * scale, proj.pos[g * 4 + 2] * scale};
        const double y[2] = {proj.pos[g * 4 + 1] * scale, proj.pos[g * 4 + 3] * scale};
        here[k] = proj.ok[g] && inside(img, x[0], y[0]) && inside(img, x[1], y[1]);
        if (!here[k]) {
            for (int p = 0; p < planes; ++p) plane(p)[k] = 0.0f;
            continue;
        }
        plane(V)[k] = 1.0f;
        for (int l = 0; l < 2; ++l) {
            // Centred on mid grey, which keeps the window sums of squares small.
            double gx = 0.0, gy = 0.0;
            const double v = sample(img, x[l], y[l], &gx, &gy) - 128.0;
            value[l * n + k] = static_cast<float>(v);
            plane(l ? S1 : S0)[k] = static_cast<float>(v);
            plane(l ? Q1 : Q0)[k] = static_cast<float>(v * v);
            if (!jac) continue;
            grad[(l * 2) * n + k] = static_cast<float>(gx);
            grad[(l * 2 + 1) * n + k] = static_cast<float>(gy);
            for (int q = l ? kLens0Params : 0; q < (l ? kParamCount : kLens0Params); ++q) {
                const double d = change(q, l, k, g);
                plane(dPlane(q))[k] = static_cast<float>(d);
                plane(sdPlane(q))[k] = static_cast<float>(v * d);
            }
            if (!par) continue;
            const float* across = &jacobian->across[g * 4 + 2 * l];
            const double half = (l ? -0.5 : 0.5) * std::cos(grid.elevation[k / static_cast<size_t>(C)]);
            const double d = half * (gx * across[0] + gy * across[1]) * scale;
            moved[l * n + k] = static_cast<float>(d);
            plane(xPlane(l))[k] = static_cast<float>(d);
            plane(sxPlane(l))[k] = static_cast<float>(v * d);
        }
    }
    for (int p = 0; p < planes; ++p) windowSums(plane(p), R, C, &scratch->line);

    for (size_t k = 0; k < n; ++k) {
        const double count = plane(V)[k];
        if (!here[k] || count < minCount) {
            out->loss += kOutsideLoss;
            continue;
        }
        double mean[2], sd[2], nrm[2], var[2];
        for (int l = 0; l < 2; ++l) {
            mean[l] = plane(l ? S1 : S0)[k] / count;
            var[l] = std::max(0.0, plane(l ? Q1 : Q0)[k] / count - mean[l] * mean[l]);
            sd[l] = std::sqrt(var[l] + floor2);
            nrm[l] = (value[l * n + k] - mean[l]) / sd[l];
        }
        const double r = nrm[0] - nrm[1];
        out->loss += lossOf(r);
        if (var[0] >= texture2 && var[1] >= texture2) ++out->textured;
        if (!jac) continue;

        // d(n) = (d(s) - d(mean)) / sd - n * d(var) / (2 sd^2), with
        // d(mean) and d(var) from the window sums of d and s * d.
        double J[kParamCount];
        for (int q = 0; q < kParamCount; ++q) {
            const int l = q < kLens0Params ? 0 : 1;
            const double dMean = plane(dPlane(q))[k] / count;
            const double dVar = 2.0 * (plane(sdPlane(q))[k] / count - mean[l] * dMean);
            const double dn = (change(q, l, k, k) - dMean) / sd[l] - nrm[l] * dVar / (2.0 * sd[l] * sd[l]);
            J[q] = l == 0 ? dn : -dn;
        }
        const double w = weightOf(r);
        for (int q = 0; q < kParamCount; ++q) {
            const double wq = w * J[q];
            out->gradient[q] += wq * r;
            for (int t = 0; t <= q; ++t) out->hessian[q][t] += wq * J[t];
        }
        if (!par) continue;
        // The parallax here moves both lenses.
        double Jp = 0.0;
        for (int l = 0; l < 2; ++l) {
            const double dMean = plane(xPlane(l))[k] / count;
            const double dVar = 2.0 * (plane(sxPlane(l))[k] / count - mean[l] * dMean);
            const double dn = (moved[l * n + k] - dMean) / sd[l] - nrm[l] * dVar / (2.0 * sd[l] * sd[l]);
            Jp += l == 0 ? dn : -dn;
        }
        const size_t col = k % static_cast<size_t>(C);
        const int b[3] = {grid.bin[col], (grid.bin[col] + 1) % kParallaxBins, kGround};
        const double share = grid.binShare[col];
        const double cosE = std::cos(grid.elevation[k / static_cast<size_t>(C)]);
        const double Jb[3] = {(1.0 - share) * Jp, share * Jp, grid.groundAt(static_cast<int>(col)) * cosE * Jp};
        for (int i = 0; i < 3; ++i) {
            const double wb = w * Jb[i];
            out->binGradient[static_cast<size_t>(b[i])] += wb * r;
            double* mixed = &out->mixed[static_cast<size_t>(b[i]) * kParamCount];
            for (int q = 0; q < kParamCount; ++q) mixed[q] += wb * J[q];
            for (int t = 0; t < 3; ++t) out->bins[static_cast<size_t>(b[i]) * kLocal + b[t]] += wb * Jb[t];
        }
    }
    if (jac)
        for (int q = 0; q < kParamCount; ++q)
            for (int t = q + 1; t < kParamCount; ++t) out->hessian[q][t] = out->hessian[t][q];
}

// ---- the solver ----

// Solves A x = b for a symmetric positive definite n x n A (rows one after
// the other) by Cholesky; false when A is not.
bool solveSpd(const std::vector<double>& A, const std::vector<double>& b, std::vector<double>* x) {
    const size_t n = b.size();
    std::vector<double> L(n * n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j <= i; ++j) {
            double s = A[i * n + j];
            for (size_t k = 0; k < j; ++k) s -= L[i * n + k] * L[j * n + k];
            if (i == j) {
                if (!(s > 0.0)) return false;
                L[i * n + i] = std::sqrt(s);
            } else {
                L[i * n + j] = s / L[j * n + j];
            }
        }
    }
    std::vector<double> y(n);
    for (size_t i = 0; i < n; ++i) {
        double s = b[i];
        for (size_t k = 0; k < i; ++k) s -= L[i * n + k] * y[k];
        y[i] = s / L[i * n + i];
    }
    x->assign(n, 0.0);
    for (size_t i = n; i-- > 0;) {
        double s = y[i];
        for (size_t k = i + 1; k < n; ++k) s -= L[k * n + i] * (*x)[k];
        (*x)[i] = s / L[i * n + i];
    }
    return true;
}

// What the solver moves: the calibration's parameters and, per frame in
// use, the parallax of each bin around the ring and the ground's factor
// (radians, kLocal per frame, frame after frame).
struct State {
    Params p;
    std::vector<double> parallax;
};

class Aligner {
public:
    Aligner(const DualFisheyeModel& start, const std::vector<const GreyPyramid*>& frames, int threads,
            double maxParallax)
        : start_(start), frames_(frames), pool_(std::max(1, threads)),
          projector_(start, (*frames[0])[0].width, (*frames[0])[0].height, pool_),
          scratch_(static_cast<size_t>(pool_.threads())), maxParallax_(std::max(0.0, maxParallax)) {
        startParams_ = paramsOf(start);
    }

    // Loss (data only) and textured count of each listed frame at `p` on
    // level `level`; `parallax` (kLocal per listed frame) null for
    // none. With `jacobian` (a projection at p without parallax), the normal
    // equations too.
    void measure(const Grid& grid, int level, const Params& p, const std::vector<int>& which,
                 const std::vector<double>* parallax, const Projection* jacobian,
                 std::vector<FrameSums>* sums) const {
        std::vector<Projection> proj(parallax ? which.size() : 1);
        for (size_t i = 0; i < proj.size(); ++i) {
            std::vector<double> columns, ground;
            if (parallax) {
                const double* own = &(*parallax)[i * kLocal];
                for (int c = 0; c < grid.cols; ++c) {
                    columns.push_back(grid.parallaxAt(own, c));
                    ground.push_back(grid.groundAt(c) * own[kGround]);
                }
            }
            projector_.project(grid, p, false, &proj[i], parallax ? &columns : nullptr, &ground);
        }
        sums->assign(which.size(), FrameSums());
        pool_.run(which.size(), [&](size_t i) {
            const GreyPyramid& pyr = *frames_[static_cast<size_t>(which[i])];
            compareFrame(pyr[static_cast<size_t>(level)], 1.0 / (1 << level), grid, proj[parallax ? i : 0], jacobian,
                         &scratch_[static_cast<size_t>(pool_.threadIndex())], &(*sums)[i]);
        });
    }

    // Data loss plus the pulls toward the start and the far field, summed
    // over the frames in use.
    double objective(const Grid& grid, int level, const State& s, double priorScale,
                     const std::vector<double>& stiffness) const {
        std::vector<FrameSums> sums;
        measure(grid, level, s.p, used_, s.parallax.empty() ? nullptr : &s.parallax, nullptr, &sums);
        double loss = 0.0;
        for (const FrameSums& f : sums) loss += f.loss;
        return loss + prior(s.p, priorScale, nullptr, nullptr) +
               parallaxPrior(s.parallax, priorScale, stiffness, nullptr, nullptr);
    }

    double prior(const Params& p, double scale, double* gradient, double* diag) const {
        double e = 0.0;
        for (int q = 0; q < kParamCount; ++q) {
            const double w = scale * kPriorWeight / (kPriorSigma[q] * kPriorSigma[q]);
            const double d = p.v[q] - startParams_.v[q];
            e += 0.5 * w * d * d;
            if (gradient) gradient[q] += w * d;
            if (diag) diag[q] += w;
        }
        return e;
    }

    // Each bin's pull toward the far field: the weak one, scaled to its
    // share of the samples, and the one that fades beyond kParallaxScale,
    // of the bin's `stiffness`.
    double parallaxPrior(const std::vector<double>& parallax, double scale, const std::vector<double>& stiffness,
                         double* gradient, double* diag) const {
        const double w = scale / static_cast<double>(std::max<size_t>(1, parallax.size())) * kParallaxWeight /
                         (kParallaxSigma * kParallaxSigma);
        const double s2 = kParallaxScale * kParallaxScale;
        double e = 0.0;
        for (size_t i = 0; i < parallax.size(); ++i) {
            const double v = parallax[i], fade = 1.0 / (1.0 + v * v / s2);
            e += 0.5 * w * v * v + 0.5 * stiffness[i] * s2 * std::log1p(v * v / s2);
            if (gradient) gradient[i] += w * v + stiffness[i] * v * fade;
            if (diag) diag[i] += w + stiffness[i] * fade;
        }
        return e;
    }

    // The state moved by `step` times `factor`, the parallax kept between the
    // far field and the nearest distance.
    State moved(const State& from, const std::vector<double>& step, double factor) const {
        State s = from;
        for (int q = 0; q < kParamCount; ++q) s.p.v[q] += step[static_cast<size_t>(q)] * factor;
        for (size_t i = 0; i < s.parallax.size(); ++i)
            s.parallax[i] = std::min(maxParallax_, std::max(0.0, s.parallax[i] + step[kParamCount + i] * factor));
        return s;
    }

    // Levenberg-Marquardt on one pyramid level.
    State refineLevel(int level, int finest, double stepDeg, State s, int maxIterations) const {
        const Grid grid = makeGrid(start_, halfWidth_, stepDeg);
        const size_t n = kParamCount + s.parallax.size();
        double lambda = 1e-3;
        double priorScale = -1.0;
        std::vector<double> stiffness;
        for (int iter = 0; iter < maxIterations; ++iter) {
            Projection jacobian;
            projector_.project(grid, s.p, true, &jacobian, nullptr, nullptr, !s.parallax.empty());
            std::vector<FrameSums> sums;
            measure(grid, level, s.p, used_, s.parallax.empty() ? nullptr : &s.parallax, &jacobian, &sums);
            // The normal equations: the calibration's block, then each frame's bins.
            std::vector<double> H(n * n, 0.0), g(n, 0.0);
            double loss = 0.0;
            long textured = 0;
            for (size_t f = 0; f < sums.size(); ++f) {
                const FrameSums& fs = sums[f];
                loss += fs.loss;
                textured += fs.textured;
                for (int q = 0; q < kParamCount; ++q) {
                    g[static_cast<size_t>(q)] += fs.gradient[q];
                    for (int t = 0; t < kParamCount; ++t) H[static_cast<size_t>(q) * n + t] += fs.hessian[q][t];
                }
                const size_t o = kParamCount + f * kLocal;
                for (size_t b = 0; b < static_cast<size_t>(kLocal) && !s.parallax.empty(); ++b) {
                    g[o + b] = fs.binGradient[b];
                    for (size_t q = 0; q < static_cast<size_t>(kParamCount); ++q) {
                        H[(o + b) * n + q] = fs.mixed[b * kParamCount + q];
                        H[q * n + o + b] = fs.mixed[b * kParamCount + q];
                    }
                    for (size_t c = 0; c < static_cast<size_t>(kLocal); ++c)
                        H[(o + b) * n + o + c] = fs.bins[b * kLocal + c];
                }
            }
            // The pulls scale with the samples that carry information, fixed per level.
            if (priorScale < 0.0) {
                priorScale = std::max<double>(1.0, static_cast<double>(textured));
                stiffness.resize(s.parallax.size());
                for (size_t i = 0; i < stiffness.size(); ++i)
                    if (i % kLocal != static_cast<size_t>(kGround))
                        stiffness[i] = kParallaxStiffness * H[(kParamCount + i) * n + kParamCount + i];
            }
            std::vector<double> priorDiag(n, 0.0);
            const double current = loss + prior(s.p, priorScale, g.data(), priorDiag.data()) +
                                   parallaxPrior(s.parallax, priorScale, stiffness, g.data() + kParamCount,
                                                 priorDiag.data() + kParamCount);

            bool accepted = false;
            std::vector<double> step;
            double largest = 0.0;
            for (int attempt = 0; attempt < 5 && !accepted; ++attempt) {
                std::vector<double> A = H, rhs(n);
                for (size_t q = 0; q < n; ++q) {
                    A[q * n + q] += priorDiag[q] + lambda * (H[q * n + q] + priorDiag[q]);
                    rhs[q] = -g[q];
                }
                if (!solveSpd(A, rhs, &step)) {
                    lambda *= 10.0;
                    continue;
                }
                State trial = moved(s, step, 1.0);
                if (!plausible(trial.p)) {
                    lambda *= 10.0;
                    continue;
                }
                double value = objective(grid, level, trial, priorScale, stiffness);
                if (value < current) {
                    const State from = s;
                    s = trial;
                    accepted = true;
                    lambda = std::max(1e-7, lambda / 4.0);
                    // Directions the overlap constrains weakly take many
                    // short steps (the noise in the picture gradients
                    // overestimates their curvature): go on along the step,
                    // 2, 4, 8, 16 times as far, while the objective falls.
                    for (int factor = 2; factor <= 16; factor *= 2) {
                        const State further = moved(from, step, factor);
                        if (!plausible(further.p)) break;
                        const double v = objective(grid, level, further, priorScale, stiffness);
                        if (!(v < value)) break;
                        s = further;
                        value = v;
                    }
                    for (int q = 0; q < kParamCount; ++q)
                        largest = std::max(largest, std::fabs(s.p.v[q] - from.p.v[q]) * (q >= YAW1 ? kPixelsPerDegree : 1.0));
                    for (size_t i = 0; i < s.parallax.size(); ++i)
                        largest = std::max(largest, std::fabs(s.parallax[i] - from.parallax[i]) * 180.0 / kPi * kPixelsPerDegree);
                } else {
                    lambda *= 8.0;
                }
            }
            if (!accepted) break;
            // Converged once a step moves the samples by a few hundredths of
            // a pixel of this level (coarser levels need only bring the
            // next one within its reach).
            if (largest * sx() < (level == finest ? 0.02 : 0.05) * (1 << level)) break;
        }
        return s;
    }

    // Within reach of a calibration that still describes this camera.
    bool plausible(const Params& p) const {
        for (int q = 0; q < kParamCount; ++q) {
            if (!std::isfinite(p.v[q])) return false;
            const double d = std::fabs(p.v[q] - startParams_.v[q]);
            if (q == R0 || q == R1) {
                if (d > 0.15 * startParams_.v[q]) return false;
            } else if (q >= YAW1) {
                if (d > 20.0) return false;
            } else if (d > 0.2 * startParams_.v[q == C0X || q == C0Y ? R0 : R1]) {
                return false;
            }
        }
        return true;
    }

    AlignResult run(int minFrames) {
        AlignResult result;
        result.params = startParams_;
        const GreyPyramid& first = *frames_[0];
        // Frame pixels per degree across the overlap (radially, 90 degrees
        // off the axis, where the lens is least dense): level L is sampled
        // every 2^L pixels, down to a step of kFinestStepDeg.
        const FisheyeLens& l0 = start_.lens0;
        const double half = l0.fieldOfView() * 0.5;
        const double slope = (l0.map(90.5) - l0.map(89.5)) / l0.map(half);
        const double pixelsPerDeg = std::max(1e-3, l0.radius * sx() * slope);
        const int levels = static_cast<int>(first.size());
        auto levelFor = [&](double stepDeg) {
            const long l = std::lround(std::log2(std::max(1.0, stepDeg * pixelsPerDeg)));
            return static_cast<int>(std::min<long>(levels - 1, l));
        };
        const int finest = levelFor(kFinestStepDeg);
        const int coarse = std::max(finest, levelFor(kCoarseStepDeg));
        auto stepOf = [&](int level) { return (1 << level) / pixelsPerDeg; };
        const double radius = std::min(l0.radius, start_.lens1.radius) * sx();
        halfWidth_ = 1.0;
        for (double w = 1.5; w <= kOverlapHalfWidthDeg && 90.0 + w <= half - 2.0; w += 0.5) {
            const double density = radius * (l0.map(90.0 + w + 0.5) - l0.map(90.0 + w - 0.5)) / l0.map(half);
            if (density < kMinStripDensity) break;
            halfWidth_ = w;
        }

        // Which frames show detail in the overlap, and the error to beat.
        const Grid fineGrid = makeGrid(start_, halfWidth_, stepOf(finest));
        std::vector<int> all(frames_.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
        std::vector<FrameSums> before;
        measure(fineGrid, finest, startParams_, all, nullptr, nullptr, &before);
        long textured = 0;
        double lossBefore = 0.0;
        const long needed = std::max<long>(kMinTexturedSamples, std::lround(kMinTexturedShare * fineGrid.points()));
        for (size_t i = 0; i < before.size(); ++i) {
            if (before[i].textured < needed) continue;
            used_.push_back(static_cast<int>(i));
            textured += before[i].textured;
            lossBefore += before[i].loss;
        }
        result.framesUsed = used_;
        if (static_cast<int>(used_.size()) < std::max(1, minFrames)) {
            result.tooLittleTexture = true;
            return result;
        }
        result.errorBefore = lossBefore / textured / kUnrelatedLoss;

        // Aligned as if all were far.
        State far;
        far.p = startParams_;
        for (int level = coarse; level >= finest; --level)
            far = refineLevel(level, finest, stepOf(level), far, level == finest ? 8 : 15);
        auto lossAt = [&](const State& st) {
            std::vector<FrameSums> sums;
            measure(fineGrid, finest, st.p, used_, st.parallax.empty() ? nullptr : &st.parallax, nullptr, &sums);
            double loss = 0.0;
            for (const FrameSums& f : sums) loss += f.loss;
            return loss;
        };
        const double lossFar = lossAt(far);
        result.params = far.p;
        result.errorAfter = lossFar / textured / kUnrelatedLoss;
        // Whether near things show: a few steps with the parallax from there.
        State s = far;
        s.parallax.assign(used_.size() * kLocal, 0.0);
        s = refineLevel(finest, finest, stepOf(finest), s, 3);
        const double lossCheck = lossAt(s);
        if (!(lossCheck < (1.0 - kMinParallaxCheck) * lossFar)) return result;
        // They do: aligned with the parallax of near things from the start,
        // whose pull the far-field alignment has taken in.
        s = State();
        s.p = startParams_;
        s.parallax.assign(used_.size() * kLocal, 0.0);
        for (int level = coarse; level >= finest; --level)
            s = refineLevel(level, finest, stepOf(level), s, level == finest ? 8 : 15);
        const double lossNear = lossAt(s);
        // Freedom enough fits a little of the pictures' noise: the parallax
        // is taken where it explains clearly more than that.
        if (lossNear < (1.0 - kMinParallaxGain) * lossFar) {
            result.params = s.p;
            result.errorAfter = lossNear / textured / kUnrelatedLoss;
        }
        return result;
    }

private:
    double sx() const { return static_cast<double>((*frames_[0])[0].width) / start_.lens0.imageWidth; }

    const DualFisheyeModel& start_;
    const std::vector<const GreyPyramid*>& frames_;
    mutable WorkerPool pool_;  // for every parallel step of the alignment
    Projector projector_;
    mutable std::vector<Scratch> scratch_;  // one per pool thread
    Params startParams_;
    double maxParallax_ = 0.0;
    double halfWidth_ = 1.0;
    std::vector<int> used_;
};

}  // namespace

GreyPyramid buildPyramid(const uint8_t* bgr, int width, int height, int minWidth) {
    GreyPyramid pyr;
    if (!bgr || width <= 0 || height <= 0) return pyr;
    GreyLevel top;
    top.width = width;
    top.height = height;
    top.px.resize(static_cast<size_t>(width) * height);
    const size_t count = top.px.size();
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = bgr + i * 3;
        top.px[i] = static_cast<uint8_t>((p[0] + 2 * p[1] + p[2] + 2) >> 2);
    }
    pyr.push_back(std::move(top));
    // Each level: the [1 3 3 1] / 8 filter both ways, every second pixel, so
    // that pixel j covers pixels 2j and 2j + 1 of the level before.
    const int taps[4] = {1, 3, 3, 1};
    while (pyr.back().width / 2 >= std::max(minWidth, 8) && pyr.back().height / 2 >= 8) {
        const GreyLevel& in = pyr.back();
        GreyLevel out;
        out.width = in.width / 2;
        out.height = in.height / 2;
        std::vector<uint16_t> rows(static_cast<size_t>(out.width) * in.height);
        for (int y = 0; y < in.height; ++y) {
            const uint8_t* src = &in.px[static_cast<size_t>(y) * in.width];
            for (int x = 0; x < out.width; ++x) {
                int s = 0;
                for (int t = 0; t < 4; ++t) s += taps[t] * src[std::min(std::max(2 * x - 1 + t, 0), in.width - 1)];
                rows[static_cast<size_t>(y) * out.width + x] = static_cast<uint16_t>(s);
            }
        }
        out.px.resize(static_cast<size_t>(out.width) * out.height);
        for (int y = 0; y < out.height; ++y) {
            for (int x = 0; x < out.width; ++x) {
                int s = 0;
                for (int t = 0; t < 4; ++t)
                    s += taps[t] * rows[static_cast<size_t>(std::min(std::max(2 * y - 1 + t, 0), in.height - 1)) * out.width + x];
                out.px[static_cast<size_t>(y) * out.width + x] = static_cast<uint8_t>((s + 32) >> 6);
            }
        }
        pyr.push_back(std::move(out));
    }
    return pyr;
}

Params paramsOf(const DualFisheyeModel& model) {
    Params p;
    p.v[C0X] = model.lens0.centerX;
    p.v[C0Y] = model.lens0.centerY;
    p.v[R0] = model.lens0.radius;
    p.v[C1X] = model.lens1.centerX;
    p.v[C1Y] = model.lens1.centerY;
    p.v[R1] = model.lens1.radius;
    p.v[YAW1] = model.lens1.yaw;
    p.v[PITCH1] = model.lens1.pitch;
    p.v[ROLL1] = model.lens1.roll;
    return p;
}

void applyParams(const Params& p, DualFisheyeModel* model) {
    model->lens0.centerX = static_cast<float>(p.v[C0X]);
    model->lens0.centerY = static_cast<float>(p.v[C0Y]);
    model->lens0.radius = static_cast<float>(p.v[R0]);
    model->lens1.centerX = static_cast<float>(p.v[C1X]);
    model->lens1.centerY = static_cast<float>(p.v[C1Y]);
    model->lens1.radius = static_cast<float>(p.v[R1]);
    model->lens1.yaw = static_cast<float>(p.v[YAW1]);
    model->lens1.pitch = static_cast<float>(p.v[PITCH1]);
    model->lens1.roll = static_cast<float>(p.v[ROLL1]);
}

AlignResult alignOverlap(const DualFisheyeModel& start, const std::vector<const GreyPyramid*>& frames,
                         const AlignSettings& settings) {
    if (frames.empty()) {
        AlignResult r;
        r.params = paramsOf(start);
        return r;
    }
    Aligner aligner(start, frames, settings.threads, settings.maxParallax);
    return aligner.run(settings.minFrames);
}

}  // namespace overlap
}  // namespace stitcher
