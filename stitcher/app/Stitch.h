// The stitch itself: a job's frames from the clip through the engine into
// the output, and what the other modes share of it (the engines this
// program has, the metadata a video carries, the colour matching, the
// video's size cap).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Clip.h"
#include "ClipMetadata.h"
#include "ColorMatch.h"
#include "Engine.h"
#include "Job.h"
#include "Options.h"
#include "Reader.h"
#include "Status.h"
#include "CameraPath.h"
#include "ViewRotations.h"

namespace stitcher {

struct Plan;

// The stages' warnings, shown as the console's.
void showWarning(const std::string& message);
// The engines this program has.
EngineMakers builtEngines();
// The engine chosen, and why, in words; or why there is none.
std::string engineLine(const Status& st, const EngineChoice& choice);

// What the reader reads for a job.
ReadSpec readSpec(const Job& job);
// The clip's metadata that a video of the job carries, and that in words.
CarriedMetadata metadataFor(const Options& opt, Clip& clip, const Job& job);
std::vector<std::string> describeMetadata(const CarriedMetadata& m);

// Says where the video's default size was held to what players decode, and
// warns where --size asks for more; returns what the lenses allow, for -v.
std::string sayVideoCap(const Options& opt, const Job& job);
// The clip's spatial-sound box for the video, where the job carries sound
// that the box fits.
std::vector<uint8_t> spatialAudioFor(const Job& job, Clip& clip);
// Colour matching for the stitch, where it is asked for and can run.
std::unique_ptr<ColorMatch> makeColorMatch(const Options& opt, const Job& job);

// Whether a run turns its view per frame.
bool stabilizes(const Options& opt);

// Reads --camera where it is given: the job then turns its view per frame,
// a flat or planet picture's engine set up for the camera's widest view.
Status readCamera(const Options& opt, Job& job, CameraPath& camera);
// Whether the seams that --seam asks for are lined up in a run of `params`
// on the engine named `engine`; where they cannot be, a warning says why
// (the far field's seams are kept).
bool seamsLinedUp(const Options& opt, const EngineSpec& params, const char* engine);

// The keyframed camera's view and field of view for every frame of the job
// into `turns`, composed after the stabilisation's corrections already there.
void cameraViews(const Options& opt, const Job& job, const CameraPath& camera, ViewRotations& turns);
// Every frame's view rotation for the job, from the analysis (with its
// progress line) or the motion file.
Status viewRotationsFor(const Options& opt, Clip& clip, const Job& job, const std::atomic<bool>& interrupted,
                        ViewRotations& out);

// A segment of a plan that a stitch renders.
struct PlannedSegment {
    const Plan* plan = nullptr;
    int k = 0;  // from 1
};

// The frames of `opt` into its output with the calibration `lens`; for a
// planned segment, with the plan's gains and view and tagged as its segment.
Status render(const Options& opt, Clip& clip, const LensRig& lens, const PlannedSegment* segment,
              const std::atomic<bool>& interrupted);

// A stitch: the clip's frames into the output.
Status runStitch(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted);

}  // namespace stitcher
