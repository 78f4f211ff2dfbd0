// The three modes of one clip over many machines: --plan-out decides once
// what a whole run decides and writes it down, --segment K/N stitches one
// segment as the plan has it, --join puts the segments together with the
// clip's sound. They take plain settings; what a whole run decides (the
// calibration, the job, the fall-off, the view, the colour matching) and the
// stitch itself come in through callbacks, so that this stage needs none of
// the stages above it. The console hears through FarmEvents.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Clip.h"
#include "ClipCalibration.h"
#include "ColorMatch.h"
#include "LensFalloff.h"
#include "LensRig.h"
#include "Plan.h"
#include "Reader.h"
#include "Status.h"
#include "Warn.h"

namespace stitcher {

// What the modes tell as they go; say and warn must be set, the rest may be empty.
struct FarmEvents {
    std::function<void(const std::string&)> say;  // a line for the user
    Warn warn;                                     // the stages' warnings
    // A progress line over `total` frames starts, labelled; without `rated`
    // the frames cost next to nothing (no rate is shown).
    std::function<void(long long total, const char* label, bool rated)> begin;
    std::function<void()> frameDone;
    std::function<void()> end;  // the progress line ends (before a failure is returned)
};

// --plan-out
struct PlanSettings {
    std::string input;    // the clip, as given
    std::string planOut;  // the plan file
    bool overwrite = false;
    int segments = 1;
    int threads = 0;      // decoding threads; 0: all cores
};

// A whole run's job, as the plan writes it down.
struct PlanJob {
    Plan plan;                // its header: all but the clip, its hash, the segments, the fall-off and the frames
    ReadSpec range;           // the frames the run reads
    LensRig lens;             // the calibration it stitches with
    int outWidth = 0, outHeight = 0;
};

// The steps of a whole run that the plan takes over, in the order they run.
struct PlanSteps {
    std::function<Status(PlanJob&)> resolve;  // the calibration and the job
    std::function<void()> sayJob;             // what the job leaves out, its size
    // The clip's sound box and metadata that the videos carry: sets
    // plan.spatialAudio and plan.metadata, and says them.
    std::function<void(Plan&)> carried;
    std::function<LensFalloff()> falloff;     // the fall-off the segments' engines undo
    // Every frame's view (nine values a frame), for a keyframed camera's
    // flat or planet picture its field of view (one a frame; else left
    // empty), and what the view removes, in words; empty where the run does
    // not turn its view per frame.
    std::function<Status(PlanColumn& view, PlanColumn& fov, std::string& summary)> view;
    // The colour matching the gains are measured with; null: none.
    std::function<std::unique_ptr<ColorMatch>()> color;
};

Status makePlan(const PlanSettings& settings, Clip& clip, const PlanSteps& steps, const FarmEvents& events,
                const std::atomic<bool>& interrupted);

// --plan --segment K/N
struct SegmentSettings {
    std::string input, plan;
    int segment = 0, segmentOf = 0;  // K of N, from 1
};

struct SegmentSteps {
    // The segment's calibration from the plan, checked against the clip.
    std::function<Status(const Plan& plan, int k)> prepare;
    // Stitches segment k of the plan into its output.
    std::function<Status(const Plan& plan, int k)> render;
};

Status stitchSegment(const SegmentSettings& settings, const SegmentSteps& steps, const FarmEvents& events);

// --join
struct JoinSettings {
    std::string plan, output;
    std::string clip;                // --clip: the clip where the plan's path does not reach it
    std::vector<std::string> parts;  // the segments' files
    bool overwrite = false;
};

Status joinPlan(const JoinSettings& settings, const FarmEvents& events, const std::atomic<bool>& interrupted);

}  // namespace stitcher
