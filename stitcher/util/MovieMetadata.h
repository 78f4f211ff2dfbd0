// What describes a video beside its pictures and sound: the movie's tags,
// its chapters, the timecode of its first frame and timed-metadata tracks
// carried as they are. The reader of a clip fills it for the stretch a run
// writes; the video writer puts it into the output.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace stitcher {

struct MovieChapter {
    int64_t start = 0, end = 0;  // milliseconds from the video's start
    std::string title;
};

// A track whose samples are copied, not decoded (a camera-motion track).
struct CopiedTrack {
    std::string handler;               // hdlr type
    std::vector<uint8_t> sampleEntry;  // the whole first sample entry
    uint32_t timescale = 0;
    struct Sample {
        int64_t time = 0, duration = 0;  // in timescale units from the video's start
        std::vector<uint8_t> data;
    };
    std::vector<Sample> samples;
};

struct MovieMetadata {
    // The movie's tags by FFmpeg's names ("creation_time", "location",
    // "title", "comment"), in order.
    std::vector<std::pair<std::string, std::string>> tags;
    std::vector<MovieChapter> chapters;
    std::string timecode;  // of the first frame ("hh:mm:ss:ff", ';' before the frames when drop-frame); empty: none
    std::vector<CopiedTrack> tracks;
};

}  // namespace stitcher
