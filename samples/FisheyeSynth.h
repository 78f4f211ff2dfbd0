// Dual-fisheye frame synthesis and a CPU model of the renderer's stitching,
// for pixel tests and sample clips (library fisheye_synth, on libspherecast's
// geometry).
//
// Conventions
// -----------
// Pictures (BgrImage) are packed 8-bit B, G, R triples, rows one after the
// other without padding (3 * width bytes per row), the first row first.
//
// Output pixel (col, row) is the pixel at column `col` of row `row` of the
// buffer that Spherecast::render fills (row 0 = first row in that buffer),
// after removing its 4-byte row padding (fromAlignedRows). For an output of
// W x H pixels this pixel shows the mesh point
//     x = W/2 - (col + 0.5),   y = row + 0.5 - H/2
// (the projection mirrors x; the read-back starts at the bottom row, mesh
// y = -H/2). With the identity view rotation the second pass copies the
// first-pass image unchanged, so this holds for the final output.
//
// Stitch layout (size S): W = 2S, H = S. Row `row` looks along polar angle
// pi * (row + 0.5) / H from the mesh +z pole (row 0 is the +z pole side).
// Three meshes are drawn in order: lens 0, lens 1, lens 0 (the last one 360
// degrees on from the first). Each covers 180 degrees plus its blend angle
// and fades in over its left blend band (in mesh x) with the shader's alpha
// curve. In output columns (W/2 = H, B = blendAngle / 180 * H):
//     col < H/2            lens 0 (mesh 2)
//     H/2 .. H/2 + B       band: lens 0 (mesh 2, alpha 1 -> 0) over lens 1
//     H/2 + B .. 3H/2      lens 1 (mesh 1)
//     3H/2 .. 3H/2 + B     band: lens 1 (mesh 1, alpha 1 -> 0) over lens 0
//     col > 3H/2 + B       lens 0 (mesh 0)
// (up to the meshes' truncation of their width to whole pixels).
//
// Stereo layout (size S): W = H = 2S; rows 0 .. H/2-1 show lens 1, the rest
// lens 0, each over 360 degrees, faded out between 100 and 102 degrees from
// the middle of its half.
//
// Lens-frame positions are continuous pixel coordinates of the frame in use
// (pixel (i, j) covers [i, i+1) x [j, j+1), so its centre is (i+0.5, j+0.5));
// texture coordinates are u = x / frameWidth, v = y / frameHeight. The
// calibration's imageWidth x imageHeight is mapped onto whatever frame size
// is given, so frames may be smaller than the calibration says.
//
// The world of the synthesised frames: a lens pixel shows the source picture
// at the output position where the Stitch meshes place that lens direction
// (lens 0 through mesh 0, lens 1 through mesh 1, longitudes wrapping every W
// pixels). The source picture is taken to cover the Stitch output layout of
// the given size; a source of another size is scaled onto it. Stitching a
// synthesised frame with the same calibration (Stitch, identity rotation)
// therefore gives back the source wherever a lens covers the direction, up
// to resampling: the renderer interpolates texture coordinates linearly
// between mesh vertices (UvMode::Rasterised models that) and samples the
// frame through mipmaps, which blurs near the poles; the CPU model here
// samples bilinearly without mipmaps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DualFisheyeModel;
class FisheyeLens;

namespace testutil {

struct BgrImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> data;  // 3 * width * height bytes

    BgrImage() = default;
    BgrImage(int w, int h) : width(w), height(h), data(static_cast<size_t>(w) * h * 3, 0) {}
    bool empty() const { return width <= 0 || height <= 0; }
    uint8_t* at(int x, int y) { return &data[(static_cast<size_t>(y) * width + x) * 3]; }
    const uint8_t* at(int x, int y) const { return &data[(static_cast<size_t>(y) * width + x) * 3]; }
};

// Row alignment of the renderer's upload and read-back: 3 * width bytes
// raised to a multiple of 4.
size_t alignedRowBytes(int width);
BgrImage fromAlignedRows(const uint8_t* rows, int width, int height);
std::vector<uint8_t> toAlignedRows(const BgrImage& image);

enum class Layout { Stitch = 0, Stereo = 1 };

// How texture coordinates are found between mesh vertices.
enum class UvMode {
    Exact,       // the mesh's per-vertex mapping evaluated at the pixel itself
    Rasterised,  // linear interpolation over the mesh triangles, as the GPU does
};

struct LensSample {
    int mesh = -1;      // draw-order index of the mesh
    int lens = -1;      // 0 or 1
    double u = 0.0;     // texture coordinates in the whole frame
    double v = 0.0;
    double x = 0.0;     // the same in continuous pixel coordinates of the frame
    double y = 0.0;
    double alpha = 0.0; // the mesh's own alpha at this pixel (0..1)
    double weight = 0.0;  // share in the final colour after compositing
};

struct OutputSample {
    int count = 0;       // meshes covering the pixel, in draw order
    LensSample s[3];
    double coverage = 0.0;  // sum of weights; below 1 the rest is black
    // The lens with the largest weight, -1 when nothing covers the pixel.
    int dominantLens() const;
};

class StitchGeometry {
public:
    // size: the renderer's `size` (Stitch: 2*size x size; Stereo: 2*size square).
    StitchGeometry(const std::string& offset, int size, Layout layout = Layout::Stitch);
    ~StitchGeometry();
    StitchGeometry(const StitchGeometry&) = delete;
    StitchGeometry& operator=(const StitchGeometry&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    int width() const { return width_; }
    int height() const { return height_; }
    Layout layout() const { return layout_; }
    const DualFisheyeModel& model() const;

    // Output pixel -> contributing meshes, their lens positions and weights.
    OutputSample forward(int col, int row, UvMode mode, int frameWidth, int frameHeight) const;

    // True where a mesh is partly transparent at the pixel, or such a pixel
    // (or a change of the visible mesh) lies within `margin` pixels.
    bool inBlendBand(int col, int row, double margin = 0.0) const;
    // One byte per output pixel, row-major: 1 inside (or near) a band.
    std::vector<uint8_t> blendBandMask(double margin = 0.0) const;

    // Lens pixel position (continuous frame coordinates) -> output position
    // (continuous: pixel centres at col + 0.5) in the Stitch layout of this
    // size. False outside both image circles.
    bool frameToOutput(double x, double y, int frameWidth, int frameHeight,
                       double* col, double* row, int* lens) const;

    // The frame the camera would have recorded of `source` (see above).
    BgrImage synthesise(const BgrImage& source, int frameWidth, int frameHeight) const;

    // For many frames of one size: where each frame pixel looks, computed
    // once (the lens inversion is the costly part), then only sampling.
    // With supersample n, each pixel averages n x n evenly spread subsamples.
    struct FrameMap {
        int frameWidth = 0;
        int frameHeight = 0;
        int supersample = 1;
        // Output col, row per subsample (n * n per pixel, pixels row-major);
        // NaN outside both image circles.
        std::vector<float> pos;
    };
    FrameMap frameMap(int frameWidth, int frameHeight, int supersample = 1) const;
    // The frame of a camera turned `turnDegrees` about the vertical axis
    // from where synthesise(source, ...) has it: its stitch shows the source
    // shifted right by that much longitude.
    BgrImage synthesise(const BgrImage& source, const FrameMap& map, double turnDegrees = 0.0) const;
    // The frame of a camera in any orientation: camera[i][j] (row i, column
    // j) takes a direction of the camera's own panorama to the world's
    // (the source's), with directions d = (sin p cos t, sin p sin t, cos p)
    // at output position (col, row) = (t / 2pi * W, p / pi * H). Its stitch
    // shows at direction d the source at direction camera * d.
    BgrImage synthesise(const BgrImage& source, const FrameMap& map, const double camera[3][3]) const;

    // CPU model of the renderer's output for `frame` (identity rotation).
    BgrImage stitch(const BgrImage& frame, UvMode mode = UvMode::Rasterised) const;

private:
    struct Mesh;
    void buildMeshes();
    double meshAlpha(const Mesh& m, double x, double y) const;
    bool meshCovers(const Mesh& m, double x, double y) const;
    int visibleSignature(double x, double y, bool* partial) const;

    std::string error_;
    Layout layout_;
    int size_ = 0;
    int width_ = 0;
    int height_ = 0;
    float blendWidth_ = 0.0f;
    std::unique_ptr<DualFisheyeModel> model_;
    std::vector<Mesh> meshes_;
    std::vector<Mesh> stitchMeshes_;  // for synthesis, whatever the layout
    std::vector<double> inverseTable_[2];  // off-axis degrees by radius ratio, per lens
    int stitchWidth_ = 0;
    int stitchHeight_ = 0;
};

// Off-axis angle (degrees) at which the lens lands at `ratio` of its radius:
// the inverse of radius * map(t) / map(fov / 2) over [0, fov / 2]. Ratios
// below the polynomial's value at 0 give 0, above 1 give fov / 2.
double inverseLensRadius(const FisheyeLens& lens, double ratio);

// The fisheye shader's cross-fade curve: alpha at fraction x (clamped to
// 0..1) of the way across a mesh's blend band.
double crossFadeAlpha(double x);

// Bilinear sample at continuous pixel coordinates (pixel centres at +0.5),
// clamped at the edges; wrapX repeats horizontally instead.
void sampleBilinear(const BgrImage& image, double x, double y, bool wrapX, double out[3]);

// A smooth picture on the sphere for a W x H equirectangular layout:
// periodic across the left/right edge, no detail along the poles. `detail`
// multiplies the number of waves along both axes (1: a few per turn).
BgrImage makeSmoothPanorama(int width, int height, int detail = 1);

// PSNR in dB over the pixels whose mask byte is non-zero (all when mask is
// null); infinity for equal pictures, NaN when nothing is compared.
double psnr(const BgrImage& a, const BgrImage& b, const std::vector<uint8_t>* mask = nullptr);

// One-call form: false with a reason when the offset string is unreadable,
// a size is not positive or the source is empty.
bool synthesiseDualFisheye(const std::string& offset, int frameWidth, int frameHeight,
                           const BgrImage& source, int outputSize, BgrImage* frame,
                           std::string* error = nullptr);

}  // namespace testutil
