#include "FisheyePlane.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "GridMesh.h"

namespace {

const double kPi = 3.14159265358979323846;

float toRadians(float degrees) {
    return static_cast<float>(static_cast<double>(degrees / 180.0f) * kPi);
}

void rotX(float t, float r[3][3]) {
    const float c = std::cos(t), s = std::sin(t);
    const float m[3][3] = {{1, 0, 0}, {0, c, -s}, {0, s, c}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = m[i][j];
}

void rotY(float t, float r[3][3]) {
    const float c = std::cos(t), s = std::sin(t);
    const float m[3][3] = {{c, 0, s}, {0, 1, 0}, {-s, 0, c}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = m[i][j];
}

void rotZ(float t, float r[3][3]) {
    const float c = std::cos(t), s = std::sin(t);
    const float m[3][3] = {{c, -s, 0}, {s, c, 0}, {0, 0, 1}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = m[i][j];
}

void mul(const float a[3][3], const float b[3][3], float r[3][3]) {
    float t[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = t[i][j];
}

// Float to int truncating toward zero, saturating where a cast would be undefined.
int truncSaturate(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0f) return std::numeric_limits<int>::max();
    if (value <= -2147483648.0f) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

}  // namespace

void fisheyeLensRotation(const FisheyeLens& lens, float m[3][3]) {
    float ry90[3][3], ry[3][3], rz[3][3], rx[3][3];
    rotY(toRadians(90.0f), ry90);
    rotY(toRadians(lens.pitch), ry);
    rotZ(toRadians(lens.yaw), rz);
    rotX(toRadians(lens.roll), rx);
    mul(ry90, ry, m);
    mul(m, rz, m);
    mul(m, rx, m);
}

void fisheyeDirectionToUV(const FisheyeLens& lens, const float m[3][3],
                          double dx, double dy, double dz, float* u, float* v) {
    const float d[3] = {static_cast<float>(dx), static_cast<float>(dy), static_cast<float>(dz)};
    const float X = m[0][0] * d[0] + m[0][1] * d[1] + m[0][2] * d[2];
    const float Y = m[1][0] * d[0] + m[1][1] * d[1] + m[1][2] * d[2];
    const float Z = m[2][0] * d[0] + m[2][1] * d[1] + m[2][2] * d[2];

    const float theta = std::atan2(std::sqrt(X * X + Y * Y), Z);
    const float halfFov = lens.fieldOfView() * 0.5f;
    double thetaDeg = static_cast<double>(theta) / kPi * 180.0;
    // The polynomials turn over not far beyond half the field of view.
    if (thetaDeg > halfFov) thetaDeg = halfFov;

    const double alpha = std::atan2(static_cast<double>(Y), static_cast<double>(X));
    const double r = lens.radius * lens.map(thetaDeg) / lens.map(static_cast<double>(halfFov));

    const float nu = static_cast<float>(lens.centerX + r * std::cos(alpha));
    const float nv = static_cast<float>(lens.centerY + r * std::sin(alpha));
    // A calibration that was never read has no image size: keep the
    // coordinates finite (the frame's first texel) rather than 0/0.
    *u = lens.imageWidth != 0 ? nu / static_cast<float>(lens.imageWidth) : 0.0f;
    *v = lens.imageHeight != 0 ? nv / static_cast<float>(lens.imageHeight) : 0.0f;
}

FisheyePlane::FisheyePlane(const FisheyeLens& lens, int planeHeight, int columns, int rows,
                           float posX, float posY, int angle)
    : lens(lens), planeWidth(0), planeHeight(planeHeight), columns(columns), rows(rows),
      posX(posX), posY(posY), angle(0.0f) {
    this->angle = angle > 0 ? static_cast<float>(angle)
                            : static_cast<float>(lens.blendAngle() + 180.0);
    planeWidth = truncSaturate(static_cast<float>(planeHeight) * this->angle / 180.0f);
    initGeometry();
}

FisheyePlane::~FisheyePlane() {}

void FisheyePlane::initGeometry() {
    vertices.clear();
    indices.clear();
    uvs.clear();

    // A grid needs at least one cell each way (0 would divide by zero), and
    // its vertex numbers must fit the 32-bit indices.
    if (rows <= 0 || columns <= 0) return;
    const uint64_t vertexCount = (static_cast<uint64_t>(columns) + 1) * (static_cast<uint64_t>(rows) + 1);
    if (vertexCount > std::numeric_limits<uint32_t>::max()) return;

    float m[3][3];
    fisheyeLensRotation(lens, m);

    vertices.reserve(vertexCount * 3);
    uvs.reserve(vertexCount * 3);
    indices.reserve(static_cast<size_t>(columns) * rows * 6);

    const float planeLeft = posX - static_cast<float>(planeWidth / 2);
    unsigned int k = 0;
    for (int j = 0; j <= rows; ++j) {
        for (int i = 0; i <= columns; ++i) {
            gridmesh::appendPoint(i, j, columns, rows, static_cast<float>(planeWidth),
                                  static_cast<float>(planeHeight), posX, posY, k, &vertices, &indices);

            double d[3];
            directionAt(static_cast<double>(i) / columns, static_cast<double>(j) / rows, d);
            float u = 0.0f, v = 0.0f;
            fisheyeDirectionToUV(lens, m, d[0], d[1], d[2], &u, &v);
            uvs.push_back(u);
            uvs.push_back(v);
            uvs.push_back(planeLeft);
            ++k;
        }
    }
}

void FisheyePlane::directionAt(double s, double t, double dir[3]) const {
    const double span = angle * kPi / 180.0;
    const double polar = kPi * t;
    const double phi = s * span + (2.0 * kPi - span) / 2.0;
    dir[0] = std::cos(phi) * std::sin(polar);
    dir[1] = std::sin(phi) * std::sin(polar);
    dir[2] = std::cos(polar);
}

void FisheyePlane::directionAtPoint(double x, double y, double dir[3]) const {
    directionAt((x - posX) / planeWidth + 0.5, (y - posY) / planeHeight + 0.5, dir);
}

std::vector<float> FisheyePlane::vertData() const { return vertices; }
std::vector<unsigned int> FisheyePlane::indiceData() const { return indices; }
std::vector<float> FisheyePlane::uvData() const { return uvs; }
