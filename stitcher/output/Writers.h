// The writer stage: H.264, HEVC or ProRes video with AAC sound and 360
// metadata in MP4, MOV or Matroska, or PNG or JPEG pictures, written to the
// temporary names of the run's output.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FrameItem.h"
#include "MovieMetadata.h"
#include "Output.h"
#include "PanoramaTags.h"
#include "Status.h"
#include "Warn.h"
#include "YuvConvert.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVFrame;
struct AVPacket;
struct AVCodecParameters;
struct AVAudioFifo;
struct SwrContext;

namespace stitcher {

// The channels a video's AAC sound gets for `channels` handed in (FFmpeg's
// default layout for their count, but 3.0 for three): as many, but 6.1, which has no AAC
// channel configuration of its own and which decoders lay out differently,
// is mixed down to 5.1.
int aacChannels(int channels);

struct VideoSettings {
    int width = 0, height = 0;
    int fpsNum = 30, fpsDen = 1;  // the usual rate
    int timescale = 0;            // pictures' times in 1/timescale s; 0: they follow one another at the usual rate
    int crf = 20;
    std::string preset = "medium";
    bool hevc = false;        // HEVC (x265, tagged hvc1) instead of H.264 (x264)
    bool prores = false;      // ProRes 422 HQ (10-bit 4:2:2) instead of either; no crf or preset
    int bitDepth = 8;         // 10 with hevc: Main10
    Container container = Container::Mp4;
    // An equirectangular 360 video: tagged so (both spherical metadata
    // versions where the container has a place for them).
    bool spherical = false;
    int audioRate = 0;        // 0: no audio track
    int audioChannels = 0;    // handed in (1 to 8); the track has aacChannels() of them
    // A spatial audio box ("SA3D", header included) for the sound's sample
    // entry, whose channel count is audioChannels; empty: none.
    std::vector<uint8_t> audioSpatialBox;
    std::string name;         // the output as the user knows it, for messages (default: the file's)
    std::string comment;      // the file's comment tag; empty: none (it overrides a comment in `metadata`)
    MovieMetadata metadata;   // the clip's tags, chapters, timecode and copied tracks that go into the video
    bool closedGop = false;   // every group of pictures closed (x265 opens them by default)
    Warn warn;                // told when the sound cannot be marked as spatial
};

// One picture in the encoder's own format, which an engine can write into
// (Engine::stitchYuv) and the writer hands to the encoder without a copy.
struct YuvFrame : YuvPicture {
    AVFrame* frame = nullptr;
    YuvFrame() = default;
    YuvFrame(const YuvFrame&) = delete;
    YuvFrame& operator=(const YuvFrame&) = delete;
    ~YuvFrame() override;
    YuvPlanes planes() const override;
};

class VideoWriter {
public:
    VideoWriter() = default;
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // Creates `path` (an MP4 whatever its name) and writes the header.
    Status open(const std::string& path, const VideoSettings& s);
    // The same for a video whose packets are already encoded (`video`: their
    // stream's parameters); they go in through writeVideoPacket(), the sound
    // as with open(). s.timescale must be set.
    Status openCopy(const std::string& path, const VideoSettings& s, const AVCodecParameters* video);
    // One encoded packet of an openCopy() video, its times in 1/timescale s.
    Status writeVideoPacket(AVPacket* packet);
    // One picture: packed BGR rows of `stride` bytes, the first row at the top.
    // With a timescale, it appears at `pts` and shows for `duration` (a
    // time not after the last picture's is moved just after it).
    Status writeVideo(const uint8_t* bgr, int stride, int64_t pts = -1, int64_t duration = 0);
    // A picture made by makeYuvFrame(); afterwards it may be written again.
    Status writeVideo(YuvFrame& picture, int64_t pts = -1, int64_t duration = 0);
    // A picture of this video's size, or null without the memory.
    std::shared_ptr<YuvFrame> makeYuvFrame() const;
    // Interleaved signed 16-bit PCM, `samples` per channel.
    Status writeAudio(const int16_t* pcm, int samples);
    // Flushes the encoders and writes the index; the file is complete after it.
    Status finish();
    int64_t audioSamplesWritten() const { return audioIn_; }

private:
    const char* codecName() const { return s_.prores ? "ProRes" : s_.hevc ? "HEVC" : "H.264"; }
    Status drain(AVCodecContext* enc, AVStream* st);
    // A failure of the muxer, `rc`: the output's when its file could not be written.
    Status writeFailed(const char* what, int rc) const;
    Status encode(AVFrame* frame, int64_t pts, int64_t duration);
    Status encodeAudioFrames(bool flush);
    Status openAny(const std::string& path, const VideoSettings& s, const AVCodecParameters* copy);
    void close();

    VideoSettings s_;
    std::string path_;
    AVFormatContext* fmt_ = nullptr;
    AVCodecContext* venc_ = nullptr;
    AVCodecContext* aenc_ = nullptr;
    AVStream* vst_ = nullptr;
    AVStream* ast_ = nullptr;
    AVFrame* vframe_ = nullptr;
    AVFrame* wide_ = nullptr;  // the encoder's picture where it takes other than 8-bit 4:2:0
    AVFrame* aframe_ = nullptr;
    AVPacket* pkt_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    SwrContext* swr_ = nullptr;
    int64_t videoPts_ = 0;                  // the earliest time the next picture can have
    std::map<int64_t, int64_t> durations_;  // pts -> duration of the pictures in the encoder
    int videoPackets_ = 0;                  // video packets written so far
    bool muxerDts_ = false;                 // the encoder's decoding times are unusable: the muxer's instead
    int64_t audioPts_ = 0;
    int64_t audioIn_ = 0;
    bool headerWritten_ = false;
};

// Writes one PNG picture of packed BGR rows (first row at the top) to `path`;
// messages call it `name` where one is given. A non-empty `xmp` goes into
// an iTXt chunk.
Status writePng(const std::string& path, const uint8_t* bgr, int stride, int width, int height,
                const std::string& name = "", const std::string& xmp = "");
// The same as a baseline JPEG of `quality` (1 to 100), `xmp` in an APP1 segment.
Status writeJpeg(const std::string& path, const uint8_t* bgr, int stride, int width, int height, int quality,
                 const std::string& name = "", const std::string& xmp = "");

// How the pictures of a run are written.
struct PictureSettings {
    int width = 0, height = 0, stride = 0;
    bool jpeg = false;
    int quality = 90;        // JPEG's
    bool equirect = false;   // a 360 panorama: tagged with the photo-sphere XMP
    ViewTags view;
};

// Takes the stitched frames of a run, in order.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Frame `index` of the job (from 0): item.panorama has `stride`-byte rows.
    virtual Status write(const FrameItem& item, size_t index) = 0;
    // After the last frame: the files are complete.
    virtual Status finish() = 0;
    // A picture an engine may write into for this sink, carried by an item
    // (FrameItem::yuv); null where the sink takes packed BGR.
    virtual std::shared_ptr<YuvPicture> makeYuvFrame() { return nullptr; }
};

// A video into output file 0; fails where the encoder or the file cannot be opened.
Status makeVideoSink(const Output& output, const VideoSettings& s, int stride, std::unique_ptr<FrameSink>& sink);
// One picture per frame, frame `index` into output file `index`.
std::unique_ptr<FrameSink> makePictureSink(const Output& output, const PictureSettings& s);

std::string avError(int code);

}  // namespace stitcher
