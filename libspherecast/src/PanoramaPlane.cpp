#include "PanoramaPlane.h"

#include <cstdint>
#include <limits>

namespace {

// At least one cell each way (0 would divide by zero), and vertex numbers
// that fit the 32-bit indices.
bool usableGrid(int columns, int rows) {
    if (columns <= 0 || rows <= 0) return false;
    const uint64_t count = (static_cast<uint64_t>(columns) + 1) * (static_cast<uint64_t>(rows) + 1);
    return count <= std::numeric_limits<uint32_t>::max();
}

}  // namespace

PanoramaPlane::PanoramaPlane(float planeWidth, float planeHeight, int columns, int rows,
                             float posX, float posY)
    : planeWidth(planeWidth), planeHeight(planeHeight), columns(columns), rows(rows),
      posX(posX), posY(posY) {
    initGeometry();
    initUV();
}

PanoramaPlane::~PanoramaPlane() {}

void PanoramaPlane::initGeometry() {
    vertices.clear();
    indices.clear();
    if (!usableGrid(columns, rows)) return;

    const unsigned int stride = static_cast<unsigned int>(columns) + 1;
    unsigned int k = 0;
    for (int j = 0; j <= rows; ++j) {
        for (int i = 0; i <= columns; ++i) {
            const float fi = static_cast<float>(i) / static_cast<float>(columns);
            const float fj = static_cast<float>(j) / static_cast<float>(rows);
            vertices.push_back((fi - 0.5f) * planeWidth + posX);
            vertices.push_back((fj - 0.5f) * planeHeight + posY);
            vertices.push_back(0.0f);
            if (i != columns && j != rows) {
                indices.push_back(k);
                indices.push_back(k + stride);
                indices.push_back(k + stride + 1);
                indices.push_back(k);
                indices.push_back(k + stride + 1);
                indices.push_back(k + 1);
            }
            ++k;
        }
    }
}

void PanoramaPlane::initUV() {
    uvs.clear();
    if (!usableGrid(columns, rows)) return;
    for (int j = 0; j <= rows; ++j) {
        for (int i = 0; i <= columns; ++i) {
            uvs.push_back(static_cast<float>(i) / static_cast<float>(columns));
            uvs.push_back(static_cast<float>(j) / static_cast<float>(rows));
        }
    }
}
