// Changes to a finished MP4 file that the muxer cannot make itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Status.h"

namespace stitcher {

// Appends `box` (a whole box, its header included) to the children of the
// first sample entry of the file's first sound track, grows every box that
// holds it and moves the chunk offsets of every track that point behind
// moov's start by as much. The file is changed in place. On failure `intact`
// says whether the file is still as it was (nothing written yet).
Status addAudioEntryBox(const std::string& path, const std::vector<uint8_t>& box, bool& intact);

// Appends `box` to the children of the first video track's box, as
// addAudioEntryBox() does (the file changed in place, `intact` on failure).
Status addVideoTrackBox(const std::string& path, const std::vector<uint8_t>& box, bool& intact);

// Appends `boxes` (one or more) to the children of the first video track's
// first sample entry, in the same way.
Status addVideoEntryBox(const std::string& path, const std::vector<uint8_t>& boxes, bool& intact);

// Channels an SA3D box names (its channel count); 0 when it is not one.
uint32_t spatialAudioChannels(const std::vector<uint8_t>& box);

}  // namespace stitcher
