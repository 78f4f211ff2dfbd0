// The reader stage: each frame of the job, decoded, with exactly the sound
// that plays during it. The only stage that uses the clip session.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Clip.h"
#include "HugePages.h"
#include "Job.h"
#include "Status.h"

namespace stitcher {

// The encoder's picture of a frame where the engine writes it (Writers.h).
struct YuvFrame;

// One frame on its way through the stages.
struct FrameItem {
    long long frame = 0;
    bool damaged = false;              // the frame could not be decoded; another frame's picture stands in
    HugePageVector<uint8_t> picture;   // decoded, packed BGR
    HugePageVector<uint8_t> panorama;  // the engine's output
    std::shared_ptr<YuvFrame> yuv;     // when set, the engine's output instead of panorama
    std::vector<int16_t> audio;        // this frame's sound, interleaved
    int audioSamples = 0;              // per channel
};

// Sound of the clip by sample position. Reads its source in runs of whole
// AAC frames that continue one another, and gives any span exactly; past the
// end of the track (or after a read failure) it gives silence.
class AudioSpans {
public:
    // Interleaved PCM of `frames` AAC frames (1024 samples each) from sample
    // `start` (a multiple of 1024), valid until the next call; null on failure.
    using Source = std::function<const int16_t*(int64_t start, int64_t frames)>;
    // `trackSamples` per channel; `rate` only words the warning on a failure.
    AudioSpans(Source source, int channels, int64_t trackSamples, int rate);
    // Replaces `out` with samples [from, to) per channel, interleaved.
    void read(int64_t from, int64_t to, std::vector<int16_t>& out);

private:
    Source source_;
    const int channels_;
    const int64_t trackSamples_;  // in whole AAC frames
    const int rate_;
    std::vector<int16_t> buffer_; // samples [bufStart_, bufEnd_) from index head_ on
    size_t head_ = 0;
    int64_t bufStart_ = 0, bufEnd_ = 0;
    bool broken_ = false;
};

class Reader {
public:
    Reader(Clip& clip, const Job& job);
    // The next frame of the job into `item` (its buffers are resized as
    // needed). A frame that cannot be decoded gets the last good picture
    // before it (the first good one for frames at the start), with a warning.
    // False after the last frame, and when no frame of the job decodes (then
    // status() says so).
    bool next(FrameItem& item);
    const Status& status() const { return status_; }
    long long total() const { return job_.count; }
    size_t pictureBytes() const { return pictureBytes_; }
    // The frames that could not be decoded, in order.
    const std::vector<long long>& damagedFrames() const { return damaged_; }

private:
    bool findFirstGood(long long from);

    Clip& clip_;
    const Job job_;
    const size_t pictureBytes_;
    long long nextFrame_;
    long long firstGood_ = 0;  // 0: not found yet
    long long lastGoodFrame_ = 0;
    long long heldFrame_ = 0;  // the frame whose picture lastGood_ holds
    HugePageVector<uint8_t> lastGood_;
    std::vector<long long> damaged_;
    AudioSpans audio_;
    Status status_;
};

}  // namespace stitcher
