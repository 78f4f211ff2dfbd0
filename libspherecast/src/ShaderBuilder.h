#pragma once

#include <string>

// Texts of the renderer's three shader programs. They are fixed: every value
// that depends on the clip or the output size arrives as a uniform.
class ShaderBuilder {
public:
    // Second pass: re-samples the first-pass panorama through a rotation.
    static std::string buildPanoramaVertexCode();
    static std::string buildPanoramaFragmentCode();
    // First pass of the stacked layout: one full-longitude mesh per lens.
    static std::string buildStereoVertexCode();
    static std::string buildStereoFragmentCode();
    // First pass of the stitched panorama: meshes cross-fading over their left band.
    static std::string buildFisheyeVertexCode();
    static std::string buildFisheyeFragmentCode();
};
