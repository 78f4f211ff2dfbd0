// The lens calibration and fall-off a run uses: --offset or the clip's own,
// checked against its pictures and refined from them where asked; and
// --calibrate, which prints the refined calibration and the fall-off.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "Clip.h"
#include "ClipCalibration.h"
#include "Job.h"
#include "LensFalloff.h"
#include "Options.h"
#include "Status.h"

namespace stitcher {

// The calibration the run uses: --offset, else the clip's own.
Status findCalibration(const Options& opt, Clip& clip, std::string& offset, LensRig& lens);

// Of the clip's first frame (its middle one where the first cannot tell),
// the share of the picture clear of the lens circles that is lit
// (litBesideTheLenses); below 0 where neither tells.
double clipLitBesideTheLenses(Clip& clip, const Calibration& c);
// Above this share the clip holds no lens images.
constexpr double kLitBesideLensImages = 0.5;

// The calibration a stitch uses, checked against the clip's pictures, and
// refined first where asked (an interruption ends the refinement); the
// clip's chosen tracks are said first.
Status stitchCalibration(const Options& opt, Clip& clip, LensRig& lens, const std::atomic<bool>& interrupted);

// The fall-off the stitch undoes: --falloff's, else measured on the clip's
// frames; flat (gains only, said so) where it cannot be measured. An
// interruption stops the measuring (flat, nothing said): the caller ends the run.
LensFalloff stitchFalloff(const Options& opt, Clip& clip, const Job& job, const std::atomic<bool>& interrupted);

// --calibrate: the refined calibration on standard output, nothing written.
Status runCalibrate(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted);

}  // namespace stitcher
