// Lens calibration refined from the clip's own pictures.
//
// The two lenses see the same directions around the ring half-way between
// them, on which the stitch's blend bands lie. Starting from a calibration
// (the clip's own, or the default), the refinement moves both image-circle
// centres and radii and the orientation of lens 1 until the two lens images
// agree over a strip around that ring in a set of frames; lens 0's
// orientation stays as it is and fixes the panorama's orientation.
//
// Method: direct photometric alignment. The strip is sampled on a grid of
// directions; each lens image is read there, locally normalised (mean and
// contrast over a small window, so that exposure, colour and vignetting
// differences between the lenses do not matter), and the difference of the
// two is minimised with Levenberg-Marquardt over the nine parameters, coarse
// to fine on an image pyramid, with a Cauchy loss so that what differs
// between the lenses' views otherwise (moving objects, a thing near the
// camera before the background at its side) counts as outliers.
// The whole ring is used, not only the bands: near the poles it is what
// tells a shifted image circle from a turned lens. The lenses' optical
// centres lie a baseline apart, so a thing near the camera (the ground, a
// pole) is seen by the two at directions a little apart across the ring, by
// the baseline over its distance: per frame, the alignment also solves for
// that parallax (the ground below the camera as one plane, the rest in bins
// around the ring, never negative, mostly far), so that near things leave
// the far-field calibration where it is. A weak pull toward the
// start keeps what the overlap barely constrains where it was. The result is
// kept only when it aligns the lenses better than the start does at full
// resolution.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "LensRig.h"
#include "Status.h"

namespace stitcher {

// One decoded dual-fisheye frame: packed B, G, R bytes, rows of exactly
// 3 * width bytes, the first row first.
struct BgrFrameRef {
    const uint8_t* bgr = nullptr;
    int width = 0;
    int height = 0;
};

struct RefineOptions {
    int frames = 8;     // frames the clip driver spreads over the clip
    int minFrames = 1;  // fewer frames with detail in the overlap keep the start
    int threads = 2;    // worker threads (1 or more)
    // Between the lenses' optical centres: with the nearest distance a thing
    // is taken to be at (0.3 m), the most two lenses' views of it differ.
    double baselineMm = 30.0;
};

// How a refinement that could run ended. One that cannot run (an unusable
// calibration text, no frames to be had from the clip) fails instead.
enum class RefineOutcome {
    Refined,           // a calibration that aligns the lenses better was found
    NoImprovement,     // nothing found aligns them better than the start
    TooLittleTexture,  // the overlap shows too little detail to align on
    TooFewFrames,      // fewer usable frames than asked for
};

struct RefineResult {
    RefineOutcome outcome = RefineOutcome::NoImprovement;
    // The refined offset string; the start one (as given, trimmed) whenever
    // the outcome is not Refined. Same form as --offset takes, same lens code.
    std::string offset;
    // One line: what was done, or why the start was kept.
    std::string reason;
    // Overlap error at full resolution: mean robust difference of the two
    // lenses' locally normalised pictures over the overlap, per textured
    // sample (0 when they agree; unrelated pictures give about 1); the error
    // after with the parallax of near things found taken out. Negative when
    // not measured.
    double errorBefore = -1.0;
    double errorAfter = -1.0;
    int framesUsed = 0;

    bool refined() const { return outcome == RefineOutcome::Refined; }
};

// Collects frames one at a time (each is reduced to a grey pyramid at once,
// so callers need not keep them), then refines. Not thread-safe.
class CalibrationRefiner {
public:
    explicit CalibrationRefiner(const RefineOptions& options = RefineOptions());
    ~CalibrationRefiner();
    CalibrationRefiner(const CalibrationRefiner&) = delete;
    CalibrationRefiner& operator=(const CalibrationRefiner&) = delete;

    // Fails when the frame is empty, too small or of another size than the
    // first one; the frame is then not used.
    Status addFrame(const BgrFrameRef& frame);
    int frameCount() const;

    // Refines `startOffset` on the frames added so far. Never throws. Fails
    // (kExitOffset) where the refinement cannot run; `result` then still
    // tells of the start kept, with the reason.
    Status refine(const std::string& startOffset, RefineResult& result) const;
    // The same from a calibration already read and checked.
    Status refine(const LensRig& start, RefineResult& result) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One-call form of CalibrationRefiner.
Status refineCalibration(const std::vector<BgrFrameRef>& frames, const std::string& startOffset,
                         RefineResult& result, const RefineOptions& options = RefineOptions());

// The pictures of an open clip: how many, their size, and how to decode one.
struct ClipFrames {
    long long count = 0;
    int width = 0;
    int height = 0;
    // Decodes frame `number` (from 1) into `bgr` (width * height * 3 bytes);
    // false when it cannot be decoded.
    std::function<bool(long long number, uint8_t* bgr)> read;
    // Set: the reading stops, and the refinement with it.
    const std::atomic<bool>* interrupted = nullptr;
};

// Decodes options.frames frames spread evenly over the clip and refines
// `startOffset` on them.
Status refineClipCalibration(const ClipFrames& clip, const std::string& startOffset, RefineResult& result,
                             const RefineOptions& options = RefineOptions());
Status refineClipCalibration(const ClipFrames& clip, const LensRig& start, RefineResult& result,
                             const RefineOptions& options = RefineOptions());

// The same for a tool without a session of its own: opens the clip through
// libdec. An empty `startOffset` starts from the clip's own calibration
// (libdec's default when the clip names none).
Status refineClipCalibration(const std::string& clipPath, const std::string& startOffset, RefineResult& result,
                             const RefineOptions& options = RefineOptions());

const char* refineOutcomeName(RefineOutcome outcome);

// What the command line prints: the offset string, the overlap error before
// and after, the frames used, and the reason when the start was kept.
std::string describeRefineResult(const RefineResult& result);

}  // namespace stitcher
