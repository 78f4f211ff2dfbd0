// The plan of a stitch spread over many machines: everything decided once
// over the whole clip (calibration, output settings, each frame's time and
// colour gains, the segment borders), written as JSON, so that every task
// renders exactly what one whole run would.
//
// Per-frame data is a set of named columns of a fixed width (numbers per
// frame): "pts" and "duration" (the frame's time in the output, in
// timescale units from the first frame of the range), "gains" (lens 0 B, G,
// R, lens 1 B, G, R, where colour matching runs), "view" (a turned run's
// view rotation, 3 x 3 row by row) and "fov" (a keyframed camera's field of
// view, for a flat or planet picture). A stage that decides more per frame
// adds a column of its own. The seams' measured disparities are hundreds
// of numbers a frame: they are kept apart, as each frame's changes from the
// frame before, in hex.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ColorMatch.h"
#include "Json.h"
#include "SeamTracker.h"
#include "Status.h"

namespace stitcher {

struct PlanColumn {
    int width = 1;               // numbers per frame
    std::vector<double> values;  // width * frames, frame by frame
    double at(long long index, int k = 0) const { return values[static_cast<size_t>(index) * width + k]; }
};

struct PlanSegment {
    long long first = 0, count = 0;  // clip frames first .. first + count - 1
};

// A frame whose seam disparities differ from the frame before's: the cells
// that changed and their new values (cells as SeamTracker::state() has them).
struct PlanSeamStep {
    long long frame = 0;  // from the range's first, 0 on
    std::vector<std::pair<int, float>> cells;
};

struct Plan {
    // The clip.
    std::string clipPath;
    std::string clipHash;  // clipContentHash()
    long long clipFrames = 0;
    // The calibration as used (refined, where that was asked).
    std::string offset;
    bool refined = false;
    // The frames stitched and the output.
    long long first = 1, count = 0;
    int size = 0;
    bool stereo = false;
    double yaw = 0, pitch = 0, roll = 0;
    // The picture: the panorama ("equirect"), or a "flat" or "planet" view of
    // viewWidth x viewHeight (0 x 0 for the panorama) whose field of view the
    // engine is set up for (a keyframed camera's widest; each frame's own
    // then is the "fov" column).
    std::string projection = "equirect";
    int viewWidth = 0, viewHeight = 0;
    double fov = 100;
    // The seams: "far", "auto" (each frame's measured disparities in
    // seamSteps, seamCells numbers a frame) or "fixed" at seamDistanceM; and
    // the lenses' baseline. Anything but far is the CPU engine's.
    std::string seam = "far";
    double seamDistanceM = 0, baselineMm = 30;
    int seamCells = 0;
    std::vector<PlanSeamStep> seamSteps;
    bool hevc = false;
    int crf = 20;
    std::string preset = "medium";
    std::string engine = "auto";
    int fpsNum = 0, fpsDen = 1;
    int timescale = 1;  // units per second of the frames' times
    bool audio = false;
    int audioRate = 0, audioChannels = 0;
    std::vector<uint8_t> spatialAudio;  // the sound's SA3D box, empty: none
    bool colorMatch = false;
    // The clip has metadata that the joined video carries (its tags,
    // chapters, timecode, camera-motion track): the join reads it from the clip.
    bool metadata = false;
    // Each lens's fall-off as colour matching measured it (falloff_... text;
    // empty where matching is off or kept to gains).
    std::string falloff;
    std::vector<PlanSegment> segments;
    std::map<std::string, PlanColumn> frames;

    // The hash of the plan's own text: what segments are tagged with.
    std::string id;

    const PlanColumn* column(const std::string& name) const;
};

// The frames first .. first + count - 1 in `n` segments of as equal a length
// as can be (none empty); each begins a closed group of pictures, so every
// border is a key frame of the joined video.
std::vector<PlanSegment> splitRange(long long first, long long count, int n);

std::string planToJson(const Plan& plan);
// Checks everything a task relies on (kinds, ranges, column lengths, the
// segments covering the range in order); kExitPlan with the reason.
Status planFromJson(const std::string& text, Plan& plan);

// Reads and checks a plan file; plan.id is its text's hash.
Status readPlan(const std::string& path, Plan& plan);
// Writes the plan's text to `path` (the run's file under its temporary
// name); `name` is the file as the user knows it, for messages.
Status writePlan(const Plan& plan, const std::string& path, const std::string& name);

// Refuses a clip whose content is not the plan's.
Status checkPlanClip(const Plan& plan, const std::string& path);

// What a segment file is tagged with, and reading it back.
std::string segmentTag(const Plan& plan, int k);
struct SegmentTag {
    std::string planId;
    int k = 0, n = 0;
    long long first = 0, count = 0;
};
bool parseSegmentTag(const std::string& text, SegmentTag& tag);

// Each frame's colour gains from the plan, as a whole run measured them.
class PlannedGains : public FrameGains {
public:
    PlannedGains(const PlanColumn& gains, long long first) : gains_(gains), first_(first) {}
    const ColorGains& gainsFor(long long frame, const uint8_t* picture) override;

private:
    const PlanColumn& gains_;
    long long first_;
    ColorGains current_;
};

// The seams' settings of a plan, for a tracker of its panorama.
SeamSettings planSeamSettings(const Plan& plan, int threads);

// Each frame's seam disparity from the plan (with auto), as a whole run
// measured it; `tracker` (of the plan's settings and size) turns it into
// the shift.
class PlannedSeams : public FrameSeams {
public:
    PlannedSeams(const Plan& plan, SeamTracker& tracker) : plan_(plan), tracker_(tracker) {}
    const SeamShift& shiftFor(long long frame, const uint8_t* picture) override;

private:
    const Plan& plan_;
    SeamTracker& tracker_;
    std::vector<float> state_;
    size_t next_ = 0;  // the first step not yet applied
    long long at_ = -1;
};

}  // namespace stitcher
