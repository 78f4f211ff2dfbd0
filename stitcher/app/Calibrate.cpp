#include "Calibrate.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "CalibrationRefine.h"
#include "ColorMatch.h"
#include "Console.h"
#include "DualFisheyeModel.h"
#include "FalloffEstimator.h"
#include "FalloffTurns.h"
#include "LookAhead.h"
#include "SeamTracker.h"

namespace stitcher {

namespace {

// What the pictures the measure decodes ahead (LookAhead) may hold at most.
constexpr size_t kLookAheadBytes = size_t(256) << 20;

// Which track a run uses where the clip has several of a kind.
void sayChosenTracks(const std::string& input, const libdec::ClipTracks& tracks) {
    for (const bool video : {true, false}) {
        int count = 0;
        for (const libdec::ClipTrack& t : tracks.tracks) count += t.handler == (video ? "vide" : "soun");
        if (count > 1)
            console::say("%s has %d %s tracks; track %u is %s", input.c_str(), count, video ? "video" : "sound",
                         video ? tracks.video : tracks.sound, video ? "stitched" : "the sound");
    }
}

// The clip's pictures for the refinement, read through its own session
// until the run is interrupted.
ClipFrames framesOf(Clip& clip, const std::atomic<bool>& interrupted) {
    ClipFrames f;
    f.count = clip.info().frames;
    f.width = static_cast<int>(clip.info().width);
    f.height = static_cast<int>(clip.info().height);
    f.read = [&clip](long long number, uint8_t* bgr) { return clip.readFrame(number, bgr).ok(); };
    f.interrupted = &interrupted;
    return f;
}

// The refinement's options: the lenses' baseline bounds the parallax of near things.
RefineOptions refineOptions(const Options& opt) {
    RefineOptions o;
    o.baselineMm = opt.baselineMm;
    return o;
}

Status cannotRefine(const Status& st) { return Status(st.code(), "cannot refine the calibration: " + st.message()); }

// Refines `lens` from the clip's pictures and says how it went; on
// success `lens` is the refined calibration.
Status refine(const Options& opt, Clip& clip, LensRig& lens, const std::atomic<bool>& interrupted) {
    console::say("refining the calibration from %s's pictures...", opt.input.c_str());
    RefineResult r;
    const Status refined = refineClipCalibration(framesOf(clip, interrupted), lens, r, refineOptions(opt));
    if (interrupted) return console::interruptedRun();
    const std::string said = describeRefineResult(r);
    for (size_t at = 0; at < said.size();) {
        const size_t end = std::min(said.find('\n', at), said.size());
        console::say("%s", said.substr(at, end - at).c_str());
        at = end + 1;
    }
    if (!refined.ok()) return cannotRefine(refined);
    if (r.refined()) {
        Status st = parseCalibration(r.offset, lens);
        if (!st.ok()) return Status(kExitOffset, "the refined calibration cannot be used: " + st.message());
    }
    return Status();
}

// Each lens's fall-off, measured on frames spread over [first, first + count - 1],
// each with the frames a quarter of a second on that the camera's turn is followed over.
// With more than one core the clip is opened a second time, so that two
// decoders share the frames out (the later ones through the second one)
// where its key pictures let that save time; the result is the same as
// through `clip` alone.
//
// With `ahead`, the frames measured are decoded once ahead in order
// (LookAhead) where they fit kLookAheadBytes: measured from there (the same
// pictures, so the same result).
FalloffEstimator::Result measureFalloff(Clip& clip, const LensRig& lens, long long first, long long count,
                                        const std::atomic<bool>& interrupted, int threads, bool ahead = false) {
    const _MediaInfo& m = clip.info();
    EngineSpec setup;
    setup.lens = lens;
    setup.frameWidth = static_cast<int>(m.width);
    setup.frameHeight = static_cast<int>(m.height);
    const TurnRuns runs = falloffRuns(setup, m.fps, threads);
    const bool cores = threads == 0 ? std::thread::hardware_concurrency() > 1 : threads > 1;
    if (ahead) {
        LookAhead::Ask ask;
        ask.measured = falloffFrames(first, count, 8, runs);
        ask.budget = kLookAheadBytes;
        ask.twoSessions = cores;
        const std::unique_ptr<LookAhead> decoding = LookAhead::start(clip, ask, interrupted);
        if (decoding) {
            // Two readings side by side, each measuring its share of the
            // frames as they are decoded.
            LookAhead& a = *decoding;
            const FrameRead read = [&a](long long frame, uint8_t* bgr) { return a.read(frame, bgr); };
            const FalloffEstimator::Result f =
                estimateFalloff(lens.model(), setup.frameWidth, setup.frameHeight, first, count,
                                std::vector<FrameRead>(cores ? 2 : 1, read), interrupted, 8, runs);
            a.finish();
            return f;
        }
    }
    std::vector<FrameRead> reads{[&clip](long long frame, uint8_t* bgr) { return clip.readFrame(frame, bgr).ok(); }};
    std::unique_ptr<Clip> again;
    if (cores && clip.openAgain(again).ok())
        reads.push_back([&again](long long frame, uint8_t* bgr) { return again->readFrame(frame, bgr).ok(); });
    return estimateFalloff(lens.model(), setup.frameWidth, setup.frameHeight, first, count, reads, interrupted, 8,
                           runs, [&clip](long long frame) { return clip.keyFrameBefore(frame); });
}

// Warns where the clip's picture is lit where the lenses cast no light: it
// holds no lens images (a panorama stitched before, an ordinary video), or
// the calibration puts the circles in the wrong place.
void sayIfNoLensImages(const Options& opt, Clip& clip, const Calibration& c, bool stitching) {
    const double lit = clipLitBesideTheLenses(clip, c);
    if (!(lit > kLitBesideLensImages)) return;
    const std::string then =
        opt.haveOffset ? std::string(stitching ? "It is stitched" : "It is measured") + " with the --offset calibration, as asked."
                       : std::string(stitching ? "Stitched, it makes no panorama" : "What is measured on it says nothing of a camera") +
                             "; if it holds two lens images whose circles lie elsewhere, give its calibration with --offset.";
    console::warn("%s does not look like two lens images: %.0f%% of the picture clear of the lens circles is lit, where "
                  "the lenses cast no light. Is it a panorama already, or an ordinary video? %s",
                  opt.input.c_str(), 100.0 * lit, then.c_str());
}

}  // namespace

double clipLitBesideTheLenses(Clip& clip, const Calibration& c) {
    const int w = static_cast<int>(clip.info().width), h = static_cast<int>(clip.info().height);
    const long long frames = static_cast<long long>(clip.info().frames);
    if (w <= 0 || h <= 0 || frames <= 0) return -1.0;
    // Only the rows looked at are made from the decoder's planes; the whole
    // picture is written only where the decoder gives it packed.
    const size_t stride = static_cast<size_t>(w) * 3;
    std::unique_ptr<uint8_t[]> packed(new uint8_t[stride * static_cast<size_t>(h)]);
    std::vector<uint8_t> line(stride);
    double share = -1.0;
    for (const long long frame : {1LL, (frames + 1) / 2}) {
        std::shared_ptr<const SourcePicture> source;
        if (clip.readSource(frame, source, packed.get()).ok())
            share = litBesideTheLenses(c, w, h, [&](int y) -> const uint8_t* {
                if (!source) return packed.get() + static_cast<size_t>(y) * stride;
                return source->toBgr(y, y + 1, 0, w, line.data(), stride) ? line.data() : nullptr;
            });
        if (share >= 0 || frames < 2) break;
    }
    return share;
}

// The calibration the run uses: --offset, else the clip's own. `offset`
// receives its text, also where it cannot be used.
Status findCalibration(const Options& opt, Clip& clip, std::string& offset, LensRig& lens) {
    Status st = opt.haveOffset ? readOffsetOption(opt.offset, offset) : clip.calibration(offset);
    if (!st.ok()) return st;
    st = parseCalibration(offset, lens);
    if (!st.ok())
        return Status(kExitOffset, (opt.haveOffset ? "the --offset calibration cannot be used: "
                                                   : "the clip's calibration cannot be used: ") +
                                       st.message() + (opt.haveOffset ? "" : "; give one with --offset"));
    return Status();
}

// The fall-off the stitch undoes: --falloff's, else measured on the clip's
// frames; flat (gains only, said so) where it cannot be measured.
LensFalloff stitchFalloff(const Options& opt, Clip& clip, const Job& job, const std::atomic<bool>& interrupted) {
    if (!opt.colorMatch) return LensFalloff();
    if (opt.haveFalloff) {
        console::note("%s, from --falloff", describeFalloff(opt.falloff).c_str());
        return opt.falloff;
    }
    // A lens's fall-off does not change during a clip: measured over all of
    // it, whatever part is stitched.
    const FalloffEstimator::Result f =
        measureFalloff(clip, job.engine.lens, 1, clip.info().frames, interrupted, opt.threads, true);
    if (interrupted) return LensFalloff();  // the caller ends the run
    if (!f.measured) {
        console::say("colour matching keeps to gains: the lenses' fall-off toward the rim cannot be measured: %s",
                     f.why.c_str());
        return LensFalloff();
    }
    if (f.turned)
        console::note("lens fall-off measured where the camera turned between frames: each lens's own curve");
    else
        console::note("no frames that the camera turned between (a still camera, or a clip too short): the lens "
                      "fall-off's shape is taken from the seams alone, one curve for both lenses (each lens's own curve: "
                      "--calibrate on a clip where this camera turns, then --falloff)");
    // As its text has it, so that a run given that text (--falloff, a plan's
    // segments) stitches the same bytes.
    const std::string text = formatFalloff(f.falloff);
    LensFalloff used = f.falloff;
    if (!f.falloff.flat() && !parseFalloff(text, used).ok()) used = f.falloff;
    console::note("%s (%s)", describeFalloff(used).c_str(), text.c_str());
    return used;
}

// The seams' disparity on eight frames spread over the clip, each measured
// alone, at a panorama as tall as the frames: what --seam auto would line up.
std::string seamDisparity(const Options& opt, Clip& clip, const LensRig& lens, const std::atomic<bool>& interrupted) {
    const _MediaInfo& media = clip.info();
    const int w = static_cast<int>(media.width), h = static_cast<int>(media.height);
    SeamSettings settings;
    settings.baselineMm = opt.baselineMm;
    settings.overTime = false;
    settings.threads = opt.threads;
    SeamTracker tracker(lens.model(), std::max(16, h / 2 * 2), w, h, settings);
    std::vector<uint8_t> bgr(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    const long long frames = std::max<long long>(1, media.frames);
    for (int k = 0; k < 8 && !interrupted; ++k) {
        const long long frame = 1 + (frames - 1) * k / 7;
        if (clip.readFrame(frame, bgr.data()).ok()) tracker.measure(bgr.data());
        if (frames == 1) break;
    }
    return tracker.report();
}

// --calibrate: the refined calibration on standard output, nothing written.
Status runCalibrate(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    std::string offset;
    LensRig lens;
    Status st = findCalibration(opt, clip, offset, lens);
    if (!st.ok()) return st;
    sayIfNoLensImages(opt, clip, lens.values(), false);
    RefineResult r;
    const Status refined = refineClipCalibration(framesOf(clip, interrupted), lens, r, refineOptions(opt));
    if (interrupted) return console::interruptedRun();
    std::fprintf(console::out(), "%s\n", describeRefineResult(r).c_str());
    if (refined.ok()) {
        LensRig used = lens;
        if (r.offset.empty() || parseCalibration(r.offset, used).ok()) {
            const FalloffEstimator::Result f = measureFalloff(clip, used, 1, clip.info().frames, interrupted, opt.threads);
            if (interrupted) return console::interruptedRun();
            if (f.measured)
                std::fprintf(console::out(), "falloff: %s\n  %s\n", formatFalloff(f.falloff).c_str(),
                             describeFalloff(f.falloff).c_str());
            else
                std::fprintf(console::out(), "falloff: not measured (%s)\n", f.why.c_str());
            const std::string seams = seamDisparity(opt, clip, used, interrupted);
            if (interrupted) return console::interruptedRun();
            std::fprintf(console::out(), "%s\n", seams.c_str());
        }
    }
    Status written = console::finishOut();
    if (!written.ok()) return written;
    if (!refined.ok()) return cannotRefine(refined);
    return Status();
}


// The calibration a stitch uses, checked against the clip's pictures, and
// refined first where asked; the clip's chosen tracks are said first. A
// clip lit where the lenses cast no light holds no lens images (a panorama
// stitched before, an ordinary video), or its calibration puts the circles
// in the wrong place: said before anything is stitched.
Status stitchCalibration(const Options& opt, Clip& clip, LensRig& lens, const std::atomic<bool>& interrupted) {
    sayChosenTracks(opt.input, clip.tracks());
    const _MediaInfo& media = clip.info();
    std::string offset;
    Status st = findCalibration(opt, clip, offset, lens);
    if (st.ok()) st = checkPictureAspect(lens.values(), static_cast<int>(media.width), static_cast<int>(media.height), opt.haveOffset);
    if (!st.ok()) return st;
    sayIfNoLensImages(opt, clip, lens.values(), true);
    if (!opt.haveOffset && isBuiltInDefault(offset))
        console::warn("%s names no lens calibration: the built-in default is used, which fits only the camera it was "
                      "made for; give this camera's calibration with --offset%s",
                      opt.input.c_str(), opt.refineCalibration ? " (or refine it: see below)" : " or --refine-calibration");
    if (opt.refineCalibration) return refine(opt, clip, lens, interrupted);
    return Status();
}

}  // namespace stitcher
