// libdec: internal C++ interface for this project's own tools (not part of
// the host ABI in libdec.h). Functions take the handle PRDOpen returns; no
// exception leaves them. Each block below is self-contained.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "libdec.h"

namespace libdec {

// ---- Messages ----

// The library's messages for its host (those it otherwise prints on standard
// output, such as why its log file cannot be opened), one line each, line
// ends removed. With a sink set nothing is printed; an empty sink restores
// standard output. The log file is written either way. The sink may be
// called from any thread that uses the library.
// kMessageReason: why something failed, which would otherwise go to standard error.
// kMessageLog: the log's own complaints about its folder or file (such as
// that the folder it goes under is missing); a host may leave them out.
enum MessageLevel { kMessageError = 0, kMessageInfo = 1, kMessageReason = 2, kMessageLog = 3 };
using MessageSink = std::function<void(int level, const std::string& line)>;
LIBDEC_API void SetMessageSink(MessageSink sink);

// FFmpeg's messages that are not about the library's own decoders (the
// host's encoders and muxers share FFmpeg's one log callback, which the
// library holds) go to `printer`, a function as av_log_set_callback takes;
// null: FFmpeg's default printer.
using FfmpegPrinter = void (*)(void* context, int level, const char* format, va_list args);
LIBDEC_API void SetFfmpegPrinter(FfmpegPrinter printer);

// ---- end of messages ----

// ---- AAC ----

// The MPEG-4 audio sampling frequencies, by their index (0 to 12; 13 and 14
// are reserved, 15 means the rate follows in 24 bits).
constexpr unsigned int kAacSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                              22050, 16000, 12000, 11025, 8000,  7350};

// ---- end of AAC ----

// ---- Opening a clip, or why it cannot be ----

enum class ClipRefusal {
    None,          // opened
    NotAFile,      // missing, a folder, a pipe or device, or not readable
    NotMp4,        // another container (ClipOpening::containerKind where known) or not media at all
    Fragmented,    // its samples are in movie fragments
    NoVideo,       // no video track
    VideoNotH264,  // the main video is another codec (ClipOpening::videoCodec)
    NoFrames,      // the video's index names no samples
    CutShort,      // the index names samples, none of them inside the file
    Unreadable,    // an MP4 whose structure or H.264 video cannot be read
};

// What the container says about a clip, whether or not it could be opened.
struct ClipOpening {
    ClipRefusal refusal = ClipRefusal::None;
    std::string reason;         // the refusal in words (without the file name); empty when opened
    std::string containerKind;  // NotMp4: what the file is, when it is a known kind ("Matroska / WebM")
    std::string videoCodec;     // of the main video ("h264", "hevc", ...); empty without one
    bool fragmented = false;    // movie fragments (then their samples are not read)
    long long fileSize = 0;
    long long indexedSamples = 0;  // video samples the index names
    long long samplesInFile = 0;   // of them, those wholly inside the file (the rest are lost)
};

// Opens `path` as PRDOpen does, and fills `out`: a handle for the PRD*
// functions (closed with PRDClose), or null with `out.refusal` and
// `out.reason` telling why. Unlike PRDOpen it refuses a clip without video.
LIBDEC_API void* OpenClip(const char* path, ClipOpening& out);

// ---- end of opening ----

// ---- spatial sound ----

// The spatial audio box (type "SA3D", its 8-byte header included) of the
// accepted audio track's sample entry, as stored, when it is well formed:
// version 0, a channel map of as many entries as it says, each naming one of
// those channels. False with `box` empty when the clip has none (or no audio,
// or a null handle), or when the box is malformed.
LIBDEC_API bool AudioSpatialBox(void* handle, std::vector<uint8_t>& box);

// ---- end of spatial sound ----

// ---- Tracks of a clip: which exist and which the session uses ----

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

// ---- end of the tracks block ----

// ---- How the video is shown: colours, turn, projection ----

// Where a colour property comes from: nowhere (the players' default), the
// stream's own colour description (H.264 VUI), or the container's colour
// box ("colr") where the stream names none.
enum class ColorSource { Default = 0, Stream = 1, Container = 2 };

struct VideoLook {
    // The colour matrix (an ISO/IEC 23091-2 code: 1 BT.709, 5 and 6 BT.601,
    // 9 BT.2020, ...) and range the pictures are read with, from the first
    // picture; false when no picture decodes.
    bool colorKnown = false;
    int matrix = 0;
    bool fullRange = false;
    ColorSource matrixFrom = ColorSource::Default, rangeFrom = ColorSource::Default;
    // The container's colour box: whether there is one and what it names
    // (2: unspecified; range -1: not given).
    bool containerColor = false;
    int containerMatrix = 2, containerFullRange = -1;
    // The turn a player gives the picture (the track's display matrix),
    // clockwise in degrees: 0, 90, 180, 270; -1 another transform.
    int displayRotation = 0;
    // The video track is marked as spherical video already: its projection
    // ("equirectangular", ...); empty when it is not.
    std::string projection;
};

// 0 with `out` filled; the colours (with `colours`) decode the first picture
// where none has been yet. 1 for a null handle or a clip without video.
LIBDEC_API int GetVideoLook(void* handle, VideoLook& out, bool colors = true);

// ---- end of how the video is shown ----

// ---- A track's samples as stored ----

struct StoredSample {
    long long time = 0;      // when it is shown, in the track's timescale from the movie's start
    long long duration = 0;  // until the next one (the last: until the track ends)
    std::vector<uint8_t> data;
};

struct StoredTrack {
    std::string handler;               // hdlr type
    std::vector<uint8_t> sampleEntry;  // its first sample entry, header included
    uint32_t timescale = 0;
    std::vector<StoredSample> samples;  // in the order shown
};

// The samples of track `id` shown from `from` to before `to` (in units of
// 1 / `timescale` s from the movie's start), as its edit list shows them.
// 0 with `out` filled; 1 for a null handle, no such track or timescale, a
// sample that cannot be read, or more than `maxBytes` of samples.
LIBDEC_API int GetStoredTrack(void* handle, unsigned int id, long long from, long long to, uint32_t timescale,
                              size_t maxBytes, StoredTrack& out);

// ---- end of a track's samples ----

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

// ---- A picture as the decoder made it ----
// The frame PRDGetVideoFrame would give, left in the decoder's own planes
// where it is 8-bit planar YUV of the clip's size (4:2:0, 4:2:2 or 4:4:4):
// the conversion to BGR is then the caller's, rows at a time on any thread,
// and gives exactly PRDGetVideoFrame's bytes.

struct DecodedPicture {
    int width = 0, height = 0;
    const uint8_t* planes[3] = {nullptr, nullptr, nullptr};  // Y, U, V; read only
    int strides[3] = {0, 0, 0};
    int shiftX = 0, shiftY = 0;   // chroma subsampling: 2^shiftX across, 2^shiftY down
    double kr = 0, kb = 0;        // the matrix the picture is read with: its luma weights of red and blue
    bool fullRange = false;
    std::shared_ptr<const void> hold;  // keeps the planes; shared, so the picture may outlive later decodes
};

// Frame `frame` (numbered as PRDGetVideoFrame numbers it) into `out`.
// 0: `out` holds the planes. 2: the picture comes in another layout (10-bit,
// another size); `bgr` then points at PRDGetVideoFrame's BGR picture, valid
// until the next call on the handle. 1: it cannot be decoded, or a null handle.
LIBDEC_API int GetDecodedPicture(void* handle, long long frame, DecodedPicture& out, unsigned char*& bgr);

// Columns [x0, x1) of rows [row0, row1) of `picture` as packed BGR into
// `bgr` (which receives row row0, column 0), rows `bgrStride` bytes apart; a
// few columns more on the left may be written where chroma is shared. False
// (nothing written) for pixels outside the picture, or when memory runs out.
LIBDEC_API bool ConvertPictureRows(const DecodedPicture& picture, int row0, int row1, int x0, int x1, uint8_t* bgr,
                                   int bgrStride);

// ---- end of a picture as the decoder made it ----

// ---- Seeking past pictures ----
// With `skip` on, the session's seeks leave undecoded the pictures they pass
// over that no other picture refers to (H.264 non-reference pictures shown
// before the frame asked for), where the clip's index gives the order its
// pictures are shown in: the frames handed out (PRDGetVideoFrame's and
// GetDecodedPicture's) are the same, fewer pictures are decoded to reach
// them. Off in a session that PRDOpen or OpenClip made.
LIBDEC_API void SkipPassedPictures(void* handle, bool skip);

// With `own` on, a seek looks for its key sample from one sample less than
// a GOP before the frame asked for, so that a frame that is itself a key
// picture, or follows one within its group, is decoded from that key and
// not from the one a whole GOP before it. Off in a session that PRDOpen or
// OpenClip made.
LIBDEC_API void SeekFromOwnGroup(void* handle, bool own);

// The last frame at or before `frame` (both numbered as PRDGetVideoFrame
// numbers them) whose sample the container marks as a key sample: about
// where a decode that seeks to `frame` starts. 1 for a null handle or where
// none is marked before it.
LIBDEC_API long long KeyFrameBefore(void* handle, long long frame);
// ---- end of seeking past pictures ----

}  // namespace libdec
