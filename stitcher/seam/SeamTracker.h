// The seam's disparity, frame by frame: for each bin of rows along each
// band, the shift across the band that makes the two lenses agree, found by
// normalised cross-correlation of their grey levels along the band's rows,
// in three overlapping windows across the band (a thing near the camera
// and the ground behind it at its side need different shifts)
// (which ignores the lenses' gains and their slow fall-off), coarse to fine.
// Bins that cannot be trusted (flat, clipped, or lenses that disagree for
// other reasons) take their neighbours' shift or, with none near, the far
// field's (0); a weighted median along the band keeps one bin from jumping
// away from its neighbours; over time a bin moves slowly while the change
// is small (a still scene stays still) and quickly where it is large (a
// passing person is followed).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DualFisheyeModel.h"
#include "SeamBands.h"
#include "WorkerPool.h"

namespace stitcher {

struct SeamSettings {
    double baselineMm = 30.0;  // distance between the lenses' optical centres
    double distanceM = 0.0;    // > 0: a fixed stitching distance instead of measuring
    bool overTime = true;      // smooth over time (frames in order)
    double nearestM = 0.3;     // the nearest thing measured
    int threads = 1;           // threads measuring the bins (0: one per core)
};

class SeamTracker {
public:
    SeamTracker(const DualFisheyeModel& model, int size, int frameWidth, int frameHeight, const SeamSettings& settings);

    // The shift for `frame` (packed BGR, rows of 3 * frameWidth bytes).
    const SeamShift& measure(const uint8_t* frame);
    // The same without measuring: a fixed distance's, or the last.
    const SeamShift& shift() const { return shift_; }

    const SeamBands& bands() const { return bands_; }
    // The largest shift in output pixels that can come out: warps need
    // their lenses followed half as far beyond the bands.
    static int marginFor(const DualFisheyeModel& model, int size, const SeamSettings& settings);

    // Of the frames measured so far: the disparity where things were found
    // nearer than the far field, as median and range in degrees and the
    // distances they mean, and what share of the seams fell back to the far
    // field. One line for people.
    std::string report() const;
    // Share of the bins, over all frames measured, that fell back to the far field.
    double fallbackShare() const;

    // Degrees of a shift of `pixels` at `row`, and the distance it means.
    double degrees(int row, double pixels) const;
    double distanceM(double degrees) const;

private:
    // The bin's shift and confidence in each window across the band.
    // Per thread: one bin's grey levels of each lens.
    struct Signals {
        std::vector<float> left, right;
    };
    void measureBin(const uint8_t* frame, int band, int bin, Signals& sig, float* value, float* confidence) const;
    static void searchWindow(const Signals& sig, int i0, int i1, float most, float* value, float* confidence);

    SeamSettings settings_;
    SeamBands bands_;
    int frameWidth_, frameHeight_;
    int binRows_, bins_;
    std::vector<float> maxShift_;             // per bin, output pixels
    static constexpr int kWindows = 3;        // points across a band measured apart
    std::vector<float> state_[2];             // per band, bin and window, smoothed over time
    bool started_ = false;
    SeamShift shift_;
    std::unique_ptr<WorkerPool> pool_;
    std::vector<Signals> signals_;            // per pool thread
    std::vector<float> value_, confidence_;   // per band, bin and window, this frame
    long long binsMeasured_ = 0, binsFellBack_ = 0;
    std::vector<float> found_;                // degrees of the bins with a near thing
};

}  // namespace stitcher
