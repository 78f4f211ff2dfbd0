// One stitch mesh: a grid over a span of panorama longitudes, pole to pole,
// whose texture coordinates say where each vertex's viewing direction lands
// in one lens image of the dual-fisheye frame.
#pragma once

#include <vector>

#include "FisheyeLens.h"

class FisheyePlane {
public:
    // angle: longitude span in whole degrees; 0 or less takes the lens's
    // stitch span, 180 + blendAngle().
    FisheyePlane(const FisheyeLens& lens, int planeHeight, int columns, int rows,
                 float posX, float posY, int angle);
    ~FisheyePlane();

    void initGeometry();

    std::vector<float> vertData() const;
    std::vector<unsigned int> indiceData() const;
    std::vector<float> uvData() const;

    // Unit viewing direction (mesh space) at fractions s across and t down
    // the grid: vertex (i, j) has s = i / columns, t = j / rows. Longitude
    // runs linearly across the span, centred on pi; t = 0 is the +z pole.
    void directionAt(double s, double t, double dir[3]) const;
    // The same at a point (x, y) of the output plane, in the units and frame
    // of the vertex positions.
    void directionAtPoint(double x, double y, double dir[3]) const;

    FisheyeLens lens;
    int planeWidth;
    int planeHeight;
    int columns;
    int rows;
    float posX;
    float posY;
    float angle;
    std::vector<float> vertices;     // x, y, z per vertex
    std::vector<unsigned int> indices;
    std::vector<float> uvs;          // u, v, planeLeft per vertex
};

// The mesh's per-vertex mapping, exposed so that tools and tests can follow
// it exactly away from the vertices.

// Lens rotation M (row-major, m[row][col]) taking a mesh direction into the
// lens frame, whose optical axis is +Z.
void fisheyeLensRotation(const FisheyeLens& lens, float m[3][3]);

// Texture coordinates (whole frame, 0..1) at which the unit direction
// (dx, dy, dz) in mesh space lands, given the lens rotation from
// fisheyeLensRotation. Directions beyond half the field of view land on the rim.
void fisheyeDirectionToUV(const FisheyeLens& lens, const float m[3][3],
                          double dx, double dy, double dz, float* u, float* v);
