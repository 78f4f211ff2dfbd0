// libdec: interfaces for this project's own host, beside the exported ABI of
// libdec.h (which stays as it is for outside callers). The same rules hold:
// functions take the handle PRDOpen returned, nothing thrown leaves them, and
// each says whether it succeeded. Symbols are C++, in namespace libdec.
#pragma once

#include <cstdint>
#include <vector>

#include "libdec.h"

namespace libdec {

// ---- Presentation timeline ----------------------------------------------
// The clip as a player shows it, after the edit lists of its tracks: which
// pictures appear and when, and where on the same timeline its sound plays.
// PRDGetVideoFrame counts every picture of the track in display order; a
// clip trimmed by its edit list shows only some of them, a clip with a
// variable frame rate shows them at uneven times, and a clip whose sound
// starts later than its picture says so here.

struct ShownFrame {
    long long frame = 0;  // the picture, as PRDGetVideoFrame numbers it (from 1)
    long long time = 0;   // when it appears, in timescale units from the movie's start
};

struct PresentationTimeline {
    // Units per second of every time here: the video track's own. 0 when
    // the track gives none; the times then count pictures.
    uint32_t timescale = 0;
    std::vector<ShownFrame> frames;  // in the order shown; times never decrease
    long long end = 0;               // when the last picture stops being shown
    // With an accepted audio track (PRDGetMediaInfo's hasAudio): the time at
    // which PRDGetAudioSample's position 0 plays, and the time the sound
    // stops (-1: at the end of the track).
    bool hasAudio = false;
    long long audioStart = 0;
    long long audioEnd = -1;
};

// Fills `out` with the timeline of the clip. False (and `out` untouched) on a
// null handle, a clip without video, or when memory runs out.
LIBDEC_API bool GetPresentationTimeline(void* handle, PresentationTimeline& out);

// ---- end of the presentation timeline -----------------------------------

}  // namespace libdec
