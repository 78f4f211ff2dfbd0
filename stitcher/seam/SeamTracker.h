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
// passing person is followed). All of it runs on a grid of fixed angle
// (the columns and rows of a 480 x 240 panorama) whatever the output's size,
// the frame read through each grid column's footprint: what the measure
// finds, and what it takes for noise, are the same in degrees at every
// size, and its cost does not grow with the output.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
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
    int texelBytes = 3;        // bytes per pixel of the frames measured: 3 (B, G, R) or 4 (a fourth byte left alone)
};

// One frame's measurement before the smoothing over time: it depends on the
// frame alone, so frames may be measured apart (on threads of their own) and
// then smoothed in order (advance()). Cells are band by band, bin by bin,
// window by window.
struct SeamFrame {
    std::vector<std::pair<uint32_t, float>> near;  // the cells whose median along the band is not the far field's
    std::vector<uint64_t> confident;               // a bit per cell: measured with some confidence
    long long measured = 0, fellBack = 0;          // bins measured, and of them those that kept the far field
};

// Where each frame's seam disparity comes from as the frames go through:
// measured from the frame (SeamTracker), or decided beforehand for the whole
// clip (a farm plan's).
class FrameSeams {
public:
    virtual ~FrameSeams() = default;
    // The shift for clip frame `frame`, whose decoded picture is `picture`;
    // called once per frame, in order.
    virtual const SeamShift& shiftFor(long long frame, const uint8_t* picture) = 0;
};

class SeamTracker : public FrameSeams {
public:
    SeamTracker(const DualFisheyeModel& model, int size, int frameWidth, int frameHeight, const SeamSettings& settings);

    // The shift for `frame` (packed BGR, rows of settings.texelBytes * frameWidth bytes).
    const SeamShift& measure(const uint8_t* frame);
    const SeamShift& shiftFor(long long, const uint8_t* picture) override { return measure(picture); }
    // The same without measuring: a fixed distance's, or the last.
    const SeamShift& shift() const { return shift_; }
    // Whether measure() measures (auto), rather than keeping a fixed distance's shift.
    bool measures() const { return settings_.distanceM <= 0 && settings_.baselineMm > 0; }

    // measure() in its two steps: the frame's own measurement (which
    // changes nothing but scratch space: one frame at a time per tracker),
    // then the smoothing over time, frames in order.
    void measureFrame(const uint8_t* frame, SeamFrame& out);
    const SeamShift& advance(const SeamFrame& frame);
    // The smoothed disparity of every cell after the last frame (cells()
    // numbers, in output pixels): all that a frame's shift is made of.
    std::vector<float> state() const;
    // The shift of a smoothed state found elsewhere (cells() numbers, as
    // state() gives them), without measuring.
    const SeamShift& setState(const std::vector<float>& cells);
    int cells() const { return 2 * bins_ * kWindows; }
    // cells() of a tracker for a panorama `size` rows high.
    static int cellsFor(int size);

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
    // The per-row shift of the smoothed state.
    void shiftFromState();

    // One bilinear read of the frame: its 2 x 2 block's top-left texel (byte
    // offset) and the blocks' weights in 1/65535, top-left, top-right,
    // bottom-left, bottom-right. Each bin's reads, worked out once: per row
    // measured, its left side's then its right side's, from column `first`.
    struct Read {
        uint32_t offset;
        uint16_t w[4];
    };
    struct BinReads {
        int rows = 0, first = 0, count = 0;  // count: reads per row and side
        std::vector<Read> reads;
    };
    void planReads();
    // The grid column of output column offset `x` from the band's start
    // less the margin (whole output columns at pixel centres).
    float gridOf(float x) const { return (x + 0.5f) / unit_ - 0.5f; }

    SeamSettings settings_;
    SeamBands bands_;
    int frameWidth_, frameHeight_;
    int binRows_, bins_;
    // The measure's grid: kGridRows bins of rows, and columns of the same
    // angle (those of a panorama kGridRows high) whatever the output's size,
    // unit_ output columns each (1 for panoramas up to kGridRows high).
    static constexpr int kGridRows = 240;
    float unit_ = 1.0f;
    int gridCount_[2] = {0, 0};               // per band: grid columns across it and its margins
    std::vector<float> maxShift_;             // per bin, output pixels
    std::vector<BinReads> reads_[2];          // per band and bin
    static constexpr int kWindows = 3;        // points across a band measured apart
    std::vector<float> state_[2];             // per band, bin and window, smoothed over time
    bool started_ = false;
    SeamShift shift_;
    std::unique_ptr<WorkerPool> pool_;
    std::vector<Signals> signals_;            // per pool thread
    std::vector<float> value_, confidence_;   // per band, bin and window, this frame
    long long binsMeasured_ = 0, binsFellBack_ = 0;
    std::vector<float> found_;                // degrees of the bins with a near thing
    SeamFrame frame_;                         // measure()'s, between its two steps
    std::vector<float> median_;               // advance()'s scratch, per cell
};

}  // namespace stitcher
