#include "SoundLayout.h"

namespace stitcher {

void soundLayout(int channels, AVChannelLayout* layout) {
    if (channels == 3)
        *layout = AV_CHANNEL_LAYOUT_SURROUND;
    else
        av_channel_layout_default(layout, channels);
}

std::string soundLayoutName(int channels) {
    if (channels <= 0) return std::string();
    AVChannelLayout layout = {};
    soundLayout(channels, &layout);
    char name[128] = {0};
    av_channel_layout_describe(&layout, name, sizeof name);
    av_channel_layout_uninit(&layout);
    return name;
}

}  // namespace stitcher
