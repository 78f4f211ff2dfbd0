// libdec: internal C++ interface for this project's own tools (not part of
// the host ABI in libdec.h). Functions take the handle PRDOpen returns; no
// exception leaves them. Each block below is self-contained.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "libdec.h"

namespace libdec {

// ---- spatial sound ----

// The spatial audio box (type "SA3D", its 8-byte header included) of the
// accepted audio track's sample entry, as stored, when it is well formed:
// version 0, a channel map of as many entries as it says, each naming one of
// those channels. False with `box` empty when the clip has none (or no audio,
// or a null handle), or when the box is malformed.
LIBDEC_API bool AudioSpatialBox(void* handle, std::vector<uint8_t>& box);

// ---- end of spatial sound ----

}  // namespace libdec

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
