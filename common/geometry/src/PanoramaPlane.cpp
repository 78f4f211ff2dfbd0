#include "PanoramaPlane.h"

#include <cstdint>
#include <limits>

#include "GridMesh.h"

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

    unsigned int k = 0;
    for (int j = 0; j <= rows; ++j) {
        for (int i = 0; i <= columns; ++i) {
            gridmesh::appendPoint(i, j, columns, rows, planeWidth, planeHeight, posX, posY, k, &vertices,
                                  &indices);
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
