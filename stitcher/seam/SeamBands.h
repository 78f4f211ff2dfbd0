// The two cross-fade bands of the stitched panorama, where one lens's image
// fades into the other's, and where each lens looks there. In the stitch
// layout (identity view) a band is a run of whole output columns; a thing
// near the camera that crosses it is seen by the two lenses at directions a
// little apart across it, which is a shift along the band's rows. The
// per-row shift that makes the lenses agree is the seam's disparity (in
// output pixels, positive for things nearer than the far field); looking
// each lens up half of it toward the other makes both meet on the view
// from the camera's centre.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DualFisheyeModel.h"

namespace stitcher {

// Seams are lined up within this many degrees of latitude of the horizon:
// toward the poles a column spans ever less arc and the bands say little.
constexpr double kLatitudeLimit = 70.0;

// Per band (0, 1) and output row, the disparity in output pixels at
// `windows` points evenly across the band (at fractions (k + 1) / (windows
// + 1) of its width; linear between them, constant beyond): the list is
// rows x windows, row after row. An empty list, or 0, leaves the band as the
// far-field stitch has it.
struct SeamShift {
    int windows = 1;
    std::vector<float> shift[2];
    bool any() const;
    // The disparity at fraction t across band b at `row`.
    float at(int b, int row, float t) const;
};

class SeamBands {
public:
    // The bands of a stitch of `size` rows (width 2 * size) made from frames
    // of frameWidth x frameHeight; margin: how many output pixels beyond a
    // band each lens is followed, the most a half disparity may reach.
    SeamBands(const DualFisheyeModel& model, int size, int frameWidth, int frameHeight, int margin);

    int width() const { return width_; }
    int height() const { return height_; }
    int margin() const { return margin_; }
    // Band b covers output columns [begin(b), end(b)).
    int begin(int b) const { return begin_[b]; }
    int end(int b) const { return end_[b]; }
    // The lens seen left (side 0) and right (side 1) of band b, in output columns.
    int lens(int b, int side) const { return lens_[b][side]; }
    // The share of the right side's lens in the cross-fade at column col of band b.
    float rightShare(int b, int col) const { return share_[b][static_cast<size_t>(col - begin_[b])]; }
    // The rows followed, those within kLatitudeLimit of the horizon and one more each way.
    int firstRow() const;
    int lastRow() const;
    // Where the lens of `side` looks at (col, row) of band b (a row followed), col being a
    // continuous output column within the band widened by margin() each way
    // (pixel centres at whole columns): continuous frame pixel coordinates,
    // centres at +0.5, and the distance from its image-circle centre in radii.
    void lensPoint(int b, int side, int row, float col, float* fx, float* fy, float* radius) const;
    // The same points at whole columns begin(b) - margin() .. end(b) - 1 +
    // margin() of `row`, for callers that step along a row themselves.
    struct Point {
        float x, y, r;
    };
    const Point* rowPoints(int b, int side, int row) const {
        return points_[b][side].data() + static_cast<size_t>(row) * static_cast<size_t>(span_);
    }
    int span() const { return span_; }
    // Frame pixels per output pixel at the middle of the first band on the
    // horizon, the larger of the steps along and across its rows.
    float density() const { return density_; }
    // The angle of one output column at `row`, radians of arc: the longitude
    // step times the cosine of the latitude.
    double arcPerColumn(int row) const;

private:
    int width_, height_, margin_;
    int begin_[2] = {0, 0}, end_[2] = {0, 0};
    int lens_[2][2] = {{0, 1}, {1, 0}};
    std::vector<float> share_[2];
    // Per band, side, row: points at whole columns begin - margin .. end - 1 + margin.
    std::vector<Point> points_[2][2];
    int span_ = 0;
    float density_ = 1.0f;
};

// Bilinear read of a packed BGR frame at continuous pixel coordinates
// (centres at +0.5), clamped at the edges; out: B, G, R.
void sampleFrame(const uint8_t* frame, int width, int height, float x, float y, float out[3]);
// The same read's B + G + R.
float sampleFrameSum(const uint8_t* frame, int width, int height, float x, float y);

}  // namespace stitcher
