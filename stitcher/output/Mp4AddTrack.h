// A track added to a finished MP4 file, which the muxer cannot write itself
// (a camera-motion track, whose sample entry it does not know).
#pragma once

#include <string>

#include "MovieMetadata.h"
#include "Status.h"

namespace stitcher {

// Appends `track` to the file's movie box as its last track (the next track
// id), with its samples in a media data box of their own at the end of the
// file; the chunk offsets of the other tracks that point behind the movie
// box's start move by as much as it grows. The file is changed in place. On
// failure `intact` says whether the file is still as it was.
Status addCopiedTrack(const std::string& path, const CopiedTrack& track, bool& intact);

}  // namespace stitcher
