// Flat grid meshes: (columns + 1) x (rows + 1) vertices numbered row by row
// from the bottom-left corner, two triangles per cell.
#pragma once

#include <vector>

namespace gridmesh {

// Appends the position (x, y, 0) of vertex (i, j), number k, of a
// width x height grid centred on (posX, posY) and, unless the vertex lies on
// the last column or row, the two triangles of the cell whose lower-left
// corner it is.
inline void appendPoint(int i, int j, int columns, int rows, float width, float height, float posX,
                        float posY, unsigned int k, std::vector<float>* vertices,
                        std::vector<unsigned int>* indices) {
    const float fi = static_cast<float>(i) / static_cast<float>(columns);
    const float fj = static_cast<float>(j) / static_cast<float>(rows);
    vertices->push_back(width * (fi - 0.5f) + posX);
    vertices->push_back(height * (fj - 0.5f) + posY);
    vertices->push_back(0.0f);
    if (i != columns && j != rows) {
        const unsigned int stride = static_cast<unsigned int>(columns) + 1;
        indices->push_back(k);
        indices->push_back(k + stride);
        indices->push_back(k + stride + 1);
        indices->push_back(k);
        indices->push_back(k + stride + 1);
        indices->push_back(k + 1);
    }
}

}  // namespace gridmesh
