// What a run does, resolved from the command line, the clip's media record
// and its calibration before any work starts; and the names it writes.
#pragma once

#include <string>
#include <vector>

#include "ClipCalibration.h"
#include "Engine.h"
#include "FrameTime.h"
#include "Options.h"
#include "Rotation.h"
#include "Status.h"
#include "libdec.h"

namespace stitcher {

struct Job {
    long long first = 1, count = 0;  // clip frames first .. first + count - 1
    Rational fps;
    EngineSpec engine;               // also holds the panorama size
    bool audio = false;              // the video carries the clip's sound
    int audioRate = 0, audioChannels = 0;
    std::string audioLeftOut;        // why a clip's sound is not carried over, when it is not
    int sharpestSize = 0;            // the lenses' own size where the codec's cap lowered the default; else 0
    bool overCap = false;            // --size asks for a video larger than the codec's cap
};

// The largest video picture a codec gets by default. H.264: 4096 x 2048,
// which most players and phones decode (levels 5.1 and 5.2 end at 4096 x
// 2304; many decoders refuse more). HEVC: 8192 x 4096, within level 6.x;
// a ProRes master is held to the same (`large`: HEVC or ProRes).
struct PictureCap {
    int width, height;
};
PictureCap videoCap(bool large);
// The largest panorama height at most `size` whose picture in `layout` fits `cap`.
int capSize(int size, Layout layout, PictureCap cap);

// Why a video cannot carry the sound of `media` (which has sound); empty
// when it can.
std::string soundLeftOut(const _MediaInfo& media);

// The view rotation of --yaw, --pitch and --roll, turned first as a player
// turns a clip whose display matrix turns its picture half a turn
// (Options::displayTurn 180): the panorama is then the one the picture as
// the player shows it gives.
Rot userView(const Options& opt);

// Fails with the exit code and message of the first problem found.
Status resolveJob(const Options& opt, const _MediaInfo& media, const LensRig& lens, Job& job);

// Output names: the file of a picture-sequence frame, and every final name a
// run writes.
std::string frameFileName(const std::string& pattern, long long frame);
std::vector<std::string> outputNames(const Options& opt, const Job& job);

}  // namespace stitcher
