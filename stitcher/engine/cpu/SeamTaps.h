// The seam warp's taps for a band row, a quad of columns or two at a time: each lens
// looked up half the row's disparity toward the other along the band's
// points, read from the frame and its half-size copy as the table reads
// them, the taps written in the table's quad order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "SampleTable.h"

namespace stitcher {

struct SeamRowTaps {
    // Per warped column of the band, from its first: half the shift's share
    // there and each lens's share of the cross-fade in weight units (lens 0 first).
    const float* halfFade = nullptr;
    const float* weight[2] = {nullptr, nullptr};
    // The row's shift per window (finite), and per window its share at
    // each column (windows lists of the columns one after the other).
    const float* rowShift = nullptr;
    int windows = 1;
    const float* windowShare = nullptr;
    int columns = 0;
    // Lens k's points along the row (x, y, radius), from column `origin`;
    // sign[k]: +1 where the lens looks right by half the shift, -1 left.
    const float* points[2] = {nullptr, nullptr};
    float sign[2] = {1.0f, -1.0f};
    float firstColumn = 0.0f;  // the first warped column, less `origin`
    float lastPoint = 0.0f;    // the furthest continuous point index read
    // Per lens the fall-off's lift at radius i / liftSteps; null: none.
    const float* lift[2] = {nullptr, nullptr};
    int liftSteps = 1;
    float lower = 1.0f, upper = 0.0f;  // the frame's and the half-size copy's share of a read
    int frameWidth = 0, frameHeight = 0;
    int texelBytes = 3;  // of the frame and its half-size copy
};

// The taps of `quads` groups of four columns from column `first` (counted
// from the first warped column), both lenses read at each: per quad, tap
// by tap, the four pixels' side by side. Returns how many were written,
// 0 where this machine's build has no vectors for it (the caller works them out).
size_t seamQuadTaps(const SeamRowTaps& row, int first, int quads, SampleTap* out);

}  // namespace stitcher
