// The stitching engine without a GPU: the renderer's picture computed on the
// CPU. All geometry is worked out once into a table of weighted texel reads
// per output pixel; each frame is then only fixed-point sampling, spread
// over a pool of threads made with the engine (params.threads, 0 for one per
// core). The output is the same, byte for byte, on any number of threads.
// Calls come from one thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "Engine.h"

namespace stitcher {

// The atan2 by which the engine finds where a direction lands in the
// panorama, to within about 1e-5 radians (a minimax polynomial on [0, 1]), at a
// fraction of the library's cost.
inline double fastAtan2(double y, double x) {
    const double ax = x < 0 ? -x : x, ay = y < 0 ? -y : y;
    const double big = ax > ay ? ax : ay, small = ax > ay ? ay : ax;
    if (!(big > 0)) return 0;
    const double a = small / big, s = a * a;
    double r = a * (0.99997726 + s * (-0.33262347 + s * (0.19354346 + s * (-0.11643287 + s * (0.05265332 + s * -0.01172120)))));
    if (ay > ax) r = 1.57079632679489661923 - r;
    if (x < 0) r = 3.14159265358979323846 - r;
    return y < 0 ? -r : r;
}

// The CPU engine: the same picture, computed without OpenGL.
// Fails with the reason when it cannot stitch what is asked.
Status makeCpuEngine(const EngineSpec& params, std::unique_ptr<Engine>& engine);
// Whether the CPU engine made for `params` lines up the seams
// (setSeamShift()): a panorama, not a flat or planet view sampled straight
// from the lenses, its view unturned or turned per frame.
bool cpuEngineLinesUpSeams(const EngineSpec& params);

class CpuEngine : public Engine {
public:
    // Fails with the reason when it cannot stitch what is asked.
    static Status create(const EngineSpec& params, std::unique_ptr<CpuEngine>& engine);
    ~CpuEngine() override;

    const char* name() const override { return "cpu"; }
    // `frame`: params.frameWidth x params.frameHeight BGR pixels, rows of exactly
    // params.texelBytes * frameWidth bytes. Writes params.outBytes() bytes.
    // Allocates nothing.
    Status stitch(uint8_t* frame, uint8_t* out) override;
    // The same; the CPU engine only reads the frame.
    Status stitchFrom(const uint8_t* frame, uint8_t* out);

    // Gains for the following frames, per lens (0, 1) and channel (B, G, R),
    // applied to each lens's share of a pixel; 1 leaves it unchanged. The
    // fall-off of params.falloff is undone with them: its table weighs each
    // lens's samples by rim / V(r), and the gains are divided by the rim.
    // Values are taken within [0, 15.9]; non-finite ones count as 1.
    void setGains(const float gains[2][3]) override;
    // Takes effect on the next frame; false unless made with perFrameRotation.
    bool setRotation(const float m[4][4]) override;
    bool setFov(double degrees) override;
    // Takes effect on the next frame; false with a view rotation fixed at
    // set-up other than the identity, or another layout.
    bool setSeamShift(const SeamShift& shift) override;

    // The frame as stitch() takes it, straight into the planes: each band of
    // rows is sampled into a small buffer of its thread and converted there.
    // 3-byte pixels only.
    bool writesYuv() const override;
    Status stitchYuv(uint8_t* frame, const YuvPlanes& out) override;

    // The frame's rows converted in bands, one band per task of the pool.
    Status unpack(const SourcePicture& source, uint8_t* frame) override;

    // The picture stitch() makes, handed over band by band while each is
    // still in cache: take(row0, row1, rows) on the pool's threads, `rows`
    // holding output rows row0 .. row1 - 1, params().outStride() bytes apart,
    // valid during the call. For a host that wants its own pixel layout
    // without a pass of its own over the panorama.
    using BandTaker = std::function<void(int row0, int row1, const uint8_t* rows)>;
    Status stitchBands(const uint8_t* frame, const BandTaker& take);

    int threads() const;
    const EngineSpec& params() const;
    // Memory the engine keeps for its tables and the frame's levels.
    size_t tableBytes() const;

    // The tables and buffers (CpuEngine.cpp).
    struct State;

private:
    explicit CpuEngine(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};


}  // namespace stitcher
