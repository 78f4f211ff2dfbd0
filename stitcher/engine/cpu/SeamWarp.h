// The CPU engine's seam warp: within each cross-fade band, rows whose seam
// disparity is not 0 are sampled again with each lens looked up half the
// disparity toward the other (faded to nothing at the band's edges), with
// the gains and the fall-off the table applies, read per lens as the table
// reads: bilinear from the frame and, where it is finer than the panorama,
// from a half-size copy made per frame, blended by the ratio's log. Everything else, the rows
// without disparity included, is the table's picture unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Engine.h"
#include "SeamBands.h"

namespace stitcher {

class SeamWarp {
public:
    explicit SeamWarp(const EngineSpec& params);
    // Whether an engine of `params` has bands to warp: the stitch layout,
    // its view unturned or turned per frame.
    static bool usableFor(const EngineSpec& params);

    // Takes the shift for the frames that follow; false where the engine's
    // picture has no bands to warp (another layout, a view rotation).
    bool setShift(const SeamShift& shift);
    bool active() const { return active_; }
    void setGains(const float gains[2][3]);
    // Once per frame, before apply(): the half-size copy the warp reads
    // where the frame is much finer than the panorama.
    void prepare(const uint8_t* frame);
    // Redoes the warped pixels of rows [row0, row1) of the identity-view
    // panorama; `rows` holds row0.
    void apply(const uint8_t* frame, int row0, int row1, uint8_t* rows, size_t stride) const;

private:
    EngineSpec params_;
    bool usable_ = false;
    bool active_ = false;
    std::unique_ptr<SeamBands> bands_;
    SeamShift shift_;
    float gains_[2][3] = {{1, 1, 1}, {1, 1, 1}};
    bool halved_ = false;
    float halfShare_ = 0.0f;  // the half-size copy's share of a read
    std::vector<uint8_t> half_;
};

}  // namespace stitcher
