// Sound the clip reader does not decode (MP3, Opus, PCM, ...), decoded with
// libavformat/libavcodec from the one track the reader names, and handed out
// the way the reader hands out AAC: interleaved 16-bit PCM by sample position,
// at a rate the AAC encoder takes and in soundLayout() for its channel count
// (1 to 8, as many as the track has). The format is the one the
// decoded frames have, not the one the container's sample entry claims (an
// MP3 entry says 2 channels for mono sound); frames that change it mid-track
// are converted all the same.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;
struct SwrContext;
struct AVChannelLayout;

#include "SoundLayout.h"
#include "Status.h"

namespace stitcher {

class FfAudio {
public:
    // Opens sound track `trackId` (the container's track id) of `path`; fails
    // with the reason where it cannot be decoded.
    static Status open(const std::string& path, unsigned int trackId, std::unique_ptr<FfAudio>& audio);
    ~FfAudio();
    FfAudio(const FfAudio&) = delete;
    FfAudio& operator=(const FfAudio&) = delete;

    // What read() hands out.
    int rate() const { return rate_; }
    int channels() const { return channels_; }
    int64_t samples() const { return samples_; }   // per channel, as the track's duration gives it
    // The track's own sound, as its first frame decodes.
    int sourceRate() const { return sourceRate_; }
    int sourceChannels() const { return sourceChannels_; }
    const std::string& sourceLayout() const { return sourceLayout_; }  // FFmpeg's name, e.g. "7.1"
    int64_t sourceSamples() const { return sourceSamples_; }
    const std::string& codec() const { return codec_; }  // FFmpeg's name, e.g. "opus"

    // Interleaved PCM of positions [start, start + count); silence past the
    // end of the track. Valid until the next call; null when decoding fails.
    const int16_t* read(int64_t start, int64_t count);

private:
    FfAudio() = default;
    // (Re)opens the file and the decoder at the start of the track.
    Status restart();
    void close();
    // Decodes on until `until` is held or the track ends; false on a failure.
    bool decodeUntil(int64_t until);
    bool convert(const AVFrame* frame);
    // Sets the resampler up for `frame`'s format, the first time and when it
    // changes (what the old one still holds is kept); false on a failure.
    bool resamplerFor(const AVFrame* frame);

    std::string path_, codec_;
    unsigned int trackId_ = 0;
    AVFormatContext* fmt_ = nullptr;
    AVCodecContext* dec_ = nullptr;
    SwrContext* swr_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int stream_ = -1;
    int rate_ = 0, channels_ = 0;
    int64_t samples_ = 0;
    int sourceRate_ = 0, sourceChannels_ = 0;
    std::string sourceLayout_;
    int64_t sourceSamples_ = 0;
    // The format the resampler was set up for.
    int swrRate_ = 0, swrFormat_ = -1;
    std::string swrLayout_;
    bool ended_ = false;
    std::vector<int16_t> pcm_;  // positions [pcmStart_, pcmStart_ + pcm_.size() / channels_)
    int64_t pcmStart_ = 0;
    std::vector<int16_t> out_;
};

}  // namespace stitcher
