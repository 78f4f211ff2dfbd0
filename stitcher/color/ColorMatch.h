// Exposure and colour matching between the two lenses. The lenses meter on
// their own, so one half of the sphere is often brighter or bluer than the
// other and the cross-fade shows a band of changing colour. Per frame, both
// lenses are sampled where they see the same directions (the two stitch
// seams and a little either side), gains per lens and channel are estimated
// from the ratios, smoothed over time, and applied before stitching: by the
// CPU engine inside its sampling, or to the decoded frame for the GL engine.
// Each lens's fall-off toward its rim is measured once per clip, before the
// engine is made (FalloffEstimator), undone by the engines with the gains,
// and taken out of the samples the gains are measured on, so that the gains
// do not take it in.
//
// Frames are packed 8-bit B, G, R triples, rows of exactly 3 * width bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LensFalloff.h"
#include "SeamBands.h"
#include "Status.h"

class DualFisheyeModel;

namespace stitcher {

class WorkerPool;

// Multipliers per lens (0, 1) and channel (B, G, R, the frame's byte order).
struct ColorGains {
    float gain[2][3] = {{1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, 1.0f}};
    // True when every gain leaves every 8-bit value as it is (rounded).
    bool identity() const;
};

// One frame's measurement over the seams.
struct ColorEstimate {
    // ln(lens 0 / lens 1) per channel: lens 1 times exp(logRatio) matches lens 0.
    float logRatio[3] = {0.0f, 0.0f, 0.0f};
    // Robust standard deviation of the per-sample log ratios.
    float spread[3] = {0.0f, 0.0f, 0.0f};
    int used[3] = {0, 0, 0};  // samples that entered the estimate
    bool confident[3] = {false, false, false};
    bool anyConfident() const { return confident[0] || confident[1] || confident[2]; }
};

// Where each lens sees the seams: set up once per calibration and frame size.
class ColorEstimator {
public:
    // Fails when the calibration is unusable, the frame size is not
    // positive (or too large), or the lenses share no directions. The seam
    // bands are sampled widened by `widen` of their width on either side, as
    // far as both lenses see.
    Status init(const DualFisheyeModel& model, int frameWidth, int frameHeight, double widen = 1.0 / 3.0);
    bool ok() const { return pairs_ > 0; }
    size_t pairCount() const { return pairs_; }

    // Measures one frame of the initialised size, packed pixels of
    // `texelBytes` bytes (3: B, G, R; 4: the same and a byte left alone).
    // Values below `kDark` or above `kClipped` (levels) in either lens are left out.
    ColorEstimate estimate(const uint8_t* frame, int texelBytes = 3);

    static constexpr int kDark = 24;
    static constexpr int kClipped = 245;

    // Measures on samples with this fall-off taken out (flat: as they are).
    void setFalloff(const LensFalloff& falloff);
    // Leaves out the samples on rows where the seam's disparity is half a
    // column or more: there the lenses see things near the camera at
    // different places, and their ratio is no measure of exposure.
    void setSeamShift(const SeamShift& shift);

    // For the fall-off estimate: per pair, each lens's distance from its
    // image-circle centre (in radii), and per frame the samples' values.
    float radius(size_t pair, int lens) const { return radius_[2 * pair + static_cast<size_t>(lens)]; }
    // B, G, R of lens 0 then lens 1 per pair, in levels * 16 (6 per pair);
    // valid until the next call.
    const uint16_t* sample(const uint8_t* frame, int texelBytes = 3);

    // The pixels the samples read, as runs of columns [x0, x1) of a row, in
    // row order: all of a frame that estimate() and sample() look at.
    struct Span {
        int row, x0, x1;
    };
    const std::vector<Span>& spans() const { return spans_; }

    // One bilinear tap into a frame of 3-byte pixels; weights in 1/16 of a pixel.
    struct Tap {
        uint32_t offset;  // byte offset of the upper-left pixel
        uint32_t right;   // bytes to its right neighbour (0 at the last column)
        uint32_t down;    // bytes to the pixel below (0 at the last row)
        uint32_t slot;    // 2 * pair + lens
        uint8_t wx, wy;   // weights of the right and lower neighbours, 0..16
    };

private:
    // Sorted by offset, so that a frame is read from front to back.
    std::vector<Tap> taps_;
    std::vector<Span> spans_;
    size_t pairs_ = 0;
    std::vector<uint16_t> values_;  // per slot: B, G, R in levels * 16
    std::vector<float> radius_;     // per slot
    std::vector<float> correction_; // per pair: ln V1(r1) - ln V0(r0); empty when flat
    std::vector<float> where_;      // per pair: its band (0, 1, as SeamBands counts them) * 2 + its row's fraction pole to pole
    std::vector<uint8_t> parallax_; // per pair: 1 where the seam's disparity says the lenses see different things
    std::vector<float> ratio_[3], weight_[3];  // scratch per channel
    std::vector<float> hist_;
};

// Follows the estimates over time: a steady scene gives steady gains, a real
// change of exposure is followed within about a second, and it never swings.
// Works on the log ratio per channel, starting from the first usable
// estimate: a dead band keeps noise out, an exponential step (time constant
// in seconds, so frame-rate aware) moves towards what is left outside it,
// and the step per frame is bounded, so it approaches from one side and
// never overshoots. Ratios within the dead band of balance give gains of
// exactly 1. The correction is split evenly: per channel lens 0 gets
// exp(-r/2) and lens 1 exp(r/2), so that the overall brightness stays where
// it was. Until the first usable estimate, and whenever an estimate is not
// usable, the gains are held (they start at 1).
class GainSmoother {
public:
    explicit GainSmoother(double fps = 30.0);
    const ColorGains& update(const ColorEstimate& estimate);
    const ColorGains& gains() const { return gains_; }
    // True when the last update brought no usable estimate.
    bool holding() const { return holding_; }
    // Back to 1, as at the start (after a seek, say).
    void reset();

    static constexpr double kDeadBand = 0.004;     // log ratio
    static constexpr double kTimeConstant = 0.25;  // seconds
    static constexpr double kMaxRate = 1.2;        // log ratio per second

private:
    double alpha_, maxStep_;
    double logRatio_[3] = {0.0, 0.0, 0.0};
    bool started_[3] = {false, false, false};
    bool holding_ = true;
    ColorGains gains_;
};

// Applies gains to the pixels of each lens's image circle (with a one-pixel
// rim), in 12-bit fixed point: 16 pixels at a time where SSE2 is there,
// through 8-bit tables per lens and channel for the rest (the same bytes).
class GainApplier {
public:
    GainApplier();
    ~GainApplier();
    GainApplier(const GainApplier&) = delete;
    GainApplier& operator=(const GainApplier&) = delete;

    // With a fall-off that is not flat, each pixel of a lens circle is also
    // divided by its lens's V(r) there.
    Status init(const DualFisheyeModel& model, int frameWidth, int frameHeight,
                const LensFalloff& falloff = LensFalloff());
    bool ok() const { return frameWidth_ > 0; }
    // In place on one frame of the initialised size. Returns false, touching
    // nothing, when the gains leave every value as it is and there is no
    // fall-off to undo. The rows are shared
    // out over the pool's threads.
    bool apply(uint8_t* frame, const ColorGains& gains, WorkerPool& pool) const;
    // The same on the calling thread, or for threads > 1 on a pool of that
    // many threads that the applier makes on first use and keeps.
    bool apply(uint8_t* frame, const ColorGains& gains, int threads = 1) const;

private:
    int frameWidth_ = 0;
    int frameHeight_ = 0;
    std::vector<int32_t> spans_;  // per row: lens 0 x0, x1, lens 1 x0, x1
    // Per frame pixel within the spans: 4096 / V(r); empty without fall-off.
    std::vector<uint16_t> lift_;
    mutable std::mutex poolLock_;  // one threaded apply at a time on pool_
    mutable std::unique_ptr<WorkerPool> pool_;
    mutable int poolThreads_ = 0;  // the threads pool_ was asked for
};

// One line for -v: "color gains B,G,R: lens 0 0.949 0.894 0.866, lens 1 1.054 1.118 1.155".
std::string formatGains(const ColorGains& gains);

// Where each frame's gains come from as the frames go through: measured
// from the frame (ColorMatch), or decided beforehand for the whole clip.
class FrameGains {
public:
    virtual ~FrameGains() = default;
    // The gains for clip frame `frame`, whose decoded picture is `picture`;
    // called once per frame, in order.
    virtual const ColorGains& gainsFor(long long frame, const uint8_t* picture) = 0;
    // The seam's disparity for the frame that follows, where it is measured.
    virtual void setSeamShift(const SeamShift& /*shift*/) {}
};

// A clip's gains frame by frame, in order: each frame measured and the gains
// smoothed over time, or, with measurements taken elsewhere (a farm plan's),
// the smoothing alone. The engines apply the gains (the CPU engine in its
// sampling, the GL engine through a GainApplier).
class ColorMatch : public FrameGains {
public:
    Status init(const DualFisheyeModel& model, int frameWidth, int frameHeight, double fps);
    // The engines' fall-off correction: measured on samples with it taken out.
    void setFalloff(const LensFalloff& falloff) { estimator_.setFalloff(falloff); }
    void setSeamShift(const SeamShift& shift) override { estimator_.setSeamShift(shift); }

    // Measures the frame (as decoded, before any gains or fall-off correction) and moves the
    // smoothed gains on; returns them, for the engine's setGains().
    const ColorGains& update(const uint8_t* frame);
    // The same with the frame's measurement taken elsewhere (an estimator
    // of the same calibration and size): the smoothing alone, in frame order.
    const ColorGains& update(const ColorEstimate& estimate);
    const ColorGains& gainsFor(long long, const uint8_t* picture) override { return update(picture); }

    const ColorGains& gains() const { return smoother_.gains(); }
    const ColorEstimate& lastEstimate() const { return last_; }
    bool holding() const { return smoother_.holding(); }
    size_t pairCount() const { return estimator_.pairCount(); }
    void reset() { smoother_.reset(); }

private:
    ColorEstimator estimator_;
    GainSmoother smoother_;
    ColorEstimate last_;
};

}  // namespace stitcher
