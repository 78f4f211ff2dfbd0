// Flat grid over the whole output picture, drawn by the re-projection pass.
#pragma once

#include <vector>

class PanoramaPlane {
public:
    PanoramaPlane(float planeWidth, float planeHeight, int columns, int rows, float posX, float posY);
    ~PanoramaPlane();

    void initGeometry();
    void initUV();

    float planeWidth;
    float planeHeight;
    int columns;
    int rows;
    float posX;
    float posY;
    std::vector<float> vertices;        // x, y, z per vertex
    std::vector<float> uvs;             // u, v per vertex (not uploaded)
    std::vector<unsigned int> indices;  // 6 per grid cell
};
