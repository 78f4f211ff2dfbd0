#include "FisheyeSynth.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "DualFisheyeModel.h"
#include "FisheyePlane.h"
#include "LensRig.h"
#include "StitchLayout.h"
#include "calibration/Calibration.h"

namespace testutil {

namespace {

const double kPi = 3.14159265358979323846;

// The stereo fragment shader's direction of an output point splits into a
// part that depends on the row (polar angle, in the point's half) and one
// that depends on the column (longitude): each is worked out once where a
// lattice of points shares rows and columns.
struct StereoRow {
    double sinPhi, cosPhi;
};
struct StereoColumn {
    double cosTheta, sinTheta;
};

StereoRow stereoRow(double y, float H) {
    const float planeHeight = H * 0.5f;
    const float posY = y <= 0.0 ? -planeHeight / 2.0f : planeHeight / 2.0f;
    const double yi = (y - posY) / planeHeight + 0.5;
    const double phi = kPi * yi;
    return {std::sin(phi), std::cos(phi)};
}

StereoColumn stereoColumn(double x, float W) {
    const double xi = x / W + 0.5;
    const double theta = kPi * 2.0 * (1.0 - xi);
    return {std::cos(theta), std::sin(theta)};
}

// The direction rotated by 90 degrees about y in single precision, as the
// shader does it; rz and the squared distance from the z axis.
void stereoRotated(const StereoRow& r, const StereoColumn& c, double* rz, double* rr) {
    const double dx = r.sinPhi * c.cosTheta;
    const double dy = r.sinPhi * c.sinTheta;
    const double dz = r.cosPhi;
    const double cs = -4.371139e-8, s = 0.99999994;
    const double rx = cs * dx + dz;
    const double ry = s * dy;
    *rz = -dx + cs * dz;
    *rr = rx * rx + ry * ry;
}

// Angle in degrees between a stereo output point and the middle of its half,
// as the stereo fragment shader measures it (rotation of 90 degrees about y
// in single precision).
double stereoAngle(const StereoRow& r, const StereoColumn& c) {
    double rz, rr;
    stereoRotated(r, c, &rz, &rr);
    return std::atan2(std::sqrt(rr), rz) / kPi * 180.0;
}

double stereoAngle(double x, double y, float W, float H) {
    return stereoAngle(stereoRow(y, H), stereoColumn(x, W));
}

double stereoAlpha(double phi);

// Which of the three cases of stereoAlpha a point falls in: 2 opaque, 1 partly
// transparent, 0 transparent. Away from the ramp (100 to 102 degrees) a
// comparison of tangents decides, with a tenth of a degree to spare over
// rounding; near it the angle itself.
int stereoAlphaClass(const StereoRow& r, const StereoColumn& c) {
    double rz, rr;
    stereoRotated(r, c, &rz, &rr);
    if (rz >= 0.0) return 2;  // within 90 degrees
    // Beyond 90 degrees the angle is 180 - atan(sqrt(rr) / -rz).
    static const double tanBelow = std::tan(80.1 / 180.0 * kPi);  // above it: angle < 99.9
    static const double tanAbove = std::tan(77.9 / 180.0 * kPi);  // below it: angle > 102.1
    const double zz = rz * rz;
    if (rr > zz * tanBelow * tanBelow) return 2;
    if (rr < zz * tanAbove * tanAbove) return 0;
    const double a = stereoAlpha(stereoAngle(r, c));
    return a >= 1.0 ? 2 : (a > 0.0 ? 1 : 0);
}

double clamp01(double v) { return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v); }

// The stereo mesh's opacity at an angle from the middle of its half.
double stereoAlpha(double phi) {
    if (phi > 100.0) return clamp01((102.0 - phi) / 2.0);
    return 1.0;
}

const int kInverseTableSize = 1 << 15;

}  // namespace

struct StitchGeometry::Mesh {
    int lens = 0;
    FisheyePlane plane;
    float rot[3][3];
    double left, right, bottom, top;  // extent in mesh coordinates
    float planeLeft;
    double span;  // radians

    explicit Mesh(const stitchlayout::LayoutMesh& placed) : lens(placed.lens), plane(placed.plane) {
        fisheyeLensRotation(plane.lens, rot);
        const float pw = static_cast<float>(plane.planeWidth);
        const float ph = static_cast<float>(plane.planeHeight);
        left = pw * -0.5f + plane.posX;
        right = pw * 0.5f + plane.posX;
        bottom = ph * -0.5f + plane.posY;
        top = ph * 0.5f + plane.posY;
        planeLeft = plane.posX - static_cast<float>(plane.planeWidth / 2);
        span = plane.angle * kPi / 180.0;
    }

    // Grid position (fractions of the mesh, 0..1) of a mesh point.
    double fi(double x) const { return (x - plane.posX) / plane.planeWidth + 0.5; }
    double fj(double y) const { return (y - plane.posY) / plane.planeHeight + 0.5; }

    void exactUV(double x, double y, double* u, double* v) const {
        const double polar = kPi * fj(y);
        const double phi = fi(x) * span + (2.0 * kPi - span) / 2.0;
        float fu = 0.0f, fv = 0.0f;
        fisheyeDirectionToUV(plane.lens, rot, std::cos(phi) * std::sin(polar),
                             std::sin(phi) * std::sin(polar), std::cos(polar), &fu, &fv);
        *u = fu;
        *v = fv;
    }

    // Linear interpolation over the two triangles of the grid cell, split
    // along the diagonal from (i, j) to (i + 1, j + 1) as the indices are.
    void rasterUV(double x, double y, double* u, double* v) const {
        const int cols = plane.columns, rows = plane.rows;
        const double gx = fi(x) * cols, gy = fj(y) * rows;
        const int i = std::min(std::max(static_cast<int>(std::floor(gx)), 0), cols - 1);
        const int j = std::min(std::max(static_cast<int>(std::floor(gy)), 0), rows - 1);
        const double s = gx - i, t = gy - j;
        const size_t k00 = static_cast<size_t>(j) * (cols + 1) + i;
        const size_t k10 = k00 + 1, k01 = k00 + cols + 1, k11 = k01 + 1;
        const std::vector<float>& uv = plane.uvs;
        double w00, w01, w11, w10;
        if (t >= s) {
            w00 = 1.0 - t; w01 = t - s; w11 = s; w10 = 0.0;
        } else {
            w00 = 1.0 - s; w11 = t; w10 = s - t; w01 = 0.0;
        }
        *u = w00 * uv[k00 * 3] + w01 * uv[k01 * 3] + w11 * uv[k11 * 3] + w10 * uv[k10 * 3];
        *v = w00 * uv[k00 * 3 + 1] + w01 * uv[k01 * 3 + 1] + w11 * uv[k11 * 3 + 1] + w10 * uv[k10 * 3 + 1];
    }
};

int OutputSample::dominantLens() const {
    int best = -1;
    double bestWeight = 0.0;
    for (int i = 0; i < count; ++i) {
        if (s[i].weight > bestWeight) {
            bestWeight = s[i].weight;
            best = s[i].lens;
        }
    }
    return best;
}

size_t alignedRowBytes(int width) {
    return (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
}

BgrImage fromAlignedRows(const uint8_t* rows, int width, int height) {
    BgrImage img(width, height);
    const size_t stride = alignedRowBytes(width);
    for (int y = 0; y < height; ++y)
        std::copy(rows + y * stride, rows + y * stride + static_cast<size_t>(width) * 3, img.at(0, y));
    return img;
}

std::vector<uint8_t> toAlignedRows(const BgrImage& image) {
    const size_t stride = alignedRowBytes(image.width);
    std::vector<uint8_t> out(stride * image.height, 0);
    for (int y = 0; y < image.height; ++y)
        std::copy(image.at(0, y), image.at(0, y) + static_cast<size_t>(image.width) * 3, &out[y * stride]);
    return out;
}

StitchGeometry::StitchGeometry(const std::string& offset, int size, Layout layout)
    : layout_(layout), size_(size), model_(new DualFisheyeModel(nullptr)) {
    if (size <= 0 || size > (1 << 20)) {
        error_ = "size out of range";
        return;
    }
    LensRig rig;
    const calibration::Verdict usable = LensRig::make(offset, rig);
    if (!usable) {
        error_ = "calibration not usable: " + usable.reason();
        return;
    }
    *model_ = rig.model();
    buildMeshes();
    // The lens inversion tabulated by radius ratio; linear interpolation in
    // it stays within about 1e-4 degrees of the exact inverse.
    const FisheyeLens* lens[2] = {&model_->lens0, &model_->lens1};
    for (int b = 0; b < 2; ++b) {
        inverseTable_[b].resize(kInverseTableSize + 1);
        for (int i = 0; i <= kInverseTableSize; ++i)
            inverseTable_[b][i] = inverseLensRadius(*lens[b], static_cast<double>(i) / kInverseTableSize);
    }
}

StitchGeometry::~StitchGeometry() {}

const DualFisheyeModel& StitchGeometry::model() const { return *model_; }

void StitchGeometry::buildMeshes() {
    // The renderer's layouts; what the meshes show is judged here, apart
    // from the renderer.
    stitchWidth_ = 2 * size_;
    stitchHeight_ = size_;
    for (const stitchlayout::LayoutMesh& m : stitchlayout::stitchMeshes(*model_, stitchWidth_, stitchHeight_))
        stitchMeshes_.emplace_back(m);

    if (layout_ == Layout::Stitch) {
        width_ = stitchWidth_;
        height_ = stitchHeight_;
        blendWidth_ = stitchlayout::stitchBlendWidth(*model_, height_);
        meshes_ = stitchMeshes_;
    } else {
        width_ = 2 * size_;
        height_ = 2 * size_;
        for (const stitchlayout::LayoutMesh& m : stitchlayout::stereoMeshes(*model_, height_)) meshes_.emplace_back(m);
    }
}

bool StitchGeometry::meshCovers(const Mesh& m, double x, double y) const {
    return x >= m.left && x <= m.right && y >= m.bottom && y <= m.top;
}

double StitchGeometry::meshAlpha(const Mesh& m, double x, double y) const {
    if (layout_ == Layout::Stitch) {
        double t = (x - m.planeLeft) / blendWidth_;
        return crossFadeAlpha(t);
    }
    return stereoAlpha(stereoAngle(x, y, static_cast<float>(width_), static_cast<float>(height_)));
}

OutputSample StitchGeometry::forward(int col, int row, UvMode mode, int frameWidth, int frameHeight) const {
    OutputSample out;
    if (!ok() || col < 0 || row < 0 || col >= width_ || row >= height_) return out;
    const double x = width_ / 2.0 - (col + 0.5);
    const double y = row + 0.5 - height_ / 2.0;
    for (size_t i = 0; i < meshes_.size(); ++i) {
        const Mesh& m = meshes_[i];
        if (!meshCovers(m, x, y)) continue;
        const double a = meshAlpha(m, x, y);
        for (int k = 0; k < out.count; ++k) out.s[k].weight *= 1.0 - a;
        LensSample& s = out.s[out.count++];
        s.mesh = static_cast<int>(i);
        s.lens = m.lens;
        if (mode == UvMode::Exact)
            m.exactUV(x, y, &s.u, &s.v);
        else
            m.rasterUV(x, y, &s.u, &s.v);
        s.x = s.u * frameWidth;
        s.y = s.v * frameHeight;
        s.alpha = a;
        s.weight = a;
    }
    for (int k = 0; k < out.count; ++k) out.coverage += out.s[k].weight;
    return out;
}

// Which mesh shows opaquely at a point (-1 none) and whether anything drawn
// over it is partly transparent.
int StitchGeometry::visibleSignature(double x, double y, bool* partial) const {
    int top = -1;
    *partial = false;
    for (size_t i = 0; i < meshes_.size(); ++i) {
        const Mesh& m = meshes_[i];
        if (!meshCovers(m, x, y)) continue;
        const double a = meshAlpha(m, x, y);
        if (a >= 1.0) {
            top = static_cast<int>(i);
            *partial = false;
        } else if (a > 0.0) {
            *partial = true;
        }
    }
    return top;
}

bool StitchGeometry::inBlendBand(int col, int row, double margin) const {
    if (!ok() || col < 0 || row < 0 || col >= width_ || row >= height_) return false;
    const double x = width_ / 2.0 - (col + 0.5);
    const double y = row + 0.5 - height_ / 2.0;
    bool partial = false;
    const int sig = visibleSignature(x, y, &partial);
    if (partial) return true;
    if (margin <= 0.0) return false;
    // Probe the neighbourhood at half-pixel steps.
    const int steps = static_cast<int>(std::ceil(margin * 2.0));
    for (int a = -steps; a <= steps; ++a) {
        for (int b = -steps; b <= steps; ++b) {
            if (a != 0 && b != 0 && std::abs(a) != steps && std::abs(b) != steps) continue;
            const double px = x + margin * a / steps, py = y + margin * b / steps;
            if (py < -height_ / 2.0 || py > height_ / 2.0) continue;
            if (visibleSignature(px, py, &partial) != sig || partial) return true;
        }
    }
    return false;
}

std::vector<uint8_t> StitchGeometry::blendBandMask(double margin) const {
    std::vector<uint8_t> mask(static_cast<size_t>(width_) * height_, 0);
    if (layout_ == Layout::Stitch) {
        // Bands run from pole to pole: one row decides every row.
        for (int c = 0; c < width_; ++c) {
            const uint8_t v = inBlendBand(c, height_ / 2, margin) ? 1 : 0;
            for (int r = 0; r < height_; ++r) mask[static_cast<size_t>(r) * width_ + c] = v;
        }
        return mask;
    }
    if (!ok()) return mask;
    // inBlendBand probes each pixel's neighbourhood; where every probe lands
    // on the half-pixel lattice (whole or half-pixel margins) each lattice
    // point's signature is worked out once and shared by the pixels that
    // probe it. The points are the same numbers, so the mask is the same.
    const int steps = margin > 0.0 ? static_cast<int>(std::ceil(margin * 2.0)) : 0;
    std::vector<int> halfSteps;  // probe offset a / steps in half pixels
    for (int a = -steps; a <= steps; ++a) {
        const double twice = 2.0 * (margin * a / steps);
        if (twice != std::floor(twice)) {
            for (int r = 0; r < height_; ++r)
                for (int c = 0; c < width_; ++c)
                    mask[static_cast<size_t>(r) * width_ + c] = inBlendBand(c, r, margin) ? 1 : 0;
            return mask;
        }
        halfSteps.push_back(static_cast<int>(twice));
    }
    if (halfSteps.empty()) halfSteps.push_back(0);
    const int reach = std::max(std::abs(halfSteps.front()), std::abs(halfSteps.back()));
    // Lattice column u is x = width / 2 - u / 2 (pixel c's centre at u = 2c + 1),
    // row v is y = v / 2 - height / 2 (pixel r's centre at v = 2r + 1); rows
    // beyond the poles are never probed.
    const int u0 = 1 - reach, nu = 2 * width_ - 1 + 2 * reach;
    const int nv = 2 * height_ + 1;
    const float W = static_cast<float>(width_), H = static_cast<float>(height_);
    std::vector<StereoColumn> columns(nu);
    for (int i = 0; i < nu; ++i) columns[i] = stereoColumn(width_ / 2.0 - (u0 + i) * 0.5, W);
    // Per point: the visible mesh + 1 (low bits), 0x80 where something drawn
    // over it is partly transparent.
    std::vector<uint8_t> lattice(static_cast<size_t>(nu) * nv);
    for (int v = 0; v < nv; ++v) {
        const double y = v * 0.5 - height_ / 2.0;
        const StereoRow row = stereoRow(y, H);
        for (int i = 0; i < nu; ++i) {
            const double x = width_ / 2.0 - (u0 + i) * 0.5;
            int top = -1, cls = -1;
            bool partial = false;
            for (size_t k = 0; k < meshes_.size(); ++k) {
                if (!meshCovers(meshes_[k], x, y)) continue;
                if (cls < 0) cls = stereoAlphaClass(row, columns[i]);  // the same for every mesh
                if (cls == 2) {
                    top = static_cast<int>(k);
                    partial = false;
                } else if (cls == 1) {
                    partial = true;
                }
            }
            lattice[static_cast<size_t>(v) * nu + i] = static_cast<uint8_t>((top + 1) | (partial ? 0x80 : 0));
        }
    }
    for (int r = 0; r < height_; ++r) {
        for (int c = 0; c < width_; ++c) {
            const int uc = 2 * c + 1 - u0, vc = 2 * r + 1;
            const uint8_t centre = lattice[static_cast<size_t>(vc) * nu + uc];
            bool band = (centre & 0x80) != 0;
            for (int a = 0; a <= 2 * steps && !band && steps > 0; ++a) {
                for (int b = 0; b <= 2 * steps && !band; ++b) {
                    // The ring at the margin and the two axes, as inBlendBand probes.
                    const int ra = a - steps, rb = b - steps;
                    if (ra != 0 && rb != 0 && std::abs(ra) != steps && std::abs(rb) != steps) continue;
                    const int v = vc + halfSteps[b];
                    if (v < 0 || v >= nv) continue;
                    // x grows to the left: a probe at x + d is lattice column u - 2d.
                    const uint8_t p = lattice[static_cast<size_t>(v) * nu + uc - halfSteps[a]];
                    band = p != centre;
                }
            }
            mask[static_cast<size_t>(r) * width_ + c] = band ? 1 : 0;
        }
    }
    return mask;
}

double crossFadeAlpha(double x) {
    const double lamda = 5.2, a = 0.5;
    x = clamp01(x);
    if (x <= 0.5) return a * std::pow(2.0 * x, lamda);
    return 1.0 - (1.0 - a) * std::pow(2.0 * (1.0 - x), lamda);
}

double inverseLensRadius(const FisheyeLens& lens, double ratio) {
    const double half = static_cast<double>(lens.fieldOfView() * 0.5f);
    const double top = lens.map(half);
    const double target = ratio * top;
    if (!(target > lens.map(0.0))) return 0.0;
    if (target >= top) return half;
    // map rises monotonically over [0, half]: Newton steps kept inside a
    // shrinking bracket, falling back to bisection.
    double lo = 0.0, hi = half;
    double t = half * ratio;
    for (int iter = 0; iter < 60; ++iter) {
        const double f = lens.map(t) - target;
        if (f > 0.0) hi = t; else lo = t;
        if (std::fabs(f) < 1e-15 || hi - lo < 1e-12) break;
        const double h = 1e-5;
        const double slope = (lens.map(t + h) - lens.map(t - h)) / (2.0 * h);
        double next = slope > 0.0 ? t - f / slope : 0.5 * (lo + hi);
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        t = next;
    }
    return t;
}

bool StitchGeometry::frameToOutput(double x, double y, int frameWidth, int frameHeight,
                                   double* col, double* row, int* lens) const {
    if (!ok() || frameWidth <= 0 || frameHeight <= 0) return false;
    const FisheyeLens* l[2] = {&model_->lens0, &model_->lens1};
    const double U = x / frameWidth * l[0]->imageWidth;
    const double V = y / frameHeight * l[0]->imageHeight;
    int b = -1;
    double bestRatio = 0.0;
    for (int i = 0; i < 2; ++i) {
        const double ratio = std::hypot(U - l[i]->centerX, V - l[i]->centerY) / l[i]->radius;
        if (ratio <= 1.0 && (b < 0 || ratio < bestRatio)) {
            b = i;
            bestRatio = ratio;
        }
    }
    if (b < 0) return false;

    // Lens frame direction, then back through the mesh's rotation (its transpose).
    const double pos = bestRatio * kInverseTableSize;
    const int i0 = std::min(static_cast<int>(pos), kInverseTableSize - 1);
    const std::vector<double>& table = inverseTable_[b];
    const double thetaDeg = table[i0] + (table[i0 + 1] - table[i0]) * (pos - i0);
    const double theta = thetaDeg * kPi / 180.0;
    const double alpha = std::atan2(V - l[b]->centerY, U - l[b]->centerX);
    const double L[3] = {std::sin(theta) * std::cos(alpha), std::sin(theta) * std::sin(alpha), std::cos(theta)};
    const Mesh& m = stitchMeshes_[b];  // lens 0 -> mesh 0, lens 1 -> mesh 1
    double d[3];
    for (int i = 0; i < 3; ++i) d[i] = m.rot[0][i] * L[0] + m.rot[1][i] * L[1] + m.rot[2][i] * L[2];
    const double polar = std::acos(std::max(-1.0, std::min(1.0, d[2] / std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]))));
    double phi = std::atan2(d[1], d[0]);
    if (phi < 0.0) phi += 2.0 * kPi;

    const double W = stitchWidth_, H = stitchHeight_;
    // Invert the mesh's linear maps: phi -> grid fraction -> mesh x.
    const double fi = (phi - (2.0 * kPi - m.span) / 2.0) / m.span;
    double mx = m.plane.planeWidth * (fi - 0.5) + m.plane.posX;
    mx = std::fmod(mx + W / 2.0, W);
    if (mx < 0.0) mx += W;
    mx -= W / 2.0;
    const double my = m.plane.planeHeight * (polar / kPi - 0.5) + m.plane.posY;
    *col = W / 2.0 - mx;
    *row = my + H / 2.0;
    if (lens) *lens = b;
    return true;
}

void sampleBilinear(const BgrImage& image, double x, double y, bool wrapX, double out[3]) {
    out[0] = out[1] = out[2] = 0.0;
    if (image.empty()) return;
    const double fx = x - 0.5, fy = std::min(std::max(y - 0.5, 0.0), image.height - 1.0);
    const double x0f = std::floor(fx), y0f = std::floor(fy);
    const double ax = fx - x0f, ay = fy - y0f;
    const int y0 = static_cast<int>(y0f), y1 = std::min(y0 + 1, image.height - 1);
    int x0, x1;
    if (wrapX) {
        const long long w = image.width;
        long long i0 = static_cast<long long>(x0f) % w;
        if (i0 < 0) i0 += w;
        x0 = static_cast<int>(i0);
        x1 = static_cast<int>((i0 + 1) % w);
    } else {
        const double cx = std::min(std::max(fx, 0.0), image.width - 1.0);
        const double c0 = std::floor(cx);
        x0 = static_cast<int>(c0);
        x1 = std::min(x0 + 1, image.width - 1);
        const double bx = cx - c0;
        const uint8_t *p00 = image.at(x0, y0), *p10 = image.at(x1, y0), *p01 = image.at(x0, y1), *p11 = image.at(x1, y1);
        for (int c = 0; c < 3; ++c)
            out[c] = (p00[c] * (1 - bx) + p10[c] * bx) * (1 - ay) + (p01[c] * (1 - bx) + p11[c] * bx) * ay;
        return;
    }
    const uint8_t *p00 = image.at(x0, y0), *p10 = image.at(x1, y0), *p01 = image.at(x0, y1), *p11 = image.at(x1, y1);
    for (int c = 0; c < 3; ++c)
        out[c] = (p00[c] * (1 - ax) + p10[c] * ax) * (1 - ay) + (p01[c] * (1 - ax) + p11[c] * ax) * ay;
}

namespace {
uint8_t toByte(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 255.0) return 255;
    return static_cast<uint8_t>(std::lround(v));
}
}  // namespace

StitchGeometry::FrameMap StitchGeometry::frameMap(int frameWidth, int frameHeight, int supersample) const {
    FrameMap map;
    if (!ok() || frameWidth <= 0 || frameHeight <= 0 || supersample < 1 || supersample > 16) return map;
    const int n = supersample;
    map.frameWidth = frameWidth;
    map.frameHeight = frameHeight;
    map.supersample = n;
    map.pos.assign(static_cast<size_t>(frameWidth) * frameHeight * n * n * 2, std::numeric_limits<float>::quiet_NaN());
    size_t k = 0;
    for (int py = 0; py < frameHeight; ++py)
        for (int px = 0; px < frameWidth; ++px)
            for (int a = 0; a < n; ++a)
                for (int b = 0; b < n; ++b, k += 2) {
                    double col, row;
                    if (!frameToOutput(px + (b + 0.5) / n, py + (a + 0.5) / n, frameWidth, frameHeight, &col, &row,
                                       nullptr))
                        continue;
                    map.pos[k] = static_cast<float>(col);
                    map.pos[k + 1] = static_cast<float>(row);
                }
    return map;
}

BgrImage StitchGeometry::synthesise(const BgrImage& source, const FrameMap& map, double turnDegrees) const {
    const size_t perPixel = static_cast<size_t>(map.supersample) * map.supersample;
    if (!ok() || source.empty() || map.frameWidth <= 0 || map.frameHeight <= 0 || map.supersample < 1 ||
        map.pos.size() != static_cast<size_t>(map.frameWidth) * map.frameHeight * perPixel * 2)
        return BgrImage();
    BgrImage frame(map.frameWidth, map.frameHeight);
    const double sx = static_cast<double>(source.width) / stitchWidth_;
    const double sy = static_cast<double>(source.height) / stitchHeight_;
    const double shift = turnDegrees / 360.0 * source.width;
    size_t k = 0;
    for (int py = 0; py < map.frameHeight; ++py) {
        for (int px = 0; px < map.frameWidth; ++px) {
            double acc[3] = {0.0, 0.0, 0.0};
            for (size_t q = 0; q < perPixel; ++q, k += 2) {
                if (std::isnan(map.pos[k])) continue;
                double rgb[3];
                sampleBilinear(source, map.pos[k] * sx - shift, map.pos[k + 1] * sy, true, rgb);
                for (int c = 0; c < 3; ++c) acc[c] += rgb[c];
            }
            uint8_t* p = frame.at(px, py);
            for (int c = 0; c < 3; ++c) p[c] = toByte(acc[c] / static_cast<double>(perPixel));
        }
    }
    return frame;
}

BgrImage StitchGeometry::synthesise(const BgrImage& source, const FrameMap& map, const double camera[3][3]) const {
    const size_t perPixel = static_cast<size_t>(map.supersample) * map.supersample;
    if (!ok() || source.empty() || map.frameWidth <= 0 || map.frameHeight <= 0 || map.supersample < 1 ||
        map.pos.size() != static_cast<size_t>(map.frameWidth) * map.frameHeight * perPixel * 2)
        return BgrImage();
    BgrImage frame(map.frameWidth, map.frameHeight);
    const double pi = 3.14159265358979323846;
    size_t k = 0;
    for (int py = 0; py < map.frameHeight; ++py) {
        for (int px = 0; px < map.frameWidth; ++px) {
            double acc[3] = {0.0, 0.0, 0.0};
            for (size_t q = 0; q < perPixel; ++q, k += 2) {
                if (std::isnan(map.pos[k])) continue;
                const double t = 2 * pi * map.pos[k] / stitchWidth_, p = pi * map.pos[k + 1] / stitchHeight_;
                const double d[3] = {std::sin(p) * std::cos(t), std::sin(p) * std::sin(t), std::cos(p)};
                double w[3];
                for (int i = 0; i < 3; ++i) w[i] = camera[i][0] * d[0] + camera[i][1] * d[1] + camera[i][2] * d[2];
                double wt = std::atan2(w[1], w[0]);
                if (wt < 0) wt += 2 * pi;
                const double wp = std::atan2(std::sqrt(w[0] * w[0] + w[1] * w[1]), w[2]);
                double rgb[3];
                sampleBilinear(source, wt / (2 * pi) * source.width, wp / pi * source.height, true, rgb);
                for (int c = 0; c < 3; ++c) acc[c] += rgb[c];
            }
            uint8_t* out = frame.at(px, py);
            for (int c = 0; c < 3; ++c) out[c] = toByte(acc[c] / static_cast<double>(perPixel));
        }
    }
    return frame;
}

BgrImage StitchGeometry::synthesise(const BgrImage& source, int frameWidth, int frameHeight) const {
    if (!ok() || source.empty() || frameWidth <= 0 || frameHeight <= 0) return BgrImage();
    return synthesise(source, frameMap(frameWidth, frameHeight));
}

BgrImage StitchGeometry::stitch(const BgrImage& frame, UvMode mode) const {
    if (!ok() || frame.empty()) return BgrImage();
    BgrImage out(width_, height_);
    for (int r = 0; r < height_; ++r) {
        for (int c = 0; c < width_; ++c) {
            const OutputSample s = forward(c, r, mode, frame.width, frame.height);
            double acc[3] = {0, 0, 0};
            for (int k = 0; k < s.count; ++k) {
                double rgb[3];
                sampleBilinear(frame, s.s[k].x, s.s[k].y, false, rgb);
                for (int ch = 0; ch < 3; ++ch) acc[ch] += s.s[k].weight * rgb[ch];
            }
            uint8_t* p = out.at(c, r);
            for (int ch = 0; ch < 3; ++ch) p[ch] = toByte(acc[ch]);
        }
    }
    return out;
}

BgrImage makeSmoothPanorama(int width, int height, int detail) {
    const double k = detail > 0 ? detail : 1;
    BgrImage img(width > 0 ? width : 0, height > 0 ? height : 0);
    for (int r = 0; r < img.height; ++r) {
        const double polar = kPi * (r + 0.5) / img.height;
        const double s = std::sin(polar);
        for (int c = 0; c < img.width; ++c) {
            const double lon = 2.0 * kPi * (c + 0.5) / img.width;
            // Longitude detail fades towards the poles, where one row is one point.
            uint8_t* p = img.at(c, r);
            p[0] = toByte(128.0 + 90.0 * s * std::cos(k * lon) + 30.0 * std::cos(k * polar));
            p[1] = toByte(128.0 + 80.0 * s * std::sin(2.0 * k * lon + 0.5) - 40.0 * std::cos(2.0 * k * polar));
            p[2] = toByte(128.0 + 60.0 * std::cos(k * polar) + 50.0 * s * std::sin(3.0 * k * lon));
        }
    }
    return img;
}

double psnr(const BgrImage& a, const BgrImage& b, const std::vector<uint8_t>* mask) {
    if (a.width != b.width || a.height != b.height || a.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const size_t n = static_cast<size_t>(a.width) * a.height;
    if (mask && mask->size() != n) return std::numeric_limits<double>::quiet_NaN();
    double sum = 0.0;
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        if (mask && !(*mask)[i]) continue;
        for (int c = 0; c < 3; ++c) {
            const double d = static_cast<double>(a.data[i * 3 + c]) - b.data[i * 3 + c];
            sum += d * d;
        }
        count += 3;
    }
    if (count == 0) return std::numeric_limits<double>::quiet_NaN();
    if (sum == 0.0) return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(255.0 * 255.0 / (sum / count));
}

bool synthesiseDualFisheye(const std::string& offset, int frameWidth, int frameHeight,
                           const BgrImage& source, int outputSize, BgrImage* frame, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (!frame) return fail("no output picture");
    if (frameWidth <= 0 || frameHeight <= 0) return fail("frame size must be positive");
    if (source.empty() || source.data.size() != static_cast<size_t>(source.width) * source.height * 3)
        return fail("source picture is empty or inconsistent");
    StitchGeometry geometry(offset, outputSize, Layout::Stitch);
    if (!geometry.ok()) return fail(geometry.error());
    *frame = geometry.synthesise(source, frameWidth, frameHeight);
    return true;
}

}  // namespace testutil
