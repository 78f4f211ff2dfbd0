// --info: what the clip holds and what a run would make of it; and the
// clip's look (turned, mirrored, already a panorama) that decides whether
// it can be stitched at all.
#pragma once

#include <string>

#include "Clip.h"
#include "Options.h"
#include "Status.h"

namespace stitcher {

// The turn a player gives the picture, in words.
std::string displayTurnWords(int degrees);

// Refuses a clip whose video is not two lens images as a player shows them.
Status checkLook(const std::string& input, const libdec::VideoLook& l);

// Prints the clip's account on standard output; nothing is written.
Status runInfo(const Options& opt, Clip& clip);

}  // namespace stitcher
