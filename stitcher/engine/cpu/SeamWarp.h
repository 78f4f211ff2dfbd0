// The CPU engine's seam warp: within each cross-fade band, rows whose seam
// disparity is not 0 are sampled again with each lens looked up half the
// disparity toward the other (faded to nothing at the band's edges). The
// warped pixels get taps of the table's own form, worked out per frame on
// the thread that samples their rows and run through the table's kernels:
// each lens read bilinearly from the frame and, where the frame is finer
// than the panorama, from a half-size copy made per frame, blended by the
// ratio's log as the table reads; the fall-off lifted as the table lifts it
// and the engine's gains applied by the kernels. Everything else, the rows
// without disparity included, is the table's picture unchanged.
//
// A flat or planet view warps the same bands where it shows them: each of
// its pixels that looks into the warped part of a band (found when the view
// changes) is read again, its lenses moved along the band's rows as the
// panorama's pixel there would move them, linear between the band's rows.
// Its reads mix the frame and smaller copies (down to an eighth) by the
// view's own pixel size, as the view's table does.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Engine.h"
#include "SampleKernel.h"
#include "SampleTable.h"
#include "SeamBands.h"

namespace stitcher {

class WorkerPool;

class SeamWarp {
public:
    // `threads`: the threads apply() runs on (their indices below it).
    SeamWarp(const EngineSpec& params, int threads);
    ~SeamWarp();
    // Whether an engine of `params` has bands to warp: the stitch layout,
    // its panorama unturned or turned per frame, or a flat or planet view.
    static bool usableFor(const EngineSpec& params);

    // Takes the shift for the frames that follow; false where the engine's
    // picture has no bands to warp (another layout, a view rotation).
    bool setShift(const SeamShift& shift);
    bool active() const { return active_; }
    // A flat or planet view's rotation (m[i] is column i) and field of view
    // for the frames that follow.
    void setView(const float m[4][4], double fov);
    // Once per frame, before apply(): the half-size copy the warp reads
    // where the frame is much finer than the panorama, only the part the
    // bands can reach, made on `pool`.
    void prepare(const uint8_t* frame, WorkerPool& pool);
    // Redoes the warped pixels of rows [row0, row1) of the identity-view
    // panorama (or of the view) on pool thread `thread`; `rows` holds row0.
    // `gains` are the engine's, the fall-off's rim folded in.
    void apply(const uint8_t* frame, int row0, int row1, uint8_t* rows, size_t stride, const LensGains& gains,
               int thread) const;

    // The tiles (kTileColumns output columns each) of the panorama's rows
    // [row0, row1) whose every pixel apply() redoes this frame, so that the
    // table need not sample them: a run [first, end) per band at most into
    // `runs`, left to right; returns how many.
    int redoneTiles(int row0, int row1, int runs[2][2]) const;

private:
    // Whether apply() redoes the warped columns of `row` of band b.
    bool rowWarped(int b, int row) const;
    // Per thread: one row's taps and pixels.
    struct Scratch {
        SampleTable table;
        TableBand band;
        std::vector<uint8_t> pixels;
        std::vector<int> columns;  // a view row's redone pixels
    };
    void makeBands(int margin);
    // Row `row`'s taps of band b into `out` and its tile rows' group masks
    // into `groups`; returns how many taps.
    size_t rowTaps(int b, int row, SampleTap* out, uint32_t* groups) const;
    // One pixel's taps into `out`, lens 0's first: each lens k read at frame
    // point (x[k], y[k]) (radius r[k]) for share[k] of the pixel, `level`
    // of each read from the half-size copy. Returns how many.
    size_t pixelTaps(const float x[2], const float y[2], const float r[2], const float share[2], float level,
                     SampleTap* out) const;
    // A view pixel that shows the warped part of band b at continuous
    // panorama position (col, row), and its share of the half-size copy.
    struct ViewPixel {
        int x, b;
        float col, level;
        // What does not change from frame to frame: the rows it lies
        // between and the share of the lower, the shift's window and the
        // share of the next, half the shift's share there, the right lens's
        // share of the cross-fade.
        int row;
        float down;
        int window;
        float next, halfFade, right;
    };
    void findViewPixels(int y, std::vector<ViewPixel>& found) const;
    void applyView(const uint8_t* frame, int row0, int row1, uint8_t* rows, size_t stride, const LensGains& gains,
                   Scratch& s) const;
    // Per band, the columns warped [w0, w1) and, per column of them, what
    // does not change from row to row (both lenses are read at every one,
    // a share too small to count getting no weight): the shift's window
    // below it and the share of the next, and as lists (for the taps worked
    // out four columns at a time) half the shift's share there (fade()),
    // each lens's share of the cross-fade in weight units (lens 0 first)
    // and each window's share.
    struct Column {
        int window;
        float next;
    };
    int w0_[2] = {0, 0}, w1_[2] = {0, 0};
    std::vector<Column> columns_[2];
    struct Lanes {
        std::vector<float> halfFade, weight[2];
        std::vector<float> windowShare;  // per window, its share at each column
    };
    Lanes lanes_[2];

    EngineSpec params_;
    int threads_ = 1;
    bool usable_ = false;
    bool active_ = false;
    std::unique_ptr<SeamBands> bands_;
    SeamShift shift_;
    bool halved_ = false;
    float halfShare_ = 0.0f;  // the half-size copy's share of a read
    // The half-size copy's rows, then (for a view) quarter and eighth
    // size ones, all at the half-size copy's row stride; level k's first row.
    static constexpr int kMostLevels = 3;
    int levelCount_ = 0;
    int levelRow_[kMostLevels + 1] = {0, 0, 0, 0};
    std::vector<uint8_t> half_;
    int halfRow0_ = 0, halfRow1_ = 0;  // the rows of the copy the bands reach
    // The panorama's warp (no view) makes only the stretches of those rows
    // that its reads can reach: row, first and end texel.
    struct Span {
        int row, x0, x1;
    };
    std::vector<Span> halfSpans_;
    // Per lens, the fall-off's lift rim / V(r) at r = i / kLiftSteps.
    static constexpr int kLiftSteps = 1024;
    std::vector<float> lift_[2];
    std::unique_ptr<Scratch[]> scratch_;
    // The panorama's band rows' taps, kept from frame to frame while a
    // row's shift stays the same (a still scene, a fixed distance): per
    // band a table of one slot per row followed, its row as a TableBand,
    // and the shift its taps were worked out for. Each row is sampled by
    // one thread a frame, which alone touches its slot.
    struct RowCache {
        SampleTable table;
        std::vector<TableBand> rows;  // from bands_->firstRow()
        std::vector<float> shift;     // per row, shift_.windows values
        std::vector<uint8_t> valid;
    };
    mutable RowCache cache_[2];
    int cacheWindows_ = 0;
    void makeCache();
    // A flat or planet view: its shape and rotation, and per output row the
    // pixels that show the bands, found again once the view has changed
    // (each row on the thread that samples it).
    bool view_ = false;
    ViewShape shape_;
    ViewRays rays_;
    double rotation_[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    unsigned viewEpoch_ = 1;
    mutable std::vector<std::vector<ViewPixel>> viewRows_;
    mutable std::vector<unsigned> viewRowEpoch_;
};

}  // namespace stitcher
