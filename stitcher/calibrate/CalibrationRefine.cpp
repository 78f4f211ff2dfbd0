#include "CalibrationRefine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "FramePass.h"
#include "LensRig.h"
#include "OverlapAlign.h"
#include "libdec.h"

namespace stitcher {

namespace {

// Frames smaller than this hold too few pixels in the overlap to align on.
const int kMinFrameWidth = 64;
const int kMinFrameHeight = 32;
// The pyramid's coarsest level is about this wide.
const int kPyramidMinWidth = 48;
// A refined calibration must lower the overlap error by at least this share.
const double kMinGain = 1e-3;
// The nearest a thing in the overlap is taken to be, metres.
const double kNearestM = 0.3;

// The start calibration as text fields, checked as usable for stitching.
struct StartText {
    std::string text;  // trimmed
    std::vector<std::string> fields;
    LensRig lens;      // the same, read once
    std::string why;   // empty when usable
};

// The start's fields, from a lens already read and checked; its text is
// read again only where it carried white space around it.
StartText startFrom(const LensRig& lens) {
    StartText s;
    s.text = trimOffset(lens.text().c_str(), lens.text().size());
    if (s.text == lens.text() && !s.text.empty()) {
        s.lens = lens;
    } else {
        const calibration::Verdict v = LensRig::make(s.text, s.lens);
        if (!v) {
            s.why = "the calibration cannot be used: " + v.reason();
            return s;
        }
    }
    std::string copy = s.text;
    split(copy, "_", s.fields);
    // The renderer reads up to the lens code; anything after it is not kept.
    s.fields.resize(std::min<size_t>(s.fields.size(), 16));
    return s;
}

// The start's text with the refined values put in; lens 0's orientation,
// the image size and the lens code stay exactly as they were written.
std::string refinedText(const StartText& start, const overlap::Params& p) {
    using namespace overlap;
    std::vector<std::string> f = start.fields;
    const struct { int field; Param param; } put[] = {{1, R0},  {2, C0X},    {3, C0Y},    {7, R1},  {8, C1X},
                                                      {9, C1Y}, {10, YAW1}, {11, PITCH1}, {12, ROLL1}};
    for (const auto& e : put) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.3f", p.v[e.param]);
        f[e.field] = buf;
    }
    std::string text = f[0];
    for (size_t i = 1; i < f.size(); ++i) text += "_" + f[i];
    return text;
}

// The start kept, for the reason given.
RefineResult kept(RefineOutcome outcome, const std::string& offset, const std::string& reason) {
    RefineResult r;
    r.outcome = outcome;
    r.offset = offset;
    r.reason = reason;
    return r;
}

// A refinement that cannot run: the start kept, and the failure.
Status cannotRun(RefineResult& result, const std::string& offset, const std::string& reason) {
    result = kept(RefineOutcome::NoImprovement, offset, reason);
    return Status(kExitOffset, reason);
}

}  // namespace

struct CalibrationRefiner::Impl {
    RefineOptions options;
    std::vector<overlap::GreyPyramid> frames;
    int width = 0;
    int height = 0;
};

CalibrationRefiner::CalibrationRefiner(const RefineOptions& options) : impl_(new Impl) {
    impl_->options = options;
}

CalibrationRefiner::~CalibrationRefiner() {}

int CalibrationRefiner::frameCount() const { return static_cast<int>(impl_->frames.size()); }

Status CalibrationRefiner::addFrame(const BgrFrameRef& frame) {
    auto fail = [](const std::string& why) { return Status(kExitInput, why); };
    if (!frame.bgr || frame.width <= 0 || frame.height <= 0) return fail("empty frame");
    if (frame.width < kMinFrameWidth || frame.height < kMinFrameHeight)
        return fail("frame of " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                    " is too small to calibrate on");
    if (!impl_->frames.empty() && (frame.width != impl_->width || frame.height != impl_->height))
        return fail("frame of " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                    " differs from the first one's " + std::to_string(impl_->width) + "x" +
                    std::to_string(impl_->height));
    const Status added = guarded([&] {
        impl_->frames.push_back(overlap::buildPyramid(frame.bgr, frame.width, frame.height, kPyramidMinWidth));
        return Status();
    }, [&] { return fail("out of memory"); });
    if (!added.ok()) return added;
    impl_->width = frame.width;
    impl_->height = frame.height;
    return Status();
}

Status CalibrationRefiner::refine(const std::string& startOffset, RefineResult& result) const {
    LensRig lens;
    const std::string text = trimOffset(startOffset.c_str(), startOffset.size());
    const calibration::Verdict v = LensRig::make(text, lens);
    if (!v) return cannotRun(result, startOffset, "the calibration cannot be used: " + v.reason());
    return refine(lens, result);
}

Status CalibrationRefiner::refine(const LensRig& startLens, RefineResult& result) const {
    const StartText start = startFrom(startLens);
    if (!start.why.empty()) return cannotRun(result, startLens.text(), start.why);
    const int needed = std::max(1, impl_->options.minFrames);
    const int given = frameCount();
    if (given < needed) {
        result = kept(RefineOutcome::TooFewFrames, start.text,
                      "too few frames: " + std::to_string(given) + " to align on, " + std::to_string(needed) +
                          " needed");
        return Status();
    }
    try {
        return guarded([&]() -> Status {
            const DualFisheyeModel& model = start.lens.model();
            std::vector<const overlap::GreyPyramid*> frames;
            for (const overlap::GreyPyramid& f : impl_->frames) frames.push_back(&f);
            overlap::AlignSettings settings;
            settings.threads = std::max(1, impl_->options.threads);
            settings.minFrames = needed;
            settings.maxParallax = std::max(0.0, impl_->options.baselineMm) / 1000.0 / kNearestM;
            const overlap::AlignResult a = overlap::alignOverlap(model, frames, settings);

            RefineResult& r = result;
            r = RefineResult();
            r.offset = start.text;
            r.framesUsed = static_cast<int>(a.framesUsed.size());
            if (a.tooLittleTexture) {
                r.outcome = RefineOutcome::TooLittleTexture;
                r.reason = "too little texture in the overlap: " + std::to_string(r.framesUsed) + " of " +
                           std::to_string(given) + " frames show enough detail there, " + std::to_string(needed) +
                           " needed";
                return Status();
            }
            r.errorBefore = a.errorBefore;
            if (!(a.errorAfter < a.errorBefore * (1.0 - kMinGain))) {
                r.outcome = RefineOutcome::NoImprovement;
                r.errorAfter = a.errorBefore;
                r.reason = "no calibration found that aligns the lenses better than the start";
                return Status();
            }
            r.outcome = RefineOutcome::Refined;
            r.errorAfter = a.errorAfter;
            r.offset = refinedText(start, a.params);
            r.reason = "lens centres, radii and lens 1's orientation refined on " + std::to_string(r.framesUsed) +
                       " frame" + (r.framesUsed == 1 ? "" : "s");
            return Status();
        }, [&] { return cannotRun(result, start.text, "out of memory while refining"); });
    } catch (const std::exception& e) {
        return cannotRun(result, start.text, std::string("refinement failed: ") + e.what());
    } catch (...) {
        return cannotRun(result, start.text, "refinement failed");
    }
}

namespace {

// Adds what became of frames that could not be used to the account, and to
// the failure where there is one.
Status withUnusable(Status st, RefineResult& result, const std::string& unusable) {
    result.reason += " (" + unusable + ")";
    return st.ok() ? st : Status(st.code(), result.reason);
}

}  // namespace

Status refineCalibration(const std::vector<BgrFrameRef>& frames, const std::string& startOffset,
                         RefineResult& result, const RefineOptions& options) {
    CalibrationRefiner refiner(options);
    std::string firstError;
    for (const BgrFrameRef& f : frames) {
        const Status added = refiner.addFrame(f);
        if (!added.ok() && firstError.empty()) firstError = added.message();
    }
    Status st = refiner.refine(startOffset, result);
    if (!firstError.empty() && !result.refined()) st = withUnusable(st, result, firstError);
    return st;
}

namespace {

// The clip's frames sampled and refined from `start` (a text or a lens);
// `startOffset` is its text, kept where the refinement cannot run.
template <class Start>
Status refineSampled(const ClipFrames& clip, const Start& start, const std::string& startOffset, RefineResult& result,
                     const RefineOptions& options) {
    try {
        if (clip.count <= 0 || clip.width <= 0 || clip.height <= 0 || !clip.read)
            return cannotRun(result, startOffset, "the clip holds no video");
        // Frames spread evenly: the middle of each of n equal stretches,
        // asked for in increasing order so that each costs at most one GOP.
        const long long total = clip.count;
        const long long n = std::max<long long>(1, std::min<long long>(options.frames, total));
        std::vector<long long> numbers;
        for (long long i = 0; i < n; ++i) numbers.push_back(1 + (2 * i + 1) * total / (2 * n));
        SampledFrames samples(numbers, clip.width, clip.height, clip.read);
        CalibrationRefiner refiner(options);
        int failed = 0;
        std::string firstError;
        static const std::atomic<bool> uninterrupted{false};
        const Status walked = walkFrames(samples, clip.interrupted ? *clip.interrupted : uninterrupted, [&](FrameItem& item) {
            const Status added = item.damaged ? Status(kExitInput, "frame " + std::to_string(item.frame) + " could not be decoded")
                                              : refiner.addFrame({item.picture.data(), clip.width, clip.height});
            if (!added.ok()) {
                ++failed;
                if (firstError.empty()) firstError = added.message();
            }
            return Status();
        });
        if (!walked.ok()) return cannotRun(result, startOffset, "calibration failed: " + walked.message());
        Status st = refiner.refine(start, result);
        if (failed > 0)
            st = withUnusable(st, result,
                              std::to_string(failed) + " of " + std::to_string(n) + " frames unusable: " + firstError);
        return st;
    } catch (const std::exception& e) {
        return cannotRun(result, startOffset, std::string("calibration failed: ") + e.what());
    } catch (...) {
        return cannotRun(result, startOffset, "calibration failed");
    }
}

}  // namespace

Status refineClipCalibration(const ClipFrames& clip, const std::string& startOffset, RefineResult& result,
                             const RefineOptions& options) {
    return refineSampled(clip, startOffset, startOffset, result, options);
}

Status refineClipCalibration(const ClipFrames& clip, const LensRig& start, RefineResult& result,
                             const RefineOptions& options) {
    return refineSampled(clip, start, start.text(), result, options);
}

Status refineClipCalibration(const std::string& clipPath, const std::string& startOffset, RefineResult& result,
                             const RefineOptions& options) {
    try {
        void* session = PRDOpen(clipPath.c_str());
        if (!session) return cannotRun(result, startOffset, "cannot open " + clipPath);
        struct Closer {
            void* h;
            ~Closer() { PRDClose(h); }
        } closer{session};

        _MediaInfo info{};
        if (PRDGetMediaInfo(session, info) != 0 || info.hasVideo != 1 || info.frames == 0)
            return cannotRun(result, startOffset, clipPath + " holds no video");
        std::string offset = startOffset;
        if (offset.empty()) {
            char* text = nullptr;
            if (PRDGetOffset(session, text) != 0 || !text)
                return cannotRun(result, startOffset, clipPath + " names no lens calibration");
            offset = text;  // owned by the session: copied before it closes
        }
        ClipFrames clip;
        clip.count = info.frames;
        clip.width = static_cast<int>(info.width);
        clip.height = static_cast<int>(info.height);
        const size_t bytes = static_cast<size_t>(clip.width) * clip.height * 3;
        clip.read = [session, bytes](long long number, uint8_t* bgr) {
            unsigned char* pic = nullptr;
            if (PRDGetVideoFrame(session, number, pic) != 0 || !pic) return false;
            std::memcpy(bgr, pic, bytes);
            return true;
        };
        return refineClipCalibration(clip, offset, result, options);
    } catch (const std::exception& e) {
        return cannotRun(result, startOffset, std::string("calibration failed: ") + e.what());
    } catch (...) {
        return cannotRun(result, startOffset, "calibration failed");
    }
}

const char* refineOutcomeName(RefineOutcome outcome) {
    switch (outcome) {
        case RefineOutcome::Refined: return "refined";
        case RefineOutcome::NoImprovement: return "no improvement";
        case RefineOutcome::TooLittleTexture: return "too little texture";
        case RefineOutcome::TooFewFrames: return "too few frames";
    }
    return "unknown";
}

std::string describeRefineResult(const RefineResult& r) {
    char line[160];
    std::string out = r.refined() ? "calibration refined: " + r.reason + "\n"
                                  : "calibration kept as it was: " + r.reason + "\n";
    out += "  offset: " + r.offset + "\n";
    if (r.errorBefore >= 0.0) {
        std::snprintf(line, sizeof line, "  overlap error: %.4f before, %.4f after\n", r.errorBefore, r.errorAfter);
        out += line;
    }
    return out;
}

}  // namespace stitcher
