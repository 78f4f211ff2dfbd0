// Grey panoramas of a clip's frames, as the motion analysis and the up
// finder read them: the CPU engine's stitch at a given height through the
// identity view, its blue, green and red weighted 1:2:1.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Engine.h"
#include "Status.h"

namespace stitcher {

class CpuEngine;

class GreyPanorama {
public:
    // `clip` gives the calibration and the frame size; `rows` is rounded
    // down to a multiple of 16 (at least 32). Out of memory, the message
    // is "not enough memory " + `purpose`.
    static Status create(const EngineSpec& clip, int rows, int threads, const std::string& purpose,
                         std::unique_ptr<GreyPanorama>& out);
    ~GreyPanorama();

    // The grey panorama (row 0 at the +z pole) of a frame of the clip
    // (packed BGR); null where the engine could not stitch it.
    const float* grey(const uint8_t* bgr, int* w, int* h);
    const EngineSpec& params() const;

private:
    GreyPanorama() = default;
    std::unique_ptr<CpuEngine> engine_;
    std::vector<uint8_t> stitched_;
    std::vector<float> grey_;
};

}  // namespace stitcher
