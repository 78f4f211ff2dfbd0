// libdec's internal interface for our own tools (not for hosts): facts about
// an open clip that the exported PRD functions do not carry. Every function
// takes the handle PRDOpen returned; none lets an exception out. Each block
// below stands on its own.
#pragma once

#include <string>
#include <vector>

#include "libdec.h"

// ---- Tracks of a clip: which exist and which the session uses ----
namespace libdec {

struct ClipTrack {
    unsigned int id = 0;
    std::string handler;          // "vide", "soun", "text", "sbtl", ...
    std::string sampleEntry;      // "avc1", "mp4a", "Opus", "ipcm", ...; empty when none
    unsigned int objectType = 0;  // of an MPEG-4 elementary stream (0x40 AAC, 0x6B MP3); 0 when none
    bool enabled = false;         // the container marks it as presented
    unsigned int width = 0, height = 0;  // visual tracks
};

struct ClipTracks {
    std::vector<ClipTrack> tracks;  // in file order
    unsigned int video = 0;         // the video track decoded (the one presented)
    unsigned int sound = 0;         // the sound track presented, 0 when none
    bool soundDecoded = false;      // PRDGetAudioSample decodes it (else the clip has no audio here)
    // The text track whose record gave the calibration; 0 before PRDGetOffset
    // and when the calibration came from elsewhere.
    unsigned int calibration = 0;
};

// 0 with `out` filled; 1 for a null handle or a failure (out then empty).
LIBDEC_API int GetClipTracks(void* handle, ClipTracks& out);

}  // namespace libdec
// ---- end of the tracks block ----
