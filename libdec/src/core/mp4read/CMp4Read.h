// MP4 clip reader: accepts a clip's H.264 video, AAC audio and text tracks and
// serves the media record, the parameter sets, the GOP size and single samples.
// Of several tracks of a kind it takes the one a player presents: the first
// enabled one (tkhd), else the first. The others are left alone, whatever
// their codec; a sound track it cannot decode leaves the clip without audio.
// Internal class (not exported); its fields are public so that the session and
// the tests can inspect them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "libdec.h"

namespace mp4 {
class File;
struct Track;
}

// Fixed-layout calibration records at the end of a text-track sample (192 and
// 160 bytes); defined with the offset sources.
struct mnd_data_video_r;
struct mnd_data_video_s;

// Writes the offset string of `record` into `out` (room for 160 characters and
// the terminator). Instantiated for mnd_data_video_r and mnd_data_video_s.
template <typename T>
void ChangeToSubtitleOffset(const T* record, char* out);

class CMp4Read {
public:
    // Opens `path` and accepts its tracks; throws std::runtime_error
    // ("Failed to initialize CMp4read") when that fails.
    explicit CMp4Read(const char* path);
    ~CMp4Read();
    CMp4Read(const CMp4Read&) = delete;
    CMp4Read& operator=(const CMp4Read&) = delete;

    int Init(const char* path);
    // Closes the file if open.
    void DeInit();
    int ParseVideoTrack(unsigned int trackId);
    int ParseAudioTrack(unsigned int trackId);
    int GetMediaInfo(_MediaInfo& info);
    unsigned int GetSampleRateByIndex(unsigned char index);
    // Annex-B "00 00 00 01 SPS 00 00 00 01 PPS", built once; owned by the reader.
    int GetSpsPps(unsigned char*& buffer, unsigned int& size);
    // Distance from sample 1 to the next key sample; the sample count when
    // there is no second key sample; 0 without video samples.
    int GetGopSize();
    // Sample `n` (from 1) in Annex-B form: leading delimiters and SEI skipped,
    // every NAL unit behind a start code instead of its length prefix; `key`
    // when the first unit left is an IDR slice or a sequence parameter set,
    // or when the sample carries a recovery point (m_videoRecoveryFrames
    // then says after how many frames the pictures are whole).
    // `data` points into the reader's buffers and stays valid until the next
    // video read.
    int GetVideoSample(unsigned int n, unsigned char*& data, unsigned int& size, bool& key);
    // Frame number (display position, from 1) of the picture in video sample
    // `n`; 0 when the index does not give the display order (no composition
    // offsets) or `n` is out of range.
    unsigned int FrameOfSample(unsigned int n) const;
    // Raw AAC frame `n` (from 1), valid until the next audio read.
    int GetAudioSample(unsigned int n, unsigned char*& data, unsigned int& size);

    // Offset sources (implemented in Mp4ReadOffset.cpp).
    // Comment tag text ("unknown" when absent) in a new[] array the caller owns;
    // null when the tags cannot be read.
    char* GetVideoComment();
    // 0 with the cached offset string (owned by the reader), 1 with null.
    int GetOffset(char*& offset);
    char* CusumerClientOffset();
    char* BusinessClientOffset();

    // Fields (zero/null until set). Owned buffers are new[] arrays.
    std::unique_ptr<mp4::File> m_hFile;
    unsigned char* m_pSpsPps;
    unsigned int m_spsPpsSize;
    // new[] text owned by the reader, or DEFAULT_OFFSET (OffsetString.h), never freed.
    char* m_offset;
    unsigned int m_videoTrackId;
    unsigned int m_videoSampleCount;
    unsigned int m_videoMaxSampleSize;
    unsigned char* m_pVideoSampleBuf;
    // The timed-text track the calibration comes from: the first one until the
    // offset search has found the one holding a valid record.
    unsigned int m_textTrackId;
    std::vector<unsigned int> m_textTrackIds;  // every timed-text track ("text", "sbtl", "subt"), in file order
    unsigned int m_soundTrackId;               // the sound track a player presents, accepted or not; 0 = none
    unsigned int m_calibrationTrackId;         // the text track whose valid record m_offset holds; 0 = none
    unsigned int m_audioTrackId;
    unsigned int m_audioSampleCount;
    unsigned int m_audioMaxSampleSize;
    unsigned char* m_pAudioSampleBuf;

    // Accepted tracks as parsed (null when none).
    const mp4::Track* VideoTrack() const;
    const mp4::Track* AudioTrack() const;
    unsigned int m_videoNalLengthSize;         // bytes of each NAL length prefix (avcC; 4 without one)
    std::vector<unsigned int> m_videoFrameOfSample;  // display positions; empty: decode order is display order
    std::vector<unsigned char> m_annexB;       // samples with length prefixes other than 4 bytes, rewritten
    // Of the sample last read: the frames a decoder started there decodes
    // before its pictures are whole (a recovery point's count, in reference
    // pictures); 0 for an IDR sample or one without a recovery point.
    unsigned int m_videoRecoveryFrames;

private:
    // Closes the file and frees every buffer, nulling each.
    void Release();
    long long Handle() const;
    // Scans one text track for a calibration record: true with its text in
    // `text` (room for kSubtitleOffsetMaxChars + 1) when a sample holds one.
    bool RecordOfTrack(unsigned int trackId, char* text);
    // Logs how many samples of a track cut short were lost.
    void LogCutShort(const mp4::Track& t, const char* kind);
};
