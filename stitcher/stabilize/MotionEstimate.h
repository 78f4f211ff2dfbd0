// The camera's rotation from its own pictures, measured on the sphere.
//
// Each frame is stitched small (the CPU engine's table at analysisSize,
// identity view) and turned into a grey pyramid of panoramas. The rotation
// from the current key frame is found by direct photometric alignment:
// Gauss-Newton on the three parameters of a rotation, coarse to fine, over
// the key frame's best-textured pixels spread over the whole sphere (each
// weighted by the solid angle it covers), with the residuals weighted
// robustly (Tukey), so that things that move in the scene count little.
// The seam bands, which are fixed in the camera, are left out. A frame
// turned far from its key frame, or long after it, becomes the next key
// frame, so that errors add up per key frame, not per frame.
//
// Where a frame's pictures hold too little texture to tie down all three
// axes, it is marked unreliable and the camera is taken not to have turned.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Engine.h"
#include "Rotation.h"
#include "Status.h"

namespace stitcher {

struct MotionSettings {
    int analysisSize = 192;  // height of the small panoramas (width twice that)
    int threads = 0;         // 0: all cores
};

class MotionEstimator {
public:
    // `clip` gives the calibration and the frame size; the rest is ignored.
    static Status create(const EngineSpec& clip, const MotionSettings& settings, std::unique_ptr<MotionEstimator>& out);
    ~MotionEstimator();

    // The next frame of the clip (packed BGR, as the engines take it): its
    // orientation from the first frame's, and whether it was measured.
    void add(const uint8_t* bgr);
    // Starts over as made: the next frame added is the first. The small
    // panoramas' tables are kept, so that short runs of frames are each
    // measured without making them anew.
    void restart();

    // Per frame added: camera orientation (maps the frame's directions to
    // the first frame's), and whether the frame had texture enough.
    const std::vector<Rot>& cameras() const;
    const std::vector<uint8_t>& reliable() const;
    // Per column of a w-wide panorama: 1 within (or beside) a seam band,
    // which is fixed in the camera.
    std::vector<uint8_t> seamColumns(int w) const;

private:
    struct State;
    explicit MotionEstimator(std::unique_ptr<State> s);
    std::unique_ptr<State> s_;
};

}  // namespace stitcher
