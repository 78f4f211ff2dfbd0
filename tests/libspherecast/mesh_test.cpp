#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "DefaultOffset.h"
#include "DualFisheyeModel.h"
#include "FisheyePlane.h"
#include "FisheyeSynth.h"
#include "PanoramaPlane.h"
#include "ViewRotation.h"

namespace {

const double kPi = 3.14159265358979323846;
using testutil::kDefaultOffset;

FisheyeLens referenceLens(int type = 4) {
    FisheyeLens l(static_cast<FisheyeLens::LensType>(type));
    l.centerX = 720.0f;
    l.centerY = 720.0f;
    l.radius = 700.0f;
    l.imageWidth = 2880;
    l.imageHeight = 1440;
    return l;
}

DualFisheyeModel quietModel(const char* offset) {
    testing::internal::CaptureStdout();
    DualFisheyeModel m(offset);
    testing::internal::GetCapturedStdout();
    return m;
}

size_t vertexIndex(const FisheyePlane& p, int i, int j) { return static_cast<size_t>(j) * (p.columns + 1) + i; }

TEST(FisheyePlane, ReferenceMesh) {
    const FisheyePlane p(referenceLens(), 1440, 100, 50, 0.0f, 0.0f, 0);
    EXPECT_EQ(p.angle, 210.0f);
    EXPECT_EQ(p.planeWidth, 1680);
    ASSERT_EQ(p.vertices.size(), 15453u);
    ASSERT_EQ(p.uvs.size(), 15453u);
    ASSERT_EQ(p.indices.size(), 30000u);
    const unsigned int first[12] = {0, 101, 102, 0, 102, 1, 1, 102, 103, 1, 103, 2};
    for (int k = 0; k < 12; ++k) EXPECT_EQ(p.indices[k], first[k]) << k;
    for (size_t k = 0; k < p.indices.size(); ++k) ASSERT_LT(p.indices[k], 5151u);
    for (size_t k = 0; k < p.uvs.size(); k += 3) ASSERT_EQ(p.uvs[k + 2], -840.0f);

    struct Case { int i, j; float x, y; double u, v; };
    const Case cases[] = {
        {0, 0, -840, -720, 0.469094, 0.5},   {50, 0, 0, -720, 0.469094, 0.5},
        {100, 0, 840, -720, 0.469094, 0.5},  {0, 25, -840, 0, 0.25, 0.970924},
        {25, 25, -420, 0, 0.25, 0.794455},   {100, 25, 840, 0, 0.25, 0.029076},
        {0, 50, -840, 720, 0.030906, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.i << "," << c.j);
        const size_t k = vertexIndex(p, c.i, c.j);
        EXPECT_EQ(p.vertices[3 * k], c.x);
        EXPECT_EQ(p.vertices[3 * k + 1], c.y);
        EXPECT_EQ(p.vertices[3 * k + 2], 0.0f);
        EXPECT_NEAR(p.uvs[3 * k], c.u, 1e-6);
        EXPECT_NEAR(p.uvs[3 * k + 1], c.v, 1e-6);
    }
    // Regenerating starts afresh instead of appending.
    FisheyePlane q = p;
    q.initGeometry();
    EXPECT_EQ(q.vertices, p.vertices);
    EXPECT_EQ(q.uvs, p.uvs);
    EXPECT_EQ(q.indices, p.indices);
}

TEST(FisheyePlane, SpanAndWidthFromTheArguments) {
    struct Case { int type, height, angle; float expAngle; int expWidth; };
    const Case cases[] = {
        {4, 1440, 0, 210.0f, 1680}, {2, 1440, 0, 205.0f, 1640}, {5, 1440, -3, 210.0f, 1680},
        {2, 960, 0, 205.0f, 1093},  {4, 960, 360, 360.0f, 1920}, {4, 961, 360, 360.0f, 1922},
        {4, 1000, 1, 1.0f, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " " << c.height << " " << c.angle);
        const FisheyePlane p(referenceLens(c.type), c.height, 4, 2, 0.0f, 0.0f, c.angle);
        EXPECT_EQ(p.angle, c.expAngle);
        EXPECT_EQ(p.planeWidth, c.expWidth);
        EXPECT_EQ(p.uvs[2], 0.0f - static_cast<float>(c.expWidth / 2));
    }
}

TEST(FisheyePlane, DefaultCalibrationMiddleVertex) {
    const DualFisheyeModel m = quietModel(kDefaultOffset);
    struct Case { const FisheyeLens* lens; double u, v, pixels; };
    const Case cases[] = {{&m.lens0, 0.242986, 0.507983, 27.0}, {&m.lens1, 0.750252, 0.488988, 24.0}};
    for (const Case& c : cases) {
        const FisheyePlane p(*c.lens, 1440, 100, 50, 0.0f, 0.0f, 0);
        const size_t k = vertexIndex(p, 50, 25);
        EXPECT_NEAR(p.uvs[3 * k], c.u, 1e-6);
        EXPECT_NEAR(p.uvs[3 * k + 1], c.v, 1e-6);
        const double dx = p.uvs[3 * k] * 2880 - c.lens->centerX, dy = p.uvs[3 * k + 1] * 1440 - c.lens->centerY;
        EXPECT_NEAR(std::hypot(dx, dy), c.pixels, 1.0);
    }
}

TEST(FisheyePlane, FullTurnMeshAndRim) {
    const FisheyeLens lens = referenceLens();
    const FisheyePlane p(lens, 360, 100, 50, 0.0f, 0.0f, 360);
    for (int j = 0; j <= 50; ++j) {
        const size_t a = vertexIndex(p, 0, j), b = vertexIndex(p, 100, j);
        EXPECT_NEAR(p.uvs[3 * a], p.uvs[3 * b], 1e-6);
        EXPECT_NEAR(p.uvs[3 * a + 1], p.uvs[3 * b + 1], 1e-6);
    }
    // Column 0 looks straight back (phi = 0): on the equator that is 180
    // degrees off the axis, clamped onto the rim.
    const size_t k = vertexIndex(p, 0, 25);
    const double r = std::hypot(p.uvs[3 * k] * 2880 - 720, p.uvs[3 * k + 1] * 1440 - 720);
    EXPECT_NEAR(r, 700.0, 1e-3);
}

TEST(FisheyePlane, AxisLandsOnTheCentreForPolynomialsWithoutConstant) {
    for (int type : {2, 5}) {
        const FisheyePlane p(referenceLens(type), 1440, 100, 50, 0.0f, 0.0f, 0);
        const size_t k = vertexIndex(p, 50, 25);
        EXPECT_NEAR(p.uvs[3 * k], 0.25, 1e-7) << type;
        EXPECT_NEAR(p.uvs[3 * k + 1], 0.5, 1e-7) << type;
    }
}

TEST(FisheyePlane, DegenerateGridsAreEmpty) {
    struct Case { int columns, rows; };
    const Case cases[] = {{-1, 50}, {100, -1}, {0, 50}, {100, 0}, {0, 0}, {-5, -5}};
    for (const Case& c : cases) {
        const FisheyePlane p(referenceLens(), 1440, c.columns, c.rows, 0.0f, 0.0f, 0);
        EXPECT_TRUE(p.vertices.empty() && p.uvs.empty() && p.indices.empty()) << c.columns << "x" << c.rows;
        const PanoramaPlane q(100.0f, 50.0f, c.columns, c.rows, 0.0f, 0.0f);
        EXPECT_TRUE(q.vertices.empty() && q.uvs.empty() && q.indices.empty()) << c.columns << "x" << c.rows;
    }
}

bool allFinite(const std::vector<float>& v) {
    for (float f : v)
        if (!std::isfinite(f)) return false;
    return true;
}

TEST(FisheyePlane, NeverReadCalibrationStillGivesAFiniteMesh) {
    const DualFisheyeModel m = quietModel("not an offset");
    for (int angle : {0, 360}) {
        const FisheyePlane p(m.lens0, 960, 100, 50, -80.0f, 0.0f, angle);
        EXPECT_EQ(p.vertices.size(), 15453u);
        EXPECT_EQ(p.indices.size(), 30000u);
        EXPECT_TRUE(allFinite(p.vertices));
        EXPECT_TRUE(allFinite(p.uvs));
    }
}

// Test-side rotation in double precision, written from the convention:
// M = Ry(90 + pitch) Rz(yaw) Rx(roll) acting on column vectors.
struct Mat { double m[3][3]; };
Mat mul(const Mat& a, const Mat& b) {
    Mat r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r.m[i][j] += a.m[i][k] * b.m[k][j];
    return r;
}
Mat lensRotation(double yaw, double pitch, double roll) {
    const double p = (90.0 + pitch) * kPi / 180.0, y = yaw * kPi / 180.0, r = roll * kPi / 180.0;
    const Mat ry = {{{std::cos(p), 0, std::sin(p)}, {0, 1, 0}, {-std::sin(p), 0, std::cos(p)}}};
    const Mat rz = {{{std::cos(y), -std::sin(y), 0}, {std::sin(y), std::cos(y), 0}, {0, 0, 1}}};
    const Mat rx = {{{1, 0, 0}, {0, std::cos(r), -std::sin(r)}, {0, std::sin(r), std::cos(r)}}};
    return mul(mul(ry, rz), rx);
}

// (u, v) back to the lens-frame direction with a numeric inverse of the polynomial.
void uvToLensDirection(const FisheyeLens& lens, double u, double v, double out[3]) {
    const double dx = u * lens.imageWidth - lens.centerX, dy = v * lens.imageHeight - lens.centerY;
    const double theta = testutil::inverseLensRadius(lens, std::hypot(dx, dy) / lens.radius) * kPi / 180.0;
    const double alpha = std::atan2(dy, dx);
    out[0] = std::sin(theta) * std::cos(alpha);
    out[1] = std::sin(theta) * std::sin(alpha);
    out[2] = std::cos(theta);
}

double angleBetween(const double a[3], const double b[3]) {
    const double c[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    return std::atan2(std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]), a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}

FisheyeLens randomLens(std::mt19937& rng, int type) {
    std::uniform_real_distribution<double> ang(-180.0, 180.0), small(-10.0, 10.0);
    FisheyeLens l(static_cast<FisheyeLens::LensType>(type));
    l.centerX = static_cast<float>(700 + small(rng));
    l.centerY = static_cast<float>(720 + small(rng));
    l.radius = static_cast<float>(690 + small(rng));
    l.yaw = static_cast<float>(ang(rng));
    l.pitch = static_cast<float>(ang(rng));
    l.roll = static_cast<float>(ang(rng));
    l.imageWidth = 2880;
    l.imageHeight = 1440;
    return l;
}

// Directions within half the field of view survive the mesh mapping and the
// numeric inverse: 1e-5 rad is about 0.007 source pixels at this radius.
TEST(FisheyePlane, DirectionRoundTripThroughTheLens) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int type : {2, 4, 5}) {
        for (int trial = 0; trial < 20; ++trial) {
            const FisheyeLens lens = randomLens(rng, type);
            SCOPED_TRACE(testing::Message() << "type " << type << " yaw " << lens.yaw << " pitch "
                                            << lens.pitch << " roll " << lens.roll);
            const Mat M = lensRotation(lens.yaw, lens.pitch, lens.roll);
            float mf[3][3];
            fisheyeLensRotation(lens, mf);
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) ASSERT_NEAR(mf[i][j], M.m[i][j], 1e-6);

            const double half = lens.fieldOfView() / 2.0 * kPi / 180.0;
            for (int n = 0; n < 50; ++n) {
                // Lens-frame direction uniformly over the cap, then to mesh space.
                const double theta = std::acos(1.0 - unit(rng) * (1.0 - std::cos(half * 0.999)));
                const double az = unit(rng) * 2.0 * kPi;
                const double L[3] = {std::sin(theta) * std::cos(az), std::sin(theta) * std::sin(az), std::cos(theta)};
                double d[3];
                for (int i = 0; i < 3; ++i) d[i] = M.m[0][i] * L[0] + M.m[1][i] * L[1] + M.m[2][i] * L[2];
                float u, v;
                fisheyeDirectionToUV(lens, mf, d[0], d[1], d[2], &u, &v);
                double back[3];
                uvToLensDirection(lens, u, v, back);
                // The default polynomial's constant term leaves ~0.3 px without a preimage at the centre.
                const double tol = (type == 4 && theta < 0.01) ? 2e-3 : 1e-5;
                ASSERT_LT(angleBetween(L, back), tol) << "theta " << theta << " az " << az;
            }
        }
    }
}

// The same through the generated vertices: each vertex's grid direction,
// where the lens sees it, comes back from its (u, v).
TEST(FisheyePlane, VertexDirectionsRoundTrip) {
    std::mt19937 rng(777);
    for (int type : {2, 4, 5}) {
        for (int trial = 0; trial < 4; ++trial) {
            const FisheyeLens lens = randomLens(rng, type);
            const int angle = 30 + static_cast<int>(rng() % 331);
            const FisheyePlane p(lens, 720, 40, 30, 12.5f, -3.0f, angle);
            const Mat M = lensRotation(lens.yaw, lens.pitch, lens.roll);
            const double span = p.angle * kPi / 180.0;
            const double half = lens.fieldOfView() / 2.0 * kPi / 180.0;
            int checked = 0;
            for (int j = 0; j <= p.rows; ++j) {
                for (int i = 0; i <= p.columns; ++i) {
                    const double polar = kPi * j / p.rows;
                    const double phi = static_cast<double>(i) / p.columns * span + (2.0 * kPi - span) / 2.0;
                    const double d[3] = {std::cos(phi) * std::sin(polar), std::sin(phi) * std::sin(polar), std::cos(polar)};
                    // Looking the direction up by the vertex's position gives the same.
                    const size_t k = vertexIndex(p, i, j);
                    double atPoint[3];
                    p.directionAtPoint(p.vertices[3 * k], p.vertices[3 * k + 1], atPoint);
                    ASSERT_LT(angleBetween(d, atPoint), 1e-5) << "vertex " << i << "," << j;
                    double L[3];
                    for (int r = 0; r < 3; ++r) L[r] = M.m[r][0] * d[0] + M.m[r][1] * d[1] + M.m[r][2] * d[2];
                    const double offAxis = std::acos(std::max(-1.0, std::min(1.0, L[2])));
                    if (offAxis > half - 1e-3 || offAxis < 0.01) continue;
                    double back[3];
                    uvToLensDirection(lens, p.uvs[3 * k], p.uvs[3 * k + 1], back);
                    ASSERT_LT(angleBetween(L, back), 1e-5) << "type " << type << " vertex " << i << "," << j;
                    ++checked;
                }
            }
            EXPECT_GT(checked, 50);
        }
    }
}

TEST(FisheyePlane, ValidCalibrationsGiveFiniteMeshesInsideTheCircle) {
    std::mt19937 rng(99);
    for (int type : {2, 4, 5, 0, 255}) {
        for (int trial = 0; trial < 5; ++trial) {
            const FisheyeLens lens = randomLens(rng, type);
            for (int angle : {0, 360, 90}) {
                const FisheyePlane p(lens, 961, 100, 50, 3.0f, -7.0f, angle);
                ASSERT_TRUE(allFinite(p.vertices));
                ASSERT_TRUE(allFinite(p.uvs));
                for (size_t k = 0; k < p.uvs.size(); k += 3) {
                    const double r = std::hypot(p.uvs[k] * 2880 - lens.centerX, p.uvs[k + 1] * 1440 - lens.centerY);
                    ASSERT_LE(r, lens.radius + 1e-3);
                }
            }
        }
    }
}

TEST(PanoramaPlane, ReferencePlane) {
    const PanoramaPlane p(2880.0f, 1440.0f, 4, 2, 0.0f, 0.0f);
    ASSERT_EQ(p.vertices.size(), 45u);
    ASSERT_EQ(p.uvs.size(), 30u);
    ASSERT_EQ(p.indices.size(), 48u);
    struct Case { int k; float x, y, u, v; };
    const Case cases[] = {{0, -1440, -720, 0, 0}, {4, 1440, -720, 1, 0}, {7, 0, 0, 0.5f, 0.5f}, {14, 1440, 720, 1, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(p.vertices[3 * c.k], c.x) << c.k;
        EXPECT_EQ(p.vertices[3 * c.k + 1], c.y) << c.k;
        EXPECT_EQ(p.vertices[3 * c.k + 2], 0.0f) << c.k;
        EXPECT_EQ(p.uvs[2 * c.k], c.u) << c.k;
        EXPECT_EQ(p.uvs[2 * c.k + 1], c.v) << c.k;
    }
    const std::vector<unsigned int> head = {0, 5, 6, 0, 6, 1};
    const std::vector<unsigned int> tail = {8, 13, 14, 8, 14, 9};
    EXPECT_EQ(std::vector<unsigned int>(p.indices.begin(), p.indices.begin() + 6), head);
    EXPECT_EQ(std::vector<unsigned int>(p.indices.end() - 6, p.indices.end()), tail);

    const PanoramaPlane moved(2880.0f, 1440.0f, 4, 2, 100.0f, -50.0f);
    for (size_t k = 0; k < p.vertices.size(); k += 3) {
        EXPECT_EQ(moved.vertices[k], p.vertices[k] + 100.0f);
        EXPECT_EQ(moved.vertices[k + 1], p.vertices[k + 1] - 50.0f);
    }
    EXPECT_EQ(moved.uvs, p.uvs);
    EXPECT_EQ(moved.indices, p.indices);
}

// The view matrix maps an output direction (column-major, m[i] = column i)
// to the panorama direction shown there. The middle of the output looks
// along azimuth pi; azimuth grows with the output column, +z is up.
TEST(ViewRotation, AnglesTurnTheViewAsAUserExpects) {
    auto apply = [](const float m[4][4], const double v[3], double out[3]) {
        for (int j = 0; j < 3; ++j) out[j] = m[0][j] * v[0] + m[1][j] * v[1] + m[2][j] * v[2];
    };
    const double ahead[3] = {-1, 0, 0}, up[3] = {0, 0, 1};
    const double deg = kPi / 180.0;
    float m[4][4];
    double d[3];

    viewRotationMatrix(30, 0, 0, m);  // right: the middle shows azimuth pi + 30 degrees
    apply(m, ahead, d);
    EXPECT_NEAR(std::atan2(d[1], d[0]) + 2 * kPi, kPi + 30 * deg, 1e-6);
    EXPECT_NEAR(d[2], 0.0, 1e-7);

    viewRotationMatrix(0, 20, 0, m);  // up: the middle shows 20 degrees above the horizon
    apply(m, ahead, d);
    EXPECT_NEAR(std::asin(d[2]), 20 * deg, 1e-6);

    viewRotationMatrix(0, 0, 15, m);  // about the viewing direction, which stays
    apply(m, ahead, d);
    EXPECT_NEAR(d[0], -1.0, 1e-7);
    apply(m, up, d);
    EXPECT_NEAR(std::acos(d[2]), 15 * deg, 1e-6);
    EXPECT_NEAR(d[0], 0.0, 1e-7);

    // Any combination is a proper rotation with an untouched fourth row and column.
    viewRotationMatrix(-123.4, 56.7, 89.1, m);
    for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 3; ++k) {
            const double dot = m[i][0] * m[k][0] + m[i][1] * m[k][1] + m[i][2] * m[k][2];
            EXPECT_NEAR(dot, i == k ? 1.0 : 0.0, 1e-6);
        }
        EXPECT_EQ(m[i][3], 0.0f);
        EXPECT_EQ(m[3][i], 0.0f);
    }
    EXPECT_EQ(m[3][3], 1.0f);
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[2][1] * m[1][2]) -
                       m[1][0] * (m[0][1] * m[2][2] - m[2][1] * m[0][2]) +
                       m[2][0] * (m[0][1] * m[1][2] - m[1][1] * m[0][2]);
    EXPECT_NEAR(det, 1.0, 1e-6);
}

}  // namespace
