#include "OverlapAlign.h"

#include <algorithm>
#include <cmath>

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

const double kPi = 3.14159265358979323846;

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
    int points() const { return rows * cols; }
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
    g.dir0.resize(static_cast<size_t>(g.points()) * 3);
    g.dir1.resize(static_cast<size_t>(g.points()) * 3);
    for (int i = 0; i < g.rows; ++i) {
        const double elevation = (-halfWidth + 2.0 * halfWidth * i / (g.rows - 1)) * kPi / 180.0;
        for (int j = 0; j < g.cols; ++j) {
            const double around = 2.0 * kPi * j / g.cols;
            const double d[3] = {std::sin(elevation), std::cos(elevation) * std::sin(around),
                                 std::cos(elevation) * std::cos(around)};
            const size_t k = static_cast<size_t>(i) * g.cols + j;
            for (int c = 0; c < 3; ++c) g.dir0[k * 3 + c] = static_cast<float>(d[c]);
            g.dir1[k * 3] = static_cast<float>(ct * d[0] - st * d[1]);
            g.dir1[k * 3 + 1] = static_cast<float>(st * d[0] + ct * d[1]);
            g.dir1[k * 3 + 2] = static_cast<float>(d[2]);
        }
    }
    return g;
}

// ---- projection of the grid into both lens images ----

// Per point: positions in full-size frame pixels (continuous, pixel centres
// at +0.5) and, when asked for, their derivatives by each parameter: lens-0
// parameters move the lens-0 position, lens-1 parameters the lens-1 one.
struct Projection {
    std::vector<float> pos;   // x0, y0, x1, y1
    std::vector<uint8_t> ok;  // both directions within their lens's view
    std::vector<float> jac;   // 2 per parameter: d(x, y) / d(parameter)
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

    void project(const Grid& grid, const Params& p, bool withJacobian, Projection* out) const {
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

        const double c0x = m.lens0.centerX * sx_, c0y = m.lens0.centerY * sy_;
        const double c1x = m.lens1.centerX * sx_, c1y = m.lens1.centerY * sy_;
        const int chunks = 64;
        pool_.run(chunks, [&](size_t chunk) {
            const size_t first = n * chunk / chunks, last = n * (chunk + 1) / chunks;
            for (size_t k = first; k < last; ++k) {
                const float* d0 = &grid.dir0[k * 3];
                const float* d1 = &grid.dir1[k * 3];
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
};

// The planes that compareFrame sums over windows: validity, each
// lens's samples and their squares, and with derivatives each parameter's
// change of its lens's sample (d) and of its square's half (sample * d).
enum Plane { V, S0, Q0, S1, Q1, kBasePlanes };
const int kLens0Params = C1X;  // parameters 0 .. 2 move lens 0, the rest lens 1
inline int dPlane(int q) { return kBasePlanes + q; }
inline int sdPlane(int q) { return kBasePlanes + kParamCount + q; }
const int kAllPlanes = kBasePlanes + 2 * kParamCount;

// Working memory of compareFrame, kept from one call to the next.
struct Scratch {
    std::vector<float> planes;  // window sums
    // Per point, before the window sums: whether both lenses were sampled,
    // the two samples and, for the derivatives, the two picture gradients.
    std::vector<uint8_t> here;
    std::vector<float> value;
    std::vector<float> grad;
    std::vector<double> line;
};

// Locally normalised difference of the two lenses over the grid, its loss
// and (with the projection's Jacobian) the normal equations of one frame.
// A lens's normalised sample is n = (s - mean) / sqrt(var + floor^2) over
// the window; the residual is n0 - n1.
void compareFrame(const GreyLevel& img, double scale, const Grid& grid, const Projection& proj, Scratch* scratch,
                  FrameSums* out) {
    const bool jac = proj.withJacobian;
    const int R = grid.rows, C = grid.cols;
    const size_t n = static_cast<size_t>(R) * C;
    const int planes = jac ? kAllPlanes : kBasePlanes;
    // Every entry below is written before it is read: no clearing needed.
    std::vector<float>& a = scratch->planes;
    std::vector<uint8_t>& here = scratch->here;
    std::vector<float>& value = scratch->value;
    std::vector<float>& grad = scratch->grad;
    a.resize(static_cast<size_t>(planes) * n);
    here.resize(n);
    value.resize(2 * n);
    if (jac) grad.resize(4 * n);
    const int minCount = (2 * kWindow + 1) * (2 * kWindow + 1) / 2;
    const double floor2 = kContrastFloor * kContrastFloor;
    const double texture2 = kTextureContrast * kTextureContrast;
    auto plane = [&](int p) { return &a[static_cast<size_t>(p) * n]; };
    // A lens-l parameter q's change of the sample at point k (grid point g).
    auto change = [&](int q, int l, size_t k, size_t g) {
        const float* jk = &proj.jac[(g * kParamCount + q) * 2];
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
    }
    if (jac)
        for (int q = 0; q < kParamCount; ++q)
            for (int t = q + 1; t < kParamCount; ++t) out->hessian[q][t] = out->hessian[t][q];
}

// ---- the solver ----

// Solves A x = b for a symmetric positive definite A (Cholesky); false when
// A is not.
bool solveSpd(double A[kParamCount][kParamCount], const double b[kParamCount], double x[kParamCount]) {
    double L[kParamCount][kParamCount] = {};
    for (int i = 0; i < kParamCount; ++i) {
        for (int j = 0; j <= i; ++j) {
            double s = A[i][j];
            for (int k = 0; k < j; ++k) s -= L[i][k] * L[j][k];
            if (i == j) {
                if (!(s > 0.0)) return false;
                L[i][i] = std::sqrt(s);
            } else {
                L[i][j] = s / L[j][j];
            }
        }
    }
    double y[kParamCount];
    for (int i = 0; i < kParamCount; ++i) {
        double s = b[i];
        for (int k = 0; k < i; ++k) s -= L[i][k] * y[k];
        y[i] = s / L[i][i];
    }
    for (int i = kParamCount - 1; i >= 0; --i) {
        double s = y[i];
        for (int k = i + 1; k < kParamCount; ++k) s -= L[k][i] * x[k];
        x[i] = s / L[i][i];
    }
    return true;
}

class Aligner {
public:
    Aligner(const DualFisheyeModel& start, const std::vector<const GreyPyramid*>& frames, int threads)
        : start_(start), frames_(frames), pool_(std::max(1, threads)),
          projector_(start, (*frames[0])[0].width, (*frames[0])[0].height, pool_),
          scratch_(static_cast<size_t>(pool_.threads())) {
        startParams_ = paramsOf(start);
    }

    // Loss (data only) and textured count of each listed frame at `p` on level `level`.
    void measure(const Grid& grid, int level, const Params& p, const std::vector<int>& which,
                 std::vector<FrameSums>* sums) const {
        Projection proj;
        projector_.project(grid, p, false, &proj);
        sums->assign(which.size(), FrameSums());
        pool_.run(which.size(), [&](size_t i) {
            const GreyPyramid& pyr = *frames_[which[i]];
            compareFrame(pyr[level], 1.0 / (1 << level), grid, proj, &scratch_[pool_.threadIndex()], &(*sums)[i]);
        });
    }

    // Data loss plus the pull toward the start, summed over the frames in use.
    double objective(const Grid& grid, int level, const Params& p, double priorScale) const {
        std::vector<FrameSums> sums;
        measure(grid, level, p, used_, &sums);
        double loss = 0.0;
        for (const FrameSums& s : sums) loss += s.loss;
        return loss + prior(p, priorScale, nullptr, nullptr);
    }

    double prior(const Params& p, double scale, double* gradient, double diag[kParamCount]) const {
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

    // Levenberg-Marquardt on one pyramid level.
    Params refineLevel(int level, int finest, double stepDeg, Params p, int maxIterations) const {
        const Grid grid = makeGrid(start_, halfWidth_, stepDeg);
        double lambda = 1e-3;
        double priorScale = -1.0;
        for (int iter = 0; iter < maxIterations; ++iter) {
            Projection proj;
            projector_.project(grid, p, true, &proj);
            std::vector<FrameSums> sums(used_.size());
            pool_.run(used_.size(), [&](size_t i) {
                compareFrame((*frames_[used_[i]])[level], 1.0 / (1 << level), grid, proj,
                             &scratch_[pool_.threadIndex()], &sums[i]);
            });
            FrameSums total;
            for (const FrameSums& s : sums) {
                total.loss += s.loss;
                total.textured += s.textured;
                for (int q = 0; q < kParamCount; ++q) {
                    total.gradient[q] += s.gradient[q];
                    for (int t = 0; t < kParamCount; ++t) total.hessian[q][t] += s.hessian[q][t];
                }
            }
            // The pull scales with the samples that carry information, fixed per level.
            if (priorScale < 0.0) priorScale = std::max<double>(1.0, static_cast<double>(total.textured));
            double priorDiag[kParamCount] = {};
            const double current = total.loss + prior(p, priorScale, total.gradient, priorDiag);

            bool accepted = false;
            double step[kParamCount] = {};
            for (int attempt = 0; attempt < 5 && !accepted; ++attempt) {
                double A[kParamCount][kParamCount];
                double rhs[kParamCount];
                for (int q = 0; q < kParamCount; ++q) {
                    for (int t = 0; t < kParamCount; ++t) A[q][t] = total.hessian[q][t];
                    A[q][q] += priorDiag[q] + lambda * (total.hessian[q][q] + priorDiag[q]);
                    rhs[q] = -total.gradient[q];
                }
                if (!solveSpd(A, rhs, step)) {
                    lambda *= 10.0;
                    continue;
                }
                Params trial = p;
                for (int q = 0; q < kParamCount; ++q) trial.v[q] += step[q];
                if (!plausible(trial)) {
                    lambda *= 10.0;
                    continue;
                }
                double value = objective(grid, level, trial, priorScale);
                if (value < current) {
                    const Params from = p;
                    p = trial;
                    accepted = true;
                    lambda = std::max(1e-7, lambda / 4.0);
                    // Directions the overlap constrains weakly take many
                    // short steps (the noise in the picture gradients
                    // overestimates their curvature): go on along the step,
                    // 2, 4, 8, 16 times as far, while the objective falls.
                    for (int factor = 2; factor <= 16; factor *= 2) {
                        Params further = from;
                        for (int q = 0; q < kParamCount; ++q) further.v[q] += step[q] * factor;
                        if (!plausible(further)) break;
                        const double v = objective(grid, level, further, priorScale);
                        if (!(v < value)) break;
                        p = further;
                        value = v;
                    }
                    for (int q = 0; q < kParamCount; ++q) step[q] = p.v[q] - from.v[q];
                } else {
                    lambda *= 8.0;
                }
            }
            if (!accepted) break;
            double largest = 0.0;
            for (int q = 0; q < kParamCount; ++q)
                largest = std::max(largest, std::fabs(step[q]) * (q >= YAW1 ? kPixelsPerDegree : 1.0));
            // Converged once a step moves the samples by a few hundredths of
            // a pixel of this level (coarser levels need only bring the
            // next one within its reach).
            if (largest * sx() < (level == finest ? 0.02 : 0.05) * (1 << level)) break;
        }
        return p;
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
        measure(fineGrid, finest, startParams_, all, &before);
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

        Params p = startParams_;
        for (int level = coarse; level >= finest; --level)
            p = refineLevel(level, finest, stepOf(level), p, level == finest ? 8 : 15);

        std::vector<FrameSums> after;
        measure(fineGrid, finest, p, used_, &after);
        double lossAfter = 0.0;
        for (const FrameSums& s : after) lossAfter += s.loss;
        result.params = p;
        result.errorAfter = lossAfter / textured / kUnrelatedLoss;
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
    Aligner aligner(start, frames, settings.threads);
    return aligner.run(settings.minFrames);
}

}  // namespace overlap
}  // namespace stitcher
