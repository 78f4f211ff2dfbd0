#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ColorMatch.h"
#include "FisheyeLens.h"
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
//
// A camera that turns shows more: a direction seen by a lens at radius rA in
// one frame and at rB in another (the turn between them known) gives
// ln VA(rA) - ln VB(rB) directly, whatever the curves' shape, less a constant
// per pair of frames, pair of lenses and channel (exposure). Where pairs of
// frames turned against each other are added (addPair), each lens gets a
// free-form curve (LensFalloff's) fitted to those ratios together with the
// overlap's: it starts at 1 on the axis, so the curves cannot take in a
// difference between the lenses, and the gains measure it at the seams.
// The ratios are compared per cell here too (the directions a pair of
// frames sees at about the same radii in the two), and the curve is used
// only where its darkening stands clear of its spread over the pairs of
// frames (each left out in turn). Without pairs that turned, the curve
// stays the two-term one above.
class FalloffEstimator {
public:
    Status init(const DualFisheyeModel& model, int frameWidth, int frameHeight);
    // Adds one frame's samples; false where the frame shows too little
    // usable detail in the overlap (too dark, clipped or featureless).
    bool add(const uint8_t* frame);
    // Adds `first` as add() does, and the ratios between it and `second`, a
    // frame of the same camera whose directions `turn` (row-major, the
    // panorama's axes) maps to the first's; false where the pair adds no
    // ratios (turned too little, or too little usable detail).
    bool addPair(const uint8_t* first, const uint8_t* second, const double turn[3][3]);
    // Adds what `later`, a copy of this estimator as initialised, was given
    // since, as if it had been added here after what this one holds: frames
    // shared out among copies in order and appended in the same order fit
    // as they do added one by one.
    void append(const FalloffEstimator& later);
    int framesUsed() const { return frames_; }

    struct Result {
        LensFalloff falloff;   // flat where not measured, or not clearly there (see above)
        LensFalloff fitted;    // as fitted, before that
        bool measured = false;
        bool turned = false;   // measured from pairs of frames turned against each other
        double rimError[2] = {0.0, 0.0};  // per lens: the standard error of ln V at the rim (see above)
        std::string why;       // where not measured or left flat: the reason
    };
    Result fit() const;

    // A pair is used from this turn on (degrees).
    static constexpr double kMinTurn = 2.0;

    static constexpr int kMinFrames = 2;
    static constexpr double kFlatRim = 0.97;
    // Its samples reach a band's width beyond each seam band on either side
    // (as far as both lenses see): more radii than the gains need.
    static constexpr double kWiden = 1.0;
    // The fit's coefficients: the curve's a and b.
    static constexpr int kFeatures = 2;

private:
    Result fitTurned() const;
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

    // The free-form fit's rows (the overlap's cells, then the turned pairs'),
    // as above with a group of their own numbering, the pair of frames they
    // come from as the place, and kCurveFeatures features each: the curves'
    // control values after the first, lens 0's then lens 1's.
    static constexpr int kCurveFeatures = 2 * (LensFalloff::kCurvePoints - 1);
    static void curveFeatures(int lens, double r, double sign, float* f);
    std::vector<int32_t> curveGroup_, curvePlace_;
    std::vector<float> curveRatio_, curveWeight_, curveFeature_;
    int curveGroups_ = 0;
    int pairs_ = 0;
    // Where each lens looks: the lens, its rotation and the longitude of its
    // stitch mesh's middle along the layout (which runs against the
    // panorama's longitude); the frame size.
    struct Look {
        float rot[3][3];
        double middle;
    };
    std::vector<FisheyeLens> lens_;
    Look look_[2] = {};
    int frameWidth_ = 0, frameHeight_ = 0;
    // The directions a pair is compared on (the panorama's axes), spread
    // evenly over the sphere, with where the first frame's lenses see them.
    struct Direction {
        float d[3];
        float u[2], v[2], r[2];  // per lens; r < 0 where it does not see it
    };
    std::vector<Direction> directions_;
    bool see(int lens, const double d[3], float* u, float* v, float* r) const;
};

// Follows the camera over a short run of frames (the motion analysis).
class TurnFollower {
public:
    virtual ~TurnFollower() = default;
    // The next frame of the run; the first starts it.
    virtual void add(const uint8_t* frame) = 0;
    // Starts a new run: the next frame added is its first.
    virtual void restart() = 0;
    // The turn that maps the last frame's directions to the first's
    // (row-major, the panorama's axes); false where it was not measured.
    virtual bool turn(double m[3][3]) const = 0;
};

// How far the run of frames a turn is followed over reaches: from each
// frame measured, `gap` frames on, over `steps` steps (the frames between
// are read for the motion analysis only). A gap of 0 reads single frames.
struct TurnRuns {
    // Makes a follower; one is made per reading of the frames and restarted
    // for each of its runs.
    std::function<std::unique_ptr<TurnFollower>()> follower;
    long long gap = 0;
    int steps = 1;
};

// Reads frame `frame` into `bgr`; false where it could not be had.
using FrameRead = std::function<bool(long long frame, uint8_t* bgr)>;

// Reads up to `frames` frames spread evenly over [first, first + count - 1]
// through `read` and fits them; with `runs`, each with the frame `runs.gap`
// on and the turn between them. An interruption ends the reading and leaves
// the fall-off flat.
FalloffEstimator::Result estimateFalloff(const DualFisheyeModel& model, int frameWidth, int frameHeight,
                                         long long first, long long count, const FrameRead& read,
                                         const std::atomic<bool>& interrupted, int frames = 8,
                                         const TurnRuns& runs = TurnRuns());
// The frames estimateFalloff reads for those arguments, in the order it
// reads them (a frame may come more than once).
std::vector<long long> falloffFrames(long long first, long long count, int frames = 8, const TurnRuns& runs = TurnRuns());

// The same through `reads`, each a reader of the same frames with a decoder
// of its own: the frames are shared out among them in stretches that follow
// each other, read and measured at once, each on a thread of its own, and
// fitted in order, so the result is the same as through one of them alone.
// With `keyBefore` (where a decoder that seeks to a frame starts decoding),
// two readers share the frames where the later stretch's decoder starts far
// enough on for them to save time, and one reads them all elsewhere.
FalloffEstimator::Result estimateFalloff(const DualFisheyeModel& model, int frameWidth, int frameHeight,
                                         long long first, long long count, const std::vector<FrameRead>& reads,
                                         const std::atomic<bool>& interrupted, int frames = 8,
                                         const TurnRuns& runs = TurnRuns(),
                                         const std::function<long long(long long frame)>& keyBefore = nullptr);

}  // namespace stitcher
