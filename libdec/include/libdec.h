// libdec: the clip-reading library's exported interface.
//
// A host opens a clip with PRDOpen, queries it through the returned handle and
// closes it with PRDClose. Every function returns 0 on success and 1 on failure
// unless stated otherwise; a null handle always gives 1. No exception ever
// leaves these functions. Symbols are C++ (typed, mangled), not extern "C".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define LIBDEC_API __attribute__((visibility("default")))

// Media record of a clip. The host reads it by this exact layout (40 bytes).
struct _MediaInfo {
    uint8_t hasVideo;     // 1 when an H.264 video track was accepted
    uint32_t width;       // picture width in pixels
    uint32_t height;      // picture height in pixels
    uint32_t frames;      // number of video samples (one picture each)
    double fps;           // frame rate of the video track
    uint8_t hasAudio;     // 1 when an AAC audio track was accepted
    uint8_t channels;     // channels of the PCM (the configuration's count; 8 for 7.1)
    uint32_t samplerate;  // Hz of the PCM; 0 for an unsupported sampling index
    int64_t samples;      // audio length in PCM samples per channel (AAC samples x frame length)
};

static_assert(sizeof(_MediaInfo) == 40, "_MediaInfo must be 40 bytes");
static_assert(offsetof(_MediaInfo, hasVideo) == 0, "hasVideo offset");
static_assert(offsetof(_MediaInfo, width) == 4, "width offset");
static_assert(offsetof(_MediaInfo, height) == 8, "height offset");
static_assert(offsetof(_MediaInfo, frames) == 12, "frames offset");
static_assert(offsetof(_MediaInfo, fps) == 16, "fps offset");
static_assert(offsetof(_MediaInfo, hasAudio) == 24, "hasAudio offset");
static_assert(offsetof(_MediaInfo, channels) == 25, "channels offset");
static_assert(offsetof(_MediaInfo, samplerate) == 28, "samplerate offset");
static_assert(offsetof(_MediaInfo, samples) == 32, "samples offset");

// Clip session.
LIBDEC_API void* PRDOpen(const char* path);
LIBDEC_API void PRDClose(void* handle);
LIBDEC_API int PRDGetMediaInfo(void* handle, _MediaInfo& info);
// Offset string (lens calibration). Owned by the session; valid while it is open.
LIBDEC_API int PRDGetOffset(void* handle, char*& offset);
// Comment text: a new array owned by the caller (delete[]), or null.
LIBDEC_API int PRDGetVideoComment(void* handle, char*& comment);
// Packed BGR picture of frame `frame` (counted from 1), owned by the session.
LIBDEC_API int PRDGetVideoFrame(void* handle, long long frame, unsigned char*& out);
// 16-bit interleaved PCM of positions (start / 1024) * 1024 onwards, req / 1024 blocks
// of 1024, channels in FFmpeg's order. Position p is the track's sample p as the
// clip presents it (the encoder's priming cut by the edit list); the same position
// gives the same PCM whatever was asked before. Positions past the decodable end,
// and those of an AAC frame that does not decode, are silence.
LIBDEC_API int PRDGetAudioSample(void* handle, long long start, long long req, unsigned char*& out);

// Host lines into the diagnostics log (no source position, no line end added).
LIBDEC_API void PRDLog(unsigned char level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Offset string text functions.
LIBDEC_API bool isOffsetDecoded(const char* offset);
LIBDEC_API std::string trimOffset(const char* offset, size_t len);
LIBDEC_API void split(std::string& text, std::string delimiters, std::vector<std::string>& fields);
LIBDEC_API bool isOffsetValid(const char* offset);

// Base64 (standard alphabet); results are new arrays owned by the caller (delete[]).
LIBDEC_API char* base64Encode(const char* data, unsigned int len);
LIBDEC_API char* base64Decode(const char* text);
