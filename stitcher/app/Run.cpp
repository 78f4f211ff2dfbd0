// How a run works. The command line names a mode; every mode but --join
// begins with the clip (its session, its look: a clip turned a quarter
// turn, mirrored, or already a panorama is refused), and the stitch goes
// down the stages in this order:
//
//   clip          Clip::open: the MP4's index, tracks, colours, sound (input/)
//   calibration   --offset or the clip's own, checked against its pictures,
//                 refined from them where asked (Calibrate.cpp, calibrate/)
//   job           the options, the media record and the calibration resolved
//                 into what is done: frames, rate, panorama size, engine
//                 settings, sound (Job.cpp)
//   output        every file under a temporary name beside its final one,
//                 nothing renamed into place before the end (output/)
//   fall-off      each lens's fall-off toward the rim, measured once over the
//                 clip's frames where colours are matched (color/)
//   view          with --stabilize, --level or --motion, every frame's view
//                 rotation, from a pass of its own over the frames (stabilize/)
//   engine        the GL engine on a GPU, else the CPU one (engine/), made
//                 while the encoder opens and the first frames are decoded
//   stages        reader -> colour gains -> engine -> writer on their threads
//                 (pipeline/), with the progress line
//   commit        the files renamed into place, the summary said
//
// --info stops after the calibration and says what a run would do
// (Info.cpp); --calibrate prints the refined calibration (Calibrate.cpp);
// --plan-out, --segment and --join split a stitch over machines (Farm.cpp,
// farm/). Every mode returns a Status: main() prints its message and turns
// it into the exit code.
#include "Run.h"

#include <exception>
#include <memory>

#include "Calibrate.h"
#include "Clip.h"
#include "Console.h"
#include "Farm.h"
#include "Info.h"
#include "Stitch.h"

namespace stitcher {

namespace {

// The clip of any run; a clip cut short is said to be so.
Status openClip(const Options& opt, std::unique_ptr<Clip>& clip) {
    Status st = Clip::open(opt.input, clip);
    if (!st.ok()) return st;
    if (clip->framesLost())
        console::warn("%s is cut short: %lld of its frames lie beyond the end of the file and are left out",
                      opt.input.c_str(), clip->framesLost());
    return Status();
}

// One run, in the mode the options name.
Status run(const Options& opt, const std::atomic<bool>& interrupted) {
    if (opt.join) return runJoin(opt, interrupted);
    std::unique_ptr<Clip> clip;
    Status st = openClip(opt, clip);
    if (!st.ok()) return st;
    if (opt.info) return runInfo(opt, *clip);
    const libdec::VideoLook look = clip->look(false);
    st = checkLook(opt.input, look);
    if (!st.ok()) return st;
    Options o = opt;
    if (look.displayRotation == 180) {
        o.displayTurn = 180;
        console::say("%s is shown turned half a turn (%s): it is stitched as shown", opt.input.c_str(),
                     displayTurnWords(180).c_str());
    }
    if (o.calibrate) return runCalibrate(o, *clip, interrupted);
    if (!o.planOut.empty()) return runPlan(o, *clip, interrupted);
    if (o.segment) return runSegment(o, *clip, interrupted);
    return runStitch(o, *clip, interrupted);
}

}  // namespace

Status runStitcher(const Options& opt, const std::atomic<bool>& interrupted) {
    try {
        return run(opt, interrupted);
    } catch (const std::exception& e) {
        return Status(kExitFailed, outOfResources(e).message() + "; nothing was written");
    }
}

}  // namespace stitcher
