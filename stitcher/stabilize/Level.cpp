#include "Level.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "Angles.h"


namespace stitcher {

namespace {

constexpr double kMinEdge = 6.0;        // grey levels per pixel across an edge taken in
constexpr double kSameWay = 22.5 * kDeg;  // how far the edges of one segment may turn
constexpr size_t kMinSegment = 6;        // pixels of a segment
constexpr double kMinLength = 5.0;       // pixels of arc along a segment
constexpr double kMaxWidth = 1.2;        // pixels of arc across it (RMS)
constexpr double kNearLine = 3.0;        // pixels of arc from its circle that its pixels keep to
constexpr size_t kMinRows = 5;           // rows of a segment fitted by its edge's place in each
constexpr double kRowScatter = 0.3;      // pixels of arc from its circle that those places may stray at least
constexpr size_t kEndRows = 2;           // rows at either end of such a segment left out of that fit
constexpr double kMaxTilt = 20.0;       // degrees of tilt searched, about the first frame's up
constexpr int kSectors = 8;
constexpr int kHorizonBins = 32;          // pieces of the horizon: a thirty-second of the circle each
constexpr double kMinHorizonPiece = 8.0;  // pixels of arc along a piece of the horizon
constexpr int kMinHorizonBins = 12;       // of them, where a horizon must be seen
constexpr int kMinHorizonRun = 2;         // of them next to one another, that count towards those
// How far below the level a horizon may lie (the dip of the sea's from a
// cliff, or of level land's edge a few hundred metres off; the low stretch
// of a hilly skyline lies further down), and above it (the error of the fit).
constexpr double kHorizonDip = 0.5 * kPi / 180;
constexpr double kHorizonRise = 0.1 * kPi / 180;
constexpr double kSkyBelow = 0.3 * kPi / 180;  // sky seen this far below a horizon belies it
constexpr double kMinHorizonTilt = 1.0;  // degrees of tilt, the least corrected from the horizon
// A clip held within kNearLevel degrees of level is corrected from its
// vertical lines only where they are certain to within kNearLevelSure
// degrees: a level clip must come out within a fifth of a degree, and the
// error of an estimate acted on reaches one and a half times its
// uncertainty (lines that agree closely can share an error of a few tenths
// that their scatter does not show, as a room's walls near the camera do).
constexpr double kNearLevel = 1.0;
constexpr double kNearLevelSure = 0.2 / 1.5;
constexpr double kLinesReach = 3.0;  // degrees from vertical of the lines that check a horizon
constexpr double kMinPrecision = 0.2 * kDeg;  // no segment is taken as known better than this
constexpr double kMinProminence = 4;     // the peak of votes over their scatter
constexpr size_t kPeaksTried = 8;        // the highest peaks of votes each refined
constexpr double kMaxWalk = 2.0;         // degrees from the peak of votes that its fit may settle
// Degrees from the nadir or the zenith (under the peak of votes) within
// which a segment is not taken for a piece of a vertical line.
constexpr double kNearPole = 20.0;
// Degrees: an estimate less certain is not acted on. The error of those
// acted on has stayed within 1.5 times their uncertainty on the test
// worlds (0.65 times, root mean square), so a levelled clip is kept
// within half a degree.
constexpr double kMaxUncertainty = 0.3;
constexpr double kUnseen = 0.1;  // degrees of error that the lines' scatter does not show
constexpr double kTukey = 4.0;  // segments beyond this many of their own errors off count for nothing
// Radians within which two segments' circles are taken as one line of the
// world: a degree, or further where their circles are known less well (the
// pieces of one line, each short, scatter by their own errors).
constexpr double kSameLine = 1.0 * kDeg;
constexpr double kLineSpread = 3.0;  // of the two circles' errors together
// Of the information on the weaker tilt, what must be left with any one
// line of the world taken away.
constexpr double kMinSpare = 0.1;
// Of the segments vertical under the fit, the least share that must tie
// down the weaker tilt: counted alike (one strong line is no spread of
// lines), and weighed by their precision as the fit weighs them: where a
// few long lines face one way, the other tilt rests on short pieces, whose
// circles stray further than their precision says, and the fit's own
// error, taken from the information on both tilts, does not show it.
constexpr double kMinWeaker = 0.05;

// A square of candidate ups u = (a, b, 1) (unnormalised; a and b are the
// tangents of the tilts towards x and y), n x n cells of `cell` about
// (a0, b0).
struct Grid {
    double a0 = 0, b0 = 0, cell = 0;
    int half = 0;
    int n() const { return 2 * half + 1; }
};

// The votes of each sector's edges: an edge votes, split between the two
// nearest cells of each row (or column), along the line of ups under which
// it is vertical, n . (a, b, 1) = 0; each edge's vote integrates to its
// weight across that line.
void vote(const Grid& g, const std::vector<float>& normals, const std::vector<float>& weights,
          const std::vector<uint8_t>& sectors, std::vector<std::vector<double>>& acc) {
    const int n = g.n();
    acc.assign(kSectors, std::vector<double>(static_cast<size_t>(n) * n, 0.0));
    const double reach = g.half * g.cell;
    for (size_t e = 0; e < weights.size(); ++e) {
        const double nx = normals[3 * e], ny = normals[3 * e + 1], nz = normals[3 * e + 2];
        const double residual = nx * g.a0 + ny * g.b0 + nz;  // at the grid's centre
        if (std::fabs(residual) > (std::fabs(nx) + std::fabs(ny)) * reach + g.cell) continue;
        std::vector<double>& into = acc[sectors[e]];
        const bool alongA = std::fabs(nx) >= std::fabs(ny);
        const double major = alongA ? nx : ny, minor = alongA ? ny : nx;
        const double w = weights[e] / std::fabs(major);
        for (int j = 0; j < n; ++j) {
            // Offset along the minor axis from the centre, then the line's
            // offset along the major one.
            const double m = (j - g.half) * g.cell;
            const double f = -(residual + minor * m) / major / g.cell + g.half;
            const int i = static_cast<int>(std::floor(f));
            if (i < -1 || i >= n) continue;
            const double t = f - i;
            auto cell = [&](int k) -> double& {
                return alongA ? into[static_cast<size_t>(j) * n + k] : into[static_cast<size_t>(k) * n + j];
            };
            if (i >= 0) cell(i) += w * (1 - t);
            if (i + 1 < n) cell(i + 1) += w * t;
        }
    }
}

// Gaussian blur of an n x n array (rows are b, columns a), weights
// renormalised at the borders.
std::vector<double> blur(const std::vector<double>& in, int n, double sigma) {
    const int r = static_cast<int>(std::ceil(3 * sigma));
    std::vector<double> k(2 * r + 1);
    for (int i = -r; i <= r; ++i) k[i + r] = std::exp(-0.5 * i * i / (sigma * sigma));
    std::vector<double> tmp(in.size()), out(in.size());
    for (int pass = 0; pass < 2; ++pass) {
        const std::vector<double>& src = pass == 0 ? in : tmp;
        std::vector<double>& dst = pass == 0 ? tmp : out;
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                double sum = 0, norm = 0;
                for (int i = -r; i <= r; ++i) {
                    const int xx = pass == 0 ? x + i : x, yy = pass == 0 ? y : y + i;
                    if (xx < 0 || xx >= n || yy < 0 || yy >= n) continue;
                    sum += k[i + r] * src[static_cast<size_t>(yy) * n + xx];
                    norm += k[i + r];
                }
                dst[static_cast<size_t>(y) * n + x] = sum / norm;
            }
    }
    return out;
}

// The peak of `score` (n x n), to a fraction of a cell; its height.
double peak(const std::vector<double>& score, const Grid& g, double* a, double* b) {
    const int n = g.n();
    size_t best = 0;
    for (size_t i = 1; i < score.size(); ++i)
        if (score[i] > score[best]) best = i;
    const int x = static_cast<int>(best % n), y = static_cast<int>(best / n);
    auto at = [&](int xx, int yy) { return score[static_cast<size_t>(std::clamp(yy, 0, n - 1)) * n + std::clamp(xx, 0, n - 1)]; };
    auto vertex = [](double l, double c, double r) {
        const double d = l - 2 * c + r;
        return d < 0 ? std::clamp(0.5 * (l - r) / d, -0.5, 0.5) : 0.0;
    };
    const double dx = x > 0 && x + 1 < n ? vertex(at(x - 1, y), at(x, y), at(x + 1, y)) : 0.0;
    const double dy = y > 0 && y + 1 < n ? vertex(at(x, y - 1), at(x, y), at(x, y + 1)) : 0.0;
    *a = g.a0 + (x + dx - g.half) * g.cell;
    *b = g.b0 + (y + dy - g.half) * g.cell;
    return score[best];
}

// The votes with their smooth surround taken off: what stands out at the
// scale of the grid's fine blur.
std::vector<double> standOut(const std::vector<double>& acc, int n, double fine, double wide) {
    std::vector<double> a = blur(acc, n, fine);
    const std::vector<double> b = blur(acc, n, wide);
    for (size_t i = 0; i < a.size(); ++i) a[i] -= b[i];
    return a;
}

// The direction of the middle of pixel `p` (row-major) of a w x h
// equirectangular picture, z up.
void pixelDirection(size_t p, int w, int h, double d[3]) {
    const int px = static_cast<int>(p % w), py = static_cast<int>(p / w);
    const double phi = kPi * (py + 0.5) / h, theta = 2 * kPi * (px + 0.5) / w;
    d[0] = std::sin(phi) * std::cos(theta), d[1] = std::sin(phi) * std::sin(theta), d[2] = std::cos(phi);
}

// The grid of ups voted over first: half-degree cells over the whole reach
// of tilts.
Grid coarseGrid() {
    Grid g;
    g.cell = 0.5 * kDeg;
    g.half = static_cast<int>(std::tan(kMaxTilt * kDeg) / g.cell);
    return g;
}

// The votes of all the segments over that grid: what stands out at a
// degree against their level over several.
std::vector<double> coarseVotes(const Grid& g, const std::vector<float>& normals, const std::vector<float>& weights,
                                const std::vector<uint8_t>& sectors) {
    std::vector<std::vector<double>> acc;
    vote(g, normals, weights, sectors, acc);
    std::vector<double> all(acc[0].size(), 0.0);
    for (const auto& s : acc)
        for (size_t i = 0; i < s.size(); ++i) all[i] += s[i];
    return standOut(all, g.n(), 1.0, 6.0);
}

// The eigenvector of the smallest eigenvalue of a symmetric 3 x 3 matrix,
// and the eigenvalues (rising), by Jacobi rotations.
void eigen3(const double in[3][3], double values[3], double smallest[3]) {
    double a[3][3], v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) a[i][j] = in[i][j];
    for (int sweep = 0; sweep < 50; ++sweep) {
        const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
        if (off < 1e-30) break;
        for (int p = 0; p < 2; ++p)
            for (int q = p + 1; q < 3; ++q) {
                if (std::fabs(a[p][q]) < 1e-300) continue;
                const double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
                const double t = (theta >= 0 ? 1 : -1) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
                const double c = 1 / std::sqrt(t * t + 1), s = t * c;
                for (int k = 0; k < 3; ++k) {
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < 3; ++k) {
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                for (int k = 0; k < 3; ++k) {
                    const double vkp = v[k][p], vkq = v[k][q];
                    v[k][p] = c * vkp - s * vkq;
                    v[k][q] = s * vkp + c * vkq;
                }
            }
    }
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int x, int y) { return a[x][x] < a[y][y]; });
    for (int i = 0; i < 3; ++i) values[i] = a[order[i]][order[i]];
    for (int k = 0; k < 3; ++k) smallest[k] = v[k][order[0]];
}

// The circle of a segment that runs down the picture, fitted through the
// edge's place in each of its rows: found to a fraction of a pixel as the
// middle of the steps of grey across the row about the row's strongest
// pixel of the segment, each row weighed by the size of its step. Where an
// edge across the line meets it (a window's head or sill beside its jamb),
// the segment takes in a few of that edge's pixels, which lean a circle
// fitted through its pixels, while the rows' steps across still place the
// line itself. In the rows at its ends, where that edge crosses them
// aslant under a tilt, the step is spread to one side (the other way at
// the other end, so that a short segment leans with the tilt): those rows
// are left out. A row whose place leaves the line's trend (a stray step
// beside it) is dropped and the circle fitted again. `region` is sorted
// here; `normal` is left alone, and false returned, where too few rows are
// left.
bool fitAcrossRows(const float* grey, int w, int h, std::vector<size_t>& region, double normal[3]) {
    std::sort(region.begin(), region.end());
    std::vector<double> dirs, weights;
    for (size_t i = 0; i < region.size();) {
        const size_t row = region[i] / w;
        const float* line = grey + row * w;
        auto across = [&](int x) { return line[(x + 1) % w] - line[(x + w - 1) % w]; };
        int x = static_cast<int>(region[i] % w);
        double top = -1;
        for (; i < region.size() && region[i] / w == row; ++i) {
            const int at = static_cast<int>(region[i] % w);
            if (std::fabs(across(at)) > top) top = std::fabs(across(at)), x = at;
        }
        // The steps between neighbours (each half-way between them) of the
        // peak's sign, two either side of it.
        const double sign = across(x) >= 0 ? 1 : -1;
        double sum = 0, moment = 0;
        for (int k = x - 2; k <= x + 1; ++k) {
            const double step = sign * (line[(k + 1 + w) % w] - line[(k + w) % w]);
            if (step > 0) sum += step, moment += step * (k + 0.5);
        }
        if (!(sum > 0)) continue;
        const double phi = kPi * (row + 0.5) / h, theta = 2 * kPi * (moment / sum + 0.5) / w;
        dirs.insert(dirs.end(), {std::sin(phi) * std::cos(theta), std::sin(phi) * std::sin(theta), std::cos(phi)});
        // Capped as the pixels' strength is, over the two pixels of a step.
        weights.push_back(std::sin(phi) * std::min(sum, 8 * kMinEdge));
    }
    if (weights.size() < kMinRows + 2 * kEndRows) return false;
    dirs.erase(dirs.end() - 3 * kEndRows, dirs.end());
    dirs.erase(dirs.begin(), dirs.begin() + 3 * kEndRows);
    weights.erase(weights.end() - kEndRows, weights.end());
    weights.erase(weights.begin(), weights.begin() + kEndRows);
    const double pixel = 2 * kPi / w;
    std::vector<uint8_t> kept(weights.size(), 1);
    double n[3] = {0, 0, 0};
    for (int round = 0; round < 4; ++round) {
        double s[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, values[3];
        size_t rows = 0;
        for (size_t r = 0; r < weights.size(); ++r) {
            if (!kept[r]) continue;
            ++rows;
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) s[a][b] += weights[r] * dirs[3 * r + a] * dirs[3 * r + b];
        }
        if (rows < kMinRows) return false;
        eigen3(s, values, n);
        // Rows off the circle by more than three times the rows' own
        // scatter (robust: from their median), or kRowScatter, go.
        std::vector<double> off(weights.size()), keptOff;
        for (size_t r = 0; r < weights.size(); ++r) {
            off[r] = std::fabs(dirs[3 * r] * n[0] + dirs[3 * r + 1] * n[1] + dirs[3 * r + 2] * n[2]) / pixel;
            if (kept[r]) keptOff.push_back(off[r]);
        }
        std::nth_element(keptOff.begin(), keptOff.begin() + keptOff.size() / 2, keptOff.end());
        const double reach = std::max(kRowScatter, 3 * 1.4826 * keptOff[keptOff.size() / 2]);
        bool dropped = false;
        for (size_t r = 0; r < weights.size(); ++r)
            if (kept[r] && off[r] > reach) kept[r] = 0, dropped = true;
        if (!dropped) break;
    }
    for (int k = 0; k < 3; ++k) normal[k] = n[k];
    return true;
}


}  // namespace

void UpFinder::addHorizon(const std::vector<size_t>& region, int w, int h, const std::vector<float>& strength,
                          const Rot& camera) {
    // Pieces of a thirty-second of the circle each; a piece that is long
    // and thin on its own circle, and runs level within reach of the tilts
    // searched, gives its direction.
    std::vector<std::vector<size_t>> pieces(kHorizonBins);
    for (size_t p : region) pieces[static_cast<size_t>(p % w) * kHorizonBins / w].push_back(p);
    const double pixel = 2 * kPi / w, level = std::cos((kMaxTilt + 2) * kDeg);
    for (const std::vector<size_t>& piece : pieces) {
        if (piece.size() < kMinSegment) continue;
        double s[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, centre[3] = {0, 0, 0}, mass = 0;
        for (size_t p : piece) {
            const double phi = kPi * (static_cast<double>(p / w) + 0.5) / h, theta = 2 * kPi * (static_cast<double>(p % w) + 0.5) / w;
            const double d[3] = {std::sin(phi) * std::cos(theta), std::sin(phi) * std::sin(theta), std::cos(phi)};
            const double wt = strength[p];
            mass += wt;
            for (int r = 0; r < 3; ++r) {
                centre[r] += wt * d[r];
                for (int c = 0; c < 3; ++c) s[r][c] += wt * d[r] * d[c];
            }
        }
        double values[3], normal[3], world[3];
        eigen3(s, values, normal);
        const double length = std::sqrt(12 * std::max(0.0, values[1]) / mass) / pixel;
        const double width = std::sqrt(std::max(0.0, values[0]) / mass) / pixel;
        if (length < kMinHorizonPiece || width > kMaxWidth) continue;
        camera.apply(normal, world);
        if (std::fabs(world[2]) < level) continue;
        const double norm = std::sqrt(centre[0] * centre[0] + centre[1] * centre[1] + centre[2] * centre[2]);
        for (double& c : centre) c /= norm;
        camera.apply(centre, world);
        const double azimuth = std::atan2(world[1], world[0]) / (2 * kPi) + 0.5;
        for (double c : world) horizon_.push_back(static_cast<float>(c));
        horizonWeight_.push_back(static_cast<float>(mass));
        horizonBin_.push_back(static_cast<uint8_t>(std::clamp(static_cast<int>(azimuth * kHorizonBins), 0, kHorizonBins - 1)));
    }
}

void UpFinder::add(const float* grey, int w, int h, const Rot& camera, const std::vector<uint8_t>& skip) {
    if (w < 8 || h < 8) return;
    for (int k = 0; k < 3; ++k) cameraUp_[k] += camera.m[k][2];
    ++frames_;
    auto at = [&](int x, int y) { return grey[static_cast<size_t>(y) * w + x]; };
    // Per pixel: the gradient (per pixel of arc: across the row scaled by
    // the ring's radius) and its direction, where it is an edge.
    const size_t pixels = static_cast<size_t>(w) * h;
    std::vector<float> angle(pixels, NAN), strength(pixels, 0.0f);
    for (int y = 1; y + 1 < h; ++y) {
        const double sp = std::sin(kPi * (y + 0.5) / h);
        if (sp < 0.2) continue;
        for (int x = 0; x < w; ++x) {
            if (static_cast<size_t>(x) < skip.size() && skip[x]) continue;
            const int xl = x == 0 ? w - 1 : x - 1, xr = x + 1 == w ? 0 : x + 1;
            const double gx = (at(xr, y) - at(xl, y)) * 0.5 / sp * (2.0 * h / w);
            const double gy = (at(x, y + 1) - at(x, y - 1)) * 0.5;
            const double mag = std::hypot(gx, gy);
            if (mag < kMinEdge) continue;
            const size_t i = static_cast<size_t>(y) * w + x;
            angle[i] = static_cast<float>(std::atan2(gy, gx));
            strength[i] = static_cast<float>(sp * std::min(mag, 4 * kMinEdge));
            total_ += strength[i];
        }
    }
    // The sky: what is reached from the zenith without crossing an edge;
    // the lowest of it in each column above the nadir's cap (the seams'
    // columns left out, and those it does not reach below the zenith's cap;
    // where it leaks into the ground, it is seen low).
    {
        std::vector<uint8_t> sky(pixels, 0);
        std::vector<size_t> stack;
        auto passable = [&](size_t i) {
            const int x = static_cast<int>(i % w);
            return std::isnan(angle[i]) && !(static_cast<size_t>(x) < skip.size() && skip[x]);
        };
        for (int x = 0; x < w; ++x)
            if (passable(static_cast<size_t>(x))) sky[x] = 1, stack.push_back(static_cast<size_t>(x));
        while (!stack.empty()) {
            const size_t p = stack.back();
            stack.pop_back();
            const int px = static_cast<int>(p % w), py = static_cast<int>(p / w);
            const size_t next[4] = {py > 0 ? p - w : p, py + 1 < h ? p + w : p, static_cast<size_t>(py) * w + (px + w - 1) % w,
                                    static_cast<size_t>(py) * w + (px + 1) % w};
            for (size_t q : next)
                if (!sky[q] && passable(q)) sky[q] = 1, stack.push_back(q);
        }
        for (int x = 0; x < w; ++x) {
            if (static_cast<size_t>(x) < skip.size() && skip[x]) continue;
            int lowest = -1;
            for (int y = 0; y < h / 2 || std::sin(kPi * (y + 1.0) / h) >= 0.2; ++y)
                if (sky[static_cast<size_t>(y) * w + x]) lowest = y;
            if (lowest < 0 || std::sin(kPi * (lowest + 1.0) / h) < 0.2) continue;
            const double phi = kPi * (lowest + 1.0) / h, theta = 2 * kPi * (x + 0.5) / w;
            const double d[3] = {std::sin(phi) * std::cos(theta), std::sin(phi) * std::sin(theta), std::cos(phi)};
            double world[3];
            camera.apply(d, world);
            for (double c : world) skyline_.push_back(static_cast<float>(c));
        }
    }
    // Straight segments: edge pixels grown from a seed through neighbours
    // whose edge runs the same way (within kSameWay, either sign), then a
    // great circle fitted through them. A segment that is long and thin
    // on its circle is a piece of a straight line of the world; its
    // circle's normal is the gradient across the line.
    const double maxSlant = std::sin((kMaxTilt + 2) * kDeg);
    std::vector<uint8_t> used(pixels, 0);
    std::vector<size_t> region, stack;
    for (size_t seed = 0; seed < pixels; ++seed) {
        if (used[seed] || std::isnan(angle[seed])) continue;
        region.clear();
        stack.assign(1, seed);
        used[seed] = 1;
        double cx = std::cos(2 * angle[seed]), cy = std::sin(2 * angle[seed]);
        while (!stack.empty()) {
            const size_t p = stack.back();
            stack.pop_back();
            region.push_back(p);
            const int px = static_cast<int>(p % w), py = static_cast<int>(p / w);
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int qy = py + dy, qx = (px + dx + w) % w;
                    if (qy < 0 || qy >= h) continue;
                    const size_t q = static_cast<size_t>(qy) * w + qx;
                    if (used[q] || std::isnan(angle[q])) continue;
                    // The region's way (doubled angles, so that either sign counts).
                    const double dot = (cx * std::cos(2 * angle[q]) + cy * std::sin(2 * angle[q])) / std::hypot(cx, cy);
                    if (dot < std::cos(2 * kSameWay)) continue;
                    used[q] = 1;
                    cx += std::cos(2 * angle[q]), cy += std::sin(2 * angle[q]);
                    stack.push_back(q);
                }
        }
        if (region.size() < kMinSegment) continue;
        // An edge that runs level within reach of any tilt searched (its
        // gradient up or down) may be the horizon: its pieces go apart.
        if (-cx >= std::cos(2 * (kMaxTilt + 10) * kDeg) * std::hypot(cx, cy)) addHorizon(region, w, h, strength, camera);
        // The circle through them; then again through those near it, so that
        // texture that the region grew into beside a line does not bend it.
        const double pixel = 2 * kPi / w;
        double values[3], normal[3], centre[3], mass = 0;
        for (int round = 0; round < 3; ++round) {
            double s[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
            mass = 0, centre[0] = centre[1] = centre[2] = 0;
            size_t kept = 0;
            for (size_t p : region) {
                double d[3];
                pixelDirection(p, w, h, d);
                if (round > 0 && std::fabs(d[0] * normal[0] + d[1] * normal[1] + d[2] * normal[2]) > kNearLine * pixel)
                    continue;
                region[kept++] = p;
                const double wt = strength[p];
                mass += wt;
                for (int r = 0; r < 3; ++r) {
                    centre[r] += wt * d[r];
                    for (int c = 0; c < 3; ++c) s[r][c] += wt * d[r] * d[c];
                }
            }
            region.resize(kept);
            if (kept < kMinSegment) break;
            eigen3(s, values, normal);
        }
        if (region.size() < kMinSegment) continue;
        // Long (its spread along the circle) and thin (across it), in pixels of arc.
        const double length = std::sqrt(12 * std::max(0.0, values[1]) / mass) / pixel;
        const double width = std::sqrt(std::max(0.0, values[0]) / mass) / pixel;
        if (length < kMinLength || width > kMaxWidth) continue;
        // A segment that runs down the picture (its edges facing across the
        // rows) is fitted again by its rows.
        if (cx > 0) {
            double across[3] = {0, 0, 0};
            if (fitAcrossRows(grey, w, h, region, across)) {
                const double sign = across[0] * normal[0] + across[1] * normal[1] + across[2] * normal[2] < 0 ? -1 : 1;
                for (int k = 0; k < 3; ++k) normal[k] = sign * across[k];
            }
        }
        double world[3], where[3];
        camera.apply(normal, world);
        // Only lines that could be vertical under some up within reach.
        if (std::fabs(world[2]) > maxSlant) continue;
        camera.apply(centre, where);
        const double azimuth = std::atan2(where[1], where[0]) / (2 * kPi) + 0.5;
        for (double c : world) normals_.push_back(static_cast<float>(c));
        weights_.push_back(static_cast<float>(mass));
        // How well its circle is known (radians): a line fit's slope error
        // for a third of a pixel's scatter over its length.
        precision_.push_back(static_cast<float>(std::max(kMinPrecision, 0.33 * std::sqrt(12.0) / std::pow(length, 1.5))));
        sectors_.push_back(static_cast<uint8_t>(std::clamp(static_cast<int>(azimuth * kSectors), 0, kSectors - 1)));
        // Its two ends: the furthest its pixels reach each way along the
        // circle from its centre (a segment spans well under half of it).
        double mid[3], norm = 0;
        const double off = centre[0] * normal[0] + centre[1] * normal[1] + centre[2] * normal[2];
        for (int k = 0; k < 3; ++k) mid[k] = centre[k] - off * normal[k], norm += mid[k] * mid[k];
        for (double& k : mid) k /= std::sqrt(norm);
        const double side[3] = {normal[1] * mid[2] - normal[2] * mid[1], normal[2] * mid[0] - normal[0] * mid[2],
                                normal[0] * mid[1] - normal[1] * mid[0]};
        double first = 0, last = 0;
        for (size_t p : region) {
            double d[3];
            pixelDirection(p, w, h, d);
            const double along = d[0] * side[0] + d[1] * side[1] + d[2] * side[2];
            first = std::min(first, along), last = std::max(last, along);
        }
        for (const double along : {first, last}) {
            const double across = std::sqrt(std::max(0.0, 1 - along * along));
            const double end[3] = {across * mid[0] + along * side[0], across * mid[1] + along * side[1], across * mid[2] + along * side[2]};
            camera.apply(end, world);
            for (double c : world) ends_.push_back(static_cast<float>(c));
        }
    }
}

bool UpFinder::refine(const double start[3], int without, double out[3]) const {
    double u[3] = {start[0], start[1], start[2]};
    for (int it = 0; it < 40; ++it) {
        double m[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, taken = 0;
        for (size_t e = 0; e < weights_.size(); ++e) {
            if (sectors_[e] == without) continue;
            const float* g = &normals_[3 * e];
            const double sigma = precision_[e];
            const double r = (g[0] * u[0] + g[1] * u[1] + g[2] * u[2]) / (kTukey * sigma);
            if (std::fabs(r) >= 1) continue;
            const double wt = (1 - r * r) * (1 - r * r) / (sigma * sigma);
            taken += wt;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) m[i][j] += wt * g[i] * g[j];
        }
        if (!(taken > 0)) return false;
        double values[3], v[3];
        eigen3(m, values, v);
        const double sign = v[2] < 0 ? -1 : 1, moved = std::acos(std::min(1.0, std::fabs(v[0] * u[0] + v[1] * u[1] + v[2] * u[2])));
        for (int k = 0; k < 3; ++k) u[k] = sign * v[k];
        if (moved < 1e-6) break;
    }
    for (int k = 0; k < 3; ++k) out[k] = u[k];
    return true;
}

Status UpFinder::fromLines(double up[3], double* uncertainty, double fitted[3]) const {
    const size_t count = weights_.size();
    if (uncertainty) *uncertainty = NAN;
    if (count < 8) return Status(kExitFailed, "too few straight edges in the footage");
    // Coarse: half-degree cells over the whole reach; what stands out at a
    // degree against the votes' level over several.
    const Grid coarse = coarseGrid();
    const std::vector<double> coarseScore = coarseVotes(coarse, normals_, weights_, sectors_);
    double a = 0, b = 0;
    const double height = peak(coarseScore, coarse, &a, &b);
    // How far the peak stands above the votes' scatter.
    std::vector<double> spread;
    for (double v : coarseScore) spread.push_back(std::fabs(v));
    std::nth_element(spread.begin(), spread.begin() + spread.size() / 2, spread.end());
    const double scatter = 1.4826 * spread[spread.size() / 2];
    const double prominence = scatter > 0 ? height / scatter : 0;
    // Fine: from the peak, the up that the segments near it fit best, each
    // by its own precision (a long segment's circle is known better than a
    // short one's), those far off counting for nothing (Tukey). Leaving
    // out one sector at a time gives the uncertainty (jackknife).
    const double norm0 = std::sqrt(a * a + b * b + 1);
    const double start[3] = {a / norm0, b / norm0, 1 / norm0};
    double u[3];
    if (!refine(start, -1, u)) return Status(kExitFailed, "no vertical lines in the footage");
    for (int k = 0; k < 3; ++k) fitted[k] = u[k];
    // How well the fit at u is tied down: its uncertainty, and the shares of
    // the weaker tilt (counted, weighed, and with any one line taken away).
    struct Tie {
        double sure, byCount, weaker, spare;
    };
    auto assess = [&](const double* u) {
        std::vector<double> sectorWeight(kSectors, 0.0);
        double weightAll = 0;
        for (size_t e = 0; e < count; ++e)
            if (std::fabs(normals_[3 * e] * u[0] + normals_[3 * e + 1] * u[1] + normals_[3 * e + 2] * u[2]) <
                kTukey * precision_[e])
                sectorWeight[sectors_[e]] += weights_[e], weightAll += weights_[e];
        double lo[kSectors][3], mean[3] = {0, 0, 0}, sectorsUsed = 0;
        for (int s = 0; s < kSectors; ++s) {
            if (!(sectorWeight[s] > 0.01 * weightAll)) continue;
            if (!refine(u, s, lo[s])) continue;
            for (int k = 0; k < 3; ++k) mean[k] += lo[s][k];
            ++sectorsUsed;
        }
        // The spread of the leave-a-sector-out fits (jackknife). The sectors
        // are not alike (each ties down the tilt mostly about one axis, and
        // one may hold a single line), so the spread overstates the error of
        // the fit with all of them: measured against the true up on the
        // test worlds, by about two; it is halved.
        double jack = 0;
        if (sectorsUsed >= 2) {
            for (double& c : mean) c /= sectorsUsed;
            for (int s = 0; s < kSectors; ++s)
                if (sectorWeight[s] > 0.01 * weightAll)
                    for (int k = 0; k < 3; ++k) jack += std::pow(lo[s][k] - mean[k], 2);
            jack = std::sqrt(jack * (sectorsUsed - 1) / sectorsUsed) / kDeg;
        } else {
            jack = kMaxTilt;
        }
        // The fit's own error from the vertical lines' precision and their
        // scatter about it, counting the frames' views of the same lines once.
        double information = 0, chi = 0, inliers = 0;
        for (size_t e = 0; e < count; ++e) {
            const double r = normals_[3 * e] * u[0] + normals_[3 * e + 1] * u[1] + normals_[3 * e + 2] * u[2];
            const double sigma = precision_[e];
            if (std::fabs(r) >= kTukey * sigma) continue;
            information += 1 / (sigma * sigma), chi += r * r / (sigma * sigma), ++inliers;
        }
        const double fit = information > 0
                               ? std::sqrt(std::max(1, frames_) / information) * std::max(1.0, std::sqrt(chi / inliers)) / kDeg
                               : kMaxTilt;
        // The edges vertical under it must face more than one way round the
        // horizon for both tilts to be tied down: by their count here, and by
        // the information the fit draws on (below).
        double m[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, taken = 0;
        for (size_t e = 0; e < count; ++e) {
            const float* g = &normals_[3 * e];
            if (std::fabs(g[0] * u[0] + g[1] * u[1] + g[2] * u[2]) > kTukey * precision_[e]) continue;
            taken += 1;  // each segment once: one strong line is no spread of lines
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) m[r][c] += g[r] * g[c];
        }
        double values[3], unused[3];
        eigen3(m, values, unused);
        // The segments vertical under it, gathered into the lines of the world
        // they are pieces of: a line is cut into several segments and seen in
        // every frame, and all of those lie on one circle. Any two lines cross
        // somewhere, so two strong ones make a peak that fits them exactly, with
        // a jackknife as small as their pieces are many and spread round the
        // horizon (a line on the floor below the camera, or one that shares its
        // circle with an edge of the ceiling, spans half of it). Up is tied down
        // by lines crossing at one point, each a check on the others: with any
        // one line taken away, what is left must still hold the weaker tilt.
        // A line's short pieces (a steep edge seen frame after frame) scatter
        // about its circle by their own errors, often over a degree: each piece
        // joins the best-known line its circle agrees with within those errors,
        // lest one line counted as several check each other.
        double spare = 0, weaker = 0;
        {
            std::vector<double> lines;  // unit normals of the distinct lines, three each
            std::vector<int> line(count, -1);
            std::vector<size_t> order;
            for (size_t e = 0; e < count; ++e) {
                const float* g = &normals_[3 * e];
                if (std::fabs(g[0] * u[0] + g[1] * u[1] + g[2] * u[2]) < kTukey * precision_[e]) order.push_back(e);
            }
            std::sort(order.begin(), order.end(), [&](size_t x, size_t y) { return precision_[x] < precision_[y]; });
            std::vector<double> known;  // how well each line's first (best) piece knows its circle
            for (size_t e : order) {
                const float* g = &normals_[3 * e];
                for (size_t l = 0; l < known.size() && line[e] < 0; ++l) {
                    const double within = std::max(kSameLine, kLineSpread * std::hypot(precision_[e], known[l]));
                    if (std::acos(std::min(1.0, std::fabs(g[0] * lines[3 * l] + g[1] * lines[3 * l + 1] + g[2] * lines[3 * l + 2]))) < within)
                        line[e] = static_cast<int>(l);
                }
                if (line[e] >= 0) continue;
                line[e] = static_cast<int>(known.size());
                lines.insert(lines.end(), {g[0], g[1], g[2]});
                known.push_back(precision_[e]);
            }
            // The information on up, each segment by its precision: all of it,
            // and each line's share.
            const size_t distinct = lines.size() / 3;
            std::vector<double> share(9 * distinct, 0.0);
            double all[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
            for (size_t e : order) {
                const float* g = &normals_[3 * e];
                const double wt = 1 / (static_cast<double>(precision_[e]) * precision_[e]);
                for (int r = 0; r < 3; ++r)
                    for (int c = 0; c < 3; ++c) {
                        share[9 * line[e] + 3 * r + c] += wt * g[r] * g[c];
                        all[r][c] += wt * g[r] * g[c];
                    }
            }
            double whole[3], v[3];
            eigen3(all, whole, v);
            // The weaker tilt's share of that information (the least of it,
            // whole[0], lies along up).
            weaker = whole[1] + whole[2] > 0 ? whole[1] / (whole[1] + whole[2]) : 0;
            if (whole[1] > 0) {
                spare = 1;
                for (size_t l = 0; l < distinct; ++l) {
                    double rest[3][3], left[3];
                    for (int r = 0; r < 3; ++r)
                        for (int c = 0; c < 3; ++c) rest[r][c] = all[r][c] - share[9 * l + 3 * r + c];
                    eigen3(rest, left, v);
                    spare = std::min(spare, left[1] / whole[1]);
                }
            }
        }
        // The uncertainty: the two, and what neither sees (the error of the
        // frames' orientations, the stitch's own bend of lines), added as
        // independent errors. The fit's error above spreads the information
        // on both tilts over the two alike, as lines facing every way give
        // it; where most of them face one way, the weaker tilt rests on the
        // rest, and its error is the larger by the root of how much less
        // than half of the information it has.
        const double lean = weaker > 0 ? std::sqrt(std::max(1.0, 0.5 / weaker)) : kMaxTilt;
        const double sure = std::sqrt(0.25 * jack * jack + fit * fit * lean * lean + kUnseen * kUnseen);
        return Tie{sure, taken > 0 ? values[1] / taken : 0, weaker, spare};
    };
    const Tie tie = assess(u);
    const double sure = tie.sure;
    const double tilt = std::acos(std::min(1.0, u[2])) / kDeg;
    if (uncertainty) *uncertainty = sure;
    char said[200];
    if (prominence < kMinProminence || tie.byCount < kMinWeaker || tie.weaker < kMinWeaker)
        return Status(kExitFailed, "too few vertical lines in the footage, or all facing one way");
    if (tie.spare < kMinSpare) {
        std::snprintf(said, sizeof said,
                      "the footage's vertical lines are too few to tie up down (%.2f degrees of tilt found, resting on one line)",
                      tilt);
        return Status(kExitFailed, said);
    }
    if (sure > kMaxUncertainty) {
        std::snprintf(said, sizeof said, "the footage's vertical lines disagree (%.2f degrees of tilt found, give or take %.2f)",
                      tilt, sure);
        return Status(kExitFailed, said);
    }
    // The fit refines the peak of votes: where it settles further from it
    // than the peak's own spread, the edges that made the peak are not the
    // lines it fits, and where it settles depends on where it starts.
    const double walked = std::acos(std::min(1.0, u[0] * start[0] + u[1] * start[1] + u[2] * start[2])) / kDeg;
    if (walked > kMaxWalk) {
        std::snprintf(said, sizeof said,
                      "the footage's vertical lines do not cross where their votes peak (%.2f degrees of tilt found, %.1f from the peak)",
                      tilt, walked);
        return Status(kExitFailed, said);
    }
    // The tilt of the camera as it was held, on average over the frames.
    const double held = std::sqrt(cameraUp_[0] * cameraUp_[0] + cameraUp_[1] * cameraUp_[1] + cameraUp_[2] * cameraUp_[2]);
    const double off = held > 0 ? std::acos(std::min(1.0, (u[0] * cameraUp_[0] + u[1] * cameraUp_[1] + u[2] * cameraUp_[2]) / held)) / kDeg : tilt;
    if (off < 3 * sure) {
        std::snprintf(said, sizeof said, "the tilt the footage's vertical lines show, %.2f degrees, is within its uncertainty of %.2f", off, sure);
        return Status(kExitFailed, said);
    }
    if (off < kNearLevel && sure > kNearLevelSure) {
        std::snprintf(said, sizeof said,
                      "the footage is held within a degree of level (%.2f degrees of tilt found), closer than the vertical lines' uncertainty of %.2f can correct",
                      off, sure);
        return Status(kExitFailed, said);
    }
    // The votes weigh each edge by its strength, the fit by how well its
    // circle is known: a strong line that is not vertical but passes near
    // overhead (an edge of the ceiling), crossing a few vertical lines that
    // face one way, can outvote the weaker vertical lines crossing
    // elsewhere, and the fit from its peak drops those as outliers. So the
    // next highest peaks that stand out enough to be taken are refined too:
    // where one's fit lies apart from this one beyond both their errors,
    // the segments agree with it at least as well (by the robust fit's own
    // measure of misfit, Tukey's, which counts a segment beyond its reach
    // as one) and it is as well tied down, the lines cross at two ups.
    auto misfit = [&](const double* at) {
        double sum = 0;
        for (size_t e = 0; e < count; ++e) {
            const double x = (normals_[3 * e] * at[0] + normals_[3 * e + 1] * at[1] + normals_[3 * e + 2] * at[2]) /
                             (kTukey * precision_[e]);
            sum += std::fabs(x) >= 1 ? 1 : 1 - std::pow(1 - x * x, 3);
        }
        return sum;
    };
    const int n = coarse.n();
    std::vector<std::pair<double, int>> peaks;  // height (negated), cell
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const double v = coarseScore[static_cast<size_t>(y) * n + x];
            if (!(v >= kMinProminence * scatter)) continue;
            bool top = true;  // the highest within a degree
            for (int dy = -2; dy <= 2 && top; ++dy)
                for (int dx = -2; dx <= 2 && top; ++dx) {
                    const int xx = x + dx, yy = y + dy;
                    if (xx >= 0 && yy >= 0 && xx < n && yy < n && coarseScore[static_cast<size_t>(yy) * n + xx] > v)
                        top = false;
                }
            if (top) peaks.emplace_back(-v, y * n + x);
        }
    std::sort(peaks.begin(), peaks.end());
    const double fits = misfit(u);
    for (size_t i = 0; i < peaks.size() && i < kPeaksTried; ++i) {
        const double pa = coarse.a0 + (peaks[i].second % n - coarse.half) * coarse.cell;
        const double pb = coarse.b0 + (peaks[i].second / n - coarse.half) * coarse.cell;
        const double pn = std::sqrt(pa * pa + pb * pb + 1);
        const double from[3] = {pa / pn, pb / pn, 1 / pn};
        double v[3];
        // A fit that wanders out of the tilts searched is no up.
        if (!refine(from, -1, v) || v[2] < std::cos(kMaxTilt * kDeg) || misfit(v) > fits) continue;
        const double apart = std::acos(std::min(1.0, v[0] * u[0] + v[1] * u[1] + v[2] * u[2])) / kDeg;
        const Tie other = assess(v);
        if (apart < 3 * std::hypot(sure, other.sure) || other.byCount < kMinWeaker || other.weaker < kMinWeaker ||
            other.spare < kMinSpare || other.sure > kMaxUncertainty)
            continue;
        std::snprintf(said, sizeof said,
                      "the footage's vertical lines cross at two ups, %.2f degrees apart (%.2f degrees of tilt found)",
                      apart, tilt);
        return Status(kExitFailed, said);
    }
    for (int k = 0; k < 3; ++k) up[k] = u[k];
    return Status();
}

UpFinder UpFinder::awayFromPoles() const {
    // The poles under the highest peak of all the votes: near enough world-up
    // for the reach of a cap of kNearPole degrees.
    double a = 0, b = 0;
    if (!weights_.empty()) {
        const Grid coarse = coarseGrid();
        peak(coarseVotes(coarse, normals_, weights_, sectors_), coarse, &a, &b);
    }
    const double norm = std::sqrt(a * a + b * b + 1), u[3] = {a / norm, b / norm, 1 / norm};
    const double cap = std::cos(kNearPole * kDeg);
    UpFinder out = *this;
    out.normals_.clear(), out.weights_.clear(), out.precision_.clear(), out.sectors_.clear(), out.ends_.clear();
    for (size_t e = 0; e < weights_.size(); ++e) {
        const float* end = &ends_[6 * e];
        if (std::fabs(end[0] * u[0] + end[1] * u[1] + end[2] * u[2]) > cap ||
            std::fabs(end[3] * u[0] + end[4] * u[1] + end[5] * u[2]) > cap)
            continue;
        out.normals_.insert(out.normals_.end(), &normals_[3 * e], &normals_[3 * e] + 3);
        out.ends_.insert(out.ends_.end(), end, end + 6);
        out.weights_.push_back(weights_[e]);
        out.precision_.push_back(precision_[e]);
        out.sectors_.push_back(sectors_[e]);
    }
    return out;
}

Status UpFinder::find(double up[3], double* uncertainty, bool* byHorizon) const {
    if (byHorizon) *byHorizon = false;
    const UpFinder away = awayFromPoles();
    double fitted[3] = {NAN, NAN, NAN}, linesSure = NAN;
    const Status lines = away.fromLines(up, &linesSure, fitted);
    if (uncertainty) *uncertainty = linesSure;
    if (lines.ok()) return lines;
    double sure = NAN;
    const Status horizon = away.fromHorizon(up, &sure, std::isnan(fitted[0]) ? nullptr : fitted, linesSure);
    if (!horizon.ok()) return Status(kExitFailed, lines.message() + "; " + horizon.message());
    if (uncertainty) *uncertainty = sure;
    if (byHorizon) *byHorizon = true;
    return horizon;
}

namespace {

// The plane of the directions `p` (three each) with weights `w`: its
// normal nearest +z into `u`, its height (the normal's dot with them) into
// `c`.
bool fitPlane(const std::vector<double>& p, const std::vector<double>& w, double u[3], double* c) {
    double mean[3] = {0, 0, 0}, total = 0;
    for (size_t i = 0; i < w.size(); ++i) {
        for (int k = 0; k < 3; ++k) mean[k] += w[i] * p[3 * i + k];
        total += w[i];
    }
    if (!(total > 0)) return false;
    for (double& m : mean) m /= total;
    double s[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    for (size_t i = 0; i < w.size(); ++i)
        for (int r = 0; r < 3; ++r)
            for (int q = 0; q < 3; ++q) s[r][q] += w[i] * (p[3 * i + r] - mean[r]) * (p[3 * i + q] - mean[q]);
    double values[3];
    eigen3(s, values, u);
    if (u[2] < 0)
        for (int k = 0; k < 3; ++k) u[k] = -u[k];
    *c = mean[0] * u[0] + mean[1] * u[1] + mean[2] * u[2];
    return true;
}

}  // namespace

double UpFinder::linesAgainst(const double at[3], const double u[3], double sure, double known) const {
    // The lines near vertical under `at` (within kLinesReach degrees, or
    // their own errors where `at` is their fit) step from it to their fit,
    // along each way they tie down, where that fit must be within three of
    // both errors of u (a way they hardly tie down allows much; their fit's
    // error is at least `known`, its uncertainty as measured).
    const bool own = at != u;
    const double n1 = std::hypot(at[2], at[0]);
    const double t1[3] = {at[2] / n1, 0, -at[0] / n1};
    const double t2[3] = {at[1] * t1[2] - at[2] * t1[1], at[2] * t1[0] - at[0] * t1[2], at[0] * t1[1] - at[1] * t1[0]};
    double m00 = 0, m01 = 0, m11 = 0, b0 = 0, b1 = 0;
    for (size_t e = 0; e < weights_.size(); ++e) {
        const float* g = &normals_[3 * e];
        const double sigma = precision_[e];
        const double r = g[0] * at[0] + g[1] * at[1] + g[2] * at[2], x = r / (own ? kTukey * sigma : kLinesReach * kDeg);
        if (std::fabs(x) >= 1) continue;
        const double wt = (1 - x * x) * (1 - x * x) / (sigma * sigma) / std::max(1, frames_);
        const double g1 = g[0] * t1[0] + g[1] * t1[1] + g[2] * t1[2], g2 = g[0] * t2[0] + g[1] * t2[1] + g[2] * t2[2];
        m00 += wt * g1 * g1, m01 += wt * g1 * g2, m11 += wt * g2 * g2, b0 -= wt * r * g1, b1 -= wt * r * g2;
    }
    // Where u lies from `at`, in the same axes.
    const double d[3] = {u[0] - at[0], u[1] - at[1], u[2] - at[2]};
    const double d1 = d[0] * t1[0] + d[1] * t1[1] + d[2] * t1[2], d2 = d[0] * t2[0] + d[1] * t2[1] + d[2] * t2[2];
    const double tr = 0.5 * (m00 + m11), det = std::sqrt(0.25 * (m00 - m11) * (m00 - m11) + m01 * m01);
    double worst = 0;
    for (const double lambda : {tr + det, tr - det}) {
        if (!(lambda > 0)) continue;
        // The way: an eigenvector of the 2 x 2 information.
        double v0 = m01, v1 = lambda - m00;
        if (std::hypot(v0, v1) < 1e-9 * (m00 + m11)) v0 = lambda - m11, v1 = m01;
        const double vn = std::hypot(v0, v1);
        if (!(vn > 0)) continue;
        v0 /= vn, v1 /= vn;
        const double lines = std::max(1 / std::sqrt(lambda) / kDeg, known);
        const double apart = std::fabs((v0 * b0 + v1 * b1) / lambda - (v0 * d1 + v1 * d2)) / kDeg;
        if (apart > 3 * std::sqrt(lines * lines + sure * sure + kUnseen * kUnseen)) worst = std::max(worst, apart);
    }
    return worst;
}

Status UpFinder::fromHorizon(double up[3], double* uncertainty, const double* lines, double linesSure) const {
    const size_t count = horizonWeight_.size();
    if (uncertainty) *uncertainty = NAN;
    // How many thirty-seconds of the circle hold pieces within `band`
    // (radians) of one height on or a little below the level under u, and
    // that height.
    const double lowest = -std::sin(kHorizonDip), highest = std::sin(kHorizonRise);
    std::vector<std::pair<double, uint8_t>> heights;
    auto cover = [&](const double u[3], double band, double* at) {
        heights.clear();
        for (size_t i = 0; i < count; ++i) {
            const float* p = &horizon_[3 * i];
            const double hgt = p[0] * u[0] + p[1] * u[1] + p[2] * u[2];
            if (hgt >= lowest - band && hgt <= highest + band) heights.emplace_back(hgt, horizonBin_[i]);
        }
        std::sort(heights.begin(), heights.end());
        int inBin[kHorizonBins] = {}, bins = 0, best = 0;
        size_t lo = 0;
        for (size_t hi = 0; hi < heights.size(); ++hi) {
            if (inBin[heights[hi].second]++ == 0) ++bins;
            while (heights[hi].first - heights[lo].first > 2 * band)
                if (--inBin[heights[lo++].second] == 0) --bins;
            const double mid = 0.5 * (heights[hi].first + heights[lo].first);
            if (bins > best && mid >= lowest && mid <= highest) best = bins, *at = mid;
        }
        return best;
    };
    // Coarse over the whole reach of tilts, then fine about the best.
    auto search = [&](double a0, double b0, double step, int half, double band, double* a, double* b) {
        int best = -1;
        double at = 0;
        for (int j = -half; j <= half; ++j)
            for (int i = -half; i <= half; ++i) {
                const double ca = a0 + i * step, cb = b0 + j * step, norm = std::sqrt(ca * ca + cb * cb + 1);
                const double u[3] = {ca / norm, cb / norm, 1 / norm};
                const int bins = cover(u, band, &at);
                if (bins > best) best = bins, *a = ca, *b = cb;
            }
        return best;
    };
    if (count < 8) return Status(kExitFailed, "no level horizon in the footage");
    double a = 0, b = 0;
    search(0, 0, 0.5 * kDeg, static_cast<int>(std::tan(kMaxTilt * kDeg) / (0.5 * kDeg)), 0.3 * kDeg, &a, &b);
    search(a, b, 0.1 * kDeg, 7, 0.12 * kDeg, &a, &b);
    double u[3] = {a, b, 1}, c = 0;
    for (double& k : u) k /= std::sqrt(a * a + b * b + 1);
    cover(u, 0.12 * kDeg, &c);
    // The plane of the pieces near that height, each thirty-second of the
    // circle counting alike, those astray dropped as it settles.
    std::vector<double> p, w;
    std::vector<uint8_t> bin;
    double band = 0.2 * kDeg;
    auto gather = [&](unsigned without) {
        p.clear(), w.clear(), bin.clear();
        double inBin[kHorizonBins] = {};
        for (size_t i = 0; i < count; ++i) {
            const float* q = &horizon_[3 * i];
            if (std::fabs(q[0] * u[0] + q[1] * u[1] + q[2] * u[2] - c) > band) continue;
            if ((without >> horizonBin_[i]) & 1) continue;
            p.insert(p.end(), {q[0], q[1], q[2]});
            w.push_back(horizonWeight_[i]);
            bin.push_back(horizonBin_[i]);
            inBin[horizonBin_[i]] += horizonWeight_[i];
        }
        for (size_t i = 0; i < w.size(); ++i) w[i] /= inBin[bin[i]];
    };
    double rms = 0;
    const double found[3] = {u[0], u[1], u[2]};
    for (int round = 0; round < 4; ++round) {
        gather(0);
        // The plane must stay where it was found, and on or just below the
        // level (pieces over too short an arc would turn it about).
        if (!fitPlane(p, w, u, &c) || u[0] * found[0] + u[1] * found[1] + u[2] * found[2] < std::cos(kDeg) ||
            c < lowest - 0.1 * kDeg || c > highest + 0.1 * kDeg)
            return Status(kExitFailed, "no level horizon in the footage");
        double sum = 0, total = 0;
        for (size_t i = 0; i < w.size(); ++i) {
            const double r = p[3 * i] * u[0] + p[3 * i + 1] * u[1] + p[3 * i + 2] * u[2] - c;
            sum += w[i] * r * r, total += w[i];
        }
        rms = std::sqrt(sum / total);
        band = std::clamp(3 * rms, 0.1 * kDeg, 0.2 * kDeg);
    }
    gather(0);
    // Where it is seen: the thirty-seconds of the circle, and how they tie
    // down both tilts (the horizontal ways to them, less their mean, which
    // the height takes up).
    unsigned seen = 0;
    for (uint8_t k : bin) seen |= 1u << k;
    // Only runs of parts next to one another count: the horizon is one long
    // edge, broken only where something narrow stands in front of it; the
    // edge of hills crosses any one height here and there.
    unsigned runs = 0;
    for (int k = 0; k < kHorizonBins; ++k) {
        int run = 0;
        while (run < kHorizonBins && ((seen >> ((k + run) % kHorizonBins)) & 1)) ++run;
        if (run >= kMinHorizonRun)
            for (int j = 0; j < run; ++j) runs |= 1u << ((k + j) % kHorizonBins);
    }
    seen = runs;
    int bins = 0;
    double mx = 0, my = 0, sxx = 0, syy = 0, sxy = 0;
    for (int k = 0; k < kHorizonBins; ++k) {
        if (!((seen >> k) & 1)) continue;
        const double az = 2 * kPi * (k + 0.5) / kHorizonBins - kPi, x = std::cos(az), y = std::sin(az);
        ++bins, mx += x, my += y, sxx += x * x, syy += y * y, sxy += x * y;
    }
    char said[200];
    if (bins < kMinHorizonBins) {
        std::snprintf(said, sizeof said, "no level horizon in the footage (one seen over %d of %d parts of the circle at most)",
                      bins, kHorizonBins);
        return Status(kExitFailed, said);
    }
    // No sky below the horizon: over open land or sea nothing is seen below
    // it but land or water, while hills whose edge a tilted plane follows
    // over part of the circle fall below it elsewhere. A part of the circle
    // counts where most of its columns' lowest sky lies below.
    {
        int all[kHorizonBins] = {}, under[kHorizonBins] = {};
        for (size_t i = 0; i < skyline_.size() / 3; ++i) {
            const float* q = &skyline_[3 * i];
            const double az = std::atan2(q[1], q[0]) / (2 * kPi) + 0.5;
            const int k = std::clamp(static_cast<int>(az * kHorizonBins), 0, kHorizonBins - 1);
            ++all[k];
            if (q[0] * u[0] + q[1] * u[1] + q[2] * u[2] < c - std::sin(kSkyBelow)) ++under[k];
        }
        int parts = 0;
        for (int k = 0; k < kHorizonBins; ++k) parts += 2 * under[k] > all[k];
        if (parts >= 1) {
            std::snprintf(said, sizeof said, "sky is seen below the horizon found (over %d of %d parts of the circle)",
                          parts, kHorizonBins);
            return Status(kExitFailed, said);
        }
    }
    mx /= bins, my /= bins, sxx = sxx / bins - mx * mx, syy = syy / bins - my * my, sxy = sxy / bins - mx * my;
    const double weaker = 0.5 * (sxx + syy) - std::sqrt(0.25 * (sxx - syy) * (sxx - syy) + sxy * sxy);
    // The fit's own error: the pieces' scatter over the parts of the circle
    // they are seen in, on the weaker way; how far the land's edge strays
    // from one height (bumps of the land as wide as the circle look like a
    // tilt, and are taken to be as large as those it shows); the spread of
    // fits each without one eighth of the circle.
    const double fit = rms / std::sqrt(bins * std::max(weaker, 1e-3)) / kDeg;
    const double uneven = rms / kDeg;
    double lo[kSectors][3], mean[3] = {0, 0, 0}, used = 0;
    bool in[kSectors] = {};
    constexpr int perSector = kHorizonBins / kSectors;
    for (int s = 0; s < kSectors; ++s) {
        gather(((1u << perSector) - 1) << (s * perSector));
        double cs;
        std::set<uint8_t> left(bin.begin(), bin.end());
        if (static_cast<int>(left.size()) < kMinHorizonBins / 2 || !fitPlane(p, w, lo[s], &cs)) continue;
        in[s] = true, ++used;
        for (int k = 0; k < 3; ++k) mean[k] += lo[s][k];
    }
    double jack = kMaxTilt;
    if (used >= 2) {
        jack = 0;
        for (double& k : mean) k /= used;
        for (int s = 0; s < kSectors; ++s)
            if (in[s])
                for (int k = 0; k < 3; ++k) jack += std::pow(lo[s][k] - mean[k], 2);
        jack = std::sqrt(jack * (used - 1) / used) / kDeg;
    }
    // The spread is taken whole: the parts of one edge left out are alike.
    const double sure = std::sqrt(jack * jack + fit * fit + uneven * uneven + kUnseen * kUnseen);
    if (uncertainty) *uncertainty = sure;
    const double tilt = std::acos(std::min(1.0, u[2])) / kDeg;
    if (sure > kMaxUncertainty) {
        std::snprintf(said, sizeof said, "the horizon is uncertain (%.2f degrees of tilt found, give or take %.2f)", tilt, sure);
        return Status(kExitFailed, said);
    }
    // The vertical lines there are must agree: those within a few degrees
    // of vertical under it (a horizon somewhat off), and those of the
    // lines' own fit where that is as certain as one acted on (one far off).
    const double worst =
        std::max(linesAgainst(u, u, sure, 0), lines && linesSure <= kMaxUncertainty ? linesAgainst(lines, u, sure, linesSure) : 0.0);
    if (worst > 0) {
        std::snprintf(said, sizeof said, "the horizon and the vertical lines disagree (by %.2f degrees)", worst);
        return Status(kExitFailed, said);
    }

    const double held = std::sqrt(cameraUp_[0] * cameraUp_[0] + cameraUp_[1] * cameraUp_[1] + cameraUp_[2] * cameraUp_[2]);
    const double off = held > 0 ? std::acos(std::min(1.0, (u[0] * cameraUp_[0] + u[1] * cameraUp_[1] + u[2] * cameraUp_[2]) / held)) / kDeg : tilt;
    // Land is seldom quite flat out to its edge, and what that does to the
    // fit is not seen in its scatter (a few tenths of a degree over part of
    // the circle): only a clear tilt is corrected from the horizon.
    if (off < std::max(3 * sure, kMinHorizonTilt)) {
        std::snprintf(said, sizeof said, "the tilt the horizon shows, %.2f degrees, is within its uncertainty of %.2f", off, sure);
        return Status(kExitFailed, said);
    }
    for (int k = 0; k < 3; ++k) up[k] = u[k];
    return Status();
}

void levelPath(std::vector<Rot>& path, const double up[3]) {
    for (Rot& s : path) {
        const double z[3] = {s.m[0][2], s.m[1][2], s.m[2][2]};  // where the view's up looks
        const double axis[3] = {z[1] * up[2] - z[2] * up[1], z[2] * up[0] - z[0] * up[2], z[0] * up[1] - z[1] * up[0]};
        const double sine = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
        const double cosine = z[0] * up[0] + z[1] * up[1] + z[2] * up[2];
        if (!(sine > 1e-12)) continue;
        const double angle = std::atan2(sine, cosine);
        const double w[3] = {axis[0] / sine * angle, axis[1] / sine * angle, axis[2] / sine * angle};
        s = Rot::fromVector(w) * s;
    }
}

}  // namespace stitcher
