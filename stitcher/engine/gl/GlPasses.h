// The GL engine's own passes beside the renderer's, drawn in the renderer's
// context on the thread that holds it:
//  - a view pass for flat and planet outputs: one resample from the lens
//    picture straight into each output pixel. Each pixel's direction comes
//    from the projection and the view rotation (uniforms, so fov and
//    rotation may change every frame); the panorama position it looks at is
//    looked up in two geometry textures, made once by drawing the stitch
//    meshes, which hold per lens the mesh's frame position and its place
//    across the cross-fade band; the blend is the stitch pass's own.
//  - a seam pass: the stitch meshes drawn again as the stitch pass draws
//    them, each lens looked up half the seam's disparity toward the other
//    inside the bands (the disparity from a small per-frame texture, one
//    texel per row and window; where the lenses look from the bands' own
//    table, as the CPU engine's warp reads), faded to nothing toward the
//    bands' edges; only the warped pixels are copied over the renderer's
//    picture, or, for a view turned per frame, the whole panorama is
//    stitched so and turned as the renderer's second pass turns it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Engine.h"
#include "GlObjects.h"
#include "SeamBands.h"

namespace stitcher {

class GlPasses {
public:
    explicit GlPasses(const EngineSpec& params);
    ~GlPasses();
    GlPasses(const GlPasses&) = delete;
    GlPasses& operator=(const GlPasses&) = delete;

    // With the renderer's context current: the meshes, the frame texture
    // and what the engine is made for needs (the view pass for a flat or planet
    // output). Fails with the driver's reason.
    Status start();

    // The view's rotation (m[i] is column i) and field of view, for the frames that follow.
    void setRotation(const float m[4][4]);
    void setFov(double degrees) { fov_ = degrees; }
    // Flat or planet: the frame (gains applied) into out (the engine's
    // read-back layout), its seams warped where setShift() gave a disparity.
    Status view(const uint8_t* frame, uint8_t* out);

    // The seam's disparity for the frames that follow; false where it does
    // not fit the panorama. active(): some band has a disparity to warp.
    bool setShift(const SeamShift& shift);
    bool warping() const { return warping_; }
    // Redraws the warped pixels of the identity-view panorama `out`
    // (the renderer's picture of `frame`).
    Status warp(const uint8_t* frame, uint8_t* out);
    // A view turned per frame: the whole panorama stitched with the seams
    // warped, then turned as the renderer turns it (bilinear), into `out`.
    Status warpTurned(const uint8_t* frame, uint8_t* out);

private:
    struct Mesh {
        int lens;
        GLsizei first, count;  // indices
    };
    void upload(const uint8_t* frame);
    Status seamStart();
    // The disparity into shiftTexture_ (made on first use), bound to the active unit.
    void uploadShift();
    // The bands' columns, their lenses and the warped columns, for program p (in use).
    void setBandUniforms(GLuint p);
    // The frame into seamTarget_ with the seams warped: the whole panorama, or only the warped pixels.
    Status drawWarped(const uint8_t* frame, bool whole);
    // Draws one triangle over the whole viewport.
    void cover();

    EngineSpec params_;
    int panoW_, panoH_;
    int geometryW_;  // the geometry textures: geometryW_ x geometryW_ / 2
    float blendWidth_ = 1.0f;
    std::vector<Mesh> meshes_;
    gl::VertexArray vao_;
    gl::Buffer vertices_, uvs_, indices_;
    gl::Texture frame_;
    // The view pass.
    gl::Program geometryProgram_, viewProgram_;
    gl::Texture geometry_[2];
    gl::Texture viewTarget_;
    gl::VertexArray quadVao_;
    gl::Buffer quad_;
    gl::Framebuffer geometryFbo_, viewFbo_;
    float rotation_[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    double fov_ = 100.0;
    // The seam pass.
    gl::Program seamProgram_;
    gl::Texture shiftTexture_, pointsTexture_, seamTarget_;
    bool pointsStale_ = true;  // the bands changed since pointsTexture_ was filled
    gl::Framebuffer seamFbo_;
    gl::Program turnProgram_;
    gl::Texture turnTarget_;
    gl::Framebuffer turnFbo_;
    int warpCols_[2][2] = {{0, 0}, {0, 0}};  // per band: the columns warped
    std::unique_ptr<SeamBands> bands_;
    SeamShift shift_;
    bool warping_ = false;
    std::vector<uint8_t> rowsWarped_[2];  // per band and row: some window has a disparity
    std::vector<uint8_t> readBack_;
};

}  // namespace stitcher
