#include "StitchLayout.h"

#include <cmath>

#include "FisheyePlane.h"

namespace stitchlayout {

const float kStereoRotation[16] = {-4.371139e-8f, 0, -1, 0, 0, 0.99999994f, 0, 0,
                                   1, 0, -4.371139e-8f, 0, 0, 0, 0, 1};

void appendMesh(const FisheyePlane& plane, std::vector<float>* vertices, std::vector<float>* uvs,
                std::vector<unsigned int>* indices) {
    std::vector<unsigned int> meshIndices = plane.indiceData();
    if (!vertices->empty()) {
        const unsigned int offset = static_cast<unsigned int>(vertices->size()) / 3u;
        for (unsigned int& index : meshIndices) index += offset;
    }
    const std::vector<float> meshVertices = plane.vertData();
    const std::vector<float> meshUvs = plane.uvData();
    vertices->insert(vertices->end(), meshVertices.begin(), meshVertices.end());
    indices->insert(indices->end(), meshIndices.begin(), meshIndices.end());
    uvs->insert(uvs->end(), meshUvs.begin(), meshUvs.end());
}

std::vector<LayoutMesh> stitchMeshes(const DualFisheyeModel& model, int width, int height) {
    // Lens 0 twice: the picture runs on across the left/right edge.
    const FisheyeLens lenses[3] = {model.lens0, model.lens1, model.lens0};
    const float hf = static_cast<float>(height);
    std::vector<LayoutMesh> meshes;
    for (int i = 0; i < 3; ++i) {
        const float b = lenses[i].blendAngle();
        const float planeW = (b + 180.0f) / 180.0f * hf;
        const float blendW = b / 180.0f * hf;
        const float step = planeW - blendW;
        const float t = static_cast<float>(-(width / 2)) - blendW;
        float c = planeW * 0.5f + t;
        c = c - step * 0.5f;
        const float cx = static_cast<float>(i) * step + c;
        meshes.push_back({i == 1 ? 1 : 0, FisheyePlane(lenses[i], height, 100, 50, cx, 0.0f, 0)});
    }
    return meshes;
}

std::vector<LayoutMesh> stereoMeshes(const DualFisheyeModel& model, int height) {
    const int half = height / 2;
    const int quarter = height / 4;
    return {{0, FisheyePlane(model.lens0, half, 100, 50, 0.0f, static_cast<float>(quarter), 360)},
            {1, FisheyePlane(model.lens1, half, 100, 50, 0.0f, static_cast<float>(-quarter), 360)}};
}

void appendStitchMeshes(const DualFisheyeModel& model, int width, int height, std::vector<float>* vertices,
                        std::vector<float>* uvs, std::vector<unsigned int>* indices) {
    for (const LayoutMesh& mesh : stitchMeshes(model, width, height)) appendMesh(mesh.plane, vertices, uvs, indices);
}

void appendStereoMeshes(const DualFisheyeModel& model, int height, std::vector<float>* vertices,
                        std::vector<float>* uvs, std::vector<unsigned int>* indices) {
    for (const LayoutMesh& mesh : stereoMeshes(model, height)) appendMesh(mesh.plane, vertices, uvs, indices);
}

float stitchBlendWidth(const DualFisheyeModel& model, int height) {
    return model.lens0.blendAngle() / 180.0f * static_cast<float>(height);
}

float stitchFadeAlpha(float x, float planeLeft, float blendWidth) {
    float t = (x - planeLeft) / blendWidth;
    t = t < 0.0f ? 0.0f : (t > 1.0f ? 1.0f : t);
    const float lamda = 5.2f, a = 0.5f;
    if (t <= 0.5f) return a * std::pow(2.0f * t, lamda);
    return 1.0f - (1.0f - a) * std::pow(2.0f * (1.0f - t), lamda);
}

float stereoCutAlpha(float x, float y, float width, float height) {
    const float pi = 3.14159265358979323846f;
    const float planeHeight = height * 0.5f;
    const float posY = y <= 0.0f ? -planeHeight / 2.0f : planeHeight / 2.0f;
    const float xi = x / width + 0.5f;
    const float yi = (y - posY) / planeHeight + 0.5f;
    const float phi = pi * yi;
    const float theta = pi * 2.0f * (1.0f - xi);
    const float d[4] = {std::sin(phi) * std::cos(theta), std::sin(phi) * std::sin(theta), std::cos(phi), 1.0f};
    float r[3];
    for (int row = 0; row < 3; ++row) {
        r[row] = 0.0f;
        for (int col = 0; col < 4; ++col) r[row] += kStereoRotation[col * 4 + row] * d[col];
    }
    const float degrees = std::atan2(std::sqrt(r[0] * r[0] + r[1] * r[1]), r[2]) / pi * 180.0f;
    if (!(degrees > 100.0f)) return 1.0f;
    const float alpha = (102.0f - degrees) / 2.0f;
    return alpha < 0.0f ? 0.0f : alpha;
}

}  // namespace stitchlayout
