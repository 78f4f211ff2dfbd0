// Adds a box to the audio sample entry of an MP4 file whose moov is its last
// box (as the ffmpeg command writes it without faststart): the chunk offsets
// then stay as they are. For clips the ffmpeg command cannot mark itself.
#pragma once

#include <string>

namespace testutil {

// Writes `out`: `in` with `box` (whole, header included) appended to the first
// sample entry of its first sound track. False when the file is not laid out
// that way or cannot be read or written.
bool appendToAudioEntry(const std::string& in, const std::string& box, const std::string& out);

}  // namespace testutil
