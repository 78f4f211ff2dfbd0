// Output writers: H.264/AAC MP4 video with 360 metadata, and PNG pictures.
#pragma once

#include <cstdint>
#include <string>

struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVFrame;
struct AVPacket;
struct AVAudioFifo;
struct SwsContext;
struct SwrContext;

namespace stitcher {

struct VideoSettings {
    int width = 0, height = 0;
    int fpsNum = 30, fpsDen = 1;
    int crf = 20;
    std::string preset = "medium";
    bool spherical = false;   // tag as equirectangular 360 video
    int audioRate = 0;        // 0: no audio track
    int audioChannels = 0;
};

class VideoWriter {
public:
    VideoWriter() = default;
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // Creates `path` (an MP4 whatever its name) and writes the header.
    bool open(const std::string& path, const VideoSettings& s, std::string& error);
    // One picture: packed BGR rows of `stride` bytes, the first row at the top.
    bool writeVideo(const uint8_t* bgr, int stride, std::string& error);
    // Interleaved signed 16-bit PCM, `samples` per channel.
    bool writeAudio(const int16_t* pcm, int samples, std::string& error);
    // Flushes the encoders and writes the index; the file is complete after it.
    bool finish(std::string& error);
    int64_t audioSamplesWritten() const { return audioIn_; }

private:
    bool drain(AVCodecContext* enc, AVStream* st, std::string& error);
    bool encodeAudioFrames(bool flush, std::string& error);
    void close();

    VideoSettings s_;
    AVFormatContext* fmt_ = nullptr;
    AVCodecContext* venc_ = nullptr;
    AVCodecContext* aenc_ = nullptr;
    AVStream* vst_ = nullptr;
    AVStream* ast_ = nullptr;
    AVFrame* vframe_ = nullptr;
    AVFrame* aframe_ = nullptr;
    AVPacket* pkt_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    SwsContext* sws_ = nullptr;
    SwrContext* swr_ = nullptr;
    int64_t videoPts_ = 0;
    int64_t audioPts_ = 0;
    int64_t audioIn_ = 0;
    bool headerWritten_ = false;
};

// Writes one PNG picture of packed BGR rows (first row at the top) to `path`.
bool writePng(const std::string& path, const uint8_t* bgr, int stride, int width, int height, std::string& error);

std::string avError(int code);

}  // namespace stitcher
