// Where the first render pass puts its meshes: the output layouts of the
// stitched panorama and of the stacked per-lens panoramas, as merged mesh
// lists in output pixels (origin at the centre of the output picture).
#pragma once

#include <vector>

#include "DualFisheyeModel.h"

#include "FisheyePlane.h"

namespace stitchlayout {

// One mesh of a layout as it is placed in the output, with the lens (0 or 1)
// whose image it samples. Layouts list their meshes in drawing order.
struct LayoutMesh {
    int lens;
    FisheyePlane plane;
};

// The three stitch meshes (lens 0, lens 1, lens 0) side by side over a
// width x height panorama, each overlapping the one before by its blend band
// and fading in over it.
std::vector<LayoutMesh> stitchMeshes(const DualFisheyeModel& model, int width, int height);
// One 360-degree mesh per lens over an output of the given height: lens 0 in
// the upper half (mesh y > 0), lens 1 in the lower half.
std::vector<LayoutMesh> stereoMeshes(const DualFisheyeModel& model, int height);

// Merged first-pass lists: 3 floats of position and 3 of texture data
// (u, v, planeLeft) per vertex, triangle indices into the merged vertices.
struct MeshLists {
    std::vector<float> vertices;
    std::vector<float> uvs;
    std::vector<unsigned int> indices;
};

// Appends one mesh, raising its indices past the vertices already merged.
void appendMesh(const FisheyePlane& plane, std::vector<float>* vertices, std::vector<float>* uvs,
                std::vector<unsigned int>* indices);

// The merged lists of stitchMeshes / stereoMeshes.
void appendStitchMeshes(const DualFisheyeModel& model, int width, int height, std::vector<float>* vertices,
                        std::vector<float>* uvs, std::vector<unsigned int>* indices);

void appendStereoMeshes(const DualFisheyeModel& model, int height, std::vector<float>* vertices,
                        std::vector<float>* uvs, std::vector<unsigned int>* indices);

// Width of the cross-fade band in output pixels: one for all three stitch
// meshes, taken from lens 0.
float stitchBlendWidth(const DualFisheyeModel& model, int height);

// Rotation the stereo layout measures its cut with: +90 degrees about y, as
// single precision gives it (column-major 4x4), so that the cut is measured
// from the middle of each half instead of from the pole.
extern const float kStereoRotation[16];

// The first-pass alpha of each layout, as the fragment shaders compute it
// (the shader texts are the GPU's copy), for CPU renderings of the same
// pictures. Both take a mesh point in output pixels.

// Stitch meshes fade in over their left band: 0 at planeLeft, 0.5 halfway,
// 1 from planeLeft + blendWidth on.
float stitchFadeAlpha(float x, float planeLeft, float blendWidth);

// Stereo meshes are opaque up to 100 degrees from the middle of their half
// of a width x height output and fade out by 102 degrees; the lower half
// (lens 1) takes y <= 0. The result is clamped to 0..1 as blending sees it.
float stereoCutAlpha(float x, float y, float width, float height);

}  // namespace stitchlayout
