// The channel layout in which sound is handed from the clip reader to the
// video writer, by its channel count alone: FFmpeg's default for the count,
// but 3.0 for three (AAC's channel configuration 3; FFmpeg's default, 2.1,
// has no configuration of its own).
#pragma once

#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace stitcher {

void soundLayout(int channels, AVChannelLayout* layout);
// FFmpeg's name of that layout (e.g. "5.1"); empty for no channels.
std::string soundLayoutName(int channels);

}  // namespace stitcher
