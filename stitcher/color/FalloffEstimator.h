#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ColorMatch.h"
#include "LensFalloff.h"
#include "Status.h"

class DualFisheyeModel;

namespace stitcher {

// Each lens's fall-off from a handful of frames spread over a clip (it does
// not change during one), measured where the lenses see the same directions.
//
// A pair of samples of one direction sees lens 0 at radius r0 and lens 1 at
// r1, and ln(lens 0 / lens 1) = k + L0(r0) - L1(r1), L = ln V, with k the
// frame's and channel's exposure and colour difference (which the gains
// follow). Within a seam band r0 grows as r1 shrinks about one radius r_s,
// so the data fix the slope there well, and nothing else about the two
// lenses' difference: L0(r_s) - L1(r_s) is a constant that k takes in
// whatever the curves. A fit of two curves splits it between the curves
// and the gains by chance, and what the curves are given the gains take
// back over the whole lens: a step between the lenses. So both lenses get
// one curve (two lenses of one camera darken alike), and the difference
// between them at the seams stays with the gains, which measure it.
//
// The fit is linear in the curve's two coefficients, takes k out per frame
// and channel, and compares the lenses per cell (a run of samples along one
// column of a band) by the ratio of their sums, which a softer drawing of
// the scene near a lens's rim does not move (a mean of log ratios does).
// Cells are weighed with a Cauchy loss (parallax, moving things), and a
// weak prior toward flat decides what the data hardly see. The result is
// held to a fall-off that never brightens outward, and is used only where
// the darkening at the rim stands clear of kFlatRim and of its spread over
// the frames and over the cells (each left out in turn: a still camera's
// frames all agree, also on a line along a seam that the two lenses draw a
// little differently, which alone can make a fit). It is one curve for all
// three channels: colour differences between the lenses stay with the gains.
// Where too few frames show usable detail in the overlap, or the fall-off
// is not clearly there, it stays flat and says why.
class FalloffEstimator {
public:
    Status init(const DualFisheyeModel& model, int frameWidth, int frameHeight);
    // Adds one frame's samples; false where the frame shows too little
    // usable detail in the overlap (too dark, clipped or featureless).
    bool add(const uint8_t* frame);
    int framesUsed() const { return frames_; }

    struct Result {
        LensFalloff falloff;   // flat where not measured, or not clearly there (see above)
        LensFalloff fitted;    // as fitted, before that
        bool measured = false;
        std::string why;       // where not measured or left flat: the reason
    };
    Result fit() const;

    static constexpr int kMinFrames = 2;
    static constexpr double kFlatRim = 0.97;
    // Its samples reach a band's width beyond each seam band on either side
    // (as far as both lenses see): more radii than the gains need.
    static constexpr double kWiden = 1.0;
    // The fit's coefficients: the curve's a and b.
    static constexpr int kFeatures = 2;

private:
    // Pairs a cell holds at most.
    static constexpr uint32_t kCellPairs = 64;
    // A pair's features: r0^2 - r1^2 and r0^4 - r1^4 (the curve's a and b).
    static void features(double r0, double r1, double f[kFeatures]);

    ColorEstimator estimator_;
    std::vector<uint32_t> cells_;  // first pair of each cell, then the pair count
    // Per cell and channel of each frame used: its group (frame * 3 +
    // channel), which cell, log ratio of the sums, weight (pairs used), and
    // the mean features of its pairs.
    std::vector<int32_t> group_, place_;  // place: the cell's index
    std::vector<float> ratio_, weight_, feature_;
    int frames_ = 0;
};

// Reads up to `frames` frames spread evenly over [first, first + count - 1]
// through `read` (false: that frame could not be had) and fits them; an
// interruption ends the reading and leaves the fall-off flat.
FalloffEstimator::Result estimateFalloff(const DualFisheyeModel& model, int frameWidth, int frameHeight,
                                         long long first, long long count,
                                         const std::function<bool(long long frame, uint8_t* bgr)>& read,
                                         const std::atomic<bool>& interrupted, int frames = 8);

}  // namespace stitcher
